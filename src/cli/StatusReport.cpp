#include "cli/StatusReport.h"

#include "quota/QuotaText.h"
#include "reserve/ProtectedRun.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <cmath>

namespace tessaline {

namespace {

const QString fiveHourKey = QStringLiteral("fiveHour");
const QString weeklyKey = QStringLiteral("weekly");

QJsonObject windowObject(const StatusReport::Window &window)
{
    return QJsonObject{{QStringLiteral("remainingPercent"), window.remainingPercent},
                       {QStringLiteral("resetsAt"), window.resetsAt}};
}

std::optional<StatusReport::Window> windowFrom(const QJsonValue &value, bool *ok)
{
    if (value.isUndefined() || value.isNull())
        return std::nullopt;
    const QJsonObject object = value.toObject();
    const QJsonValue percent = object.value(QStringLiteral("remainingPercent"));
    const QJsonValue resets = object.value(QStringLiteral("resetsAt"));
    if (!value.isObject() || !percent.isDouble() || !resets.isDouble()
        || percent.toDouble() != std::trunc(percent.toDouble()) || std::fabs(percent.toDouble()) > 1e15) {
        *ok = false;
        return std::nullopt;
    }
    return StatusReport::Window{percent.toInteger(), resets.toDouble()};
}

const StatusReport::Window *windowOf(const StatusReport &report, qint64 minutes)
{
    const std::optional<StatusReport::Window> &window =
        minutes == Usage::fiveHourMinutes ? report.fiveHour : report.weekly;
    return window ? &*window : nullptr;
}

QString runTitle(ReserveState state)
{
    return QStringLiteral("Protected run: ") + title(state);
}

} // namespace

StatusReport StatusReport::from(const Usage &usage, std::optional<ReserveState> run)
{
    StatusReport report;
    if (const Usage::Window *window = usage.fiveHourWindow())
        report.fiveHour = Window{window->remainingPercent, window->resetsAt};
    if (const Usage::Window *window = usage.weeklyWindow())
        report.weekly = Window{window->remainingPercent, window->resetsAt};
    if (usage.pressureCheck)
        report.pressure = usage.pressureCheck->summary();
    report.band = ProtectedRun::Snapshot(usage).band();
    report.run = run;
    return report;
}

QByteArray StatusReport::json() const
{
    QJsonObject object;
    if (fiveHour)
        object.insert(fiveHourKey, windowObject(*fiveHour));
    if (weekly)
        object.insert(weeklyKey, windowObject(*weekly));
    if (pressure)
        object.insert(QStringLiteral("pressure"), *pressure);
    if (band)
        object.insert(QStringLiteral("band"), rawValue(*band));
    if (run)
        object.insert(QStringLiteral("run"), QJsonObject{{QStringLiteral("state"), rawValue(*run)},
                                                         {QStringLiteral("title"), title(*run)}});
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

std::optional<StatusReport> StatusReport::fromJson(const QByteArray &bytes)
{
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return std::nullopt;
    const QJsonObject object = document.object();
    bool ok = true;
    StatusReport report;
    report.fiveHour = windowFrom(object.value(fiveHourKey), &ok);
    report.weekly = windowFrom(object.value(weeklyKey), &ok);
    const QJsonValue pressure = object.value(QStringLiteral("pressure"));
    if (pressure.isString())
        report.pressure = pressure.toString();
    else if (!pressure.isUndefined())
        ok = false;
    const QJsonValue band = object.value(QStringLiteral("band"));
    if (!band.isUndefined()) {
        report.band = quotaBandFromRawValue(band.toString());
        ok = ok && report.band.has_value();
    }
    const QJsonValue run = object.value(QStringLiteral("run"));
    if (!run.isUndefined()) {
        const QJsonValue state = run.toObject().value(QStringLiteral("state"));
        if (state.isDouble())
            report.run = reserveStateFromRawValue(state.toInteger(-1));
        ok = ok && report.run.has_value();
    }
    if (!ok)
        return std::nullopt;
    return report;
}

QString StatusReport::text(double now) const
{
    QStringList lines;
    if (pressure)
        lines.append(*pressure);
    for (const QuotaText::Row &row : QuotaText::rows) {
        if (const Window *window = windowOf(*this, row.minutes))
            lines.append(QuotaText::title(row) + QStringLiteral(": ") + QuotaText::remainingLine(window->remainingPercent)
                         + QStringLiteral(", ") + QuotaText::resetLine(row.minutes, window->resetsAt, now));
    }
    if (!fiveHour && !weekly)
        lines.append(QuotaText::noWindows());
    if (run)
        lines.append(runTitle(*run));
    return lines.join(QLatin1Char('\n'));
}

QString StatusReport::brief() const
{
    QStringList parts;
    for (const QuotaText::Row &row : QuotaText::rows) {
        if (const Window *window = windowOf(*this, row.minutes))
            parts.append(QuotaText::title(row) + QLatin1Char(' ') + QString::number(window->remainingPercent)
                         + QLatin1Char('%'));
    }
    return parts.isEmpty() ? QStringLiteral("Codex quota") : parts.join(QStringLiteral(" · "));
}

QByteArray StatusReport::waybar(double now) const
{
    std::optional<qint64> lowest;
    for (const QuotaText::Row &row : QuotaText::rows) {
        if (const Window *window = windowOf(*this, row.minutes))
            lowest = std::min(lowest.value_or(window->remainingPercent), window->remainingPercent);
    }
    QJsonObject object{{QStringLiteral("text"), brief()},
                       {QStringLiteral("tooltip"), text(now)},
                       {QStringLiteral("class"), band ? rawValue(*band) : QStringLiteral("unknown")}};
    if (lowest)
        object.insert(QStringLiteral("percentage"), std::clamp<qint64>(*lowest, 0, 100));
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

QByteArray StatusReport::waybarFailure(const QString &sentence)
{
    const QJsonObject object{{QStringLiteral("text"), QStringLiteral("Codex quota")},
                             {QStringLiteral("tooltip"), sentence},
                             {QStringLiteral("class"), QStringLiteral("unavailable")}};
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

} // namespace tessaline

#pragma once

// The JSON documents tests hand to the program: the helper's usage snapshot, the check
// service's answer and the outcome history. Each builder makes the smallest document
// the program accepts; a test adds or replaces only the keys its case is about.

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace testjson {

inline double now() { return double(QDateTime::currentMSecsSinceEpoch()) / 1000.0; }

inline QByteArray compact(const QJsonObject &object) { return QJsonDocument(object).toJson(QJsonDocument::Compact); }

// `base` with the keys of `extra` added or replaced.
inline QJsonObject merged(QJsonObject base, const QJsonObject &extra)
{
    for (auto it = extra.begin(); it != extra.end(); ++it)
        base.insert(it.key(), it.value());
    return base;
}

// One window of the helper's snapshot: its length, the percentage left, its reset.
inline QJsonObject window(qint64 minutes, qint64 remaining, double resetsAt)
{
    return {{"name", QStringLiteral("w%1").arg(minutes)}, {"usedPercent", 100 - remaining},
            {"remainingPercent", remaining}, {"windowDurationMins", minutes}, {"resetsAt", resetsAt}};
}

inline QByteArray snapshot(const QJsonArray &windows, const QJsonObject &extra = {})
{
    return compact(merged({{"schemaVersion", 1}, {"fetchedAt", now()}, {"windows", windows}}, extra));
}

// A five-hour and a weekly window with this much left, resetting in 3 hours and 4 days.
inline QByteArray quota(qint64 fiveHour, qint64 weekly)
{
    return snapshot({window(300, fiveHour, now() + 3 * 3600), window(10080, weekly, now() + 4 * 86400)});
}

inline QJsonObject lint(const QString &title, const QString &fix, const QString &message = QStringLiteral("m"),
                        const QString &code = QStringLiteral("c"))
{
    return {{"code", code}, {"title", title}, {"message", message}, {"fix", fix}};
}

// The check service's answer.
inline QByteArray answer(const QJsonObject &extra = {})
{
    return compact(merged({{"decision", "scope_down"},
                           {"quota", QJsonObject{{"band", "moderate"}, {"reason", "Enough quota for a bounded task."}}}},
                          extra));
}

// One entry of the outcome history as the program stores it.
inline QJsonObject historyEntry(const QString &outcome, const QJsonValue &startingBand = "moderate",
                                const QString &taskSize = QStringLiteral("small"),
                                const QString &policy = QStringLiteral("standard"))
{
    return {{"timestamp", 1765000000}, {"taskSize", taskSize}, {"lintCodes", QJsonArray()},
            {"startingQuotaBand", startingBand}, {"endingQuotaBand", QJsonValue()}, {"reservePolicy", policy},
            {"maximumReserveConstraintReached", 0}, {"runDurationMinutes", 5}, {"outcome", outcome}};
}

} // namespace testjson

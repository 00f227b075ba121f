#include "service/QuotaWording.h"

#include "service/TextPatterns.h"

#include <QStringList>

#include <algorithm>
#include <cmath>

namespace tessaline {

namespace {

QString windowFigure(const char *name, const std::optional<qint64> &percent, const std::optional<double> &seconds)
{
    QString s = QStringLiteral("%1 %2% left").arg(QLatin1String(name)).arg(*percent);
    if (seconds)
        s += QStringLiteral(" (resets in %1)").arg(QuotaWording::duration(*seconds));
    return s;
}

} // namespace

QString QuotaWording::duration(double seconds)
{
    const qint64 minutes = static_cast<qint64>(std::floor(seconds / 60.0));
    if (minutes < 1)
        return QStringLiteral("under a minute");
    if (minutes < 60)
        return QStringLiteral("%1 min").arg(minutes);
    if (minutes < 24 * 60) {
        const qint64 h = minutes / 60, m = minutes % 60;
        return m ? QStringLiteral("%1 h %2 min").arg(h).arg(m) : QStringLiteral("%1 h").arg(h);
    }
    const qint64 d = minutes / (24 * 60), h = (minutes / 60) % 24;
    return h ? QStringLiteral("%1 d %2 h").arg(d).arg(h) : QStringLiteral("%1 d").arg(d);
}

QuotaWording::Band QuotaWording::band(const CheckQuota &q)
{
    std::optional<qint64> m;
    for (const auto &v : {q.fiveHourRemainingPercent, q.weeklyRemainingPercent})
        if (v)
            m = m ? std::min(*m, *v) : *v;
    if (!m)
        return Unknown;
    if (*m < 1)
        return Blocked;
    if (*m < 16)
        return Critical;
    if (*m < 36)
        return Tight;
    if (*m < 66)
        return Moderate;
    return Healthy;
}

QString QuotaWording::figures(const CheckQuota &q)
{
    QStringList parts;
    if (q.fiveHourRemainingPercent)
        parts << windowFigure("five-hour window", q.fiveHourRemainingPercent, q.fiveHourSecondsToReset);
    if (q.weeklyRemainingPercent)
        parts << windowFigure("weekly window", q.weeklyRemainingPercent, q.weeklySecondsToReset);
    if (parts.isEmpty())
        return QStringLiteral("No quota figures came with the request");
    if (parts.size() == 1)
        parts << (q.fiveHourRemainingPercent ? QStringLiteral("no weekly figure") : QStringLiteral("no five-hour figure"));
    return text::sentenceCase(parts.join(QStringLiteral(", ")));
}

QString QuotaWording::bandCode(Band band)
{
    static const char *const codes[] = {"blocked", "critical", "tight", "moderate", "healthy", "unknown"};
    return QLatin1String(codes[band]);
}

QString QuotaWording::usedUp(const CheckQuota &q)
{
    const bool fiveHourOut = q.fiveHourRemainingPercent && *q.fiveHourRemainingPercent < 1;
    const auto &seconds = fiveHourOut ? q.fiveHourSecondsToReset : q.weeklySecondsToReset;
    return QStringLiteral("the %1 window is used up, so wait for its reset%2 before starting")
        .arg(fiveHourOut ? QStringLiteral("five-hour") : QStringLiteral("weekly"),
             seconds ? QStringLiteral(" in ") + duration(*seconds) : QString());
}

} // namespace tessaline

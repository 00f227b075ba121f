#include "quota/QuotaText.h"

#include <QDateTime>
#include <QLocale>

#include <cmath>

namespace tessaline {

namespace {

// A reset whose distance in minutes does not even fit a 64-bit count cannot be shown
// as a countdown or as a date.
const QString farFutureText = QStringLiteral("resets in the far future");

} // namespace

QString QuotaText::remainingLine(qint64 remainingPercent)
{
    return QString::number(remainingPercent) + QStringLiteral("% remaining");
}

QString QuotaText::resetLine(qint64 windowMinutes, double resetsAt, double now)
{
    if (windowMinutes == Usage::fiveHourMinutes) {
        const double ahead = resetsAt - now;
        // NaN lands here too: nothing sensible is ahead of us.
        const double minutes = ahead > 0 ? std::trunc(ahead / 60) : 0;
        if (!(minutes < 0x1p63))
            return farFutureText;
        const auto whole = static_cast<qint64>(minutes);
        if (whole == 0)
            return QStringLiteral("resets now");
        return QStringLiteral("resets in %1h %2m").arg(whole / 60).arg(whole % 60);
    }

    // QDateTime counts milliseconds in 64 bits; keep well inside that before converting.
    constexpr double limit = 9.0e15;
    if (!(std::fabs(resetsAt) < limit))
        return farFutureText;
    const QDateTime when =
        QDateTime::fromSecsSinceEpoch(static_cast<qint64>(std::floor(resetsAt)), Qt::LocalTime);
    if (!when.isValid())
        return farFutureText;
    return QStringLiteral("resets ") + QLocale().toString(when, QStringLiteral("MMM d"));
}

QString QuotaText::failure(const std::optional<QString> &message)
{
    return message.value_or(QStringLiteral("Quota unavailable."))
        + QStringLiteral(" Tessaline needs the Codex CLI installed and a signed-in Codex session.");
}

QString QuotaText::noWindows()
{
    return QStringLiteral("Codex reported no usable quota windows for this account.");
}

QString QuotaText::reading()
{
    return QStringLiteral("Reading your current Codex quota…");
}

} // namespace tessaline

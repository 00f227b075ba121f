#include "quota/Usage.h"

#include <QTextBoundaryFinder>

#include <cmath>
#include <limits>

namespace tessaline {

namespace {

// The first user-perceived character upper-cased with the full, locale-independent
// mapping ("ß" becomes "SS"); the rest unchanged.
QString withCapitalFirst(const QString &text)
{
    if (text.isEmpty())
        return text;
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    qsizetype end = finder.toNextBoundary();
    if (end <= 0)
        end = text.size();
    return text.first(end).toUpper() + text.sliced(end);
}

// The magnitude rounded half away from zero, in decimal. Magnitudes that do not fit a
// signed 64-bit count still read as a sentence instead of wrapping or trapping.
QString pointCount(double deltaPoints)
{
    const double magnitude = std::round(std::fabs(deltaPoints));
    if (std::isnan(magnitude))
        return QStringLiteral("an unknown number of");
    // 2^63 is exactly representable; anything at or above it overflows qint64.
    if (magnitude >= 9223372036854775808.0)
        return QStringLiteral("more than %1").arg(std::numeric_limits<qint64>::max());
    return QString::number(static_cast<qint64>(magnitude));
}

} // namespace

QString Usage::PressureCheck::paceStatement(const QString &classification, double deltaPoints)
{
    const QString count = pointCount(deltaPoints);
    if (classification == QLatin1String("behind"))
        return count + QStringLiteral(" points behind even pace");
    if (classification == QLatin1String("ahead"))
        return count + QStringLiteral(" points ahead of even pace");
    return QStringLiteral("on track with even pace");
}

QString Usage::PressureCheck::summary() const
{
    if (blocked) {
        const QString window = windowLabel.value_or(QStringLiteral("usage"));
        const QString label = bucketIsDefault == false
            ? bucketLabel.value_or(QString()) + QLatin1Char(' ') + window
            : window;
        QString sentence = QStringLiteral("Blocked now: ") + label + QStringLiteral(" limit.");
        if (secondary) {
            const QString name = secondary->bucketIsDefault
                ? withCapitalFirst(secondary->windowLabel)
                : secondary->bucketLabel + QLatin1Char(' ') + secondary->windowLabel;
            sentence += QLatin1Char(' ') + name + QStringLiteral(" is ")
                + paceStatement(secondary->classification, secondary->deltaPoints)
                + QLatin1Char('.');
        }
        return sentence;
    }

    if (bucketLabel && windowLabel && deltaPoints && classification)
        return QStringLiteral("Most pressured: ") + *bucketLabel + QLatin1Char(' ') + *windowLabel
            + QStringLiteral(", ") + paceStatement(*classification, *deltaPoints) + QLatin1Char('.');
    return QStringLiteral("Pressure data unavailable.");
}

} // namespace tessaline

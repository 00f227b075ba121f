#include "check/TessalineQuota.h"

#include "check/JsonWriter.h"

#include <cmath>

namespace tessaline {

namespace {

std::optional<double> secondsToReset(const Usage::Window &window, double reference)
{
    const double d = window.resetsAt - reference;
    // A passed reset (or a difference that is not a number) counts as zero; +0.0 also
    // replaces -0.0, which would otherwise be written as "-0".
    const double seconds = d > 0 ? d : 0.0;
    if (std::isinf(seconds))
        return std::nullopt;
    return seconds;
}

std::optional<double> observedRate(const PaceMap &pace, qint64 minutes)
{
    const auto it = pace.constFind(minutes);
    if (it == pace.constEnd() || !it->percentPerHour)
        return std::nullopt;
    const double rate = *it->percentPerHour;
    if (!std::isfinite(rate) || rate < 0)
        return std::nullopt;
    return rate == 0 ? 0.0 : rate;
}

} // namespace

TessalineQuota::TessalineQuota(const std::optional<Usage> &usage, const PaceMap &pace)
{
    if (usage) {
        const double reference = usage->fetchedAt;
        if (const Usage::Window *w = usage->fiveHourWindow()) {
            fiveHourRemainingPercent = w->remainingPercent;
            fiveHourSecondsToReset = secondsToReset(*w, reference);
        }
        if (const Usage::Window *w = usage->weeklyWindow()) {
            weeklyRemainingPercent = w->remainingPercent;
            weeklySecondsToReset = secondsToReset(*w, reference);
        }
        if (usage->pressureCheck)
            pressureSummary = usage->pressureCheck->summary();
    }
    if (!pace.isEmpty()) {
        fiveHourObservedPercentPerHour = observedRate(pace, Usage::fiveHourMinutes);
        weeklyObservedPercentPerHour = observedRate(pace, Usage::weeklyMinutes);
    }
}

QByteArray TessalineQuota::encode() const
{
    JsonObjectWriter writer;
    const auto addInteger = [&](QStringView key, const std::optional<qint64> &value) {
        if (value)
            writer.add(key, QJsonValue(*value));
    };
    // The constructor never keeps a non-finite number; a hand-made record is held to
    // the same rule rather than writing null where a number belongs.
    const auto addDouble = [&](QStringView key, const std::optional<double> &value) {
        if (value && std::isfinite(*value))
            writer.add(key, QJsonValue(*value));
    };
    addInteger(u"fiveHourRemainingPercent", fiveHourRemainingPercent);
    addDouble(u"fiveHourSecondsToReset", fiveHourSecondsToReset);
    addInteger(u"weeklyRemainingPercent", weeklyRemainingPercent);
    addDouble(u"weeklySecondsToReset", weeklySecondsToReset);
    if (pressureSummary)
        writer.add(u"pressureSummary", QJsonValue(*pressureSummary));
    addDouble(u"fiveHourObservedPercentPerHour", fiveHourObservedPercentPerHour);
    addDouble(u"weeklyObservedPercentPerHour", weeklyObservedPercentPerHour);
    return writer.finish();
}

} // namespace tessaline

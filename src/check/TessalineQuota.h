#pragma once

#include "quota/Usage.h"

#include <QByteArray>
#include <QMap>
#include <QString>

#include <optional>

namespace tessaline {

// An observed burn rate of one quota window. Only percentPerHour is read.
struct PaceEstimate {
    std::optional<double> percentPerHour;
    std::optional<double> secondsToExhaustion;
    std::optional<bool> survivesUntilReset;

    bool operator==(const PaceEstimate &) const = default;
};

// Pace estimates keyed by window length in minutes (300, 10080).
using PaceMap = QMap<qint64, PaceEstimate>;

// The coarse quota summary sent with a task check: the only quota information that
// leaves the machine. Every double present is finite and not negative.
struct TessalineQuota {
    std::optional<qint64> fiveHourRemainingPercent;
    std::optional<double> fiveHourSecondsToReset;
    std::optional<qint64> weeklyRemainingPercent;
    std::optional<double> weeklySecondsToReset;
    std::optional<QString> pressureSummary;
    std::optional<double> fiveHourObservedPercentPerHour;
    std::optional<double> weeklyObservedPercentPerHour;

    TessalineQuota() = default;
    // Summarises the snapshot (if any) and the pace map. Seconds to reset are measured
    // from the snapshot's fetch time, never from the current clock.
    TessalineQuota(const std::optional<Usage> &usage, const PaceMap &pace);

    // One compact JSON object holding the present fields only, in declaration order.
    QByteArray encode() const;

    bool operator==(const TessalineQuota &) const = default;
};

} // namespace tessaline

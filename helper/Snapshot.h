#pragma once

#include "helper/RateLimits.h"

#include <QJsonObject>

#include <optional>

namespace tessaline::helper {

// Turns the raw figures of the buckets into the usage snapshot the program reads.
namespace Snapshot {

inline constexpr qint64 fiveHourMinutes = 300;
inline constexpr qint64 weeklyMinutes = 10080;
// A pace this many points away from even counts as ahead or behind.
inline constexpr double paceThresholdPoints = 5.0;

// Sources report lengths that drift a little around the two known windows; those are
// snapped to the exact lengths the program identifies windows by.
qint64 identifyMinutes(qint64 minutes);

// "5h", "weekly", or the length in words ("1 day", "90 minutes").
QString windowName(qint64 minutes);

struct Pace {
    double deltaPoints = 0;
    QString classification; // "ahead", "behind" or "on track"
};

// Usage against the share of the window already elapsed at `now`.
Pace pace(qint64 usedPercent, qint64 minutes, double resetsAt, double now);

// Whether a window has what it takes to be shown: a length and a usable reset time.
bool isShowable(const RawWindow &window);
bool hasShowableWindow(const RawBucket &bucket);

// The snapshot document, or nothing when no bucket has a window that can be shown.
// The first default bucket (else the first bucket) gives the top-level windows.
std::optional<QJsonObject> build(const QList<RawBucket> &buckets, double now,
                                 const std::optional<ResetCredits> &resetCredits = std::nullopt);

} // namespace Snapshot

} // namespace tessaline::helper

#pragma once

#include "service/CheckRequest.h"

#include <QString>

namespace tessaline {

// How the quota figures of a request read in an answer: the band they fall in, the
// sentence that cites them, and how long until a reset.
class QuotaWording {
public:
    enum Band { Blocked, Critical, Tight, Moderate, Healthy, Unknown };

    // The band of the lower of the two remaining percentages; Unknown when neither came.
    static Band band(const CheckQuota &quota);
    // "blocked", "critical", "tight", "moderate", "healthy", "unknown".
    static QString bandCode(Band band);
    // "Five-hour window 42% left (resets in 2 h 10 min), weekly window 80% left".
    static QString figures(const CheckQuota &quota);
    // For a blocked band: "the weekly window is used up, so wait for its reset in 1 h before starting".
    static QString usedUp(const CheckQuota &quota);
    // "under a minute", "45 min", "2 h 10 min", "3 d 4 h".
    static QString duration(double seconds);
};

} // namespace tessaline

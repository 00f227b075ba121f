#pragma once

#include "helper/RateLimits.h"

#include <QByteArray>
#include <QString>

#include <optional>

namespace tessaline::helper {

// The newest rate-limit figures in the Codex CLI's session logs.
//
// Only the files are stat'ed; the newest is read backwards from its end, and older ones
// only while they might still hold something newer. A read never grows with the length
// of the history beyond a fixed budget of files and bytes.
namespace SessionLogs {

struct Result {
    bool homeFound = false;     // the sessions folder exists
    int logFiles = 0;           // session logs found
    QList<RawBucket> buckets;   // newest figures per bucket, default bucket first
    // Some line had used percentages but no reset time, as older CLIs wrote them.
    bool percentagesWithoutReset = false;
};

// CODEX_HOME when set and non-empty, otherwise ~/.codex.
QString codexHome();

Result read(const QString &codexHome);

// The figures of one log line, when it is a token-count event carrying rate limits
// with at least one window. `time` receives the line's own timestamp (Unix seconds).
// `percentagesOnly`, when given, is set for a token-count line whose rate limits have
// used percentages but no reset time, which cannot be shown.
std::optional<RawBucket> parseLine(const QByteArray &line, double *time, bool *percentagesOnly = nullptr);

} // namespace SessionLogs

} // namespace tessaline::helper

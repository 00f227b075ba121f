#pragma once

#include "helper/RateLimits.h"

#include <QString>

#include <chrono>

namespace tessaline::helper {

// Reads the rate limits from a running `codex app-server`, which answers without
// starting a model turn.
namespace LiveSource {

enum class Status {
    Ok,
    SignedOut,   // no Codex account signed in
    ApiKey,      // signed in with an API key, which has no plan quota
    Failed,      // anything else: the session logs may still have the figures
};

struct Result {
    Status status = Status::Failed;
    QList<RawBucket> buckets; // default bucket first
    QString reason;           // for Failed: what went wrong, as a sentence fragment
    std::optional<ResetCredits> resetCredits = {};
};

// `codex` on PATH, then in ~/.local/bin; empty when neither exists.
QString findCodex();

// The whole exchange, start to answer, is bounded by `bound`. The CLI runs in a session
// of its own, and that whole session is ended before this returns: an npm-installed
// `codex` is a Node launcher whose child is the real server, which a signal to the
// launcher alone would leave running.
Result read(const QString &codex, std::chrono::milliseconds bound);

// Ends the CLI's session at once, from a signal handler when quorvel itself is asked to
// stop; async-signal-safe. Does nothing when no CLI is running.
void killRunning();

} // namespace LiveSource

} // namespace tessaline::helper

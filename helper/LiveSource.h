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
};

// `codex` on PATH, then in ~/.local/bin; empty when neither exists.
QString findCodex();

// The whole exchange, start to answer, is bounded by `bound`.
Result read(const QString &codex, std::chrono::milliseconds bound);

} // namespace LiveSource

} // namespace tessaline::helper

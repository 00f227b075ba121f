#pragma once

#include <QList>
#include <QString>

#include <optional>

namespace tessaline::helper {

// The bucket every Codex account has; other buckets (per model, for example) carry
// their own id.
inline const QString defaultLimitId = QStringLiteral("codex");

// One quota window as a source reports it, before it is checked and named.
struct RawWindow {
    double usedPercent = 0;
    std::optional<qint64> windowMinutes;
    std::optional<double> resetsAt; // Unix seconds
};

// The figures of one rate-limit bucket, from either the live CLI or a session log.
struct RawBucket {
    QString limitId = defaultLimitId;
    std::optional<QString> limitName;
    std::optional<RawWindow> primary;
    std::optional<RawWindow> secondary;
    std::optional<QString> planType;
    std::optional<QString> rateLimitReachedType;
    bool isDefault = true;
};

} // namespace tessaline::helper

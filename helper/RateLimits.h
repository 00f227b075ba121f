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
    // The account's spending limit stops further use, whatever the windows say.
    std::optional<bool> spendControlReached;
    bool isDefault = true;
};

// Credits that reset the rate-limit windows early, as the live CLI reports them.
struct ResetCredits {
    struct Credit {
        std::optional<QString> status;
        std::optional<double> expiresAt; // Unix seconds
    };
    qint64 availableCount = 0;
    std::optional<QList<Credit>> credits; // absent when only the count is known
};

} // namespace tessaline::helper

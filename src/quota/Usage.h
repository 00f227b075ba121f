#pragma once

#include "quota/Expected.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <optional>

namespace tessaline {

// The user's Codex quota at one moment, as the companion helper prints it.
// JSON keys equal the field names; see Usage::decode for the rules.
struct Usage {
    static constexpr qint64 fiveHourMinutes = 300;
    static constexpr qint64 weeklyMinutes = 10080;

    struct Window {
        QString name;
        qint64 usedPercent = 0;
        qint64 remainingPercent = 0;
        qint64 windowDurationMins = 0;
        double resetsAt = 0;

        bool operator==(const Window &) const = default;
    };

    struct LimitBucket {
        QString id;
        QString label;
        bool isDefault = false;
        QList<Window> windows;
        std::optional<QString> rateLimitReachedType;
        std::optional<bool> spendControlReached;

        bool operator==(const LimitBucket &) const = default;
    };

    struct PressureCheck {
        struct Secondary {
            QString bucketLabel;
            bool bucketIsDefault = false;
            QString windowLabel;
            double deltaPoints = 0;
            QString classification;

            bool operator==(const Secondary &) const = default;
        };

        bool blocked = false;
        std::optional<QString> bucketLabel;
        std::optional<bool> bucketIsDefault;
        std::optional<QString> windowLabel;
        std::optional<double> deltaPoints;
        std::optional<QString> classification;
        std::optional<Secondary> secondary;

        // One English sentence on the most pressured window, sent with a task check.
        QString summary() const;

        bool operator==(const PressureCheck &) const = default;

    private:
        static QString paceStatement(const QString &classification, double deltaPoints);
    };

    struct Credits {
        struct Credit {
            std::optional<QString> status;
            std::optional<double> expiresAt;

            bool operator==(const Credit &) const = default;
        };

        qint64 availableCount = 0;
        std::optional<QList<Credit>> credits;

        bool operator==(const Credits &) const = default;
    };

    struct Budget {
        double percentPerDay = 0;
        double percentPerHour = 0;
        double secondsToReset = 0;
        qint64 remainingPercent = 0;

        bool operator==(const Budget &) const = default;
    };

    struct NotificationEvent {
        QString key;
        QString title;
        QString body;

        bool operator==(const NotificationEvent &) const = default;
    };

    qint64 schemaVersion = 1;
    double fetchedAt = 0;
    QList<Window> windows;
    std::optional<QList<LimitBucket>> limitBuckets;
    std::optional<PressureCheck> pressureCheck;
    std::optional<QString> planType;
    std::optional<QString> rateLimitReachedType;
    std::optional<bool> spendControlReached;
    std::optional<Credits> resetCredits;
    std::optional<Budget> weeklyBudget;
    std::optional<QList<NotificationEvent>> notificationEvents;

    bool operator==(const Usage &) const = default;

    // Strict decoding of the helper's standard output: a whole valid snapshot or an error.
    static Expected<Usage> decode(const QByteArray &bytes);

    // The one rule for finding a window: the first of that length in list order; a
    // window's name never identifies it. Null when the snapshot lacks the window.
    const Window *fiveHourWindow() const { return firstWindowOf(fiveHourMinutes); }
    const Window *weeklyWindow() const { return firstWindowOf(weeklyMinutes); }

private:
    const Window *firstWindowOf(qint64 minutes) const
    {
        for (const Window &w : windows)
            if (w.windowDurationMins == minutes)
                return &w;
        return nullptr;
    }
};

} // namespace tessaline

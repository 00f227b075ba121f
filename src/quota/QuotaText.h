#pragma once

#include "quota/Usage.h"

#include <QString>

#include <optional>

namespace tessaline {

// The words in which Tessaline states the quota, wherever it states it: the main
// window's quota panel and `tessaline status` say the same things the same way.
struct QuotaText {
    // The windows shown, in display order.
    struct Row {
        qint64 minutes;
        const char *title;
    };
    static constexpr Row rows[] = {{Usage::fiveHourMinutes, "5-hour"}, {Usage::weeklyMinutes, "Weekly"}};

    static QString title(const Row &row) { return QString::fromLatin1(row.title); }
    // "42% remaining".
    static QString remainingLine(qint64 remainingPercent);
    // A countdown for the five-hour window, a date otherwise.
    static QString resetLine(qint64 windowMinutes, double resetsAt, double now);
    // A failed read: the reader's sentence (or a general one) and what Tessaline needs.
    static QString failure(const std::optional<QString> &message);
    // A snapshot without either shown window.
    static QString noWindows();
    static QString reading();
};

} // namespace tessaline

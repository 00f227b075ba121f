#pragma once

#include "quota/Expected.h"

#include <QByteArray>
#include <QString>

#include <optional>

namespace tessaline {

// The coarse quota figures a client sends with a task. Every field may be absent.
struct CheckQuota {
    std::optional<qint64> fiveHourRemainingPercent;
    std::optional<double> fiveHourSecondsToReset;
    std::optional<qint64> weeklyRemainingPercent;
    std::optional<double> weeklySecondsToReset;
};

// One task check as the service receives it. decode() refuses anything it cannot use;
// the error's code is the HTTP status to answer with.
struct CheckRequest {
    static constexpr qsizetype maxBodyBytes = 64 * 1024;
    static constexpr qsizetype maxTaskCharacters = 8000;

    QString task; // trimmed, never empty
    CheckQuota quota;

    static Expected<CheckRequest> decode(const QByteArray &body);
};

// User-perceived characters (extended grapheme clusters), the unit of every text limit.
qsizetype graphemeCount(const QString &text);

} // namespace tessaline

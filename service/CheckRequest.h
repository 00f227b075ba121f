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
    static constexpr qsizetype maxTaskCharacters = 8000;

    // The largest body any valid request needs. A character may be a long sequence: the
    // longest emoji sequences (a couple with two skin tones) take 15 UTF-16 units, a
    // family of four takes 11, and a client may write every unit as a six-byte \uXXXX
    // escape. 16 units of 6 bytes per character covers those; written as UTF-8 instead,
    // the same 96 bytes hold a letter with 31 combining marks, past the 30 that
    // stream-safe Unicode text ever stacks. The quota summary (a few numbers and a
    // one-sentence pressure summary) and the JSON around it get 16 KiB.
    static constexpr qsizetype maxBytesPerCharacter = 16 * 6;
    static constexpr qsizetype maxQuotaBytes = 16 * 1024;
    static constexpr qsizetype maxBodyBytes = maxTaskCharacters * maxBytesPerCharacter + maxQuotaBytes;

    // Seconds to reset past this (about 317,000 years) are read as this, so that no
    // later arithmetic on them can overflow. The program never sends more than the
    // distance to the year 10000.
    static constexpr double maxSecondsToReset = 1e13;

    QString task; // trimmed, holds at least one letter, digit or pictograph
    CheckQuota quota;

    static Expected<CheckRequest> decode(const QByteArray &body);
};

// User-perceived characters (extended grapheme clusters), the unit of every text limit.
qsizetype graphemeCount(const QString &text);

// True when the text holds a letter, a digit or a pictograph such as an emoji.
bool hasWords(QStringView text);

// "784,384 bytes": the limit as the refusal states it.
QString bodyLimitText();

} // namespace tessaline

#pragma once

#include "quota/Expected.h"
#include "reserve/Reserve.h"

#include <QDateTime>
#include <QJsonObject>
#include <QString>
#include <QStringList>

#include <optional>

namespace tessaline {

struct ProtectedRun;

// How one protected run ended, as kept in the outcome history. JSON keys equal the
// field names; absent bands leave their keys out; the state is written as its integer.
struct OutcomeRecord {
    enum class Outcome { finished, partial, abandoned };

    double timestamp = 0; // end of the run, seconds since 1970-01-01T00:00:00Z
    QString taskSize;
    QStringList lintCodes;
    std::optional<QuotaBand> startingQuotaBand;
    std::optional<QuotaBand> endingQuotaBand;
    ReservePolicy reservePolicy = ReservePolicy::standard;
    ReserveState maximumReserveConstraintReached = ReserveState::comfortable;
    qint64 runDurationMinutes = 0;
    Outcome outcome = Outcome::finished;

    OutcomeRecord() = default;
    // The record of a run that ended at endedAt. Its duration is in whole minutes,
    // truncated, and never negative even when the clock was set back during the run.
    OutcomeRecord(const ProtectedRun &run, Outcome outcome, const QDateTime &endedAt);

    // Nothing when a timestamp is not a finite number, which JSON cannot carry.
    std::optional<QJsonObject> toJson() const;
    // Every key but the two bands is required; unknown keys are ignored.
    static Expected<OutcomeRecord> fromJson(const QJsonValue &json);

    bool operator==(const OutcomeRecord &) const = default;
};

QString rawValue(OutcomeRecord::Outcome outcome);
std::optional<OutcomeRecord::Outcome> outcomeFromRawValue(const QString &raw);

} // namespace tessaline

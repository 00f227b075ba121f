#include "reserve/OutcomeRecord.h"

#include "reserve/ProtectedRun.h"

#include <QJsonArray>

#include <cmath>

namespace tessaline {

namespace {

DecodeError invalid()
{
    return DecodeError{QStringLiteral("Invalid outcome record"), 1};
}

// A JSON number with an integral value that fits 64 bits.
std::optional<qint64> integerOf(const QJsonValue &value)
{
    if (!value.isDouble())
        return std::nullopt;
    // toInteger answers its default for numbers that are not integral or do not fit;
    // two different defaults tell that apart from a stored value equal to one of them.
    const qint64 number = value.toInteger(0);
    if (number == 0 && value.toInteger(1) != 0)
        return std::nullopt;
    return number;
}

std::optional<QString> stringOf(const QJsonValue &value)
{
    if (!value.isString())
        return std::nullopt;
    return value.toString();
}

// Absent when missing or null; a failure (outer nullopt) for anything but a known band.
std::optional<std::optional<QuotaBand>> optionalBandOf(const QJsonObject &object, const QString &key)
{
    const QJsonValue value = object.value(key);
    if (value.isUndefined() || value.isNull())
        return std::optional<QuotaBand>();
    if (!value.isString())
        return std::nullopt;
    const std::optional<QuotaBand> band = quotaBandFromRawValue(value.toString());
    if (!band)
        return std::nullopt;
    return band;
}

} // namespace

QString rawValue(OutcomeRecord::Outcome outcome)
{
    switch (outcome) {
    case OutcomeRecord::Outcome::finished: return QStringLiteral("finished");
    case OutcomeRecord::Outcome::partial: return QStringLiteral("partial");
    case OutcomeRecord::Outcome::abandoned: return QStringLiteral("abandoned");
    }
    return QString();
}

std::optional<OutcomeRecord::Outcome> outcomeFromRawValue(const QString &raw)
{
    using O = OutcomeRecord::Outcome;
    for (O outcome : {O::finished, O::partial, O::abandoned})
        if (raw == rawValue(outcome))
            return outcome;
    return std::nullopt;
}

OutcomeRecord::OutcomeRecord(const ProtectedRun &run, Outcome outcome, const QDateTime &endedAt)
    : timestamp(double(endedAt.toMSecsSinceEpoch()) / 1000.0),
      taskSize(run.taskSize),
      lintCodes(run.lintCodes),
      startingQuotaBand(run.start.band()),
      endingQuotaBand(run.latest.band()),
      reservePolicy(run.reservePolicy),
      maximumReserveConstraintReached(run.worstReached),
      runDurationMinutes(std::max<qint64>(0, run.startedAt.msecsTo(endedAt) / 60000)),
      outcome(outcome)
{
}

std::optional<QJsonObject> OutcomeRecord::toJson() const
{
    if (!std::isfinite(timestamp))
        return std::nullopt;
    QJsonObject object{
        {QStringLiteral("timestamp"), timestamp},
        {QStringLiteral("taskSize"), taskSize},
        {QStringLiteral("lintCodes"), QJsonArray::fromStringList(lintCodes)},
        {QStringLiteral("reservePolicy"), rawValue(reservePolicy)},
        {QStringLiteral("maximumReserveConstraintReached"), rawValue(maximumReserveConstraintReached)},
        {QStringLiteral("runDurationMinutes"), runDurationMinutes},
        {QStringLiteral("outcome"), rawValue(outcome)},
    };
    if (startingQuotaBand)
        object.insert(QStringLiteral("startingQuotaBand"), rawValue(*startingQuotaBand));
    if (endingQuotaBand)
        object.insert(QStringLiteral("endingQuotaBand"), rawValue(*endingQuotaBand));
    return object;
}

Expected<OutcomeRecord> OutcomeRecord::fromJson(const QJsonValue &json)
{
    if (!json.isObject())
        return invalid();
    const QJsonObject object = json.toObject();
    OutcomeRecord record;

    const QJsonValue timestamp = object.value(QLatin1String("timestamp"));
    if (!timestamp.isDouble() || !std::isfinite(timestamp.toDouble()))
        return invalid();
    record.timestamp = timestamp.toDouble();

    const std::optional<QString> taskSize = stringOf(object.value(QLatin1String("taskSize")));
    if (!taskSize)
        return invalid();
    record.taskSize = *taskSize;

    const QJsonValue lintCodes = object.value(QLatin1String("lintCodes"));
    if (!lintCodes.isArray())
        return invalid();
    for (const QJsonValue &code : lintCodes.toArray()) {
        if (!code.isString())
            return invalid();
        record.lintCodes.append(code.toString());
    }

    const auto startingBand = optionalBandOf(object, QStringLiteral("startingQuotaBand"));
    const auto endingBand = optionalBandOf(object, QStringLiteral("endingQuotaBand"));
    if (!startingBand || !endingBand)
        return invalid();
    record.startingQuotaBand = *startingBand;
    record.endingQuotaBand = *endingBand;

    const std::optional<QString> policyText = stringOf(object.value(QLatin1String("reservePolicy")));
    const std::optional<ReservePolicy> policy = policyText ? reservePolicyFromRawValue(*policyText) : std::nullopt;
    if (!policy)
        return invalid();
    record.reservePolicy = *policy;

    const std::optional<qint64> stateNumber = integerOf(object.value(QLatin1String("maximumReserveConstraintReached")));
    const std::optional<ReserveState> state = stateNumber ? reserveStateFromRawValue(*stateNumber) : std::nullopt;
    if (!state)
        return invalid();
    record.maximumReserveConstraintReached = *state;

    const std::optional<qint64> minutes = integerOf(object.value(QLatin1String("runDurationMinutes")));
    if (!minutes)
        return invalid();
    record.runDurationMinutes = *minutes;

    const std::optional<QString> outcomeText = stringOf(object.value(QLatin1String("outcome")));
    const std::optional<Outcome> outcome = outcomeText ? outcomeFromRawValue(*outcomeText) : std::nullopt;
    if (!outcome)
        return invalid();
    record.outcome = *outcome;

    return record;
}

} // namespace tessaline

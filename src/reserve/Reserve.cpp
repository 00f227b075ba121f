#include "reserve/Reserve.h"

#include <algorithm>

namespace tessaline {

QString rawValue(QuotaBand band)
{
    switch (band) {
    case QuotaBand::blocked: return QStringLiteral("blocked");
    case QuotaBand::critical: return QStringLiteral("critical");
    case QuotaBand::tight: return QStringLiteral("tight");
    case QuotaBand::moderate: return QStringLiteral("moderate");
    case QuotaBand::healthy: return QStringLiteral("healthy");
    }
    return QString();
}

QString rawValue(ReservePolicy policy)
{
    switch (policy) {
    case ReservePolicy::light: return QStringLiteral("light");
    case ReservePolicy::standard: return QStringLiteral("standard");
    case ReservePolicy::high: return QStringLiteral("high");
    }
    return QString();
}

int rawValue(ReserveState state)
{
    return static_cast<int>(state);
}

std::optional<QuotaBand> quotaBandFromRawValue(const QString &raw)
{
    for (QuotaBand band : {QuotaBand::blocked, QuotaBand::critical, QuotaBand::tight,
                           QuotaBand::moderate, QuotaBand::healthy})
        if (raw == rawValue(band))
            return band;
    return std::nullopt;
}

std::optional<ReservePolicy> reservePolicyFromRawValue(const QString &raw)
{
    for (ReservePolicy policy : {ReservePolicy::light, ReservePolicy::standard, ReservePolicy::high})
        if (raw == rawValue(policy))
            return policy;
    return std::nullopt;
}

std::optional<ReserveState> reserveStateFromRawValue(qint64 raw)
{
    if (raw < rawValue(ReserveState::comfortable) || raw > rawValue(ReserveState::exhausted))
        return std::nullopt;
    return static_cast<ReserveState>(raw);
}

std::optional<QuotaBand> quotaBandFrom(std::optional<qint64> fiveHour, std::optional<qint64> weekly)
{
    std::optional<qint64> lowest = fiveHour;
    if (weekly && (!lowest || *weekly < *lowest))
        lowest = weekly;
    if (!lowest)
        return std::nullopt;
    const qint64 m = *lowest;
    if (m < 1)
        return QuotaBand::blocked;
    if (m < 16)
        return QuotaBand::critical;
    if (m < 36)
        return QuotaBand::tight;
    if (m < 66)
        return QuotaBand::moderate;
    return QuotaBand::healthy;
}

ReserveState reserveStateFrom(QuotaBand band, ReservePolicy policy)
{
    if (band == QuotaBand::blocked)
        return ReserveState::exhausted;
    // Pressure counts up from healthy (0) to critical (3); each step of policy strictness
    // adds one, and the warning states stop at validationOnly.
    const int pressure = static_cast<int>(QuotaBand::healthy) - static_cast<int>(band);
    const int strictness = static_cast<int>(policy);
    const int index = std::clamp(pressure + strictness - 1, rawValue(ReserveState::comfortable),
                                 rawValue(ReserveState::validationOnly));
    return static_cast<ReserveState>(index);
}

QString title(ReserveState state)
{
    switch (state) {
    case ReserveState::comfortable: return QStringLiteral("COMFORTABLE");
    case ReserveState::keepHeadroom: return QStringLiteral("KEEP HEADROOM");
    case ReserveState::validationAtRisk: return QStringLiteral("VALIDATION AT RISK");
    case ReserveState::validationOnly: return QStringLiteral("VALIDATION ONLY");
    case ReserveState::exhausted: return QStringLiteral("QUOTA EXHAUSTED");
    }
    return QString();
}

QString guidance(ReserveState state)
{
    switch (state) {
    case ReserveState::comfortable:
        return QStringLiteral("Current quota leaves reasonable room for implementation and validation.");
    case ReserveState::keepHeadroom:
        return QStringLiteral("Finish the current unit before starting another branch of work.");
    case ReserveState::validationAtRisk:
        return QStringLiteral("Stop expanding scope. Preserve the remaining window for completion and validation.");
    case ReserveState::validationOnly:
        return QStringLiteral("Do not start new implementation. Run tests, verification and checkpoint the current work.");
    case ReserveState::exhausted:
        return QStringLiteral("Quota is exhausted. Stop and resume after reset.");
    }
    return QString();
}

} // namespace tessaline

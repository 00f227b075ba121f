#pragma once

#include <QHashFunctions>
#include <QString>

#include <optional>

namespace tessaline {

// How much quota is left, graded from the more pressured window. Declared from the
// worst grade to the best.
enum class QuotaBand { blocked, critical, tight, moderate, healthy };

// How much of the remaining quota a task wants kept back for validation.
enum class ReservePolicy { light, standard, high };

// Band and policy combined. The raw value is also the order: a later case is worse, so
// the built-in comparison operators of the enumeration order states correctly.
enum class ReserveState {
    comfortable = 0,
    keepHeadroom = 1,
    validationAtRisk = 2,
    validationOnly = 3,
    exhausted = 4
};

// So that the values can key a QHash or fill a QSet.
inline size_t qHash(QuotaBand band, size_t seed = 0) noexcept { return ::qHash(int(band), seed); }
inline size_t qHash(ReservePolicy policy, size_t seed = 0) noexcept { return ::qHash(int(policy), seed); }
inline size_t qHash(ReserveState state, size_t seed = 0) noexcept { return ::qHash(int(state), seed); }

// Stored and transmitted forms: text for bands and policies, an integer for states.
QString rawValue(QuotaBand band);
QString rawValue(ReservePolicy policy);
int rawValue(ReserveState state);

// Exact, case-sensitive; anything outside the known raw values yields nothing.
std::optional<QuotaBand> quotaBandFromRawValue(const QString &raw);
std::optional<ReservePolicy> reservePolicyFromRawValue(const QString &raw);
std::optional<ReserveState> reserveStateFromRawValue(qint64 raw);

// The band of the lower of the two remaining percentages that are present; nothing when
// neither is. Values outside 0...100 are graded as they come.
std::optional<QuotaBand> quotaBandFrom(std::optional<qint64> fiveHour, std::optional<qint64> weekly);

// A stricter policy reaches each warning state one band earlier; only the blocked band
// is exhausted.
ReserveState reserveStateFrom(QuotaBand band, ReservePolicy policy);

// The texts shown in the window and in notifications.
QString title(ReserveState state);
QString guidance(ReserveState state);

} // namespace tessaline

#pragma once

#include "reserve/Reserve.h"

#include <QDateTime>
#include <QString>
#include <QStringList>

#include <optional>

namespace tessaline {

struct Usage;

// One stretch of agent work watched against the validation reserve that its task asked
// for. A plain value: begin() creates it, observe() advances it with each quota reading.
struct ProtectedRun {
    // The two remaining percentages a run follows; either may be absent.
    struct Snapshot {
        std::optional<qint64> fiveHour;
        std::optional<qint64> weekly;

        Snapshot() = default;
        Snapshot(std::optional<qint64> fiveHour, std::optional<qint64> weekly)
            : fiveHour(fiveHour), weekly(weekly)
        {
        }
        // From the snapshot's first 300-minute and first 10080-minute top-level windows.
        explicit Snapshot(const Usage &usage);

        std::optional<QuotaBand> band() const { return quotaBandFrom(fiveHour, weekly); }

        bool operator==(const Snapshot &) const = default;
    };

    QDateTime startedAt;
    Snapshot start;
    QString taskSize;
    QStringList lintCodes;
    ReservePolicy reservePolicy = ReservePolicy::standard;
    Snapshot latest;
    ReserveState state = ReserveState::comfortable;
    // The worst state already brought to the user's attention. It goes back down only
    // when telling the user of a state failed (see notSurfaced()).
    ReserveState worstSurfaced = ReserveState::comfortable;
    // The worst state any reading gave; it never decreases.
    ReserveState worstReached = ReserveState::comfortable;

    // A run over the given start, or nothing when the start has no band or is already in
    // the blocked band. Without a task size the run's size is "unknown". The state the
    // user sees at the start counts as surfaced, so it is never notified.
    static std::optional<ProtectedRun> begin(const QDateTime &startedAt, const Snapshot &start,
                                             const std::optional<QString> &taskSize,
                                             const QStringList &lintCodes, ReservePolicy reservePolicy);

    // Takes a new reading. Returns the state when it is worse than every state surfaced
    // before, which the caller must then tell the user; nothing otherwise. A reading with
    // neither window is kept as latest but changes no state.
    std::optional<ReserveState> observe(const Snapshot &snapshot);

    // Telling the user of `state`, as returned by observe(), failed: it no longer counts
    // as surfaced, so the next reading that still gives it (or worse) returns it again.
    // The states below it stay surfaced, and nothing changes once a worse state was
    // returned meanwhile.
    void notSurfaced(ReserveState state);

    bool operator==(const ProtectedRun &) const = default;
};

} // namespace tessaline

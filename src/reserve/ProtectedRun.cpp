#include "reserve/ProtectedRun.h"

#include "quota/Usage.h"

#include <algorithm>

namespace tessaline {

ProtectedRun::Snapshot::Snapshot(const Usage &usage)
{
    if (const Usage::Window *window = usage.fiveHourWindow())
        fiveHour = window->remainingPercent;
    if (const Usage::Window *window = usage.weeklyWindow())
        weekly = window->remainingPercent;
}

std::optional<ProtectedRun> ProtectedRun::begin(const QDateTime &startedAt, const Snapshot &start,
                                                const std::optional<QString> &taskSize,
                                                const QStringList &lintCodes, ReservePolicy reservePolicy)
{
    const std::optional<QuotaBand> band = start.band();
    if (!band || *band == QuotaBand::blocked)
        return std::nullopt;

    ProtectedRun run;
    run.startedAt = startedAt;
    run.start = start;
    run.taskSize = taskSize.value_or(QStringLiteral("unknown"));
    run.lintCodes = lintCodes;
    run.reservePolicy = reservePolicy;
    run.latest = start;
    run.state = reserveStateFrom(*band, reservePolicy);
    run.worstSurfaced = run.state;
    run.worstReached = run.state;
    return run;
}

std::optional<ReserveState> ProtectedRun::observe(const Snapshot &snapshot)
{
    latest = snapshot;
    const std::optional<QuotaBand> band = snapshot.band();
    if (!band)
        return std::nullopt;
    state = reserveStateFrom(*band, reservePolicy);
    worstReached = std::max(worstReached, state);
    if (state <= worstSurfaced)
        return std::nullopt;
    worstSurfaced = state;
    return state;
}

void ProtectedRun::notSurfaced(ReserveState state)
{
    if (worstSurfaced != state || state == ReserveState::comfortable)
        return;
    worstSurfaced = ReserveState(int(state) - 1);
}

} // namespace tessaline

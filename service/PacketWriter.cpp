#include "service/PacketWriter.h"

#include "service/CheckRequest.h"
#include "service/TextPatterns.h"

namespace tessaline {

using text::clip;
using text::sentenceCase;
using text::withStop;

Packet PacketWriter::write(const PacketPlan &plan)
{
    Packet out;
    TaskShape &shape = out.shape;

    // The shape restates the task as the agent should run it.
    QString goal = clip(sentenceCase(plan.goal), 300);
    if (goal.isEmpty())
        goal = QStringLiteral("The request below");
    QString scope = plan.decision == QLatin1String("scope_down") ? QStringLiteral("The first working increment of: ") + goal : goal;
    // Name where to work, unless the goal already says it.
    QStringList elsewhere;
    for (const QString &t : plan.targets)
        if (!goal.contains(t) && elsewhere.size() < 6)
            elsewhere << t;
    if (!elsewhere.isEmpty())
        scope += QStringLiteral(", only in ") + clip(elsewhere.join(QStringLiteral(", ")), 200);
    scope = withStop(scope);
    if (plan.repoWide)
        scope += QStringLiteral(" Limit this run to one module or directory named first.");
    shape.scope = scope;
    out.goal = withStop(goal);

    if (plan.decision == QLatin1String("wait_for_reset"))
        shape.direction = QStringLiteral("Do not start yet: wait for the quota window to reset, then run this task.");
    else if (plan.decision == QLatin1String("plan_first"))
        shape.direction = plan.investigation
            ? QStringLiteral("Investigate first and report the cause with evidence; write a short plan before changing code.")
            : QStringLiteral("Read the code involved and write a short plan (files, steps, risks) before editing; start once the plan is agreed.");
    else if (plan.decision == QLatin1String("scope_down"))
        shape.direction = QStringLiteral("Deliver the smallest working increment of the goal and checkpoint it; leave the rest for a later run.");
    else
        shape.direction = QStringLiteral("Make the smallest change that reaches the goal and follow the patterns of the code around it.");

    shape.preserve = !plan.constraints.isEmpty()
        ? clip(plan.constraints.join(QLatin1Char(' ')), 300)
        : QStringLiteral("Existing behaviour, public interfaces and passing tests outside the goal.");
    shape.validation = !plan.validation.isEmpty()
        ? withStop(clip(sentenceCase(plan.validation), 300))
        : plan.tiny ? QStringLiteral("Build, re-read the diff and run the tests that cover the touched code.")
                    : QStringLiteral("Add or update a test that fails before the change and passes after it, then run the whole test suite.");
    if (!plan.stop.isEmpty())
        shape.stop = withStop(clip(sentenceCase(plan.stop), 300));
    else if (plan.investigation)
        shape.stop = QStringLiteral("Stop once the cause is found and report it with evidence, or after 30 minutes without a lead.");
    else if (!plan.deferred.isEmpty())
        shape.stop = QStringLiteral("Stop when this goal is met and validated; do not start the deferred items.");
    else
        shape.stop = QStringLiteral("Stop when the goal is met and validated; report anything left undone.");

    QString packet = QStringLiteral("Goal: %1\n\nScope: %2\nDirection: %3\nPreserve: %4\nValidate: %5\nStop: %6\n")
                         .arg(out.goal, shape.scope, shape.direction, shape.preserve, shape.validation, shape.stop);
    if (!plan.deferred.isEmpty())
        packet += QStringLiteral("\nNot in this run: %1.\n").arg(plan.deferred.join(QStringLiteral("; ")));
    if (plan.credentialRemoved)
        packet += QStringLiteral("\nA credential was removed from the request; use the environment or secret store instead.\n");
    // The request itself closes the packet, within the client's limit.
    const qsizetype room = TaskAssessment::maxPacketCharacters - graphemeCount(packet) - 20;
    if (room > 0)
        packet += QStringLiteral("\nRequest:\n") + clip(plan.request, room);
    out.text = packet;
    return out;
}

} // namespace tessaline

#pragma once

#include "service/TaskLinter.h"

#include <QString>
#include <QStringList>

namespace tessaline {

// What a task packet is written from: the reading of the request and the verdict on it.
struct PacketPlan {
    QString goal;                // the main request as read
    QString decision;            // start_now, scope_down, plan_first, wait_for_reset
    bool tiny = false;           // a tiny task gets a lighter default check
    bool repoWide = false;       // the run is told to name one module first
    bool investigation = false;  // the goal is an open investigation: find the cause, then stop
    QStringList targets;         // where to work, named in the scope unless the goal names them
    QStringList constraints;     // the user's prohibitions for this run, as sentences
    QString validation;          // the user's own check; empty for a default
    QString stop;                // the user's own stop condition; empty for a default
    QStringList deferred;        // jobs left for later runs
    bool credentialRemoved = false;
    QString request;             // the request itself, redacted, which closes the packet
};

// The packet the agent is given: its Goal line, the shape, and the whole text.
struct Packet {
    QString goal;
    TaskShape shape;
    QString text; // within TaskAssessment::maxPacketCharacters, cut on a character boundary
};

class PacketWriter {
public:
    static Packet write(const PacketPlan &plan);
};

} // namespace tessaline

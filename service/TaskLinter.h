#pragma once

#include "service/CheckRequest.h"

#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>

namespace tessaline {

struct TaskLint {
    QString code;
    QString title;
    QString message;
    QString fix;
};

struct TaskShape {
    QString scope;
    QString direction;
    QString preserve;
    QString validation;
    QString stop;
};

// The service's whole answer to one task check. Deterministic: the same request always
// gives the same assessment.
struct TaskAssessment {
    static constexpr int maxLints = 4;
    static constexpr int maxDeferred = 5;
    static constexpr qsizetype maxPacketCharacters = 12000;

    QString decision;      // start_now, scope_down, plan_first, wait_for_reset
    QString band;          // blocked, critical, tight, moderate, healthy, unknown
    QString reason;        // one sentence that cites the quota figures
    QString taskSize;      // tiny, small, medium, large, huge
    QString goal;          // what this run is for, as the packet's first line gives it
    QList<TaskLint> lints; // most serious first, at most maxLints
    TaskShape shape;
    QStringList deferred;  // goals split off the main one, at most maxDeferred
    QString taskPacket;
    QString reservePolicy; // light, standard, high

    QJsonObject toJson() const;
};

class TaskLinter {
public:
    static TaskAssessment assess(const CheckRequest &request);
};

} // namespace tessaline

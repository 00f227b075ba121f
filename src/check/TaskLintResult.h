#pragma once

#include "quota/Expected.h"
#include "reserve/Reserve.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <optional>

namespace tessaline {

// The check service's answer to one task check, cleaned and validated by decode.
struct TaskLintResult {
    struct Quota {
        QString band; // the service's own text, not converted to a band
        QString reason;

        bool operator==(const Quota &) const = default;
    };

    struct Lint {
        QString code;
        QString title;
        QString message;
        QString fix;

        bool operator==(const Lint &) const = default;
    };

    struct Shape {
        struct Row {
            QString label;
            QString value;

            bool operator==(const Row &) const = default;
        };

        std::optional<QString> scope;
        std::optional<QString> direction;
        std::optional<QString> preserve;
        std::optional<QString> validation;
        std::optional<QString> stop;

        // One row per present, non-empty field, in the fixed order Scope, Direction,
        // Preserve, Validate, Stop.
        QList<Row> rows() const;

        bool operator==(const Shape &) const = default;
    };

    // One entry of a code-to-label table.
    struct Label {
        QString code;
        QString label;
    };

    static constexpr qsizetype maxLints = 4;
    static constexpr qsizetype maxDeferred = 5;
    static constexpr qsizetype maxPacketCharacters = 12000;

    QString decision;
    Quota quota;
    std::optional<QString> taskSize;
    QList<Lint> lints;
    std::optional<Shape> taskShape;
    QList<QString> deferred; // the JSON key is "defer"
    std::optional<QString> taskPacket;
    std::optional<ReservePolicy> reservePolicy;

    // Decision codes and their verdict labels.
    static const QList<Label> &decisions();
    // Task size codes and their labels.
    static const QList<Label> &sizeLabels();

    // A whole, cleaned and validated result, or an error that is never shown to the user.
    static Expected<TaskLintResult> decode(const QByteArray &bytes);

    // The verdict label of the decision; every decoded result has one.
    QString verdict() const;
    // The label of the task size, the size as sent when it is not a known code, or
    // nothing without a size.
    std::optional<QString> sizeLabel() const;

    bool operator==(const TaskLintResult &) const = default;
};

} // namespace tessaline

#pragma once

#include "check/CheckEndpoint.h"
#include "check/TessalineQuota.h"
#include "quota/Usage.h"

#include <QByteArray>
#include <QString>
#include <QUrl>

#include <optional>
#include <variant>

namespace tessaline {

// The body of a task check: the trimmed description and the quota summary.
struct TessalineRequest {
    QString task;
    TessalineQuota quota;

    // Compact UTF-8 JSON, "task" first, then "quota" (an object, possibly empty).
    QByteArray encode() const;

    bool operator==(const TessalineRequest &) const = default;
};

// A check ready to send: where to, and the exact bytes.
struct PreparedCheck {
    CheckEndpoint endpoint;
    QUrl url;
    TessalineRequest request;
    QByteArray body;
};

// What happens before anything is sent.
class TaskCheck {
public:
    static constexpr qsizetype maxDescriptionCharacters = 8000;

    // Either the check to send or the one sentence for the status line that says why
    // not. Pure: reads nothing but its arguments.
    static std::variant<PreparedCheck, QString> prepare(const QString &description,
                                                        const std::optional<Usage> &usage,
                                                        const CheckEndpoint &endpoint);

    // The description as sent: white space and line breaks trimmed from both ends only.
    static QString trimmedDescription(const QString &description);
};

} // namespace tessaline

#include "check/TaskCheck.h"

#include "check/JsonWriter.h"
#include "check/TextLength.h"

namespace tessaline {

QByteArray TessalineRequest::encode() const
{
    JsonObjectWriter writer;
    writer.add(u"task", QJsonValue(task));
    writer.addEncoded(u"quota", quota.encode());
    return writer.finish();
}

QString TaskCheck::trimmedDescription(const QString &description)
{
    // QString::trimmed removes exactly the Unicode separators plus tab, line feed,
    // vertical tab, form feed, carriage return and next line.
    return description.trimmed();
}

std::variant<PreparedCheck, QString> TaskCheck::prepare(const QString &description,
                                                        const std::optional<Usage> &usage,
                                                        const CheckEndpoint &endpoint)
{
    if (!usage)
        return QStringLiteral("Read your current Codex quota first.");
    const QString task = trimmedDescription(description);
    if (task.isEmpty())
        return QStringLiteral("Describe the task first.");
    if (!hasAtMostCharacters(task, maxDescriptionCharacters))
        return QStringLiteral("That description is longer than 8,000 characters.");

    TessalineRequest request{task, TessalineQuota(usage, PaceMap{})};
    const std::optional<QUrl> url = endpoint.apiUrl();
    if (!url)
        return QStringLiteral("Could not prepare the check.");
    QByteArray body = request.encode();
    return PreparedCheck{endpoint, *url, std::move(request), std::move(body)};
}

} // namespace tessaline

#include "check/TaskLintResult.h"

#include "check/TextLength.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>

namespace tessaline {

namespace {

// Thrown only inside decode, which turns it into its error value.
struct ReadFailure {
    QString message;
};

[[noreturn]] void fail(const QString &message)
{
    throw ReadFailure{message};
}

QString requiredString(const QJsonObject &object, const QString &key)
{
    const QJsonValue value = object.value(key);
    if (!value.isString())
        fail(value.isUndefined() || value.isNull() ? QStringLiteral("missing \"%1\"").arg(key)
                                                    : QStringLiteral("\"%1\" is not a string").arg(key));
    return value.toString();
}

// Missing and null give nothing; any other non-string fails the document.
std::optional<QString> optionalString(const QJsonObject &object, const QString &key)
{
    const QJsonValue value = object.value(key);
    if (value.isUndefined() || value.isNull())
        return std::nullopt;
    if (!value.isString())
        fail(QStringLiteral("\"%1\" is not a string").arg(key));
    return value.toString();
}

// Missing, null and any non-string give nothing, without failing the document.
std::optional<QString> lenientString(const QJsonObject &object, const QString &key)
{
    const QJsonValue value = object.value(key);
    if (!value.isString())
        return std::nullopt;
    return value.toString();
}

// Missing and null give an empty array; any other non-array fails the document.
QJsonArray optionalArray(const QJsonObject &object, const QString &key)
{
    const QJsonValue value = object.value(key);
    if (value.isUndefined() || value.isNull())
        return {};
    if (!value.isArray())
        fail(QStringLiteral("\"%1\" is not an array").arg(key));
    return value.toArray();
}

TaskLintResult::Quota readQuota(const QJsonObject &root)
{
    const QJsonValue value = root.value(QLatin1String("quota"));
    if (!value.isObject())
        fail(QStringLiteral("\"quota\" is missing or not an object"));
    const QJsonObject object = value.toObject();
    return {requiredString(object, QStringLiteral("band")), requiredString(object, QStringLiteral("reason"))};
}

QList<TaskLintResult::Lint> readLints(const QJsonObject &root)
{
    QList<TaskLintResult::Lint> lints;
    // Every entry is read, so a malformed one fails the document even past the cap.
    for (const QJsonValue &entry : optionalArray(root, QStringLiteral("lints"))) {
        if (!entry.isObject())
            fail(QStringLiteral("a lint is not an object"));
        const QJsonObject object = entry.toObject();
        TaskLintResult::Lint lint{requiredString(object, QStringLiteral("code")),
                                  requiredString(object, QStringLiteral("title")),
                                  requiredString(object, QStringLiteral("message")),
                                  requiredString(object, QStringLiteral("fix"))};
        if (!lint.title.isEmpty() && !lint.fix.isEmpty() && lints.size() < TaskLintResult::maxLints)
            lints.append(std::move(lint));
    }
    return lints;
}

std::optional<TaskLintResult::Shape> readShape(const QJsonObject &root)
{
    const QJsonValue value = root.value(QLatin1String("taskShape"));
    if (value.isUndefined() || value.isNull())
        return std::nullopt;
    if (!value.isObject())
        fail(QStringLiteral("\"taskShape\" is not an object"));
    const QJsonObject object = value.toObject();
    return TaskLintResult::Shape{optionalString(object, QStringLiteral("scope")),
                                 optionalString(object, QStringLiteral("direction")),
                                 optionalString(object, QStringLiteral("preserve")),
                                 optionalString(object, QStringLiteral("validation")),
                                 optionalString(object, QStringLiteral("stop"))};
}

QList<QString> readDeferred(const QJsonObject &root)
{
    QList<QString> deferred;
    for (const QJsonValue &entry : optionalArray(root, QStringLiteral("defer"))) {
        if (!entry.isString())
            fail(QStringLiteral("a deferred item is not a string"));
        QString item = entry.toString();
        if (!item.isEmpty() && deferred.size() < TaskLintResult::maxDeferred)
            deferred.append(std::move(item));
    }
    return deferred;
}

const QString *labelFor(const QList<TaskLintResult::Label> &table, const QString &code)
{
    for (const TaskLintResult::Label &entry : table)
        if (entry.code == code)
            return &entry.label;
    return nullptr;
}

TaskLintResult read(const QByteArray &bytes)
{
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &parseError);
    if (parseError.error != QJsonParseError::NoError)
        fail(parseError.errorString());
    if (!document.isObject())
        fail(QStringLiteral("the answer is not a JSON object"));
    const QJsonObject root = document.object();

    TaskLintResult result;
    result.decision = requiredString(root, QStringLiteral("decision"));
    result.quota = readQuota(root);
    result.taskSize = optionalString(root, QStringLiteral("taskSize"));
    result.lints = readLints(root);
    result.taskShape = readShape(root);
    result.deferred = readDeferred(root);

    std::optional<QString> packet = lenientString(root, QStringLiteral("taskPacket"));
    if (packet && !packet->isEmpty() && hasAtMostCharacters(*packet, TaskLintResult::maxPacketCharacters))
        result.taskPacket = std::move(packet);

    if (const std::optional<QString> policy = lenientString(root, QStringLiteral("reservePolicy")))
        result.reservePolicy = reservePolicyFromRawValue(*policy);
    return result;
}

} // namespace

const QList<TaskLintResult::Label> &TaskLintResult::decisions()
{
    static const QList<Label> table{
        {QStringLiteral("start_now"), QStringLiteral("START NOW")},
        {QStringLiteral("scope_down"), QStringLiteral("SCOPE DOWN")},
        {QStringLiteral("plan_first"), QStringLiteral("PLAN FIRST")},
        {QStringLiteral("wait_for_reset"), QStringLiteral("WAIT FOR RESET")},
    };
    return table;
}

const QList<TaskLintResult::Label> &TaskLintResult::sizeLabels()
{
    static const QList<Label> table{
        {QStringLiteral("tiny"), QStringLiteral("Tiny")},
        {QStringLiteral("small"), QStringLiteral("Small")},
        {QStringLiteral("medium"), QStringLiteral("Medium")},
        {QStringLiteral("large"), QStringLiteral("Large")},
        {QStringLiteral("huge"), QStringLiteral("Huge")},
    };
    return table;
}

Expected<TaskLintResult> TaskLintResult::decode(const QByteArray &bytes)
{
    TaskLintResult result;
    try {
        result = read(bytes);
    } catch (const ReadFailure &failure) {
        return DecodeError{failure.message, 1};
    }
    if (!labelFor(decisions(), result.decision) || result.quota.reason.isEmpty())
        return DecodeError{QStringLiteral("Invalid Tessaline result"), 1};
    return result;
}

QString TaskLintResult::verdict() const
{
    const QString *label = labelFor(decisions(), decision);
    return label ? *label : QString();
}

std::optional<QString> TaskLintResult::sizeLabel() const
{
    if (!taskSize)
        return std::nullopt;
    const QString *label = labelFor(sizeLabels(), *taskSize);
    return label ? *label : *taskSize;
}

QList<TaskLintResult::Shape::Row> TaskLintResult::Shape::rows() const
{
    QList<Row> rows;
    const auto add = [&rows](const char *label, const std::optional<QString> &value) {
        if (value && !value->isEmpty())
            rows.append({QString::fromLatin1(label), *value});
    };
    add("Scope", scope);
    add("Direction", direction);
    add("Preserve", preserve);
    add("Validate", validation);
    add("Stop", stop);
    return rows;
}

} // namespace tessaline

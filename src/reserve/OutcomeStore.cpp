#include "reserve/OutcomeStore.h"

#include "platform/SettingsStore.h"
#include "reserve/ProtectedRun.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>

namespace tessaline {

const QString OutcomeStore::key = QStringLiteral("protectedRunOutcomes.v1");
const QString OutcomeStore::unreadableKey = QStringLiteral("protectedRunOutcomes.v1.unreadable");

namespace {

constexpr int insightWindow = 20;
constexpr int insightMinimum = 5;

// A stored value is history only when it is a byte array that decodes.
std::optional<QList<OutcomeRecord>> historyOf(const QVariant &stored)
{
    if (stored.typeId() != QMetaType::QByteArray)
        return std::nullopt;
    Expected<QList<OutcomeRecord>> decoded = OutcomeStore::decode(stored.toByteArray());
    if (!decoded)
        return std::nullopt;
    return std::move(decoded).value();
}

} // namespace

OutcomeStore::OutcomeStore() : OutcomeStore(std::make_shared<QSettingsStore>()) {}

OutcomeStore::OutcomeStore(std::shared_ptr<SettingsStore> defaults) : defaults(std::move(defaults)) {}

QList<OutcomeRecord> OutcomeStore::records() const
{
    return historyOf(defaults->value(key)).value_or(QList<OutcomeRecord>());
}

bool OutcomeStore::record(const ProtectedRun &run, std::optional<OutcomeRecord::Outcome> outcome,
                          const QDateTime &endedAt)
{
    if (!outcome)
        return false;

    const QVariant stored = defaults->value(key);
    std::optional<QList<OutcomeRecord>> history = historyOf(stored);
    if (!history) {
        history.emplace();
        // Keep what cannot be read for the user (or a later version) to recover, and
        // never overwrite a copy kept before. Without a safe copy nothing is replaced.
        if (stored.isValid() && !defaults->contains(unreadableKey) && !defaults->setValue(unreadableKey, stored))
            return false;
    }

    history->append(OutcomeRecord(run, *outcome, endedAt));
    if (history->size() > capacity)
        history->remove(0, history->size() - capacity);

    const std::optional<QByteArray> bytes = encode(*history);
    if (!bytes)
        return false;
    return defaults->setValue(key, *bytes);
}

std::optional<QString> OutcomeStore::insight(const QList<OutcomeRecord> &records, const QString &taskSize,
                                             ReservePolicy policy, std::optional<QuotaBand> band)
{
    QList<const OutcomeRecord *> similar;
    for (const OutcomeRecord &record : records)
        if (record.taskSize == taskSize && record.reservePolicy == policy && record.startingQuotaBand == band)
            similar.append(&record);
    if (similar.size() > insightWindow)
        similar.remove(0, similar.size() - insightWindow);
    if (similar.size() < insightMinimum)
        return std::nullopt;

    qsizetype finished = 0;
    for (const OutcomeRecord *record : similar)
        if (record->outcome == OutcomeRecord::Outcome::finished)
            ++finished;
    return QStringLiteral("Your history: %1 of %2 similarly scoped runs finished.")
        .arg(finished)
        .arg(similar.size());
}

Expected<QList<OutcomeRecord>> OutcomeStore::decode(const QByteArray &bytes)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &error);
    if (error.error != QJsonParseError::NoError)
        return DecodeError{error.errorString(), 1};
    if (!document.isArray())
        return DecodeError{QStringLiteral("Invalid outcome history"), 1};

    const QJsonArray array = document.array();
    QList<OutcomeRecord> records;
    records.reserve(array.size());
    for (const QJsonValue &element : array) {
        Expected<OutcomeRecord> record = OutcomeRecord::fromJson(element);
        if (!record)
            return record.error();
        records.append(std::move(record).value());
    }
    return records;
}

std::optional<QByteArray> OutcomeStore::encode(const QList<OutcomeRecord> &records)
{
    QJsonArray array;
    for (const OutcomeRecord &record : records) {
        const std::optional<QJsonObject> object = record.toJson();
        if (!object)
            return std::nullopt;
        array.append(*object);
    }
    return QJsonDocument(array).toJson(QJsonDocument::Compact);
}

} // namespace tessaline

#pragma once

#include "quota/Expected.h"
#include "reserve/OutcomeRecord.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <memory>
#include <optional>

namespace tessaline {

class SettingsStore;
struct ProtectedRun;

// The history of how protected runs ended: one JSON array, oldest first, kept as one
// byte-array value in the user's settings. Every operation reads the value afresh.
class OutcomeStore {
public:
    static constexpr int capacity = 200;
    static const QString key;           // "protectedRunOutcomes.v1"
    static const QString unreadableKey; // where an undecodable history is kept aside

    // Over the user's own settings.
    OutcomeStore();
    // Over the given settings, such as a store in a test's temporary directory.
    explicit OutcomeStore(std::shared_ptr<SettingsStore> defaults);

    // The decoded history, oldest first; empty when nothing is stored or the stored value
    // cannot be decoded.
    QList<OutcomeRecord> records() const;

    // Appends the record of the run, keeping the newest 200. Does nothing without an
    // outcome (the user skipped the question). A stored history that cannot be decoded is
    // not thrown away: it is kept under unreadableKey (unless an earlier copy is already
    // kept there) before the new one-record history replaces it. True when the record
    // was written; the caller may ignore failures, which leave the stored value as it was.
    bool record(const ProtectedRun &run, std::optional<OutcomeRecord::Outcome> outcome,
                const QDateTime &endedAt);

    // "Your history: N of M similarly scoped runs finished." over the newest 20 records of
    // the same task size, policy and starting band; nothing when fewer than 5 match.
    static std::optional<QString> insight(const QList<OutcomeRecord> &records, const QString &taskSize,
                                          ReservePolicy policy, std::optional<QuotaBand> band);

    // The stored form. Decoding fails as a whole when any element is bad; encoding fails
    // when a record cannot be written as JSON.
    static Expected<QList<OutcomeRecord>> decode(const QByteArray &bytes);
    static std::optional<QByteArray> encode(const QList<OutcomeRecord> &records);

    std::shared_ptr<SettingsStore> defaults;
};

} // namespace tessaline

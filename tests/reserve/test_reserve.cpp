#include "platform/SettingsStore.h"
#include "quota/Usage.h"
#include "reserve/OutcomeStore.h"
#include "reserve/ProtectedRun.h"

#include "FixtureRows.h"
#include "TestJson.h"

#include <QTemporaryDir>
#include <QTest>

using namespace tessaline;

using Snapshot = ProtectedRun::Snapshot;
using Percent = std::optional<qint64>;
using Band = std::optional<QuotaBand>;
using Outcome = OutcomeRecord::Outcome;
using Records = QList<OutcomeRecord>;
using S = ReserveState;

namespace {

const QDateTime startTime = QDateTime::fromSecsSinceEpoch(1'700'000'000, Qt::UTC);

const auto window = [](qint64 minutes, qint64 left) { return Usage::Window{"w", 100 - left, left, minutes, 1.7e9}; };

ProtectedRun runOf(ReservePolicy policy = ReservePolicy::standard, Snapshot start = {50, 80})
{
    return *ProtectedRun::begin(startTime, start, QStringLiteral("small"), {"scope", "tests"}, policy);
}

// [5-hour, weekly] percentages left, null for a window the snapshot lacks.
Snapshot snapshotOf(const QJsonValue &v)
{
    return Snapshot(v[0].isNull() ? Percent() : v[0].toInteger(), v[1].isNull() ? Percent() : v[1].toInteger());
}

// Keys in no particular order, one unknown, an absent band as null, a whole state
// written as 2.0 and minutes beyond what a double holds exactly.
const QByteArray goodElement = R"({"outcome":"partial","extra":{"x":[1]},"runDurationMinutes":9007199254740993,
    "reservePolicy":"light","maximumReserveConstraintReached":2.0,"lintCodes":["a"],"taskSize":"small",
    "timestamp":-5.5,"endingQuotaBand":null,"startingQuotaBand":"healthy"})";

} // namespace

class TestReserve : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> dir;
    std::shared_ptr<QSettingsStore> settings;

private Q_SLOTS:
    void init()
    {
        dir = std::make_unique<QTemporaryDir>();
        // Directories that do not exist yet are made, as on a first start.
        settings = std::make_shared<QSettingsStore>(dir->filePath("config/settings.ini"));
    }

    // By the lower of the two percentages; a null is a window the snapshot lacks.
    void band_data() { addFixtureRows(QStringLiteral("reserve/bands.json")); }
    void band()
    {
        QFETCH(QJsonObject, row);
        const Snapshot given = snapshotOf(QJsonArray{row.value("fiveHour"), row.value("weekly")});
        const Band band = quotaBandFrom(given.fiveHour, given.weekly);
        QCOMPARE(band ? rawValue(*band) : QString(), row.value("band").toString());
    }

    // Band by policy: the state's raw value for each policy.
    void state_data() { addFixtureRows(QStringLiteral("reserve/states.json")); }
    void state()
    {
        QFETCH(QJsonObject, row);
        for (const char *policy : {"light", "standard", "high"})
            QCOMPARE(rawValue(reserveStateFrom(*quotaBandFromRawValue(row.value("band").toString()), *reservePolicyFromRawValue(policy))),
                     row.value(policy).toInt());
    }

    void snapshotFromUsage()
    {
        // The first 300- and 10080-minute top-level windows, in any order; other durations
        // and windows inside limit buckets never count.
        Usage usage;
        usage.windows = {window(60, 3), window(10080, 12), window(300, 42), window(300, 5), window(10080, 2)};
        usage.limitBuckets = {Usage::LimitBucket{"b", "B", true, {window(300, 1), window(10080, 1)}, {}, {}}};
        QCOMPARE(Snapshot(usage), Snapshot(42, 12));
        usage.windows = {window(301, 4), window(10079, 5)};
        QCOMPARE(Snapshot(usage), Snapshot());
    }

    void begin()
    {
        // Without a band, or already blocked, there is nothing left to protect.
        for (const Snapshot &start : {Snapshot(), Snapshot(0, 90), Snapshot(std::nullopt, -2)})
            QVERIFY(!ProtectedRun::begin(startTime, start, QStringLiteral("small"), {}, ReservePolicy::light));
        QCOMPARE(ProtectedRun::begin(startTime, {40, 90}, std::nullopt, {}, {}).value().taskSize, QStringLiteral("unknown"));
    }

    // "told" is the state each reading surfaces, as its raw value, and "notSurfaced" the
    // state the user could not then be told of; "recorded" the worst the outcome record names.
    void observe_data() { addFixtureRows(QStringLiteral("reserve/observe.json")); }
    void observe()
    {
        QFETCH(QJsonObject, row);
        auto run = ProtectedRun::begin(startTime, snapshotOf(row.value("start")), std::nullopt, {},
                                       *reservePolicyFromRawValue(row.value("policy").toString()));
        const QJsonArray readings = row.value("readings").toArray(), told = row.value("told").toArray();
        for (qsizetype i = 0; i < readings.size(); ++i) {
            const std::optional<S> state = run->observe(snapshotOf(readings[i]));
            QCOMPARE(state ? QJsonValue(rawValue(*state)) : QJsonValue(), told[i]);
            if (const QJsonValue failed = row.value("notSurfaced")[i]; failed.isDouble())
                run->notSurfaced(*reserveStateFromRawValue(failed.toInteger()));
        }
        QCOMPARE(rawValue(run->state), row.value("state").toInt());
        QCOMPARE(rawValue(run->worstSurfaced), row.value("worst").toInt());
        QCOMPARE(rawValue(OutcomeRecord(*run, Outcome::finished, startTime).maximumReserveConstraintReached), row.value("recorded").toInt());
    }

    void storedJson()
    {
        OutcomeStore store(settings);
        ProtectedRun run = runOf(ReservePolicy::high, {70, 40});
        run.observe({30, std::nullopt});
        run.observe({80, 80}); // recovered: the record keeps the worst state told
        const QDateTime end = startTime.addMSecs(47 * 60'000 + 59'900);
        QVERIFY(store.record(run, Outcome::partial, end));
        QCOMPARE(settings->value(OutcomeStore::key).toByteArray(),
                 QByteArray(R"([{"endingQuotaBand":"healthy","lintCodes":["scope","tests"],"maximumReserveConstraintReached":3,)"
                            R"("outcome":"partial","reservePolicy":"high","runDurationMinutes":47,)"
                            R"("startingQuotaBand":"moderate","taskSize":"small","timestamp":1700002879.9}])"));
        // Read back by a separate store, as after a restart of the program.
        const OutcomeStore reopened(std::make_shared<QSettingsStore>(dir->filePath("config/settings.ini")));
        QCOMPARE(reopened.records(), Records{OutcomeRecord(run, Outcome::partial, end)});
        // A clock set back during the run gives no negative duration.
        QCOMPARE(OutcomeRecord(run, Outcome::partial, startTime.addSecs(-600)).runDurationMinutes, 0);
    }

    void decodeAnyOrderAndUnknownKeys()
    {
        const auto decoded = OutcomeStore::decode("[" + goodElement + "]");
        QVERIFY(decoded && decoded->size() == 1);
        const OutcomeRecord &r = decoded->at(0);
        QVERIFY(r.startingQuotaBand == QuotaBand::healthy && !r.endingQuotaBand && r.maximumReserveConstraintReached == S::validationAtRisk);
        QCOMPARE(r.runDurationMinutes, 9007199254740993LL);
    }

    void capKeepsNewest200()
    {
        Records history;
        for (int i = 0; i < 200; ++i)
            history.append(*OutcomeRecord::fromJson(testjson::historyEntry("finished", QJsonValue(), QString::number(i))));
        QVERIFY(settings->setValue(OutcomeStore::key, *OutcomeStore::encode(history)));
        OutcomeStore store(settings);
        QVERIFY(store.record(runOf(), Outcome::abandoned, startTime));
        QCOMPARE(store.records(), history.mid(1) << OutcomeRecord(runOf(), Outcome::abandoned, startTime));
    }

    // GOOD stands for a readable element, BAD for it with "bad" replaced: one bad element
    // spoils the whole history.
    void unreadableHistoryIsKeptAside_data() { addFixtureRows(QStringLiteral("reserve/unreadable-history.json")); }
    void unreadableHistoryIsKeptAside()
    {
        QFETCH(QJsonObject, row);
        const QStringList bad = row.value("bad").toVariant().toStringList();
        QByteArray bytes = row.value("stored").toString().toUtf8();
        bytes.replace("BAD", bad.isEmpty() ? QByteArray() : QByteArray(goodElement).replace(bad[0].toUtf8(), bad[1].toUtf8()));
        bytes.replace("GOOD", goodElement);
        const QVariant stored = row.value("asText").toBool() ? QVariant(QString::fromUtf8(bytes)) : QVariant(bytes);
        QVERIFY(settings->setValue(OutcomeStore::key, stored));
        OutcomeStore store(settings);
        QCOMPARE(store.records(), Records());
        QVERIFY(store.record(runOf(), Outcome::finished, startTime));
        QCOMPARE(store.records().size(), 1);
        QCOMPARE(settings->value(OutcomeStore::unreadableKey), stored);
        // Later damage is replaced too, but the copy kept first is never overwritten.
        QVERIFY(settings->setValue(OutcomeStore::key, QByteArray("later damage")));
        QVERIFY(store.record(runOf(), Outcome::abandoned, startTime));
        QCOMPARE(store.records().size(), 1);
        QCOMPARE(settings->value(OutcomeStore::unreadableKey), stored);
    }

    // Records are history entries with these keys replaced, each "repeat" times.
    void insight_data() { addFixtureRows(QStringLiteral("reserve/insight.json")); }
    void insight()
    {
        QFETCH(QJsonObject, row);
        Records records;
        for (const QJsonValue &entry : row.value("records").toArray())
            records += Records(entry["repeat"].toInt(1), *OutcomeRecord::fromJson(testjson::merged(testjson::historyEntry("finished"), entry.toObject())));
        const Band band = row.value("band").isNull() ? Band() : quotaBandFromRawValue(row.value("band").toString());
        QCOMPARE(OutcomeStore::insight(records, QStringLiteral("small"), ReservePolicy::standard, band).value_or(QString()),
                 row.value("sentence").toString());
    }
};

QTEST_GUILESS_MAIN(TestReserve)
#include "test_reserve.moc"

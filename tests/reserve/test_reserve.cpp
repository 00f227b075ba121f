#include "platform/SettingsStore.h"
#include "quota/Usage.h"
#include "reserve/OutcomeStore.h"
#include "reserve/ProtectedRun.h"

#include "FixtureRows.h"
#include "TestJson.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace tessaline;

using Snapshot = ProtectedRun::Snapshot;
using Snapshots = QList<Snapshot>;
using States = QList<std::optional<ReserveState>>;
using Percent = std::optional<qint64>;
using Band = std::optional<QuotaBand>;
using Outcome = OutcomeRecord::Outcome;
using Records = QList<OutcomeRecord>;
using B = QuotaBand;
using S = ReserveState;
Q_DECLARE_METATYPE(Snapshot)
Q_DECLARE_METATYPE(Snapshots)
Q_DECLARE_METATYPE(States)
Q_DECLARE_METATYPE(Percent)
Q_DECLARE_METATYPE(Band)

namespace {

const QDateTime startTime = QDateTime::fromSecsSinceEpoch(1'700'000'000, Qt::UTC);

const auto both = [](qint64 percent) { return Snapshot(percent, percent); };
const auto window = [](qint64 minutes, qint64 left) { return Usage::Window{"w", 100 - left, left, minutes, 1.7e9}; };

ProtectedRun runOf(ReservePolicy policy = ReservePolicy::standard, Snapshot start = {50, 80})
{
    return *ProtectedRun::begin(startTime, start, QStringLiteral("small"), {"scope", "tests"}, policy);
}

// A history entry as stored, read back.
OutcomeRecord recordOf(const char *outcome, const QJsonValue &band = "moderate", const QString &taskSize = QStringLiteral("small"),
                       const QString &policy = QStringLiteral("standard"))
{
    return OutcomeRecord::fromJson(testjson::historyEntry(outcome, band, taskSize, policy)).value();
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
        const auto percent = [&row](const char *key) { return row.value(key).isNull() ? Percent() : Percent(row.value(key).toInteger()); };
        const Band band = quotaBandFrom(percent("fiveHour"), percent("weekly"));
        QCOMPARE(band ? rawValue(*band) : QString(), row.value("band").toString());
    }

    void stateTable()
    {
        const struct { B band; S light, standard, high; } rows[] = {
            {B::healthy, S::comfortable, S::comfortable, S::keepHeadroom},
            {B::moderate, S::comfortable, S::keepHeadroom, S::validationAtRisk},
            {B::tight, S::keepHeadroom, S::validationAtRisk, S::validationOnly},
            {B::critical, S::validationAtRisk, S::validationOnly, S::validationOnly},
            {B::blocked, S::exhausted, S::exhausted, S::exhausted},
        };
        for (const auto &r : rows)
            QCOMPARE(QList({reserveStateFrom(r.band, ReservePolicy::light), reserveStateFrom(r.band, ReservePolicy::standard),
                            reserveStateFrom(r.band, ReservePolicy::high)}), QList({r.light, r.standard, r.high}));
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

    void observe_data()
    {
        QTest::addColumn<Snapshot>("start");
        QTest::addColumn<ReservePolicy>("policy");
        QTest::addColumn<Snapshots>("readings");
        QTest::addColumn<States>("told");
        QTest::addColumn<S>("finalState");
        QTest::addColumn<S>("finalWorst");
        const std::optional<S> no;
        const ReservePolicy standard = ReservePolicy::standard;
        QTest::newRow("worsen, recover, fall back to a told level, then a new worst") << both(40) << standard
            << Snapshots{both(30), both(10), both(80), both(10), both(0)}
            << States{S::validationAtRisk, S::validationOnly, no, no, S::exhausted} << S::exhausted << S::exhausted;
        QTest::newRow("state falls below the start, worst stays") << both(20) << ReservePolicy::high
            << Snapshots{both(100)} << States{no} << S::keepHeadroom << S::validationOnly;
        QTest::newRow("a reading without windows changes nothing") << both(40) << standard
            << Snapshots{Snapshot(std::nullopt, 30), Snapshot()} << States{S::validationAtRisk, no} << S::validationAtRisk << S::validationAtRisk;
    }
    void observe()
    {
        QFETCH(Snapshot, start);
        QFETCH(ReservePolicy, policy);
        QFETCH(Snapshots, readings);
        QFETCH(States, told);
        auto run = ProtectedRun::begin(startTime, start, std::nullopt, {}, policy);
        for (int i = 0; i < readings.size(); ++i)
            QCOMPARE(run->observe(readings[i]), told[i]);
        QTEST(run->state, "finalState");
        QTEST(run->worstSurfaced, "finalWorst");
    }

    // A state the user could not be told of is told at the next reading that still gives
    // it; the levels below stay told, and the record still names the worst state reached.
    void failedTellingIsToldAgain()
    {
        auto run = ProtectedRun::begin(startTime, both(40), std::nullopt, {}, ReservePolicy::standard);
        QCOMPARE(run->observe(both(30)), S::validationAtRisk);
        run->notSurfaced(S::validationAtRisk);
        QCOMPARE(run->observe(both(30)), S::validationAtRisk);
        QCOMPARE(run->observe(both(10)), S::validationOnly);
        run->notSurfaced(S::validationAtRisk); // settled after a worse state was returned
        QCOMPARE(run->observe(both(10)), std::nullopt);
        run->notSurfaced(S::validationOnly);
        QCOMPARE(run->observe(both(30)), std::nullopt);
        QCOMPARE(run->worstSurfaced, S::validationAtRisk);
        QCOMPARE(OutcomeRecord(*run, Outcome::finished, startTime).maximumReserveConstraintReached, S::validationOnly);
    }

    void storedJson()
    {
        OutcomeStore store(settings);
        ProtectedRun run = runOf(ReservePolicy::high, {70, 40});
        QVERIFY(!store.record(run, std::nullopt, startTime)); // the user skipped the question
        QVERIFY(!QFile::exists(dir->filePath("config/settings.ini")));
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
        QVERIFY(r.startingQuotaBand == B::healthy && !r.endingQuotaBand && r.maximumReserveConstraintReached == S::validationAtRisk);
        QCOMPARE(r.runDurationMinutes, 9007199254740993LL);
    }

    void capKeepsNewest200()
    {
        Records history;
        for (int i = 0; i < 200; ++i)
            history.append(recordOf("finished", QJsonValue(), QString::number(i)));
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

    void insight_data()
    {
        QTest::addColumn<Records>("records");
        QTest::addColumn<Band>("band");
        QTest::addColumn<QString>("sentence");
        const char *f = "finished", *a = "abandoned";
        const auto sentence = [](int n, int m) { return QStringLiteral("Your history: %1 of %2 similarly scoped runs finished.").arg(n).arg(m); };
        const Records five{recordOf(f), recordOf("partial"), recordOf(a), recordOf(f), recordOf(f)};
        Records many(5, recordOf(f)); // these oldest five fall out of the newest 20
        for (int i = 0; i < 20; ++i)
            many += recordOf(i % 4 == 0 ? f : a);
        QTest::newRow("only the newest 20 count") << many << Band(B::moderate) << sentence(5, 20);
        const Records others = five.mid(1) + Records{recordOf(f, "tight"), recordOf(f, QJsonValue()),
            recordOf(f, "moderate", "Small"), recordOf(f, "moderate", "small", "high")};
        QTest::newRow("four, and others of another band, size or policy") << others << Band(B::moderate) << QString();
        QTest::newRow("absent band matches absent bands") << Records(5, recordOf(f, QJsonValue())) << Band() << sentence(5, 5);
    }
    void insight()
    {
        QFETCH(Records, records);
        QFETCH(Band, band);
        QFETCH(QString, sentence);
        QCOMPARE(OutcomeStore::insight(records, QStringLiteral("small"), ReservePolicy::standard, band).value_or(QString()), sentence);
    }
};

QTEST_GUILESS_MAIN(TestReserve)
#include "test_reserve.moc"

#include "platform/SettingsStore.h"
#include "reserve/OutcomeStore.h"
#include "reserve/ProtectedRun.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace tessaline;

using Outcome = OutcomeRecord::Outcome;
using Outcomes = QList<Outcome>;
Q_DECLARE_METATYPE(std::optional<QuotaBand>)

namespace {

const QDateTime startTime = QDateTime::fromSecsSinceEpoch(1'700'000'000, Qt::UTC);

ProtectedRun runOf(const QString &taskSize = QStringLiteral("small"),
                   ReservePolicy policy = ReservePolicy::standard, ProtectedRun::Snapshot start = {50, 80})
{
    return *ProtectedRun::begin(startTime, start, taskSize, {"scope", "tests"}, policy);
}

OutcomeRecord recordOf(const QString &taskSize, ReservePolicy policy, std::optional<QuotaBand> band, Outcome outcome)
{
    OutcomeRecord record;
    record.taskSize = taskSize;
    record.reservePolicy = policy;
    record.startingQuotaBand = band;
    record.outcome = outcome;
    return record;
}

QList<OutcomeRecord> similar(const Outcomes &outcomes, const QString &taskSize = QStringLiteral("small"))
{
    QList<OutcomeRecord> records;
    for (Outcome outcome : outcomes)
        records.append(recordOf(taskSize, ReservePolicy::standard, QuotaBand::moderate, outcome));
    return records;
}

const char *elementTemplate = R"({"timestamp":1700000000.5,"taskSize":"small","lintCodes":["a"],
    "startingQuotaBand":"moderate","reservePolicy":"standard","maximumReserveConstraintReached":2,
    "runDurationMinutes":47,"outcome":"%1"})";

} // namespace

class TestOutcomeStore : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void init();

    void recordFromRun();
    void durationMinutes_data();
    void durationMinutes();
    void exactJsonWritten();
    void roundTripThroughSettings();
    void decodeAcceptsAnyKeyOrderAndUnknownKeys();
    void oneBadElementSpoilsTheHistory_data();
    void oneBadElementSpoilsTheHistory();
    void capKeepsNewest200();
    void skipWritesNothing();
    void unreadableHistoryIsKeptAside_data();
    void unreadableHistoryIsKeptAside();
    void earlierKeptCopyIsNotOverwritten();
    void failedWriteIsReportedAndChangesNothing();
    void insight_data();
    void insight();

private:
    std::unique_ptr<QTemporaryDir> dir;
    std::shared_ptr<QSettingsStore> settings;
};

void TestOutcomeStore::init()
{
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(dir->isValid());
    settings = std::make_shared<QSettingsStore>(dir->filePath("settings.ini"));
}

void TestOutcomeStore::recordFromRun()
{
    ProtectedRun run = runOf(QStringLiteral("medium"), ReservePolicy::high, {70, 40});
    run.observe({30, std::nullopt});
    const QDateTime end = startTime.addMSecs(47 * 60'000 + 250);
    const OutcomeRecord record(run, Outcome::partial, end);

    QCOMPARE(record.timestamp, 1'700'000'000.0 + 47 * 60 + 0.25);
    QCOMPARE(record.taskSize, QStringLiteral("medium"));
    QCOMPARE(record.lintCodes, QStringList({"scope", "tests"}));
    QCOMPARE(record.startingQuotaBand, std::optional(QuotaBand::moderate));
    QCOMPARE(record.endingQuotaBand, std::optional(QuotaBand::tight));
    QCOMPARE(record.reservePolicy, ReservePolicy::high);
    QCOMPARE(record.maximumReserveConstraintReached, ReserveState::validationOnly);
    QCOMPARE(record.runDurationMinutes, 47);
    QCOMPARE(record.outcome, Outcome::partial);

    run.observe({});
    QCOMPARE(OutcomeRecord(run, Outcome::partial, end).endingQuotaBand, std::nullopt);

    // Equality covers every field.
    OutcomeRecord other = record;
    QCOMPARE(other, record);
    other.lintCodes.removeLast();
    QVERIFY(other != record);
    other = record;
    other.endingQuotaBand.reset();
    QVERIFY(other != record);
}

void TestOutcomeStore::durationMinutes_data()
{
    QTest::addColumn<qint64>("elapsedMs");
    QTest::addColumn<qint64>("minutes");
    QTest::newRow("59 s") << qint64(59'000) << qint64(0);
    QTest::newRow("60 s") << qint64(60'000) << qint64(1);
    QTest::newRow("119.9 s") << qint64(119'900) << qint64(1);
    QTest::newRow("clock set back") << qint64(-600'000) << qint64(0);
    QTest::newRow("a week") << qint64(7LL * 24 * 3600'000) << qint64(10080);
}

void TestOutcomeStore::durationMinutes()
{
    QFETCH(qint64, elapsedMs);
    QFETCH(qint64, minutes);
    QCOMPARE(OutcomeRecord(runOf(), Outcome::finished, startTime.addMSecs(elapsedMs)).runDurationMinutes, minutes);
}

void TestOutcomeStore::exactJsonWritten()
{
    OutcomeStore store(settings);
    ProtectedRun run = runOf();
    run.observe({});
    QVERIFY(store.record(run, Outcome::finished, startTime.addSecs(47 * 60 + 30)));

    const QVariant stored = settings->value(OutcomeStore::key);
    QCOMPARE(stored.typeId(), QMetaType::QByteArray);
    QCOMPARE(stored.toByteArray(),
             QByteArray(R"([{"lintCodes":["scope","tests"],"maximumReserveConstraintReached":1,)"
                        R"("outcome":"finished","reservePolicy":"standard","runDurationMinutes":47,)"
                        R"("startingQuotaBand":"moderate","taskSize":"small","timestamp":1700002850}])"));
}

void TestOutcomeStore::roundTripThroughSettings()
{
    OutcomeStore store(settings);
    QCOMPARE(store.records(), QList<OutcomeRecord>());

    ProtectedRun run = runOf(QString::fromUtf8("gro\xc3\x9f \"quoted\"\n"));
    QVERIFY(store.record(run, Outcome::abandoned, startTime.addMSecs(123'456)));
    run.observe({0, 0});
    QVERIFY(store.record(run, Outcome::finished, startTime.addSecs(3600)));

    // A second store over the same file sees what the first wrote.
    const QList<OutcomeRecord> records = OutcomeStore(std::make_shared<QSettingsStore>(dir->filePath("settings.ini"))).records();
    QCOMPARE(records.size(), 2);
    QCOMPARE(records[0], OutcomeRecord(runOf(QString::fromUtf8("gro\xc3\x9f \"quoted\"\n")), Outcome::abandoned,
                                       startTime.addMSecs(123'456)));
    QCOMPARE(records[1], OutcomeRecord(run, Outcome::finished, startTime.addSecs(3600)));
    QCOMPARE(records[1].endingQuotaBand, std::optional(QuotaBand::blocked));
    QCOMPARE(records[1].maximumReserveConstraintReached, ReserveState::exhausted);
}

void TestOutcomeStore::decodeAcceptsAnyKeyOrderAndUnknownKeys()
{
    const QByteArray bytes = R"([
        {"outcome":"partial","extra":{"nested":[1,2]},"runDurationMinutes":3,"reservePolicy":"light",
         "maximumReserveConstraintReached":0,"lintCodes":[],"taskSize":"","timestamp":-5,
         "endingQuotaBand":null,"startingQuotaBand":"healthy"},
        {"timestamp":1.25,"taskSize":"large","lintCodes":["x","y"],"reservePolicy":"high",
         "maximumReserveConstraintReached":4.0,"runDurationMinutes":9007199254740993,"outcome":"finished",
         "endingQuotaBand":"blocked"}
    ])";
    const auto decoded = OutcomeStore::decode(bytes);
    QVERIFY(decoded);
    QCOMPARE(decoded->size(), 2);
    const OutcomeRecord &first = decoded->at(0);
    QCOMPARE(first.outcome, Outcome::partial);
    QCOMPARE(first.startingQuotaBand, std::optional(QuotaBand::healthy));
    QCOMPARE(first.endingQuotaBand, std::nullopt);
    QCOMPARE(first.timestamp, -5.0);
    const OutcomeRecord &second = decoded->at(1);
    QCOMPARE(second.startingQuotaBand, std::nullopt);
    QCOMPARE(second.endingQuotaBand, std::optional(QuotaBand::blocked));
    QCOMPARE(second.maximumReserveConstraintReached, ReserveState::exhausted);
    QCOMPARE(second.runDurationMinutes, 9007199254740993LL);
    QCOMPARE(second.lintCodes, QStringList({"x", "y"}));

    QCOMPARE(OutcomeStore::decode("[]")->size(), 0);
}

void TestOutcomeStore::oneBadElementSpoilsTheHistory_data()
{
    QTest::addColumn<QByteArray>("bad");
    const QByteArray good = QByteArray(elementTemplate).replace("%1", "finished");
    const auto with = [&](const char *from, const char *to) { return QByteArray(good).replace(from, to); };
    QTest::newRow("unknown outcome") << QByteArray(elementTemplate).replace("%1", "skipped");
    QTest::newRow("capitalised band") << with("\"moderate\"", "\"Moderate\"");
    QTest::newRow("band of wrong type") << with("\"moderate\"", "3");
    QTest::newRow("unknown policy") << with("\"standard\"", "\"strict\"");
    QTest::newRow("state 5") << with(":2,", ":5,");
    QTest::newRow("state -1") << with(":2,", ":-1,");
    QTest::newRow("state as string") << with(":2,", ":\"2\",");
    QTest::newRow("fractional minutes") << with(":47,", ":47.5,");
    QTest::newRow("minutes beyond 64 bits") << with(":47,", ":1e19,");
    QTest::newRow("timestamp as string") << with("1700000000.5", "\"1700000000.5\"");
    QTest::newRow("timestamp null") << with("1700000000.5", "null");
    QTest::newRow("missing taskSize") << with("\"taskSize\":\"small\",", "");
    QTest::newRow("taskSize null") << with("\"small\"", "null");
    QTest::newRow("lint code not text") << with("[\"a\"]", "[\"a\",1]");
    QTest::newRow("element not an object") << QByteArray("[]");
}

void TestOutcomeStore::oneBadElementSpoilsTheHistory()
{
    QFETCH(QByteArray, bad);
    const QByteArray good = QByteArray(elementTemplate).replace("%1", "finished");
    QVERIFY(OutcomeStore::decode("[" + good + "," + good + "]"));
    QVERIFY(!OutcomeStore::decode("[" + good + "," + bad + "," + good + "]"));

    settings->setValue(OutcomeStore::key, "[" + good + "," + bad + "]");
    QCOMPARE(OutcomeStore(settings).records(), QList<OutcomeRecord>());
}

void TestOutcomeStore::capKeepsNewest200()
{
    OutcomeStore store(settings);
    QList<OutcomeRecord> history;
    for (int i = 0; i < 200; ++i) {
        OutcomeRecord record = recordOf(QString::number(i), ReservePolicy::light, std::nullopt, Outcome::finished);
        record.timestamp = i;
        history.append(record);
    }
    settings->setValue(OutcomeStore::key, *OutcomeStore::encode(history));
    QCOMPARE(store.records().size(), 200);

    QVERIFY(store.record(runOf(QStringLiteral("new")), Outcome::finished, startTime));
    const QList<OutcomeRecord> records = store.records();
    QCOMPARE(records.size(), 200);
    QCOMPARE(records.first(), history[1]);
    QCOMPARE(records[198], history[199]);
    QCOMPARE(records.last().taskSize, QStringLiteral("new"));
}

void TestOutcomeStore::skipWritesNothing()
{
    OutcomeStore store(settings);
    QVERIFY(!store.record(runOf(), std::nullopt, startTime));
    QVERIFY(!settings->contains(OutcomeStore::key));
    QVERIFY(!QFile::exists(dir->filePath("settings.ini")));
}

void TestOutcomeStore::unreadableHistoryIsKeptAside_data()
{
    QTest::addColumn<QVariant>("stored");
    QTest::newRow("not JSON") << QVariant(QByteArray("[{\"timestamp\":"));
    QTest::newRow("an object, not an array") << QVariant(QByteArray("{}"));
    QTest::newRow("a bad element") << QVariant("[" + QByteArray(elementTemplate).replace("%1", "?") + "]");
    QTest::newRow("text, not bytes") << QVariant(QStringLiteral("[]"));
}

void TestOutcomeStore::unreadableHistoryIsKeptAside()
{
    QFETCH(QVariant, stored);
    QVERIFY(settings->setValue(OutcomeStore::key, stored));
    OutcomeStore store(settings);
    QCOMPARE(store.records(), QList<OutcomeRecord>());

    QVERIFY(store.record(runOf(), Outcome::finished, startTime.addSecs(60)));
    QCOMPARE(settings->value(OutcomeStore::unreadableKey), stored);
    QCOMPARE(store.records(), QList{OutcomeRecord(runOf(), Outcome::finished, startTime.addSecs(60))});

    // A readable history is appended to without touching the kept copy.
    QVERIFY(store.record(runOf(), Outcome::partial, startTime.addSecs(120)));
    QCOMPARE(store.records().size(), 2);
    QCOMPARE(settings->value(OutcomeStore::unreadableKey), stored);
}

void TestOutcomeStore::earlierKeptCopyIsNotOverwritten()
{
    settings->setValue(OutcomeStore::key, QByteArray("first damage"));
    OutcomeStore store(settings);
    QVERIFY(store.record(runOf(), Outcome::finished, startTime));
    settings->setValue(OutcomeStore::key, QByteArray("second damage"));
    QVERIFY(store.record(runOf(), Outcome::abandoned, startTime));

    QCOMPARE(settings->value(OutcomeStore::unreadableKey).toByteArray(), QByteArray("first damage"));
    QCOMPARE(store.records().size(), 1);
    QCOMPARE(store.records().first().outcome, Outcome::abandoned);
}

void TestOutcomeStore::failedWriteIsReportedAndChangesNothing()
{
    // The settings file sits under a path whose parent is a plain file, so no write can
    // succeed whoever runs the test.
    QFile blocker(dir->filePath("blocker"));
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    auto unwritable = std::make_shared<QSettingsStore>(dir->filePath("blocker/settings.ini"));
    OutcomeStore store(unwritable);
    QVERIFY(!store.record(runOf(), Outcome::finished, startTime));
    QCOMPARE(store.records(), QList<OutcomeRecord>());

    // The same store succeeds once the location can be written again.
    QVERIFY(blocker.remove());
    QVERIFY(store.record(runOf(), Outcome::finished, startTime));
    QCOMPARE(store.records().size(), 1);
}

void TestOutcomeStore::insight_data()
{
    QTest::addColumn<QList<OutcomeRecord>>("records");
    QTest::addColumn<QString>("taskSize");
    QTest::addColumn<std::optional<QuotaBand>>("band");
    QTest::addColumn<QString>("sentence");

    using O = Outcome;
    const O f = O::finished, p = O::partial, a = O::abandoned;
    const std::optional<QuotaBand> moderate = QuotaBand::moderate;
    const QString small = QStringLiteral("small");

    QTest::newRow("four give nothing") << similar({f, f, f, f}) << small << moderate << QString();
    QTest::newRow("five give one") << similar({f, f, f, f, f}) << small << moderate
                                   << "Your history: 5 of 5 similarly scoped runs finished.";
    QTest::newRow("partial and abandoned are not finished") << similar({f, p, a, f, a}) << small << moderate
                                                            << "Your history: 2 of 5 similarly scoped runs finished.";

    // 25 matches: the oldest five (all finished) fall out of the newest 20.
    QList<OutcomeRecord> many = similar({f, f, f, f, f});
    for (int i = 0; i < 20; ++i)
        many += similar({i % 4 == 0 ? f : a});
    QTest::newRow("only the newest 20 count") << many << small << moderate
                                              << "Your history: 5 of 20 similarly scoped runs finished.";

    QList<OutcomeRecord> mixed = similar({f, f, f, f});
    mixed.append(recordOf(small, ReservePolicy::standard, QuotaBand::tight, f));
    mixed.append(recordOf(small, ReservePolicy::high, QuotaBand::moderate, f));
    mixed.append(recordOf(QStringLiteral("Small"), ReservePolicy::standard, QuotaBand::moderate, f));
    mixed.append(recordOf(small, ReservePolicy::standard, std::nullopt, f));
    QTest::newRow("other band, policy or size do not count") << mixed << small << moderate << QString();
    mixed.append(similar({p}));
    QTest::newRow("the fifth real match counts") << mixed << small << moderate
                                                 << "Your history: 4 of 5 similarly scoped runs finished.";

    QList<OutcomeRecord> unbanded;
    for (int i = 0; i < 5; ++i)
        unbanded.append(recordOf(QStringLiteral("unknown"), ReservePolicy::standard, std::nullopt, f));
    QTest::newRow("absent band matches only absent bands")
        << unbanded << "unknown" << std::optional<QuotaBand>() << "Your history: 5 of 5 similarly scoped runs finished.";
    QTest::newRow("a band does not match absent bands") << unbanded << "unknown" << moderate << QString();
    QTest::newRow("unknown matches only unknown") << similar({f, f, f, f, f}, "unknown") << small << moderate
                                                  << QString();
}

void TestOutcomeStore::insight()
{
    QFETCH(QList<OutcomeRecord>, records);
    QFETCH(QString, taskSize);
    QFETCH(std::optional<QuotaBand>, band);
    QFETCH(QString, sentence);
    const std::optional<QString> expected = sentence.isNull() ? std::nullopt : std::optional(sentence);
    QCOMPARE(OutcomeStore::insight(records, taskSize, ReservePolicy::standard, band), expected);
}

QTEST_GUILESS_MAIN(TestOutcomeStore)
#include "tst_outcomestore.moc"

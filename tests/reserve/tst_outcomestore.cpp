#include "platform/SettingsStore.h"
#include "reserve/OutcomeStore.h"
#include "reserve/ProtectedRun.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace tessaline;

using Outcome = OutcomeRecord::Outcome;
using Records = QList<OutcomeRecord>;
Q_DECLARE_METATYPE(std::optional<QuotaBand>)

namespace {

const QDateTime startTime = QDateTime::fromSecsSinceEpoch(1'700'000'000, Qt::UTC);

ProtectedRun runOf(ReservePolicy policy = ReservePolicy::standard, ProtectedRun::Snapshot start = {50, 80})
{
    return *ProtectedRun::begin(startTime, start, QStringLiteral("small"), {"scope", "tests"}, policy);
}

OutcomeRecord recordOf(Outcome outcome, std::optional<QuotaBand> band = QuotaBand::moderate,
                       const QString &taskSize = QStringLiteral("small"), ReservePolicy policy = ReservePolicy::standard)
{
    OutcomeRecord record;
    record.taskSize = taskSize;
    record.reservePolicy = policy;
    record.startingQuotaBand = band;
    record.outcome = outcome;
    return record;
}

const QByteArray goodElement = R"({"timestamp":1700000000.5,"taskSize":"small","lintCodes":["a"],
    "startingQuotaBand":"moderate","reservePolicy":"standard","maximumReserveConstraintReached":2,
    "runDurationMinutes":47,"outcome":"finished"})";

} // namespace

class TestOutcomeStore : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> dir;
    std::shared_ptr<QSettingsStore> settings;

private Q_SLOTS:
    void init()
    {
        dir = std::make_unique<QTemporaryDir>();
        settings = std::make_shared<QSettingsStore>(dir->filePath("settings.ini"));
    }

    void recordFromRun()
    {
        ProtectedRun run = runOf(ReservePolicy::high, {70, 40});
        run.observe({30, std::nullopt});
        run.observe({80, 80}); // recovered: the record keeps the worst state told
        const OutcomeRecord record(run, Outcome::partial, startTime.addMSecs(47 * 60'000 + 59'900));
        QCOMPARE(record.timestamp, 1'700'000'000.0 + 47 * 60 + 59.9);
        QCOMPARE(record.runDurationMinutes, 47);
        QCOMPARE(record.startingQuotaBand, std::optional(QuotaBand::moderate));
        QCOMPARE(record.endingQuotaBand, std::optional(QuotaBand::healthy));
        QCOMPARE(record.maximumReserveConstraintReached, ReserveState::validationOnly);
        QCOMPARE(record.lintCodes, QStringList({"scope", "tests"}));
        // A clock set back during the run gives no negative duration.
        QCOMPARE(OutcomeRecord(run, Outcome::partial, startTime.addSecs(-600)).runDurationMinutes, 0);
    }

    void storedJson()
    {
        OutcomeStore store(settings);
        ProtectedRun run = runOf();
        QVERIFY(!store.record(run, std::nullopt, startTime)); // the user skipped the question
        QVERIFY(!QFile::exists(dir->filePath("settings.ini")));

        run.observe({});
        QVERIFY(store.record(run, Outcome::finished, startTime.addSecs(47 * 60 + 30)));
        const QVariant stored = settings->value(OutcomeStore::key);
        QCOMPARE(stored.typeId(), QMetaType::QByteArray);
        QCOMPARE(stored.toByteArray(),
                 QByteArray(R"([{"lintCodes":["scope","tests"],"maximumReserveConstraintReached":1,)"
                            R"("outcome":"finished","reservePolicy":"standard","runDurationMinutes":47,)"
                            R"("startingQuotaBand":"moderate","taskSize":"small","timestamp":1700002850}])"));
        const OutcomeStore reopened(std::make_shared<QSettingsStore>(dir->filePath("settings.ini")));
        QCOMPARE(reopened.records(), Records{OutcomeRecord(run, Outcome::finished, startTime.addSecs(2850))});
    }

    void decodeAnyOrderAndUnknownKeys()
    {
        const auto decoded = OutcomeStore::decode(R"([{"outcome":"partial","extra":{"nested":[1]},
            "runDurationMinutes":9007199254740993,"reservePolicy":"light","maximumReserveConstraintReached":4.0,
            "lintCodes":[],"taskSize":"","timestamp":-5,"endingQuotaBand":null,"startingQuotaBand":"healthy"}])");
        QVERIFY(decoded);
        QCOMPARE(decoded->size(), 1);
        QCOMPARE(decoded->at(0).startingQuotaBand, std::optional(QuotaBand::healthy));
        QCOMPARE(decoded->at(0).endingQuotaBand, std::nullopt);
        QCOMPARE(decoded->at(0).maximumReserveConstraintReached, ReserveState::exhausted);
        QCOMPARE(decoded->at(0).runDurationMinutes, 9007199254740993LL);
        QCOMPARE(decoded->at(0).outcome, Outcome::partial);
    }

    void oneBadElementSpoilsTheHistory_data()
    {
        QTest::addColumn<QByteArray>("bad");
        const auto with = [](const char *from, const char *to) { return QByteArray(goodElement).replace(from, to); };
        QTest::newRow("unknown outcome") << with("\"finished\"", "\"skipped\"");
        QTest::newRow("capitalised band") << with("\"moderate\"", "\"Moderate\"");
        QTest::newRow("unknown policy") << with("\"standard\"", "\"strict\"");
        QTest::newRow("state 5") << with(":2,", ":5,");
        QTest::newRow("state as text") << with(":2,", ":\"2\",");
        QTest::newRow("fractional minutes") << with(":47,", ":47.5,");
        QTest::newRow("minutes beyond 64 bits") << with(":47,", ":1e19,");
        QTest::newRow("missing taskSize") << with("\"taskSize\":\"small\",", "");
        QTest::newRow("lint code not text") << with("[\"a\"]", "[\"a\",1]");
        QTest::newRow("not an object") << QByteArray("[]");
    }
    void oneBadElementSpoilsTheHistory()
    {
        QFETCH(QByteArray, bad);
        QVERIFY(OutcomeStore::decode("[" + goodElement + "," + goodElement + "]"));
        QVERIFY(!OutcomeStore::decode("[" + goodElement + "," + bad + "," + goodElement + "]"));
    }

    void capKeepsNewest200()
    {
        Records history;
        for (int i = 0; i < 200; ++i)
            history.append(recordOf(Outcome::finished, std::nullopt, QString::number(i)));
        QVERIFY(settings->setValue(OutcomeStore::key, *OutcomeStore::encode(history)));
        OutcomeStore store(settings);
        QVERIFY(store.record(runOf(), Outcome::abandoned, startTime));
        const Records records = store.records();
        QCOMPARE(records.size(), 200);
        QCOMPARE(records.first(), history[1]);
        QCOMPARE(records.last().outcome, Outcome::abandoned);
    }

    void unreadableHistoryIsKeptAside_data()
    {
        QTest::addColumn<QVariant>("stored");
        QTest::newRow("not JSON") << QVariant(QByteArray("[{\"timestamp\":"));
        QTest::newRow("an object") << QVariant(QByteArray("{}"));
        QTest::newRow("a bad element") << QVariant(QByteArray("[" + goodElement + ",{}]"));
        QTest::newRow("text, not bytes") << QVariant(QStringLiteral("[]"));
    }
    void unreadableHistoryIsKeptAside()
    {
        QFETCH(QVariant, stored);
        QVERIFY(settings->setValue(OutcomeStore::key, stored));
        OutcomeStore store(settings);
        QCOMPARE(store.records(), Records());
        QVERIFY(store.record(runOf(), Outcome::finished, startTime));
        QVERIFY(store.record(runOf(), Outcome::partial, startTime));
        QCOMPARE(store.records().size(), 2);
        QCOMPARE(settings->value(OutcomeStore::unreadableKey), stored);

        // Later damage is replaced too, but the copy kept first is never overwritten.
        QVERIFY(settings->setValue(OutcomeStore::key, QByteArray("later damage")));
        QVERIFY(store.record(runOf(), Outcome::abandoned, startTime));
        QCOMPARE(store.records().size(), 1);
        QCOMPARE(settings->value(OutcomeStore::unreadableKey), stored);
    }

    void failedWriteIsReported()
    {
        // A plain file where the settings directory should be: no write can succeed.
        QFile blocker(dir->filePath("blocker"));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        OutcomeStore store(std::make_shared<QSettingsStore>(dir->filePath("blocker/settings.ini")));
        QVERIFY(!store.record(runOf(), Outcome::finished, startTime));
        QVERIFY(blocker.remove());
        QVERIFY(store.record(runOf(), Outcome::finished, startTime));
    }

    void insight_data()
    {
        QTest::addColumn<Records>("records");
        QTest::addColumn<std::optional<QuotaBand>>("band");
        QTest::addColumn<QString>("sentence");

        const Outcome f = Outcome::finished, a = Outcome::abandoned;
        const std::optional<QuotaBand> moderate = QuotaBand::moderate, none;
        const auto sentence = [](int n, int m) {
            return QStringLiteral("Your history: %1 of %2 similarly scoped runs finished.").arg(n).arg(m);
        };
        const Records five{recordOf(f), recordOf(Outcome::partial), recordOf(a), recordOf(f), recordOf(f)};
        QTest::newRow("five give one") << five << moderate << sentence(3, 5);
        QTest::newRow("four give none") << five.mid(1) << moderate << QString();
        Records many = Records(5, recordOf(f)); // the oldest five fall out of the newest 20
        for (int i = 0; i < 20; ++i)
            many += recordOf(i % 4 == 0 ? f : a);
        QTest::newRow("only the newest 20 count") << many << moderate << sentence(5, 20);
        Records others = five.mid(1);
        others << recordOf(f, QuotaBand::tight) << recordOf(f, none) << recordOf(f, moderate, QStringLiteral("Small"))
               << recordOf(f, moderate, QStringLiteral("small"), ReservePolicy::high);
        QTest::newRow("other band, size or policy") << others << moderate << QString();
        QTest::newRow("absent band matches absent bands") << Records(5, recordOf(f, none)) << none << sentence(5, 5);
    }
    void insight()
    {
        QFETCH(Records, records);
        QFETCH(std::optional<QuotaBand>, band);
        QFETCH(QString, sentence);
        const std::optional<QString> expected = sentence.isNull() ? std::nullopt : std::optional(sentence);
        QCOMPARE(OutcomeStore::insight(records, QStringLiteral("small"), ReservePolicy::standard, band), expected);
    }
};

QTEST_GUILESS_MAIN(TestOutcomeStore)
#include "tst_outcomestore.moc"

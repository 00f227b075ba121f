// The outcome history is decoded in full whenever a check result asks for its insight
// and on every append, and re-encoded on every append. These measure those paths at the
// 200-record cap, the largest history there is.
#include "platform/SettingsStore.h"
#include "reserve/OutcomeStore.h"
#include "reserve/ProtectedRun.h"

#include <QTemporaryDir>
#include <QTest>

using namespace tessaline;

namespace {

QList<OutcomeRecord> fullHistory()
{
    QList<OutcomeRecord> records;
    const QStringList sizes{"small", "medium", "large", "unknown"};
    for (int i = 0; i < OutcomeStore::capacity; ++i) {
        OutcomeRecord record;
        record.timestamp = 1.7e9 + i * 3600.25;
        record.taskSize = sizes[i % sizes.size()];
        record.lintCodes = {"scope", "tests", "checkpoint"};
        record.startingQuotaBand = QuotaBand(i % 5);
        if (i % 3)
            record.endingQuotaBand = QuotaBand((i + 1) % 5);
        record.reservePolicy = ReservePolicy(i % 3);
        record.maximumReserveConstraintReached = ReserveState(i % 5);
        record.runDurationMinutes = i;
        record.outcome = OutcomeRecord::Outcome(i % 3);
        records.append(record);
    }
    return records;
}

} // namespace

class BenchHistory : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void decode();
    void encode();
    void insight();
    void appendThroughSettings();
};

void BenchHistory::decode()
{
    const QByteArray bytes = *OutcomeStore::encode(fullHistory());
    QBENCHMARK {
        QCOMPARE(OutcomeStore::decode(bytes)->size(), OutcomeStore::capacity);
    }
}

void BenchHistory::encode()
{
    const QList<OutcomeRecord> records = fullHistory();
    QBENCHMARK {
        QVERIFY(OutcomeStore::encode(records));
    }
}

void BenchHistory::insight()
{
    const QList<OutcomeRecord> records = fullHistory();
    QBENCHMARK {
        OutcomeStore::insight(records, "small", ReservePolicy::standard, QuotaBand::tight);
    }
}

void BenchHistory::appendThroughSettings()
{
    // Read, decode, append, encode, write and flush: what one outcome button costs.
    QTemporaryDir dir;
    auto settings = std::make_shared<QSettingsStore>(dir.filePath("settings.ini"));
    QVERIFY(settings->setValue(OutcomeStore::key, *OutcomeStore::encode(fullHistory())));
    OutcomeStore store(settings);
    const ProtectedRun run = *ProtectedRun::begin(QDateTime::fromSecsSinceEpoch(1'700'000'000, Qt::UTC),
                                                  {50, 80}, QStringLiteral("small"), {"scope"},
                                                  ReservePolicy::standard);
    QBENCHMARK {
        QVERIFY(store.record(run, OutcomeRecord::Outcome::finished, run.startedAt.addSecs(600)));
    }
}

QTEST_GUILESS_MAIN(BenchHistory)
#include "bench_history.moc"

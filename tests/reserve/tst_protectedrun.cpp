#include "quota/Usage.h"
#include "reserve/ProtectedRun.h"

#include <QTest>

using namespace tessaline;

using Snapshot = ProtectedRun::Snapshot;
using States = QList<std::optional<ReserveState>>;
using Snapshots = QList<Snapshot>;

Q_DECLARE_METATYPE(Snapshot)
Q_DECLARE_METATYPE(Snapshots)
Q_DECLARE_METATYPE(States)
Q_DECLARE_METATYPE(std::optional<qint64>)

namespace {

Usage::Window window(qint64 minutes, qint64 remaining)
{
    return Usage::Window{QStringLiteral("w"), 100 - remaining, remaining, minutes, 1.7e9};
}

Snapshot both(qint64 percent)
{
    return Snapshot(percent, percent);
}

const QDateTime startTime = QDateTime::fromSecsSinceEpoch(1'700'000'000, Qt::UTC);

} // namespace

class TestProtectedRun : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void snapshotFromUsage_data();
    void snapshotFromUsage();
    void beginRefusals_data();
    void beginRefusals();
    void beginSetsInitialState();
    void observations_data();
    void observations();
    void readingWithoutWindowsKeepsState();
};

void TestProtectedRun::snapshotFromUsage_data()
{
    QTest::addColumn<QList<Usage::Window>>("windows");
    QTest::addColumn<std::optional<qint64>>("fiveHour");
    QTest::addColumn<std::optional<qint64>>("weekly");

    const std::optional<qint64> none;
    QTest::newRow("both windows") << QList{window(300, 42), window(10080, 12)} << std::optional<qint64>(42)
                                  << std::optional<qint64>(12);
    QTest::newRow("weekly first in list") << QList{window(10080, 12), window(300, 42)}
                                          << std::optional<qint64>(42) << std::optional<qint64>(12);
    QTest::newRow("only weekly") << QList{window(10080, 55)} << none << std::optional<qint64>(55);
    QTest::newRow("other durations ignored") << QList{window(60, 3), window(301, 4), window(10079, 5)} << none
                                             << none;
    QTest::newRow("earliest duplicate wins")
        << QList{window(60, 1), window(300, 70), window(300, 5), window(10080, 80), window(10080, 2)}
        << std::optional<qint64>(70) << std::optional<qint64>(80);
}

void TestProtectedRun::snapshotFromUsage()
{
    QFETCH(QList<Usage::Window>, windows);
    QFETCH(std::optional<qint64>, fiveHour);
    QFETCH(std::optional<qint64>, weekly);

    Usage usage;
    usage.windows = windows;
    // Windows inside limit buckets never count, even with the right duration.
    usage.limitBuckets = QList{Usage::LimitBucket{"b", "B", true, {window(300, 1), window(10080, 1)}, {}, {}}};
    const Snapshot snapshot(usage);
    QCOMPARE(snapshot.fiveHour, fiveHour);
    QCOMPARE(snapshot.weekly, weekly);
}

void TestProtectedRun::beginRefusals_data()
{
    QTest::addColumn<Snapshot>("start");
    QTest::newRow("no window") << Snapshot();
    QTest::newRow("five-hour at 0") << Snapshot(0, 90);
    QTest::newRow("weekly negative") << Snapshot(std::nullopt, -2);
}

void TestProtectedRun::beginRefusals()
{
    QFETCH(Snapshot, start);
    for (ReservePolicy policy : {ReservePolicy::light, ReservePolicy::standard, ReservePolicy::high})
        QVERIFY(!ProtectedRun::begin(startTime, start, QStringLiteral("small"), {}, policy));
}

void TestProtectedRun::beginSetsInitialState()
{
    const Snapshot start(40, 90);
    const auto run = ProtectedRun::begin(startTime, start, std::nullopt, {"a", "b"}, ReservePolicy::standard);
    QVERIFY(run);
    QCOMPARE(run->startedAt, startTime);
    QCOMPARE(run->start, start);
    QCOMPARE(run->latest, start);
    QCOMPARE(run->taskSize, QStringLiteral("unknown"));
    QCOMPARE(run->lintCodes, QStringList({"a", "b"}));
    QCOMPARE(run->reservePolicy, ReservePolicy::standard);
    QCOMPARE(run->state, ReserveState::keepHeadroom);
    QCOMPARE(run->worstSurfaced, ReserveState::keepHeadroom);

    const auto sized = ProtectedRun::begin(startTime, start, QStringLiteral("large"), {}, ReservePolicy::standard);
    QCOMPARE(sized->taskSize, QStringLiteral("large"));
}

void TestProtectedRun::observations_data()
{
    QTest::addColumn<Snapshot>("start");
    QTest::addColumn<ReservePolicy>("policy");
    QTest::addColumn<Snapshots>("readings");
    QTest::addColumn<States>("returned");
    QTest::addColumn<ReserveState>("finalState");
    QTest::addColumn<ReserveState>("finalWorst");

    using S = ReserveState;
    const std::optional<ReserveState> nothing;
    QTest::newRow("worsen, recover, fall back to a surfaced level")
        << Snapshot(40, 90) << ReservePolicy::standard << Snapshots{both(30), both(10), both(50), both(10)}
        << States{S::validationAtRisk, S::validationOnly, nothing, nothing} << S::validationOnly << S::validationOnly;
    QTest::newRow("recovery then a new worst level is told")
        << Snapshot(40, 90) << ReservePolicy::standard << Snapshots{both(30), both(80), both(30), both(0)}
        << States{S::validationAtRisk, nothing, nothing, S::exhausted} << S::exhausted << S::exhausted;
    QTest::newRow("jump over levels tells only the level reached")
        << Snapshot(90, 90) << ReservePolicy::light << Snapshots{both(5)} << States{S::validationAtRisk}
        << S::validationAtRisk << S::validationAtRisk;
    QTest::newRow("exhausted under light") << Snapshot(90, 90) << ReservePolicy::light << Snapshots{both(0)}
                                           << States{S::exhausted} << S::exhausted << S::exhausted;
    QTest::newRow("the starting state is never told")
        << Snapshot(20, 90) << ReservePolicy::standard << Snapshots{both(30), both(70), both(20)}
        << States{nothing, nothing, nothing} << S::validationAtRisk << S::validationAtRisk;
    QTest::newRow("comfortable is never told")
        << Snapshot(90, 90) << ReservePolicy::light << Snapshots{both(100), both(40)} << States{nothing, nothing}
        << S::comfortable << S::comfortable;
    QTest::newRow("state may fall below the start; worst stays")
        << Snapshot(20, 20) << ReservePolicy::high << Snapshots{both(100)} << States{nothing} << S::keepHeadroom
        << S::validationOnly;
    QTest::newRow("lower window decides")
        << Snapshot(90, 90) << ReservePolicy::standard << Snapshots{Snapshot(std::nullopt, 30), Snapshot(80, 12)}
        << States{S::validationAtRisk, S::validationOnly} << S::validationOnly << S::validationOnly;
}

void TestProtectedRun::observations()
{
    QFETCH(Snapshot, start);
    QFETCH(ReservePolicy, policy);
    QFETCH(Snapshots, readings);
    QFETCH(States, returned);
    QFETCH(ReserveState, finalState);
    QFETCH(ReserveState, finalWorst);

    auto run = ProtectedRun::begin(startTime, start, std::nullopt, {}, policy);
    QVERIFY(run);
    for (int i = 0; i < readings.size(); ++i) {
        QCOMPARE(run->observe(readings[i]), returned[i]);
        QCOMPARE(run->latest, readings[i]);
    }
    QCOMPARE(run->state, finalState);
    QCOMPARE(run->worstSurfaced, finalWorst);
    QCOMPARE(run->start, start);
}

void TestProtectedRun::readingWithoutWindowsKeepsState()
{
    auto run = ProtectedRun::begin(startTime, Snapshot(40, 90), std::nullopt, {}, ReservePolicy::standard);
    QCOMPARE(run->observe(both(30)), std::optional(ReserveState::validationAtRisk));
    QCOMPARE(run->observe(Snapshot()), std::nullopt);
    QCOMPARE(run->latest, Snapshot());
    QCOMPARE(run->state, ReserveState::validationAtRisk);
    QCOMPARE(run->worstSurfaced, ReserveState::validationAtRisk);
}

QTEST_GUILESS_MAIN(TestProtectedRun)
#include "tst_protectedrun.moc"

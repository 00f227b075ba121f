#include "quota/Usage.h"
#include "reserve/ProtectedRun.h"

#include <QTest>

using namespace tessaline;

using Snapshot = ProtectedRun::Snapshot;
using Snapshots = QList<Snapshot>;
using States = QList<std::optional<ReserveState>>;
using Percent = std::optional<qint64>;
using B = QuotaBand;
using S = ReserveState;
Q_DECLARE_METATYPE(Snapshot)
Q_DECLARE_METATYPE(Snapshots)
Q_DECLARE_METATYPE(States)
Q_DECLARE_METATYPE(Percent)
Q_DECLARE_METATYPE(std::optional<QuotaBand>)

namespace {

const QDateTime startTime = QDateTime::fromSecsSinceEpoch(1'700'000'000, Qt::UTC);

Snapshot both(qint64 percent)
{
    return Snapshot(percent, percent);
}

Usage::Window window(qint64 minutes, qint64 remaining)
{
    return Usage::Window{QStringLiteral("w"), 100 - remaining, remaining, minutes, 1.7e9};
}

} // namespace

class TestReserve : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void band_data()
    {
        QTest::addColumn<Percent>("fiveHour");
        QTest::addColumn<Percent>("weekly");
        QTest::addColumn<std::optional<B>>("band");
        QTest::newRow("neither") << Percent() << Percent() << std::optional<B>();
        QTest::newRow("weekly lower") << Percent(90) << Percent(20) << std::optional(B::tight);
        QTest::newRow("weekly alone") << Percent() << Percent(15) << std::optional(B::critical);
        const struct { qint64 m; B band; } edges[] = {
            {-3, B::blocked}, {0, B::blocked},   {1, B::critical},  {15, B::critical}, {16, B::tight},
            {35, B::tight},   {36, B::moderate}, {65, B::moderate}, {66, B::healthy},  {140, B::healthy},
        };
        for (const auto &e : edges)
            QTest::addRow("%lld", e.m) << Percent(e.m) << Percent(100) << std::optional(e.band);
    }
    void band()
    {
        QFETCH(Percent, fiveHour);
        QFETCH(Percent, weekly);
        QFETCH(std::optional<B>, band);
        QCOMPARE(quotaBandFrom(fiveHour, weekly), band);
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
        for (const auto &r : rows) {
            QCOMPARE(reserveStateFrom(r.band, ReservePolicy::light), r.light);
            QCOMPARE(reserveStateFrom(r.band, ReservePolicy::standard), r.standard);
            QCOMPARE(reserveStateFrom(r.band, ReservePolicy::high), r.high);
        }
    }

    void rawValues()
    {
        // Stored in the history, so these texts must never drift.
        const QStringList bands{"blocked", "critical", "tight", "moderate", "healthy"};
        for (int i = 0; i < bands.size(); ++i)
            QCOMPARE(quotaBandFromRawValue(bands[i]), std::optional(B(i)));
        const QStringList policies{"light", "standard", "high"};
        for (int i = 0; i < policies.size(); ++i)
            QCOMPARE(reservePolicyFromRawValue(policies[i]), std::optional(ReservePolicy(i)));
    }

    void snapshotFromUsage()
    {
        Usage usage;
        // The first 300- and 10080-minute top-level windows, in any order; other
        // durations and windows inside limit buckets never count.
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
        const auto run = ProtectedRun::begin(startTime, {40, 90}, std::nullopt, {"a"}, ReservePolicy::standard);
        QVERIFY(run);
        QCOMPARE(run->taskSize, QStringLiteral("unknown"));
        QCOMPARE(run->latest, Snapshot(40, 90));
        QCOMPARE(run->worstSurfaced, S::keepHeadroom);
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
        QTest::newRow("worsen, recover, fall back to a told level")
            << both(40) << standard << Snapshots{both(30), both(10), both(50), both(10)}
            << States{S::validationAtRisk, S::validationOnly, no, no} << S::validationOnly << S::validationOnly;
        QTest::newRow("recovery, then a new worst level is told")
            << both(40) << standard << Snapshots{both(30), both(80), both(30), both(0)}
            << States{S::validationAtRisk, no, no, S::exhausted} << S::exhausted << S::exhausted;
        QTest::newRow("a jump tells only the level reached") << both(90) << ReservePolicy::light << Snapshots{both(5)}
                                                             << States{S::validationAtRisk} << S::validationAtRisk
                                                             << S::validationAtRisk;
        QTest::newRow("the starting state is never told") << both(20) << standard << Snapshots{both(30), both(20)}
                                                          << States{no, no} << S::validationAtRisk << S::validationAtRisk;
        QTest::newRow("state falls below the start, worst stays") << both(20) << ReservePolicy::high
                                                                  << Snapshots{both(100)} << States{no}
                                                                  << S::keepHeadroom << S::validationOnly;
        QTest::newRow("a reading without windows changes nothing")
            << both(40) << standard << Snapshots{Snapshot(std::nullopt, 30), Snapshot()}
            << States{S::validationAtRisk, no} << S::validationAtRisk << S::validationAtRisk;
    }
    void observe()
    {
        QFETCH(Snapshot, start);
        QFETCH(ReservePolicy, policy);
        QFETCH(Snapshots, readings);
        QFETCH(States, told);
        QFETCH(S, finalState);
        QFETCH(S, finalWorst);
        auto run = ProtectedRun::begin(startTime, start, std::nullopt, {}, policy);
        QVERIFY(run);
        for (int i = 0; i < readings.size(); ++i) {
            QCOMPARE(run->observe(readings[i]), told[i]);
            QCOMPARE(run->latest, readings[i]);
        }
        QCOMPARE(run->state, finalState);
        QCOMPARE(run->worstSurfaced, finalWorst);
    }
};

QTEST_GUILESS_MAIN(TestReserve)
#include "tst_reserve.moc"

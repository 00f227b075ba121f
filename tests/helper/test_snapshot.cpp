// The figures quorvel derives from the raw windows: names, pace, the most pressured
// window and the weekly budget, read back through the program's own decoder.

#include "helper/Snapshot.h"
#include "quota/Usage.h"

#include <QJsonDocument>
#include <QTest>

using namespace tessaline;
using namespace tessaline::helper;

Q_DECLARE_METATYPE(RawWindow)
Q_DECLARE_METATYPE(RawBucket)

namespace {

constexpr double now = 1'800'000'000;

RawWindow window(double used, qint64 minutes, double resetsIn)
{
    return RawWindow{used, minutes, now + resetsIn};
}

RawBucket bucket(const QString &id, std::optional<RawWindow> primary, std::optional<RawWindow> secondary = {})
{
    RawBucket b;
    b.limitId = id;
    b.isDefault = id == defaultLimitId;
    b.primary = primary;
    b.secondary = secondary;
    return b;
}

Usage decoded(const QList<RawBucket> &buckets)
{
    const auto doc = Snapshot::build(buckets, now);
    if (!doc)
        qFatal("no snapshot");
    const auto usage = Usage::decode(QJsonDocument(*doc).toJson());
    if (!usage)
        qFatal("the snapshot does not decode: %s", qPrintable(usage.error().message));
    return *usage;
}

} // namespace

class TestSnapshot : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void lengths_data()
    {
        QTest::addColumn<qint64>("reported");
        QTest::addColumn<qint64>("minutes");
        QTest::addColumn<QString>("name");
        QTest::newRow("5h exact") << qint64(300) << qint64(300) << "5h";
        QTest::newRow("5h low edge") << qint64(285) << qint64(300) << "5h";
        QTest::newRow("5h high edge") << qint64(315) << qint64(300) << "5h";
        QTest::newRow("below 5h") << qint64(284) << qint64(284) << "284 minutes";
        QTest::newRow("above 5h") << qint64(316) << qint64(316) << "316 minutes";
        QTest::newRow("weekly low edge") << qint64(9576) << qint64(10080) << "weekly";
        QTest::newRow("weekly high edge") << qint64(10584) << qint64(10080) << "weekly";
        QTest::newRow("a day") << qint64(1440) << qint64(1440) << "1 day";
        QTest::newRow("an hour") << qint64(60) << qint64(60) << "1 hour";
        QTest::newRow("two weeks") << qint64(20160) << qint64(20160) << "2 weeks";
        QTest::newRow("a minute") << qint64(1) << qint64(1) << "1 minute";
    }
    void lengths()
    {
        QFETCH(qint64, reported);
        QFETCH(qint64, minutes);
        QFETCH(QString, name);
        QCOMPARE(Snapshot::identifyMinutes(reported), minutes);
        QCOMPARE(Snapshot::windowName(minutes), name);
    }

    void pace_data()
    {
        QTest::addColumn<qint64>("used");
        QTest::addColumn<double>("resetsIn");
        QTest::addColumn<double>("delta");
        QTest::addColumn<QString>("classification");
        // A five-hour window: 3 h to go means 40 % of it has elapsed.
        QTest::newRow("on pace") << qint64(40) << 3 * 3600.0 << 0.0 << "on track";
        QTest::newRow("just ahead") << qint64(45) << 3 * 3600.0 << 5.0 << "ahead";
        QTest::newRow("nearly ahead") << qint64(44) << 3 * 3600.0 << 4.0 << "on track";
        QTest::newRow("just behind") << qint64(35) << 3 * 3600.0 << -5.0 << "behind";
        QTest::newRow("fresh window, some used") << qint64(10) << 5 * 3600.0 << 10.0 << "ahead";
        QTest::newRow("reset further away than the length") << qint64(0) << 6 * 3600.0 << 0.0 << "on track";
    }
    void pace()
    {
        QFETCH(qint64, used);
        QFETCH(double, resetsIn);
        QFETCH(double, delta);
        QFETCH(QString, classification);
        const Snapshot::Pace p = Snapshot::pace(used, 300, now + resetsIn, now);
        QCOMPARE(p.deltaPoints, delta);
        QCOMPARE(p.classification, classification);
    }

    void pressure_data()
    {
        QTest::addColumn<QList<RawBucket>>("buckets");
        QTest::addColumn<QString>("summary");

        QTest::newRow("weekly further ahead than 5h")
            << QList<RawBucket>{bucket("codex", window(50, 300, 3 * 3600), window(80, 10080, 3.5 * 86400))}
            << "Most pressured: Codex weekly, 30 points ahead of even pace.";
        QTest::newRow("a model bucket is the most pressured")
            << QList<RawBucket>{bucket("codex", window(40, 300, 3 * 3600)), bucket("codex_gpt5", window(90, 300, 3 * 3600))}
            << "Most pressured: codex_gpt5 5h, 50 points ahead of even pace.";
        QTest::newRow("blocked on 5h, weekly reported after")
            << QList<RawBucket>{bucket("codex", window(100, 300, 3600), window(40, 10080, 3.5 * 86400))}
            << "Blocked now: 5h limit. Weekly is 10 points behind even pace.";
        QTest::newRow("blocked twice: the longer block is named")
            << QList<RawBucket>{bucket("codex", window(100, 300, 3600), window(100, 10080, 86400))}
            << "Blocked now: weekly limit. 5h is 20 points ahead of even pace.";
        QTest::newRow("blocked in a model bucket")
            << QList<RawBucket>{bucket("codex", window(10, 300, 3 * 3600)), bucket("codex_gpt5", window(100.4, 300, 3600))}
            << "Blocked now: codex_gpt5 5h limit. 5h is 30 points behind even pace.";
        QTest::newRow("nearly used up is not blocked")
            << QList<RawBucket>{bucket("codex", window(99.6, 300, 3 * 3600))}
            << "Most pressured: Codex 5h, 60 points ahead of even pace.";
        QTest::newRow("a passed reset is neither used nor blocking")
            << QList<RawBucket>{bucket("codex", window(100, 300, -60))}
            << "Most pressured: Codex 5h, on track with even pace.";
    }
    void pressure()
    {
        QFETCH(QList<RawBucket>, buckets);
        QFETCH(QString, summary);
        const Usage usage = decoded(buckets);
        QVERIFY(usage.pressureCheck);
        QCOMPARE(usage.pressureCheck->summary(), summary);
    }

    void expiredWindowKeepsItsResetTime()
    {
        const Usage usage = decoded({bucket("codex", window(73, 300, -60))});
        QCOMPARE(usage.windows.size(), 1);
        QCOMPARE(usage.windows[0].usedPercent, 0);
        QCOMPARE(usage.windows[0].remainingPercent, 100);
        QCOMPARE(usage.windows[0].resetsAt, now - 60);
    }

    void weeklyBudget_data()
    {
        QTest::addColumn<double>("resetsIn");
        QTest::addColumn<double>("perDay");
        QTest::addColumn<double>("perHour");
        QTest::newRow("days to go") << 3.5 * 86400 << 20.0 << 0.83;
        QTest::newRow("last half hour") << 1800.0 << 70.0 << 70.0;
    }
    void weeklyBudget()
    {
        QFETCH(double, resetsIn);
        QFETCH(double, perDay);
        QFETCH(double, perHour);
        const Usage usage = decoded({bucket("codex", window(30, 10080, resetsIn))});
        QVERIFY(usage.weeklyBudget);
        QCOMPARE(usage.weeklyBudget->remainingPercent, 70);
        QCOMPARE(usage.weeklyBudget->secondsToReset, resetsIn);
        QCOMPARE(usage.weeklyBudget->percentPerDay, perDay);
        QCOMPARE(usage.weeklyBudget->percentPerHour, perHour);
    }

    void unshowableWindows_data()
    {
        QTest::addColumn<RawWindow>("raw");
        QTest::newRow("no length") << RawWindow{10, std::nullopt, now + 60};
        QTest::newRow("zero length") << RawWindow{10, 0, now + 60};
        QTest::newRow("no reset time") << RawWindow{10, 300, std::nullopt};
        QTest::newRow("reset beyond the year 9999") << RawWindow{10, 300, 253402300800.0};
        QTest::newRow("used not a number") << RawWindow{qQNaN(), 300, now + 60};
    }
    void unshowableWindows()
    {
        QFETCH(RawWindow, raw);
        QVERIFY(!Snapshot::build({bucket("codex", raw)}, now));
        // With a good window beside it, only the bad one is left out.
        const Usage usage = decoded({bucket("codex", raw, window(5, 10080, 60))});
        QCOMPARE(usage.windows.size(), 1);
        QCOMPARE(usage.windows[0].windowDurationMins, 10080);
    }
};

QTEST_GUILESS_MAIN(TestSnapshot)
#include "test_snapshot.moc"

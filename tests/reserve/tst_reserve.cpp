#include "reserve/Reserve.h"

#include <QSet>
#include <QTest>

using namespace tessaline;

Q_DECLARE_METATYPE(std::optional<qint64>)
Q_DECLARE_METATYPE(std::optional<QuotaBand>)

class TestReserve : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void bandFromPercentages_data();
    void bandFromPercentages();
    void stateTable_data();
    void stateTable();
    void rawValuesRoundTrip();
    void rawValueRejections_data();
    void rawValueRejections();
    void stateOrdering();
};

void TestReserve::bandFromPercentages_data()
{
    QTest::addColumn<std::optional<qint64>>("fiveHour");
    QTest::addColumn<std::optional<qint64>>("weekly");
    QTest::addColumn<std::optional<QuotaBand>>("band");

    const std::optional<qint64> none;
    const auto only = [](qint64 v) { return std::optional<qint64>(v); };
    QTest::newRow("both absent") << none << none << std::optional<QuotaBand>();
    QTest::newRow("five-hour decides when lower") << only(0) << only(80) << std::optional(QuotaBand::blocked);
    QTest::newRow("weekly decides when lower") << only(90) << only(20) << std::optional(QuotaBand::tight);
    QTest::newRow("weekly alone") << none << only(15) << std::optional(QuotaBand::critical);
    QTest::newRow("five-hour alone") << only(70) << none << std::optional(QuotaBand::healthy);

    const struct { qint64 m; QuotaBand band; } boundaries[] = {
        {-3, QuotaBand::blocked},   {0, QuotaBand::blocked},   {1, QuotaBand::critical},
        {15, QuotaBand::critical},  {16, QuotaBand::tight},    {35, QuotaBand::tight},
        {36, QuotaBand::moderate},  {65, QuotaBand::moderate}, {66, QuotaBand::healthy},
        {100, QuotaBand::healthy},  {140, QuotaBand::healthy},
    };
    for (const auto &b : boundaries) {
        QTest::addRow("both %lld", b.m) << only(b.m) << only(b.m) << std::optional(b.band);
        QTest::addRow("%lld against 100", b.m) << only(100) << only(b.m) << std::optional(b.band);
    }
}

void TestReserve::bandFromPercentages()
{
    QFETCH(std::optional<qint64>, fiveHour);
    QFETCH(std::optional<qint64>, weekly);
    QFETCH(std::optional<QuotaBand>, band);
    QCOMPARE(quotaBandFrom(fiveHour, weekly), band);
}

void TestReserve::stateTable_data()
{
    QTest::addColumn<QuotaBand>("band");
    QTest::addColumn<ReservePolicy>("policy");
    QTest::addColumn<ReserveState>("state");

    using B = QuotaBand;
    using S = ReserveState;
    const struct { B band; S light, standard, high; } rows[] = {
        {B::healthy, S::comfortable, S::comfortable, S::keepHeadroom},
        {B::moderate, S::comfortable, S::keepHeadroom, S::validationAtRisk},
        {B::tight, S::keepHeadroom, S::validationAtRisk, S::validationOnly},
        {B::critical, S::validationAtRisk, S::validationOnly, S::validationOnly},
        {B::blocked, S::exhausted, S::exhausted, S::exhausted},
    };
    for (const auto &r : rows) {
        const QByteArray name = rawValue(r.band).toUtf8();
        QTest::addRow("%s light", name.constData()) << r.band << ReservePolicy::light << r.light;
        QTest::addRow("%s standard", name.constData()) << r.band << ReservePolicy::standard << r.standard;
        QTest::addRow("%s high", name.constData()) << r.band << ReservePolicy::high << r.high;
    }
}

void TestReserve::stateTable()
{
    QFETCH(QuotaBand, band);
    QFETCH(ReservePolicy, policy);
    QFETCH(ReserveState, state);
    QCOMPARE(reserveStateFrom(band, policy), state);
}

void TestReserve::rawValuesRoundTrip()
{
    const QStringList bands{"blocked", "critical", "tight", "moderate", "healthy"};
    for (int i = 0; i < bands.size(); ++i) {
        const auto band = quotaBandFromRawValue(bands[i]);
        QVERIFY(band);
        QCOMPARE(static_cast<int>(*band), i);
        QCOMPARE(rawValue(*band), bands[i]);
    }
    const QStringList policies{"light", "standard", "high"};
    for (int i = 0; i < policies.size(); ++i) {
        const auto policy = reservePolicyFromRawValue(policies[i]);
        QVERIFY(policy);
        QCOMPARE(static_cast<int>(*policy), i);
        QCOMPARE(rawValue(*policy), policies[i]);
    }
    for (int i = 0; i <= 4; ++i) {
        const auto state = reserveStateFromRawValue(i);
        QVERIFY(state);
        QCOMPARE(rawValue(*state), i);
    }
    QCOMPARE(rawValue(ReserveState::validationOnly), 3);
}

void TestReserve::rawValueRejections_data()
{
    QTest::addColumn<QString>("text");
    QTest::newRow("empty") << QString();
    QTest::newRow("capitalised") << QStringLiteral("Healthy");
    QTest::newRow("upper case") << QStringLiteral("STANDARD");
    QTest::newRow("padded") << QStringLiteral(" light");
    QTest::newRow("state title") << QStringLiteral("comfortable");
    QTest::newRow("digit") << QStringLiteral("1");
}

void TestReserve::rawValueRejections()
{
    QFETCH(QString, text);
    QCOMPARE(quotaBandFromRawValue(text), std::nullopt);
    QCOMPARE(reservePolicyFromRawValue(text), std::nullopt);
    QCOMPARE(reserveStateFromRawValue(-1), std::nullopt);
    QCOMPARE(reserveStateFromRawValue(5), std::nullopt);
    QCOMPARE(reserveStateFromRawValue(qint64(1) << 32), std::nullopt);
}

void TestReserve::stateOrdering()
{
    QVERIFY(ReserveState::exhausted > ReserveState::validationOnly);
    QVERIFY(ReserveState::keepHeadroom >= ReserveState::keepHeadroom);
    QVERIFY(ReserveState::comfortable < ReserveState::keepHeadroom);
    QVERIFY(ReserveState::validationAtRisk <= ReserveState::validationOnly);
    QVERIFY(!(ReserveState::validationOnly <= ReserveState::validationAtRisk));

    const QSet<ReserveState> surfaced{ReserveState::keepHeadroom, ReserveState::exhausted, ReserveState::keepHeadroom};
    QCOMPARE(surfaced.size(), 2);
    QVERIFY(surfaced.contains(ReserveState::exhausted));
}

QTEST_GUILESS_MAIN(TestReserve)
#include "tst_reserve.moc"

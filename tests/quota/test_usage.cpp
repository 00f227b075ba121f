#include "quota/Usage.h"

#include "FixtureRows.h"

#include <QtTest>

Q_DECLARE_METATYPE(tessaline::Usage::PressureCheck)

using namespace tessaline;

class TestUsage : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // Syntax and type faults ("malformed") carry the JSON layer's or the field's own text;
    // range faults ("outOfRange") the fixed schema text. A document that is not UTF-8 is
    // given in base64.
    void decode_data() { addFixtureRows(QStringLiteral("quota/usage-decode.json")); }
    void decode()
    {
        QFETCH(QJsonObject, row);
        const QByteArray document = row.contains("base64") ? QByteArray::fromBase64(row.value("base64").toString().toLatin1())
                                                           : row.value("document").toString().toUtf8();
        const QString outcome = row.value("outcome").toString();
        const Expected<Usage> usage = Usage::decode(document);
        const QString error = usage ? QString() : usage.error().message;
        QVERIFY2(usage.hasValue() == (outcome == "accepted") && (usage || !error.isEmpty()), qPrintable(error));
        QCOMPARE(error == QStringLiteral("Invalid usage schema"), outcome == "outOfRange");
        QVERIFY(outcome != "outOfRange" || usage.error().code == 1);
    }

    void decodeKeepsEveryField()
    {
        // Also a seed of fuzz_usage.
        QFile document(QStringLiteral(TESSALINE_FIXTURES "/quota/every-field.json"));
        QVERIFY(document.open(QIODevice::ReadOnly));
        const Expected<Usage> usage = Usage::decode(document.readAll());
        using P = Usage::PressureCheck;
        const Usage expected{.fetchedAt = 1767220000.25, .windows = {{"5h", 40, 60, 300, 1767225600.5}, {"week", 10, 90, 10080, -12.0}},
            .limitBuckets = QList<Usage::LimitBucket>{{"codex", "Codex", false, {{"x", 120, -20, 0, 1e300}}, "primary", true}},
            .pressureCheck = P{true, "Codex", false, "5h", -3.5, "behind", P::Secondary{"Spark", true, "weekly", 2.25, "ahead"}},
            .planType = "pro", .rateLimitReachedType = "secondary", .spendControlReached = false,
            .resetCredits = Usage::Credits{2, QList<Usage::Credits::Credit>{{"active", 1767300000.0}, {}}},
            .weeklyBudget = Usage::Budget{14.5, 0.6, 3600, 90}, .notificationEvents = QList<Usage::NotificationEvent>{{"k", "T", "B"}}};
        QVERIFY2(usage && *usage == expected, qPrintable(usage ? QString() : usage.error().message));
    }

    void summary_data()
    {
        using P = Usage::PressureCheck;
        using S = P::Secondary;
        QTest::addColumn<P>("pressure");
        QTest::addColumn<QString>("expected");

        // Top-level pace fields must not leak into a blocked sentence.
        const auto blocked = [](std::optional<QString> bucket, std::optional<bool> isDefault, std::optional<QString> window,
                                std::optional<S> secondary = {}) { return P{true, bucket, isDefault, window, 40, "behind", secondary}; };
        // Nor a secondary into an open one.
        const auto open = [](std::optional<double> delta, std::optional<QString> classification) {
            return P{false, "Codex", false, "5h", delta, classification, S{"x", true, "y", 1, "ahead"}}; };

        QTest::newRow("blocked, no labels") << blocked({}, {}, {}) << "Blocked now: usage limit.";
        QTest::newRow("blocked, bucket default unknown") << blocked("Codex", {}, "weekly") << "Blocked now: weekly limit.";
        QTest::newRow("blocked, other bucket") << blocked("Spark", false, "weekly") << "Blocked now: Spark weekly limit.";
        QTest::newRow("secondary default, sharp s") << blocked({}, {}, "5h", S{"", true, "ßpan", 0, "steady"}) << "Blocked now: 5h limit. SSpan is on track with even pace.";
        QTest::newRow("secondary other bucket, unchanged") << blocked("S", false, "5h", S{"c", false, "w", 0.49, "ahead"}) << "Blocked now: S 5h limit. c w is 0 points ahead of even pace.";
        QTest::newRow("secondary past 64 bits") << blocked({}, {}, "5h", S{"B", false, "weekly", 1e300, "ahead"})
            << "Blocked now: 5h limit. B weekly is more than 9223372036854775807 points ahead of even pace.";

        QTest::newRow("open, 2.5 away from zero") << open(2.5, "behind") << "Most pressured: Codex 5h, 3 points behind even pace.";
        QTest::newRow("open, negative zero") << open(-0.0, "behind") << "Most pressured: Codex 5h, 0 points behind even pace.";
        QTest::newRow("open, not a number") << open(std::nan(""), "ahead") << "Most pressured: Codex 5h, an unknown number of points ahead of even pace.";
        QTest::newRow("open, no classification") << open(3, {}) << "Pressure data unavailable.";
    }

    void summary()
    {
        QFETCH(Usage::PressureCheck, pressure);
        QFETCH(QString, expected);
        QCOMPARE(pressure.summary(), expected);
    }
};

QTEST_GUILESS_MAIN(TestUsage)
#include "test_usage.moc"

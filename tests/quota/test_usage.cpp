#include "quota/Usage.h"

#include <QtTest>

Q_DECLARE_METATYPE(tessaline::Usage::PressureCheck)

using namespace tessaline;

namespace {

// Later keys win, so `fields` overrides the defaults.
QByteArray window(const QByteArray &fields = {})
{
    return R"({"name":"5h","usedPercent":40,"remainingPercent":60,"windowDurationMins":300,"resetsAt":1767225600.5)"
        + (fields.isEmpty() ? QByteArray() : ',' + fields) + '}';
}

// A valid snapshot; `extra` adds top-level keys, `windows` replaces the one five-hour window.
QByteArray snapshot(const QByteArray &extra = {}, const QByteArray &windows = window())
{
    return R"({"schemaVersion":1,"fetchedAt":1767220000.25,"windows":[)" + windows + ']' + (extra.isEmpty() ? QByteArray() : ',' + extra) + '}';
}

} // namespace

// Syntax and type faults carry the JSON layer's or the field's own text; range faults
// the fixed schema text.
enum Outcome { Accepted, Malformed, OutOfRange };

class TestUsage : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void decode_data(); // below: moc cannot read its raw strings
    void decode()
    {
        QFETCH(QByteArray, document);
        QFETCH(int, outcome);
        const Expected<Usage> usage = Usage::decode(document);
        const QString error = usage ? QString() : usage.error().message;
        QVERIFY2(usage.hasValue() == (outcome == Accepted) && (usage || !error.isEmpty()), qPrintable(error));
        QCOMPARE(error == QStringLiteral("Invalid usage schema"), outcome == OutOfRange);
        QVERIFY(outcome != OutOfRange || usage.error().code == 1);
    }

    void decodeKeepsEveryField()
    {
        const Expected<Usage> usage = Usage::decode(R"({"schemaVersion": 1, "fetchedAt": 1767220000.25,
          "windows": [{"name": "5h", "usedPercent": 40, "remainingPercent": 60, "windowDurationMins": 300, "resetsAt": 1767225600.5},
            {"name": "week", "usedPercent": 10, "remainingPercent": 90, "windowDurationMins": 10080, "resetsAt": -12.0}],
          "limitBuckets": [{"id": "codex", "label": "Codex", "isDefault": false, "rateLimitReachedType": "primary", "spendControlReached": true,
            "windows": [{"name": "x", "usedPercent": 120, "remainingPercent": -20, "windowDurationMins": 0, "resetsAt": 1e300}]}],
          "pressureCheck": {"blocked": true, "bucketLabel": "Codex", "bucketIsDefault": false, "windowLabel": "5h", "deltaPoints": -3.5, "classification": "behind",
            "secondary": {"bucketLabel": "Spark", "bucketIsDefault": true, "windowLabel": "weekly", "deltaPoints": 2.25, "classification": "ahead"}},
          "planType": "pro", "rateLimitReachedType": "secondary", "spendControlReached": false,
          "resetCredits": {"availableCount": 2, "credits": [{"status": "active", "expiresAt": 1767300000}, {}]},
          "weeklyBudget": {"percentPerDay": 14.5, "percentPerHour": 0.6, "secondsToReset": 3600, "remainingPercent": 90},
          "notificationEvents": [{"key": "k", "title": "T", "body": "B"}]})");
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

void TestUsage::decode_data()
{
    QTest::addColumn<QByteArray>("document");
    QTest::addColumn<int>("outcome");

    QTest::newRow("text after") << snapshot() + "\nok" << +Malformed;
    QTest::newRow("surrounding white space") << " \n\t" + snapshot() + "\r\n " << +Accepted;
    QTest::newRow("ill-formed UTF-8") << snapshot("\"planType\":\"pro\xff\"") << +Malformed;
    QTest::newRow("byte-order mark") << "\xef\xbb\xbf" + snapshot() << +Malformed;
    QTest::newRow("every escape") << snapshot(R"("planType":"\"\\\/\b\f\n\r\t\u00e9\ud83d\ude00")") << +Accepted;
    QTest::newRow("unpaired high surrogate") << snapshot(R"("planType":"\ud83dx")") << +Malformed;
    QTest::newRow("number forms") << snapshot(R"("resetCredits":{"availableCount":-0})", window(R"("resetsAt":-0.5e-3)")) << +Accepted;
    QTest::newRow("trailing comma") << snapshot(R"("planType":"x",)") << +Malformed;
    QTest::newRow("nested too deeply") << snapshot(R"("future":)" + QByteArray(5000, '[') + QByteArray(5000, ']')) << +Malformed;
    QTest::newRow("unknown keys everywhere") << snapshot(R"("future":{"x":[1]},"pressureCheck":{"blocked":false,"new":1})", window(R"("extra":"x")")) << +Accepted;

    QTest::newRow("schemaVersion 2") << snapshot().replace("\"schemaVersion\":1", "\"schemaVersion\":2") << +OutOfRange;
    QTest::newRow("windows empty") << snapshot({}, {}) << +OutOfRange;

    // Fractions and anything past 64 bits are not integers.
    QTest::newRow("integer with fraction") << snapshot(R"("resetCredits":{"availableCount":5.5})") << +Malformed;
    QTest::newRow("integer at 64-bit limits") << snapshot(R"("resetCredits":{"availableCount":9223372036854775807},)"
        R"("weeklyBudget":{"percentPerDay":1,"percentPerHour":1,"secondsToReset":1,"remainingPercent":-9223372036854775808})") << +Accepted;
    QTest::newRow("integer past 64 bits") << snapshot(R"("resetCredits":{"availableCount":9223372036854775808})") << +Malformed;

    QTest::newRow("percent bounds") << snapshot({}, window(R"("usedPercent":0,"remainingPercent":100)")) << +Accepted;
    QTest::newRow("usedPercent 101") << snapshot({}, window(R"("usedPercent":101)")) << +OutOfRange;
    QTest::newRow("resetsAt at year 10000") << snapshot({}, window(R"("resetsAt":253402300800.0)")) << +OutOfRange;
    QTest::newRow("bad second window") << snapshot({}, window() + ',' + window(R"("usedPercent":101)")) << +OutOfRange;

    // Bucket windows keep the field rules but not the ranges.
    QTest::newRow("bucket window out of range") << snapshot(R"("limitBuckets":[{"id":"c","label":"C","isDefault":true,"windows":[)"
        + window(R"("usedPercent":101,"remainingPercent":-1,"windowDurationMins":0,"resetsAt":1e300)") + "]}]") << +Accepted;

    // Null optionals are absent; a wrong type anywhere fails the whole document.
    QTest::newRow("optionals null") << snapshot(R"("limitBuckets":null,"pressureCheck":null,"planType":null,"rateLimitReachedType":null,)"
        R"("spendControlReached":null,"resetCredits":null,"weeklyBudget":null,"notificationEvents":null)") << +Accepted;
    QTest::newRow("planType as number") << snapshot(R"("planType":3)") << +Malformed;
    QTest::newRow("secondary missing fields") << snapshot(R"("pressureCheck":{"blocked":true,"secondary":{"bucketLabel":"b"}})") << +Malformed;
    QTest::newRow("credits without count") << snapshot(R"("resetCredits":{"credits":[]})") << +Malformed;
    QTest::newRow("event without body") << snapshot(R"("notificationEvents":[{"key":"k","title":"t"}])") << +Malformed;
}

QTEST_GUILESS_MAIN(TestUsage)
#include "tst_usage.moc"

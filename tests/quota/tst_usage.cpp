#include "quota/Usage.h"

#include <QtTest>

Q_DECLARE_METATYPE(tessaline::Usage::PressureCheck)

using namespace tessaline;

namespace {

QByteArray window(const QByteArray &fields = {})
{
    QByteArray w = R"({"name":"5h","usedPercent":40,"remainingPercent":60,"windowDurationMins":300,"resetsAt":1767225600.5)";
    if (!fields.isEmpty())
        w += ',' + fields;
    return w + '}';
}

// A valid snapshot with one five-hour window; `extra` adds top-level keys, `windows`
// replaces the window list.
QByteArray snapshot(const QByteArray &extra = {}, const QByteArray &windows = window())
{
    QByteArray d = R"({"schemaVersion":1,"fetchedAt":1767220000.25,"windows":[)" + windows + ']';
    if (!extra.isEmpty())
        d += ',' + extra;
    return d + '}';
}

QByteArray bucket(const QByteArray &windows)
{
    return R"({"id":"codex","label":"Codex","isDefault":true,"windows":[)" + windows + "]}";
}

} // namespace

class TestUsage : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void decode_data();
    void decode();
    void decodeKeepsEveryField();
    void decodeErrors();
    void firstWindowOfEachLengthWins();
    void summary_data();
    void summary();
};

void TestUsage::decode_data()
{
    QTest::addColumn<QByteArray>("document");
    QTest::addColumn<bool>("accepted");

    // The document as a whole.
    QTest::newRow("minimal") << snapshot() << true;
    QTest::newRow("surrounding white space") << " \n\t" + snapshot() + "\r\n " << true;
    QTest::newRow("log line before") << "fetching quota\n" + snapshot() << false;
    QTest::newRow("text after") << snapshot() + "\nok" << false;
    QTest::newRow("two documents") << snapshot() + snapshot() << false;
    QTest::newRow("top-level array") << '[' + snapshot() + ']' << false;
    QTest::newRow("empty") << QByteArray() << false;
    QTest::newRow("ill-formed UTF-8") << snapshot("\"planType\":\"pro\xff\"") << false;
    QTest::newRow("byte-order mark") << "\xef\xbb\xbf" + snapshot() << false;
    QTest::newRow("unknown escape") << snapshot(R"("planType":"p\q")") << false;
    QTest::newRow("raw tab in text") << snapshot("\"planType\":\"a\tb\"") << false;
    QTest::newRow("raw control byte in text") << snapshot("\"planType\":\"a\x01\"") << false;
    QTest::newRow("every escape") << snapshot(R"("planType":"\"\\\/\b\f\n\r\t\u00e9\ud83d\ude00")") << true;
    QTest::newRow("unpaired high surrogate") << snapshot(R"("planType":"\ud83dx")") << false;
    QTest::newRow("unpaired low surrogate") << snapshot(R"("planType":"\ude00")") << false;
    QTest::newRow("short unicode escape") << snapshot(R"("planType":"\u00e")") << false;
    QTest::newRow("number .5") << snapshot(R"("weeklyBudget":{"percentPerDay":.5,"percentPerHour":1,"secondsToReset":1,"remainingPercent":1})") << false;
    QTest::newRow("number 1.") << snapshot(R"("weeklyBudget":{"percentPerDay":1.,"percentPerHour":1,"secondsToReset":1,"remainingPercent":1})") << false;
    QTest::newRow("number forms") << snapshot(R"("weeklyBudget":{"percentPerDay":-0.5e-3,"percentPerHour":1E+2,"secondsToReset":0,"remainingPercent":-0})") << true;
    QTest::newRow("trailing comma") << snapshot(R"("planType":"x",)") << false;
    QTest::newRow("nested deeply") << snapshot(R"("future":)" + QByteArray(1000, '[') + QByteArray(1000, ']')) << true;
    QTest::newRow("nested too deeply") << snapshot(R"("future":)" + QByteArray(5000, '[') + QByteArray(5000, ']')) << false;
    QTest::newRow("non-ASCII text") << snapshot("\"planType\":\"Pro \xc3\x9f\"") << true;
    QTest::newRow("unknown keys everywhere")
        << snapshot(R"("future":{"x":[1]},"pressureCheck":{"blocked":false,"new":1,)"
                    R"("secondary":{"bucketLabel":"b","bucketIsDefault":true,"windowLabel":"w",)"
                    R"("deltaPoints":1,"classification":"ahead","more":null}})",
                    window(R"("extra":"x")"))
        << true;

    // Required top-level fields.
    QTest::newRow("schemaVersion 2") << R"({"schemaVersion":2,"fetchedAt":1,"windows":[)" + window() + "]}" << false;
    QTest::newRow("schemaVersion as text") << R"({"schemaVersion":"1","fetchedAt":1,"windows":[)" + window() + "]}" << false;
    QTest::newRow("schemaVersion missing") << R"({"fetchedAt":1,"windows":[)" + window() + "]}" << false;
    QTest::newRow("fetchedAt null") << R"({"schemaVersion":1,"fetchedAt":null,"windows":[)" + window() + "]}" << false;
    QTest::newRow("windows empty") << snapshot({}, {}) << false;
    QTest::newRow("windows not a list") << R"({"schemaVersion":1,"fetchedAt":1,"windows":)" + window() + "}" << false;
    QTest::newRow("window not an object") << snapshot({}, window() + ",3") << false;

    // Integral numbers: 5.0 and 1e2 count, fractions and values beyond 64 bits do not.
    QTest::newRow("integer written 1.0") << R"({"schemaVersion":1.0,"fetchedAt":1,"windows":[)" + window() + "]}" << true;
    QTest::newRow("integer with fraction") << snapshot(R"("weeklyBudget":{"percentPerDay":1,"percentPerHour":1,"secondsToReset":1,"remainingPercent":5.5})") << false;
    QTest::newRow("integer at 64-bit limits")
        << snapshot(R"("resetCredits":{"availableCount":9223372036854775807},)"
                    R"("weeklyBudget":{"percentPerDay":1,"percentPerHour":1,"secondsToReset":1,"remainingPercent":-9223372036854775808})")
        << true;
    QTest::newRow("integer past 64 bits") << snapshot(R"("resetCredits":{"availableCount":9223372036854775808})") << false;
    QTest::newRow("integer 1e19") << snapshot(R"("resetCredits":{"availableCount":1e19})") << false;
    QTest::newRow("real written as integer") << snapshot(R"("weeklyBudget":{"percentPerDay":1,"percentPerHour":2,"secondsToReset":3,"remainingPercent":4})") << true;
    QTest::newRow("real beyond double range") << snapshot(R"("weeklyBudget":{"percentPerDay":1e999,"percentPerHour":2,"secondsToReset":3,"remainingPercent":4})") << false;

    // Top-level window ranges, checked on every window.
    QTest::newRow("percent bounds") << snapshot({}, window(R"("usedPercent":0,"remainingPercent":100)")) << true;
    QTest::newRow("usedPercent 101") << snapshot({}, window(R"("usedPercent":101)")) << false;
    QTest::newRow("remainingPercent -1") << snapshot({}, window(R"("remainingPercent":-1)")) << false;
    QTest::newRow("windowDurationMins 0") << snapshot({}, window(R"("windowDurationMins":0)")) << false;
    QTest::newRow("resetsAt at year 10000") << snapshot({}, window(R"("resetsAt":253402300800.0)")) << false;
    QTest::newRow("resetsAt just below") << snapshot({}, window(R"("resetsAt":253402300799.999)")) << true;
    QTest::newRow("resetsAt negative, smaller") << snapshot({}, window(R"("resetsAt":-253402300799)")) << true;
    QTest::newRow("resetsAt negative, at bound") << snapshot({}, window(R"("resetsAt":-253402300800)")) << false;
    QTest::newRow("bad second window") << snapshot({}, window() + ',' + window(R"("usedPercent":101)")) << false;
    QTest::newRow("usedPercent as text") << snapshot({}, window(R"("usedPercent":"40")")) << false;

    // Bucket windows keep the field rules but not the ranges.
    QTest::newRow("bucket window out of range")
        << snapshot(R"("limitBuckets":[)" + bucket(window(R"("usedPercent":101,"remainingPercent":-1,"windowDurationMins":0,"resetsAt":1e300)")) + ']')
        << true;
    QTest::newRow("bucket window wrong type") << snapshot(R"("limitBuckets":[)" + bucket(window(R"("usedPercent":5.5)")) + ']') << false;
    QTest::newRow("bucket without isDefault") << snapshot(R"("limitBuckets":[{"id":"a","label":"b","windows":[]}])") << false;

    // Optional records: null is absent, a wrong type anywhere fails the whole document.
    QTest::newRow("optionals null")
        << snapshot(R"("limitBuckets":null,"pressureCheck":null,"planType":null,"rateLimitReachedType":null,)"
                    R"("spendControlReached":null,"resetCredits":null,"weeklyBudget":null,"notificationEvents":null)")
        << true;
    QTest::newRow("planType as number") << snapshot(R"("planType":3)") << false;
    QTest::newRow("pressureCheck without blocked") << snapshot(R"("pressureCheck":{"windowLabel":"5h"})") << false;
    QTest::newRow("pressureCheck blocked null") << snapshot(R"("pressureCheck":{"blocked":null})") << false;
    QTest::newRow("secondary without classification")
        << snapshot(R"("pressureCheck":{"blocked":true,"secondary":{"bucketLabel":"b","bucketIsDefault":true,"windowLabel":"w","deltaPoints":1}})")
        << false;
    QTest::newRow("deltaPoints as text") << snapshot(R"("pressureCheck":{"blocked":false,"deltaPoints":"3"})") << false;
    QTest::newRow("credit status as number") << snapshot(R"("resetCredits":{"availableCount":1,"credits":[{"status":3}]})") << false;
    QTest::newRow("credit fields absent") << snapshot(R"("resetCredits":{"availableCount":1,"credits":[{}]})") << true;
    QTest::newRow("credits without count") << snapshot(R"("resetCredits":{"credits":[]})") << false;
    QTest::newRow("budget missing field") << snapshot(R"("weeklyBudget":{"percentPerDay":1,"percentPerHour":1,"secondsToReset":1})") << false;
    QTest::newRow("event without body") << snapshot(R"("notificationEvents":[{"key":"k","title":"t"}])") << false;
}

void TestUsage::decode()
{
    QFETCH(QByteArray, document);
    QFETCH(bool, accepted);
    const Expected<Usage> usage = Usage::decode(document);
    if (usage.hasValue() != accepted)
        qWarning() << (usage.hasValue() ? QStringLiteral("accepted") : usage.error().message);
    QCOMPARE(usage.hasValue(), accepted);
}

void TestUsage::decodeKeepsEveryField()
{
    const QByteArray document = R"({
      "schemaVersion": 1, "fetchedAt": 1767220000.25,
      "windows": [
        {"name": "5h", "usedPercent": 40, "remainingPercent": 60, "windowDurationMins": 300, "resetsAt": 1767225600.5},
        {"name": "week", "usedPercent": 10, "remainingPercent": 90, "windowDurationMins": 10080, "resetsAt": -12.0}
      ],
      "limitBuckets": [{"id": "codex", "label": "Codex", "isDefault": false,
                        "windows": [{"name": "x", "usedPercent": 120, "remainingPercent": -20, "windowDurationMins": 0, "resetsAt": 1e300}],
                        "rateLimitReachedType": "primary", "spendControlReached": true}],
      "pressureCheck": {"blocked": true, "bucketLabel": "Codex", "bucketIsDefault": false, "windowLabel": "5h",
                        "deltaPoints": -3.5, "classification": "behind",
                        "secondary": {"bucketLabel": "Codex", "bucketIsDefault": true, "windowLabel": "weekly",
                                      "deltaPoints": 2.25, "classification": "ahead"}},
      "planType": "pro", "rateLimitReachedType": "secondary", "spendControlReached": false,
      "resetCredits": {"availableCount": 2, "credits": [{"status": "active", "expiresAt": 1767300000}, {}]},
      "weeklyBudget": {"percentPerDay": 14.5, "percentPerHour": 0.6, "secondsToReset": 3600, "remainingPercent": 90},
      "notificationEvents": [{"key": "k", "title": "T", "body": "B"}]
    })";

    Usage expected;
    expected.fetchedAt = 1767220000.25;
    expected.windows = {{"5h", 40, 60, 300, 1767225600.5}, {"week", 10, 90, 10080, -12.0}};
    expected.limitBuckets = QList<Usage::LimitBucket>{
        {"codex", "Codex", false, {{"x", 120, -20, 0, 1e300}}, QStringLiteral("primary"), true}};
    Usage::PressureCheck pressure;
    pressure.blocked = true;
    pressure.bucketLabel = QStringLiteral("Codex");
    pressure.bucketIsDefault = false;
    pressure.windowLabel = QStringLiteral("5h");
    pressure.deltaPoints = -3.5;
    pressure.classification = QStringLiteral("behind");
    pressure.secondary = Usage::PressureCheck::Secondary{"Codex", true, "weekly", 2.25, "ahead"};
    expected.pressureCheck = pressure;
    expected.planType = QStringLiteral("pro");
    expected.rateLimitReachedType = QStringLiteral("secondary");
    expected.spendControlReached = false;
    expected.resetCredits = Usage::Credits{2, QList<Usage::Credits::Credit>{{QStringLiteral("active"), 1767300000.0}, {}}};
    expected.weeklyBudget = Usage::Budget{14.5, 0.6, 3600, 90};
    expected.notificationEvents = QList<Usage::NotificationEvent>{{"k", "T", "B"}};

    const Expected<Usage> usage = Usage::decode(document);
    QVERIFY2(usage.hasValue(), qPrintable(usage ? QString() : usage.error().message));
    QCOMPARE(usage->windows, expected.windows);
    QVERIFY(usage->limitBuckets == expected.limitBuckets);
    QVERIFY(usage->pressureCheck == expected.pressureCheck);
    QVERIFY(usage->resetCredits == expected.resetCredits);
    QVERIFY(usage->weeklyBudget == expected.weeklyBudget);
    QVERIFY(usage->notificationEvents == expected.notificationEvents);
    QVERIFY(*usage == expected);
}

void TestUsage::decodeErrors()
{
    const Expected<Usage> invalid = Usage::decode(snapshot({}, window(R"("usedPercent":101)")));
    QVERIFY(!invalid);
    QCOMPARE(invalid.error().message, QStringLiteral("Invalid usage schema"));
    QCOMPARE(invalid.error().code, 1);

    // Parse and type failures say what the JSON layer or the field found instead.
    const Expected<Usage> garbage = Usage::decode(snapshot() + "x");
    QVERIFY(!garbage);
    QVERIFY(garbage.error().message != QStringLiteral("Invalid usage schema"));
    const Expected<Usage> mistyped = Usage::decode(snapshot(R"("planType":3)"));
    QVERIFY(!mistyped);
    QVERIFY(mistyped.error().message.contains(QStringLiteral("planType")));
}

void TestUsage::firstWindowOfEachLengthWins()
{
    const Expected<Usage> usage = Usage::decode(snapshot(
        {}, window(R"("name":"other","windowDurationMins":60)") + ',' + window(R"("name":"first","remainingPercent":7)")
                + ',' + window(R"("name":"second","remainingPercent":8)")));
    QVERIFY(usage);
    QVERIFY(usage->fiveHourWindow());
    QCOMPARE(usage->fiveHourWindow()->name, QStringLiteral("first"));
    QCOMPARE(usage->fiveHourWindow()->remainingPercent, 7);
    QCOMPARE(usage->weeklyWindow(), nullptr);
}

void TestUsage::summary_data()
{
    using Secondary = Usage::PressureCheck::Secondary;
    QTest::addColumn<Usage::PressureCheck>("pressure");
    QTest::addColumn<QString>("expected");

    auto blocked = [](std::optional<QString> bucket, std::optional<bool> isDefault, std::optional<QString> window,
                      std::optional<Secondary> secondary = std::nullopt) {
        Usage::PressureCheck p;
        p.blocked = true;
        p.bucketLabel = bucket;
        p.bucketIsDefault = isDefault;
        p.windowLabel = window;
        p.secondary = secondary;
        // Top-level pace fields must not leak into a blocked sentence.
        p.deltaPoints = 40;
        p.classification = QStringLiteral("behind");
        return p;
    };
    auto open = [](std::optional<QString> bucket, std::optional<QString> window, std::optional<double> delta,
                   std::optional<QString> classification) {
        Usage::PressureCheck p;
        p.bucketLabel = bucket;
        p.windowLabel = window;
        p.deltaPoints = delta;
        p.classification = classification;
        p.bucketIsDefault = false;
        p.secondary = Secondary{"x", true, "y", 1, "ahead"};
        return p;
    };
    const double huge = 9223372036854775808.0; // 2^63

    QTest::newRow("blocked, no labels") << blocked({}, {}, {}) << "Blocked now: usage limit.";
    QTest::newRow("blocked, default bucket") << blocked("Codex", true, "5h") << "Blocked now: 5h limit.";
    QTest::newRow("blocked, bucket default unknown") << blocked("Codex", {}, "weekly") << "Blocked now: weekly limit.";
    QTest::newRow("blocked, other bucket") << blocked("Spark", false, "weekly") << "Blocked now: Spark weekly limit.";
    QTest::newRow("blocked, other bucket without label") << blocked({}, false, "weekly") << "Blocked now:  weekly limit.";
    QTest::newRow("blocked, other bucket without window") << blocked("Spark", false, {}) << "Blocked now: Spark usage limit.";
    QTest::newRow("secondary default, digit first")
        << blocked({}, {}, "weekly", Secondary{"Codex", true, "5h", -12.5, "behind"})
        << "Blocked now: weekly limit. 5h is 13 points behind even pace.";
    QTest::newRow("secondary default, letter first")
        << blocked({}, {}, "5h", Secondary{"Codex", true, "weekly window", 2.4, "ahead"})
        << "Blocked now: 5h limit. Weekly window is 2 points ahead of even pace.";
    QTest::newRow("secondary default, sharp s")
        << blocked({}, {}, "5h", Secondary{"", true, "ßpan", 0, "steady"})
        << "Blocked now: 5h limit. SSpan is on track with even pace.";
    QTest::newRow("secondary default, combining mark")
        << blocked({}, {}, "5h", Secondary{"", true, "e\u0301t\u00e9", 1, "ahead"})
        << "Blocked now: 5h limit. E\u0301t\u00e9 is 1 points ahead of even pace.";
    QTest::newRow("secondary default, empty label")
        << blocked({}, {}, "5h", Secondary{"Codex", true, "", 1, "behind"})
        << "Blocked now: 5h limit.  is 1 points behind even pace.";
    QTest::newRow("secondary other bucket, unchanged")
        << blocked("Spark", false, "5h", Secondary{"codex", false, "weekly", 0.49, "ahead"})
        << "Blocked now: Spark 5h limit. codex weekly is 0 points ahead of even pace.";

    QTest::newRow("open, behind") << open("Codex", "weekly", -7.0, "behind") << "Most pressured: Codex weekly, 7 points behind even pace.";
    QTest::newRow("open, ahead, half rounds up") << open("Codex", "5h", 0.5, "ahead") << "Most pressured: Codex 5h, 1 points ahead of even pace.";
    QTest::newRow("open, 2.5") << open("Codex", "5h", 2.5, "behind") << "Most pressured: Codex 5h, 3 points behind even pace.";
    QTest::newRow("open, 3.49") << open("Codex", "5h", -3.49, "ahead") << "Most pressured: Codex 5h, 3 points ahead of even pace.";
    QTest::newRow("open, zero") << open("Codex", "5h", -0.0, "behind") << "Most pressured: Codex 5h, 0 points behind even pace.";
    QTest::newRow("open, on track") << open("Codex", "5h", 12, "even") << "Most pressured: Codex 5h, on track with even pace.";
    QTest::newRow("open, capitalised class") << open("Codex", "5h", 12, "Behind") << "Most pressured: Codex 5h, on track with even pace.";
    QTest::newRow("open, largest count")
        << open("C", "w", 9223372036854774784.0, "ahead") << "Most pressured: C w, 9223372036854774784 points ahead of even pace.";
    QTest::newRow("open, count past 64 bits")
        << open("C", "w", -huge, "behind") << "Most pressured: C w, more than 9223372036854775807 points behind even pace.";
    QTest::newRow("open, not a number") << open("C", "w", std::nan(""), "ahead") << "Most pressured: C w, an unknown number of points ahead of even pace.";
    QTest::newRow("open, 1e308 on track") << open("C", "w", 1e308, "level") << "Most pressured: C w, on track with even pace.";
    QTest::newRow("open, no classification") << open("Codex", "5h", 3, {}) << "Pressure data unavailable.";
    QTest::newRow("open, no delta") << open("Codex", "5h", {}, "ahead") << "Pressure data unavailable.";
    QTest::newRow("open, no bucket") << open({}, "5h", 3, "ahead") << "Pressure data unavailable.";
    QTest::newRow("open, no window") << open("Codex", {}, 3, "ahead") << "Pressure data unavailable.";
    QTest::newRow("secondary past 64 bits")
        << blocked({}, {}, "5h", Secondary{"B", false, "weekly", 1e300, "ahead"})
        << "Blocked now: 5h limit. B weekly is more than 9223372036854775807 points ahead of even pace.";
}

void TestUsage::summary()
{
    QFETCH(Usage::PressureCheck, pressure);
    QFETCH(QString, expected);
    QCOMPARE(pressure.summary(), expected);
}

QTEST_GUILESS_MAIN(TestUsage)
#include "tst_usage.moc"

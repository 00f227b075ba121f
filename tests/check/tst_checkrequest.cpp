#include "check/TaskCheck.h"

#include <QTest>

#include <limits>

using namespace tessaline;

Q_DECLARE_METATYPE(std::optional<tessaline::Usage>)
Q_DECLARE_METATYPE(tessaline::PaceMap)

namespace {

Usage::Window window(qint64 minutes, qint64 remaining, double resetsAt)
{
    return {QStringLiteral("w%1").arg(minutes), 100 - remaining, remaining, minutes, resetsAt};
}

Usage snapshot(double fetchedAt, const QList<Usage::Window> &windows)
{
    Usage usage;
    usage.fetchedAt = fetchedAt;
    usage.windows = windows;
    return usage;
}

PaceEstimate rate(double percentPerHour)
{
    PaceEstimate pace;
    pace.percentPerHour = percentPerHour;
    return pace;
}

constexpr double infinity = std::numeric_limits<double>::infinity();
constexpr double notANumber = std::numeric_limits<double>::quiet_NaN();

} // namespace

class TestCheckRequest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void quotaSummary_data();
    void quotaSummary();
    void requestBody_data();
    void requestBody();
    void prepare_data();
    void prepare();
    void preparedCheckCarriesTheExactBody();
    void endpointUrls_data();
    void endpointUrls();
    void buildEndpoint();
};

void TestCheckRequest::quotaSummary_data()
{
    QTest::addColumn<std::optional<Usage>>("usage");
    QTest::addColumn<PaceMap>("pace");
    QTest::addColumn<QByteArray>("json");

    const double t = 1'700'000'000;
    QTest::newRow("nothing") << std::optional<Usage>() << PaceMap{} << QByteArray("{}");
    QTest::newRow("both windows, integers stay integers")
        << std::optional(snapshot(t, {window(10080, 80, t + 86400.5), window(300, 40, t + 3600)}))
        << PaceMap{}
        << QByteArray(R"({"fiveHourRemainingPercent":40,"fiveHourSecondsToReset":3600,)"
                      R"("weeklyRemainingPercent":80,"weeklySecondsToReset":86400.5})");
    QTest::newRow("first of two five-hour windows")
        << std::optional(snapshot(t, {window(300, 10, t + 60), window(300, 90, t + 120)})) << PaceMap{}
        << QByteArray(R"({"fiveHourRemainingPercent":10,"fiveHourSecondsToReset":60})");
    QTest::newRow("other lengths and names do not count")
        << std::optional(snapshot(t, {{QStringLiteral("5h"), 0, 50, 301, t + 9}})) << PaceMap{}
        << QByteArray("{}");
    QTest::newRow("reset already passed gives zero")
        << std::optional(snapshot(t, {window(300, 0, t - 5)})) << PaceMap{}
        << QByteArray(R"({"fiveHourRemainingPercent":0,"fiveHourSecondsToReset":0})");
    QTest::newRow("not-a-number difference gives zero")
        << std::optional(snapshot(notANumber, {window(300, 5, t)})) << PaceMap{}
        << QByteArray(R"({"fiveHourRemainingPercent":5,"fiveHourSecondsToReset":0})");
    QTest::newRow("negative zero written as zero")
        << std::optional(snapshot(0.0, {window(300, 5, -0.0)})) << PaceMap{}
        << QByteArray(R"({"fiveHourRemainingPercent":5,"fiveHourSecondsToReset":0})");
    QTest::newRow("infinite seconds left out")
        << std::optional(snapshot(t, {window(10080, 5, infinity)})) << PaceMap{}
        << QByteArray(R"({"weeklyRemainingPercent":5})");
    {
        Usage usage = snapshot(t, {window(300, 40, t + 1)});
        usage.pressureCheck = Usage::PressureCheck{};
        QTest::newRow("pressure summary after the windows")
            << std::optional(usage) << PaceMap{}
            << QByteArray(R"({"fiveHourRemainingPercent":40,"fiveHourSecondsToReset":1,)"
                          R"("pressureSummary":"Pressure data unavailable."})");
        usage.pressureCheck->blocked = true;
        usage.pressureCheck->windowLabel = QStringLiteral("week \"one\"");
        Usage blocked = snapshot(t, {});
        blocked.pressureCheck = usage.pressureCheck;
        QTest::newRow("summary text escaped")
            << std::optional(blocked) << PaceMap{}
            << QByteArray(R"({"pressureSummary":"Blocked now: week \"one\" limit."})");
    }
    QTest::newRow("rates alone, zero kept")
        << std::optional<Usage>() << PaceMap{{300, rate(0)}, {10080, rate(1.25)}, {60, rate(9)}}
        << QByteArray(R"({"fiveHourObservedPercentPerHour":0,"weeklyObservedPercentPerHour":1.25})");
    QTest::newRow("unusable rates left out")
        << std::optional<Usage>() << PaceMap{{300, rate(-0.5)}, {10080, rate(infinity)}} << QByteArray("{}");
    QTest::newRow("rate not a number, or missing")
        << std::optional<Usage>() << PaceMap{{300, rate(notANumber)}, {10080, PaceEstimate{}}} << QByteArray("{}");
    QTest::newRow("negative zero rate")
        << std::optional<Usage>() << PaceMap{{10080, rate(-0.0)}}
        << QByteArray(R"({"weeklyObservedPercentPerHour":0})");
    QTest::newRow("rates after everything else")
        << std::optional(snapshot(t, {window(300, 40, t + 2)})) << PaceMap{{300, rate(3)}}
        << QByteArray(R"({"fiveHourRemainingPercent":40,"fiveHourSecondsToReset":2,)"
                      R"("fiveHourObservedPercentPerHour":3})");
}

void TestCheckRequest::quotaSummary()
{
    QFETCH(std::optional<Usage>, usage);
    QFETCH(PaceMap, pace);
    QFETCH(QByteArray, json);
    QCOMPARE(TessalineQuota(usage, pace).encode(), json);
}

void TestCheckRequest::requestBody_data()
{
    QTest::addColumn<QString>("task");
    QTest::addColumn<std::optional<Usage>>("usage");
    QTest::addColumn<QByteArray>("body");

    QTest::newRow("empty quota object") << QStringLiteral("Fix the login bug") << std::optional<Usage>()
                                        << QByteArray(R"({"task":"Fix the login bug","quota":{}})");
    QTest::newRow("escapes and UTF-8")
        << QStringLiteral("Say \"hi\"\\\n\tthen caf\u00e9 \U0001F44D\U0001F3FD\u0001")
        << std::optional(snapshot(100, {window(300, 7, 160)}))
        << QByteArray("{\"task\":\"Say \\\"hi\\\"\\\\\\n\\tthen caf\xc3\xa9 \xf0\x9f\x91\x8d\xf0\x9f\x8f\xbd\\u0001\","
                      "\"quota\":{\"fiveHourRemainingPercent\":7,\"fiveHourSecondsToReset\":60}}");
}

void TestCheckRequest::requestBody()
{
    QFETCH(QString, task);
    QFETCH(std::optional<Usage>, usage);
    QFETCH(QByteArray, body);
    QCOMPARE((TessalineRequest{task, TessalineQuota(usage, {})}.encode()), body);
}

void TestCheckRequest::prepare_data()
{
    QTest::addColumn<QString>("description");
    QTest::addColumn<bool>("hasUsage");
    QTest::addColumn<QString>("host");
    QTest::addColumn<QString>("status"); // empty: prepared
    QTest::addColumn<QString>("task");

    const QString ok = QStringLiteral("example.test");
    const QString tooLong = QStringLiteral("That description is longer than 8,000 characters.");
    QTest::newRow("no quota yet, checked first") << "" << false << ok << "Read your current Codex quota first." << "";
    QTest::newRow("empty") << "" << true << ok << "Describe the task first." << "";
    QTest::newRow("only white space")
        << QStringLiteral(" \n\t\r\n\u00a0\u2028\u3000 ") << true << ok << "Describe the task first." << "";
    QTest::newRow("trimmed at the ends only")
        << QStringLiteral("\n  Fix it.\n\nThen test.  \n") << true << ok << "" << "Fix it.\n\nThen test.";
    QTest::newRow("8,000 letters") << QString(8000, u'a') << true << ok << "" << QString(8000, u'a');
    QTest::newRow("8,001 letters") << QString(8001, u'a') << true << ok << tooLong << "";
    QTest::newRow("8,000 letters padded")
        << QStringLiteral("  ") + QString(8000, u'a') + QStringLiteral("\n") << true << ok << ""
        << QString(8000, u'a');
    const QString thumbs = QStringLiteral("\U0001F44D\U0001F3FD"); // four UTF-16 units, one character
    QTest::newRow("8,000 emoji with skin tone") << thumbs.repeated(8000) << true << ok << "" << thumbs.repeated(8000);
    QTest::newRow("8,001 emoji with skin tone") << thumbs.repeated(8001) << true << ok << tooLong << "";
    const QString accent = QStringLiteral("e\u0301");
    QTest::newRow("8,000 accented letters") << accent.repeated(8000) << true << ok << "" << accent.repeated(8000);
    QTest::newRow("8,001 accented letters") << accent.repeated(8001) << true << ok << tooLong << "";
    const QString cannot = QStringLiteral("Could not prepare the check.");
    QTest::newRow("empty host") << "task" << true << "" << cannot << "";
    QTest::newRow("host with a path") << "task" << true << "example.test/x" << cannot << "";
    QTest::newRow("host with user info") << "task" << true << "me@example.test" << cannot << "";
    QTest::newRow("host with a query") << "task" << true << "example.test?q" << cannot << "";
    QTest::newRow("host with a blank") << "task" << true << "exa mple.test" << cannot << "";
    QTest::newRow("host with a port") << "task" << true << "example.test:8443" << "" << "task";
    QTest::newRow("IPv6 host") << "task" << true << "[::1]:8443" << "" << "task";
}

void TestCheckRequest::prepare()
{
    QFETCH(QString, description);
    QFETCH(bool, hasUsage);
    QFETCH(QString, host);
    QFETCH(QString, status);
    QFETCH(QString, task);

    std::optional<Usage> usage;
    if (hasUsage)
        usage = snapshot(0, {window(300, 50, 10)});
    const auto prepared = TaskCheck::prepare(description, usage, CheckEndpoint{host, {}});
    if (!status.isEmpty()) {
        QVERIFY(std::holds_alternative<QString>(prepared));
        QCOMPARE(std::get<QString>(prepared), status);
        return;
    }
    if (const QString *refused = std::get_if<QString>(&prepared))
        QFAIL(qPrintable(*refused));
    const PreparedCheck &check = std::get<PreparedCheck>(prepared);
    QCOMPARE(check.request.task, task);
    QCOMPARE(check.url, QUrl(QStringLiteral("https://") + host + QStringLiteral("/api/tessaline")));
}

void TestCheckRequest::preparedCheckCarriesTheExactBody()
{
    const auto prepared = TaskCheck::prepare(QStringLiteral("  Tidy the README\n"),
                                             snapshot(1000, {window(10080, 64, 1600)}),
                                             CheckEndpoint{QStringLiteral("127.0.0.1:9"), {}});
    QVERIFY(std::holds_alternative<PreparedCheck>(prepared));
    QCOMPARE(std::get<PreparedCheck>(prepared).body,
             QByteArray(R"({"task":"Tidy the README","quota":{"weeklyRemainingPercent":64,"weeklySecondsToReset":600}})"));
}

void TestCheckRequest::endpointUrls_data()
{
    QTest::addColumn<QString>("host");
    QTest::addColumn<QString>("api");
    QTest::addColumn<QString>("web");
    QTest::newRow("name") << "checks.example.test" << "https://checks.example.test/api/tessaline"
                          << "https://checks.example.test/tessaline/check";
    QTest::newRow("address and port") << "127.0.0.1:8443" << "https://127.0.0.1:8443/api/tessaline"
                                      << "https://127.0.0.1:8443/tessaline/check";
    QTest::newRow("fragment") << "example.test#x" << "" << "";
    QTest::newRow("scheme inside") << "https://example.test" << "" << "";
}

void TestCheckRequest::endpointUrls()
{
    QFETCH(QString, host);
    QFETCH(QString, api);
    QFETCH(QString, web);
    const CheckEndpoint endpoint{host, {}};
    QCOMPARE(endpoint.apiUrl().value_or(QUrl()).toString(), api);
    QCOMPARE(endpoint.webCheckerUrl().value_or(QUrl()).toString(), web);
}

void TestCheckRequest::buildEndpoint()
{
    // The build's host reaches the program unchanged, and forms a usable address.
    const CheckEndpoint endpoint = CheckEndpoint::build();
    QCOMPARE(endpoint.host, QStringLiteral(TESSALINE_EXPECTED_CHECK_HOST));
    QVERIFY(endpoint.apiUrl());
    QCOMPARE(endpoint.extraAuthorities.isEmpty(), !TESSALINE_EXPECTED_CHECK_CA);
}

QTEST_APPLESS_MAIN(TestCheckRequest)
#include "tst_checkrequest.moc"

// A task check: the request, the answer read back, and the transport against a local HTTPS server.
#include "check/CheckTransport.h"

#include "FixtureRows.h"
#include "TestHttpsServer.h"
#include "TestJson.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTest>

using namespace tessaline;
using testjson::answer;
using testjson::lint;
using Response = TestHttpsServer::Response;

Q_DECLARE_METATYPE(TaskLintResult)
Q_DECLARE_METATYPE(std::optional<tessaline::Usage>)
Q_DECLARE_METATYPE(tessaline::PaceMap)

namespace {

Usage::Window window(qint64 minutes, qint64 left, double at) { return {"w", 100 - left, left, minutes, at}; }
PaceEstimate rate(double percentPerHour) { return {percentPerHour, {}, {}}; }
Usage snapshot(double fetchedAt, const QList<Usage::Window> &windows, std::optional<Usage::PressureCheck> pressure = {})
{
    Usage usage;
    usage.fetchedAt = fetchedAt;
    usage.windows = windows;
    usage.pressureCheck = pressure;
    return usage;
}

// n user-perceived characters of two UTF-16 units each.
QString accented(qsizetype n) { return QStringLiteral("e\u0301").repeated(n); }

const QByteArray validAnswer = answer();
const QString unavailable = QStringLiteral("The check is unavailable right now. Try again shortly.");

PreparedCheck prepared(const CheckEndpoint &endpoint)
{
    return std::get<PreparedCheck>(TaskCheck::prepare("Rename it", snapshot(0, {window(300, 70, 600)}), endpoint));
}

CheckEndpoint trusting(const TestHttpsServer &server) { return {server.host(), {TestHttpsServer::authority()}}; }

// Runs one check to its completion and returns what it delivered.
CheckOutcome run(const CheckEndpoint &endpoint)
{
    CheckTransport transport;
    transport.setTransferTimeout(std::chrono::seconds(2)); // a stalled server fails after this
    transport.setDeadline(std::chrono::seconds(5));        // a trickling one after this
    QSignalSpy spy(&transport, &CheckTransport::finished);
    if (!transport.start(prepared(endpoint)) || !spy.wait(20000))
        qFatal("the check did not complete");
    return spy.at(0).at(0).value<CheckOutcome>();
}

} // namespace

class TestCheck : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void decode_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<TaskLintResult>("expected");
        TaskLintResult r;
        r.decision = QStringLiteral("scope_down");
        r.quota = {QStringLiteral("moderate"), QStringLiteral("Enough quota for a bounded task.")};
        QTest::newRow("minimal") << answer() << r;
        QTest::newRow("nulls and unknown keys ignored")
            << answer({{"taskSize", {}}, {"lints", {}}, {"taskShape", {}}, {"defer", {}}, {"taskPacket", {}},
                       {"reservePolicy", {}}, {"deferred", QJsonArray{"a"}}, {"future", QJsonObject{{"x", 1}}}})
            << r;
        QTest::newRow("packet of 12,001 characters absent") << answer({{"taskPacket", accented(12001)}}) << r;
        QTest::newRow("empty packet, HIGH policy") << answer({{"taskPacket", ""}, {"reservePolicy", "HIGH"}}) << r;

        const QString packet = " " + accented(11998) + "\n"; // 12,000 characters, kept untrimmed
        TaskLintResult full = r;
        full.decision = QStringLiteral("wait_for_reset");
        full.quota = {QString(), QStringLiteral("Plenty.")};
        full.taskSize = QStringLiteral("medium");
        full.reservePolicy = ReservePolicy::standard;
        full.taskPacket = packet;
        full.taskShape = TaskLintResult::Shape{"s", std::nullopt, "", std::nullopt, "t"};
        full.lints = {{"c", "a", "m", "f"}, {"c", "b", "m", "f"}, {"c", "d", "m", "f"}, {"c", "e", "m", "f"}};
        full.deferred = {"b", "d", "e", "f", "g"};
        QTest::newRow("every field; empty lints and deferrals dropped before the caps")
            << answer({{"decision", "wait_for_reset"}, {"quota", QJsonObject{{"band", ""}, {"reason", "Plenty."}}},
                       {"taskSize", "medium"}, {"reservePolicy", "standard"}, {"taskPacket", packet},
                       {"taskShape", QJsonObject{{"scope", "s"}, {"direction", {}}, {"preserve", ""}, {"stop", "t"}}},
                       {"lints", QJsonArray{lint("a", "f"), lint("b", "f"), lint("no fix", ""), lint("", "no title"),
                                            lint("d", "f"), lint("e", "f"), lint("past the cap", "f")}},
                       {"defer", QJsonArray{"", "b", "", "d", "e", "f", "g", "h"}}})
            << full;
    }
    void decode()
    {
        QFETCH(QByteArray, json);
        QFETCH(TaskLintResult, expected);
        const Expected<TaskLintResult> decoded = TaskLintResult::decode(json);
        QVERIFY(decoded && *decoded == expected);
    }

    // Refused whole: the text as given, or the smallest answer with these keys replaced.
    void rejected_data() { addFixtureRows(QStringLiteral("check/rejected-answers.json")); }
    void rejected()
    {
        QFETCH(QJsonObject, row);
        QVERIFY(!TaskLintResult::decode(row.contains("text") ? row.value("text").toString().toUtf8()
                                                            : answer(row.value("answer").toObject())));
    }

    void quotaSummary_data()
    {
        QTest::addColumn<std::optional<Usage>>("usage");
        QTest::addColumn<PaceMap>("pace");
        QTest::addColumn<QByteArray>("json");
        const double t = 1.7e9;
        Usage::PressureCheck blocked;
        blocked.blocked = true;
        blocked.windowLabel = QStringLiteral("week \"one\"");
        QTest::newRow("first 300-minute window; a passed reset, -0 and NaN give 0")
            << std::optional(snapshot(t, {window(10080, 80, t - 9), window(301, 1, t), window(300, 40, t + 3600.5),
                                          window(300, 9, t)}))
            << PaceMap{{10080, rate(-0.0)}, {300, rate(qQNaN())}}
            << QByteArray(R"({"fiveHourRemainingPercent":40,"fiveHourSecondsToReset":3600.5,)"
                          R"("weeklyRemainingPercent":80,"weeklySecondsToReset":0,"weeklyObservedPercentPerHour":0})");
        QTest::newRow("pressure escaped; infinite reset, negative rate left out")
            << std::optional(snapshot(0, {window(300, 5, -0.0), window(10080, 6, qInf())}, blocked))
            << PaceMap{{300, rate(-0.5)}, {10080, rate(1.25)}, {60, rate(9)}}
            << QByteArray(R"({"fiveHourRemainingPercent":5,"fiveHourSecondsToReset":0,"weeklyRemainingPercent":6,)"
                          "\"pressureSummary\":\"Blocked now: week \\\"one\\\" limit.\","
                          R"("weeklyObservedPercentPerHour":1.25})");
        QTest::newRow("nothing known") << std::optional<Usage>() << PaceMap{{300, {}}, {10080, rate(qInf())}}
                                       << QByteArray("{}");
    }
    void quotaSummary()
    {
        QFETCH(std::optional<Usage>, usage);
        QFETCH(PaceMap, pace);
        QFETCH(QByteArray, json);
        QCOMPARE(TessalineQuota(usage, pace).encode(), json);
    }

    void prepare_data()
    {
        QTest::addColumn<QString>("description");
        QTest::addColumn<std::optional<Usage>>("usage");
        QTest::addColumn<QString>("host");
        QTest::addColumn<QString>("expected"); // the refusal, or the body sent
        const QString ok = QStringLiteral("example.test");
        const std::optional<Usage> none, some = snapshot(0, {});
        const QString thumbs = QStringLiteral("\U0001F44D\U0001F3FD"); // one character, four UTF-16 units
        const auto sent = [](const QString &task) { return "{\"task\":\"" + task + "\",\"quota\":{}}"; };
        QTest::newRow("no quota yet, checked first") << "" << none << ok << "Read your current Codex quota first.";
        QTest::newRow("only white space") << QStringLiteral(" \n\t\r\u00a0\u2028\u3000 ") << some << ok
                                          << "Describe the task first.";
        QTest::newRow("trimmed at the ends only") << "\n Fix it.\n\nThen. \n" << some << ok
                                                  << sent("Fix it.\\n\\nThen.");
        QTest::newRow("8,000 emoji, padded") << " " + thumbs.repeated(8000) + "\n" << some << ok
                                             << sent(thumbs.repeated(8000));
        QTest::newRow("8,001 emoji") << thumbs.repeated(8001) << some << ok
                                     << "That description is longer than 8,000 characters.";
        QTest::newRow("escapes, quota, IPv6")
            << QStringLiteral(" Say \"hi\"\\\n\tcaf\u00e9 \U0001F44D\u0001\n")
            << std::optional(snapshot(100, {window(300, 7, 160)})) << "[::1]:8443"
            << QStringLiteral("{\"task\":\"Say \\\"hi\\\"\\\\\\n\\tcaf\u00e9 \U0001F44D\\u0001\","
                              "\"quota\":{\"fiveHourRemainingPercent\":7,\"fiveHourSecondsToReset\":60}}");
        for (const char *bad : {"", "example.test/x", "me@example.test", "example.test?q", "example.test#x",
                                "exa mple.test", "https://example.test"})
            QTest::addRow("host %s", bad) << "task" << some << bad << "Could not prepare the check.";
    }
    void prepare()
    {
        QFETCH(QString, description);
        QFETCH(std::optional<Usage>, usage);
        QFETCH(QString, host);
        const auto prepared = TaskCheck::prepare(description, usage, {host, {}});
        const auto *check = std::get_if<PreparedCheck>(&prepared);
        QTEST(check ? QString::fromUtf8(check->body) : std::get<QString>(prepared), "expected");
        if (check)
            QCOMPARE(check->url, QUrl("https://" + host + "/api/tessaline"));
    }

    void builtEndpoint()
    {
        // A build's own authority is a resource in a static library, found only when
        // registered by name.
        const CheckEndpoint endpoint = CheckEndpoint::build();
        QCOMPARE(endpoint.extraAuthorities.isEmpty(), !TESSALINE_EXPECTED_CHECK_CA);
        QCOMPARE(endpoint.webCheckerUrl().value_or(QUrl()), QUrl("https://" + endpoint.host + "/tessaline/check"));
    }

    // What one check makes of each kind of answer: "status" is "unavailable", "unreachable"
    // or empty (decoded); "resentAs" the method of a followed redirect. A response is the
    // valid answer with its "code", "body" ("", "1 MiB", "1 MiB and a byte"), "redirect",
    // "stall" (read the request, never answer) or "trickleMs" (done only after most of a
    // minute, never idle for long); SELF and OTHER stand for this server and another one.
    void answers_data() { addFixtureRows(QStringLiteral("check/answers.json")); }
    void answers()
    {
        QFETCH(QJsonObject, row);
        const QJsonObject r = row.value("response").toObject();
        const QString kind = r.value("body").toString(QStringLiteral("answer")), status = row.value("status").toString();
        const QByteArray mebibyte = validAnswer + QByteArray(CheckTransport::maxBodyBytes - validAnswer.size(), ' ');
        Response response = r.contains("redirect") ? Response::redirect(r.value("code").toInt(), r.value("redirect").toString().toUtf8())
            : Response::json(r.value("code").toInt(200), kind == "answer" ? validAnswer : kind.isEmpty() ? QByteArray()
                                                       : mebibyte + QByteArray(kind.size() > 5 ? 1 : 0, ' '));
        response.stall = r.value("stall").toBool();
        response.trickleMs = r.value("trickleMs").toInt();
        const bool trusted = row.value("trusted").toBool(true);
        const QByteArray resentAs = row.value("resentAs").toString().toUtf8();
        TestHttpsServer server, other;
        QVERIFY(server.listen() && other.listen());
        other.respondWith(Response::json(200, validAnswer));
        for (auto &header : response.headers)
            header.second.replace("SELF", server.host().toUtf8()).replace("OTHER", other.host().toUtf8());
        server.setHandler([&](const TestHttpsServer::Request &request) {
            return request.target == "/api/tessaline" ? response : Response::json(200, validAnswer);
        });
        CheckEndpoint endpoint = trusting(server);
        if (!trusted)
            endpoint.extraAuthorities.clear();
        const CheckOutcome outcome = run(endpoint);
        const bool reached = status != "unreachable";
        QCOMPARE(outcome.status, reached ? (status.isEmpty() ? "" : unavailable)
                                         : "The check could not reach " + endpoint.host + '.');
        QCOMPARE(outcome.result ? outcome.result->verdict() : QString(), status.isEmpty() ? "SCOPE DOWN" : "");
        QCOMPARE(server.requests().size(), row.value("requests").toInt(1));
        QVERIFY(other.requests().isEmpty()); // the description never leaves the origin
        if (!trusted)
            return;
        const TestHttpsServer::Request &first = server.requests().at(0);
        QCOMPARE(first.method + ' ' + first.target, "POST /api/tessaline");
        QCOMPARE(first.header("Accept"), "application/json");
        QCOMPARE(first.body, prepared(endpoint).body);
        if (!resentAs.isEmpty()) {
            QCOMPARE(server.requests().at(1).method, resentAs);
            QCOMPARE(server.requests().at(1).body, resentAs == "POST" ? first.body : QByteArray());
        }
    }

    // A cookie a server sets never reaches the next check.
    void noCookiesKept()
    {
        TestHttpsServer server;
        QVERIFY(server.listen());
        Response withCookie = Response::json(200, validAnswer);
        withCookie.headers.append({QByteArray("Set-Cookie"), QByteArray("session=abc; Path=/; Secure")});
        server.respondWith(withCookie);
        QVERIFY(run(trusting(server)).result && run(trusting(server)).result);
        QCOMPARE(server.requests().at(1).header("Cookie"), QByteArray());
    }

    void cancelInFlight()
    {
        TestHttpsServer server;
        QVERIFY(server.listen());
        Response stalled;
        stalled.stall = true;
        server.respondWith(stalled);
        QSignalSpy received(&server, &TestHttpsServer::requestReceived);
        CheckTransport transport;
        QSignalSpy finished(&transport, &CheckTransport::finished);
        const PreparedCheck check = prepared(trusting(server));
        QVERIFY(transport.start(check));
        QVERIFY(!transport.start(check)); // one check per transport
        QVERIFY(received.wait(10000));
        transport.cancel();
        QCOMPARE(finished.size(), 0); // never from inside cancel()
        QVERIFY(finished.wait(10000));
        transport.cancel();
        QCoreApplication::processEvents();
        QCOMPARE(finished.size(), 1);
        QVERIFY(!transport.isInFlight());
        QCOMPARE(finished.at(0).at(0).value<CheckOutcome>().status, "The check could not reach " + server.host() + '.');
    }
};

QTEST_GUILESS_MAIN(TestCheck)
#include "test_check.moc"

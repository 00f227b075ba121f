// A task check: the request, the answer read back, and the transport against a local HTTPS server.
#include "check/CheckTransport.h"

#include "TestHttpsServer.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTest>

using namespace tessaline;
using Response = TestHttpsServer::Response;

Q_DECLARE_METATYPE(TaskLintResult)
Q_DECLARE_METATYPE(std::optional<tessaline::Usage>)
Q_DECLARE_METATYPE(tessaline::PaceMap)
Q_DECLARE_METATYPE(TestHttpsServer::Response)

namespace {

Usage::Window window(qint64 minutes, qint64 left, double at) { return {"w", 100 - left, left, minutes, at}; }
PaceEstimate rate(double percentPerHour) { return {percentPerHour, {}, {}}; }
QJsonObject lint(const QString &title, const QString &fix)
{
    return {{"code", "c"}, {"title", title}, {"message", "m"}, {"fix", fix}};
}

std::optional<Usage> snapshot(double fetchedAt, const QList<Usage::Window> &windows,
                              std::optional<Usage::PressureCheck> pressure = {})
{
    Usage usage;
    usage.fetchedAt = fetchedAt;
    usage.windows = windows;
    usage.pressureCheck = pressure;
    return usage;
}

// The smallest answer that decodes, with the case's keys added or replaced.
QByteArray answer(const QJsonObject &extra = {})
{
    QJsonObject root{{"decision", "start_now"}, {"quota", QJsonObject{{"band", "healthy"}, {"reason", "Plenty."}}}};
    for (auto it = extra.begin(); it != extra.end(); ++it)
        root.insert(it.key(), it.value());
    return QJsonDocument(root).toJson(QJsonDocument::Compact);
}

// n user-perceived characters of two UTF-16 units each.
QString accented(qsizetype n) { return QStringLiteral("e\u0301").repeated(n); }


const QByteArray validAnswer = R"({"decision":"scope_down","quota":{"band":"tight","reason":"Little left."}})";
const QString unavailable = QStringLiteral("The check is unavailable right now. Try again shortly.");

PreparedCheck prepared(const CheckEndpoint &endpoint)
{
    return std::get<PreparedCheck>(TaskCheck::prepare("Rename it", snapshot(0, {window(300, 70, 600)}), endpoint));
}

CheckEndpoint trusting(const TestHttpsServer &server) { return {server.host(), {TestHttpsServer::authority()}}; }
Response stalled()
{
    Response response;
    response.stall = true; // reads the request, never answers
    return response;
}

QString unreachable(const QString &host) { return QStringLiteral("The check could not reach ") + host + u'.'; }

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
    void decodes_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<TaskLintResult>("expected");
        TaskLintResult r;
        r.decision = QStringLiteral("start_now");
        r.quota = {QStringLiteral("healthy"), QStringLiteral("Plenty.")};
        QTest::newRow("minimal") << answer() << r;
        QTest::newRow("nulls and unknown keys ignored")
            << answer({{"taskSize", {}}, {"lints", {}}, {"taskShape", {}}, {"defer", {}}, {"taskPacket", {}},
                       {"reservePolicy", {}}, {"deferred", QJsonArray{"a"}}, {"future", QJsonObject{{"x", 1}}}})
            << r;
        QTest::newRow("packet of 12,001 characters absent") << answer({{"taskPacket", accented(12001)}}) << r;
        QTest::newRow("empty packet, HIGH policy") << answer({{"taskPacket", ""}, {"reservePolicy", "HIGH"}}) << r;
        QTest::newRow("numeric packet and policy") << answer({{"taskPacket", 5}, {"reservePolicy", 2}}) << r;

        const QString packet = " " + accented(11998) + "\n"; // 12,000 characters, kept untrimmed
        r.decision = QStringLiteral("wait_for_reset");
        r.quota.band.clear();
        r.taskSize = QStringLiteral("medium");
        r.reservePolicy = ReservePolicy::standard;
        r.taskPacket = packet;
        r.taskShape = TaskLintResult::Shape{"s", std::nullopt, "", std::nullopt, "t"};
        r.lints = {{"c", "a", "m", "f"}, {"c", "b", "m", "f"}, {"c", "d", "m", "f"}, {"c", "e", "m", "f"}};
        r.deferred = {"b", "d", "e", "f", "g"};
        QTest::newRow("every field; empty lints and deferrals dropped before the caps")
            << answer({{"decision", "wait_for_reset"}, {"quota", QJsonObject{{"band", ""}, {"reason", "Plenty."}}},
                       {"taskSize", "medium"}, {"reservePolicy", "standard"}, {"taskPacket", packet},
                       {"taskShape", QJsonObject{{"scope", "s"}, {"direction", {}}, {"preserve", ""}, {"stop", "t"}}},
                       {"lints", QJsonArray{lint("a", "f"), lint("b", "f"), lint("no fix", ""), lint("", "no title"),
                                            lint("d", "f"), lint("e", "f"), lint("past the cap", "f")}},
                       {"defer", QJsonArray{"", "b", "", "d", "e", "f", "g", "h"}}})
            << r;
    }

    void decodes()
    {
        QFETCH(QByteArray, json);
        QFETCH(TaskLintResult, expected);
        const Expected<TaskLintResult> decoded = TaskLintResult::decode(json);
        QVERIFY2(decoded, qPrintable(decoded ? QString() : decoded.error().message));
        QVERIFY(*decoded == expected);
    }

    void rejects_data()
    {
        QTest::addColumn<QByteArray>("json");
        const auto quota = [](const QJsonObject &q) { return answer({{"quota", q}}); };
        const auto lints = [](const QJsonArray &l) { return answer({{"lints", l}}); };
        const QJsonObject noFix{{"code", "c"}, {"title", "t"}, {"message", "m"}};
        QTest::newRow("not JSON") << QByteArray("decision");
        QTest::newRow("array") << QByteArray("[" + answer() + "]");
        QTest::newRow("no decision") << QByteArray(R"({"quota":{"band":"b","reason":"r"}})");
        QTest::newRow("decision in capitals") << answer({{"decision", "START_NOW"}});
        QTest::newRow("no quota") << QByteArray(R"({"decision":"start_now"})");
        QTest::newRow("no reason") << quota({{"band", "b"}});
        QTest::newRow("no band") << quota({{"reason", "r"}});
        QTest::newRow("empty reason") << quota({{"band", "b"}, {"reason", ""}});
        QTest::newRow("numeric taskSize") << answer({{"taskSize", 3}});
        QTest::newRow("lint a string") << lints({"x"});
        QTest::newRow("lint without fix") << lints({noFix});
        QTest::newRow("malformed lint past the cap")
            << lints({lint("t", "f"), lint("t", "f"), lint("t", "f"), lint("t", "f"), lint("t", "f"), noFix});
        QTest::newRow("taskShape a string") << answer({{"taskShape", "small"}});
        QTest::newRow("numeric shape field") << answer({{"taskShape", QJsonObject{{"scope", 1}}}});
        QTest::newRow("defer a string") << answer({{"defer", "later"}});
        QTest::newRow("numeric defer item") << answer({{"defer", QJsonArray{"a", 1}}});
    }

    void rejects()
    {
        QFETCH(QByteArray, json);
        QVERIFY(!TaskLintResult::decode(json));
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

        QTest::newRow("first 300-minute window; a passed reset is 0")
            << snapshot(t, {window(10080, 80, t - 9), window(301, 1, t), window(300, 40, t + 3600.5),
                            window(300, 9, t)}) << PaceMap{}
            << QByteArray(R"({"fiveHourRemainingPercent":40,"fiveHourSecondsToReset":3600.5,)"
                          R"("weeklyRemainingPercent":80,"weeklySecondsToReset":0})");
        QTest::newRow("negative zero and not-a-number give 0")
            << snapshot(0, {window(300, 5, -0.0), window(10080, 6, qQNaN())}) << PaceMap{{10080, rate(-0.0)}}
            << QByteArray(R"({"fiveHourRemainingPercent":5,"fiveHourSecondsToReset":0,)"
                          R"("weeklyRemainingPercent":6,"weeklySecondsToReset":0,"weeklyObservedPercentPerHour":0})");
        QTest::newRow("infinite reset, missing rate left out")
            << snapshot(t, {window(10080, 5, qInf())}) << PaceMap{{300, {}}}
            << QByteArray(R"({"weeklyRemainingPercent":5})");
        QTest::newRow("pressure escaped, then rates")
            << snapshot(t, {window(300, 40, t + 1)}, blocked)
            << PaceMap{{300, rate(0)}, {10080, rate(1.25)}, {60, rate(9)}}
            << QByteArray(R"({"fiveHourRemainingPercent":40,"fiveHourSecondsToReset":1,)"
                          "\"pressureSummary\":\"Blocked now: week \\\"one\\\" limit.\","
                          R"("fiveHourObservedPercentPerHour":0,"weeklyObservedPercentPerHour":1.25})");
        QTest::newRow("negative or infinite rates left out")
            << std::optional<Usage>() << PaceMap{{300, rate(-0.5)}, {10080, rate(qInf())}} << QByteArray("{}");
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
        QTest::addColumn<bool>("hasUsage");
        QTest::addColumn<QString>("host");
        QTest::addColumn<QString>("expected"); // the refusal, or the task as sent
        const QString ok = QStringLiteral("example.test");
        const QString tooLong = QStringLiteral("That description is longer than 8,000 characters.");
        const QString thumbs = QStringLiteral("\U0001F44D\U0001F3FD"); // one character, four UTF-16 units
        QTest::newRow("no quota yet, checked first") << "" << false << ok << "Read your current Codex quota first.";
        QTest::newRow("only white space") << QStringLiteral(" \n\t\r\u00a0\u2028\u3000 ") << true << ok
                                          << "Describe the task first.";
        QTest::newRow("trimmed at the ends only") << "\n Fix it.\n\nThen. \n" << true << ok << "Fix it.\n\nThen.";
        QTest::newRow("8,000 letters, padded") << " " + QString(8000, 'a') + "\n" << true << ok << QString(8000, 'a');
        QTest::newRow("8,001 letters") << QString(8001, 'a') << true << ok << tooLong;
        QTest::newRow("8,000 emoji") << thumbs.repeated(8000) << true << ok << thumbs.repeated(8000);
        QTest::newRow("8,001 emoji") << thumbs.repeated(8001) << true << ok << tooLong;
        QTest::newRow("IPv6") << "task" << true << "[::1]:8443" << "task";
        for (const char *bad : {"", "example.test/x", "me@example.test", "example.test?q", "example.test#x",
                                "exa mple.test", "https://example.test"})
            QTest::addRow("host %s", bad) << "task" << true << bad << "Could not prepare the check.";
    }

    void prepare()
    {
        QFETCH(QString, description);
        QFETCH(bool, hasUsage);
        QFETCH(QString, host);
        QFETCH(QString, expected);
        const auto prepared = TaskCheck::prepare(description, hasUsage ? snapshot(0, {}) : std::nullopt,
                                                 {host, {}});
        const auto *check = std::get_if<PreparedCheck>(&prepared);
        QCOMPARE(check ? check->request.task : std::get<QString>(prepared), expected);
        if (check)
            QCOMPARE(check->url, QUrl("https://" + host + "/api/tessaline"));
    }

    void exactBody()
    {
        const auto prepared = TaskCheck::prepare(QStringLiteral(" Say \"hi\"\\\n\tcaf\u00e9 \U0001F44D\u0001\n"),
                                                 snapshot(100, {window(300, 7, 160)}), {"127.0.0.1:9", {}});
        const auto *check = std::get_if<PreparedCheck>(&prepared);
        QVERIFY(check);
        QCOMPARE(check->body, QByteArray("{\"task\":\"Say \\\"hi\\\"\\\\\\n\\tcaf\xc3\xa9 \xf0\x9f\x91\x8d\\u0001\","
                                         "\"quota\":{\"fiveHourRemainingPercent\":7,\"fiveHourSecondsToReset\":60}}"));
    }

    void builtEndpoint()
    {
        // The build's host and authority reach the program unchanged.
        const CheckEndpoint endpoint = CheckEndpoint::build();
        QCOMPARE(endpoint.host, QStringLiteral(TESSALINE_EXPECTED_CHECK_HOST));
        QCOMPARE(endpoint.extraAuthorities.isEmpty(), !TESSALINE_EXPECTED_CHECK_CA);
        QCOMPARE(endpoint.webCheckerUrl().value_or(QUrl()), QUrl("https://" + endpoint.host + "/tessaline/check"));
    }

    void answers_data()
    {
        QTest::addColumn<QString>("server");
        QTest::addColumn<Response>("response");
        QTest::addColumn<QString>("status"); // "unavailable" or "unreachable"; empty: decoded
        const QByteArray mebibyte = validAnswer + QByteArray(CheckTransport::maxBodyBytes - validAnswer.size(), ' ');
        const QString fail = QStringLiteral("unavailable"), noReach = QStringLiteral("unreachable");
        QTest::newRow("200") << "trusted" << Response::json(200, validAnswer) << "";
        QTest::newRow("201") << "trusted" << Response::json(201, validAnswer) << fail;
        QTest::newRow("204") << "trusted" << Response::json(204, {}) << fail;
        QTest::newRow("500") << "trusted" << Response::json(500, validAnswer) << fail;
        QTest::newRow("200 empty") << "trusted" << Response::json(200, {}) << fail;
        QTest::newRow("200 malformed") << "trusted" << Response::json(200, "{\"decision\":") << fail;
        QTest::newRow("200 unknown decision")
            << "trusted" << Response::json(200, QByteArray(validAnswer).replace("scope_down", "go")) << fail;
        QTest::newRow("200 of exactly 1 MiB") << "trusted" << Response::json(200, mebibyte) << "";
        QTest::newRow("200 over 1 MiB") << "trusted" << Response::json(200, mebibyte + ' ') << fail;
        QTest::newRow("untrusted certificate") << "untrusted" << Response::json(200, validAnswer) << noReach;
        QTest::newRow("connection refused") << "closed" << Response::json(200, validAnswer) << noReach;
        QTest::newRow("stalled") << "trusted" << stalled() << noReach;
        Response trickle = Response::json(200, validAnswer);
        trickle.trickleMs = 300; // never idle for long, and done only after most of a minute
        QTest::newRow("trickling past the deadline") << "trusted" << trickle << noReach;
    }

    void answers()
    {
        QFETCH(QString, server);
        QFETCH(Response, response);
        QFETCH(QString, status);
        TestHttpsServer https;
        QVERIFY(https.listen());
        https.respondWith(response);
        CheckEndpoint endpoint = trusting(https);
        if (server == "untrusted")
            endpoint.extraAuthorities.clear();
        if (server == "closed") {
            QTcpServer probe; // a port nobody listens on once it closes
            QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
            endpoint.host = QStringLiteral("127.0.0.1:%1").arg(probe.serverPort());
        }
        const CheckOutcome outcome = run(endpoint);
        const bool reached = status != "unreachable";
        QCOMPARE(outcome.status, reached ? (status.isEmpty() ? "" : unavailable) : unreachable(endpoint.host));
        QCOMPARE(outcome.reply.error.has_value(), !reached);
        QCOMPARE(outcome.result ? outcome.result->verdict() : QString(), status.isEmpty() ? "SCOPE DOWN" : "");
        if (reached)
            QCOMPARE(outcome.reply.httpStatus, std::optional<int>(response.status));
        QCOMPARE(https.requests().size(), server == "trusted" ? 1 : 0);
    }

    void sendsTheRequestWithoutCookies()
    {
        TestHttpsServer server;
        QVERIFY(server.listen());
        Response withCookie = Response::json(200, validAnswer);
        withCookie.headers.append({QByteArray("Set-Cookie"), QByteArray("session=abc; Path=/; Secure")});
        server.respondWith(withCookie);
        QVERIFY(run(trusting(server)).result);
        QVERIFY(run(trusting(server)).result);

        QCOMPARE(server.requests().size(), 2);
        const TestHttpsServer::Request &request = server.requests().at(1);
        QCOMPARE(request.method, "POST");
        QCOMPARE(request.target, "/api/tessaline");
        QCOMPARE(request.header("Content-Type"), "application/json");
        QCOMPARE(request.header("Accept"), "application/json");
        QCOMPARE(request.header("Cookie"), QByteArray());
        QCOMPARE(request.body, prepared(trusting(server)).body);
    }

    void redirects_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("location"); // SELF and OTHER stand for the two servers
        QTest::addColumn<int>("requests");        // to the first server; the other is never asked
        QTest::addColumn<QByteArray>("resentAs"); // empty: not followed
        QTest::newRow("307 relative") << 307 << QByteArray("/api/moved") << 2 << QByteArray("POST");
        QTest::newRow("308 same origin") << 308 << QByteArray("https://SELF/api/moved") << 2 << QByteArray("POST");
        QTest::newRow("303 continues with GET") << 303 << QByteArray("/api/moved") << 2 << QByteArray("GET");
        QTest::newRow("another port") << 307 << QByteArray("https://OTHER/api/tessaline") << 1 << QByteArray();
        QTest::newRow("loop") << 307 << QByteArray("/api/tessaline") << 1 + CheckTransport::maxRedirects << QByteArray();
    }

    void redirects()
    {
        QFETCH(int, status);
        QFETCH(QByteArray, location);
        QFETCH(int, requests);
        QFETCH(QByteArray, resentAs);
        TestHttpsServer server, other;
        QVERIFY(server.listen() && other.listen());
        other.respondWith(Response::json(200, validAnswer));
        location.replace("SELF", server.host().toUtf8()).replace("OTHER", other.host().toUtf8());
        server.setHandler([&](const TestHttpsServer::Request &request) {
            return request.target == "/api/tessaline" ? Response::redirect(status, location)
                                                      : Response::json(200, validAnswer);
        });
        const CheckOutcome outcome = run(trusting(server));
        QVERIFY(!outcome.reply.error);
        QCOMPARE(outcome.result.has_value(), !resentAs.isEmpty());
        QCOMPARE(server.requests().size(), requests);
        QVERIFY(other.requests().isEmpty()); // the description never leaves the origin
        if (!resentAs.isEmpty()) {
            QCOMPARE(server.requests().at(1).method, resentAs);
            QCOMPARE(server.requests().at(1).body, resentAs == "POST" ? server.requests().at(0).body : QByteArray());
        }
    }

    void cancelInFlight()
    {
        TestHttpsServer server;
        QVERIFY(server.listen());
        server.respondWith(stalled());
        QSignalSpy received(&server, &TestHttpsServer::requestReceived);
        CheckTransport transport;
        QSignalSpy finished(&transport, &CheckTransport::finished);
        const PreparedCheck check = prepared(trusting(server));
        QVERIFY(transport.start(check));
        QVERIFY(!transport.start(check)); // one check per transport
        QVERIFY(received.wait(10000));
        QVERIFY(transport.isInFlight());
        transport.cancel();
        QCOMPARE(finished.size(), 0); // never from inside cancel()
        QVERIFY(finished.wait(10000));
        transport.cancel();
        QCoreApplication::processEvents();
        QCOMPARE(finished.size(), 1);
        QVERIFY(!transport.isInFlight());
        QCOMPARE(finished.at(0).at(0).value<CheckOutcome>().status, unreachable(server.host()));
        QCOMPARE(server.requests().size(), 1);
    }
};

QTEST_GUILESS_MAIN(TestCheck)
#include "tst_check.moc"

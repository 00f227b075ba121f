#include "check/CheckTransport.h"

#include "TestHttpsServer.h"

#include <QSignalSpy>
#include <QTcpServer>
#include <QTest>

using namespace tessaline;
using Response = TestHttpsServer::Response;

Q_DECLARE_METATYPE(TestHttpsServer::Response)

namespace {

const QByteArray validAnswer =
    R"({"decision":"scope_down","quota":{"band":"tight","reason":"Little left."},"taskSize":"large"})";
const QString unavailable = QStringLiteral("The check is unavailable right now. Try again shortly.");

PreparedCheck prepared(const CheckEndpoint &endpoint)
{
    Usage usage;
    usage.fetchedAt = 100;
    usage.windows = {{QStringLiteral("5h"), 30, 70, 300, 700}};
    auto result = TaskCheck::prepare(QStringLiteral(" Rename the config loader \n"), usage, endpoint);
    return std::get<PreparedCheck>(result);
}

CheckEndpoint trusting(const TestHttpsServer &server)
{
    return CheckEndpoint{server.host(), {TestHttpsServer::authority()}};
}

// Runs one check to its completion and returns what it delivered.
CheckOutcome run(const CheckEndpoint &endpoint, std::chrono::milliseconds timeout = CheckTransport::defaultTransferTimeout)
{
    CheckTransport transport;
    transport.setTransferTimeout(timeout);
    QSignalSpy spy(&transport, &CheckTransport::finished);
    if (!transport.start(prepared(endpoint)))
        qFatal("start refused");
    if (!spy.wait(20000))
        qFatal("no completion");
    return spy.at(0).at(0).value<CheckOutcome>();
}

QByteArray paddedTo(qsizetype size)
{
    return validAnswer + QByteArray(size - validAnswer.size(), ' ');
}

} // namespace

class TestCheckTransport : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void answers_data();
    void answers();
    void sendsTheRequest();
    void followsRedirectsOnlyWithinTheOrigin();
    void redirectLoopIsUnavailable();
    void untrustedCertificateCannotReach();
    void refusedConnectionCannotReach();
    void stalledServerTimesOut();
    void cancelCompletesOnceThroughTheErrorPath();
    void cancelBeforeConnecting();
    void sendsOnlyOnce();
    void deletingDropsTheCompletion();
    void keepsNoCookiesBetweenChecks();
};

void TestCheckTransport::answers_data()
{
    QTest::addColumn<Response>("response");
    QTest::addColumn<bool>("decoded");
    QTest::addColumn<int>("httpStatus");

    QTest::newRow("200 with an answer") << Response::json(200, validAnswer) << true << 200;
    QTest::newRow("201 with an answer") << Response::json(201, validAnswer) << false << 201;
    QTest::newRow("204") << Response::json(204, {}) << false << 204;
    QTest::newRow("404") << Response::json(404, validAnswer) << false << 404;
    QTest::newRow("500 with an answer") << Response::json(500, validAnswer) << false << 500;
    QTest::newRow("200 empty") << Response::json(200, {}) << false << 200;
    QTest::newRow("200 malformed") << Response::json(200, "{\"decision\":") << false << 200;
    QTest::newRow("200 unknown decision")
        << Response::json(200, R"({"decision":"go","quota":{"band":"b","reason":"r"}})") << false << 200;
    QTest::newRow("302 without a location") << Response::json(302, validAnswer) << false << 302;
    QTest::newRow("200 of exactly 1 MiB") << Response::json(200, paddedTo(1024 * 1024)) << true << 200;
    QTest::newRow("200 over 1 MiB") << Response::json(200, paddedTo(1024 * 1024 + 1)) << false << 200;
}

void TestCheckTransport::answers()
{
    QFETCH(Response, response);
    QFETCH(bool, decoded);
    QFETCH(int, httpStatus);

    TestHttpsServer server;
    QVERIFY(server.listen());
    server.respondWith(response);
    const CheckOutcome outcome = run(trusting(server));
    QCOMPARE(outcome.reply.httpStatus, std::optional<int>(httpStatus));
    QVERIFY(!outcome.reply.error);
    QCOMPARE(outcome.result.has_value(), decoded);
    QCOMPARE(outcome.status, decoded ? QString() : unavailable);
    if (decoded)
        QCOMPARE(outcome.result->verdict(), QStringLiteral("SCOPE DOWN"));
}

void TestCheckTransport::sendsTheRequest()
{
    TestHttpsServer server;
    QVERIFY(server.listen());
    server.respondWith(Response::json(200, validAnswer));
    const PreparedCheck check = prepared(trusting(server));
    const CheckOutcome outcome = run(trusting(server));
    QVERIFY(outcome.result);

    QCOMPARE(server.requests().size(), 1);
    const TestHttpsServer::Request &request = server.requests().first();
    QCOMPARE(request.method, QByteArray("POST"));
    QCOMPARE(request.target, QByteArray("/api/tessaline"));
    QCOMPARE(request.header("Content-Type"), QByteArray("application/json"));
    QCOMPARE(request.header("Accept"), QByteArray("application/json"));
    QCOMPARE(request.header("Host"), server.host().toUtf8());
    QCOMPARE(request.header("Cookie"), QByteArray());
    QCOMPARE(request.body, check.body);
    QCOMPARE(request.body,
             QByteArray(R"({"task":"Rename the config loader","quota":{"fiveHourRemainingPercent":70,"fiveHourSecondsToReset":600}})"));
}

void TestCheckTransport::followsRedirectsOnlyWithinTheOrigin()
{
    TestHttpsServer elsewhere; // same address, another port: another origin
    QVERIFY(elsewhere.listen());
    elsewhere.respondWith(Response::json(200, validAnswer));

    TestHttpsServer server;
    QVERIFY(server.listen());
    const QByteArray away = "https://" + elsewhere.host().toUtf8() + "/api/tessaline";
    server.setHandler([&](const TestHttpsServer::Request &request) {
        if (request.target == "/api/tessaline")
            return Response::redirect(307, "/api/moved");
        if (request.target == "/api/moved")
            return Response::redirect(308, away);
        return Response::json(500, {});
    });
    CheckOutcome outcome = run(trusting(server));
    QCOMPARE(outcome.status, unavailable);
    QCOMPARE(outcome.reply.httpStatus, std::optional<int>(308));
    QCOMPARE(server.requests().size(), 2);
    QCOMPARE(server.requests().at(1).method, QByteArray("POST"));
    QCOMPARE(server.requests().at(1).body, server.requests().at(0).body);
    QVERIFY(elsewhere.requests().isEmpty()); // the description never left the origin

    server.setHandler([&](const TestHttpsServer::Request &request) {
        if (request.target == "/api/tessaline")
            return Response::redirect(307, "https://" + server.host().toUtf8() + "/api/moved");
        return Response::json(200, validAnswer);
    });
    outcome = run(trusting(server));
    QVERIFY(outcome.result);
    QCOMPARE(outcome.reply.httpStatus, std::optional<int>(200));
    QCOMPARE(server.requests().at(3).method, QByteArray("POST"));

    // A 303 continues with a GET that carries nothing.
    server.setHandler([&](const TestHttpsServer::Request &request) {
        if (request.target == "/api/tessaline")
            return Response::redirect(303, "/api/answer");
        return Response::json(200, validAnswer);
    });
    outcome = run(trusting(server));
    QVERIFY(outcome.result);
    QCOMPARE(server.requests().size(), 6);
    QCOMPARE(server.requests().at(5).method, QByteArray("GET"));
    QCOMPARE(server.requests().at(5).body, QByteArray());
}

void TestCheckTransport::redirectLoopIsUnavailable()
{
    TestHttpsServer server;
    QVERIFY(server.listen());
    server.respondWith(Response::redirect(307, "/api/tessaline"));
    const CheckOutcome outcome = run(trusting(server));
    QVERIFY2(!outcome.reply.error, qPrintable(outcome.reply.error.value_or(QString())));
    QCOMPARE(outcome.status, unavailable);
    QCOMPARE(server.requests().size(), CheckTransport::maxRedirects + 1);
}

void TestCheckTransport::untrustedCertificateCannotReach()
{
    TestHttpsServer server;
    QVERIFY(server.listen());
    server.respondWith(Response::json(200, validAnswer));
    const CheckOutcome outcome = run(CheckEndpoint{server.host(), {}});
    QVERIFY(outcome.reply.error);
    QVERIFY(!outcome.result);
    QCOMPARE(outcome.status, QStringLiteral("The check could not reach ") + server.host() + QLatin1Char('.'));
    QVERIFY(server.requests().isEmpty());
}

void TestCheckTransport::refusedConnectionCannotReach()
{
    QTcpServer probe; // find a port nobody listens on
    QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
    const quint16 port = probe.serverPort();
    const QString host = QStringLiteral("127.0.0.1:%1").arg(port);
    probe.close();
    const CheckOutcome outcome = run(CheckEndpoint{host, {}});
    QVERIFY(outcome.reply.error);
    QCOMPARE(outcome.status, QStringLiteral("The check could not reach 127.0.0.1:%1.").arg(port));
}

void TestCheckTransport::stalledServerTimesOut()
{
    TestHttpsServer server;
    QVERIFY(server.listen());
    Response stall;
    stall.stall = true;
    server.respondWith(stall);
    const CheckOutcome outcome = run(trusting(server), std::chrono::milliseconds(300));
    QCOMPARE(server.requests().size(), 1);
    QVERIFY(outcome.reply.error);
    QVERIFY(!outcome.reply.httpStatus);
    QCOMPARE(outcome.status, QStringLiteral("The check could not reach ") + server.host() + QLatin1Char('.'));
}

void TestCheckTransport::cancelCompletesOnceThroughTheErrorPath()
{
    TestHttpsServer server;
    QVERIFY(server.listen());
    Response stall;
    stall.stall = true;
    server.respondWith(stall);
    QSignalSpy received(&server, &TestHttpsServer::requestReceived);

    CheckTransport transport;
    QSignalSpy finished(&transport, &CheckTransport::finished);
    QVERIFY(transport.start(prepared(trusting(server))));
    QVERIFY(received.wait(10000));
    QVERIFY(transport.isInFlight());
    transport.cancel();
    QCOMPARE(finished.size(), 0); // never delivered from inside cancel()
    QVERIFY(finished.wait(10000));
    transport.cancel();
    QCoreApplication::processEvents();
    QCOMPARE(finished.size(), 1);
    QVERIFY(!transport.isInFlight());
    const CheckOutcome outcome = finished.at(0).at(0).value<CheckOutcome>();
    QVERIFY(outcome.reply.error);
    QCOMPARE(outcome.status, QStringLiteral("The check could not reach ") + server.host() + QLatin1Char('.'));
}

void TestCheckTransport::cancelBeforeConnecting()
{
    TestHttpsServer server;
    QVERIFY(server.listen());
    CheckTransport transport;
    QSignalSpy finished(&transport, &CheckTransport::finished);
    QVERIFY(transport.start(prepared(trusting(server))));
    transport.cancel();
    QVERIFY(finished.wait(10000));
    QCoreApplication::processEvents();
    QCOMPARE(finished.size(), 1);
    QVERIFY(finished.at(0).at(0).value<CheckOutcome>().reply.error);
}

void TestCheckTransport::sendsOnlyOnce()
{
    TestHttpsServer server;
    QVERIFY(server.listen());
    server.respondWith(Response::json(200, validAnswer));
    CheckTransport transport;
    QSignalSpy finished(&transport, &CheckTransport::finished);
    const PreparedCheck check = prepared(trusting(server));
    QVERIFY(transport.start(check));
    QVERIFY(!transport.start(check));
    QVERIFY(finished.wait(10000));
    QVERIFY(!transport.start(check));
    QCoreApplication::processEvents();
    QCOMPARE(finished.size(), 1);
    QCOMPARE(server.requests().size(), 1);
}

void TestCheckTransport::deletingDropsTheCompletion()
{
    TestHttpsServer server;
    QVERIFY(server.listen());
    Response stall;
    stall.stall = true;
    server.respondWith(stall);
    QSignalSpy received(&server, &TestHttpsServer::requestReceived);

    auto *transport = new CheckTransport;
    QSignalSpy finished(transport, &CheckTransport::finished);
    QSignalSpy destroyed(transport, &QObject::destroyed);
    QVERIFY(transport->start(prepared(trusting(server))));
    QVERIFY(received.wait(10000));
    delete transport;
    QCOMPARE(destroyed.size(), 1);
    QCoreApplication::processEvents();
    QCOMPARE(finished.size(), 0);
}

void TestCheckTransport::keepsNoCookiesBetweenChecks()
{
    TestHttpsServer server;
    QVERIFY(server.listen());
    Response withCookie = Response::json(200, validAnswer);
    withCookie.headers.append({QByteArray("Set-Cookie"), QByteArray("session=abc; Path=/; Secure")});
    server.respondWith(withCookie);
    QVERIFY(run(trusting(server)).result);
    QVERIFY(run(trusting(server)).result);
    QCOMPARE(server.requests().size(), 2);
    QCOMPARE(server.requests().at(1).header("Cookie"), QByteArray());
}

QTEST_GUILESS_MAIN(TestCheckTransport)
#include "tst_checktransport.moc"

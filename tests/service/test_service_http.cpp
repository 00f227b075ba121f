#include "ServiceProcess.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSignalSpy>
#include <QSslSocket>
#include <QTimer>

#include <memory>

namespace {

struct Reply {
    std::unique_ptr<QNetworkReply> reply;
    QByteArray body;
    int status() const { return reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(); }
    QByteArray header(const char *name) const { return reply->rawHeader(name); }
    QJsonObject json() const { return QJsonDocument::fromJson(body).object(); }
};

Reply finish(QNetworkReply *reply)
{
    QSignalSpy done(reply, &QNetworkReply::finished);
    if (!reply->isFinished() && !done.wait(30000))
        qFatal("no reply within 30 s");
    return {std::unique_ptr<QNetworkReply>(reply), reply->readAll()};
}

const QString api = QStringLiteral("/api/tessaline");

} // namespace

class TestServiceHttp : public QObject {
    Q_OBJECT

    std::unique_ptr<ServiceProcess> service;
    QNetworkAccessManager nam;

    QNetworkRequest request(const QString &path, const QByteArray &contentType = "application/json") const
    {
        QNetworkRequest r(QUrl(QStringLiteral("https://127.0.0.1:%1%2").arg(service->port).arg(path)));
        r.setSslConfiguration(ServiceProcess::trustingTestAuthority());
        if (!contentType.isEmpty())
            r.setHeader(QNetworkRequest::ContentTypeHeader, contentType);
        return r;
    }

    Reply post(const QByteArray &body, const QByteArray &contentType = "application/json")
    {
        return finish(nam.post(request(api, contentType), body));
    }

private Q_SLOTS:
    // Once with one thread serving on the main loop, once with several sharing the socket.
    void initTestCase_data()
    {
        QTest::addColumn<QString>("threads");
        QTest::newRow("one thread") << "1";
        QTest::newRow("four threads") << "4";
    }

    void init()
    {
        QFETCH_GLOBAL(QString, threads);
        if (service && service->process.state() == QProcess::Running && service->threads == threads)
            return;
        service = std::make_unique<ServiceProcess>();
        service->threads = threads;
        QVERIFY2(service->start(0, {"--threads", threads}), service->process.readAllStandardError().constData());
    }

    void happyPath()
    {
        const Reply r = post(R"({"task":"Fix the crash in parser.cpp when the input is empty, and add a regression test.",)"
                             R"("quota":{"fiveHourRemainingPercent":42,"fiveHourSecondsToReset":7800,"weeklyRemainingPercent":80}})");
        QCOMPARE(r.status(), 200);
        QCOMPARE(r.header("content-type"), QByteArray("application/json"));
        QCOMPARE(r.header("cache-control"), QByteArray("no-store"));
        const QJsonObject answer = r.json();
        QVERIFY(answer["quota"]["reason"].toString().contains(QLatin1String("42% left (resets in 2 h 10 min)")));
        QCOMPARE(answer["reservePolicy"].toString(), QStringLiteral("light"));

        const Reply page = finish(nam.get(request(QStringLiteral("/tessaline/check"), {})));
        QCOMPARE(page.header("content-type"), QByteArray("text/html; charset=utf-8"));
        QVERIFY(page.header("content-security-policy").contains("script-src 'self'"));
    }

    void badRequest_data()
    {
        QTest::addColumn<QByteArray>("method");
        QTest::addColumn<QString>("path");
        QTest::addColumn<QByteArray>("contentType");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<int>("status");
        const auto row = [&](const char *name, const char *method, const QString &path, const char *type, const QByteArray &body, int status) {
            QTest::newRow(name) << QByteArray(method) << path << QByteArray(type) << body << status;
        };
        const char *json = "application/json";
        row("malformed json", "POST", api, json, "{\"task\":", 400);
        row("missing task", "POST", api, json, "{\"quota\":{}}", 400);
        row("task not a string", "POST", api, json, "{\"task\":[\"a\"]}", 400);
        row("8001 characters of two code points", "POST", api, json,
            "{\"task\":\"" + QString::fromUtf8("e\u0301").repeated(8001).toUtf8() + "\"}", 422);
        row("body just over 64 KiB", "POST", api, json, "{\"task\":\"x\",\"pad\":\"" + QByteArray(64 * 1024 - 18, 'p') + "\"}", 413);
        // Far past the limit: refused while it is still arriving, not buffered whole.
        row("body of 8 MiB", "POST", api, json, "{\"task\":\"" + QByteArray(8 * 1024 * 1024, 'p') + "\"}", 413);
        row("form post", "POST", api, "application/x-www-form-urlencoded", "task=x", 415);
        row("get on the api", "GET", api, "", {}, 405);
        row("other path", "POST", QStringLiteral("/api/other"), json, "{\"task\":\"x\"}", 404);
    }

    // Every refusal is a JSON error with a 4xx status, and the service keeps serving.
    void badRequest()
    {
        QFETCH(QByteArray, method);
        QFETCH(QString, path);
        QFETCH(QByteArray, contentType);
        QFETCH(QByteArray, body);
        QFETCH(int, status);
        const Reply r = finish(nam.sendCustomRequest(request(path, contentType), method, body));
        QCOMPARE(r.status(), status);
        QCOMPARE(r.header("content-type"), QByteArray("application/json"));
        QVERIFY(!r.json()["error"].toString().isEmpty());
        if (status == 405)
            QVERIFY(!r.header("allow").isEmpty());
        QCOMPARE(post(R"({"task":"Fix the typo in README.md."})").status(), 200);
    }

    // Many clients at once, on separate connections, each get the answer to their own task.
    void concurrentClients()
    {
        std::vector<std::unique_ptr<QNetworkAccessManager>> clients;
        QList<QPair<QNetworkReply *, int>> replies;
        for (int n = 0; n < 96; ++n) {
            if (n % 12 == 0)
                clients.push_back(std::make_unique<QNetworkAccessManager>());
            const QJsonObject body{{"task", QStringLiteral("Fix the overflow in ring_%1.c and add a test.").arg(n)},
                                   {"quota", QJsonObject{{"fiveHourRemainingPercent", n}}}};
            replies.append({clients.back()->post(request(api), QJsonDocument(body).toJson()), n});
        }
        for (const auto &[reply, n] : replies) {
            const QJsonObject answer = finish(reply).json();
            QVERIFY(answer["quota"]["reason"].toString().startsWith(QStringLiteral("Five-hour window %1% left").arg(n)));
            QVERIFY(answer["taskPacket"].toString().contains(QStringLiteral("ring_%1.c").arg(n)));
        }
    }

    // Nothing of a task reaches the service's output, whatever happened to the request.
    void taskTextNeverWritten()
    {
        const QByteArray marker = "zebra-quartz-marker-1137";
        post("{\"task\":\"Fix " + marker + " in a.c\"}");
        post("{\"task\":\"" + marker + "\",");
        post("{\"task\":\"" + marker + "\"}", "text/plain");
        const QByteArray out = service->process.readAllStandardOutput() + service->process.readAllStandardError();
        QVERIFY2(!out.contains(marker), out.constData());
    }

    // A connection that does not deliver a whole request in time is closed by the service,
    // whether it stays silent or drips a header byte now and then.
    void slowClientsClosed()
    {
        QFETCH_GLOBAL(QString, threads);
        ServiceProcess strict;
        QVERIFY(strict.start(0, {"--threads", threads, "--request-timeout", "1"}));
        for (const bool drip : {false, true}) {
            QSslSocket socket;
            socket.setSslConfiguration(ServiceProcess::trustingTestAuthority());
            socket.connectToHostEncrypted(QStringLiteral("127.0.0.1"), strict.port);
            QVERIFY(socket.waitForEncrypted(20000));
            QTimer dripper;
            connect(&dripper, &QTimer::timeout, &socket, [&socket] { socket.write("X"); });
            if (drip) {
                socket.write("POST /api/tessaline HTTP/1.1\r\n");
                dripper.start(200);
            }
            QSignalSpy closed(&socket, &QAbstractSocket::disconnected);
            QVERIFY2(closed.wait(20000), drip ? "dripping client" : "silent client");
        }
    }

    // Terminated, it ends cleanly with nothing on its error output, where sanitizers report.
    void cleanShutdown()
    {
        QCOMPARE(post(R"({"task":"Fix the typo in README.md."})").status(), 200);
        service->process.terminate();
        QVERIFY(service->process.waitForFinished(20000));
        QCOMPARE(service->process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(service->process.exitCode(), 0);
        QCOMPARE(service->process.readAllStandardError(), QByteArray());
    }

    // A set-up it cannot serve with is a one-line error and exit code 1, not a crash or a hang.
    void refusesToStart()
    {
        const QString cert = ServiceProcess::tls("server.pem");
        const QList<QPair<QStringList, QByteArray>> cases{
            {{"--cert", cert, "--key", cert}, "no unencrypted PEM private key"},
            {{"--cert", cert, "--key", ServiceProcess::tls("server.key"), "--port", QString::number(service->port)}, "cannot listen"}};
        for (const auto &[arguments, says] : cases) {
            QProcess p;
            p.start(QStringLiteral(TESSALINE_BUILD_DIR "/bin/tessaline-service"), arguments);
            QVERIFY(p.waitForFinished(20000));
            QCOMPARE(p.exitCode(), 1);
            const QByteArray out = p.readAllStandardOutput() + p.readAllStandardError();
            QVERIFY2(out.contains(says), out.constData());
        }
    }
};

QTEST_GUILESS_MAIN(TestServiceHttp)
#include "test_service_http.moc"

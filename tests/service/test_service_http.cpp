#include "ServiceProcess.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSignalSpy>
#include <QSslSocket>
#include <QTest>
#include <QTimer>

#include <memory>

namespace {

struct Reply {
    int status = 0;
    QNetworkReply::NetworkError error = QNetworkReply::NoError;
    QByteArray body;
    QByteArray contentType;
    QByteArray header(const QByteArray &name) const { return headers.value(name.toLower()); }
    QHash<QByteArray, QByteArray> headers;
};

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
        r.setRawHeader("Accept", "application/json");
        r.setTransferTimeout(30000);
        return r;
    }

    static Reply finish(QNetworkReply *reply)
    {
        std::unique_ptr<QNetworkReply> owned(reply);
        if (!reply->isFinished()) {
            QSignalSpy done(reply, &QNetworkReply::finished);
            if (!done.wait(30000))
                qFatal("no reply within 30 s");
        }
        Reply r;
        r.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        r.error = reply->error();
        r.body = reply->readAll();
        for (const auto &pair : reply->rawHeaderPairs())
            r.headers.insert(pair.first.toLower(), pair.second);
        r.contentType = r.header("content-type");
        return r;
    }

    Reply post(const QByteArray &body, const QByteArray &contentType = "application/json",
               const QString &path = QStringLiteral("/api/tessaline"))
    {
        return finish(nam.post(request(path, contentType), body));
    }

private Q_SLOTS:
    // Everything runs against one thread serving on the main loop and against several
    // threads sharing the listening socket.
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
        QVERIFY(QSslSocket::supportsSsl());
        QVERIFY2(service->start(0, {"--threads", threads}), service->process.readAllStandardError().constData());
    }

    void happyPath()
    {
        const QByteArray body = R"({"task":"Fix the crash in parser.cpp when the input is empty, and add a regression test.",)"
                                R"("quota":{"fiveHourRemainingPercent":42,"fiveHourSecondsToReset":7800,"weeklyRemainingPercent":80}})";
        const Reply r = post(body);
        QCOMPARE(r.error, QNetworkReply::NoError);
        QCOMPARE(r.status, 200);
        QCOMPARE(r.contentType, QByteArray("application/json"));
        QCOMPARE(r.header("cache-control"), QByteArray("no-store"));
        const QJsonObject answer = QJsonDocument::fromJson(r.body).object();
        QCOMPARE(answer["decision"].toString(), QStringLiteral("start_now"));
        QCOMPARE(answer["taskSize"].toString(), QStringLiteral("small"));
        QCOMPARE(answer["quota"]["band"].toString(), QStringLiteral("moderate"));
        QVERIFY(answer["quota"]["reason"].toString().contains(QLatin1String("42% left (resets in 2 h 10 min)")));
        QVERIFY(answer["lints"].isArray());
        QVERIFY(answer["defer"].isArray());
        QVERIFY(answer["taskShape"].isObject());
        QVERIFY(!answer["taskPacket"].toString().isEmpty());
        QCOMPARE(answer["reservePolicy"].toString(), QStringLiteral("light"));
    }

    void badRequest_data()
    {
        QTest::addColumn<QByteArray>("method");
        QTest::addColumn<QString>("path");
        QTest::addColumn<QByteArray>("contentType");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<int>("status");
        const QString api = QStringLiteral("/api/tessaline");
        QTest::newRow("malformed json") << QByteArray("POST") << api << QByteArray("application/json") << QByteArray("{\"task\":") << 400;
        QTest::newRow("empty body") << QByteArray("POST") << api << QByteArray("application/json") << QByteArray() << 400;
        QTest::newRow("missing task") << QByteArray("POST") << api << QByteArray("application/json") << QByteArray("{\"quota\":{}}") << 400;
        QTest::newRow("task not a string") << QByteArray("POST") << api << QByteArray("application/json") << QByteArray("{\"task\":[\"a\"]}") << 400;
        QTest::newRow("blank task") << QByteArray("POST") << api << QByteArray("application/json") << QByteArray("{\"task\":\"  \"}") << 422;
        QTest::newRow("8001 characters")
            << QByteArray("POST") << api << QByteArray("application/json")
            << QByteArray("{\"task\":\"" + QByteArray(8001, 'x') + "\"}") << 422;
        QTest::newRow("8001 characters of two code points")
            << QByteArray("POST") << api << QByteArray("application/json")
            << QByteArray("{\"task\":\"" + QString::fromUtf8("e\u0301").repeated(8001).toUtf8() + "\"}") << 422;
        QTest::newRow("body over 64 KiB")
            << QByteArray("POST") << api << QByteArray("application/json")
            << QByteArray("{\"task\":\"x\",\"pad\":\"" + QByteArray(65 * 1024, 'p') + "\"}") << 413;
        // Far past the limit: refused while it is still arriving, not buffered whole.
        QTest::newRow("body of 8 MiB")
            << QByteArray("POST") << api << QByteArray("application/json")
            << QByteArray("{\"task\":\"" + QByteArray(8 * 1024 * 1024, 'p') + "\"}") << 413;
        QTest::newRow("form post") << QByteArray("POST") << api << QByteArray("application/x-www-form-urlencoded")
                                   << QByteArray("task=x") << 415;
        QTest::newRow("get on the api") << QByteArray("GET") << api << QByteArray() << QByteArray() << 405;
        QTest::newRow("put on the api") << QByteArray("PUT") << api << QByteArray("application/json") << QByteArray("{\"task\":\"x\"}") << 405;
        QTest::newRow("delete on the api") << QByteArray("DELETE") << api << QByteArray() << QByteArray() << 405;
        QTest::newRow("other path") << QByteArray("POST") << QStringLiteral("/api/other") << QByteArray("application/json")
                                    << QByteArray("{\"task\":\"x\"}") << 404;
        QTest::newRow("root") << QByteArray("GET") << QStringLiteral("/") << QByteArray() << QByteArray() << 404;
        QTest::newRow("post to the page") << QByteArray("POST") << QStringLiteral("/tessaline/check") << QByteArray("application/json")
                                          << QByteArray("{\"task\":\"x\"}") << 405;
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
        QCOMPARE(r.status, status);
        if (path != QLatin1String("/tessaline/check")) {
            QCOMPARE(r.contentType, QByteArray("application/json"));
            QVERIFY(!QJsonDocument::fromJson(r.body)["error"].toString().isEmpty());
        }
        if (status == 405)
            QVERIFY(!r.header("allow").isEmpty());
        QCOMPARE(post(R"({"task":"Fix the typo in README.md."})").status, 200);
    }

    void page_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QByteArray>("type");
        QTest::addColumn<QByteArray>("marker");
        QTest::newRow("page") << "/tessaline/check" << QByteArray("text/html; charset=utf-8") << QByteArray("id=\"task\"");
        QTest::newRow("script") << "/tessaline/check.js" << QByteArray("text/javascript; charset=utf-8") << QByteArray("/api/tessaline");
        QTest::newRow("style") << "/tessaline/check.css" << QByteArray("text/css; charset=utf-8") << QByteArray(".verdict");
    }

    void page()
    {
        QFETCH(QString, path);
        QFETCH(QByteArray, type);
        QFETCH(QByteArray, marker);
        const Reply r = finish(nam.get(request(path, QByteArray())));
        QCOMPARE(r.status, 200);
        QCOMPARE(r.contentType, type);
        QVERIFY(r.body.contains(marker));
        QVERIFY(r.header("content-security-policy").contains("script-src 'self'"));
    }

    // Many clients at once, on separate connections, each get the answer to their own task.
    void concurrentClients()
    {
        constexpr int clients = 8;
        constexpr int perClient = 12;
        std::vector<std::unique_ptr<QNetworkAccessManager>> managers;
        QList<QPair<QNetworkReply *, int>> replies;
        for (int c = 0; c < clients; ++c) {
            managers.push_back(std::make_unique<QNetworkAccessManager>());
            for (int i = 0; i < perClient; ++i) {
                const int percent = c * perClient + i;
                const QByteArray body = QJsonDocument(QJsonObject{
                    {"task", QStringLiteral("Fix the overflow in ring_%1.c and add a test.").arg(percent)},
                    {"quota", QJsonObject{{"fiveHourRemainingPercent", percent}}}}).toJson();
                replies.append({managers.back()->post(request(QStringLiteral("/api/tessaline")), body), percent});
            }
        }
        for (const auto &[reply, percent] : replies) {
            const Reply r = finish(reply);
            QCOMPARE(r.status, 200);
            const QJsonObject answer = QJsonDocument::fromJson(r.body).object();
            QVERIFY(answer["quota"]["reason"].toString().startsWith(QStringLiteral("Five-hour window %1% left").arg(percent)));
            QVERIFY(answer["taskPacket"].toString().contains(QStringLiteral("ring_%1.c").arg(percent)));
        }
    }

    // The certificate is really checked: a client that does not trust the authority fails.
    void untrustedClientRefused()
    {
        QNetworkRequest r(QUrl(QStringLiteral("https://127.0.0.1:%1/api/tessaline").arg(service->port)));
        r.setHeader(QNetworkRequest::ContentTypeHeader, "application/json");
        QSslConfiguration plain = QSslConfiguration::defaultConfiguration();
        plain.setCaCertificates({});
        r.setSslConfiguration(plain);
        QNetworkAccessManager fresh; // a connection of its own, not one the trusting client opened
        const Reply reply = finish(fresh.post(r, QByteArray("{\"task\":\"x\"}")));
        QCOMPARE(reply.error, QNetworkReply::SslHandshakeFailedError);
    }

    // Nothing of a task reaches the service's output, whatever happened to the request.
    void taskTextNeverWritten()
    {
        const QByteArray marker = "zebra-quartz-marker-1137";
        post("{\"task\":\"Fix " + marker + " in a.c\"}");
        post("{\"task\":\"" + marker + "\",");
        post("{\"task\":\"" + marker + "\"}", "text/plain");
        QTRY_VERIFY(service->process.state() == QProcess::Running);
        const QByteArray out = service->process.readAllStandardOutput() + service->process.readAllStandardError();
        QVERIFY2(!out.contains(marker), out.constData());
    }

    void slowClientsClosed_data()
    {
        QTest::addColumn<bool>("drip");
        QTest::newRow("connects and stays silent") << false;
        QTest::newRow("sends a header byte now and then") << true;
    }

    // A connection that does not deliver a whole request in time is closed by the service.
    void slowClientsClosed()
    {
        QFETCH_GLOBAL(QString, threads);
        QFETCH(bool, drip);
        ServiceProcess strict;
        QVERIFY(strict.start(0, {"--threads", threads, "--request-timeout", "1"}));
        QSslSocket socket;
        socket.setSslConfiguration(ServiceProcess::trustingTestAuthority());
        socket.connectToHostEncrypted(QStringLiteral("127.0.0.1"), strict.port);
        QVERIFY(socket.waitForEncrypted(20000));
        QTimer dripper;
        if (drip) {
            socket.write("POST /api/tessaline HTTP/1.1\r\n");
            connect(&dripper, &QTimer::timeout, &socket, [&socket] { socket.write("X"); });
            dripper.start(200);
        }
        QSignalSpy closed(&socket, &QAbstractSocket::disconnected);
        QVERIFY(closed.wait(20000));
    }

    // A terminated service ends cleanly, with nothing on its error output (where the
    // sanitizers would report).
    void cleanShutdown()
    {
        QCOMPARE(post(R"({"task":"Fix the typo in README.md."})").status, 200);
        service->process.terminate();
        QVERIFY(service->process.waitForFinished(20000));
        QCOMPARE(service->process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(service->process.exitCode(), 0);
        const QByteArray errors = service->process.readAllStandardError();
        QVERIFY2(errors.isEmpty(), errors.constData());
    }

    void commandLine_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QByteArray>("says");
        const QString tls = QStringLiteral(TESSALINE_FIXTURES "/service/tls/");
        QTest::newRow("help") << QStringList{"--help"} << 0 << QByteArray("--port");
        QTest::newRow("no certificate") << QStringList{"--port", "0"} << 1 << QByteArray("--cert and --key");
        QTest::newRow("missing key file")
            << QStringList{"--cert", tls + "server.pem", "--key", tls + "absent.key", "--port", "0"} << 1 << QByteArray("cannot read the key");
        QTest::newRow("certificate given as key")
            << QStringList{"--cert", tls + "server.pem", "--key", tls + "server.pem", "--port", "0"} << 1 << QByteArray("no unencrypted PEM private key");
        QTest::newRow("no threads")
            << QStringList{"--cert", tls + "server.pem", "--key", tls + "server.key", "--threads", "0"} << 1 << QByteArray("not a thread count");
        QTest::newRow("bad timeout")
            << QStringList{"--cert", tls + "server.pem", "--key", tls + "server.key", "--request-timeout", "0"} << 1 << QByteArray("not a number of seconds");
        QTest::newRow("bad port")
            << QStringList{"--cert", tls + "server.pem", "--key", tls + "server.key", "--port", "70000"} << 1 << QByteArray("not a port");
        QTest::newRow("bad address")
            << QStringList{"--cert", tls + "server.pem", "--key", tls + "server.key", "--address", "localhost"} << 1 << QByteArray("not an IP address");
        QTest::newRow("port taken")
            << QStringList{"--cert", tls + "server.pem", "--key", tls + "server.key", "--port", "PORT"} << 1 << QByteArray("cannot listen");
    }

    void commandLine()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, exitCode);
        QFETCH(QByteArray, says);
        arguments.replaceInStrings(QStringLiteral("PORT"), QString::number(service->port));
        QProcess p;
        p.start(QStringLiteral(TESSALINE_BUILD_DIR "/bin/tessaline-service"), arguments);
        QVERIFY(p.waitForFinished(20000));
        QCOMPARE(p.exitStatus(), QProcess::NormalExit);
        QCOMPARE(p.exitCode(), exitCode);
        const QByteArray out = p.readAllStandardOutput() + p.readAllStandardError();
        QVERIFY2(out.contains(says), out.constData());
    }
};

QTEST_GUILESS_MAIN(TestServiceHttp)
#include "test_service_http.moc"

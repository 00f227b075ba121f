#include "ServiceProcess.h"

#include "service/CheckRequest.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QDeadlineTimer>
#include <QFile>
#include <QSignalSpy>
#include <QSslSocket>
#include <QTimer>

#include <memory>

using tessaline::CheckRequest;

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

// AddressSanitizer holds freed memory back and pads every block, so under it peak memory
// tells nothing about what the service holds.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool peakMemoryTells = false;
#else
constexpr bool peakMemoryTells = true;
#endif

// Peak resident memory of a process, in KiB, as the kernel counts it.
qint64 peakKiB(qint64 pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    return -1;
}

// Every UTF-16 unit as a \uXXXX escape, the longest way a client can write a string.
QByteArray escapedJsonString(const QString &text)
{
    QByteArray out = "\"";
    for (const QChar unit : text)
        out += "\\u" + QByteArray::number(unit.unicode(), 16).rightJustified(4, '0');
    return out + '"';
}

// A couple with a heart and two skin tones: one character of 15 UTF-16 units, among the
// longest sequences in the Unicode emoji set.
const QString longestEmoji = QString::fromUtf8("\U0001F469\U0001F3FC\u200D\u2764\uFE0F\u200D\U0001F48B\u200D\U0001F468\U0001F3FE");

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

    std::unique_ptr<QSslSocket> connectRaw(quint16 port) const
    {
        auto socket = std::make_unique<QSslSocket>();
        socket->setSslConfiguration(ServiceProcess::trustingTestAuthority());
        socket->connectToHostEncrypted(QStringLiteral("127.0.0.1"), port);
        return socket;
    }

    // Sends bytes as they are and returns all the service writes until it closes.
    QByteArray exchange(const QByteArray &bytes)
    {
        const auto socket = connectRaw(service->port);
        if (!socket->waitForEncrypted(20000))
            return "no TLS connection";
        socket->write(bytes);
        QByteArray answer;
        while (socket->state() == QAbstractSocket::ConnectedState && socket->waitForReadyRead(20000))
            answer += socket->readAll();
        return answer + socket->readAll();
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

    void checkerPage()
    {
        const Reply page = finish(nam.get(request(QStringLiteral("/tessaline/check"), {})));
        QCOMPARE(page.header("content-type"), QByteArray("text/html; charset=utf-8"));
        QVERIFY(page.header("content-security-policy").contains("script-src 'self'"));
    }

    // Requests at the edges of what a client may validly send are answered.
    void accepted_data()
    {
        QTest::addColumn<QByteArray>("contentType");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("reasonHas");
        const QByteArray fullQuota = R"("quota":{"fiveHourRemainingPercent":42,"fiveHourSecondsToReset":7800,"weeklyRemainingPercent":80,)"
                                     R"("weeklySecondsToReset":300000,"pressureSummary":)"
                                     + escapedJsonString(QStringLiteral("Most pressured: ") + QString(2000, QChar(0x00e9))) + "}";
        const QByteArray largest = "{\"task\":" + escapedJsonString(QStringLiteral("Fix ") + longestEmoji.repeated(7996)) + "," + fullQuota + "}";
        QVERIFY(largest.size() > 700000 && largest.size() <= CheckRequest::maxBodyBytes);
        QTest::newRow("8,000 of the longest emoji, every unit escaped") << QByteArray("application/json") << largest
                                                                        << "42% left (resets in 2 h 10 min)";
        QTest::newRow("seconds to reset of 1e300")
            << QByteArray("application/json; charset=utf-8")
            << QByteArray(R"({"task":"Fix the typo in README.md.","quota":{"fiveHourRemainingPercent":50,"fiveHourSecondsToReset":1e300,)"
                          R"("weeklyRemainingPercent":60,"weeklySecondsToReset":1.7976931348623157e308}})")
            << "50% left (resets in ";
    }

    void accepted()
    {
        QFETCH(QByteArray, contentType);
        QFETCH(QByteArray, body);
        QFETCH(QString, reasonHas);
        const Reply r = post(body, contentType);
        QCOMPARE(r.status(), 200);
        QCOMPARE(r.header("content-type"), QByteArray("application/json"));
        QCOMPARE(r.header("cache-control"), QByteArray("no-store"));
        const QJsonObject answer = r.json();
        QVERIFY2(answer["quota"]["reason"].toString().contains(reasonHas), r.body.left(400).constData());
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
        row("task of punctuation only", "POST", api, json, "{\"task\":\"?! -- ... \\u2014 ;)\"}", 422);
        row("body one byte over the limit", "POST", api, json,
            "{\"task\":\"x\",\"pad\":\"" + QByteArray(CheckRequest::maxBodyBytes - 18, 'p') + "\"}", 413);
        row("form post", "POST", api, "application/x-www-form-urlencoded", "task=x", 415);
        row("no content type", "POST", api, "(none)", "{\"task\":\"Fix the typo in README.md.\"}", 415);
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
        if (contentType == "(none)") {
            // Written by hand: the network access manager would fill in a content type.
            const QByteArray answer = exchange(method + ' ' + path.toUtf8() + " HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n"
                                               "Content-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body);
            QVERIFY2(answer.startsWith("HTTP/1.1 " + QByteArray::number(status) + ' '), answer.constData());
            QVERIFY(answer.contains("\"error\":"));
        } else {
            const Reply r = finish(nam.sendCustomRequest(request(path, contentType), method, body));
            QCOMPARE(r.status(), status);
            QCOMPARE(r.header("content-type"), QByteArray("application/json"));
            QVERIFY(!r.json()["error"].toString().isEmpty());
            if (status == 405)
                QVERIFY(!r.header("allow").isEmpty());
        }
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
            const auto socket = connectRaw(strict.port);
            QVERIFY(socket->waitForEncrypted(20000));
            QTimer dripper;
            connect(&dripper, &QTimer::timeout, socket.get(), [&socket] { socket->write("X"); });
            if (drip) {
                socket->write("POST /api/tessaline HTTP/1.1\r\n");
                dripper.start(200);
            }
            QSignalSpy closed(socket.get(), &QAbstractSocket::disconnected);
            QVERIFY2(closed.wait(20000), drip ? "dripping client" : "silent client");
        }
    }

    // A client that keeps sending far past the limit is answered 413 and cut off; what it
    // sends meanwhile is dropped as it arrives, not held.
    void oversizeStreamDropped()
    {
        const qint64 before = peakKiB(service->process.processId());
        const auto socket = connectRaw(service->port);
        QVERIFY(socket->waitForEncrypted(20000));
        socket->write("POST /api/tessaline HTTP/1.1\r\nHost: localhost\r\nContent-Type: application/json\r\n"
                      "Content-Length: 1073741824\r\n\r\n{\"task\":\"");
        const QByteArray chunk(256 * 1024, 'p');
        qint64 sent = 0;
        const auto refill = [&] {
            // Only a little is queued at a time, so the service sets the pace.
            while (sent < 256 * 1024 * 1024 && socket->bytesToWrite() + socket->encryptedBytesToWrite() < 2 * chunk.size()) {
                socket->write(chunk);
                sent += chunk.size();
            }
        };
        QByteArray answer;
        connect(socket.get(), &QSslSocket::encryptedBytesWritten, this, refill);
        connect(socket.get(), &QIODevice::readyRead, this, [&] { answer += socket->readAll(); });
        refill();
        QSignalSpy closed(socket.get(), &QAbstractSocket::disconnected);
        QVERIFY2(closed.wait(60000), "the service never closed the connection");
        answer += socket->readAll();
        QVERIFY2(answer.startsWith("HTTP/1.1 413 "), answer.left(200).constData());
        QVERIFY(answer.contains("\"error\":\"The request body is larger than "));
        const qint64 grown = peakKiB(service->process.processId()) - before;
        QVERIFY2(!peakMemoryTells || grown < 24 * 1024, qPrintable(QStringLiteral("peak memory grew by %1 KiB while %2 MiB were refused")
                                                   .arg(grown).arg(sent >> 20)));
        QCOMPARE(post(R"({"task":"Fix the typo in README.md."})").status(), 200);
    }

    // A client that pipelines requests and reads none of the answers gets no more of its
    // requests read once answers pile up; when it reads again, every answer comes, in order.
    void unreadAnswersStopReading()
    {
        const qint64 before = peakKiB(service->process.processId());
        const auto socket = connectRaw(service->port);
        QVERIFY(socket->waitForEncrypted(20000));
        socket->setReadBufferSize(64 * 1024); // leave the answers in the network, unread
        // Each small request is answered with the 10 KB script: 100 MB of answers in all.
        const int count = 10000;
        socket->write(QByteArray("GET /tessaline/check.js HTTP/1.1\r\nHost: localhost\r\n\r\n").repeated(count));
        QSignalSpy arriving(socket.get(), &QIODevice::readyRead);
        QSignalSpy sending(socket.get(), &QSslSocket::encryptedBytesWritten);
        while (arriving.wait(1000) || sending.count() > 0)
            sending.clear(); // until nothing moves either way for a second
        const qint64 grown = peakKiB(service->process.processId()) - before;
        QVERIFY2(!peakMemoryTells || grown < 16 * 1024, qPrintable(QStringLiteral("peak memory grew by %1 KiB").arg(grown)));

        socket->setReadBufferSize(0);
        QByteArray answers;
        int answered = 0;
        while (answered < count && (socket->bytesAvailable() > 0 || socket->waitForReadyRead(20000))) {
            answers += socket->readAll();
            qsizetype at = 0;
            while ((at = answers.indexOf("HTTP/1.1 200 ", at)) >= 0) {
                ++answered;
                at += 12;
            }
            answers = answers.right(12); // a status line may be split between reads
        }
        QCOMPARE(answered, count);
    }

    // Connections past the limit are closed as they arrive; a place that frees up is
    // taken again.
    void connectionLimit()
    {
        QFETCH_GLOBAL(QString, threads);
        ServiceProcess limited;
        QVERIFY(limited.start(0, {"--threads", threads, "--max-connections", "3"}));
        std::vector<std::unique_ptr<QSslSocket>> held;
        for (int n = 0; n < 3; ++n) {
            held.push_back(connectRaw(limited.port));
            QVERIFY(held.back()->waitForEncrypted(20000));
        }
        QVERIFY(!connectRaw(limited.port)->waitForEncrypted(20000));
        held.front()->disconnectFromHost();
        QVERIFY(held.front()->state() == QAbstractSocket::UnconnectedState || held.front()->waitForDisconnected(20000));
        // The service learns of the close on its own time: knock until let in.
        QDeadlineTimer deadline(20000);
        bool admitted = false;
        while (!admitted && !deadline.hasExpired())
            admitted = connectRaw(limited.port)->waitForEncrypted(20000);
        QVERIFY(admitted);
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

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

// What the service wrote on one connection, split into answers. An expected status below
// zero is an answer without body (to HEAD); 1xx answers have none either.
struct Answers {
    QList<int> statuses;
    QList<QByteArray> heads;
    QByteArray rest; // bytes that are no whole answer
};

Answers splitAnswers(QByteArray bytes, const QList<int> &expected)
{
    Answers out;
    while (bytes.startsWith("HTTP/1.1 ")) {
        const qsizetype end = bytes.indexOf("\r\n\r\n");
        if (end < 0)
            break;
        const QByteArray head = bytes.left(end + 2);
        const int status = head.mid(9, 3).toInt();
        const bool bodiless = status < 200 || (out.statuses.size() < expected.size() && expected[out.statuses.size()] < 0);
        qsizetype length = 0;
        if (!bodiless) {
            const qsizetype at = head.indexOf("\r\nContent-Length: ");
            if (at < 0)
                break;
            length = head.mid(at + 18, head.indexOf("\r\n", at + 18) - at - 18).toLongLong();
        }
        if (bytes.size() < end + 4 + length)
            break;
        out.statuses.append(bodiless && status >= 200 ? -status : status);
        out.heads.append(head);
        bytes.remove(0, end + 4 + length);
    }
    out.rest = bytes;
    return out;
}

const QByteArray lastRequest = "GET /tessaline/check.css HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n";
const QByteArray smuggled = "GET /tessaline/check.js HTTP/1.1\r\nHost: localhost\r\n\r\n";

} // namespace

class TestServiceHttp : public QObject {
    Q_OBJECT

    std::unique_ptr<ServiceProcess> service;
    QString threads; // of the running service
    std::unique_ptr<ServiceProcess> limited; // with the options of the current raw row
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

    // From a loopback address of its own, so that limits per address can be tried.
    static std::unique_ptr<QSslSocket> connectRaw(quint16 port, const QString &from = QStringLiteral("127.0.0.1"))
    {
        auto socket = std::make_unique<QSslSocket>();
        socket->setSslConfiguration(ServiceProcess::trustingTestAuthority());
        socket->bind(QHostAddress(from));
        socket->connectToHostEncrypted(QStringLiteral("127.0.0.1"), port);
        return socket;
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
        if (service && service->process.state() == QProcess::Running && this->threads == threads)
            return;
        service = std::make_unique<ServiceProcess>();
        this->threads = threads;
        QVERIFY2(service->start({"--threads", threads}), service->process.readAllStandardError().constData());
        limited.reset();
    }

    // Raw bytes on one TLS connection, as an adversary writes them, against the framing
    // and the limits. The connection is read until the service closes it: every row that
    // keeps the connection ends with a request that asks to close, so an answer with a
    // body where none belongs, or an answer to a request hidden in a body, shows.
    void raw_data()
    {
        QTest::addColumn<QStringList>("options"); // service options beyond the defaults
        QTest::addColumn<int>("greedy");          // idle TLS connections 127.0.0.2 opens first
        QTest::addColumn<int>("silent");          // TCP connections 127.0.0.2 opens and never starts TLS on
        QTest::addColumn<QString>("from");        // the address the tried client connects from; empty: a
                                                  // client that never starts TLS
        QTest::addColumn<QList<QByteArray>>("sends"); // after the first, each waits for one more answer
        QTest::addColumn<QList<int>>("statuses");    // the answers in order; below zero without body; {0}: no TLS
        QTest::addColumn<QByteArray>("fieldHas");    // in the first answer's fields

        const QString a = QStringLiteral("127.0.0.2"), b = QStringLiteral("127.0.0.3");
        const QByteArray check = R"({"task":"Fix the typo in README.md."})";
        const QByteArray post = "POST /api/tessaline HTTP/1.1\r\nHost: localhost\r\nContent-Type: application/json\r\n";
        const QByteArray sized = post + "Content-Length: " + QByteArray::number(check.size()) + "\r\n";
        const auto row = [&](const char *name, const QByteArray &bytes, const QList<int> &statuses, const QByteArray &fieldHas = {}) {
            QTest::newRow(name) << QStringList() << 0 << 0 << a << QList<QByteArray>{bytes} << statuses << fieldHas;
        };
        const auto limit = [&](const char *name, const QStringList &options, int greedy, int silent, const QString &from,
                               const QList<int> &statuses, const QByteArray &fieldHas = {}) {
            QTest::newRow(name) << options << greedy << silent << from << QList<QByteArray>{lastRequest} << statuses << fieldHas;
        };

        row("HEAD of the page and its files, then GET, in order",
            "HEAD /tessaline/check HTTP/1.1\r\nHost: localhost\r\n\r\nHEAD /tessaline/check.js HTTP/1.1\r\nHost: localhost\r\n\r\n"
                + lastRequest, {-200, -200, 200}, "Content-Security-Policy: default-src 'none'; script-src 'self';");
        row("errors on HEAD carry no body",
            "HEAD /api/tessaline HTTP/1.1\r\nHost: localhost\r\n\r\nHEAD /elsewhere HTTP/1.1\r\nHost: localhost\r\n\r\n" + lastRequest,
            {-405, -404, 200}, "Allow: POST\r\n");
        row("pipelined requests answered in order",
            sized + "\r\n" + check + "GET /elsewhere HTTP/1.1\r\nHost: localhost\r\n\r\n" + sized + "\r\n" + check + lastRequest,
            {200, 404, 200, 200});
        row("chunked body with extension and trailer",
            post + "Transfer-Encoding: chunked\r\n\r\n5;x=y\r\n{\"tas\r\n" + QByteArray::number(check.size() - 5, 16) + "\r\n"
                + check.mid(5) + "\r\n0\r\nX-Trailer: 1\r\n\r\n" + lastRequest, {200, 200});
        row("upgrade asked for gets one answer",
            sized + "Connection: Upgrade\r\nUpgrade: websocket\r\n\r\n" + check + lastRequest, {200, 200});
        row("absolute-form target", "GET https://localhost/tessaline/check.css?v=1 HTTP/1.1\r\nHost: localhost\r\n\r\n" + lastRequest,
            {200, 200});
        QTest::newRow("Expect: 100-continue answered 100, then the check")
            << QStringList() << 0 << 0 << a
            << QList<QByteArray>{sized + "Expect: 100-continue\r\n\r\n", check + lastRequest} << QList<int>{100, 200, 200} << QByteArray();
        row("Expect: 100-continue where the body would not be read: the final status",
            "POST /elsewhere HTTP/1.1\r\nHost: localhost\r\nContent-Length: 100\r\nExpect: 100-continue\r\n\r\n", {404});
        row("an expectation not understood", sized + "Expect: 200-ok\r\n\r\n" + check + lastRequest, {417});
        row("no content type", "POST /api/tessaline HTTP/1.1\r\nHost: localhost\r\nContent-Length: 2\r\n\r\n{}" + lastRequest,
            {415, 200});
        row("declared length one byte over the bound: 413 from the header fields",
            post + "Content-Length: " + QByteArray::number(CheckRequest::maxBodyBytes + 1) + "\r\n\r\n", {413}, "Connection: close");
        row("chunk over the bound", post + "Transfer-Encoding: chunked\r\n\r\nfffffff\r\n", {413});
        row("header fields over 16 KiB", "GET /tessaline/check HTTP/1.1\r\nHost: localhost\r\nX-Pad: " + QByteArray(17000, 'p')
                + "\r\n\r\n", {431});
        row("HTTP/2.0 request line", "GET /tessaline/check HTTP/2.0\r\nHost: localhost\r\n\r\n", {505});
        row("coding under chunked not implemented", post + "Transfer-Encoding: gzip, chunked\r\n\r\n0\r\n\r\n" + smuggled, {501});

        // Each hides a request in what it frames as its body; only the 400 may come back.
        const auto smuggle = [&](const char *name, const QByteArray &fields, const QByteArray &body) {
            row(name, post + fields + "\r\n" + body + smuggled + lastRequest, {400});
        };
        smuggle("length past 64 bits", "Content-Length: 18446744073709551615\r\n", {});
        smuggle("Content-Length and Transfer-Encoding", "Content-Length: 5\r\nTransfer-Encoding: chunked\r\n", "0\r\n\r\n");
        smuggle("two different lengths", "Content-Length: 0\r\nContent-Length: 52\r\n", {});
        smuggle("negative length", "Content-Length: -52\r\n", {});
        smuggle("length with a sign", "Content-Length: +0\r\n", {});
        smuggle("length as a list", "Content-Length: 0, 52\r\n", {});
        smuggle("bad chunk size", "Transfer-Encoding: chunked\r\n", "zz\r\n");
        smuggle("chunk size past 60 bits", "Transfer-Encoding: chunked\r\n", "10000000000000000\r\n");
        smuggle("chunk data not ended by CRLF", "Transfer-Encoding: chunked\r\n", "2\r\n{}X\r\n0\r\n\r\n");
        smuggle("chunked not the last coding: length undeterminable", "Transfer-Encoding: chunked, identity\r\n", "0\r\n\r\n");
        smuggle("chunked twice", "Transfer-Encoding: chunked\r\nTransfer-Encoding: chunked\r\n", "0\r\n\r\n");
        smuggle("space before the colon", "Transfer-Encoding : chunked\r\n", "0\r\n\r\n");
        smuggle("folded field", "Content-Length: 0\r\n Transfer-Encoding: chunked\r\n", "0\r\n\r\n");
        smuggle("bare LF ends a line", "Content-Length: 0\nTransfer-Encoding: chunked\r\n", "0\r\n\r\n");
        row("transfer coding in HTTP/1.0",
            "POST /api/tessaline HTTP/1.0\r\nContent-Type: application/json\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n" + smuggled,
            {400});
        row("no Host", "GET /tessaline/check.css HTTP/1.1\r\n\r\n" + lastRequest, {400});
        row("two Hosts", "GET /tessaline/check.css HTTP/1.1\r\nHost: a\r\nHost: b\r\n\r\n" + lastRequest, {400});

        limit("one address past its connections: 503", {"--max-connections-per-address", "2"}, 2, 0, a, {503}, "Retry-After: 5\r\n");
        limit("another address beside it", {"--max-connections-per-address", "2"}, 2, 0, b, {200});
        limit("256 idle connections of one address leave room for others", {}, 256, 0, b, {200});
        limit("a full service answers 503", {"--max-connections", "3"}, 3, 0, b, {503}, "Retry-After: 5\r\n");
        limit("one address past its handshakes: closed", {"--threads", "1", "--max-handshakes-per-address", "2"}, 0, 2, a, {0});
        limit("another address's handshake beside it", {"--threads", "1", "--max-handshakes-per-address", "2"}, 0, 2, b, {200});
        QTest::newRow("TLS never started: closed after the handshake's time")
            << QStringList{"--handshake-timeout", "0.5"} << 0 << 0 << QString() << QList<QByteArray>{} << QList<int>{} << QByteArray();
        QTest::newRow("idle connection closed") << QStringList{"--idle-timeout", "0.5"} << 0 << 0 << a << QList<QByteArray>{{}}
                                                << QList<int>{} << QByteArray();
        QTest::newRow("header fields dripping past their time: 408")
            << QStringList{"--header-timeout", "0.5"} << 0 << 0 << a
            << QList<QByteArray>{"POST /api/tessaline HTTP/1.1\r\nHost: localhost\r\n"} << QList<int>{408} << QByteArray();
        QTest::newRow("body past the request's time: 408")
            << QStringList{"--request-timeout", "0.5"} << 0 << 0 << a << QList<QByteArray>{sized + "\r\n{\"ta"} << QList<int>{408}
            << QByteArray();
    }

    void raw()
    {
        QFETCH_GLOBAL(QString, threads);
        QFETCH(QStringList, options);
        QFETCH(int, greedy);
        QFETCH(int, silent);
        QFETCH(QString, from);
        QFETCH(QList<QByteArray>, sends);
        QFETCH(QList<int>, statuses);
        QFETCH(QByteArray, fieldHas);

        quint16 port = service->port;
        if (!options.isEmpty() || greedy > 0 || silent > 0) {
            // A service of its own, so that what the row holds is not held by the next.
            limited = std::make_unique<ServiceProcess>();
            QVERIFY(limited->start(QStringList{"--threads", threads} + options));
            port = limited->port;
        }
        std::vector<std::unique_ptr<QSslSocket>> held;
        for (int n = 0; n < greedy; ++n)
            held.push_back(connectRaw(port, QStringLiteral("127.0.0.2")));
        // The handshakes go on side by side, as a greedy client's do (one blocking wait after
        // another would leave the rest stalled past the service's handshake time). Past the
        // limits some are refused, which is not what this waits for.
        int encrypted = 0;
        (void)QTest::qWaitFor([&] {
            encrypted = 0;
            bool settled = true;
            for (const auto &socket : held) {
                encrypted += socket->isEncrypted() ? 1 : 0;
                settled = settled && (socket->isEncrypted() || socket->state() == QAbstractSocket::UnconnectedState);
            }
            return settled;
        }, 30000); // what is still unsettled then counts as not encrypted
        QVERIFY2(encrypted >= std::min(greedy, 3), qPrintable(QStringLiteral("%1 of %2 encrypted").arg(encrypted).arg(greedy)));
        std::vector<std::unique_ptr<QTcpSocket>> quiet;
        for (int n = 0; n < silent; ++n) {
            quiet.push_back(std::make_unique<QTcpSocket>());
            quiet.back()->bind(QHostAddress(QStringLiteral("127.0.0.2")));
            quiet.back()->connectToHost(QStringLiteral("127.0.0.1"), port);
            QVERIFY(quiet.back()->waitForConnected(20000));
        }

        if (from.isEmpty()) {
            QTcpSocket bare;
            bare.connectToHost(QStringLiteral("127.0.0.1"), port);
            QVERIFY(bare.waitForConnected(20000));
            QVERIFY(bare.state() == QAbstractSocket::UnconnectedState || bare.waitForDisconnected(20000));
            return;
        }
        const auto socket = connectRaw(port, from);
        if (statuses == QList<int>{0}) {
            QVERIFY(!socket->waitForEncrypted(20000));
            return;
        }
        QVERIFY(socket->waitForEncrypted(20000));
        QByteArray received;
        for (qsizetype i = 0; i < sends.size(); ++i) {
            while (i > 0 && splitAnswers(received, statuses).statuses.size() < i) {
                QVERIFY2(socket->waitForReadyRead(20000), received.constData());
                received += socket->readAll();
            }
            socket->write(sends[i]);
        }
        QDeadlineTimer deadline(20000);
        while (socket->state() == QAbstractSocket::ConnectedState && !deadline.hasExpired()) {
            socket->waitForReadyRead(200);
            received += socket->readAll();
        }
        received += socket->readAll();
        QVERIFY2(socket->state() != QAbstractSocket::ConnectedState, "the service did not close the connection");
        const Answers answers = splitAnswers(received, statuses);
        QVERIFY2(answers.rest.isEmpty(), received.constData());
        QCOMPARE(answers.statuses, statuses);
        if (!fieldHas.isEmpty())
            QVERIFY2(answers.heads.value(0).contains(fieldHas), answers.heads.value(0).constData());
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

    // Many clients at once, on separate connections (30, within what one address may
    // open at once), each get the answer to their own task.
    void concurrentClients()
    {
        std::vector<std::unique_ptr<QNetworkAccessManager>> clients;
        QList<QPair<QNetworkReply *, int>> replies;
        for (int n = 0; n < 96; ++n) {
            if (n % 20 == 0)
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

    // Terminated, it ends cleanly with nothing on its error output, where sanitizers report.
    void cleanShutdown()
    {
        QCOMPARE(post(R"({"task":"Fix the typo in README.md."})").status(), 200);
        QVERIFY(service->stop(20000));
        QCOMPARE(service->process.exitCode(), 0);
        QCOMPARE(service->process.readAllStandardError(), QByteArray());
    }

    // A set-up it cannot serve with is a one-line error and exit code 1, not a crash or a hang.
    void refusesToStart()
    {
        const QString cert = TestHttpsServer::tlsFile("server.pem");
        const QList<QPair<QStringList, QByteArray>> cases{
            {{"--cert", cert, "--key", cert}, "no unencrypted PEM private key"},
            {{"--cert", cert, "--key", TestHttpsServer::tlsFile("server.key"), "--port", QString::number(service->port)}, "cannot listen"}};
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

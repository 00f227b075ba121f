#include "AbusiveClients.h"
#include "FixtureRows.h"
#include "ServiceProcess.h"

#include "service/CheckRequest.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QFile>
#include <QSignalSpy>

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
    const QByteArray text = status.open(QIODevice::ReadOnly) ? status.readAll() : QByteArray();
    const qsizetype at = text.indexOf("VmHWM:");
    return at < 0 ? -1 : text.mid(at + 6, text.indexOf("kB", at) - at - 6).trimmed().toLongLong();
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

Answers splitAnswers(const QByteArray &bytes, const QList<int> &expected)
{
    Answers out;
    qsizetype from = 0;
    while (QByteArrayView(bytes).sliced(from).startsWith("HTTP/1.1 ")) {
        const qsizetype end = bytes.indexOf("\r\n\r\n", from);
        if (end < 0)
            break;
        const QByteArray head = bytes.sliced(from, end + 2 - from);
        const int status = head.mid(9, 3).toInt();
        const bool bodiless = status < 200 || expected.value(out.statuses.size()) < 0;
        const qsizetype at = head.indexOf("\r\nContent-Length: ");
        if (!bodiless && at < 0)
            break;
        const qsizetype length = bodiless ? 0 : head.mid(at + 18, head.indexOf("\r\n", at + 18) - at - 18).toLongLong();
        if (bytes.size() < end + 4 + length)
            break;
        out.statuses.append(bodiless && status >= 200 ? -status : status);
        out.heads.append(head);
        from = end + 4 + length;
    }
    out.rest = bytes.sliced(from);
    return out;
}

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

    static std::unique_ptr<QSslSocket> connectFrom(quint16 port, const QString &from = QStringLiteral("127.0.0.1"))
    {
        return std::unique_ptr<QSslSocket>(abuse::connectFrom(port, ServiceProcess::trustingTestAuthority(), from));
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

    void raw_data()
    {
        // Rows that are plain bytes are in the fixture file; these two are sized by the limits.
        addFixtureRows(QStringLiteral("service/framing.json"));
        QTest::newRow("declared length one byte over the bound: 413 from the header fields") << QJsonObject{
            {"sends", QJsonArray{QStringLiteral("POST /api/tessaline HTTP/1.1\r\nHost: localhost\r\nContent-Type: application/json\r\n"
                                                "Content-Length: %1\r\n\r\n").arg(CheckRequest::maxBodyBytes + 1)}},
            {"statuses", QJsonArray{413}}, {"fieldHas", "Connection: close"}};
        QTest::newRow("header fields over 16 KiB") << QJsonObject{
            {"sends", QJsonArray{"GET /tessaline/check HTTP/1.1\r\nHost: localhost\r\nX-Pad: " + QString(17000, 'p') + "\r\n\r\n"}}, {"statuses", QJsonArray{431}}};
    }

    // Raw bytes on one TLS connection, as an adversary writes them, against the framing
    // and the limits. The connection is read until the service closes it: every row that
    // keeps the connection ends with a request that asks to close, so an answer with a
    // body where none belongs, or an answer to a request hidden in a body, shows. A row
    // may first set idle TLS connections (greedy) and TCP connections that never start TLS
    // (silent) from 127.0.0.2, then connects from its own address: 127.0.0.2 unless it
    // says; empty, a client that never starts TLS. After the first, each send waits for
    // one more answer. Statuses below zero are answers without body; {0}: no TLS.
    void raw()
    {
        QFETCH_GLOBAL(QString, threads);
        QFETCH(QJsonObject, row);
        const int greedy = row["greedy"].toInt(), silent = row["silent"].toInt();
        const QString from = row["from"].toString(QStringLiteral("127.0.0.2"));
        QList<int> statuses;
        for (const QJsonValue &status : row["statuses"].toArray())
            statuses << status.toInt();

        quint16 port = service->port;
        if (row.contains("options")) {
            // A service of its own, so that what the row holds is not held by the next.
            limited = std::make_unique<ServiceProcess>();
            QVERIFY(limited->start(QStringList{"--threads", threads} + row["options"].toVariant().toStringList()));
            port = limited->port;
        }
        std::vector<std::unique_ptr<QSslSocket>> held;
        for (int n = 0; n < greedy; ++n)
            held.push_back(connectFrom(port, QStringLiteral("127.0.0.2")));
        // The handshakes go on side by side, as a greedy client's do (one blocking wait after
        // another would leave the rest stalled past the service's handshake time). Past the
        // limits some are refused, which is not what this waits for.
        (void)QTest::qWaitFor([&] { // what is still unsettled then counts as not encrypted
            return std::all_of(held.begin(), held.end(), [](const auto &s) { return s->isEncrypted() || s->state() == QAbstractSocket::UnconnectedState; });
        }, 30000);
        const auto encrypted = std::count_if(held.begin(), held.end(), [](const auto &s) { return s->isEncrypted(); });
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
        const auto socket = connectFrom(port, from);
        if (statuses == QList<int>{0}) {
            QVERIFY(!socket->waitForEncrypted(20000));
            return;
        }
        QVERIFY(socket->waitForEncrypted(20000));
        QByteArray received;
        const auto read = [&] { received += socket->readAll(); return socket->state() != QAbstractSocket::ConnectedState; };
        const QJsonArray sends = row["sends"].toArray();
        for (qsizetype i = 0; i < sends.size(); ++i) {
            QVERIFY2(QTest::qWaitFor([&] { return read() || splitAnswers(received, statuses).statuses.size() >= i; }, 20000),
                     received.constData());
            socket->write(sends[i].toString().toLatin1());
        }
        if (row.contains("dripMs"))
            abuse::drip(socket.get(), row["dripMs"].toInt());
        QVERIFY2(QTest::qWaitFor(read, 20000), "the service did not close the connection");
        const Answers answers = splitAnswers(received, statuses);
        QVERIFY2(answers.rest.isEmpty(), received.constData());
        QCOMPARE(answers.statuses, statuses);
        if (row.contains("fieldHas"))
            QVERIFY2(answers.heads.value(0).contains(row["fieldHas"].toString().toLatin1()), answers.heads.value(0).constData());
    }

    // The largest request a client may validly send, written the longest way: 8,000 of
    // the longest emoji, every UTF-16 unit escaped, beside a long pressure summary.
    void largestRequest()
    {
        const QByteArray fullQuota = R"("quota":{"fiveHourRemainingPercent":42,"fiveHourSecondsToReset":7800,"weeklyRemainingPercent":80,)"
                                     R"("weeklySecondsToReset":300000,"pressureSummary":)"
                                     + escapedJsonString(QStringLiteral("Most pressured: ") + QString(2000, QChar(0x00e9))) + "}";
        const QByteArray largest = "{\"task\":" + escapedJsonString(QStringLiteral("Fix ") + longestEmoji.repeated(7996)) + "," + fullQuota + "}";
        QVERIFY(largest.size() > 700000 && largest.size() <= CheckRequest::maxBodyBytes);
        const Reply r = post(largest, "application/json; charset=utf-8");
        QCOMPARE(r.status(), 200);
        QCOMPARE(r.header("content-type"), QByteArray("application/json"));
        QCOMPARE(r.header("cache-control"), QByteArray("no-store"));
        const QJsonObject answer = r.json();
        QVERIFY2(answer["quota"]["reason"].toString().contains(QStringLiteral("42% left (resets in 2 h 10 min)")), r.body.constData());
    }

    void badRequest_data() { addFixtureRows(QStringLiteral("service/refusals.json")); }

    // Every refusal is a JSON error with a 4xx status, and the service keeps serving.
    void badRequest()
    {
        QFETCH(QJsonObject, row);
        const int status = row["status"].toInt();
        const Reply r = finish(nam.sendCustomRequest(request(row["path"].toString(), row["contentType"].toString().toLatin1()),
                                                     row["method"].toString().toLatin1(), row["body"].toString().toUtf8()));
        QCOMPARE(r.status(), status);
        QCOMPARE(r.header("content-type"), QByteArray("application/json"));
        QVERIFY(!r.json()["error"].toString().isEmpty());
        QVERIFY(status != 405 || !r.header("allow").isEmpty());
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
        const auto socket = connectFrom(service->port);
        QVERIFY(socket->waitForEncrypted(20000));
        // Each small request is answered with the 10 KB script: 100 MB of answers in all.
        const int count = 10000;
        abuse::pipelineUnread(socket.get(), count, 64 * 1024);
        QSignalSpy arriving(socket.get(), &QIODevice::readyRead);
        QSignalSpy sending(socket.get(), &QSslSocket::encryptedBytesWritten);
        while (arriving.wait(1000) || sending.count() > 0)
            sending.clear(); // until nothing moves either way for a second
        const qint64 grown = peakKiB(service->process.processId()) - before;
        QVERIFY2(!peakMemoryTells || grown < 16 * 1024, qPrintable(QStringLiteral("peak memory grew by %1 KiB").arg(grown)));

        socket->setReadBufferSize(0);
        Answers answers;
        int answered = 0;
        while (answered < count && (socket->bytesAvailable() > 0 || socket->waitForReadyRead(20000))) {
            answers = splitAnswers(answers.rest + socket->readAll(), {});
            answered += int(answers.statuses.count(200));
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

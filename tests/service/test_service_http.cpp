#include "AbusiveClients.h"
#include "FixtureRows.h"
#include "ServiceProcess.h"

#include "check/CheckTransport.h"
#include "check/TaskCheck.h"
#include "service/CheckRequest.h"

#include <QJsonArray>
#include <QJsonObject>

#include <memory>

using namespace tessaline;

namespace {

// What the service wrote on one connection, split into whole answers. An expected status
// below zero is an answer without body (to HEAD); 1xx answers have none either.
struct Answers {
    QList<int> statuses;
    QList<QByteArray> texts; // each answer, head and body
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
        out.texts.append(bytes.sliced(from, end + 4 + length - from));
        from = end + 4 + length;
    }
    out.rest = bytes.sliced(from);
    return out;
}

QString expanded(QString send)
{
    static const QRegularExpression bound(QStringLiteral("\\{bound([+-]\\d+)?\\}"));
    static const QRegularExpression repeat(QStringLiteral("\\[(.)×(\\d+)\\]"));
    for (auto m = bound.match(send); m.hasMatch(); m = bound.match(send))
        send.replace(m.capturedStart(), m.capturedLength(), QString::number(CheckRequest::maxBodyBytes + m.captured(1).toInt()));
    for (auto m = repeat.match(send); m.hasMatch(); m = repeat.match(send))
        send.replace(m.capturedStart(), m.capturedLength(), m.captured(1).repeated(m.captured(2).toInt()));
    return send;
}

} // namespace

class TestServiceHttp : public QObject {
    Q_OBJECT

    std::unique_ptr<ServiceProcess> service;
    QNetworkAccessManager nam;

    int post(const QByteArray &body, const QByteArray &contentType = "application/json")
    {
        return ServiceProcess::finish(nam.post(ServiceProcess::api(service->port, contentType), body));
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
        // The running service is kept while it serves with these threads, its last argument.
        if (service && service->process.state() == QProcess::Running && service->process.arguments().endsWith(threads))
            return;
        service = std::make_unique<ServiceProcess>();
        QVERIFY2(service->start({"--threads", threads}), service->process.readAllStandardError().constData());
    }

    void raw_data() { addFixtureRows(QStringLiteral("service/framing.json")); }

    // Raw bytes on one TLS connection, as an adversary writes them, against the framing
    // and the limits. The connection is read until the service closes it: every row that
    // keeps the connection ends with a request that asks to close, so an answer with a
    // body where none belongs, or an answer to a request hidden in a body, shows. A row
    // may first set idle TLS connections (greedy) and TCP connections that never start TLS
    // (silent) from 127.0.0.2, then connects from its own address: 127.0.0.2 unless it
    // says; empty, the row's client is the last silent one. After the first, each send waits for
    // one more answer. Statuses below zero are answers without body; {0}: no TLS. "has"
    // holds, for each answer in turn, a text or a list of texts it contains. In a send,
    // "{bound±n}" is the limit on a check's body plus or minus n, and "[c×n]" is c n times.
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
        ServiceProcess limited; // a service of its own, so that what the row holds is not held by the next
        if (row.contains("options")) {
            QVERIFY(limited.start(QStringList{"--threads", threads} + row["options"].toVariant().toStringList()));
            port = limited.port;
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
            QVERIFY(quiet.back()->state() == QAbstractSocket::UnconnectedState || quiet.back()->waitForDisconnected(20000));
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
            socket->write(expanded(sends[i].toString()).toLatin1());
        }
        if (row.contains("dripMs"))
            abuse::drip(socket.get(), row["dripMs"].toInt());
        QVERIFY2(QTest::qWaitFor(read, 20000), "the service did not close the connection");
        const Answers answers = splitAnswers(received, statuses);
        QVERIFY2(answers.rest.isEmpty(), received.constData());
        QCOMPARE(answers.statuses, statuses);
        const QJsonArray has = row["has"].toArray();
        for (qsizetype i = 0; i < has.size(); ++i)
            for (const QJsonValue &text : has[i].isArray() ? has[i].toArray() : QJsonArray{has[i]})
                QVERIFY2(answers.texts.value(i).contains(text.toString().toLatin1()), answers.texts.value(i).constData());
    }

    // Many clients at once, on separate connections (30, within what one address may
    // open at once), each get the answer to their own task.
    void concurrentClients()
    {
        QNetworkAccessManager clients[5];
        QList<QNetworkReply *> replies;
        for (int n = 0; n < 96; ++n)
            replies.append(ServiceProcess::postNumbered(clients[n / 20], service->port, n));
        for (QNetworkReply *reply : replies)
            QCOMPARE(ServiceProcess::wrongAnswer(reply), QString());
    }

    // A client that pipelines requests and reads none of the answers gets no more of its
    // requests read once answers pile up: what it sends stops going out. Its requests
    // (120 MB) are more than the kernel's buffers on both sides hold, with what the service
    // read before it stopped. What the service's memory does meanwhile is measured by
    // bench/service/run. When the client reads again, every answer comes, in order.
    void unreadAnswersStopReading()
    {
        const auto socket = connectFrom(service->port);
        QVERIFY(socket->waitForEncrypted(20000));
        const int count = 10000; // each answered with the 10 KB script
        abuse::pipelineUnread(socket.get(), count, 64 * 1024, 8 * 1024);
        QSignalSpy arriving(socket.get(), &QIODevice::readyRead);
        QSignalSpy sending(socket.get(), &QSslSocket::encryptedBytesWritten);
        while (arriving.wait(1000) || sending.count() > 0)
            sending.clear(); // until nothing moves either way for a second
        QVERIFY2(socket->bytesToWrite() + socket->encryptedBytesToWrite() > 0, "every request was read while no answer was");

        socket->setReadBufferSize(0);
        Answers answers;
        int answered = 0;
        while (answered < count && (socket->bytesAvailable() > 0 || socket->waitForReadyRead(20000))) {
            answers = splitAnswers(answers.rest + socket->readAll(), {});
            answered += int(answers.statuses.count(200));
        }
        QCOMPARE(answered, count);
    }

    // The program's own check client, with the largest request it makes: 8,000 characters
    // each as long as the longest emoji sequences, with a pressure summary built from long
    // helper labels. It must fit the service's body limit, and the answer must fit the
    // client's.
    void largestCheckOfTheProgram()
    {
        const QString couple = QString::fromUtf8("\U0001F469\U0001F3FC\u200D\u2764\uFE0F\u200D\U0001F48B\u200D\U0001F468\U0001F3FE");
        const QString description = QStringLiteral("Fix ") + couple.repeated(TaskCheck::maxDescriptionCharacters - 4);
        Usage usage;
        usage.fetchedAt = 1'000'000;
        usage.windows.append({QStringLiteral("5h"), 20, 80, 300, usage.fetchedAt + 7800});
        usage.windows.append({QStringLiteral("weekly"), 10, 90, 10080, usage.fetchedAt + 3 * 86400});
        usage.pressureCheck = Usage::PressureCheck{.bucketLabel = QString(1000, QChar(0x00e9)), .bucketIsDefault = {},
                                                   .windowLabel = QString(1000, QLatin1Char('w')), .deltaPoints = 12,
                                                   .classification = QStringLiteral("behind"), .secondary = {}};

        const CheckEndpoint endpoint{QStringLiteral("localhost:%1").arg(service->port), {TestHttpsServer::authority()}};
        const auto prepared = TaskCheck::prepare(description, usage, endpoint);
        QVERIFY(std::holds_alternative<PreparedCheck>(prepared));
        CheckTransport transport;
        QSignalSpy finished(&transport, &CheckTransport::finished);
        QVERIFY(transport.start(std::get<PreparedCheck>(prepared)) && finished.wait(30000));
        const auto outcome = finished.at(0).at(0).value<CheckOutcome>();
        QVERIFY2(outcome.result && outcome.status.isEmpty(), qPrintable(outcome.status));
        QVERIFY2(outcome.result->quota.reason.startsWith(
                     QStringLiteral("Five-hour window 80% left (resets in 2 h 10 min), weekly window 90% left (resets in 3 d)")),
                 qPrintable(outcome.result->quota.reason));
        QVERIFY(outcome.result->taskPacket && outcome.result->taskPacket->contains(couple));
    }

    // Nothing of a task reaches the service's output, whatever happened to the request, and
    // terminated, it ends cleanly with nothing on its error output, where sanitizers report.
    void taskTextNeverWrittenCleanShutdown()
    {
        const QByteArray marker = "zebra-quartz-marker-1137";
        QCOMPARE(post("{\"task\":\"Fix " + marker + " in a.c\"}"), 200);
        post("{\"task\":\"" + marker + "\",");
        post("{\"task\":\"" + marker + "\"}", "text/plain");
        QVERIFY(service->stop(20000));
        QCOMPARE(service->process.exitCode(), 0);
        QCOMPARE(service->process.readAllStandardError(), QByteArray());
        QVERIFY2(!service->process.readAllStandardOutput().contains(marker), "the task was written out");
    }

    // A set-up it cannot serve with is a one-line error and exit code 1, not a crash or a hang:
    // a key file that holds no key (the last --key counts), a port already taken.
    void refusesToStart()
    {
        const QList<std::tuple<QStringList, quint16, QByteArray>> cases{
            {{"--key", TestHttpsServer::tlsFile("server.pem")}, 0, "no unencrypted PEM private key"},
            {{}, service->port, "cannot listen"}};
        for (const auto &[options, port, says] : cases) {
            ServiceProcess refused;
            QVERIFY(!refused.start(options, port));
            QVERIFY(refused.process.exitStatus() == QProcess::NormalExit && refused.process.exitCode() == 1);
            const QByteArray out = refused.process.readAllStandardOutput() + refused.process.readAllStandardError();
            QVERIFY2(out.contains(says), out.constData());
        }
    }
};

QTEST_GUILESS_MAIN(TestServiceHttp)
#include "test_service_http.moc"

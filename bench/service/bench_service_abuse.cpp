// Abusive clients for the check service, run beside normal load by bench/service/run.
// Loopback only, bounded in count and time:
//   bench_service_abuse PORT CA_FILE SECONDS SLOW OVERSIZE UNREAD
// SLOW connections drip one header byte a second (slowloris), OVERSIZE connections
// stream a body far past the limit as fast as the service takes it, UNREAD connections
// pipeline page requests and never read the answers. A connection the service closes is
// opened again until the time is up; the totals are printed at the end.
#include "AbusiveClients.h"

#include <QCoreApplication>
#include <QSslCertificate>

#include <cstdio>
#include <functional>

namespace {

struct Totals {
    qint64 connections = 0;
    qint64 closedByService = 0;
    qint64 bytesSent = 0;
    qint64 refusals = 0; // 413 answers read
};

Totals slow, oversize, unread;
quint16 port = 0;
QSslConfiguration tls;
bool stopping = false;

QSslSocket *open(Totals &totals, const std::function<void(QSslSocket *)> &onEncrypted,
                 const std::function<void()> &again)
{
    auto *socket = abuse::connectFrom(port, tls);
    ++totals.connections;
    QObject::connect(socket, &QSslSocket::encrypted, socket, [socket, onEncrypted] { onEncrypted(socket); });
    // Closed by the service, after the handshake or before it ended (the connection
    // limit, or a handshake that ran out of time): counted once, then opened again.
    const auto closed = [socket, &totals, again] {
        if (socket->property("closed").toBool())
            return;
        socket->setProperty("closed", true);
        ++totals.closedByService;
        socket->deleteLater();
        if (!stopping)
            QTimer::singleShot(20, again);
    };
    QObject::connect(socket, &QAbstractSocket::disconnected, socket, closed);
    QObject::connect(socket, &QAbstractSocket::errorOccurred, socket, [socket, closed](QAbstractSocket::SocketError) {
        if (socket->state() == QAbstractSocket::UnconnectedState)
            closed();
    });
    return socket;
}

// A body declared far past the limit and streamed as fast as the service takes it.
void flood(QSslSocket *socket, qint64 *sent)
{
    socket->write("POST /api/tessaline HTTP/1.1\r\nHost: localhost\r\nContent-Type: application/json\r\n"
                  "Content-Length: 1073741824\r\n\r\n{\"task\":\"");
    static const QByteArray chunk(64 * 1024, 'p');
    const auto refill = [socket, sent] {
        while (socket->state() == QAbstractSocket::ConnectedState && socket->bytesToWrite() + socket->encryptedBytesToWrite() < 2 * chunk.size())
            *sent += socket->write(chunk);
    };
    QObject::connect(socket, &QSslSocket::encryptedBytesWritten, socket, refill);
    refill();
}

void startSlow()
{
    open(slow, [](QSslSocket *socket) {
        socket->write("POST /api/tessaline HTTP/1.1\r\nHost: localhost\r\n");
        abuse::drip(socket, 1000, &slow.bytesSent);
    }, startSlow);
}

void startOversize()
{
    open(oversize, [](QSslSocket *socket) {
        flood(socket, &oversize.bytesSent);
        QObject::connect(socket, &QIODevice::readyRead, socket, [socket] {
            if (socket->readAll().startsWith("HTTP/1.1 413"))
                ++oversize.refusals;
        });
    }, startOversize);
}

void startUnread()
{
    open(unread, [](QSslSocket *socket) { unread.bytesSent += abuse::pipelineUnread(socket, 20000, 16 * 1024); }, startUnread);
}

void print(const char *name, const Totals &t)
{
    std::printf("%-9s connections %lld, closed by the service %lld, sent %lld KiB, 413 answers %lld\n", name,
                static_cast<long long>(t.connections), static_cast<long long>(t.closedByService),
                static_cast<long long>(t.bytesSent >> 10), static_cast<long long>(t.refusals));
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() != 7) {
        std::fprintf(stderr, "usage: bench_service_abuse PORT CA_FILE SECONDS SLOW OVERSIZE UNREAD\n");
        return 2;
    }
    port = args[1].toUShort();
    tls = QSslConfiguration::defaultConfiguration();
    tls.setCaCertificates(QSslCertificate::fromPath(args[2]));
    const int seconds = args[3].toInt();
    const int slowCount = qBound(0, args[4].toInt(), 1000);
    const int oversizeCount = qBound(0, args[5].toInt(), 100);
    const int unreadCount = qBound(0, args[6].toInt(), 100);

    for (int i = 0; i < slowCount; ++i)
        startSlow();
    for (int i = 0; i < oversizeCount; ++i)
        startOversize();
    for (int i = 0; i < unreadCount; ++i)
        startUnread();
    QTimer::singleShot(qBound(1, seconds, 600) * 1000, &app, [&app] {
        stopping = true;
        print("slowloris", slow);
        print("oversize", oversize);
        print("unread", unread);
        std::fflush(stdout);
        app.quit();
    });
    return app.exec();
}

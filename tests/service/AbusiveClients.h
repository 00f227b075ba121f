#pragma once

#include <QSslConfiguration>
#include <QSslSocket>
#include <QTimer>

// Clients that misuse the check service as an adversary would, on loopback: written once
// for test_service_http, which sets them one at a time against each limit, and for
// bench_service_abuse, which sets them by the hundred beside normal load.
namespace abuse {

// A TLS connection from `from`, another loopback address than the usual one where a test
// tries the limits per address. The caller owns the socket.
inline QSslSocket *connectFrom(quint16 port, const QSslConfiguration &tls, const QString &from = QStringLiteral("127.0.0.1"))
{
    auto *socket = new QSslSocket;
    socket->setSslConfiguration(tls);
    socket->bind(QHostAddress(from));
    socket->connectToHostEncrypted(QStringLiteral("127.0.0.1"), port);
    return socket;
}

// Slowloris: after what was sent, one more header byte every intervalMs, so the
// connection is never idle and its header fields never end.
inline void drip(QSslSocket *socket, int intervalMs, qint64 *sent = nullptr)
{
    auto *timer = new QTimer(socket);
    QObject::connect(timer, &QTimer::timeout, socket, [socket, sent] {
        if (socket->write("X") == 1 && sent)
            ++*sent;
    });
    timer->start(intervalMs);
}

// Pipelines `count` requests for the page's script, each with padBytes of a header field
// besides, and reads none of the answers: they stay in the network once the socket's
// read buffer of bufferBytes is full.
inline qint64 pipelineUnread(QSslSocket *socket, int count, qint64 bufferBytes, int padBytes = 0)
{
    socket->setReadBufferSize(bufferBytes);
    const QByteArray pad = padBytes > 0 ? "X-Pad: " + QByteArray(padBytes, 'p') + "\r\n" : QByteArray();
    return socket->write(("GET /tessaline/check.js HTTP/1.1\r\nHost: localhost\r\n" + pad + "\r\n").repeated(count));
}

} // namespace abuse

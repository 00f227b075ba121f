#pragma once

#include "service/CheckRequest.h"

#include <QAbstractHttpServer>
#include <QHash>
#include <QHostAddress>

#include <atomic>
#include <chrono>
#include <memory>

class QSslConfiguration;
class QSslServer;
class QSslSocket;

namespace tessaline {

class ConnectionGuard;

// How many connections the service holds open at once, shared by every server of one
// process (one per worker thread).
struct ConnectionBudget {
    explicit ConnectionBudget(int max) : max(max) {}
    const int max;
    std::atomic<int> open{0};
};

// The check service's HTTP layer: the check endpoint and the web checker page. It keeps
// no state between requests and writes no request content anywhere.
//
// Every connection is watched from before the HTTP module reads from it, so that what
// one client can make the service hold stays bounded: the bytes of one request, the
// answers it has not read, and the number of connections.
class CheckServer : public QAbstractHttpServer {
    Q_OBJECT

public:
    explicit CheckServer(QObject *parent = nullptr);
    ~CheckServer() override;

    // listen() with the guards below. Needs sslSetup() first. Returns the port, 0 on
    // failure.
    quint16 listenGuarded(const QHostAddress &address, quint16 port);

    // The same guards on a socket that already listens, which several servers (one per
    // thread) may each hold a duplicate of. Takes ownership of the descriptor on success.
    bool listenOn(const QSslConfiguration &tls, qintptr listeningSocket);

    // Room for the request line and headers on top of the largest accepted body.
    static constexpr qint64 maxHeaderBytes = 16 * 1024;
    // Bytes one request may send before the connection is answered 413 and closed.
    static constexpr qint64 maxRequestBytes = CheckRequest::maxBodyBytes + maxHeaderBytes;
    // What a connection reads ahead of the HTTP module, at most: one whole request and a
    // few TLS records more, so that a request over the limit is seen before the buffer
    // fills.
    static constexpr qint64 readBufferBytes = maxRequestBytes + 64 * 1024;
    // Answers waiting for a client that does not read them; past this the connection's
    // further requests are not read until the client catches up.
    static constexpr qint64 maxUnsentBytes = 256 * 1024;

    // Time a connection gets for each whole request, counted from the connection or from
    // the answer before.
    void setRequestTimeout(std::chrono::milliseconds timeout) { requestTimeout = timeout; }
    static constexpr std::chrono::milliseconds defaultRequestTimeout{30000};

    // Connections beyond the budget are closed as they arrive. Without one, each server
    // has its own of defaultMaxConnections.
    void setConnectionBudget(std::shared_ptr<ConnectionBudget> shared) { budget = std::move(shared); }
    static constexpr int defaultMaxConnections = 256;

    static constexpr const char *apiPath = "/api/tessaline";
    static constexpr const char *pagePath = "/tessaline/check";

private:
    std::chrono::milliseconds requestTimeout = defaultRequestTimeout;
    std::shared_ptr<ConnectionBudget> budget = std::make_shared<ConnectionBudget>(defaultMaxConnections);
    QHash<QTcpSocket *, ConnectionGuard *> guards;

    void watch(QSslServer *server);
    void guard(QSslSocket *socket);
    bool route(const QHttpServerRequest &request, QTcpSocket *socket);
    void answered(QTcpSocket *socket);

    friend class ConnectionGuard;

protected:
    bool handleRequest(const QHttpServerRequest &request, QTcpSocket *socket) override;
    void missingHandler(const QHttpServerRequest &request, QTcpSocket *socket) override;
};

} // namespace tessaline

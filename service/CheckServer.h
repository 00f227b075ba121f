#pragma once

#include <QAbstractHttpServer>
#include <QHostAddress>

#include <chrono>

class QSslConfiguration;
class QSslServer;
class QSslSocket;

namespace tessaline {

// The check service's HTTP layer: the check endpoint and the web checker page. It keeps
// no state between requests and writes no request content anywhere.
class CheckServer : public QAbstractHttpServer {
    Q_OBJECT

public:
    explicit CheckServer(QObject *parent = nullptr);

    // listen() with a limit on what one request may send: the HTTP module buffers a
    // whole request before handing it over, so without this a single client could make
    // the service hold any amount of memory. Needs sslSetup() first. Returns the port, 0
    // on failure.
    quint16 listenGuarded(const QHostAddress &address, quint16 port);

    // The same guard on a socket that already listens, which several servers (one per
    // thread) may each hold a duplicate of. Takes ownership of the descriptor on success.
    bool listenOn(const QSslConfiguration &tls, qintptr listeningSocket);

    // Bytes one request may send before the connection is answered 413 and closed: the
    // largest accepted body plus room for the request line and headers.
    static constexpr qint64 maxRequestBytes = 64 * 1024 + 16 * 1024;

    // Time a connection gets for each whole request, counted from the connection or from
    // the end of the request before.
    void setRequestTimeout(std::chrono::milliseconds timeout) { requestTimeout = timeout; }
    static constexpr std::chrono::milliseconds defaultRequestTimeout{30000};

    static constexpr const char *apiPath = "/api/tessaline";
    static constexpr const char *pagePath = "/tessaline/check";

private:
    std::chrono::milliseconds requestTimeout = defaultRequestTimeout;

    void watch(QSslServer *server);
    void guard(QSslSocket *socket);

protected:
    bool handleRequest(const QHttpServerRequest &request, QTcpSocket *socket) override;
    void missingHandler(const QHttpServerRequest &request, QTcpSocket *socket) override;
};

} // namespace tessaline

#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QPair>
#include <QSslCertificate>
#include <QSslServer>
#include <QString>

#include <functional>

// An HTTPS server on 127.0.0.1 for tests. Its certificate (for localhost and 127.0.0.1)
// is signed by the test authority in tests/fixtures/tls; clients that trust
// TestHttpsServer::authority() connect, others fail the handshake. One request per
// connection; every request is recorded before it is answered.
class TestHttpsServer : public QObject {
    Q_OBJECT

public:
    struct Request {
        QByteArray method;
        QByteArray target; // path and query as sent
        QList<QPair<QByteArray, QByteArray>> headers;
        QByteArray body;

        // First header of that name, compared without regard to case.
        QByteArray header(const QByteArray &name) const;
    };

    struct Response {
        int status = 200;
        QList<QPair<QByteArray, QByteArray>> headers;
        QByteArray body;
        bool stall = false;  // read the request, then never answer
        QByteArray raw;      // when set, written verbatim instead of a built answer
        int trickleMs = 0;   // when set, the body follows the head one byte every trickleMs

        static Response json(int status, const QByteArray &body);
        static Response redirect(int status, const QByteArray &location);
    };

    using Handler = std::function<Response(const Request &)>;

    explicit TestHttpsServer(QObject *parent = nullptr);

    // Listens on 127.0.0.1 on a free port. False (with a test warning) on failure.
    bool listen();
    quint16 port() const { return server.serverPort(); }
    // "127.0.0.1:PORT", or "localhost:PORT".
    QString host() const;
    QString localhostHost() const;

    void setHandler(Handler handler) { this->handler = std::move(handler); }
    void respondWith(const Response &response);

    const QList<Request> &requests() const { return received; }

    // The authority that signed the server certificate.
    static QSslCertificate authority();

Q_SIGNALS:
    void requestReceived();

private:
    void accept();
    void serve(QSslSocket *socket);

    QSslServer server;
    Handler handler;
    QList<Request> received;
};

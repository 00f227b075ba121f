#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QPair>
#include <QSslCertificate>
#include <QSslServer>
#include <QString>

#include <functional>

// An HTTPS server on 127.0.0.1 for tests. Its certificate (for localhost, 127.0.0.1 and
// ::1) is signed by the one test authority, in tests/fixtures/tls, which the service's
// tests use too; clients that trust TestHttpsServer::authority() connect, others fail the
// handshake. One request per connection; every request is recorded before it is answered.
// The files were made by `scripts/make-certs tests/fixtures/tls 36500`, which deletes the
// authority's key: nothing else can be issued under it.
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
        bool stall = false; // read the request, then never answer
        int trickleMs = 0;  // when set, the body follows the head one byte every trickleMs

        static Response json(int status, const QByteArray &body) { return {status, {{"Content-Type", "application/json"}}, body}; }
        static Response redirect(int status, const QByteArray &location) { return {status, {{"Location", location}}, {}}; }
    };

    using Handler = std::function<Response(const Request &)>;

    explicit TestHttpsServer(QObject *parent = nullptr);

    // Listens on 127.0.0.1 on a free port. False (with a test warning) on failure.
    bool listen();
    QString host() const { return QStringLiteral("127.0.0.1:%1").arg(server.serverPort()); }

    void setHandler(Handler handler) { this->handler = std::move(handler); }
    void respondWith(const Response &response)
    {
        handler = [response](const Request &) { return response; };
    }

    const QList<Request> &requests() const { return received; }

    // The authority that signed the server certificate.
    static QSslCertificate authority();
    // The path of one of the test authority's files: ca.pem, server.pem or server.key.
    static QString tlsFile(const char *name);

Q_SIGNALS:
    void requestReceived();

private:
    void accept();
    void serve(QSslSocket *socket);

    QSslServer server;
    Handler handler;
    QList<Request> received;
};

#include "service/CheckServer.h"

#include "service/CheckRequest.h"
#include "service/TaskLinter.h"

#include <QFile>
#include <QSslConfiguration>
#include <QSslServer>
#include <QSslSocket>
#include <QTimer>
#include <QHttpServerRequest>
#include <QHttpServerResponder>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>

namespace tessaline {

namespace {

using Status = QHttpServerResponder::StatusCode;

Status statusFor(int code)
{
    switch (code) {
    case 404: return Status::NotFound;
    case 405: return Status::MethodNotAllowed;
    case 413: return Status::PayloadTooLarge;
    case 415: return Status::UnsupportedMediaType;
    case 422: return Status::UnprocessableEntity;
    default: return Status::BadRequest;
    }
}

void writeJson(QHttpServerResponder &responder, const QJsonObject &object, Status status)
{
    responder.write(QJsonDocument(object).toJson(QJsonDocument::Compact),
                    {{"Content-Type", "application/json"},
                     {"Cache-Control", "no-store"},
                     {"X-Content-Type-Options", "nosniff"}},
                    status);
}

void writeError(QHttpServerResponder &responder, int code, const QString &message)
{
    writeJson(responder, QJsonObject{{QStringLiteral("error"), message}}, statusFor(code));
}

QByteArray header(const QHttpServerRequest &request, const QByteArray &name)
{
    for (const auto &h : request.headers())
        if (h.first.compare(name, Qt::CaseInsensitive) == 0)
            return h.second;
    return {};
}

struct Asset {
    const char *path;
    const char *resource;
    const char *mimeType;
};

constexpr Asset assets[] = {
    {"/tessaline/check", ":/tessaline/web/check.html", "text/html; charset=utf-8"},
    {"/tessaline/check.css", ":/tessaline/web/check.css", "text/css; charset=utf-8"},
    {"/tessaline/check.js", ":/tessaline/web/check.js", "text/javascript; charset=utf-8"},
};

// The page talks only to this service and runs only its own script.
constexpr const char *pagePolicy =
    "default-src 'none'; script-src 'self'; style-src 'self'; connect-src 'self'; img-src 'self' data:; "
    "base-uri 'none'; form-action 'none'; frame-ancestors 'none'";

void serveCheck(const QHttpServerRequest &request, QHttpServerResponder &responder)
{
    const QByteArray type = header(request, "Content-Type");
    const qsizetype semicolon = type.indexOf(';');
    const QByteArray mime = (semicolon < 0 ? type : type.left(semicolon)).trimmed().toLower();
    if (mime != "application/json") {
        writeError(responder, 415, QStringLiteral("Send the request as application/json."));
        return;
    }
    const Expected<CheckRequest> parsed = CheckRequest::decode(request.body());
    if (!parsed) {
        writeError(responder, parsed.error().code, parsed.error().message);
        return;
    }
    writeJson(responder, TaskLinter::assess(*parsed).toJson(), Status::Ok);
}

} // namespace

// One connection's watch, from before the HTTP module reads anything until the socket
// goes away. Its read handler runs ahead of the module's on every readyRead.
class ConnectionGuard : public QObject {
public:
    ConnectionGuard(CheckServer *owner, QSslSocket *socket, std::shared_ptr<ConnectionBudget> budget)
        : QObject(socket), server(owner), socket(socket), budget(std::move(budget))
    {
        // A connection that does not deliver a whole request in time is closed, so
        // clients that connect and stay silent, or send a byte now and then, cannot keep
        // the service's connections.
        deadline.setSingleShot(true);
        deadline.setInterval(owner->requestTimeout);
        connect(&deadline, &QTimer::timeout, socket, &QAbstractSocket::abort);
        deadline.start();
        drain.setInterval(20);
        connect(&drain, &QTimer::timeout, this, &ConnectionGuard::checkDrained);
        // Reading stops here instead of growing without bound when the module is slower
        // than the client, or when the connection is held back (see throttle()).
        socket->setReadBufferSize(CheckServer::readBufferBytes);
        connect(socket, &QIODevice::readyRead, this, &ConnectionGuard::beforeModuleReads);
    }

    ~ConnectionGuard() override
    {
        budget->open.fetch_sub(1);
        if (server)
            server->guards.remove(socket);
    }

    // The server is going away before its sockets: signals must flow again so that
    // the sockets' own clean-up runs when they are deleted.
    void detach()
    {
        server = nullptr;
        socket->blockSignals(false);
    }

    // A request was answered: what is left unread starts the next one, which gets the
    // full time to arrive.
    void answered()
    {
        received = counted = socket->bytesAvailable();
        deadline.start();
        if (unsent() > CheckServer::maxUnsentBytes)
            throttle();
        else
            resumeLater();
    }

private:
    CheckServer *server;
    QSslSocket *socket;
    std::shared_ptr<ConnectionBudget> budget;
    QTimer deadline;
    QTimer drain;
    QTimer quiet;
    qint64 received = 0; // bytes of the current request so far
    qint64 counted = 0;  // of the bytes still unread, those already in `received`
    bool refused = false;
    bool throttled = false;
    bool resumeQueued = false;

    qint64 unsent() const { return socket->bytesToWrite() + socket->encryptedBytesToWrite(); }

    void beforeModuleReads()
    {
        if (refused) {
            socket->skip(socket->bytesAvailable());
            quiet.start();
            return;
        }
        // The module reads each request inside a socket transaction that keeps every
        // byte it has read buffered until the request is whole. It keeps its own copy
        // and never rolls back, so let the socket free what has been read.
        if (socket->isTransactionStarted())
            socket->commitTransaction();
        const qint64 unread = socket->bytesAvailable();
        received += std::max<qint64>(0, unread - counted);
        counted = 0; // the module reads all it can of one request now
        if (received > CheckServer::maxRequestBytes)
            refuse();
    }

    void refuse()
    {
        refused = true;
        // The module stops reading this connection; what still arrives is dropped as it
        // comes (see above), so nothing of it is held.
        QObject::disconnect(socket, &QIODevice::readyRead, server, nullptr);
        if (socket->isTransactionStarted())
            socket->commitTransaction();
        socket->skip(socket->bytesAvailable());
        const QByteArray body = QJsonDocument(QJsonObject{
            {QStringLiteral("error"), QStringLiteral("The request body is larger than %1.").arg(bodyLimitText())}})
                                    .toJson(QJsonDocument::Compact);
        socket->write("HTTP/1.1 413 Payload Too Large\r\nContent-Type: application/json\r\nConnection: close\r\n"
                      "Content-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body);
        // Closing at once would reset the connection under a client still sending, and it
        // would never read the answer: keep discarding until the client has been quiet
        // for a second, or for ten seconds at most, then close.
        quiet.setSingleShot(true);
        quiet.setInterval(1000);
        connect(&quiet, &QTimer::timeout, socket, [s = socket] { s->disconnectFromHost(); });
        quiet.start();
        QTimer::singleShot(10000, socket, [s = socket] { s->disconnectFromHost(); });
    }

    // A client that sends requests without reading the answers gets no more of them
    // read: the socket's signals, the module's only trigger, are held back until the
    // answers drain. Reading from the network stops once the read buffer is full, so the
    // client's own sends block.
    void throttle()
    {
        throttled = true;
        socket->blockSignals(true);
        drain.start();
    }

    void checkDrained()
    {
        if (socket->state() == QAbstractSocket::UnconnectedState) {
            // Its disconnected signal was held back: do the module's clean-up for it.
            drain.stop();
            socket->blockSignals(false);
            socket->deleteLater();
            return;
        }
        if (unsent() > CheckServer::maxUnsentBytes / 2)
            return;
        drain.stop();
        throttled = false;
        socket->blockSignals(false);
        resumeLater();
    }

    // The module takes one request per readyRead; requests that came in together with
    // the one answered would wait for the client's next bytes without this.
    void resumeLater()
    {
        if (resumeQueued || socket->bytesAvailable() == 0)
            return;
        resumeQueued = true;
        QMetaObject::invokeMethod(this, [this] {
            resumeQueued = false;
            if (!refused && !throttled && socket->bytesAvailable() > 0
                && socket->state() == QAbstractSocket::ConnectedState)
                Q_EMIT socket->readyRead();
        }, Qt::QueuedConnection);
    }
};

CheckServer::CheckServer(QObject *parent) : QAbstractHttpServer(parent) {}

CheckServer::~CheckServer()
{
    for (ConnectionGuard *g : std::as_const(guards))
        g->detach();
    guards.clear();
}

quint16 CheckServer::listenGuarded(const QHostAddress &address, quint16 port)
{
    const quint16 bound = listen(address, port);
    if (bound == 0)
        return 0;
    for (QTcpServer *server : servers()) {
        auto *tls = qobject_cast<QSslServer *>(server);
        if (!tls)
            return 0; // a plain listener would be unguarded, and the service is TLS only
        watch(tls);
    }
    return bound;
}

bool CheckServer::listenOn(const QSslConfiguration &tls, qintptr listeningSocket)
{
    auto *server = new QSslServer(this);
    server->setSslConfiguration(tls);
    if (!server->setSocketDescriptor(listeningSocket)) {
        delete server;
        return false;
    }
    watch(server);
    bind(server);
    return true;
}

void CheckServer::watch(QSslServer *server)
{
    // This fires before the HTTP module sees the socket, so the guard's read handler is
    // connected first and runs before the module reads anything.
    connect(server, &QSslServer::startedEncryptionHandshake, this, &CheckServer::guard);
}

void CheckServer::guard(QSslSocket *socket)
{
    if (budget->open.fetch_add(1) >= budget->max) {
        budget->open.fetch_sub(1);
        socket->abort();
        socket->deleteLater();
        return;
    }
    guards.insert(socket, new ConnectionGuard(this, socket, budget));
}

void CheckServer::answered(QTcpSocket *socket)
{
    if (ConnectionGuard *g = guards.value(socket))
        g->answered();
}

bool CheckServer::handleRequest(const QHttpServerRequest &request, QTcpSocket *socket)
{
    const bool handled = route(request, socket);
    if (handled)
        answered(socket);
    return handled;
}

bool CheckServer::route(const QHttpServerRequest &request, QTcpSocket *socket)
{
    const QString path = request.url().path();
    QHttpServerResponder responder = makeResponder(request, socket);
    const auto method = request.method();

    if (path == QLatin1String(apiPath)) {
        if (method != QHttpServerRequest::Method::Post) {
            responder.write(QJsonDocument(QJsonObject{{QStringLiteral("error"), QStringLiteral("Use POST for a task check.")}})
                                .toJson(QJsonDocument::Compact),
                            {{"Content-Type", "application/json"}, {"Allow", "POST"}, {"Cache-Control", "no-store"}},
                            Status::MethodNotAllowed);
            return true;
        }
        serveCheck(request, responder);
        return true;
    }

    for (const Asset &asset : assets) {
        if (path != QLatin1String(asset.path))
            continue;
        if (method != QHttpServerRequest::Method::Get) {
            responder.write(QByteArray("Use GET for this page.\n"),
                            {{"Content-Type", "text/plain; charset=utf-8"}, {"Allow", "GET"}}, Status::MethodNotAllowed);
            return true;
        }
        QFile file(QString::fromLatin1(asset.resource));
        const bool opened = file.open(QIODevice::ReadOnly);
        Q_ASSERT(opened);
        Q_UNUSED(opened);
        responder.write(file.readAll(),
                        {{"Content-Type", asset.mimeType},
                         {"Content-Security-Policy", pagePolicy},
                         {"X-Content-Type-Options", "nosniff"},
                         {"Referrer-Policy", "no-referrer"},
                         {"Cache-Control", "no-cache"}},
                        Status::Ok);
        return true;
    }
    return false;
}

void CheckServer::missingHandler(const QHttpServerRequest &request, QTcpSocket *socket)
{
    {
        QHttpServerResponder responder = makeResponder(request, socket);
        writeError(responder, 404, QStringLiteral("There is nothing at this address."));
    }
    answered(socket);
}

} // namespace tessaline

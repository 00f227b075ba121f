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
    if (!type.isEmpty() && mime != "application/json") {
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

// Counts what the current request on a connection has sent so far.
constexpr const char *receivedProperty = "tessalineReceived";
constexpr const char *refusedProperty = "tessalineRefused";

constexpr const char *deadlineName = "tessalineRequestDeadline";

// Called whenever a request has been read whole: the next one starts from nothing and
// gets the full time to arrive.
void resetReceived(QTcpSocket *socket)
{
    socket->setProperty(receivedProperty, qint64(0));
    if (auto *deadline = socket->findChild<QTimer *>(QLatin1String(deadlineName), Qt::FindDirectChildrenOnly))
        deadline->start();
}

} // namespace

CheckServer::CheckServer(QObject *parent) : QAbstractHttpServer(parent) {}

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
    // A connection that does not deliver a whole request in time is closed, so clients
    // that connect and stay silent, or send a byte now and then, cannot use up the
    // service's connections.
    auto *deadline = new QTimer(socket);
    deadline->setObjectName(QLatin1String(deadlineName));
    deadline->setSingleShot(true);
    deadline->setInterval(requestTimeout);
    connect(deadline, &QTimer::timeout, socket, [socket] { socket->abort(); });
    resetReceived(socket);
    connect(socket, &QIODevice::readyRead, this, [socket] {
        const qint64 received = socket->property(receivedProperty).toLongLong() + socket->bytesAvailable();
        socket->setProperty(receivedProperty, received);
        if (received <= maxRequestBytes)
            return;
        // Drop what came in, so the HTTP module has nothing to buffer, and answer once.
        socket->skip(socket->bytesAvailable());
        if (socket->property(refusedProperty).toBool())
            return;
        socket->setProperty(refusedProperty, true);
        const QByteArray body = R"({"error":"The request body is larger than 64 KiB."})";
        socket->write("HTTP/1.1 413 Payload Too Large\r\nContent-Type: application/json\r\nConnection: close\r\n"
                      "Content-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body);
        // Closing at once would reset the connection under a client still sending, and it
        // would never read the answer; keep discarding for a moment, then close.
        QTimer::singleShot(1000, socket, [socket] { socket->disconnectFromHost(); });
    });
}

bool CheckServer::handleRequest(const QHttpServerRequest &request, QTcpSocket *socket)
{
    resetReceived(socket);
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
    resetReceived(socket);
    QHttpServerResponder responder = makeResponder(request, socket);
    writeError(responder, 404, QStringLiteral("There is nothing at this address."));
}

} // namespace tessaline

#include "check/CheckTransport.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSslConfiguration>

namespace tessaline {

namespace {

constexpr qint64 readChunkBytes = 64 * 1024;

bool sameOrigin(const QUrl &a, const QUrl &b)
{
    return a.scheme() == b.scheme() && a.host() == b.host() && a.port(443) == b.port(443);
}

// Failures of the connection itself, as opposed to a server that answered badly.
bool isTransportError(QNetworkReply::NetworkError error, bool answered)
{
    switch (error) {
    case QNetworkReply::NoError:
        return false;
    // A redirect loop is the service misbehaving, not the network.
    case QNetworkReply::TooManyRedirectsError:
    case QNetworkReply::InsecureRedirectError:
        return false;
    default:
        break;
    }
    // Connection, TLS, time-out, cancellation and proxy failures, even after a status
    // line (a connection dropped mid-answer); content and server errors only when no
    // HTTP answer came at all.
    if (error < QNetworkReply::ContentAccessDenied)
        return true;
    return !answered;
}

} // namespace

CheckTransport::CheckTransport(QObject *parent) : QObject(parent) {}

CheckTransport::~CheckTransport()
{
    if (reply) {
        // Nobody is left to hear the outcome.
        disconnect(reply, nullptr, this, nullptr);
        reply->abort();
    }
}

bool CheckTransport::start(const PreparedCheck &check)
{
    if (started)
        return false;
    started = true;
    origin = check.url;
    host = check.endpoint.host;

    // Fresh per check: an in-memory cookie jar that dies with it, no cache at all.
    manager = new QNetworkAccessManager(this);

    QNetworkRequest request(check.url);
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/json"));
    request.setRawHeader(QByteArrayLiteral("Accept"), QByteArrayLiteral("application/json"));
    request.setTransferTimeout(int(transferTimeout.count()));
    // Redirects are judged one by one so the description never leaves the origin.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::UserVerifiedRedirectPolicy);
    request.setMaximumRedirectsAllowed(maxRedirects);

    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    tls.setPeerVerifyMode(QSslSocket::VerifyPeer);
    if (!check.endpoint.extraAuthorities.isEmpty())
        tls.addCaCertificates(check.endpoint.extraAuthorities);
    request.setSslConfiguration(tls);

    reply = manager->post(request, check.body);
    // Bounds what Qt buffers ahead of us, so the body limit also bounds memory.
    reply->setReadBufferSize(readChunkBytes);
    connect(reply, &QNetworkReply::readyRead, this, &CheckTransport::drain);
    connect(reply, &QNetworkReply::redirected, this, &CheckTransport::onRedirected);
    connect(reply, &QNetworkReply::finished, this, &CheckTransport::onFinished);
    return true;
}

void CheckTransport::cancel()
{
    if (reply && reply->isRunning())
        reply->abort();
}

void CheckTransport::drain()
{
    if (!reply || refused)
        return;
    while (reply->bytesAvailable() > 0) {
        const qint64 room = maxBodyBytes - body.size();
        // Ask for one byte past the limit to tell "exactly at" from "over".
        body += reply->read(std::min(room + 1, readChunkBytes));
        if (body.size() > maxBodyBytes) {
            refused = true;
            body.clear();
            reply->abort();
            return;
        }
    }
}

void CheckTransport::onRedirected(const QUrl &target)
{
    if (!reply || refused)
        return;
    if (!sameOrigin(origin, target)) {
        refused = true;
        reply->abort();
        return;
    }
    body.clear();
    Q_EMIT reply->redirectAllowed();
}

CheckReply CheckTransport::collect()
{
    CheckReply result;
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (status.isValid())
        result.httpStatus = status.toInt();
    if (refused)
        return result; // judged unavailable: a status, maybe, but no body
    drain();
    if (refused)
        return result;
    if (isTransportError(reply->error(), result.httpStatus.has_value())) {
        result.error = reply->errorString();
        return result;
    }
    result.body = body;
    return result;
}

void CheckTransport::onFinished()
{
    if (!reply)
        return;
    const CheckReply collected = collect();
    disconnect(reply, nullptr, this, nullptr);
    reply->deleteLater();
    reply = nullptr;
    manager->deleteLater();
    manager = nullptr;
    body.clear();

    // Queued, so the completion never runs inside start() or cancel(), and never after
    // the transport is gone.
    const CheckOutcome outcome = interpret(collected, host);
    QMetaObject::invokeMethod(
        this,
        [this, outcome] {
            delivered = true;
            Q_EMIT finished(outcome);
        },
        Qt::QueuedConnection);
}

CheckOutcome CheckTransport::interpret(const CheckReply &reply, const QString &host)
{
    CheckOutcome outcome;
    outcome.reply = reply;
    if (reply.error) {
        outcome.status = QStringLiteral("The check could not reach ") + host + QLatin1Char('.');
        return outcome;
    }
    if (reply.httpStatus == 200 && reply.body) {
        Expected<TaskLintResult> decoded = TaskLintResult::decode(*reply.body);
        if (decoded) {
            outcome.result = std::move(decoded).value();
            return outcome;
        }
    }
    outcome.status = QStringLiteral("The check is unavailable right now. Try again shortly.");
    return outcome;
}

} // namespace tessaline

#include "check/CheckTransport.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSslConfiguration>
#include <QTimer>

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
    if (error == QNetworkReply::NoError)
        return false;
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
    payload = check.body;

    // Fresh per check: an in-memory cookie jar that dies with it, no cache at all.
    manager = new QNetworkAccessManager(this);

    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    tls.setPeerVerifyMode(QSslSocket::VerifyPeer);
    if (!check.endpoint.extraAuthorities.isEmpty())
        tls.addCaCertificates(check.endpoint.extraAuthorities);
    tlsConfiguration = tls;

    // Aborting ends the reply as cancelled, which is reported as a transport failure.
    deadlineTimer = new QTimer(this);
    deadlineTimer->setSingleShot(true);
    connect(deadlineTimer, &QTimer::timeout, this, [this] {
        if (reply && reply->isRunning())
            reply->abort();
    });
    deadlineTimer->start(deadline);

    send(check.url, true);
    return true;
}

void CheckTransport::send(const QUrl &url, bool post)
{
    QNetworkRequest request(url);
    request.setRawHeader(QByteArrayLiteral("Accept"), QByteArrayLiteral("application/json"));
    request.setTransferTimeout(int(transferTimeout.count()));
    // Redirects are followed here, one by one, so the description never leaves the
    // origin (Qt's own redirect handling also fails after two hops that re-send a body).
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    request.setSslConfiguration(tlsConfiguration);
    if (post) {
        request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/json"));
        reply = manager->post(request, payload);
    } else {
        reply = manager->get(request);
    }
    // Bounds what Qt buffers ahead of us, so the body limit also bounds memory.
    reply->setReadBufferSize(readChunkBytes);
    connect(reply, &QNetworkReply::readyRead, this, &CheckTransport::drain);
    connect(reply, &QNetworkReply::finished, this, &CheckTransport::onFinished);
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

std::optional<QUrl> CheckTransport::redirectTarget() const
{
    if (refused || reply->error() != QNetworkReply::NoError)
        return std::nullopt;
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (status != 301 && status != 302 && status != 303 && status != 307 && status != 308)
        return std::nullopt;
    const QByteArray location = reply->rawHeader(QByteArrayLiteral("Location"));
    if (location.isEmpty())
        return std::nullopt;
    return reply->url().resolved(QUrl::fromEncoded(location));
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
    if (const std::optional<QUrl> target = redirectTarget()) {
        if (!sameOrigin(origin, *target) || redirects >= maxRedirects) {
            refused = true;
        } else {
            ++redirects;
            // 307 and 308 repeat the request as it was; the others continue with a GET,
            // as every HTTP client does.
            const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
            disconnect(reply, nullptr, this, nullptr);
            reply->deleteLater();
            body.clear();
            send(*target, status == 307 || status == 308);
            return;
        }
    }

    const CheckReply collected = collect();
    deadlineTimer->stop();
    disconnect(reply, nullptr, this, nullptr);
    reply->deleteLater();
    reply = nullptr;
    manager->deleteLater();
    manager = nullptr;
    body.clear();
    payload.clear();

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

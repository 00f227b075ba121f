#include "service/CheckServer.h"

#include "service/CheckRequest.h"
#include "service/HttpRequestParser.h"
#include "service/TaskLinter.h"

#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSslSocket>
#include <QTcpServer>
#include <QTimer>

#include <sys/socket.h>
#include <unistd.h>

#include <ctime>

namespace tessaline {

// ---------------------------------------------------------------- admission

QHostAddress Admission::key(const QHostAddress &peer)
{
    bool isV4 = false;
    const quint32 v4 = peer.toIPv4Address(&isV4);
    if (isV4)
        return QHostAddress(v4);
    Q_IPV6ADDR v6 = peer.toIPv6Address();
    for (int i = 8; i < 16; ++i)
        v6[i] = 0;
    return QHostAddress(v6);
}

Admission::Verdict Admission::arrive(const QHostAddress &peer)
{
    const std::lock_guard lock(mutex);
    PerAddress &a = addresses[key(peer)];
    Verdict verdict = Verdict::Drop;
    if (a.handshakes >= limits.maxHandshakesPerAddress)
        verdict = Verdict::Drop;
    else if (open < limits.maxConnections && a.connections < limits.maxConnectionsPerAddress)
        verdict = Verdict::Serve;
    else if (refusing < maxRefusing())
        verdict = Verdict::Refuse;
    switch (verdict) {
    case Verdict::Serve:
        ++open;
        ++a.connections;
        ++a.handshakes;
        break;
    case Verdict::Refuse:
        ++refusing;
        ++a.handshakes;
        break;
    case Verdict::Drop:
        if (a.connections == 0 && a.handshakes == 0)
            addresses.remove(key(peer));
        break;
    }
    return verdict;
}

void Admission::handshakeDone(const QHostAddress &peer)
{
    const std::lock_guard lock(mutex);
    --addresses[key(peer)].handshakes;
}

void Admission::leave(const QHostAddress &peer, Verdict verdict, bool stillHandshaking)
{
    const std::lock_guard lock(mutex);
    const QHostAddress k = key(peer);
    PerAddress &a = addresses[k];
    if (stillHandshaking)
        --a.handshakes;
    if (verdict == Verdict::Serve) {
        --open;
        --a.connections;
    } else if (verdict == Verdict::Refuse) {
        --refusing;
    }
    if (a.connections == 0 && a.handshakes == 0)
        addresses.remove(k);
}

// ---------------------------------------------------------------- answers

namespace {

const char *reasonPhrase(int status)
{
    switch (status) {
    case 100: return "Continue";
    case 200: return "OK";
    case 400: return "Bad Request";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 408: return "Request Timeout";
    case 413: return "Content Too Large";
    case 415: return "Unsupported Media Type";
    case 417: return "Expectation Failed";
    case 422: return "Unprocessable Content";
    case 431: return "Request Header Fields Too Large";
    case 501: return "Not Implemented";
    case 503: return "Service Unavailable";
    case 505: return "HTTP Version Not Supported";
    default: return "Error";
    }
}

// The Date field, formatted once a second per thread.
const QByteArray &httpDate()
{
    thread_local std::time_t last = 0;
    thread_local QByteArray text;
    const std::time_t now = std::time(nullptr);
    if (now != last) {
        last = now;
        std::tm t{};
        gmtime_r(&now, &t);
        static const char *const days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
        static const char *const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                             "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
        char buffer[40];
        std::snprintf(buffer, sizeof buffer, "%s, %02d %s %04d %02d:%02d:%02d GMT", days[t.tm_wday], t.tm_mday,
                      months[t.tm_mon], t.tm_year + 1900, t.tm_hour, t.tm_min, t.tm_sec);
        text = buffer;
    }
    return text;
}

struct Answer {
    int status = 200;
    QByteArray fields; // complete field lines, without Date, Content-Length and Connection
    QByteArray body;
};

Answer json(int status, const QJsonObject &object, const QByteArray &extra = {})
{
    return {status,
            "Content-Type: application/json\r\nCache-Control: no-store\r\nX-Content-Type-Options: nosniff\r\n" + extra,
            QJsonDocument(object).toJson(QJsonDocument::Compact)};
}

Answer error(int status, const QString &message, const QByteArray &extra = {})
{
    return json(status, QJsonObject{{QStringLiteral("error"), message}}, extra);
}

Answer errorFor(int status)
{
    switch (status) {
    case 408: return error(408, QStringLiteral("The request did not arrive in time."));
    case 413: return error(413, QStringLiteral("The request body is larger than %1.").arg(bodyLimitText()));
    case 417: return error(417, QStringLiteral("Only \"Expect: 100-continue\" is understood."));
    case 431: return error(431, QStringLiteral("The request line and header fields are too large."));
    case 501: return error(501, QStringLiteral("Only the chunked transfer coding is understood."));
    case 505: return error(505, QStringLiteral("Use HTTP/1.1."));
    default: return error(400, QStringLiteral("The request is not well-formed HTTP/1.1."));
    }
}

// The page talks only to this service and runs only its own script.
constexpr const char *pagePolicy =
    "default-src 'none'; script-src 'self'; style-src 'self'; connect-src 'self'; img-src 'self' data:; "
    "base-uri 'none'; form-action 'none'; frame-ancestors 'none'";

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

// The page's files, read once: serving one is a copy of bytes ready to send.
struct LoadedAsset {
    QByteArray path;
    Answer answer;
};

const QList<LoadedAsset> &loadedAssets()
{
    static const QList<LoadedAsset> loaded = [] {
        QList<LoadedAsset> out;
        for (const Asset &asset : assets) {
            QFile file(QString::fromLatin1(asset.resource));
            const bool opened = file.open(QIODevice::ReadOnly);
            Q_ASSERT(opened);
            Q_UNUSED(opened);
            out.append({asset.path,
                        {200,
                         QByteArray("Content-Type: ") + asset.mimeType + "\r\nContent-Security-Policy: " + pagePolicy
                             + "\r\nX-Content-Type-Options: nosniff\r\nReferrer-Policy: no-referrer\r\nCache-Control: no-cache\r\n",
                         file.readAll()}});
        }
        return out;
    }();
    return loaded;
}

bool isJson(const HttpRequestHead &head)
{
    const QByteArray type = head.field("content-type");
    const qsizetype semicolon = type.indexOf(';');
    return (semicolon < 0 ? type : type.left(semicolon)).trimmed().toLower() == "application/json";
}

// Whether the request is one whose body will be read: only a check is.
bool wantsBody(const HttpRequestHead &head)
{
    return head.path == CheckServer::apiPath && head.method == "POST" && isJson(head);
}

Answer route(const HttpRequestHead &head, const QByteArray &body)
{
    const bool get = head.method == "GET" || head.method == "HEAD";
    if (head.path == CheckServer::apiPath) {
        if (head.method != "POST")
            return error(405, QStringLiteral("Use POST for a task check."), "Allow: POST\r\n");
        if (!isJson(head))
            return error(415, QStringLiteral("Send the request as application/json."));
        const Expected<CheckRequest> parsed = CheckRequest::decode(body);
        if (!parsed)
            return error(parsed.error().code, parsed.error().message);
        return json(200, TaskLinter::assess(*parsed).toJson());
    }
    for (const LoadedAsset &asset : loadedAssets()) {
        if (head.path != asset.path)
            continue;
        if (!get)
            return {405, "Content-Type: text/plain; charset=utf-8\r\nAllow: GET, HEAD\r\n", "Use GET for this page.\n"};
        return asset.answer;
    }
    return error(404, QStringLiteral("There is nothing at this address."));
}

// ---------------------------------------------------------------- connections

// One client connection, from the accepted descriptor until it closes. Requests are read
// and answered one at a time, in order; the next is read only once the one before has
// been answered.
class Connection : public QObject {
public:
    Connection(CheckServer *server, qintptr descriptor, const QSslConfiguration &tls,
               std::shared_ptr<Admission> admission)
        : QObject(server), admission(std::move(admission)),
          parser({CheckServer::maxHeaderBytes, CheckRequest::maxBodyBytes})
    {
        socket = new QSslSocket(this);
        if (!socket->setSocketDescriptor(descriptor)) {
            ::close(static_cast<int>(descriptor));
            deleteLater();
            return;
        }
        peer = socket->peerAddress();
        verdict = this->admission->arrive(peer);
        if (verdict == Admission::Verdict::Drop) {
            socket->abort();
            deleteLater();
            return;
        }
        admitted = true;
        handshaking = true;
        // Reading stops here until the data is taken, so a client that sends while its
        // answers pile up is held back by TCP rather than by the service's memory.
        socket->setReadBufferSize(64 * 1024);
        socket->setSslConfiguration(tls);
        timer.setSingleShot(true);
        connect(&timer, &QTimer::timeout, this, &Connection::timerFired);
        connect(socket, &QSslSocket::encrypted, this, &Connection::encrypted);
        connect(socket, &QIODevice::readyRead, this, &Connection::readable);
        connect(socket, &QSslSocket::encryptedBytesWritten, this, &Connection::written);
        connect(socket, &QAbstractSocket::disconnected, this, &QObject::deleteLater);
        connect(socket, &QAbstractSocket::errorOccurred, this, [this](QAbstractSocket::SocketError) {
            if (socket->state() == QAbstractSocket::UnconnectedState)
                deleteLater();
        });
        // Handshake errors (a client that gives up, a bad record) end the connection.
        connect(socket, &QSslSocket::sslErrors, this, [this] { socket->abort(); });
        phase = Phase::Handshake;
        arm(this->admission->limits.handshakeTimeout);
        socket->startServerEncryption();
    }

    ~Connection() override
    {
        if (admitted)
            admission->leave(peer, verdict, handshaking);
    }

private:
    enum class Phase { Handshake, Idle, Head, Body, Closing };

    std::shared_ptr<Admission> admission;
    QSslSocket *socket = nullptr;
    QHostAddress peer;
    Admission::Verdict verdict = Admission::Verdict::Drop;
    bool admitted = false;
    bool handshaking = false;
    HttpRequestParser parser;
    QByteArray in;
    Phase phase = Phase::Handshake;
    QTimer timer;
    std::chrono::steady_clock::time_point deadline; // when the current phase runs out
    std::chrono::steady_clock::time_point timerDue; // when the timer fires
    QElapsedTimer requestClock; // from the first byte of the current request
    QElapsedTimer closingClock;
    bool paused = false;
    bool shutDown = false;

    const ServiceLimits &limits() const { return admission->limits; }
    qint64 unsent() const { return socket->bytesToWrite() + socket->encryptedBytesToWrite(); }

    void encrypted()
    {
        handshaking = false;
        admission->handshakeDone(peer);
        if (verdict == Admission::Verdict::Refuse) {
            const Answer busy = error(503, QStringLiteral("The service is busy. Try again shortly."),
                                      "Retry-After: " + QByteArray::number(limits().retryAfterSeconds) + "\r\n");
            send(busy, false, true);
            return;
        }
        phase = Phase::Idle;
        arm(limits().idleTimeout);
        readable();
    }

    // Sets when the current phase runs out. The timer is restarted only when that comes
    // sooner than it would fire; otherwise it re-arms itself when it fires, so a
    // connection answering request after request costs no timer work for each.
    void arm(std::chrono::milliseconds after)
    {
        deadline = std::chrono::steady_clock::now() + after;
        if (!timer.isActive() || deadline < timerDue) {
            timer.start(after);
            timerDue = deadline;
        }
    }

    void timerFired()
    {
        const auto now = std::chrono::steady_clock::now();
        if (now < deadline) {
            timer.start(std::chrono::ceil<std::chrono::milliseconds>(deadline - now));
            timerDue = deadline;
            return;
        }
        timedOut();
    }

    void timedOut()
    {
        if (phase == Phase::Head || phase == Phase::Body) {
            send(errorFor(408), false, true);
            return;
        }
        // Nothing asked, nothing to answer; or the close has waited long enough.
        socket->abort();
        deleteLater();
    }

    void readable()
    {
        if (phase == Phase::Handshake)
            return;
        if (phase == Phase::Closing) {
            // Whatever still comes is dropped, so that the close does not reset the
            // connection before the client has read the answer.
            socket->skip(socket->bytesAvailable());
            if (shutDown && closingClock.elapsed() < 10000)
                arm(std::chrono::milliseconds(1000));
            return;
        }
        if (paused)
            return;
        in += socket->readAll();
        process();
    }

    void process()
    {
        qsizetype used = 0;
        while (phase != Phase::Closing) {
            if (unsent() > CheckServer::maxUnsentBytes) {
                // The client is not reading its answers: read nothing more of it until
                // it catches up.
                paused = true;
                break;
            }
            const HttpRequestParser::Result result = parser.parse(in.constData(), in.size(), used);
            if (result == HttpRequestParser::Result::NeedMore)
                break;
            if (result == HttpRequestParser::Result::Error) {
                send(errorFor(parser.errorStatus()), parser.head().method == "HEAD", true);
                break;
            }
            if (result == HttpRequestParser::Result::Head) {
                headRead();
                continue;
            }
            const HttpRequestHead &head = parser.head();
            send(route(head, parser.body()), head.method == "HEAD", !head.keepAlive, head.minorVersion == 0);
            parser.reset();
            if (phase != Phase::Closing) {
                phase = Phase::Idle;
                arm(limits().idleTimeout);
            }
        }
        in.remove(0, used);
        if (phase == Phase::Idle && parser.started()) {
            phase = Phase::Head;
            requestClock.start();
            arm(limits().headerTimeout);
        }
    }

    void headRead()
    {
        const HttpRequestHead &head = parser.head();
        if (phase != Phase::Head) // the whole head came in one read
            requestClock.start();
        phase = Phase::Body;
        arm(std::chrono::milliseconds(std::max<qint64>(0, limits().requestTimeout.count() - requestClock.elapsed())));
        if (!head.expectContinue || !head.hasBody())
            return;
        if (!wantsBody(head)) {
            // Its answer does not depend on the body: give it now, instead of the 100,
            // and close, since whether the client sends the body is its choice.
            send(route(head, {}), head.method == "HEAD", true);
            return;
        }
        socket->write("HTTP/1.1 100 Continue\r\n\r\n");
    }

    // Writes one answer. A HEAD answer has the fields of the full one and no body. With
    // `close`, the connection reads no more requests and closes once the answer is out.
    void send(const Answer &answer, bool headOnly, bool close, bool http10 = false)
    {
        QByteArray out;
        out.reserve(answer.fields.size() + (headOnly ? 0 : answer.body.size()) + 128);
        out += "HTTP/1.1 ";
        out += QByteArray::number(answer.status);
        out += ' ';
        out += reasonPhrase(answer.status);
        out += "\r\nDate: ";
        out += httpDate();
        out += "\r\n";
        out += answer.fields;
        out += "Content-Length: ";
        out += QByteArray::number(answer.body.size());
        out += close ? "\r\nConnection: close\r\n\r\n" : http10 ? "\r\nConnection: keep-alive\r\n\r\n" : "\r\n\r\n";
        if (!headOnly)
            out += answer.body;
        socket->write(out);
        if (close)
            startClosing();
    }

    // Closes after the last answer the way a careful server does: once it is sent, the
    // sending side is shut down and what the client still sends is read and dropped,
    // until it closes or has been quiet for a second (ten seconds at most). Closing at
    // once would reset a connection whose client is still sending, and the reset can
    // destroy the answer before the client reads it.
    void startClosing()
    {
        phase = Phase::Closing;
        paused = false;
        in.clear();
        closingClock.start();
        arm(std::chrono::milliseconds(10000));
        socket->skip(socket->bytesAvailable());
        socket->flush();
        written();
    }

    void written()
    {
        if (phase == Phase::Closing) {
            if (!shutDown && unsent() == 0) {
                shutDown = true;
                ::shutdown(static_cast<int>(socket->socketDescriptor()), SHUT_WR);
                arm(std::chrono::milliseconds(1000));
            }
            return;
        }
        if (paused && unsent() <= CheckServer::maxUnsentBytes / 2) {
            paused = false;
            readable();
        }
    }
};

} // namespace

// ---------------------------------------------------------------- listening

class Listener : public QTcpServer {
public:
    explicit Listener(CheckServer *owner) : QTcpServer(owner), owner(owner) {}

protected:
    void incomingConnection(qintptr descriptor) override { owner->accept(descriptor); }

private:
    CheckServer *owner;
};

CheckServer::CheckServer(const QSslConfiguration &tls, std::shared_ptr<Admission> admission, QObject *parent)
    : QObject(parent), tls(tls), admission(std::move(admission)), listener(new Listener(this))
{
    loadedAssets();
}

CheckServer::~CheckServer()
{
    // Connections first, while the listener and the admission they report to exist.
    const QObjectList all = children();
    for (QObject *child : all)
        if (child != listener)
            delete child;
}

quint16 CheckServer::listen(const QHostAddress &address, quint16 port)
{
    return listener->listen(address, port) ? listener->serverPort() : 0;
}

bool CheckServer::listenOn(qintptr listeningSocket)
{
    return listener->setSocketDescriptor(listeningSocket);
}

void CheckServer::accept(qintptr descriptor)
{
    new Connection(this, descriptor, tls, admission);
}

} // namespace tessaline

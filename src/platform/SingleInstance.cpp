#include "platform/SingleInstance.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QStandardPaths>
#include <QThread>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

namespace tessaline {
namespace {

// "open" and the startup id, if any, on one line; "answer" instead of "open" when the
// later copy waits for a second line, the running copy's answer.
const QByteArray openRequest = "open";
const QByteArray answerRequest = "answer";
const QByteArray openReply = "ok\n";
constexpr int handOverMs = 5000;
// Long enough for a desktop that asks its user about the shortcut.
constexpr int answerMs = 150000;
constexpr int maxLine = 512;
// "status" alone; the reply is one line of JSON, or an empty line for "nothing yet".
const QByteArray statusRequest = "status";
constexpr qint64 maxStatusReply = 64 * 1024;

// Whether only this user can enter `path`, a directory of theirs (not a link to one).
bool privateToUser(const QString &path)
{
    struct stat st;
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::getuid()
        && (st.st_mode & 077) == 0;
}

// Where the lock and the socket go: the runtime directory when it is private to the
// user; otherwise a directory of our own in the user's cache. (Qt's fallbacks would be a
// fixed name in the shared /tmp, which another user can create first, and then none.)
QString privateDirectory()
{
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty() && privateToUser(runtime))
        return runtime;
    const QString cache = QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation);
    const QString own = cache + QLatin1String("/tessaline");
    QDir().mkpath(cache);
    ::mkdir(QFile::encodeName(own).constData(), 0700);
    return privateToUser(own) ? own : QString();
}

} // namespace

SingleInstance::SingleInstance(const QString &name, QObject *parent)
    : QObject(parent),
      directory(privateDirectory()),
      name(name)
{
}

SingleInstance::~SingleInstance() = default;

QString SingleInstance::socketPath() const
{
    return QDir(directory).filePath(name + QLatin1String(".socket"));
}

void SingleInstance::Answer::send(const QString &sentence) const
{
    if (!socket)
        return;
    QString line = sentence;
    line.replace(QLatin1Char('\n'), QLatin1Char(' '));
    socket->write(line.toUtf8() + '\n');
    socket->disconnectFromServer();
}

SingleInstance::Role SingleInstance::claim(const QByteArray &startupId, bool awaitAnswer)
{
    if (lock)
        return Role::Primary;
    if (directory.isEmpty()) {
        // Better two copies than a lock or a socket others can reach.
        qWarning("Tessaline has no private directory for its lock; running without the one-copy check.");
        return Role::Primary;
    }
    lock = std::make_unique<QLockFile>(QDir(directory).filePath(name + QLatin1String(".lock")));
    // The lock is held for the whole life of the process, so it must never be judged
    // stale by age; a lock left by a copy that crashed is still recognised by its pid.
    lock->setStaleLockTime(0);
    if (lock->tryLock(0)) {
        listen();
        return Role::Primary;
    }
    if (lock->error() != QLockFile::LockFailedError) {
        // No usable runtime directory: better two copies than none.
        qWarning("Tessaline cannot take its lock in %s; running without the one-copy check.",
                 qPrintable(directory));
        lock.reset();
        return Role::Primary;
    }
    lock.reset();
    return handOver(startupId, awaitAnswer) ? Role::HandedOver : Role::Unanswered;
}

void SingleInstance::listen()
{
    const QString path = socketPath();
    QLocalServer::removeServer(path); // left behind by a copy that crashed
    server = new QLocalServer(this);
    server->setSocketOptions(QLocalServer::UserAccessOption);
    if (!server->listen(path)) {
        qWarning("Tessaline cannot listen on %s: %s", qPrintable(path),
                 qPrintable(server->errorString()));
        return;
    }
    connect(server, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket *socket = server->nextPendingConnection()) {
            connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
            connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
                if (!socket->canReadLine()) {
                    if (socket->bytesAvailable() > maxLine)
                        socket->abort(); // not one of ours
                    return;
                }
                QByteArray line = socket->readLine(maxLine);
                line.chop(line.endsWith('\n') ? 1 : line.size());
                socket->disconnect(this); // one request per connection
                if (line == statusRequest) {
                    QByteArray answer = statusAnswer ? statusAnswer() : QByteArray();
                    if (answer.contains('\n') || answer.size() >= maxStatusReply)
                        answer.clear(); // never a reply the asking side would misread
                    socket->write(answer + '\n');
                    socket->flush();
                    socket->disconnectFromServer();
                    return;
                }
                const qsizetype space = line.indexOf(' ');
                const QByteArray verb = space < 0 ? line : line.left(space);
                if (verb != openRequest && verb != answerRequest) {
                    socket->disconnectFromServer();
                    return;
                }
                socket->write(openReply);
                socket->flush();
                // Answered (or kept only for the answer) first: what the request sets off
                // comes afterwards, and may take its time, and nothing it does can free
                // this socket under it.
                const Answer answer = verb == answerRequest ? Answer(socket) : Answer();
                if (verb == openRequest)
                    socket->disconnectFromServer();
                QMetaObject::invokeMethod(
                    this,
                    [this, id = line.mid(verb.size() + 1), answer, await = verb == answerRequest] {
                        Q_EMIT openRequested(id);
                        if (await)
                            Q_EMIT answerAwaited(answer);
                    },
                    Qt::QueuedConnection);
            });
        }
    });
}

bool SingleInstance::handOver(const QByteArray &startupId, bool awaitAnswer)
{
    // An id is printable ASCII without spaces; anything else is not passed on.
    QByteArray request = awaitAnswer ? answerRequest : openRequest;
    if (!startupId.isEmpty() && startupId.size() < maxLine - 8
        && std::all_of(startupId.begin(), startupId.end(), [](char c) { return c > ' ' && c < 127; }))
        request += ' ' + startupId;
    request += '\n';
    // The running copy may be between taking its lock and listening; keep trying for
    // a few seconds rather than starting a second copy.
    QDeadlineTimer deadline(handOverMs);
    while (!deadline.hasExpired()) {
        QLocalSocket socket;
        socket.connectToServer(socketPath());
        if (!socket.waitForConnected(int(deadline.remainingTime()))) {
            QThread::msleep(50);
            continue;
        }
        socket.write(request);
        if (!socket.waitForBytesWritten(int(deadline.remainingTime())))
            return false;
        while (!socket.canReadLine() && socket.waitForReadyRead(int(deadline.remainingTime()))) {
        }
        if (!socket.canReadLine() || socket.readLine(64) != openReply)
            return false;
        // A copy from before answers only "ok" and closes: no answer then.
        QDeadlineTimer answerDeadline(awaitAnswer ? answerMs : 0);
        while (awaitAnswer && !socket.canReadLine() && socket.waitForReadyRead(int(answerDeadline.remainingTime()))) {
        }
        if (socket.canReadLine())
            answered = QString::fromUtf8(socket.readLine(maxLine)).trimmed();
        return true;
    }
    return false;
}

std::optional<QByteArray> SingleInstance::askStatus(int timeoutMs) const
{
    QDeadlineTimer deadline(timeoutMs);
    QLocalSocket socket;
    socket.connectToServer(socketPath());
    if (!socket.waitForConnected(int(deadline.remainingTime())))
        return std::nullopt;
    socket.write(statusRequest + '\n');
    if (!socket.waitForBytesWritten(int(deadline.remainingTime())))
        return std::nullopt;
    while (!socket.canReadLine() && socket.bytesAvailable() <= maxStatusReply
           && socket.waitForReadyRead(int(deadline.remainingTime()))) {
    }
    if (!socket.canReadLine())
        return std::nullopt;
    QByteArray line = socket.readLine(maxStatusReply + 1);
    if (!line.endsWith('\n') || line.size() <= 1)
        return std::nullopt;
    line.chop(1);
    return line;
}

} // namespace tessaline

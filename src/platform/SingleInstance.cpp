#include "platform/SingleInstance.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QStandardPaths>
#include <QThread>

#include <algorithm>

namespace tessaline {
namespace {

// "open" and the startup id, if any, on one line.
const QByteArray openRequest = "open";
const QByteArray openReply = "ok\n";
constexpr int handOverMs = 5000;
constexpr int maxLine = 512;
// "status" alone; the reply is one line of JSON, or an empty line for "nothing yet".
const QByteArray statusRequest = "status";
constexpr qint64 maxStatusReply = 64 * 1024;

} // namespace

SingleInstance::SingleInstance(const QString &name, QObject *parent)
    : QObject(parent),
      directory(QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation)),
      name(name)
{
}

SingleInstance::~SingleInstance() = default;

QString SingleInstance::socketPath() const
{
    return QDir(directory).filePath(name + QLatin1String(".socket"));
}

SingleInstance::Role SingleInstance::claim(const QByteArray &startupId)
{
    if (lock)
        return Role::Primary;
    QDir().mkpath(directory);
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
    return handOver(startupId) ? Role::HandedOver : Role::Unanswered;
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
                if (line == openRequest || line.startsWith(openRequest + ' ')) {
                    socket->write(openReply);
                    socket->flush();
                    Q_EMIT openRequested(line.mid(openRequest.size() + 1));
                } else if (line == statusRequest) {
                    QByteArray answer = statusAnswer ? statusAnswer() : QByteArray();
                    if (answer.contains('\n') || answer.size() >= maxStatusReply)
                        answer.clear(); // never a reply the asking side would misread
                    socket->write(answer + '\n');
                    socket->flush();
                }
                socket->disconnectFromServer();
            });
        }
    });
}

bool SingleInstance::handOver(const QByteArray &startupId)
{
    // An id is printable ASCII without spaces; anything else is not passed on.
    QByteArray request = openRequest;
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
        return socket.canReadLine() && socket.readLine(64) == openReply;
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

#include "platform/SingleInstance.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QStandardPaths>
#include <QThread>

namespace tessaline {
namespace {

const QByteArray openRequest = "open\n";
const QByteArray openReply = "ok\n";
constexpr int handOverMs = 5000;

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

SingleInstance::Role SingleInstance::claim()
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
    return handOver() ? Role::HandedOver : Role::Unanswered;
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
                    if (socket->bytesAvailable() > 64)
                        socket->abort(); // not one of ours
                    return;
                }
                if (socket->readLine(64) == openRequest) {
                    socket->write(openReply);
                    socket->flush();
                    Q_EMIT openRequested();
                }
                socket->disconnectFromServer();
            });
        }
    });
}

bool SingleInstance::handOver()
{
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
        socket.write(openRequest);
        if (!socket.waitForBytesWritten(int(deadline.remainingTime())))
            return false;
        while (!socket.canReadLine() && socket.waitForReadyRead(int(deadline.remainingTime()))) {
        }
        return socket.canReadLine() && socket.readLine(64) == openReply;
    }
    return false;
}

} // namespace tessaline

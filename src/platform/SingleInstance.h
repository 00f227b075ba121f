#pragma once

#include <QObject>
#include <QString>

#include <functional>
#include <memory>
#include <optional>

class QLocalServer;
class QLockFile;

namespace tessaline {

// One running copy per user. The first copy holds a lock file and listens on a local
// socket, both in the user's runtime directory; a later copy finds the lock taken and
// asks the running one, through the socket, to bring its window forward. The request
// carries the later copy's startup notification id (DESKTOP_STARTUP_ID), which tells the
// window manager that the user asked for the window, and when.
class SingleInstance : public QObject {
    Q_OBJECT
public:
    enum class Role {
        Primary,     // this process is the one copy; openRequested() reports later launches
        HandedOver,  // another copy is running and has been asked to open its window
        Unanswered,  // another copy holds the lock but did not answer
    };

    explicit SingleInstance(const QString &name, QObject *parent = nullptr);
    ~SingleInstance() override;

    // `startupId` is what a later copy hands over with its request.
    Role claim(const QByteArray &startupId = QByteArray());

    QString socketPath() const;

    // What the running copy answers a "status" request with: one line of JSON (no line
    // break), or nothing when it has nothing to report yet.
    using StatusAnswer = std::function<QByteArray()>;
    void setStatusAnswer(StatusAnswer answer) { statusAnswer = std::move(answer); }

    // Asks the running copy, if any, for its status line without taking the lock.
    // Nothing when no copy answers within `timeoutMs` or it has nothing to report.
    std::optional<QByteArray> askStatus(int timeoutMs) const;

Q_SIGNALS:
    // A later copy asked for the window; its startup id, when it had one.
    void openRequested(const QByteArray &startupId);

private:
    void listen();
    bool handOver(const QByteArray &startupId);

    QString directory;
    QString name;
    std::unique_ptr<QLockFile> lock;
    QLocalServer *server = nullptr;
    StatusAnswer statusAnswer;
};

} // namespace tessaline

#pragma once

#include <QLocalSocket>
#include <QObject>
#include <QPointer>
#include <QString>

#include <functional>
#include <memory>
#include <optional>

class QLocalServer;
class QLockFile;

namespace tessaline {

// One running copy per user. The first copy holds a lock file and listens on a local
// socket, both in a directory only the user can enter (the runtime directory, or one in
// the user's cache without it); a later copy finds the lock taken and
// asks the running one, through the socket, to bring its window forward. The request
// carries the later copy's startup notification id (DESKTOP_STARTUP_ID), which tells the
// window manager that the user asked for the window, and when. A later copy that chose
// a shortcut also waits for the running copy's word on it.
class SingleInstance : public QObject {
    Q_OBJECT
public:
    enum class Role {
        Primary,     // this process is the one copy; openRequested() reports later launches
        HandedOver,  // another copy is running and has been asked to open its window
        Unanswered,  // another copy holds the lock but did not answer
    };

    // The running copy's word to a later copy that asked for one: one sentence, empty
    // when all is well. Sending it ends the conversation; an answer no longer awaited
    // (the later copy gave up) goes nowhere.
    class Answer {
    public:
        Answer() = default;
        explicit Answer(QLocalSocket *socket) : socket(socket) {}
        void send(const QString &sentence) const;

    private:
        QPointer<QLocalSocket> socket;
    };

    explicit SingleInstance(const QString &name, QObject *parent = nullptr);
    ~SingleInstance() override;

    // `startupId` is what a later copy hands over with its request; `awaitAnswer` makes
    // it wait for the running copy's answer(), as after choosing a shortcut.
    Role claim(const QByteArray &startupId = QByteArray(), bool awaitAnswer = false);
    // What the running copy answered, after claim() handed over awaiting an answer.
    QString answer() const { return answered; }

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
    // Right after openRequested(), when that later copy waits for an answer.
    void answerAwaited(const tessaline::SingleInstance::Answer &answer);

private:
    void listen();
    bool handOver(const QByteArray &startupId, bool awaitAnswer);

    QString directory;
    QString name;
    QString answered;
    std::unique_ptr<QLockFile> lock;
    QLocalServer *server = nullptr;
    StatusAnswer statusAnswer;
};

} // namespace tessaline

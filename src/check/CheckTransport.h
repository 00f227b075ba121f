#pragma once

#include "check/TaskCheck.h"
#include "check/TaskLintResult.h"

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QSslConfiguration>
#include <QString>
#include <QUrl>

#include <chrono>
#include <optional>

class QNetworkAccessManager;
class QNetworkReply;
class QTimer;

namespace tessaline {

// What came back from the service, before it is judged. `error` is set only for a
// transport failure (no connection, TLS, time-out, cancellation); an HTTP error status
// is a reply like any other.
struct CheckReply {
    std::optional<QByteArray> body;
    std::optional<int> httpStatus;
    std::optional<QString> error;

    bool operator==(const CheckReply &) const = default;
};

// The judged reply: a result to render, or the sentence for the status line.
struct CheckOutcome {
    std::optional<TaskLintResult> result;
    QString status;
    CheckReply reply;
};

// Sends one task check and reports its outcome once, on the thread that owns it (the
// main thread), never from inside start() or cancel(). A fresh network manager per
// check keeps no cookies, cache or credentials from one check to the next. Deleting
// the transport drops the check without a completion.
//
//   auto prepared = TaskCheck::prepare(text, usage, CheckEndpoint::build());
//   if (auto *sentence = std::get_if<QString>(&prepared)) { show(*sentence); return; }
//   request = new CheckTransport(this);   // QPointer<CheckTransport>: "a check in flight"
//   connect(request, &CheckTransport::finished, this, [this](const CheckOutcome &o) {
//       request->deleteLater(); request = nullptr;
//       o.result ? render(*o.result) : show(o.status);
//   });
//   request->start(std::get<PreparedCheck>(prepared));
class CheckTransport : public QObject {
    Q_OBJECT

public:
    static constexpr std::chrono::milliseconds defaultTransferTimeout{30000};
    // However the server paces its answer, a check ends within this.
    static constexpr std::chrono::milliseconds defaultDeadline{60000};
    // Larger answers are not read further; the check is then unavailable.
    static constexpr qint64 maxBodyBytes = 1024 * 1024;
    static constexpr int maxRedirects = 5;

    explicit CheckTransport(QObject *parent = nullptr);
    ~CheckTransport() override;

    // Sends the check. A transport sends once: later calls return false and do nothing.
    bool start(const PreparedCheck &check);
    // Abandons a check in flight; it then completes through the transport-error path.
    void cancel();
    // From start() until the completion has been delivered.
    bool isInFlight() const { return started && !delivered; }

    // Time allowed without any data moving; shortened by tests.
    void setTransferTimeout(std::chrono::milliseconds timeout) { transferTimeout = timeout; }
    // Time allowed for the whole check, redirects included: a server that keeps the
    // connection alive with a trickle of bytes still ends as unreachable. Set before start().
    void setDeadline(std::chrono::milliseconds limit) { deadline = limit; }

    // Judges a reply: a transport error means the host could not be reached; anything
    // but a decodable 200 answer means the service is unavailable.
    static CheckOutcome interpret(const CheckReply &reply, const QString &host);

Q_SIGNALS:
    void finished(const tessaline::CheckOutcome &outcome);

private:
    void send(const QUrl &url, bool post);
    void drain();
    void onFinished();
    std::optional<QUrl> redirectTarget() const;
    CheckReply collect();

    std::chrono::milliseconds transferTimeout = defaultTransferTimeout;
    std::chrono::milliseconds deadline = defaultDeadline;
    QTimer *deadlineTimer = nullptr;
    QNetworkAccessManager *manager = nullptr;
    QPointer<QNetworkReply> reply;
    QUrl origin;
    QString host;
    QByteArray payload;
    QSslConfiguration tlsConfiguration;
    QByteArray body;
    bool started = false;
    bool delivered = false;
    int redirects = 0;
    bool refused = false; // oversized answer, too many redirects or one off the origin
};

} // namespace tessaline

#pragma once

#include "service/CheckRequest.h"

#include <QHash>
#include <QHostAddress>
#include <QObject>
#include <QSslConfiguration>

#include <chrono>
#include <memory>
#include <mutex>

class QTcpServer;

namespace tessaline {

// What one process lets its clients hold. Every figure is an option of the executable.
struct ServiceLimits {
    int maxConnections = 1024;
    int maxConnectionsPerAddress = 64;
    int maxHandshakesPerAddress = 32;
    std::chrono::milliseconds handshakeTimeout{5000};
    std::chrono::milliseconds idleTimeout{30000};
    std::chrono::milliseconds headerTimeout{10000};
    std::chrono::milliseconds requestTimeout{30000};
    int retryAfterSeconds = 5;
};

// Who may connect, shared by every server of one process (one per worker thread).
// Clients are counted by address (IPv6 by its /64, which one host usually holds whole),
// so that one address cannot take the places of all others.
class Admission {
public:
    explicit Admission(const ServiceLimits &limits) : limits(limits) {}

    enum class Verdict {
        Serve,  // a place is free
        Refuse, // full for this client: answered 503 after the handshake
        Drop,   // not even that: closed at once
    };
    Verdict arrive(const QHostAddress &peer);
    void handshakeDone(const QHostAddress &peer);
    void leave(const QHostAddress &peer, Verdict verdict, bool stillHandshaking);

    const ServiceLimits limits;

    // Connections being refused at once; past this, new ones are closed unanswered,
    // since answering costs a TLS handshake each.
    int maxRefusing() const { return std::max(16, limits.maxConnections / 8); }

private:
    struct PerAddress {
        int connections = 0;
        int handshakes = 0;
    };
    std::mutex mutex;
    int open = 0;
    int refusing = 0;
    QHash<QHostAddress, PerAddress> addresses;

    static QHostAddress key(const QHostAddress &peer);
};

// The check service's HTTP/1.1 layer over TLS: the check endpoint and the web checker
// page. It keeps no state between requests and writes no request content anywhere.
class CheckServer : public QObject {
    Q_OBJECT

public:
    explicit CheckServer(const QSslConfiguration &tls, std::shared_ptr<Admission> admission,
                         QObject *parent = nullptr);
    ~CheckServer() override;

    // Listens on an address; returns the port, 0 on failure.
    quint16 listen(const QHostAddress &address, quint16 port);
    // Serves a socket that already listens, which several servers (one per thread) may
    // each hold a duplicate of. Takes ownership of the descriptor on success.
    bool listenOn(qintptr listeningSocket);

    // Request line and header fields together, at most.
    static constexpr qint64 maxHeaderBytes = 16 * 1024;
    // Answers waiting for a client that does not read them; past this the connection's
    // further requests are not read until the client catches up.
    static constexpr qint64 maxUnsentBytes = 256 * 1024;

    static constexpr const char *apiPath = "/api/tessaline";
    static constexpr const char *pagePath = "/tessaline/check";

private:
    QSslConfiguration tls;
    std::shared_ptr<Admission> admission;
    QTcpServer *listener = nullptr;

    void accept(qintptr descriptor);
    friend class Listener;
};

} // namespace tessaline

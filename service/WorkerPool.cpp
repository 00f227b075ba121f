#include "service/WorkerPool.h"

#include "service/CheckServer.h"

#include <QEventLoop>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <fcntl.h>
#include <future>

namespace tessaline {

namespace {

// One listening socket for the whole pool, so the port is bound exactly once: a second
// service on a taken port fails instead of silently sharing it.
int openListeningSocket(const QHostAddress &address, quint16 port, quint16 &bound)
{
    sockaddr_storage storage{};
    socklen_t length = 0;
    const bool v6 = address.protocol() == QAbstractSocket::IPv6Protocol;
    if (v6) {
        auto *a = reinterpret_cast<sockaddr_in6 *>(&storage);
        a->sin6_family = AF_INET6;
        a->sin6_port = htons(port);
        const Q_IPV6ADDR ip = address.toIPv6Address();
        std::memcpy(&a->sin6_addr, ip.c, sizeof ip.c);
        length = sizeof *a;
    } else if (address.protocol() == QAbstractSocket::IPv4Protocol) {
        auto *a = reinterpret_cast<sockaddr_in *>(&storage);
        a->sin_family = AF_INET;
        a->sin_port = htons(port);
        a->sin_addr.s_addr = htonl(address.toIPv4Address());
        length = sizeof *a;
    } else {
        return -1;
    }

    const int fd = ::socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return -1;
    const int on = 1; // as QTcpServer does: a restarted service can take its port back at once
    sockaddr_storage actual{};
    socklen_t actualLength = sizeof actual;
    if (::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0
        || ::bind(fd, reinterpret_cast<sockaddr *>(&storage), length) != 0 || ::listen(fd, SOMAXCONN) != 0
        || ::getsockname(fd, reinterpret_cast<sockaddr *>(&actual), &actualLength) != 0) {
        ::close(fd);
        return -1;
    }
    bound = ntohs(v6 ? reinterpret_cast<sockaddr_in6 *>(&actual)->sin6_port
                     : reinterpret_cast<sockaddr_in *>(&actual)->sin_port);
    return fd;
}

} // namespace

WorkerPool::~WorkerPool()
{
    stop();
}

quint16 WorkerPool::start(const QSslConfiguration &tls, const QHostAddress &address, quint16 port, int count,
                          const std::shared_ptr<Admission> &admission)
{
    quint16 bound = 0;
    const int listening = openListeningSocket(address, port, bound);
    if (listening < 0)
        return 0;
    bool ok = true;
    for (int i = 0; i < count && ok; ++i) {
        const int descriptor = ::fcntl(listening, F_DUPFD_CLOEXEC, 0);
        if (descriptor < 0) {
            ok = false;
            break;
        }
        std::promise<QEventLoop *> started;
        std::future<QEventLoop *> result = started.get_future();
        std::thread thread([&started, tls, descriptor, admission] {
            // The loop first: it gives this thread the event dispatcher the server's
            // sockets need. The server and its connections live and die in this thread.
            QEventLoop loop;
            CheckServer server(tls, admission);
            if (!server.listenOn(descriptor)) {
                ::close(descriptor);
                started.set_value(nullptr);
                return;
            }
            started.set_value(&loop);
            loop.exec();
        });
        QEventLoop *loop = result.get();
        ok = loop != nullptr;
        workers.push_back({std::move(thread), loop});
    }
    ::close(listening);
    if (!ok) {
        stop();
        return 0;
    }
    return bound;
}

void WorkerPool::stop()
{
    // A queued quit is taken by the loop once it runs, however soon after its start.
    for (Worker &worker : workers)
        if (worker.loop)
            QMetaObject::invokeMethod(worker.loop, &QEventLoop::quit, Qt::QueuedConnection);
    for (Worker &worker : workers)
        worker.thread.join();
    workers.clear();
}

} // namespace tessaline

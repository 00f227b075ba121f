#pragma once

#include "service/CheckServer.h"

#include <QHostAddress>
#include <QSslConfiguration>
#include <QThread>

#include <memory>
#include <vector>

namespace tessaline {

// Check servers on one port, one per thread, each with its own event loop. They share
// nothing: the kernel hands each new connection to one of them.
class WorkerPool {
public:
    WorkerPool() = default;
    ~WorkerPool();
    WorkerPool(const WorkerPool &) = delete;
    WorkerPool &operator=(const WorkerPool &) = delete;

    // Starts the workers; returns the port they listen on, 0 when any could not.
    // The workers share one admission, so the limits hold for the whole process.
    quint16 start(const QSslConfiguration &tls, const QHostAddress &address, quint16 port, int workers,
                  const std::shared_ptr<Admission> &admission);
    void stop();

private:
    std::vector<std::unique_ptr<QThread>> threads;
};

} // namespace tessaline

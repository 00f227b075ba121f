#pragma once

#include "service/CheckServer.h"

#include <QHostAddress>
#include <QSslConfiguration>
#include <QEventLoop>

#include <memory>
#include <thread>
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
    quint16 start(const QSslConfiguration &tls, const QHostAddress &address, quint16 port, int count,
                  const std::shared_ptr<Admission> &admission);
    void stop();

private:
    // Joinable threads on purpose: Qt's own are detached, and QThread::wait() returns before
    // a thread's teardown (its thread-local state, OpenSSL's among it) has run, which then
    // races the process's exit.
    struct Worker {
        std::thread thread;
        QEventLoop *loop = nullptr; // null when its server could not listen
    };
    std::vector<Worker> workers;
};

} // namespace tessaline

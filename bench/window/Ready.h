#pragma once

// Shared by the start-up programs: wait for a condition without polling, then report
// "ready <peak resident KiB>". QTest's waits sleep 10 ms between checks, which would
// round every measurement up to that step; blocking on the next event does not.

#include <QCoreApplication>
#include <QTimer>
#include <QWidget>
#include <QWindow>

#include <sys/resource.h>

#include <cstdio>

template <typename Condition>
bool waitUntil(Condition condition, int timeoutMs = 10000)
{
    bool expired = false;
    QTimer::singleShot(timeoutMs, [&expired] { expired = true; });
    while (!condition() && !expired)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    return condition();
}

inline bool waitUntilExposed(QWidget *window)
{
    return waitUntil([window] { return window->windowHandle() && window->windowHandle()->isExposed(); });
}

// Paints once more so the measured window is on screen, then reports.
inline int reportReady(QWidget *window)
{
    window->repaint();
    QCoreApplication::processEvents();
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("ready %ld\n", usage.ru_maxrss);
    std::fflush(stdout);
    return 0;
}

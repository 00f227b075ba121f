#pragma once

// Shared by the start-up programs: wait for a condition without polling, then report
// "ready <peak resident KiB>". QTest's waits sleep 10 ms between checks, which would
// round every measurement up to that step; blocking on the next event does not.

#include <QCoreApplication>
#include <QTimer>
#include <QWidget>

#include <sys/resource.h>

#include <cstdio>
#include <functional>

template <typename Condition>
bool waitUntil(Condition condition, int timeoutMs = 10000)
{
    bool expired = false;
    QTimer::singleShot(timeoutMs, [&expired] { expired = true; });
    while (!condition() && !expired)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    return condition();
}

// Notes the first paint of a widget that `wanted` picks. Watching the application sees
// paints that happen before the wanted widgets exist to be watched one by one.
class PaintWatch : public QObject {
public:
    explicit PaintWatch(std::function<bool(const QWidget *)> wanted) : wanted(std::move(wanted))
    {
        QCoreApplication::instance()->installEventFilter(this);
    }
    bool painted = false;

protected:
    bool eventFilter(QObject *receiver, QEvent *event) override
    {
        if (!painted && event->type() == QEvent::Paint && receiver->isWidgetType())
            painted = wanted(static_cast<const QWidget *>(receiver));
        return false;
    }

private:
    std::function<bool(const QWidget *)> wanted;
};

// A widget's paint lands in the window's backing store, which is flushed to the X server
// before control returns to the event loop: once painted, it is on screen.
inline int reportReady()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("ready %ld\n", usage.ru_maxrss);
    std::fflush(stdout);
    return 0;
}

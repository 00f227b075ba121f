// Starts the real main window, as the program does, and reports once its quota rows are
// on screen: "ready <peak resident KiB>". The quota helper is whatever
// QUORVEL_EXECUTABLE names; the runner points it at a helper that answers at once.

#include "window/MainWindowController.h"

#include <QApplication>
#include <QTest>

#include <sys/resource.h>

#include <cstdio>

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    tessaline::MainWindowController controller;
    QWidget *window = controller.window();
    window->show();
    if (!QTest::qWaitForWindowExposed(window, 10000))
        return 1;
    if (!QTest::qWaitFor([&] { return !controller.quotaRows->arrangedViews().isEmpty(); }, 10000))
        return 1;
    // Lay out and paint the rows before calling the window rendered.
    window->repaint();
    QCoreApplication::processEvents();
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("ready %ld\n", usage.ru_maxrss);
    std::fflush(stdout);
    return 0;
}

// Starts the real main window, as the program does, and reports once its quota rows are
// on screen: "ready <peak resident KiB>". The quota helper is whatever
// QUORVEL_EXECUTABLE names; the runner points it at a helper that answers at once.

#include "window/MainWindowController.h"

#include <QApplication>

#include "Ready.h"

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    tessaline::MainWindowController controller;
    QWidget *window = controller.window();
    window->show();
    if (!waitUntilExposed(window))
        return 1;
    if (!waitUntil([&] { return !controller.quotaRows->arrangedViews().isEmpty(); }))
        return 1;
    // Lay out and paint the rows before calling the window rendered.
    return reportReady(window);
}

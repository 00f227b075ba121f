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
    // Rendered means a quota row has been painted, whether the rows arrived before the
    // window was first exposed or after.
    PaintWatch watch([&controller](const QWidget *widget) {
        for (const QWidget *row : controller.quotaRows->arrangedViews())
            if (widget == row || row->isAncestorOf(widget))
                return true;
        return false;
    });
    controller.window()->show();
    if (!waitUntil([&watch] { return watch.painted; }))
        return 1;
    return reportReady();
}

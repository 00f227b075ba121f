// The baseline: a bare Qt window of the same size, shown, then "ready <peak resident KiB>".

#include <QApplication>
#include <QWidget>

#include "Ready.h"

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    QWidget window;
    PaintWatch watch([&window](const QWidget *widget) { return widget == &window; });
    window.setWindowTitle(QStringLiteral("Tessaline"));
    window.resize(480, 720);
    window.show();
    if (!waitUntil([&watch] { return watch.painted; }))
        return 1;
    return reportReady();
}

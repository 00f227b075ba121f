// A second baseline: the bare window with one line of text, so the cost of initialising
// fonts, which any window that shows text pays once, can be told apart from our own.

#include <QApplication>
#include <QLabel>
#include <QVBoxLayout>
#include <QWidget>

#include "Ready.h"

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    QWidget window;
    window.setWindowTitle(QStringLiteral("Tessaline"));
    window.resize(480, 720);
    auto *layout = new QVBoxLayout(&window);
    auto *label = new QLabel(QStringLiteral("Lint the task before it burns your quota."));
    PaintWatch watch([label](const QWidget *widget) { return widget == label; });
    layout->addWidget(label);
    window.show();
    if (!waitUntil([&watch] { return watch.painted; }))
        return 1;
    return reportReady();
}

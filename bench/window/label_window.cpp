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
    layout->addWidget(new QLabel(QStringLiteral("Lint the task before it burns your quota.")));
    window.show();
    if (!waitUntilExposed(&window))
        return 1;
    return reportReady(&window);
}

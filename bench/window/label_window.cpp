// A second baseline: the bare window with one line of text, so the cost of initialising
// fonts, which any window that shows text pays once, can be told apart from our own.

#include <QApplication>
#include <QLabel>
#include <QTest>
#include <QVBoxLayout>
#include <QWidget>

#include <sys/resource.h>

#include <cstdio>

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    QWidget window;
    window.setWindowTitle(QStringLiteral("Tessaline"));
    window.resize(480, 720);
    auto *layout = new QVBoxLayout(&window);
    layout->addWidget(new QLabel(QStringLiteral("Lint the task before it burns your quota.")));
    window.show();
    if (!QTest::qWaitForWindowExposed(&window, 10000))
        return 1;
    window.repaint();
    QCoreApplication::processEvents();
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("ready %ld\n", usage.ru_maxrss);
    std::fflush(stdout);
    return 0;
}

// The baseline: a bare Qt window of the same size, shown, then "ready <peak resident KiB>".

#include <QApplication>
#include <QTest>
#include <QWidget>

#include <sys/resource.h>

#include <cstdio>

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    QWidget window;
    window.setWindowTitle(QStringLiteral("Tessaline"));
    window.resize(480, 720);
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

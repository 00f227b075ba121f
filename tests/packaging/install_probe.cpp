// Tells how an installed tessaline executable sees itself: whether it counts as an
// installed copy (which decides whether it posts reserve notifications) and under
// which desktop entry name. scripts/package-test runs it against the installed package.
//   tessaline_install_probe /usr/bin/tessaline

#include "platform/InstallIdentity.h"

#include <QCoreApplication>
#include <QTextStream>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();
    if (arguments.size() != 2) {
        QTextStream(stderr) << "usage: tessaline_install_probe EXECUTABLE" << Qt::endl;
        return 2;
    }
    const tessaline::InstallIdentity identity = tessaline::InstallIdentity::of(arguments.at(1));
    QTextStream out(stdout);
    out << "installed=" << (identity.isInstalled() ? "yes" : "no") << Qt::endl;
    out << "desktopEntry=" << identity.desktopEntryName() << Qt::endl;
    return identity.isInstalled() ? 0 : 1;
}

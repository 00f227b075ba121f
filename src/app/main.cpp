#include "app/AppDelegate.h"
#include "platform/SingleInstance.h"
#include "platform/StatusItem.h"

#include <QApplication>
#include <QIcon>

#include <cstdio>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Tessaline"));
    QApplication::setDesktopFileName(QStringLiteral("tessaline"));
    QApplication::setWindowIcon(tessaline::StatusItem::drawIcon(QStringLiteral("Tessaline")));

    // One copy per user: a second launch brings the running copy's window forward.
    tessaline::SingleInstance instance(QStringLiteral("tessaline"));
    switch (instance.claim()) {
    case tessaline::SingleInstance::Role::Primary:
        break;
    case tessaline::SingleInstance::Role::HandedOver:
        return 0;
    case tessaline::SingleInstance::Role::Unanswered:
        std::fputs("Tessaline is already running but does not answer; quit it and try again.\n",
                    stderr);
        return 1;
    }

    tessaline::AppDelegate delegate;
    QObject::connect(&instance, &tessaline::SingleInstance::openRequested, &delegate,
                     &tessaline::AppDelegate::openWindow);
    delegate.applicationDidFinishLaunching();
    app.exec();
    return 0;
}

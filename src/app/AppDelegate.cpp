#include "app/AppDelegate.h"

#include "app/GlobalShortcut.h"
#include "platform/StatusItem.h"
#include "window/MainWindowController.h"

#include <QAction>
#include <QApplication>
#include <QKeySequence>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPointer>
#include <QWidget>

namespace tessaline {

AppDelegate::AppDelegate(QObject *parent) : QObject(parent) {}

AppDelegate::~AppDelegate()
{
    // The tray icon refers to the menu; let it go first.
    status.reset();
}

void AppDelegate::applicationDidFinishLaunching()
{
    QApplication::setQuitOnLastWindowClosed(applicationShouldTerminateAfterLastWindowClosed());

    menu = std::make_unique<QMenu>();
    QAction *open = menu->addAction(QStringLiteral("Open Tessaline"));
    connect(open, &QAction::triggered, this, &AppDelegate::openWindow);
    QAction *quitAction = menu->addAction(QStringLiteral("Quit Tessaline"));
    quitAction->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
    connect(quitAction, &QAction::triggered, this, &AppDelegate::quit);
    status = std::make_unique<StatusItem>(QStringLiteral("Tessaline"), menu.get());

    openWindow();

    QPointer<AppDelegate> self(this);
    shortcut = std::make_unique<GlobalShortcut>([self] {
        if (!self)
            return;
        self->openWindow();
        if (self && self->controller && self->controller->window())
            self->controller->input->setFocus(Qt::ShortcutFocusReason);
    });
    // Without the shortcut (the combination taken, or no X11) the menu still opens the window.
    shortcut->install();
}

void AppDelegate::openWindow()
{
    if (!controller || !controller->window())
        controller = std::make_unique<MainWindowController>();
    if (QWidget *window = controller->window()) {
        window->show();
        window->setWindowState((window->windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
        window->raise();
        window->activateWindow();
    }
}

void AppDelegate::quit()
{
    QCoreApplication::quit();
}

} // namespace tessaline

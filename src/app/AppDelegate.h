#pragma once

#include <QObject>

#include <memory>

class QMenu;

namespace tessaline {

class GlobalShortcut;
class MainWindowController;
class StatusItem;

// The top of the program: the status item with its menu, the one main window's
// controller and the global shortcut, all kept for the life of the process.
class AppDelegate : public QObject {
    Q_OBJECT
public:
    explicit AppDelegate(QObject *parent = nullptr);
    ~AppDelegate() override;

    // Once, after launch: status item and menu, the main window, the shortcut.
    void applicationDidFinishLaunching();

    // Closing the window never ends the program; "Quit Tessaline" does.
    static bool applicationShouldTerminateAfterLastWindowClosed() { return false; }

    std::unique_ptr<MainWindowController> controller;
    std::unique_ptr<StatusItem> status;
    std::unique_ptr<GlobalShortcut> shortcut;

public Q_SLOTS:
    // Shows the one main window in front, creating it only when there is none.
    void openWindow();
    void quit();

private:
    std::unique_ptr<QMenu> menu;
};

} // namespace tessaline

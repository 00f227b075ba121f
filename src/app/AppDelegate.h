#pragma once

#include <QObject>
#include <QString>

#include <memory>

class QMenu;

namespace tessaline {

class GlobalShortcut;
class MainWindowController;
class SettingsStore;
class StatusItem;

// The top of the program: the status item with its menu, the one main window's
// controller and the global shortcut, all kept for the life of the process.
class AppDelegate : public QObject {
    Q_OBJECT
public:
    // The settings key of the global shortcut, as the user writes it ("Ctrl+Alt+L"), or
    // "none" for no shortcut.
    static const QString shortcutKey;
    // What the message about a missing shortcut suggests instead.
    static const QString suggestedShortcut;

    // `settings` defaults to the user's own.
    explicit AppDelegate(std::shared_ptr<SettingsStore> settings = nullptr, QObject *parent = nullptr);
    ~AppDelegate() override;

    // Once, after launch: status item and menu, the main window, the shortcut.
    void applicationDidFinishLaunching();

    // Closing the window never ends the program; "Quit Tessaline" does.
    static bool applicationShouldTerminateAfterLastWindowClosed() { return false; }

    // (Re)installs the global shortcut the settings name, unless it is already in place.
    // When it cannot be had, says so once, on standard error and in the icon's tool tip.
    void installShortcut();
    // Why the shortcut is missing, in one sentence; empty when it is in place or off.
    QString shortcutProblem() const { return problem; }

    // The answer to `tessaline status` from this copy: the window's last reading as one
    // line of JSON, empty while there is none (before the first read, after a failed one).
    QByteArray statusLine() const;

    std::unique_ptr<MainWindowController> controller;
    std::unique_ptr<StatusItem> status;
    std::unique_ptr<GlobalShortcut> shortcut;

public Q_SLOTS:
    // Shows the one main window in front, creating it only when there is none.
    void openWindow();
    void quit();
    // A later launch asked for the window, with its startup notification id if it had one;
    // it may also have chosen another shortcut.
    void launchRequested(const QByteArray &startupId);

private:
    void openWithFocusInDescription();
    void reportShortcutProblem(const QString &sentence);

    std::shared_ptr<SettingsStore> settings;
    std::unique_ptr<QMenu> menu;
    QString problem;
    bool installing = false;
    bool quitting = false; // a quit chosen while the portal was still answering
};

} // namespace tessaline

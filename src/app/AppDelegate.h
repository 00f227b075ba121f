#pragma once

#include "app/GlobalShortcut.h"
#include "platform/SingleInstance.h"

#include <QObject>
#include <QString>

#include <memory>
#include <vector>

class QMenu;

namespace tessaline {

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

    // (Re)installs the global shortcut the settings name, unless it is already in place
    // or being set up. The desktop may answer later; when the shortcut cannot be had,
    // that is said once, on standard error and in the icon's tool tip.
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
    // That launch chose a shortcut and waits to hear whether it is in place: answered
    // once the desktop has said, with the sentence that says why not, if it is not.
    void answerAwaited(const tessaline::SingleInstance::Answer &answer);

private:
    void openWithFocusInDescription();
    void shortcutSettled(QKeyCombination keys, GlobalShortcut::Status status);
    void reportShortcutProblem(const QString &sentence);
    QString shortcutAnswer() const;

    std::shared_ptr<SettingsStore> settings;
    std::unique_ptr<QMenu> menu;
    QString problem;
    std::vector<SingleInstance::Answer> awaited;
};

} // namespace tessaline

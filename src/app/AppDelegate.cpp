#include "app/AppDelegate.h"

#include "app/GlobalShortcut.h"
#include "cli/StatusReport.h"
#include "platform/DesktopActivation.h"
#include "platform/SettingsStore.h"
#include "platform/StatusItem.h"
#include "window/MainWindowController.h"

#include <QAction>
#include <QApplication>
#include <QKeySequence>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPointer>
#include <QWidget>

#include <cstdio>
#include <utility>

namespace tessaline {

const QString AppDelegate::shortcutKey = QStringLiteral("globalShortcut");
const QString AppDelegate::suggestedShortcut = QStringLiteral("Ctrl+Alt+Shift+L");

AppDelegate::AppDelegate(std::shared_ptr<SettingsStore> settings, QObject *parent)
    : QObject(parent), settings(settings ? std::move(settings) : std::make_shared<QSettingsStore>())
{
}

AppDelegate::~AppDelegate()
{
    // The tray icon refers to the menu; let it go first.
    status.reset();
}

QByteArray AppDelegate::statusLine() const
{
    if (!controller || !controller->usage)
        return QByteArray();
    const std::optional<ReserveState> run =
        controller->run ? std::optional<ReserveState>(controller->run->state) : std::nullopt;
    return StatusReport::from(*controller->usage, run).json();
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
    // Without the shortcut (the combination taken, or no X11) the menu still opens the window.
    installShortcut();
}

void AppDelegate::installShortcut()
{
    const QString chosen = settings->value(shortcutKey).toString().trimmed();
    if (chosen.compare(QLatin1String("none"), Qt::CaseInsensitive) == 0) {
        shortcut.reset();
        reportShortcutProblem(QString());
        return;
    }
    const std::optional<QKeyCombination> keys =
        chosen.isEmpty() ? GlobalShortcut::defaultCombination : GlobalShortcut::parse(chosen);
    if (!keys) {
        shortcut.reset();
        reportShortcutProblem(
            QStringLiteral("The %1 setting \"%2\" is not a key combination, so Tessaline runs without a global "
                           "shortcut; run \"tessaline --shortcut %3\" to choose one.")
                .arg(shortcutKey, chosen, suggestedShortcut));
        return;
    }
    // In place, or the desktop still answering about it: nothing to start again.
    if (shortcut && shortcut->combination() == *keys
        && (shortcut->installed() || shortcut->status() == GlobalShortcut::Status::pending))
        return;

    shortcut.reset(); // releases the old combination before the new one is grabbed
    QPointer<AppDelegate> self(this);
    shortcut = std::make_unique<GlobalShortcut>([self] {
        if (self)
            self->openWithFocusInDescription();
    }, *keys);
    shortcut->onStatusChanged([this, keys = *keys](GlobalShortcut::Status status) { shortcutSettled(keys, status); });
    shortcut->install();
}

void AppDelegate::shortcutSettled(QKeyCombination keys, GlobalShortcut::Status status)
{
    const bool x11 = QGuiApplication::platformName() == QLatin1String("xcb") && !HotKeyBackend::waylandSession();
    const QString shown = GlobalShortcut::text(keys);
    switch (status) {
    case GlobalShortcut::Status::taken:
        if (!x11) {
            // Through the portal it is the desktop (or the user, asked by it) that says no.
            reportShortcutProblem(
                QStringLiteral("The desktop did not grant Tessaline the shortcut %1, so it runs without one; "
                               "launching tessaline again brings its window forward.")
                    .arg(shown));
            break;
        }
        reportShortcutProblem(
            QStringLiteral("%1 is held by another program, so Tessaline runs without a global shortcut; run "
                           "\"tessaline --shortcut %2\" to choose another.")
                .arg(shown, keys == GlobalShortcut::parse(suggestedShortcut) ? QStringLiteral("Meta+Alt+L")
                                                                               : suggestedShortcut));
        break;
    case GlobalShortcut::Status::unsupported:
        // No global shortcuts on this desktop is the usual reason, and nothing the user
        // can change here; a key this keyboard lacks is worth a word.
        reportShortcutProblem(x11 ? QStringLiteral("%1 is not on this keyboard, so Tessaline runs without a "
                                                   "global shortcut; run \"tessaline --shortcut %2\" to choose another.")
                                        .arg(shown, suggestedShortcut)
                                  : QString());
        break;
    default:
        reportShortcutProblem(QString());
    }
    for (const SingleInstance::Answer &answer : std::exchange(awaited, {}))
        answer.send(shortcutAnswer());
}

QString AppDelegate::shortcutAnswer() const
{
    if (!problem.isEmpty() || !shortcut)
        return problem;
    const QString kept = shortcut->desktopKeys();
    if (kept.isEmpty())
        return QString();
    return QStringLiteral("The desktop keeps the keys of Tessaline's shortcut%1 itself, so %2 was not taken; change "
                          "them in the desktop's keyboard shortcut settings, where Tessaline is listed.")
        .arg(kept == QLatin1String("?") ? QString() : QStringLiteral(" (%1)").arg(kept),
             GlobalShortcut::text(shortcut->combination()));
}

void AppDelegate::answerAwaited(const SingleInstance::Answer &answer)
{
    if (shortcut && shortcut->status() == GlobalShortcut::Status::pending)
        awaited.push_back(answer);
    else
        answer.send(shortcutAnswer());
}

void AppDelegate::reportShortcutProblem(const QString &sentence)
{
    if (sentence == problem)
        return;
    problem = sentence;
    if (status)
        status->setNote(sentence);
    if (!sentence.isEmpty())
        std::fprintf(stderr, "%s\n", qPrintable(sentence));
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
        DesktopActivation::activate(window->windowHandle());
    }
}

void AppDelegate::openWithFocusInDescription()
{
    openWindow();
    if (controller && controller->window())
        controller->input->setFocus(Qt::ShortcutFocusReason);
}

void AppDelegate::launchRequested(const QByteArray &startupId)
{
    // The window first: whatever the desktop says about the shortcut comes later.
    DesktopActivation::launchRequested(startupId);
    openWithFocusInDescription();
    installShortcut();
}

void AppDelegate::quit()
{
    QCoreApplication::quit();
}

} // namespace tessaline

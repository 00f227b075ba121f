#include "app/AppDelegate.h"
#include "app/GlobalShortcut.h"
#include "cli/TerminalCommands.h"
#include "platform/Autostart.h"
#include "platform/DesktopActivation.h"
#include "platform/InstallIdentity.h"
#include "platform/SettingsStore.h"
#include "platform/SingleInstance.h"
#include "platform/StatusItem.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QIcon>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <memory>

namespace {

void say(const QString &sentence)
{
    std::fprintf(stderr, "%s\n", qPrintable(sentence));
}

QStringList arguments(int argc, char *argv[])
{
    QStringList list;
    for (int i = 0; i < argc; ++i)
        list.append(QString::fromLocal8Bit(argv[i]));
    return list;
}

} // namespace

int main(int argc, char *argv[])
{
    // `tessaline status` and `tessaline check` print and end; they need no display.
    if (tessaline::TerminalCommands::handles(argc, argv))
        return tessaline::TerminalCommands::main(argc, argv);

    QCoreApplication::setApplicationName(QStringLiteral("Tessaline"));
    QCoreApplication::setApplicationVersion(QStringLiteral(TESSALINE_VERSION));

    // Qt's X11 support takes the launch's startup id out of the environment when it
    // connects; a copy that hands over to a running one passes it on.
    const QByteArray startupId = qgetenv("DESKTOP_STARTUP_ID");
    // On Wayland the launcher's activation token plays that part. It is this launch's
    // alone: nothing the program starts may use it.
    const QByteArray activationToken = qgetenv("XDG_ACTIVATION_TOKEN");
    qunsetenv("XDG_ACTIVATION_TOKEN");

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Keep enough Codex quota for the end of a task.\n\n"
        "  tessaline status [--json | --format waybar]   print the quota (tessaline status --help)\n"
        "  tessaline check [--packet | --json] [FILE]    check a task (tessaline check --help)"));
    const QCommandLineOption shortcutOption(
        QStringLiteral("shortcut"),
        QStringLiteral("Set the global shortcut that opens the window (default Ctrl+Alt+L), e.g. %1; "
                       "\"none\" turns it off. Kept for later starts.")
            .arg(tessaline::AppDelegate::suggestedShortcut),
        QStringLiteral("keys"));
    const QCommandLineOption autostartOption(
        QStringLiteral("autostart"),
        QStringLiteral("Start Tessaline at login (on) or not (off), then exit."), QStringLiteral("on|off"));
    parser.addOption(shortcutOption);
    parser.addOption(autostartOption);
    const QCommandLineOption helpOption = parser.addHelpOption();
    const QCommandLineOption versionOption = parser.addVersionOption();

    // What only prints or writes a file works without a display; otherwise the GUI
    // application comes first, so that Qt's own options (-platform, -display) are taken
    // out before ours are read.
    const QStringList given = arguments(argc, argv).mid(1);
    const bool noDisplay = std::any_of(given.begin(), given.end(), [](const QString &a) {
        return a == QLatin1String("-h") || a == QLatin1String("--help") || a == QLatin1String("--help-all")
            || a == QLatin1String("-v")
            || a == QLatin1String("--version") || a.startsWith(QLatin1String("--autostart"));
    });
    std::unique_ptr<QCoreApplication> app = noDisplay ? std::make_unique<QCoreApplication>(argc, argv)
                                                      : std::make_unique<QApplication>(argc, argv);
    if (!parser.parse(QCoreApplication::arguments())) {
        QString error = parser.errorText();
        if (error.endsWith(QLatin1Char('.')))
            error.chop(1);
        say(error + QStringLiteral("; see tessaline --help."));
        return 2;
    }
    if (!parser.positionalArguments().isEmpty()) {
        say(QStringLiteral("Tessaline takes no words besides its options, not \"%1\"; see tessaline --help.")
                .arg(parser.positionalArguments().join(QLatin1Char(' '))));
        return 2;
    }
    if (parser.isSet(helpOption) || parser.isSet(QStringLiteral("help-all")))
        parser.showHelp(0);
    if (parser.isSet(versionOption))
        parser.showVersion();
    const QString autostart = parser.value(autostartOption);
    if (parser.isSet(autostartOption) && autostart != QLatin1String("on") && autostart != QLatin1String("off")) {
        say(QStringLiteral("--autostart takes on or off, not \"%1\".").arg(autostart));
        return 2;
    }

    // Both may be given at once: the shortcut is kept for later starts either way.
    if (parser.isSet(shortcutOption)) {
        const QString keys = parser.value(shortcutOption).trimmed();
        const bool off = keys.compare(QLatin1String("none"), Qt::CaseInsensitive) == 0;
        const std::optional<QKeyCombination> combination = tessaline::GlobalShortcut::parse(keys);
        if (!off && !combination) {
            say(QStringLiteral("\"%1\" is not a key combination Tessaline can use; give a key with Ctrl, Alt or "
                               "Meta, such as %2, or none.")
                    .arg(keys, tessaline::AppDelegate::suggestedShortcut));
            return 2;
        }
        tessaline::QSettingsStore settings;
        if (!settings.setValue(tessaline::AppDelegate::shortcutKey,
                               off ? QStringLiteral("none") : tessaline::GlobalShortcut::text(*combination))) {
            say(QStringLiteral("Tessaline could not save the shortcut in %1.").arg(settings.location()));
            return 1;
        }
    }

    if (parser.isSet(autostartOption)) {
        QString error;
        if (autostart == QLatin1String("on")) {
            if (!tessaline::Autostart::enable(QCoreApplication::applicationFilePath(), &error))
                return say(error), 1;
            say(QStringLiteral("Tessaline will start at login (%1).").arg(tessaline::Autostart::entryPath()));
        } else {
            if (!tessaline::Autostart::disable(&error))
                return say(error), 1;
            say(QStringLiteral("Tessaline will not start at login."));
        }
        return 0;
    }

    if (noDisplay)
        return 2; // not reached: each of those options has ended the program above
    // The desktop entry's id, which Wayland compositors and the portals know the program by.
    QApplication::setDesktopFileName(QStringLiteral("app.tessaline.Tessaline"));
    QApplication::setWindowIcon(tessaline::StatusItem::drawIcon(QStringLiteral("Tessaline")));

    // One copy per user: a second launch brings the running copy's window forward (and
    // makes it take up a shortcut just chosen). The startup id this launch was given
    // goes along, so the window manager knows the user asked for the window.
    const bool wayland = QGuiApplication::platformName().startsWith(QLatin1String("wayland"));
    tessaline::SingleInstance instance(QStringLiteral("tessaline"));
    switch (instance.claim(wayland ? activationToken : startupId, parser.isSet(shortcutOption))) {
    case tessaline::SingleInstance::Role::Primary:
        break;
    case tessaline::SingleInstance::Role::HandedOver:
        // The running copy's word on a shortcut just chosen: why it is not in place.
        if (instance.answer().isEmpty())
            return 0;
        say(instance.answer());
        return 1;
    case tessaline::SingleInstance::Role::Unanswered:
        say(QStringLiteral("Tessaline is already running but does not answer; quit it and try again."));
        return 1;
    }

    if (wayland)
        tessaline::DesktopActivation::setActivationToken(activationToken);
    tessaline::AppDelegate delegate;
    instance.setStatusAnswer([&delegate] { return delegate.statusLine(); });
    // Launching runs inside the event loop, so that a "Quit Tessaline" chosen at once
    // ends the program.
    QTimer::singleShot(0, &delegate, [&instance, &delegate] {
        QObject::connect(&instance, &tessaline::SingleInstance::openRequested, &delegate,
                         &tessaline::AppDelegate::launchRequested);
        QObject::connect(&instance, &tessaline::SingleInstance::answerAwaited, &delegate,
                         &tessaline::AppDelegate::answerAwaited);
        delegate.applicationDidFinishLaunching();
    });
    QApplication::exec();
    return 0;
}

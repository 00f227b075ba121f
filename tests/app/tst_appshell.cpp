#include "app/AppDelegate.h"
#include "app/GlobalShortcut.h"
#include "platform/SettingsStore.h"
#include "platform/StatusItem.h"
#include "XTestSupport.h"

#include <QApplication>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QScopeGuard>
#include <QSystemTrayIcon>
#include <QTemporaryDir>
#include <QTest>

#include <functional>

using namespace tessaline;
using namespace testsupport;

class TestAppShell : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { QCOMPARE(QGuiApplication::platformName(), QStringLiteral("xcb")); }

    void delegate()
    {
        QTRY_VERIFY2_WITH_TIMEOUT(!QSystemTrayIcon::isSystemTrayAvailable(),
                                  "another system tray is running on this display", 10000);
        QTemporaryDir settings(QStringLiteral("/tmp/tess.XXXXXX"));
        XClient holder;
        QVERIFY(holder.grab({0}));
        AppDelegate delegate(std::make_shared<QSettingsStore>(settings.filePath("settings.ini")));
        delegate.applicationDidFinishLaunching();
        QSystemTrayIcon *icon = delegate.status->trayIcon();
        // The combination held by another program is said in the tool tip (the words are the
        // whole-program test's), and gone from it once installed.
        QVERIFY(!delegate.shortcutProblem().isEmpty());
        QCOMPARE(icon->toolTip(), "Tessaline\n" + delegate.shortcutProblem());
        holder.ungrabAll();
        delegate.installShortcut();
        QCOMPARE(icon->toolTip(), QStringLiteral("Tessaline"));

        // Launched before any tray: shown all the same, docked once a tray appears.
        QVERIFY(icon->isVisible());
        QVERIFY(!delegate.status->isShown());
        TrayProcess tray;
        QVERIFY(tray.start());
        QTRY_VERIFY_WITH_TIMEOUT(delegate.status->isShown(), 20000);
        QTRY_VERIFY(icon->geometry().isValid());
    }

    void wholeProgram()
    {
        QTemporaryDir runtime;
        QFile::setPermissions(runtime.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("XDG_RUNTIME_DIR", runtime.path());
        environment.insert("FIXTURE_LOG", runtime.filePath("helper-runs"));
        environment.insert("XDG_CONFIG_HOME", runtime.filePath("config"));
        const QString program = QStringLiteral(TESSALINE_BUILD_DIR "/bin/tessaline");

        XClient x;
        TrayProcess tray;
        QVERIFY(tray.start());
        QTRY_VERIFY_WITH_TIMEOUT(QSystemTrayIcon::isSystemTrayAvailable(), 10000);

        // Another program holds the default combination.
        XClient holder;
        QVERIFY(holder.grab({0}));
        QProcess first;
        first.setProcessEnvironment(environment);
        dieWithTest(first);
        first.start(program);
        const auto stop = qScopeGuard([&first] { first.kill(), first.waitForFinished(); });

        // Launch: the window comes up focused on its own, the icon docks in the tray.
        xcb_window_t window = 0;
        QTRY_VERIFY_WITH_TIMEOUT((window = mainWindow(x)) != 0, 20000);
        QTRY_COMPARE(x.inputFocus(), window);
        QTRY_VERIFY_WITH_TIMEOUT(!ours(x, Icon).empty(), 20000);
        const QByteArray held = "Ctrl+Alt+L is held by another program, so Tessaline runs without a global shortcut; "
                                "run \"tessaline --shortcut Ctrl+Alt+Shift+L\" to choose another.\n";
        QByteArray said;
        QTRY_VERIFY((said += first.readAllStandardError()).contains(held));

        // `tessaline status` answers from this copy's reading, without a helper run of its own.
        QProcess status;
        status.setProcessEnvironment(environment);
        status.start(program, {"status", "--json"});
        QVERIFY(status.waitForFinished(20000) && status.exitStatus() == QProcess::NormalExit && status.exitCode() == 0);
        QCOMPARE(QJsonDocument::fromJson(status.readAllStandardOutput()).object().value("band").toString(), "tight");

        // Closing keeps the program and its icon; each way back reuses the one window.
        // A second launch that chooses a combination hands it to the running copy, and
        // says what the running copy answers: the held one fails with its sentence.
        const auto choose = [&](const char *keys, int exitCode, const QByteArray &answer) {
            QProcess second;
            second.setProcessEnvironment(environment);
            second.start(program, {"--shortcut", keys});
            return second.waitForFinished(20000) && second.exitStatus() == QProcess::NormalExit
                && second.exitCode() == exitCode && second.readAllStandardError() == answer;
        };
        const std::pair<const char *, std::function<bool()>> reopeners[] = {
            {"second launch choosing a held shortcut", [&] { return choose("ctrl+alt+l", 1, held); }},
            {"second launch choosing a shortcut", [&] { return choose("ctrl+alt+shift+l", 0, ""); }},
            {"global shortcut", [] { return xdotool({"key", "ctrl+alt+shift+l"}); }},
            {"Open Tessaline", [&x] { return openTrayMenu(x) && xdotool({"key", "Down", "Return"}); }},
        };
        for (const auto &[how, reopen] : reopeners) {
            x.requestClose(window);
            QTRY_VERIFY(ours(x, Main).empty());
            QCOMPARE(first.state(), QProcess::Running);
            QVERIFY(!ours(x, Icon).empty());
            QVERIFY2(reopen(), how);
            QTRY_VERIFY2((window = mainWindow(x)) != 0, how);
            QTRY_COMPARE(x.inputFocus(), window);
        }

        // Control-Q in the open tray menu quits. The quota was read once in all.
        QVERIFY(openTrayMenu(x));
        QVERIFY(xdotool({"key", "ctrl+q"}));
        QVERIFY(first.waitForFinished(20000) && first.exitStatus() == QProcess::NormalExit && first.exitCode() == 0);
        // Said once, and nothing else said.
        QCOMPARE(said + first.readAllStandardError(), held);
        QFile log(runtime.filePath("helper-runs"));
        QVERIFY(log.open(QIODevice::ReadOnly) && log.readAll() == "run\n");
    }

private:
    // With no window manager running, only the tray reparents a window of ours.
    enum Kind { Main, Menu, Icon };
    static std::vector<xcb_window_t> ours(XClient &x, Kind kind)
    {
        std::vector<xcb_window_t> found;
        for (const auto &w : x.windows()) {
            if (!w.viewable || !w.wmClass.toLower().split('\0').contains("tessaline"))
                continue;
            if (kind == Icon ? w.parent != x.root
                             : w.parent == x.root && w.overrideRedirect == (kind == Menu)
                                   && (kind == Menu || w.name == "Tessaline"))
                found.push_back(w.id);
        }
        return found;
    }
    static xcb_window_t mainWindow(XClient &x) { const auto found = ours(x, Main); return found.size() == 1 ? found[0] : 0; }
    // Clicks the icon until the menu is open: the icon may still be on its way into the tray.
    static bool openTrayMenu(XClient &x)
    {
        for (int attempt = 0; attempt < 20 && ours(x, Menu).empty(); ++attempt) {
            const auto icon = ours(x, Icon);
            if (icon.empty() || !xdotool({"mousemove", "--window", QString::number(icon[0]), "11", "11", "click", "1"}))
                return false;
            (void)QTest::qWaitFor([&x] { return !ours(x, Menu).empty(); }, 1000);
        }
        return !ours(x, Menu).empty();
    }
};

QTEST_MAIN(TestAppShell)
#include "tst_appshell.moc"

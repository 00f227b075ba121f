// The real program, started as a user starts it: the window at launch, the tray icon,
// the global shortcut, the hand-over of a second launch, and "Quit Tessaline".

#include "TrayProcess.h"
#include "XTestSupport.h"

#include <QFile>
#include <QProcess>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

using testsupport::WindowTree;
using testsupport::xdotool;

namespace {

const QString program = QStringLiteral(TESSALINE_BUILD_DIR "/bin/tessaline");
const QString helper = QStringLiteral(TESSALINE_TESTS_DIR "/fixtures/counting-quorvel.sh");

} // namespace

class TestExecutable : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY2(QFile::exists(program), qPrintable(program));
        QVERIFY(runtime.isValid());
        QFile::setPermissions(runtime.path(),
                              QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        environment = QProcessEnvironment::systemEnvironment();
        environment.insert("XDG_RUNTIME_DIR", runtime.path());
        environment.insert("QUORVEL_EXECUTABLE", helper);
        environment.insert("FIXTURE_LOG", runtime.filePath("helper-runs"));
        environment.remove("QT_QPA_PLATFORM");
    }

    void wholeProgram()
    {
        testsupport::TrayProcess tray;
        QVERIFY(tray.start());

        QProcess first;
        first.setProcessEnvironment(environment);
        first.setProcessChannelMode(QProcess::ForwardedChannels);
        first.start(program, {});
        QVERIFY(first.waitForStarted());
        // A failing check must not leave the program running for the next test.
        const auto stop = qScopeGuard([&first] {
            if (first.state() != QProcess::NotRunning) {
                first.kill();
                first.waitForFinished();
            }
        });

        // Launch: the window comes up on its own and the quota is read once.
        WindowTree x;
        xcb_window_t window = 0;
        QTRY_VERIFY_WITH_TIMEOUT((window = mainWindow(x)) != 0, 20000);
        QTRY_COMPARE(helperRuns(), 1);
        QTRY_COMPARE(x.inputFocus(), window);

        // The tray took the icon in: a window of ours inside another client's window.
        QTRY_VERIFY_WITH_TIMEOUT(dockedIcon(x) != 0, 20000);

        // Closing the window keeps the program, its tray icon and its shortcut.
        x.requestClose(window);
        QTRY_VERIFY(!isViewable(x, window));
        QCOMPARE(first.state(), QProcess::Running);
        QVERIFY(dockedIcon(x) != 0);

        // The shortcut brings the window back, focused, without a new quota read. (Qt
        // gives a reshown window a new X window, so it is looked up again.)
        QVERIFY(xdotool({"key", "ctrl+alt+l"}));
        QTRY_VERIFY((window = mainWindow(x)) != 0);
        QTRY_COMPARE(x.inputFocus(), window);
        QCOMPARE(windowsTitledTessaline(x), 1);

        // A second launch hands over to the first and ends with status 0.
        x.requestClose(window);
        QTRY_VERIFY(!isViewable(x, window));
        QProcess second;
        second.setProcessEnvironment(environment);
        second.start(program, {});
        QVERIFY(second.waitForFinished(20000));
        QCOMPARE(second.exitStatus(), QProcess::NormalExit);
        QCOMPARE(second.exitCode(), 0);
        QTRY_VERIFY((window = mainWindow(x)) != 0);
        QTRY_COMPARE(x.inputFocus(), window);
        QCOMPARE(windowsTitledTessaline(x), 1);
        QCOMPARE(helperRuns(), 1);

        // "Quit Tessaline" from the tray menu, chosen with the keyboard.
        QVERIFY(openTrayMenu(x));
        QVERIFY(xdotool({"key", "Down", "Down", "Return"}));
        QVERIFY(first.waitForFinished(20000));
        QCOMPARE(first.exitStatus(), QProcess::NormalExit);
        QCOMPARE(first.exitCode(), 0);
        QCOMPARE(tray.process.state(), QProcess::Running);
    }

private:
    int helperRuns() const
    {
        QFile log(runtime.filePath("helper-runs"));
        if (!log.open(QIODevice::ReadOnly))
            return 0;
        return int(log.readAll().count('\n'));
    }

    static bool isOurs(const WindowTree::Window &w)
    {
        return w.wmClass.toLower().split('\0').contains("tessaline");
    }

    static xcb_window_t mainWindow(WindowTree &x)
    {
        for (const auto &w : x.all())
            if (isOurs(w) && w.parent == x.root && w.viewable && !w.overrideRedirect
                && w.name == "Tessaline")
                return w.id;
        return 0;
    }

    static int windowsTitledTessaline(WindowTree &x)
    {
        int count = 0;
        for (const auto &w : x.all())
            count += isOurs(w) && w.viewable && w.name == "Tessaline";
        return count;
    }

    static bool isViewable(WindowTree &x, xcb_window_t id)
    {
        for (const auto &w : x.all())
            if (w.id == id)
                return w.viewable;
        return false;
    }

    // With no window manager running, only the tray reparents our windows.
    static xcb_window_t dockedIcon(WindowTree &x)
    {
        for (const auto &w : x.all())
            if (isOurs(w) && w.parent != x.root && w.viewable)
                return w.id;
        return 0;
    }

    static bool openTrayMenu(WindowTree &x)
    {
        auto menuOpen = [&x] {
            for (const auto &w : x.all())
                if (isOurs(w) && w.parent == x.root && w.viewable && w.overrideRedirect)
                    return true;
            return false;
        };
        for (int attempt = 0; attempt < 20 && !menuOpen(); ++attempt) {
            const xcb_window_t icon = dockedIcon(x);
            if (!icon || !xdotool({"mousemove", "--window", QString::number(icon), "11", "11",
                                   "click", "1"}))
                return false;
            if (QTest::qWaitFor(menuOpen, 1000))
                break;
        }
        return menuOpen();
    }

    QTemporaryDir runtime;
    QProcessEnvironment environment;
};

QTEST_GUILESS_MAIN(TestExecutable)
#include "tst_executable.moc"

// The program on a real Wayland compositor: Debian's weston, headless, in a runtime folder of
// the test's own, with no X server to fall back on. Weston lets no other client list, close
// or focus a window, nor send it keys, but logs every request its clients make ("proto"
// scope): the window's title and identity are read from that log; what only the program
// can see (the quota on the window, the menu's quit) is checked in this process, which
// runs the shell on the same compositor.

#include "app/AppDelegate.h"
#include "platform/SettingsStore.h"
#include "platform/SingleInstance.h"
#include "platform/StatusItem.h"
#include "window/MainWindowController.h"
#include "window/StackView.h"
#include "XTestSupport.h"

#include <QAction>
#include <QApplication>
#include <QFile>
#include <QLabel>
#include <QMenu>
#include <QSignalSpy>
#include <QSystemTrayIcon>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

using namespace tessaline;
using namespace testsupport;

namespace {

const QString program = QStringLiteral(TESSALINE_BUILD_DIR "/bin/tessaline");

// Weston on its headless backend. It runs the [autolaunch] program once it listens, so
// the line that program prints is the sign that clients can connect.
struct Weston {
    QTemporaryDir runtime{QStringLiteral("/tmp/tess.XXXXXX")};
    QProcess process;

    QString log() const { return runtime.filePath(QStringLiteral("weston.log")); }

    bool start()
    {
        if (!runtime.isValid() || !QFile::setPermissions(runtime.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner))
            return false;
        QFile ready(runtime.filePath(QStringLiteral("ready")));
        QFile config(runtime.filePath(QStringLiteral("weston.ini")));
        if (!ready.open(QIODevice::WriteOnly) || !config.open(QIODevice::WriteOnly) || !ready.write("#!/bin/sh\necho ready\n")
            || !ready.setPermissions(ready.permissions() | QFile::ExeOwner)
            || !config.write(QStringLiteral("[core]\nshell=desktop-shell.so\n[autolaunch]\npath=%1\n").arg(ready.fileName()).toUtf8()))
            return false;
        ready.close(), config.close();

        QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
        e.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime.path());
        e.remove(QStringLiteral("DISPLAY"));
        e.remove(QStringLiteral("WAYLAND_DISPLAY"));
        process.setProcessEnvironment(e);
        QByteArray line;
        if (!startedWithLine(process, QStringLiteral("weston"), {"--config=" + config.fileName(), "--backend=headless-backend.so", "--socket=wayland-tess",
                             "--width=1280", "--height=1024", "--debug", "--logger-scopes=proto", "--log=" + log()}, &line, "ready"))
            return false;
        qputenv("XDG_RUNTIME_DIR", runtime.path().toLocal8Bit());
        qputenv("WAYLAND_DISPLAY", "wayland-tess");
        qunsetenv("DISPLAY");
        return true;
    }
    ~Weston() { process.terminate(), process.waitForFinished(5000); }

    // How many times a client made this request, e.g. set_title("Tessaline").
    int requests(const QByteArray &request) const
    {
        QFile file(log());
        return file.open(QIODevice::ReadOnly) ? int(file.readAll().count("." + request)) : 0;
    }
    int titled(const QByteArray &title) const { return requests("set_title(\"" + title + "\")"); }
};

Weston *compositor = nullptr;

} // namespace

class TestWayland : public QObject {
    Q_OBJECT

    QTemporaryDir home{QStringLiteral("/tmp/tess.XXXXXX")};

    QProcessEnvironment environment() const
    {
        QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
        e.insert("QT_QPA_PLATFORM", "wayland");
        e.insert("XDG_CONFIG_HOME", home.filePath("config"));
        e.insert("FIXTURE_LOG", home.filePath("quota-reads"));
        return e;
    }

    int quotaReads() const
    {
        QFile file(home.filePath("quota-reads"));
        return file.open(QIODevice::ReadOnly) ? int(file.readAll().count("run")) : 0;
    }

private Q_SLOTS:
    void initTestCase() { QCOMPARE(QGuiApplication::platformName(), QStringLiteral("wayland")); }

    // The installed program as a user starts it: native on Wayland, its window titled and
    // identified for the compositor, the quota read; a second launch hands over to it.
    void wholeProgram()
    {
        const int before = compositor->titled("Tessaline");
        QProcess first;
        first.setProcessEnvironment(environment());
        dieWithTest(first);
        first.start(program);
        const auto stop = qScopeGuard([&first] { first.kill(), first.waitForFinished(); });
        QTRY_COMPARE_WITH_TIMEOUT(compositor->titled("Tessaline"), before + 1, 20000);
        QVERIFY(compositor->requests("set_app_id(\"app.tessaline.Tessaline\")") > 0);
        QTRY_COMPARE_WITH_TIMEOUT(quotaReads(), 1, 20000);

        QProcess second;
        second.setProcessEnvironment(environment());
        second.start(program);
        QVERIFY(second.waitForFinished(20000) && second.exitStatus() == QProcess::NormalExit && second.exitCode() == 0);
        QCOMPARE(first.state(), QProcess::Running);
    }

    // The shell in this process: the quota on the window; a window the user closed comes
    // back on the next launch; "Quit Tessaline" ends the program.
    void shellOnWayland()
    {
        qputenv("FIXTURE_LOG", home.filePath("in-process-reads").toLocal8Bit());
        SingleInstance instance(QStringLiteral("tessaline"));
        QCOMPARE(instance.claim(), SingleInstance::Role::Primary);
        AppDelegate delegate(std::make_shared<QSettingsStore>(home.filePath("settings.ini")));
        connect(&instance, &SingleInstance::openRequested, &delegate, &AppDelegate::launchRequested);
        const int before = compositor->titled("Tessaline");
        delegate.applicationDidFinishLaunching();
        QWidget *window = delegate.controller->window();
        QTRY_COMPARE_WITH_TIMEOUT(compositor->titled("Tessaline"), before + 1, 20000);
        const auto quotaShown = [&delegate] {
            const auto labels = delegate.controller->quotaRows->findChildren<QLabel *>();
            return std::any_of(labels.begin(), labels.end(), [](const QLabel *l) { return l->text().contains(QLatin1String("65%")); });
        };
        QTRY_VERIFY_WITH_TIMEOUT(quotaShown(), 20000);

        QVERIFY(window->close());
        QProcess second;
        second.setProcessEnvironment(environment());
        QSignalSpy finished(&second, &QProcess::finished); // this process answers it meanwhile
        second.start(program);
        QVERIFY(finished.wait(20000));
        QCOMPARE(second.exitCode(), 0);
        QTRY_VERIFY(delegate.controller->window()->isVisible());
        QTRY_COMPARE_WITH_TIMEOUT(compositor->titled("Tessaline"), before + 2, 20000);

        QAction *quit = delegate.status->contextMenu()->actions().value(1);
        QVERIFY(quit && quit->text() == QLatin1String("Quit Tessaline"));
        QTimer::singleShot(0, quit, &QAction::trigger);
        QCOMPARE(QApplication::exec(), 0);
    }
};

int main(int argc, char *argv[])
{
    Weston weston;
    if (!weston.start()) {
        std::fputs("The test could not start weston on its headless backend.\n", stderr);
        return 1;
    }
    compositor = &weston;
    qputenv("QT_QPA_PLATFORM", "wayland");
    QApplication app(argc, argv);
    TestWayland test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_wayland.moc"

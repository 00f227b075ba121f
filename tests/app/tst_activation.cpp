// A second launch on Wayland gives the running copy's window the focus, with the
// activation token its launcher got from the compositor. Weston 10 has no xdg-activation,
// so this runs under sway on its headless backend; sway's IPC (swaymsg) tells from
// outside which window has the focus. Sway refuses to run as root, so as root the test
// starts it as "nobody".

#include "XTestSupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <unistd.h>

using namespace testsupport;

namespace {

const QString program = QStringLiteral(TESSALINE_BUILD_DIR "/bin/tessaline");
const QString tokenTool = QStringLiteral(TESSALINE_BUILD_DIR "/tests/app/activation_token");

// The app_id of the focused window in a sway tree, or empty.
QString focusedIn(const QJsonObject &node)
{
    if (node.value("focused").toBool() && node.contains("app_id"))
        return node.value("app_id").toString();
    for (const char *children : {"nodes", "floating_nodes"})
        for (const QJsonValue &child : node.value(children).toArray())
            if (const QString found = focusedIn(child.toObject()); !found.isEmpty())
                return found;
    return QString();
}

} // namespace

class TestActivation : public QObject {
    Q_OBJECT

    QTemporaryDir swayRuntime{QStringLiteral("/tmp/tess.XXXXXX")};
    QTemporaryDir runtime{QStringLiteral("/tmp/tess.XXXXXX")};
    QProcess sway;
    QProcessEnvironment clients;

    QString focused()
    {
        QProcess swaymsg;
        swaymsg.setProcessEnvironment(clients);
        swaymsg.start("swaymsg", {"-r", "-t", "get_tree"});
        if (!swaymsg.waitForFinished(10000))
            return QString();
        return focusedIn(QJsonDocument::fromJson(swaymsg.readAllStandardOutput()).object());
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(swayRuntime.isValid() && runtime.isValid());
        QVERIFY(QDir(swayRuntime.path()).mkpath("home"));
        QFile config(swayRuntime.filePath("config"));
        QVERIFY(config.open(QIODevice::WriteOnly));
        // Runs once sway listens, and says where.
        config.write("focus_on_window_activation focus\nexec echo \"ready $WAYLAND_DISPLAY $SWAYSOCK\"\n");
        config.close();

        QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
        e.remove("DISPLAY");
        e.remove("WAYLAND_DISPLAY");
        e.insert("XDG_RUNTIME_DIR", swayRuntime.path());
        e.insert("HOME", swayRuntime.filePath("home"));
        e.insert("WLR_BACKENDS", "headless");
        e.insert("WLR_LIBINPUT_NO_DEVICES", "1");
        e.insert("WLR_RENDERER", "pixman");
        QStringList command{"sway", "-c", config.fileName()};
        if (::getuid() == 0) {
            for (const QString &path : {swayRuntime.path(), swayRuntime.filePath("home")})
                QVERIFY(::chown(QFile::encodeName(path).constData(), 65534, 65534) == 0);
            command = QStringList{"setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"} + command;
        }
        sway.setProcessEnvironment(e);
        dieWithTest(sway);
        sway.start(command.takeFirst(), command);
        QVERIFY(sway.waitForStarted(10000));
        QByteArray line;
        while (!line.startsWith("ready ")) {
            while (!sway.canReadLine())
                QVERIFY2(sway.waitForReadyRead(20000), "sway did not start");
            line = sway.readLine().trimmed();
        }
        const QList<QByteArray> where = line.split(' ');
        QCOMPARE(where.size(), 3);

        // The clients run as this user, with a runtime folder of their own; the
        // compositor's socket is reached by its full path.
        clients = QProcessEnvironment::systemEnvironment();
        clients.remove("DISPLAY");
        clients.insert("XDG_RUNTIME_DIR", runtime.path());
        clients.insert("WAYLAND_DISPLAY", swayRuntime.filePath(QString::fromUtf8(where[1])));
        clients.insert("SWAYSOCK", QString::fromUtf8(where[2]));
        clients.insert("QT_QPA_PLATFORM", "wayland");
        clients.insert("XDG_CONFIG_HOME", runtime.filePath("config"));
    }
    void cleanupTestCase() { sway.terminate(), sway.waitForFinished(5000); }

    void secondLaunchTakesTheFocus()
    {
        QProcess first, other;
        for (QProcess *p : {&first, &other}) {
            p->setProcessEnvironment(clients);
            dieWithTest(*p);
        }
        first.start(program);
        const auto stop = qScopeGuard([&] {
            for (QProcess *p : {&other, &first})
                p->kill(), p->waitForFinished();
        });
        QTRY_COMPARE_WITH_TIMEOUT(focused(), QStringLiteral("tessaline"), 20000);

        // Another program opens in front and has the focus.
        other.start("weston-flower");
        QTRY_COMPARE_WITH_TIMEOUT(focused(), QStringLiteral("org.freedesktop.weston.flower"), 20000);

        // As a launcher starts the program: with a token from the compositor.
        QProcess token;
        token.setProcessEnvironment(clients);
        token.start(tokenTool);
        QVERIFY(token.waitForFinished(10000));
        QCOMPARE(token.exitCode(), 0);
        QProcessEnvironment e = clients;
        e.insert("XDG_ACTIVATION_TOKEN", QString::fromUtf8(token.readAllStandardOutput().trimmed()));
        QProcess second;
        second.setProcessEnvironment(e);
        second.start(program);
        QVERIFY(second.waitForFinished(20000));
        QCOMPARE(second.exitCode(), 0);
        QTRY_COMPARE_WITH_TIMEOUT(focused(), QStringLiteral("tessaline"), 20000);
        QCOMPARE(first.state(), QProcess::Running);
    }
};

QTEST_GUILESS_MAIN(TestActivation)
#include "tst_activation.moc"

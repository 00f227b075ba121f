// The program under sway on its headless backend, as on a wlroots desktop or one that
// offers the global-shortcuts portal: the window takes the focus with the activation
// token a launcher or the portal hands over, and waybar's tray shows the icon, whose menu
// works. Sway's IPC (swaymsg) tells from outside which windows there are and which has
// the focus; grim's screenshots show what the bar draws. Sway refuses to run as root, so
// as root the test starts it as "nobody". The program, the portal and the bar share a
// private session bus; Debian's KDE portal and kglobalaccel get one of their own.

#include "PrivateBus.h"
#include "ShortcutsPortal.h"
#include "XTestSupport.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDir>
#include <QElapsedTimer>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRect>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <unistd.h>

using namespace testsupport;

namespace {

const QString program = QStringLiteral(TESSALINE_BUILD_DIR "/bin/tessaline");
const QString tokenTool = QStringLiteral(TESSALINE_BUILD_DIR "/tests/app/activation_token");
const QString pointerTool = QStringLiteral(TESSALINE_BUILD_DIR "/tests/app/virtual_pointer");
const QString tessaline = QStringLiteral("app.tessaline.Tessaline"); // the window's app_id
const QString flower = QStringLiteral("org.freedesktop.weston.flower");

// Every window in a sway tree.
void windowsIn(const QJsonObject &node, QList<QJsonObject> &found)
{
    if (node.contains("app_id"))
        found.append(node);
    for (const char *children : {"nodes", "floating_nodes"})
        for (const QJsonValue &child : node.value(children).toArray())
            windowsIn(child.toObject(), found);
}

// Where the program's icon is drawn: its rounded square's colour, in at least as many
// pixels as a 16-pixel icon has.
QRect iconIn(const QImage &image)
{
    const QColor colour(0x2f, 0x6f, 0xb3);
    QRect found;
    int count = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            const QColor c = image.pixelColor(x, y);
            if (qAbs(c.red() - colour.red()) + qAbs(c.green() - colour.green()) + qAbs(c.blue() - colour.blue()) <= 12)
                found |= QRect(x, y, 1, 1), ++count;
        }
    return count >= 150 ? found : QRect();
}

// The entries of the menu that opened between two screenshots, as a point on each one's
// text. The menu is the white area that appeared (not its shadow), its entries the runs
// of rows with dark text inside it. The columns next to the icon are left out, where the
// bar may mark the item the pointer is on.
QList<QPoint> menuEntries(const QImage &before, const QImage &after, const QRect &icon)
{
    const auto lightness = [&after](int x, int y) {
        const QRgb c = after.pixel(x, y);
        return qMax(qRed(c), qMax(qGreen(c), qBlue(c)));
    };
    QRect menu;
    for (int y = 0; y < after.height(); ++y)
        for (int x = 0; x < icon.left() - 8; ++x)
            if (before.pixel(x, y) != after.pixel(x, y) && qMin(qRed(after.pixel(x, y)), qMin(qGreen(after.pixel(x, y)), qBlue(after.pixel(x, y)))) >= 250)
                menu |= QRect(x, y, 1, 1);
    menu.adjust(6, 2, -6, -2); // inside the rounded border
    QList<QPoint> entries;
    if (menu.width() < 60 || menu.height() < 30)
        return entries;
    int runStart = -1;
    for (int y = menu.top(); y <= menu.bottom() + 1; ++y) {
        bool text = false;
        for (int x = menu.left(); y <= menu.bottom() && x <= menu.right() && !text; ++x)
            text = lightness(x, y) < 128;
        if (text && runStart < 0)
            runStart = y;
        if (!text && runStart >= 0)
            entries.append(QPoint(menu.center().x(), (runStart + y - 1) / 2)), runStart = -1;
    }
    return entries;
}

} // namespace

class TestSway : public QObject {
    Q_OBJECT

    QTemporaryDir swayRuntime{QStringLiteral("/tmp/tess.XXXXXX")};
    QTemporaryDir runtime{QStringLiteral("/tmp/tess.XXXXXX")};
    QTemporaryDir portals{QStringLiteral("/tmp/tess.XXXXXX")};
    QProcess sway;
    PrivateBus bus;
    ShortcutsPortal portal;
    QProcessEnvironment clients;
    QSize layout;

    QByteArray swaymsg(const QStringList &arguments)
    {
        QProcess swaymsg;
        swaymsg.setProcessEnvironment(clients);
        swaymsg.start("swaymsg", QStringList{"-r"} + arguments);
        return swaymsg.waitForFinished(10000) ? swaymsg.readAllStandardOutput() : QByteArray();
    }
    // The windows with this app_id, or all.
    QList<QJsonObject> windows(const QString &id = QString())
    {
        QList<QJsonObject> found;
        windowsIn(QJsonDocument::fromJson(swaymsg({"-t", "get_tree"})).object(), found);
        found.removeIf([&id](const QJsonObject &w) { return !id.isEmpty() && w["app_id"].toString() != id; });
        return found;
    }
    QString focused()
    {
        for (const QJsonObject &w : windows())
            if (w["focused"].toBool())
                return w["app_id"].toString();
        return QString();
    }
    // Whether the program has one window, its main window: a menu shown as a window of
    // its own would be nearly all white.
    bool onlyMainWindow()
    {
        const QList<QJsonObject> found = windows(tessaline);
        if (found.size() != 1)
            return false;
        const QJsonObject r = found[0]["rect"].toObject();
        const QImage shot = screenshot().copy(r["x"].toInt(), r["y"].toInt(), r["width"].toInt(), r["height"].toInt());
        qsizetype white = 0;
        for (int y = 0; y < shot.height(); ++y)
            for (int x = 0; x < shot.width(); ++x)
                white += shot.pixel(x, y) == qRgb(255, 255, 255);
        return white < shot.width() * shot.height() / 2;
    }

    // What a launcher gets from the compositor before it starts a program.
    QString activationToken()
    {
        QProcess token;
        token.setProcessEnvironment(clients);
        token.start(tokenTool);
        if (!token.waitForFinished(10000) || token.exitCode() != 0)
            return QString();
        return QString::fromUtf8(token.readAllStandardOutput().trimmed());
    }
    QImage screenshot()
    {
        QProcess grim;
        grim.setProcessEnvironment(clients);
        const QString file = runtime.filePath("shot.png");
        grim.start("grim", {file});
        return grim.waitForFinished(10000) && grim.exitCode() == 0 ? QImage(file) : QImage();
    }
    void start(QProcess &process, const QString &command, const QStringList &arguments = {})
    {
        process.setProcessEnvironment(clients);
        dieWithTest(process);
        process.start(command, arguments);
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
        const QString swayProgram = command.takeFirst();
        QByteArray line;
        QVERIFY2(startedWithLine(sway, swayProgram, command, &line, "ready "), "sway did not start");
        const QList<QByteArray> where = line.split(' ');
        QCOMPARE(where.size(), 3);

        // The portal frontend, activated on the bus, finds the test's backend.
        QProcessEnvironment busEnvironment = QProcessEnvironment::systemEnvironment();
        QVERIFY(ShortcutsPortal::describe(portals, true, busEnvironment));
        QVERIFY(bus.start({ShortcutsPortal::frontendService()}, busEnvironment));
        QVERIFY(portal.serve(QDBusConnection::connectToBus(bus.address, "desktop")));

        // The clients run as this user, with a runtime folder of their own; the
        // compositor's socket is reached by its full path.
        clients = QProcessEnvironment::systemEnvironment();
        clients.remove("DISPLAY");
        clients.insert("XDG_RUNTIME_DIR", runtime.path());
        clients.insert("WAYLAND_DISPLAY", swayRuntime.filePath(QString::fromUtf8(where[1])));
        clients.insert("SWAYSOCK", QString::fromUtf8(where[2]));
        clients.insert("DBUS_SESSION_BUS_ADDRESS", bus.address);
        clients.insert("QT_QPA_PLATFORM", "wayland");
        clients.insert("XDG_CONFIG_HOME", runtime.filePath("config"));

        const QJsonObject output = QJsonDocument::fromJson(swaymsg({"-t", "get_outputs"})).array().at(0).toObject();
        layout = QSize(output["rect"]["width"].toInt(), output["rect"]["height"].toInt());
        QVERIFY(!layout.isEmpty());
    }
    // Debian's real KDE stack as Plasma runs it on Wayland: the portal frontend picks KDE's
    // backend for XDG_CURRENT_DESKTOP=KDE, which registers the shortcut with kglobalaccel;
    // a press is what kglobalaccel does when its keys are pressed. The shortcut is
    // registered once and reopens the window; a restart finds it registered and binds
    // nothing new, so the desktop never asks its user again; keys chosen later are the
    // desktop's to change.
    void kdeStack()
    {
        QTemporaryDir config(QStringLiteral("/tmp/tess.XXXXXX"));
        QProcessEnvironment e = clients;
        e.insert("XDG_CURRENT_DESKTOP", "KDE");
        e.insert("XDG_CONFIG_HOME", config.path()); // kglobalaccel keeps its shortcuts here
        PrivateBus kde;
        QVERIFY(kde.start({ShortcutsPortal::frontendService(),
                           {"kde.service", "[D-BUS Service]\nName=org.freedesktop.impl.portal.desktop.kde\n"
                                           "Exec=/usr/lib/x86_64-linux-gnu/libexec/xdg-desktop-portal-kde\n"},
                           {"kglobalaccel.service", "[D-BUS Service]\nName=org.kde.kglobalaccel\nExec=/usr/bin/kglobalaccel5\n"}},
                          e));
        QDBusConnection bus = QDBusConnection::connectToBus(kde.address, "kde");
        const auto disconnect = qScopeGuard([] { QDBusConnection::disconnectFromBus("kde"); });
        const auto call = [&bus](const QString &path, const QString &interface, const QString &method,
                                 const QVariantList &arguments = {}) {
            QDBusMessage m = QDBusMessage::createMethodCall("org.kde.kglobalaccel", path, interface, method);
            m.setArguments(arguments);
            return bus.call(m, QDBus::Block, 5000).arguments().value(0);
        };
        const auto components = [&] {
            QStringList paths;
            for (const QDBusObjectPath &p : qdbus_cast<QList<QDBusObjectPath>>(
                     call("/kglobalaccel", "org.kde.KGlobalAccel", "allComponents")))
                paths.append(p.path());
            return paths;
        };
        const auto press = [&] {
            call("/component/tessaline", "org.kde.kglobalaccel.Component", "invokeShortcut", {"open-window"});
            return focused() == tessaline;
        };
        e.insert("DBUS_SESSION_BUS_ADDRESS", kde.address);
        for (int run = 0; run < 2; ++run) {
            QProcess copy;
            copy.setProcessEnvironment(e);
            dieWithTest(copy);
            copy.start(program);
            const auto stop = qScopeGuard([&copy] { copy.kill(), copy.waitForFinished(); });
            QTRY_COMPARE_WITH_TIMEOUT(focused(), tessaline, 20000);
            QTRY_COMPARE_WITH_TIMEOUT(components(), QStringList{"/component/tessaline"}, 20000);
            QCOMPARE(call("/component/tessaline", "org.kde.kglobalaccel.Component", "shortcutNames").toStringList(),
                     QStringList{"open-window"});
            swaymsg({QStringLiteral("[app_id=%1] kill").arg(tessaline)});
            QTRY_VERIFY(windows(tessaline).isEmpty());
            // Until this copy's session is set up a press reaches nothing.
            QTRY_VERIFY_WITH_TIMEOUT(press(), 20000);
            QCOMPARE(windows(tessaline).size(), 1);
            if (run == 1) {
                // Other keys chosen: KDE keeps the ones it has, and the launch that chose says so.
                QProcess chooser;
                chooser.setProcessEnvironment(e);
                chooser.start(program, {"--shortcut", "Ctrl+Alt+Shift+K"});
                QVERIFY(chooser.waitForFinished(60000));
                const QByteArray said = chooser.readAllStandardError();
                QCOMPARE(chooser.exitCode(), 1);
                QVERIFY2(said.startsWith("The desktop keeps the keys of Tessaline's shortcut (Ctrl+Alt+L)")
                             && said.count('\n') == 1, said);
            }
        }
    }

    void cleanupTestCase()
    {
        QDBusConnection::disconnectFromBus("desktop");
        sway.terminate(), sway.waitForFinished(5000);
    }

    // Another program has the focus; a second launch with a launcher's token, or a press
    // of the shortcut with the portal's token, gives it back to the running window. The
    // second launch comes after the desktop refused the shortcut, so the running copy asks
    // again, and the desktop keeps it waiting: the window comes forward all the same, and
    // the running copy survives the launch that asked.
    void activationTakesTheFocus_data()
    {
        QTest::addColumn<bool>("byShortcut");
        QTest::newRow("second launch") << false;
        QTest::newRow("portal shortcut") << true;
    }
    void activationTakesTheFocus()
    {
        QFETCH(bool, byShortcut);
        portal.kept.clear();
        portal.grant = byShortcut;
        const auto answer = qScopeGuard([this] { portal.grant = true, portal.hold = false; });
        const qsizetype asked = portal.asked.size();
        QProcess first, other;
        start(first, program);
        const auto stop = qScopeGuard([&] {
            for (QProcess *p : {&other, &first})
                p->kill(), p->waitForFinished();
        });
        QTRY_COMPARE_WITH_TIMEOUT(focused(), tessaline, 20000);
        // On Wayland the program asks the portal for its shortcut.
        QTRY_COMPARE_WITH_TIMEOUT(portal.asked.size(), asked + 1, 20000);

        start(other, "weston-flower");
        QTRY_COMPARE_WITH_TIMEOUT(focused(), flower, 20000);

        const QString token = activationToken();
        QVERIFY(!token.isEmpty());
        if (byShortcut) {
            QVERIFY(ShortcutsPortal::press(QDBusConnection("desktop"), portal.sessions.last(), "open-window",
                                           {{"activation_token", token}}));
        } else {
            QTRY_COMPARE(portal.closed.size(), portal.sessions.size()); // refused, and let go
            portal.hold = true;
            QProcessEnvironment e = clients;
            e.insert("XDG_ACTIVATION_TOKEN", token);
            QProcess second;
            second.setProcessEnvironment(e);
            second.start(program);
            QVERIFY(second.waitForFinished(20000));
            QCOMPARE(second.exitCode(), 0);
            QTRY_COMPARE_WITH_TIMEOUT(portal.asked.size(), asked + 2, 20000);
        }
        QTRY_COMPARE_WITH_TIMEOUT(focused(), tessaline, 20000);
        QCOMPARE(first.state(), QProcess::Running);
    }

    // Waybar's tray, started after the program, shows the icon; its menu, drawn by the
    // bar and chosen with a pointer, brings the closed window back and quits the program,
    // all while the desktop is still asking its user about the shortcut.
    void waybarTray()
    {
        portal.kept.clear(), portal.hold = true;
        const auto answer = qScopeGuard([this] { portal.hold = false; });
        const QString configDir = runtime.filePath("config/waybar");
        QVERIFY(QDir().mkpath(configDir));
        QFile config(configDir + "/config");
        QVERIFY(config.open(QIODevice::WriteOnly));
        config.write(R"({"layer": "top", "position": "top", "height": 30, "modules-right": ["tray"],
                         "tray": {"icon-size": 24}})");
        config.close();
        QProcess waybar, tessalineProcess, pointer;
        const auto stop = qScopeGuard([&] {
            for (QProcess *p : {&pointer, &tessalineProcess, &waybar})
                p->kill(), p->waitForFinished();
        });
        // The bar comes after the program, as a panel started late or restarted does.
        start(tessalineProcess, program);
        QTRY_COMPARE_WITH_TIMEOUT(focused(), tessaline, 20000);
        start(waybar, "waybar");
        QRect icon; // in the bar, the top 30 rows
        QTRY_VERIFY_WITH_TIMEOUT((icon = iconIn(screenshot().copy(0, 0, layout.width(), 30))).isValid(), 20000);

        swaymsg({QStringLiteral("[app_id=%1] kill").arg(tessaline)});
        QTRY_VERIFY(windows(tessaline).isEmpty());

        start(pointer, pointerTool, {QString::number(layout.width()), QString::number(layout.height())});
        const auto send = [&pointer](const char *what, QPoint at, const char *button = "") {
            pointer.write(QStringLiteral("%1 %2 %3 %4\n").arg(what).arg(at.x()).arg(at.y()).arg(button).toUtf8());
            return pointer.waitForReadyRead(10000) && pointer.readLine().trimmed() == "ok";
        };
        const auto choose = [&](int entry) {
            QVERIFY(send("move", icon.center()));
            const QImage before = screenshot();
            QVERIFY(send("click", icon.center(), "right"));
            QElapsedTimer opened;
            opened.start();
            QList<QPoint> entries;
            QImage shown;
            QTRY_COMPARE_WITH_TIMEOUT((entries = menuEntries(before, shown = screenshot(), icon)).size(), 2, 20000);
            // As a hand does: onto the entry, until the menu marks it as the one under the
            // pointer (seen left of where the pointer's arrow is drawn), then the click.
            // GTK takes a release within half a second of the opening click as that
            // click's own, and ignores it.
            const QPoint at = entries[entry];
            const QRect marked(at.x() - 40, at.y(), 30, 1);
            QVERIFY(send("move", at));
            QTRY_VERIFY_WITH_TIMEOUT(screenshot().copy(marked) != shown.copy(marked), 20000);
            QTest::qWait(qMax(0, 600 - int(opened.elapsed())));
            QVERIFY(send("click", at, "left"));
        };
        choose(0); // "Open Tessaline"
        if (QTest::currentTestFailed())
            return;
        QTRY_COMPARE_WITH_TIMEOUT(focused(), tessaline, 20000);

        // A plain click brings the window back too, and opens no window of a menu.
        swaymsg({QStringLiteral("[app_id=%1] kill").arg(tessaline)});
        QTRY_VERIFY(windows(tessaline).isEmpty());
        QVERIFY(send("click", icon.center(), "left"));
        QTRY_COMPARE_WITH_TIMEOUT(focused(), tessaline, 20000);
        QVERIFY(onlyMainWindow());
        choose(1); // "Quit Tessaline"
        QTRY_COMPARE_WITH_TIMEOUT(tessalineProcess.state(), QProcess::NotRunning, 20000);
        QCOMPARE(tessalineProcess.exitStatus(), QProcess::NormalExit);
        QCOMPARE(tessalineProcess.exitCode(), 0);
    }
};

QTEST_GUILESS_MAIN(TestSway)
#include "tst_sway.moc"

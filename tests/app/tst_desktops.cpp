// The shell on the parts of a real desktop, on an X server of its own: a window manager
// (Openbox) that guards against focus stealing, and a panel (xfce4-panel) whose status
// tray hosts StatusNotifierItems and draws their menus from com.canonical.dbusmenu.

#include "app/AppDelegate.h"
#include "app/GlobalShortcut.h"
#include "platform/SettingsStore.h"
#include "platform/SingleInstance.h"
#include "window/MainWindowController.h"
#include "PrivateBus.h"
#include "XTestSupport.h"

#include <QApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusInterface>
#include <QDBusMessage>
#include <QDBusServiceWatcher>
#include <QDBusVariant>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace tessaline;
using namespace testsupport;

namespace {

const QString program = QStringLiteral(TESSALINE_BUILD_DIR "/bin/tessaline");

// An X server and a window manager of the test's own, there before the application
// connects to the display.
struct OwnDisplay {
    QProcess xvfb, windowManager;
    bool start()
    {
        QByteArray number, ready;
        if (!startedWithLine(xvfb, "Xvfb", {"-displayfd", "1", "-screen", "0", "1280x1024x24", "-nolisten", "tcp"}, &number))
            return false;
        qputenv("DISPLAY", ":" + number);
        // Openbox runs its startup command once it manages the screen; it prints notes
        // of its own on the same channel.
        return startedWithLine(windowManager, "openbox", {"--startup", "echo ready"}, &ready, "ready");
    }
    ~OwnDisplay()
    {
        for (QProcess *p : {&windowManager, &xvfb})
            p->terminate(), p->waitForFinished(5000);
    }
};

} // namespace

class TestDesktops : public QObject {
    Q_OBJECT

    QTemporaryDir home{QStringLiteral("/tmp/tess.XXXXXX")};

    QProcessEnvironment environment(const QString &runtime)
    {
        QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
        e.insert("XDG_RUNTIME_DIR", runtime);
        e.insert("XDG_CONFIG_HOME", home.filePath("config"));
        return e;
    }

private Q_SLOTS:
    void initTestCase()
    {
        QCOMPARE(QGuiApplication::platformName(), QStringLiteral("xcb"));
        QVERIFY(QDir(home.path()).mkpath("runtime") && QDir(home.path()).mkpath("panel-runtime"));
        for (const char *dir : {"runtime", "panel-runtime"})
            QFile::setPermissions(home.filePath(dir), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }

    // Another program has the keyboard focus; the shortcut, or launching the program
    // again, gives it back to the task description.
    void focusComesBack_data()
    {
        QTest::addColumn<bool>("byLaunch");
        QTest::addColumn<bool>("closedFirst");
        QTest::newRow("shortcut") << false << false;
        QTest::newRow("shortcut, window closed") << false << true;
        QTest::newRow("second launch") << true << false;
    }
    void focusComesBack()
    {
        QFETCH(bool, byLaunch);
        QFETCH(bool, closedFirst);
        qputenv("XDG_RUNTIME_DIR", home.filePath("runtime").toLocal8Bit());
        SingleInstance instance(QStringLiteral("tessaline"));
        QCOMPARE(instance.claim(), SingleInstance::Role::Primary);
        AppDelegate delegate(std::make_shared<QSettingsStore>(home.filePath("settings.ini")));
        connect(&instance, &SingleInstance::openRequested, &delegate, &AppDelegate::launchRequested);
        delegate.applicationDidFinishLaunching();
        QVERIFY(delegate.shortcut->installed());
        QWidget *window = delegate.controller->window();
        QTRY_VERIFY(window->isActiveWindow());
        delegate.controller->pasteButton->setFocus(); // so that the focus must move back
        if (closedFirst) {
            QVERIFY(window->close());
            QTRY_VERIFY(!window->isVisible());
        }

        XClient other;
        const xcb_window_t editor = other.createWindow("Another program");
        QVERIFY(xdotool({"windowactivate", "--sync", QString::number(editor)}));
        QTRY_COMPARE(other.inputFocus(), editor);
        QTRY_VERIFY(!window->isActiveWindow());
        // The user works there: the window manager sees the click.
        QVERIFY(xdotool({"mousemove", "--window", QString::number(editor), "20", "20", "click", "1"}));

        if (byLaunch) {
            // As a launcher starts it: the startup id carries the time of the user's click.
            QProcessEnvironment e = environment(home.filePath("runtime"));
            const QString startupId = QStringLiteral("tessaline-test-%1_TIME%2").arg(QCoreApplication::applicationPid()).arg(other.serverTime(editor));
            e.insert("DESKTOP_STARTUP_ID", startupId);
            QSignalSpy handedOver(&instance, &SingleInstance::openRequested);
            QProcess second;
            second.setProcessEnvironment(e);
            QSignalSpy finished(&second, &QProcess::finished); // this process answers it meanwhile
            second.start(program);
            QVERIFY(finished.wait(20000));
            QCOMPARE(second.exitCode(), 0);
            QCOMPARE(handedOver, QList<QVariantList>{{startupId.toLatin1()}});
        } else {
            QVERIFY(xdotool({"key", "ctrl+alt+l"}));
        }
        QTRY_COMPARE(other.inputFocus(), xcb_window_t(window->winId()));
        QTRY_COMPARE(QApplication::focusWidget(), delegate.controller->input);
    }

    // Under a StatusNotifierItem host the icon registers, its menu carries the two
    // entries, and choosing them through the host's D-Bus menu works.
    void statusNotifierHost()
    {
        // The panel keeps its settings in xfconfd, which the bus starts as the desktop's does.
        QFile xfconf(QStringLiteral("/usr/share/dbus-1/services/org.xfce.Xfconf.service"));
        QVERIFY2(xfconf.open(QIODevice::ReadOnly), "xfconf is needed (it comes with xfce4-panel)");
        PrivateBus bus;
        QProcessEnvironment e = environment(home.filePath("panel-runtime"));
        QVERIFY(bus.start({{"xfconf.service", xfconf.readAll()}}, e));
        e.insert("DBUS_SESSION_BUS_ADDRESS", bus.address);
        QVERIFY(writePanelConfig());

        QDBusConnection connection = QDBusConnection::connectToBus(bus.address, QStringLiteral("host-client"));
        const auto closeConnection = qScopeGuard([] { QDBusConnection::disconnectFromBus(QStringLiteral("host-client")); });
        const QString watcherName = QStringLiteral("org.kde.StatusNotifierWatcher");
        QDBusServiceWatcher watcher(watcherName, connection, QDBusServiceWatcher::WatchForRegistration);
        QSignalSpy watcherUp(&watcher, &QDBusServiceWatcher::serviceRegistered);
        QProcess panel;
        panel.setProcessEnvironment(e);
        dieWithTest(panel);
        panel.start("xfce4-panel", {"--disable-wm-check"});
        const auto stopPanel = qScopeGuard([&panel] { panel.terminate(), panel.waitForFinished(5000); });
        QVERIFY(connection.interface()->isServiceRegistered(watcherName).value() || watcherUp.wait(30000));

        e.insert("QUORVEL_EXECUTABLE", qEnvironmentVariable("QUORVEL_EXECUTABLE"));
        QProcess tessaline;
        tessaline.setProcessEnvironment(e);
        tessaline.setProcessChannelMode(QProcess::ForwardedChannels);
        dieWithTest(tessaline);
        tessaline.start(program);
        const auto stop = qScopeGuard([&tessaline] { tessaline.kill(), tessaline.waitForFinished(); });

        QDBusInterface host(watcherName, "/StatusNotifierWatcher", watcherName, connection);
        QStringList items;
        QTRY_VERIFY_WITH_TIMEOUT(!(items = host.property("RegisteredStatusNotifierItems").toStringList()).isEmpty(), 20000);
        QCOMPARE(items.size(), 1);
        const qsizetype slash = items[0].indexOf('/');
        const QString itemService = slash < 0 ? items[0] : items[0].left(slash);
        const QString itemPath = slash < 0 ? QStringLiteral("/StatusNotifierItem") : items[0].mid(slash);
        QDBusInterface item(itemService, itemPath, "org.kde.StatusNotifierItem", connection);
        QCOMPARE(item.property("Title").toString(), QStringLiteral("Tessaline"));
        QDBusInterface menu(itemService, item.property("Menu").value<QDBusObjectPath>().path(), "com.canonical.dbusmenu", connection);
        const QList<std::pair<int, QString>> entries = menuEntries(menu);
        QCOMPARE(entries, (QList<std::pair<int, QString>>{{entries.value(0).first, "Open Tessaline"}, {entries.value(1).first, "Quit Tessaline"}}));

        // Closed, then reopened from the host's menu; then quit from it.
        XClient x;
        xcb_window_t window = 0;
        QTRY_VERIFY_WITH_TIMEOUT((window = mainWindow(x)) != 0, 20000);
        x.requestClose(window);
        QTRY_COMPARE(mainWindow(x), xcb_window_t(0));
        const auto choose = [&menu](int id) {
            return menu.call("Event", id, QStringLiteral("clicked"), QVariant::fromValue(QDBusVariant(0)), 0u).type()
                == QDBusMessage::ReplyMessage;
        };
        QVERIFY(choose(entries[0].first));
        QTRY_VERIFY_WITH_TIMEOUT(mainWindow(x) != 0, 20000);
        QVERIFY(choose(entries[1].first));
        QVERIFY(tessaline.waitForFinished(20000) && tessaline.exitStatus() == QProcess::NormalExit && tessaline.exitCode() == 0);
    }

private:
    // One panel with the status tray alone; without any configuration the panel would
    // ask how to set itself up.
    bool writePanelConfig()
    {
        const QString dir = home.filePath("config/xfce4/xfconf/xfce-perchannel-xml");
        QFile file(dir + "/xfce4-panel.xml");
        if (!QDir().mkpath(dir) || !file.open(QIODevice::WriteOnly))
            return false;
        return file.write(R"(<?xml version="1.0" encoding="UTF-8"?>
<channel name="xfce4-panel" version="1.0">
  <property name="configver" type="int" value="2"/>
  <property name="panels" type="array">
    <value type="int" value="1"/>
    <property name="panel-1" type="empty">
      <property name="position" type="string" value="p=6;x=0;y=0"/>
      <property name="length" type="uint" value="100"/>
      <property name="position-locked" type="bool" value="true"/>
      <property name="size" type="uint" value="26"/>
      <property name="plugin-ids" type="array"><value type="int" value="1"/></property>
    </property>
  </property>
  <property name="plugins" type="empty">
    <property name="plugin-1" type="string" value="systray"/>
  </property>
</channel>
)") > 0;
    }

    // The id and label of each entry at the top of a com.canonical.dbusmenu menu.
    static QList<std::pair<int, QString>> menuEntries(QDBusInterface &menu)
    {
        QList<std::pair<int, QString>> entries;
        const QDBusMessage reply = menu.call("GetLayout", 0, 1, QStringList{"label", "type"});
        if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().size() != 2)
            return entries;
        // (ia{sv}av): the root's id and properties, then each child as the same structure.
        const QDBusArgument layout = reply.arguments()[1].value<QDBusArgument>();
        int id;
        QVariantMap properties;
        layout.beginStructure();
        layout >> id >> properties;
        layout.beginArray();
        for (QDBusVariant child; !layout.atEnd();) {
            layout >> child;
            const QDBusArgument node = child.variant().value<QDBusArgument>();
            node.beginStructure();
            node >> id >> properties;
            node.endStructure();
            if (properties.value("type").toString() != QLatin1String("separator"))
                entries.append({id, properties.value("label").toString()});
        }
        return entries;
    }

    // The program's main window, wherever the window manager put its frame.
    static xcb_window_t mainWindow(XClient &x)
    {
        for (const auto &w : x.windows())
            if (w.viewable && !w.overrideRedirect && w.name == "Tessaline" && w.wmClass.toLower().split('\0').contains("tessaline"))
                return w.id;
        return 0;
    }
};

int main(int argc, char *argv[])
{
    OwnDisplay display;
    if (!display.start()) {
        std::fputs("The test could not start Xvfb and openbox.\n", stderr);
        return 1;
    }
    QApplication app(argc, argv);
    TestDesktops test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_desktops.moc"

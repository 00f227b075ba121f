// The notification client against a real notification server, dunst, on a private bus
// and the test's X server.
#include "platform/DesktopNotifications.h"

#include <QDBusConnection>
#include <QDBusServiceWatcher>
#include <QProcess>
#include <QSignalSpy>
#include <QTest>

using namespace tessaline;

class TestDunst : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();
    void replacesItsOwnNotification();

private:
    QProcess bus;
    QProcess dunst;
    QString address;
};

void TestDunst::initTestCase()
{
    if (qEnvironmentVariableIsEmpty("DISPLAY"))
        QSKIP("needs the X server that the test command starts");

    bus.start(QStringLiteral("dbus-daemon"), {"--session", "--nofork", "--print-address=1"});
    QVERIFY2(bus.waitForStarted(), "dbus-daemon is needed (package dbus)");
    while (!bus.canReadLine())
        QVERIFY2(bus.waitForReadyRead(10000), "dbus-daemon printed no address");
    address = QString::fromUtf8(bus.readLine()).trimmed();

    QDBusConnection client = QDBusConnection::connectToBus(address, QStringLiteral("client"));
    QVERIFY(client.isConnected());
    QDBusServiceWatcher watcher(QStringLiteral("org.freedesktop.Notifications"), client,
                                QDBusServiceWatcher::WatchForRegistration);
    QSignalSpy registered(&watcher, &QDBusServiceWatcher::serviceRegistered);

    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), address);
    dunst.setProcessEnvironment(environment);
    dunst.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    dunst.start(QStringLiteral("dunst"), {});
    QVERIFY2(dunst.waitForStarted(), "dunst is needed (package dunst)");
    QVERIFY2(registered.wait(10000), "dunst did not take the notification service");
}

void TestDunst::cleanupTestCase()
{
    QDBusConnection::disconnectFromBus(QStringLiteral("client"));
    for (QProcess *process : {&dunst, &bus}) {
        if (process->state() == QProcess::NotRunning)
            continue;
        process->terminate();
        if (!process->waitForFinished(5000))
            process->kill();
        process->waitForFinished();
    }
}

void TestDunst::replacesItsOwnNotification()
{
    DesktopNotifications notifications(QDBusConnection(QStringLiteral("client")), QStringLiteral("Tessaline"),
                                       QStringLiteral("tessaline"));
    QSignalSpy posted(&notifications, &DesktopNotifications::posted);
    notifications.post(QStringLiteral("tessaline.reserve"), QStringLiteral("Validation reserve: KEEP HEADROOM"),
                       QStringLiteral("first"));
    notifications.post(QStringLiteral("tessaline.reserve"), QStringLiteral("Validation reserve: VALIDATION ONLY"),
                       QStringLiteral("second"));
    notifications.post(QStringLiteral("other"), QStringLiteral("Other"), QStringLiteral("third"));
    QTRY_COMPARE_WITH_TIMEOUT(posted.size(), 3, 10000);

    const quint32 first = posted[0][1].toUInt();
    QVERIFY(first != 0);
    // dunst answers a replacement with the id it replaced: the second took the first's place.
    QCOMPARE(posted[1][1].toUInt(), first);
    // Another tag is a notification of its own.
    QVERIFY(posted[2][1].toUInt() != 0);
    QVERIFY(posted[2][1].toUInt() != first);
}

QTEST_GUILESS_MAIN(TestDunst)
#include "tst_dunst.moc"

#include "platform/DesktopNotifications.h"
#include "reserve/RunNotifier.h"

#include <QDBusServiceWatcher>
#include <QProcess>
#include <QSignalSpy>
#include <QTest>

using namespace tessaline;

namespace {

// A notification server that records every Notify call and answers like a real one: a
// fresh id for a new notification, the same id when one is replaced.
class RecordingServer : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")

public:
    struct Call {
        QString appName;
        uint replacesId;
        QString summary;
        QString body;
        QVariantMap hints;
    };

    explicit RecordingServer(uint firstId) : nextId(firstId) {}
    QList<Call> calls;

public Q_SLOTS:
    uint Notify(const QString &appName, uint replacesId, const QString &, const QString &summary,
                const QString &body, const QStringList &, const QVariantMap &hints, int)
    {
        calls.append({appName, replacesId, summary, body, hints});
        return replacesId != 0 ? replacesId : nextId++;
    }

private:
    uint nextId;
};

const QString service = QStringLiteral("org.freedesktop.Notifications");
const QString path = QStringLiteral("/org/freedesktop/Notifications");
const InstallIdentity installed{QStringLiteral("tessaline.desktop"), QStringLiteral("/usr/bin/tessaline")};
using S = ReserveState;

} // namespace

class TestRunNotifier : public QObject {
    Q_OBJECT

    QProcess daemon;
    QString address;
    std::unique_ptr<RecordingServer> server, secondServer;

    QDBusConnection client() { return QDBusConnection::connectToBus(address, QStringLiteral("client")); }

    // Each server has a connection, and so a unique bus name, of its own.
    std::unique_ptr<RecordingServer> startServer(const QString &connectionName, uint firstId)
    {
        QDBusConnection bus = QDBusConnection::connectToBus(address, connectionName);
        auto recorder = std::make_unique<RecordingServer>(firstId);
        if (!bus.registerObject(path, recorder.get(), QDBusConnection::ExportAllSlots) || !bus.registerService(service))
            return nullptr;
        return recorder;
    }

    void stopServer(const QString &connectionName)
    {
        QDBusConnection bus(connectionName);
        if (!bus.isConnected())
            return;
        bus.unregisterService(service);
        bus.unregisterObject(path);
        QDBusConnection::disconnectFromBus(connectionName);
    }

    // Whether each state was posted, once all are settled.
    QList<bool> notifyAndSettle(RunNotifier &notifier, const QList<ReserveState> &states)
    {
        QSignalSpy handled(&notifier, &RunNotifier::handled);
        for (ReserveState state : states)
            notifier.notify(state);
        while (handled.size() < states.size())
            if (!handled.wait(10000))
                return {};
        QList<bool> posted;
        for (int i = 0; i < handled.size(); ++i)
            posted.append(handled[i][0].value<ReserveState>() == states[i] && handled[i][1].toBool());
        return posted;
    }

private Q_SLOTS:
    void initTestCase()
    {
        // A private bus; the user's own session bus is never used.
        daemon.start(QStringLiteral("dbus-daemon"), {"--session", "--nofork", "--print-address=1"});
        QVERIFY2(daemon.waitForStarted(), "dbus-daemon is needed (package dbus)");
        while (!daemon.canReadLine())
            QVERIFY2(daemon.waitForReadyRead(10000), "dbus-daemon printed no address");
        address = QString::fromUtf8(daemon.readLine()).trimmed();
    }
    void cleanupTestCase()
    {
        daemon.terminate();
        daemon.waitForFinished();
    }
    void init() { QVERIFY(server = startServer(QStringLiteral("server"), 41)); }
    void cleanup()
    {
        for (const char *name : {"server", "second-server", "client"})
            stopServer(QString::fromLatin1(name));
        server.reset();
        secondServer.reset();
    }

    void postsAndReplacesThePrevious()
    {
        RunNotifier notifier(client(), installed);
        QVERIFY(notifier.available());
        // The second is sent before the first is answered and must still replace it.
        QCOMPARE(notifyAndSettle(notifier, {S::validationAtRisk, S::exhausted}), QList({true, true}));
        QCOMPARE(notifyAndSettle(notifier, {S::validationOnly}), QList({true}));
        QCOMPARE(server->calls.size(), 3);
        const RecordingServer::Call &first = server->calls[0], &second = server->calls[1];
        QCOMPARE(first.appName, QStringLiteral("Tessaline"));
        QCOMPARE(first.summary, QStringLiteral("Validation reserve: VALIDATION AT RISK"));
        QCOMPARE(first.replacesId, 0u);
        QCOMPARE(first.hints.value("desktop-entry").toString(), QStringLiteral("tessaline"));
        QCOMPARE(second.summary, QStringLiteral("Validation reserve: QUOTA EXHAUSTED"));
        QCOMPARE(second.body, QStringLiteral("Quota is exhausted. Stop and resume after reset."));
        QCOMPARE(second.replacesId, 41u);
        QCOMPARE(server->calls[2].replacesId, 41u);
    }

    void restartedServerGetsNoStaleId()
    {
        RunNotifier notifier(client(), installed);
        QCOMPARE(notifyAndSettle(notifier, {S::keepHeadroom}), QList({true}));
        stopServer(QStringLiteral("server"));
        QVERIFY(secondServer = startServer(QStringLiteral("second-server"), 100));
        QCOMPARE(notifyAndSettle(notifier, {S::validationAtRisk, S::validationOnly}), QList({true, true}));
        QCOMPARE(secondServer->calls.size(), 2);
        QCOMPARE(secondServer->calls[0].replacesId, 0u);
        QCOMPARE(secondServer->calls[1].replacesId, 100u);
    }

    void noServerSendsNothing()
    {
        stopServer(QStringLiteral("server"));
        RunNotifier notifier(client(), installed);
        QCOMPARE(notifyAndSettle(notifier, {S::validationAtRisk, S::exhausted}), QList({false, false}));
        // Nothing was kept for later: a server that appears afterwards sees only new posts.
        QVERIFY(secondServer = startServer(QStringLiteral("second-server"), 7));
        QCOMPARE(notifyAndSettle(notifier, {S::validationOnly}), QList({true}));
        QCOMPARE(secondServer->calls.size(), 1);
        QCOMPARE(secondServer->calls[0].replacesId, 0u);

        RunNotifier unconnected(QDBusConnection::connectToBus("unix:path=/nonexistent", "nowhere"), installed);
        QCOMPARE(notifyAndSettle(unconnected, {S::exhausted}), QList({false}));
        QDBusConnection::disconnectFromBus(QStringLiteral("nowhere"));
    }

    void notInstalledDoesNothing()
    {
        RunNotifier bare(client(), InstallIdentity{std::nullopt, QStringLiteral("/usr/bin/tessaline")});
        RunNotifier ownProgram; // run from the build tree, so not installed
        QVERIFY(!bare.available() && !ownProgram.available());
        QSignalSpy handled(&bare, &RunNotifier::handled);
        bare.notify(S::exhausted);
        ownProgram.notify(S::exhausted);
        // Calls on one connection are answered in order: this one settles after anything
        // the bare notifier might have sent.
        RunNotifier notifier(client(), installed);
        QCOMPARE(notifyAndSettle(notifier, {S::keepHeadroom}), QList({true}));
        QCOMPARE(handled.size(), 0);
        QCOMPARE(server->calls.size(), 1);
    }

    void dunstReplacesItsOwn()
    {
        if (qEnvironmentVariableIsEmpty("DISPLAY"))
            QSKIP("dunst needs the X server that the test command starts");
        stopServer(QStringLiteral("server"));
        QDBusServiceWatcher watcher(service, client(), QDBusServiceWatcher::WatchForRegistration);
        QSignalSpy registered(&watcher, &QDBusServiceWatcher::serviceRegistered);
        QProcess dunst;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), address);
        dunst.setProcessEnvironment(environment);
        dunst.start(QStringLiteral("dunst"), {});
        QVERIFY2(registered.wait(10000), "dunst (package dunst) did not take the notification service");

        DesktopNotifications notifications(client(), QStringLiteral("Tessaline"), QStringLiteral("tessaline"));
        QSignalSpy posted(&notifications, &DesktopNotifications::posted);
        for (const char *summary : {"first", "second"})
            notifications.post(RunNotifier::identifier, QString::fromLatin1(summary), QString());
        QTRY_COMPARE_WITH_TIMEOUT(posted.size(), 2, 10000);
        // dunst answers a replacement with the id it replaced.
        QVERIFY(posted[0][1].toUInt() != 0);
        QCOMPARE(posted[1][1], posted[0][1]);
        dunst.terminate();
        dunst.waitForFinished();
    }
};

QTEST_GUILESS_MAIN(TestRunNotifier)
#include "tst_runnotifier.moc"

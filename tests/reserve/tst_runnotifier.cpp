#include "reserve/RunNotifier.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
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
        QString appIcon;
        QString summary;
        QString body;
        QStringList actions;
        QVariantMap hints;
        int expireTimeout;
    };

    explicit RecordingServer(uint firstId) : nextId(firstId) {}

    QList<Call> calls;

public Q_SLOTS:
    uint Notify(const QString &appName, uint replacesId, const QString &appIcon, const QString &summary,
                const QString &body, const QStringList &actions, const QVariantMap &hints, int expireTimeout)
    {
        calls.append({appName, replacesId, appIcon, summary, body, actions, hints, expireTimeout});
        return replacesId != 0 ? replacesId : nextId++;
    }

private:
    uint nextId;
};

const QString service = QStringLiteral("org.freedesktop.Notifications");

InstallIdentity installed()
{
    return InstallIdentity{QStringLiteral("tessaline.desktop"), QStringLiteral("/usr/bin/tessaline")};
}

} // namespace

class TestRunNotifier : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();

    void texts_data();
    void texts();
    void postsAndReplacesThePrevious();
    void quickSuccessionStillReplaces();
    void restartedServerGetsNoStaleId();
    void noServerSendsNothing();
    void notInstalledDoesNothing();

private:
    // Starts a server under a connection of its own, as a separate process would be.
    RecordingServer *startServer(const QString &connectionName, uint firstId);
    void stopServer(const QString &connectionName);
    QList<bool> notifyAndSettle(RunNotifier &notifier, QList<ReserveState> states);

    QProcess daemon;
    QString address;
    std::unique_ptr<RecordingServer> server;
    std::unique_ptr<RecordingServer> secondServer;
};

void TestRunNotifier::initTestCase()
{
    // A private session bus; the user's own bus is never used.
    daemon.start(QStringLiteral("dbus-daemon"), {"--session", "--nofork", "--print-address=1"});
    QVERIFY2(daemon.waitForStarted(), "dbus-daemon is needed (package dbus)");
    while (!daemon.canReadLine())
        QVERIFY2(daemon.waitForReadyRead(10000), "dbus-daemon printed no address");
    address = QString::fromUtf8(daemon.readLine()).trimmed();
    QVERIFY(!address.isEmpty());
}

void TestRunNotifier::cleanupTestCase()
{
    daemon.terminate();
    daemon.waitForFinished();
}

void TestRunNotifier::init()
{
    server.reset(startServer(QStringLiteral("server"), 1));
    QVERIFY(server);
}

void TestRunNotifier::cleanup()
{
    stopServer(QStringLiteral("server"));
    stopServer(QStringLiteral("second-server"));
    server.reset();
    secondServer.reset();
    QDBusConnection::disconnectFromBus(QStringLiteral("client"));
}

RecordingServer *TestRunNotifier::startServer(const QString &connectionName, uint firstId)
{
    QDBusConnection bus = QDBusConnection::connectToBus(address, connectionName);
    if (!bus.isConnected())
        return nullptr;
    auto *recorder = new RecordingServer(firstId);
    if (!bus.registerObject(QStringLiteral("/org/freedesktop/Notifications"), recorder,
                            QDBusConnection::ExportAllSlots)
        || !bus.registerService(service)) {
        delete recorder;
        return nullptr;
    }
    return recorder;
}

void TestRunNotifier::stopServer(const QString &connectionName)
{
    QDBusConnection bus(connectionName);
    if (!bus.isConnected())
        return;
    bus.unregisterService(service);
    bus.unregisterObject(QStringLiteral("/org/freedesktop/Notifications"));
    QDBusConnection::disconnectFromBus(connectionName);
}

QList<bool> TestRunNotifier::notifyAndSettle(RunNotifier &notifier, QList<ReserveState> states)
{
    QSignalSpy handled(&notifier, &RunNotifier::handled);
    for (ReserveState state : states)
        notifier.notify(state);
    QList<bool> posted;
    while (handled.size() < states.size())
        if (!handled.wait(10000))
            return posted;
    for (int i = 0; i < handled.size(); ++i) {
        if (handled[i][0].value<ReserveState>() != states[i])
            return {};
        posted.append(handled[i][1].toBool());
    }
    return posted;
}

void TestRunNotifier::texts_data()
{
    QTest::addColumn<ReserveState>("state");
    QTest::addColumn<QString>("summary");
    QTest::addColumn<QString>("body");
    QTest::newRow("exhausted") << ReserveState::exhausted << "Validation reserve: QUOTA EXHAUSTED"
                               << "Quota is exhausted. Stop and resume after reset.";
    QTest::newRow("validationOnly")
        << ReserveState::validationOnly << "Validation reserve: VALIDATION ONLY"
        << "Do not start new implementation. Run tests, verification and checkpoint the current work.";
}

void TestRunNotifier::texts()
{
    QFETCH(ReserveState, state);
    QFETCH(QString, summary);
    QFETCH(QString, body);

    RunNotifier notifier(QDBusConnection::connectToBus(address, QStringLiteral("client")), installed());
    QVERIFY(notifier.available());
    notifier.requestPermission();
    QCOMPARE(notifyAndSettle(notifier, {state}), QList<bool>{true});

    QCOMPARE(server->calls.size(), 1);
    const RecordingServer::Call &call = server->calls.first();
    QCOMPARE(call.appName, QStringLiteral("Tessaline"));
    QCOMPARE(call.summary, summary);
    QCOMPARE(call.body, body);
    QCOMPARE(call.replacesId, 0u);
    QCOMPARE(call.actions, QStringList());
    QCOMPARE(call.appIcon, QString());
    QCOMPARE(call.expireTimeout, -1);
    QCOMPARE(call.hints.value("desktop-entry").toString(), QStringLiteral("tessaline"));
}

void TestRunNotifier::postsAndReplacesThePrevious()
{
    RunNotifier notifier(QDBusConnection::connectToBus(address, QStringLiteral("client")), installed());
    QCOMPARE(notifyAndSettle(notifier, {ReserveState::validationAtRisk}), QList<bool>{true});
    QCOMPARE(notifyAndSettle(notifier, {ReserveState::validationOnly}), QList<bool>{true});
    QCOMPARE(notifyAndSettle(notifier, {ReserveState::exhausted}), QList<bool>{true});

    QCOMPARE(server->calls.size(), 3);
    QCOMPARE(server->calls[0].replacesId, 0u);
    QCOMPARE(server->calls[1].replacesId, 1u);
    QCOMPARE(server->calls[2].replacesId, 1u);
    QCOMPARE(server->calls[2].summary, QStringLiteral("Validation reserve: QUOTA EXHAUSTED"));
}

void TestRunNotifier::quickSuccessionStillReplaces()
{
    RunNotifier notifier(QDBusConnection::connectToBus(address, QStringLiteral("client")), installed());
    QCOMPARE(notifyAndSettle(notifier, {ReserveState::validationAtRisk, ReserveState::validationOnly}),
             (QList<bool>{true, true}));
    QCOMPARE(server->calls.size(), 2);
    QCOMPARE(server->calls[0].summary, QStringLiteral("Validation reserve: VALIDATION AT RISK"));
    QCOMPARE(server->calls[1].summary, QStringLiteral("Validation reserve: VALIDATION ONLY"));
    QCOMPARE(server->calls[1].replacesId, 1u);
}

void TestRunNotifier::restartedServerGetsNoStaleId()
{
    RunNotifier notifier(QDBusConnection::connectToBus(address, QStringLiteral("client")), installed());
    QCOMPARE(notifyAndSettle(notifier, {ReserveState::keepHeadroom}), QList<bool>{true});

    stopServer(QStringLiteral("server"));
    secondServer.reset(startServer(QStringLiteral("second-server"), 100));
    QVERIFY(secondServer);

    QCOMPARE(notifyAndSettle(notifier, {ReserveState::validationAtRisk}), QList<bool>{true});
    QCOMPARE(notifyAndSettle(notifier, {ReserveState::validationOnly}), QList<bool>{true});
    QCOMPARE(server->calls.size(), 1);
    QCOMPARE(secondServer->calls.size(), 2);
    QCOMPARE(secondServer->calls[0].replacesId, 0u);
    QCOMPARE(secondServer->calls[1].replacesId, 100u);
}

void TestRunNotifier::noServerSendsNothing()
{
    stopServer(QStringLiteral("server"));
    RunNotifier notifier(QDBusConnection::connectToBus(address, QStringLiteral("client")), installed());
    QCOMPARE(notifyAndSettle(notifier, {ReserveState::validationAtRisk, ReserveState::exhausted}),
             (QList<bool>{false, false}));

    // Nothing was queued for later either: a server that appears afterwards receives only
    // what is posted from then on, as a new notification.
    secondServer.reset(startServer(QStringLiteral("second-server"), 7));
    QVERIFY(secondServer);
    QCOMPARE(notifyAndSettle(notifier, {ReserveState::validationOnly}), QList<bool>{true});
    QCOMPARE(server->calls.size(), 0);
    QCOMPARE(secondServer->calls.size(), 1);
    QCOMPARE(secondServer->calls[0].replacesId, 0u);

    // A connection that never reached a bus fails quietly too.
    RunNotifier unconnected(QDBusConnection::connectToBus(QStringLiteral("unix:path=/nonexistent/bus"),
                                                          QStringLiteral("nowhere")),
                            installed());
    QCOMPARE(notifyAndSettle(unconnected, {ReserveState::exhausted}), QList<bool>{false});
    QDBusConnection::disconnectFromBus(QStringLiteral("nowhere"));
}

void TestRunNotifier::notInstalledDoesNothing()
{
    const QDBusConnection bus = QDBusConnection::connectToBus(address, QStringLiteral("client"));
    RunNotifier bare(bus, InstallIdentity{std::nullopt, QStringLiteral("/work/build/bin/tessaline")});
    QVERIFY(!bare.available());
    QSignalSpy handled(&bare, &RunNotifier::handled);
    bare.requestPermission();
    bare.notify(ReserveState::exhausted);

    // An installed notifier on the same connection settles after anything sent before it.
    RunNotifier installedNotifier(bus, installed());
    QCOMPARE(notifyAndSettle(installedNotifier, {ReserveState::keepHeadroom}), QList<bool>{true});
    QCOMPARE(handled.size(), 0);
    QCOMPARE(server->calls.size(), 1);
    QCOMPARE(server->calls[0].summary, QStringLiteral("Validation reserve: KEEP HEADROOM"));

    // A program run from its build tree is not installed and posts nothing.
    RunNotifier ownProgram;
    QVERIFY(!ownProgram.available());
    QSignalSpy ownHandled(&ownProgram, &RunNotifier::handled);
    ownProgram.notify(ReserveState::exhausted);
    QCOMPARE(ownHandled.size(), 0);
}

QTEST_GUILESS_MAIN(TestRunNotifier)
#include "tst_runnotifier.moc"

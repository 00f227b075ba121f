#include "reserve/RunNotifier.h"
#include "FixtureRows.h"
#include "PrivateBus.h"

#include <QDBusArgument>
#include <QDBusConnectionInterface>
#include <QDBusContext>
#include <QDBusMessage>
#include <QSignalSpy>
#include <QTest>
#include <QScopeGuard>

#include <csignal>

using namespace tessaline;

namespace {

// A notification server that records every Notify call and answers like a real one: a
// fresh id for a new notification, the same id when one is replaced.
class RecordingServer : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")

public:
    struct Call { QString appName; uint replacesId; QString body; QVariantMap hints; };
    QList<Call> calls;
    uint nextId = 0;
    bool refuse = false;

public Q_SLOTS:
    uint Notify(const QString &appName, uint replacesId, const QString &, const QString &,
                const QString &body, const QStringList &, const QVariantMap &hints, int)
    {
        calls.append({appName, replacesId, body, hints});
        if (refuse)
            sendErrorReply(QDBusError::AccessDenied, QStringLiteral("Notifications are turned off."));
        return refuse ? 0 : replacesId != 0 ? replacesId : nextId++;
    }
};

const QString service = QStringLiteral("org.freedesktop.Notifications");
const QString path = QStringLiteral("/org/freedesktop/Notifications");
const InstallIdentity installed{QStringLiteral("tessaline.desktop"), QStringLiteral("/usr/bin/tessaline")};
using S = ReserveState;

} // namespace

class TestRunNotifier : public QObject {
    Q_OBJECT

    PrivateBus bus;
    std::unique_ptr<RecordingServer> server, secondServer;

    QDBusConnection client() { return QDBusConnection::connectToBus(bus.address, QStringLiteral("client")); }

    // Each server has a connection, and so a unique bus name, of its own.
    std::unique_ptr<RecordingServer> startServer(const QString &connectionName, uint firstId)
    {
        QDBusConnection connection = QDBusConnection::connectToBus(bus.address, connectionName);
        auto recorder = std::make_unique<RecordingServer>();
        recorder->nextId = firstId;
        const bool up = connection.registerObject(path, recorder.get(), QDBusConnection::ExportAllSlots) && connection.registerService(service);
        return up ? std::move(recorder) : nullptr;
    }

    void stopServer(const QString &connectionName)
    {
        // Released before the connection goes, so the bus has forgotten the name when the
        // next call arrives.
        QDBusConnection connection(connectionName);
        if (connection.isConnected())
            connection.unregisterService(service), connection.unregisterObject(path), QDBusConnection::disconnectFromBus(connectionName);
    }

    // Whether each state was posted, once all are settled.
    QList<bool> notifyAndSettle(RunNotifier &notifier, const QList<ReserveState> &states)
    {
        QSignalSpy handled(&notifier, &RunNotifier::handled);
        for (ReserveState state : states)
            notifier.notify(state);
        QList<bool> posted;
        for (int i = 0; i < states.size() && (i < handled.size() || handled.wait(10000)); ++i)
            posted.append(handled[i][0].value<ReserveState>() == states[i] && handled[i][1].toBool());
        return posted;
    }

private Q_SLOTS:
    void initTestCase() { QVERIFY(bus.start()); }
    void init() { QVERIFY(server = startServer(QStringLiteral("server"), 41)); }
    void cleanup()
    {
        for (const char *name : {"server", "second-server", "client"})
            stopServer(QString::fromLatin1(name));
        server.reset(), secondServer.reset();
    }

    void postsAndReplacesOnlyItsOwn()
    {
        // A copy that is not installed posts nothing: one without an identifier, or this
        // program run from the build tree. Calls on one connection are answered in order, so
        // the posts below settle after anything the bare notifier might have sent.
        RunNotifier bare(client(), InstallIdentity{std::nullopt, QStringLiteral("/usr/bin/tessaline")});
        RunNotifier ownProgram;
        QVERIFY(!bare.available() && !ownProgram.available());
        bare.notify(S::exhausted);
        ownProgram.notify(S::exhausted);
        RunNotifier notifier(client(), installed);
        // The second is sent before the first is answered and must still replace it.
        QCOMPARE(notifyAndSettle(notifier, {S::validationAtRisk, S::exhausted}), QList({true, true}));
        QCOMPARE(server->calls.size(), 2);
        const RecordingServer::Call &first = server->calls[0], &second = server->calls[1];
        QCOMPARE(first.appName + ' ' + first.hints.value("desktop-entry").toString(), QStringLiteral("Tessaline tessaline"));
        QCOMPARE(second.body, QStringLiteral("Quota is exhausted. Stop and resume after reset."));
        QCOMPARE(QList({first.replacesId, second.replacesId}), QList({0u, 41u}));

        // A server that answers with an error has not shown it.
        server->refuse = true;
        QCOMPARE(notifyAndSettle(notifier, {S::validationOnly}), QList({false}));
        // With no server, and none the bus can start, nothing is shown nor kept for later.
        stopServer(QStringLiteral("server"));
        QCOMPARE(notifyAndSettle(notifier, {S::validationOnly}), QList({false}));
        // A new server never receives the previous server's id.
        QVERIFY(secondServer = startServer(QStringLiteral("second-server"), 100));
        QCOMPARE(notifyAndSettle(notifier, {S::validationAtRisk, S::validationOnly}), QList({true, true}));
        QCOMPARE(secondServer->calls.size(), 2);
        QCOMPARE(QList({secondServer->calls[0].replacesId, secondServer->calls[1].replacesId}), QList({0u, 100u}));

        RunNotifier unconnected(QDBusConnection::connectToBus("unix:path=/nonexistent", "nowhere"), installed);
        QCOMPARE(notifyAndSettle(unconnected, {S::exhausted}), QList({false}));
    }

    // An installed but stopped server (dunst) is started by the bus when the first post
    // arrives, shows it, and the second post takes its place.
    void startsAnActivatableServer()
    {
        QVERIFY2(!qEnvironmentVariableIsEmpty("DISPLAY"), "dunst needs an X server");
        PrivateBus dunstBus;
        QVERIFY(dunstBus.start({{"dunst.service", "[D-BUS Service]\nName=org.freedesktop.Notifications\nExec=/usr/bin/dunst\n"}}));
        QDBusConnection connection = QDBusConnection::connectToBus(dunstBus.address, QStringLiteral("dunst-client"));
        const auto closeConnection = qScopeGuard([] { QDBusConnection::disconnectFromBus(QStringLiteral("dunst-client")); });
        QVERIFY(!connection.interface()->isServiceRegistered(service).value());

        RunNotifier notifier(connection, installed);
        QCOMPARE(notifyAndSettle(notifier, {S::validationAtRisk, S::exhausted}), QList({true, true}));
        const uint pid = connection.interface()->servicePid(service).value();
        const auto stopDunst = qScopeGuard([pid] { ::kill(pid_t(pid), SIGTERM); });

        // Closing what is shown moves it to dunst's history: one notification, the newer.
        // Only dunst answers on its own interface, so this also proves dunst was started.
        // Plain calls: a QDBusInterface would introspect and cache a meta-object that Qt
        // never frees for a connection to a private bus.
        const auto dunst = [&](const QString &method) {
            return connection.call(QDBusMessage::createMethodCall(service, path, QStringLiteral("org.dunstproject.cmd0"), method));
        };
        QVERIFY(dunst(QStringLiteral("NotificationCloseAll")).type() == QDBusMessage::ReplyMessage);
        QStringList summaries;
        for (const QVariantMap &fields : qdbus_cast<QList<QVariantMap>>(dunst(QStringLiteral("NotificationListHistory")).arguments().value(0)))
            summaries.append(fields.value("summary").toString());
        QCOMPARE(summaries, QStringList{QStringLiteral("Validation reserve: QUOTA EXHAUSTED")});
    }

    // An installed copy and one without identifier are the notifier tests' own.
    void installRule_data() { addFixtureRows(QStringLiteral("reserve/install-rule.json")); }
    void installRule()
    {
        QFETCH(QJsonObject, row);
        QCOMPARE(InstallIdentity::isInstalledCopy(row.value("identifier").toString(), row.value("location").toString()),
                 row.value("installed").toBool());
    }
};

QTEST_GUILESS_MAIN(TestRunNotifier)
#include "test_runnotifier.moc"

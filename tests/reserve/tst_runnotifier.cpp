#include "reserve/RunNotifier.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace tessaline;

Q_DECLARE_METATYPE(std::optional<QString>)

namespace {

// A notification server that records every Notify call and answers like a real one: a
// fresh id for a new notification, the same id when one is replaced.
class RecordingServer : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")

public:
    struct Call { QString appName; uint replacesId; QString summary, body; QVariantMap hints; };
    QList<Call> calls;
    uint nextId = 0;

public Q_SLOTS:
    uint Notify(const QString &appName, uint replacesId, const QString &, const QString &summary,
                const QString &body, const QStringList &, const QVariantMap &hints, int)
    {
        calls.append({appName, replacesId, summary, body, hints});
        return replacesId != 0 ? replacesId : nextId++;
    }
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
        auto recorder = std::make_unique<RecordingServer>();
        recorder->nextId = firstId;
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
        QList<bool> posted;
        for (int i = 0; i < states.size() && (i < handled.size() || handled.wait(10000)); ++i)
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

    void postsAndReplacesOnlyItsOwn()
    {
        RunNotifier notifier(client(), installed);
        // The second is sent before the first is answered and must still replace it.
        QCOMPARE(notifyAndSettle(notifier, {S::validationAtRisk, S::exhausted}), QList({true, true}));
        QCOMPARE(server->calls.size(), 2);
        const RecordingServer::Call &first = server->calls[0], &second = server->calls[1];
        QCOMPARE(first.appName, QStringLiteral("Tessaline"));
        QCOMPARE(first.summary, QStringLiteral("Validation reserve: VALIDATION AT RISK"));
        QCOMPARE(first.replacesId, 0u);
        QCOMPARE(first.hints.value("desktop-entry").toString(), QStringLiteral("tessaline"));
        QCOMPARE(second.summary, QStringLiteral("Validation reserve: QUOTA EXHAUSTED"));
        QCOMPARE(second.body, QStringLiteral("Quota is exhausted. Stop and resume after reset."));
        QCOMPARE(second.replacesId, 41u);

        // With no server nothing is sent, nor kept for later.
        stopServer(QStringLiteral("server"));
        QCOMPARE(notifyAndSettle(notifier, {S::validationOnly}), QList({false}));
        // A new server never receives the previous server's id.
        QVERIFY(secondServer = startServer(QStringLiteral("second-server"), 100));
        QCOMPARE(notifyAndSettle(notifier, {S::validationAtRisk, S::validationOnly}), QList({true, true}));
        QCOMPARE(secondServer->calls.size(), 2);
        QCOMPARE(secondServer->calls[0].summary, QStringLiteral("Validation reserve: VALIDATION AT RISK"));
        QCOMPARE(secondServer->calls[0].replacesId, 0u);
        QCOMPARE(secondServer->calls[1].replacesId, 100u);

        RunNotifier unconnected(QDBusConnection::connectToBus("unix:path=/nonexistent", "nowhere"), installed);
        QCOMPARE(notifyAndSettle(unconnected, {S::exhausted}), QList({false}));
    }

    void installRule_data()
    {
        QTest::addColumn<std::optional<QString>>("identifier");
        QTest::addColumn<QString>("location");
        QTest::addColumn<bool>("installed");
        const std::optional<QString> id = QStringLiteral("tessaline.desktop"), none;
        QTest::newRow("usr prefix") << id << "/usr/bin/tessaline" << true;
        QTest::newRow("redundant separators") << id << "/opt/t//bin/./tessaline" << true;
        QTest::newRow("no identifier") << none << "/usr/bin/tessaline" << false;
        QTest::newRow("empty identifier") << std::optional(QString()) << "/usr/bin/tessaline" << false;
        QTest::newRow("build tree") << id << "/work/build/src/app/tessaline" << false;
        QTest::newRow("capitalised bin") << id << "/usr/Bin/tessaline" << false;
        QTest::newRow("capitalised name") << id << "/usr/bin/Tessaline" << false;
        QTest::newRow("bin only as a suffix") << id << "/usr/sbin/tessaline" << false;
    }
    void installRule()
    {
        QFETCH(std::optional<QString>, identifier);
        QFETCH(QString, location);
        QTEST(InstallIdentity::isInstalledCopy(identifier, location), "installed");
    }

    void identityOfAnExecutable()
    {
        QTemporaryDir prefix;
        QVERIFY(QDir(prefix.path()).mkpath("bin") && QDir(prefix.path()).mkpath("share/applications"));
        const QString executable = prefix.filePath("bin/tessaline");
        QVERIFY(!InstallIdentity::of(executable).identifier);
        QFile entry(prefix.filePath("share/applications/tessaline.desktop"));
        QVERIFY(entry.open(QIODevice::WriteOnly));
        entry.close();
        QVERIFY(InstallIdentity::of(executable).isInstalled());
        QCOMPARE(InstallIdentity::of(executable).desktopEntryName(), QStringLiteral("tessaline"));
    }

    void notInstalledPostsNothing()
    {
        RunNotifier bare(client(), InstallIdentity{std::nullopt, QStringLiteral("/usr/bin/tessaline")});
        RunNotifier ownProgram; // run from the build tree, so not installed
        QVERIFY(!bare.available() && !ownProgram.available());
        bare.notify(S::exhausted);
        ownProgram.notify(S::exhausted);
        // Calls on one connection are answered in order: this one settles after anything
        // the bare notifier might have sent.
        RunNotifier notifier(client(), installed);
        QCOMPARE(notifyAndSettle(notifier, {S::keepHeadroom}), QList({true}));
        QCOMPARE(server->calls.size(), 1);
    }
};

QTEST_GUILESS_MAIN(TestRunNotifier)
#include "tst_runnotifier.moc"

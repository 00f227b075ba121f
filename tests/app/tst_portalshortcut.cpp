// The global shortcut through Debian's real xdg-desktop-portal frontend, started by D-Bus
// activation on a private session bus. Behind the frontend sits a small backend of this
// test's own, since no desktop's backend runs without its desktop: it implements
// org.freedesktop.impl.portal.GlobalShortcuts, records what the frontend asks of it and
// answers as the desktop's user would.

#include "app/GlobalShortcut.h"
#include "PrivateBus.h"

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusVirtualObject>
#include <QFile>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

using namespace tessaline;

namespace {

const QString backendName = QStringLiteral("org.freedesktop.impl.portal.desktop.tessalinetest");
const QString desktopPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString implInterface = QStringLiteral("org.freedesktop.impl.portal.GlobalShortcuts");

struct Shortcut {
    QString id;
    QVariantMap properties;
};
QDBusArgument &operator<<(QDBusArgument &a, const Shortcut &s)
{
    a.beginStructure();
    a << s.id << s.properties;
    a.endStructure();
    return a;
}
const QDBusArgument &operator>>(const QDBusArgument &a, Shortcut &s)
{
    a.beginStructure();
    a >> s.id >> s.properties;
    a.endStructure();
    return a;
}

} // namespace

Q_DECLARE_METATYPE(Shortcut)

namespace {

class RecordingBackend : public QDBusVirtualObject {
public:
    bool grant = true;
    QStringList sessions, closed;
    QList<Shortcut> asked;

    QString introspect(const QString &) const override { return QString(); }

    bool handleMessage(const QDBusMessage &message, const QDBusConnection &connection) override
    {
        const QString member = message.member();
        const QList<QVariant> args = message.arguments();
        if (message.interface() == QLatin1String("org.freedesktop.DBus.Properties")) {
            connection.send(message.createReply(QVariant(QVariantMap{{"version", 1u}})));
        } else if (member == QLatin1String("CreateSession")) {
            sessions.append(args.value(1).value<QDBusObjectPath>().path());
            connection.send(message.createReply({0u, QVariantMap()}));
        } else if (member == QLatin1String("BindShortcuts")) {
            QList<Shortcut> shortcuts;
            args.value(2).value<QDBusArgument>() >> shortcuts;
            asked += shortcuts;
            QVariantMap results;
            if (grant) {
                for (Shortcut &s : shortcuts)
                    s.properties = {{"description", s.properties.value("description")},
                                    {"trigger_description", s.properties.value("preferred_trigger")}};
                results.insert("shortcuts", QVariant::fromValue(shortcuts));
            }
            connection.send(message.createReply({grant ? 0u : 1u, results}));
        } else if (member == QLatin1String("Close")) {
            closed.append(message.path());
            connection.send(message.createReply());
        } else {
            return false;
        }
        return true;
    }

    // A press as the desktop reports it.
    static bool press(const QDBusConnection &connection, const QString &session, const QString &id)
    {
        QDBusMessage signal = QDBusMessage::createSignal(desktopPath, implInterface, QStringLiteral("Activated"));
        signal << QVariant::fromValue(QDBusObjectPath(session)) << id << qulonglong(1234) << QVariantMap();
        return connection.send(signal);
    }
};

// Tells when a signal for another shortcut got through to the program's connection:
// the frontend relays in order, so every press sent before it has arrived too.
class Marker : public QObject {
    Q_OBJECT
public:
    std::function<void()> reached;
public Q_SLOTS:
    void activated(const QDBusObjectPath &, const QString &id, qulonglong, const QVariantMap &)
    {
        if (id == QLatin1String("marker") && reached)
            reached();
    }
};

} // namespace

class TestPortalShortcut : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        qDBusRegisterMetaType<Shortcut>();
        qDBusRegisterMetaType<QList<Shortcut>>();
    }

    void portal_data()
    {
        QTest::addColumn<bool>("frontend");
        QTest::addColumn<bool>("globalShortcuts");
        QTest::addColumn<bool>("grant");
        QTest::newRow("bound") << true << true << true;
        QTest::newRow("declined") << true << true << false;
        QTest::newRow("no GlobalShortcuts interface") << true << false << true;
        QTest::newRow("no portal") << false << false << true;
    }
    void portal()
    {
        QFETCH(bool, frontend);
        QFETCH(bool, globalShortcuts);
        QFETCH(bool, grant);

        // The frontend finds its backends in the folder XDG_DESKTOP_PORTAL_DIR names and
        // takes the one meant for the current desktop.
        QTemporaryDir portals(QStringLiteral("/tmp/tess.XXXXXX"));
        if (globalShortcuts) {
            QFile file(portals.filePath("tessalinetest.portal"));
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write("[portal]\nDBusName=" + backendName.toUtf8() + "\nInterfaces=" + implInterface.toUtf8()
                       + "\nUseIn=tessaline-test\n");
        }
        QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
        e.insert("XDG_DESKTOP_PORTAL_DIR", portals.path());
        e.insert("XDG_CURRENT_DESKTOP", "tessaline-test");
        std::vector<std::pair<QString, QByteArray>> services;
        if (frontend)
            services.push_back({"portal.service", "[D-BUS Service]\nName=org.freedesktop.portal.Desktop\n"
                                                  "Exec=/usr/libexec/xdg-desktop-portal\n"});
        PrivateBus bus;
        QVERIFY(bus.start(services, e));

        const QString tag = QString::fromUtf8(QTest::currentDataTag());
        QDBusConnection desktop = QDBusConnection::connectToBus(bus.address, "desktop " + tag);
        QDBusConnection program = QDBusConnection::connectToBus(bus.address, "program " + tag);
        const auto disconnect = qScopeGuard([&tag] {
            QDBusConnection::disconnectFromBus("desktop " + tag);
            QDBusConnection::disconnectFromBus("program " + tag);
        });
        RecordingBackend backend;
        backend.grant = grant;
        QVERIFY(desktop.registerVirtualObject(desktopPath, &backend, QDBusConnection::SubPath));
        QVERIFY(desktop.registerService(backendName));

        int presses = 0;
        auto shortcut = std::make_unique<GlobalShortcut>([&presses] { ++presses; }, GlobalShortcut::defaultCombination,
                                                         HotKeyBackend::portal(program));
        QCOMPARE(shortcut->install(), frontend && globalShortcuts && grant);
        QCOMPARE(backend.sessions.size(), globalShortcuts ? 1 : 0);
        if (!globalShortcuts)
            return;
        const QString session = backend.sessions[0];
        QCOMPARE(backend.asked.size(), 1);
        QCOMPARE(backend.asked[0].properties.value("preferred_trigger").toString(), QStringLiteral("CTRL+ALT+l"));
        QVERIFY(!backend.asked[0].properties.value("description").toString().isEmpty());
        if (!grant) {
            // Nothing left behind: the session is closed again.
            QTRY_COMPARE(backend.closed, QStringList{session});
            return;
        }
        QVERIFY(backend.closed.isEmpty());

        // One press runs the action once, and not inside the signal's delivery.
        Marker marker;
        bool reached = false;
        marker.reached = [&] { reached = true; };
        QVERIFY(program.connect(QString(), desktopPath, "org.freedesktop.portal.GlobalShortcuts", "Activated", &marker,
                                SLOT(activated(QDBusObjectPath, QString, qulonglong, QVariantMap))));
        QVERIFY(RecordingBackend::press(desktop, session, "open-window"));
        QVERIFY(RecordingBackend::press(desktop, session, "marker"));
        QTRY_VERIFY(reached);
        QCoreApplication::processEvents();
        QCOMPARE(presses, 1);

        // Destroyed: the session is closed, so the desktop forgets the binding.
        shortcut.reset();
        QTRY_COMPARE(backend.closed, QStringList{session});
    }
};

QTEST_GUILESS_MAIN(TestPortalShortcut)
#include "tst_portalshortcut.moc"

// The global shortcut through Debian's real xdg-desktop-portal frontend, started by D-Bus
// activation on a private session bus, with the tests' own desktop backend behind it.

#include "app/GlobalShortcut.h"
#include "PrivateBus.h"
#include "ShortcutsPortal.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

using namespace tessaline;
using namespace testsupport;

namespace {

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
        QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
        QVERIFY(ShortcutsPortal::describe(portals, globalShortcuts, e));
        std::vector<std::pair<QString, QByteArray>> services;
        if (frontend)
            services.push_back(ShortcutsPortal::frontendService());
        PrivateBus bus;
        QVERIFY(bus.start(services, e));

        const QString tag = QString::fromUtf8(QTest::currentDataTag());
        QDBusConnection desktop = QDBusConnection::connectToBus(bus.address, "desktop " + tag);
        QDBusConnection program = QDBusConnection::connectToBus(bus.address, "program " + tag);
        const auto disconnect = qScopeGuard([&tag] {
            QDBusConnection::disconnectFromBus("desktop " + tag);
            QDBusConnection::disconnectFromBus("program " + tag);
        });
        ShortcutsPortal backend;
        backend.grant = grant;
        QVERIFY(backend.serve(desktop));

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
        QVERIFY(program.connect(QString(), ShortcutsPortal::path, "org.freedesktop.portal.GlobalShortcuts", "Activated", &marker,
                                SLOT(activated(QDBusObjectPath, QString, qulonglong, QVariantMap))));
        QVERIFY(ShortcutsPortal::press(desktop, session, "open-window"));
        QVERIFY(ShortcutsPortal::press(desktop, session, "marker"));
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

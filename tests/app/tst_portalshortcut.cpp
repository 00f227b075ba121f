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

Q_DECLARE_METATYPE(GlobalShortcut::Status)

class TestPortalShortcut : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void portal_data()
    {
        QTest::addColumn<bool>("frontend");
        QTest::addColumn<bool>("globalShortcuts");
        QTest::addColumn<bool>("grant");
        QTest::addColumn<bool>("kept");
        QTest::addColumn<GlobalShortcut::Status>("expected");
        using S = GlobalShortcut::Status;
        QTest::newRow("bound") << true << true << true << false << S::installed;
        QTest::newRow("kept from an earlier start") << true << true << false << true << S::installed;
        QTest::newRow("declined") << true << true << false << false << S::taken;
        QTest::newRow("no GlobalShortcuts interface") << true << false << true << false << S::unsupported;
        QTest::newRow("no portal") << false << false << true << false << S::unsupported;
    }
    void portal()
    {
        QFETCH(bool, frontend);
        QFETCH(bool, globalShortcuts);
        QFETCH(bool, grant);
        QFETCH(bool, kept);
        QFETCH(GlobalShortcut::Status, expected);

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
        if (kept)
            backend.kept = {{"open-window", {{"description", "Open the Tessaline window"}}}};
        QVERIFY(backend.serve(desktop));

        int presses = 0;
        QList<GlobalShortcut::Status> seen;
        auto shortcut = std::make_unique<GlobalShortcut>([&presses] { ++presses; }, GlobalShortcut::defaultCombination,
                                                         HotKeyBackend::portal(program));
        shortcut->onStatusChanged([&seen](GlobalShortcut::Status s) { seen.append(s); });
        // The portal answers later, never inside install().
        QVERIFY(!shortcut->install());
        QCOMPARE(shortcut->status(), GlobalShortcut::Status::pending);
        QTRY_COMPARE_WITH_TIMEOUT(seen, QList<GlobalShortcut::Status>{expected}, 20000);
        QCOMPARE(backend.sessions.size(), globalShortcuts ? 1 : 0);
        if (!globalShortcuts)
            return;
        const QString session = backend.sessions[0];
        // Offered with the session (where KDE 5.27 takes them from), and bound only when
        // the desktop does not hold them already.
        QCOMPARE(backend.offered.size(), 1);
        QCOMPARE(backend.offered[0].properties.value("preferred_trigger").toString(), QStringLiteral("CTRL+ALT+l"));
        QVERIFY(!backend.offered[0].properties.value("description").toString().isEmpty());
        QCOMPARE(backend.asked.size(), kept ? 0 : 1);
        if (expected != GlobalShortcut::Status::installed) {
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

        if (kept) {
            // Destroyed: the session is closed, so the desktop forgets the binding.
            shortcut.reset();
            QTRY_COMPARE(backend.closed, QStringList{session});
            return;
        }
        // The desktop ends the session: bound once more, under the same name; a second
        // end is reported.
        QVERIFY(ShortcutsPortal::endSession(desktop, session));
        QTRY_COMPARE_WITH_TIMEOUT(seen.size(), 2, 20000);
        QCOMPARE(seen[1], GlobalShortcut::Status::installed);
        QCOMPARE(backend.sessions, QStringList(2, session));
        QCOMPARE(backend.asked.size(), 1);
        QVERIFY(ShortcutsPortal::endSession(desktop, session));
        QTRY_COMPARE_WITH_TIMEOUT(seen.size(), 3, 20000);
        QCOMPARE(seen[2], GlobalShortcut::Status::taken);
    }
};

QTEST_GUILESS_MAIN(TestPortalShortcut)
#include "tst_portalshortcut.moc"

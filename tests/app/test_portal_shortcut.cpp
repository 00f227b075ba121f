// The global shortcut through Debian's real xdg-desktop-portal frontend, started by D-Bus
// activation on a private session bus, with the tests' own desktop backend behind it; and
// the program's word with a newer frontend, which Debian does not have.

#include "app/GlobalShortcut.h"
#include "FixtureRows.h"
#include "PrivateBus.h"
#include "ShortcutsPortal.h"

#include <QCoreApplication>
#include <QDBusVirtualObject>
#include <QGuiApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QTest>

#include <map>
#include <optional>

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

// The frontend's side of a host program's registration, as xdg-desktop-portal 1.19 and
// later offer it (src/registry.c: org.freedesktop.host.portal.Registry.Register, to be
// called before any other portal call): records the calls in order, and refuses the
// session, which is all this test needs of it.
struct RegistryFrontend : QDBusVirtualObject {
    QStringList calls;
    QString appId;
    QString introspect(const QString &) const override { return QString(); }
    bool handleMessage(const QDBusMessage &message, const QDBusConnection &connection) override
    {
        calls.append(message.interface() + '.' + message.member());
        if (message.member() == QLatin1String("Register")) {
            appId = message.arguments().value(0).toString();
            connection.send(message.createReply());
        } else {
            connection.send(message.createErrorReply(QDBusError::AccessDenied, "refused"));
        }
        return true;
    }
};

} // namespace

Q_DECLARE_METATYPE(GlobalShortcut::Status)

class TestPortalShortcut : public QObject {
    Q_OBJECT

    std::optional<PrivateBus> bus; // each test's own, with the desktop's and the program's connection
    QDBusConnection connect(const QString &who) { return QDBusConnection::connectToBus(bus->address, who); }

private Q_SLOTS:
    void cleanup()
    {
        for (const char *who : {"desktop", "program"})
            QDBusConnection::disconnectFromBus(who);
        bus.reset();
    }

    void portal_data() { addFixtureRows("app/portal-shortcut.json"); }
    void portal()
    {
        QFETCH(QJsonObject, row);
        const bool frontend = row["frontend"].toBool(), globalShortcuts = row["globalShortcuts"].toBool(),
                   grant = row["grant"].toBool(), kept = row["kept"].toBool();
        using S = GlobalShortcut::Status;
        const S expected = std::map<QString, S>{{"installed", S::installed}, {"taken", S::taken}, {"unsupported", S::unsupported}}
                               .at(row["expected"].toString());

        // The frontend finds its backends in the folder XDG_DESKTOP_PORTAL_DIR names and
        // takes the one meant for the current desktop.
        QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
        ShortcutsPortal::describe(globalShortcuts, e);
        QVERIFY(bus.emplace().start(PrivateBus::installed(frontend ? QStringList{"org.freedesktop.portal.Desktop"} : QStringList()), e));
        QDBusConnection desktop = connect("desktop"), program = connect("program");
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
        QCOMPARE(backend.offered[0].second.value("preferred_trigger").toString(), QStringLiteral("CTRL+ALT+l"));
        QVERIFY(!backend.offered[0].second.value("description").toString().isEmpty());
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

    // A frontend that offers the registry is told the program's app id first.
    void registersItsAppId()
    {
        QVERIFY(bus.emplace().start());
        QDBusConnection frontend = connect("desktop"), program = connect("program");
        RegistryFrontend registry;
        QVERIFY(frontend.registerVirtualObject(ShortcutsPortal::path, &registry, QDBusConnection::SubPath)
                && frontend.registerService("org.freedesktop.portal.Desktop"));
        QGuiApplication::setDesktopFileName("app.tessaline.Tessaline");
        GlobalShortcut shortcut([] {}, GlobalShortcut::defaultCombination, HotKeyBackend::portal(program));
        shortcut.install();
        QTRY_COMPARE(shortcut.status(), GlobalShortcut::Status::unsupported);
        QCOMPARE(registry.calls.mid(0, 2), (QStringList{"org.freedesktop.host.portal.Registry.Register",
                                                        "org.freedesktop.portal.GlobalShortcuts.CreateSession"}));
        QCOMPARE(registry.appId, "app.tessaline.Tessaline");
    }
};

QTEST_GUILESS_MAIN(TestPortalShortcut)
#include "test_portal_shortcut.moc"

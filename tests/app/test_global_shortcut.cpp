// The global shortcut both ways a desktop offers it: keys grabbed on the X server of the
// test command, and Debian's real xdg-desktop-portal frontend, started by D-Bus activation
// on a private session bus with the tests' own desktop backend behind it (and the
// program's word with a newer frontend, which Debian does not have).

#include "app/AppDelegate.h"
#include "app/GlobalShortcut.h"
#include "platform/SettingsStore.h"
#include "platform/StatusItem.h"
#include "window/MainWindowController.h"
#include "FixtureRows.h"
#include "PrivateBus.h"
#include "ShortcutsPortal.h"
#include "XTestSupport.h"

#include <QAbstractNativeEventFilter>
#include <QApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusVirtualObject>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QSystemTrayIcon>
#include <QTemporaryDir>
#include <QScopeGuard>
#include <QTest>
#include <QThread>

#include <map>
#include <optional>

using namespace tessaline;
using namespace testsupport;

namespace {

// Hands the press callback to the test, which calls it the way the desktop would.
struct RecordingBackend final : HotKeyBackend {
    explicit RecordingBackend(std::function<void()> &pressed) : pressed(pressed) {}
    std::unique_ptr<Binding> bind(QKeyCombination, std::function<void()> f, std::function<void(Outcome)> outcome) override
    {
        pressed = std::move(f), outcome(Outcome::bound);
        return std::make_unique<Binding>();
    }
    std::function<void()> &pressed;
};

// Grabs Control-Alt-L on this process's own connection, outside any GlobalShortcut, and
// counts the presses without consuming them: a leftover handler would see them too.
struct Bystander final : QAbstractNativeEventFilter {
    Bystander() { QCoreApplication::instance()->installNativeEventFilter(this); }
    ~Bystander() override { QCoreApplication::instance()->removeNativeEventFilter(this), x.ungrabAll(); }
    bool nativeEventFilter(const QByteArray &, void *message, qintptr *) override
    {
        auto *event = static_cast<xcb_key_press_event_t *>(message);
        presses += (event->response_type & ~0x80) == XCB_KEY_PRESS && event->detail == x.keycodeL;
        return false;
    }
    XClient x{qGuiApp->nativeInterface<QNativeInterface::QX11Application>()->connection()};
    bool grabbed = x.grab(allLockVariants);
    int presses = 0;
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

class TestGlobalShortcut : public QObject {
    Q_OBJECT

    std::optional<PrivateBus> bus; // each portal test's own, with the desktop's and the program's connection
    QDBusConnection connect(const QString &who) { return QDBusConnection::connectToBus(bus->address, who); }

private Q_SLOTS:
    void initTestCase()
    {
        QCOMPARE(QGuiApplication::platformName(), QStringLiteral("xcb"));
        QVERIFY2(XClient().keycodeL, "needs an X server with an L key");
    }

    void cleanup()
    {
        for (const char *who : {"desktop", "program"})
            QDBusConnection::disconnectFromBus(who);
        bus.reset();
    }

    // The desktop's callback only queues the action: it runs afterwards, once per press.
    void actionRunsAfterTheCallback()
    {
        std::function<void()> pressed;
        int runs = 0;
        GlobalShortcut shortcut([&runs] { ++runs; }, GlobalShortcut::defaultCombination,
                                std::make_unique<RecordingBackend>(pressed));
        QVERIFY(shortcut.install());
        pressed(), pressed();
        QCOMPARE(runs, 0);
        QTRY_COMPARE(runs, 2);
    }

    // A trailing press of the combination proves the earlier keys were delivered and ignored.
    void presses_data() { addFixtureRows("app/shortcut-presses.json"); }
    void presses()
    {
        QFETCH(QJsonObject, row);
        const QString combination = row["combination"].toString(), lockKey = row["lockKey"].toString();
        const int runs = row["runs"].toInt();
        const auto chosen = GlobalShortcut::parse(combination);
        int count = 0;
        QThread *ranOn = nullptr;
        GlobalShortcut shortcut([&] { ++count; ranOn = QThread::currentThread(); }, chosen.value());
        // Installing again is harmless; a second registration in the process is refused,
        // and dropping it keeps ours.
        QVERIFY(shortcut.install() && shortcut.install() && !GlobalShortcut([] {}).install());

        // Toggled back whatever happens: the lock state outlives this test on the server.
        if (!lockKey.isEmpty())
            QVERIFY(xdotool({"key", lockKey}));
        const auto unlock = qScopeGuard([&lockKey] { (void)(lockKey.isEmpty() || xdotool({"key", lockKey})); });
        const QString press = combination.toLower().replace("meta", "super").replace("f12", "F12");
        QVERIFY(xdotool({"key", row["keys"].toString()}) && xdotool({"key", press}));
        QTRY_COMPARE(count, runs + 1);
        QCOMPARE(ranOn, QThread::currentThread());
        QCoreApplication::processEvents();
        QCOMPARE(count, runs + 1);
    }

    // Neither a grab nor a handler is left when the combination is taken, or once the
    // shortcut is gone. "held": the variants another program holds; where it holds only
    // NumLock's, the plain grab succeeds and must be rolled back.
    void leavesNothingBehind_data() { addFixtureRows("app/shortcut-held.json"); }
    void leavesNothingBehind()
    {
        QFETCH(QJsonObject, row);
        const std::map<QString, uint16_t> variants{{"plain", 0}, {"NumLock", numLock}};
        std::vector<uint16_t> held;
        for (const QJsonValue variant : row["held"].toArray())
            held.push_back(variants.at(variant.toString()));
        XClient other;
        QVERIFY(other.grab(held));
        int count = 0;
        std::optional<GlobalShortcut> shortcut(std::in_place, [&count] { ++count; });
        QCOMPARE(shortcut->install(), held.empty());
        QCOMPARE(shortcut->status(), held.empty() ? GlobalShortcut::Status::installed : GlobalShortcut::Status::taken);
        if (held.empty())
            shortcut.reset();
        other.ungrabAll();

        // Another client can now take every variant, and a press reaches nothing of ours.
        QVERIFY(other.grab(allLockVariants));
        other.ungrabAll();
        Bystander bystander;
        QVERIFY(bystander.grabbed);
        QVERIFY(xdotool({"key", "ctrl+alt+l"}));
        QTRY_COMPARE(bystander.presses, 1);
        QCoreApplication::processEvents();
        QCOMPARE(count, 0);
    }

    // In the program's shell: keys another program holds are said in the icon's tool tip
    // until the shortcut is in place; a press then brings the closed window back with the
    // focus in the task description.
    void delegate()
    {
        QTemporaryDir settings(QStringLiteral("/tmp/tess.XXXXXX"));
        XClient holder;
        QVERIFY(holder.grab({0}));
        AppDelegate delegate(std::make_shared<QSettingsStore>(settings.filePath("settings.ini")));
        delegate.applicationDidFinishLaunching();
        QSystemTrayIcon *icon = delegate.status->trayIcon();
        QVERIFY(!delegate.shortcutProblem().isEmpty());
        QCOMPARE(icon->toolTip(), "Tessaline\n" + delegate.shortcutProblem());
        holder.ungrabAll();
        delegate.installShortcut();
        QCOMPARE(icon->toolTip(), QStringLiteral("Tessaline"));

        QWidget *window = delegate.controller->window();
        delegate.controller->pasteButton->setFocus(); // so that the focus must move back
        QVERIFY(window->close());
        QVERIFY(xdotool({"key", "ctrl+alt+l"}));
        QTRY_VERIFY(window->isActiveWindow());
        QCOMPARE(QApplication::focusWidget(), delegate.controller->input);
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
        const QStringList services = frontend ? QStringList{"org.freedesktop.portal.Desktop"} : QStringList();
        QVERIFY(bus.emplace().start(PrivateBus::installed(services), e));
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

        // One press runs the action once, and not inside the signal's delivery. A press of
        // another shortcut marks the end: the frontend relays in order, so once that one has
        // got through to the program's connection (deleting the marker), every press has.
        QPointer<QObject> marker = new QObject(this);
        QVERIFY(program.connect(QString(), ShortcutsPortal::path, "org.freedesktop.portal.GlobalShortcuts", "Activated",
                                {QString(), "marker"}, QString(), marker, SLOT(deleteLater())));
        QVERIFY(ShortcutsPortal::press(desktop, session, "open-window"));
        QVERIFY(ShortcutsPortal::press(desktop, session, "marker"));
        QTRY_VERIFY(!marker);
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

QTEST_MAIN(TestGlobalShortcut)
#include "test_global_shortcut.moc"

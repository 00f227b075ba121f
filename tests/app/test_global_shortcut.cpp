#include "app/AppDelegate.h"
#include "app/GlobalShortcut.h"
#include "platform/SettingsStore.h"
#include "platform/StatusItem.h"
#include "window/MainWindowController.h"
#include "FixtureRows.h"
#include "XTestSupport.h"

#include <QAbstractNativeEventFilter>
#include <QApplication>
#include <QPlainTextEdit>
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

} // namespace

class TestGlobalShortcut : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        QCOMPARE(QGuiApplication::platformName(), QStringLiteral("xcb"));
        QVERIFY2(XClient().keycodeL, "needs an X server with an L key");
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
};

QTEST_MAIN(TestGlobalShortcut)
#include "test_global_shortcut.moc"

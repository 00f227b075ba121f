#include "app/GlobalShortcut.h"
#include "XTestSupport.h"

#include <QAbstractNativeEventFilter>
#include <QGuiApplication>
#include <QScopeGuard>
#include <QTest>
#include <QThread>

#include <algorithm>

using namespace tessaline;
using namespace testsupport;

namespace {

// Hands the press callback to the test, which calls it the way the desktop would.
struct RecordingBackend final : HotKeyBackend {
    explicit RecordingBackend(std::function<void()> &pressed) : pressed(pressed) {}
    std::unique_ptr<Handler> installHandler(std::function<void()> callback) override
    {
        pressed = std::move(callback);
        return std::make_unique<Handler>();
    }
    std::unique_ptr<HotKey> registerHotKey() override { return std::make_unique<HotKey>(); }
    std::function<void()> &pressed;
};

// Grabs Control-Alt-L on this process's own X connection, outside any GlobalShortcut, and
// counts the presses it sees without consuming them: a press that surely arrives here,
// which a leftover handler of ours would also act on.
struct Bystander final : QAbstractNativeEventFilter {
    Bystander() : x(qGuiApp->nativeInterface<QNativeInterface::QX11Application>()->connection())
    {
        grabbed = x.grab({std::begin(allLockVariants), std::end(allLockVariants)});
        QCoreApplication::instance()->installNativeEventFilter(this);
    }
    ~Bystander() override
    {
        QCoreApplication::instance()->removeNativeEventFilter(this);
        x.ungrabAll();
    }
    bool nativeEventFilter(const QByteArray &, void *message, qintptr *) override
    {
        auto *event = static_cast<xcb_key_press_event_t *>(message);
        presses += (event->response_type & ~0x80) == XCB_KEY_PRESS && event->detail == x.keycodeL;
        return false;
    }
    XClient x;
    bool grabbed;
    int presses = 0;
};

} // namespace

class TestGlobalShortcut : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        QCOMPARE(QGuiApplication::platformName(), QStringLiteral("xcb"));
        QVERIFY2(XClient().ok(), "needs an X server with an L key");
    }

    // The desktop's callback only queues the action: it runs afterwards, once per press.
    void actionRunsAfterTheCallback()
    {
        std::function<void()> pressed;
        int runs = 0;
        GlobalShortcut shortcut([&runs] { ++runs; }, std::make_unique<RecordingBackend>(pressed));
        QVERIFY(shortcut.install());
        pressed();
        pressed();
        QCOMPARE(runs, 0);
        QTRY_COMPARE(runs, 2);
    }

    // A trailing plain press proves the earlier keys were delivered and ignored.
    void presses_data()
    {
        QTest::addColumn<QString>("lockKey");
        QTest::addColumn<QString>("keys");
        QTest::addColumn<int>("runs");
        QTest::newRow("control-alt-l") << QString() << "ctrl+alt+l" << 1;
        QTest::newRow("with NumLock on") << "Num_Lock" << "ctrl+alt+l" << 1;
        QTest::newRow("with CapsLock on") << "Caps_Lock" << "ctrl+alt+l" << 1;
        QTest::newRow("control-l alone") << QString() << "ctrl+l" << 0;
        QTest::newRow("with shift") << QString() << "ctrl+alt+shift+l" << 0;
    }
    void presses()
    {
        QFETCH(QString, lockKey);
        QFETCH(QString, keys);
        QFETCH(int, runs);
        int count = 0;
        QThread *ranOn = nullptr;
        GlobalShortcut shortcut([&] { ++count; ranOn = QThread::currentThread(); });
        QVERIFY(shortcut.install());
        QVERIFY(shortcut.install());
        // A second registration in the process is refused, and dropping it keeps ours.
        QVERIFY(!GlobalShortcut([] {}).install());

        if (!lockKey.isEmpty())
            QVERIFY(xdotool({"key", lockKey}));
        const auto unlock = qScopeGuard([&lockKey] {
            if (!lockKey.isEmpty())
                xdotool({"key", lockKey});
        });
        QVERIFY(xdotool({"key", keys}));
        QVERIFY(xdotool({"key", "ctrl+alt+l"}));
        QTRY_COMPARE(count, runs + 1);
        QCOMPARE(ranOn, QThread::currentThread());
        QCoreApplication::processEvents();
        QCOMPARE(count, runs + 1);
    }

    void takenByAnotherClient_data()
    {
        QTest::addColumn<std::vector<uint16_t>>("held");
        QTest::newRow("plain") << std::vector<uint16_t>{0};
        // The plain grab succeeds here and must be rolled back.
        QTest::newRow("NumLock variant only") << std::vector<uint16_t>{numLock};
    }
    void takenByAnotherClient()
    {
        QFETCH(std::vector<uint16_t>, held);
        XClient other;
        QVERIFY(other.grab(held));
        int count = 0;
        GlobalShortcut shortcut([&count] { ++count; });
        QVERIFY(!shortcut.install());
        QVERIFY(!shortcut.installed());

        // No grab of ours is left: a third client takes every variant the other does not hold.
        std::vector<uint16_t> rest;
        std::copy_if(std::begin(allLockVariants), std::end(allLockVariants), std::back_inserter(rest),
                     [&held](uint16_t v) { return std::find(held.begin(), held.end(), v) == held.end(); });
        XClient third;
        QVERIFY(third.grab(rest));
        third.ungrabAll();
        other.ungrabAll();
        pressReachesNoShortcut(count);
    }

    void destroyedShortcutRunsNothing()
    {
        int count = 0;
        QVERIFY(GlobalShortcut([&count] { ++count; }).install());
        XClient other;
        QVERIFY(other.grab({std::begin(allLockVariants), std::end(allLockVariants)}));
        other.ungrabAll();
        pressReachesNoShortcut(count);
    }

private:
    void pressReachesNoShortcut(const int &count)
    {
        Bystander bystander;
        QVERIFY(bystander.grabbed);
        QVERIFY(xdotool({"key", "ctrl+alt+l"}));
        QTRY_COMPARE(bystander.presses, 1);
        QCoreApplication::processEvents();
        QCOMPARE(count, 0);
    }
};

QTEST_MAIN(TestGlobalShortcut)
#include "tst_globalshortcut.moc"

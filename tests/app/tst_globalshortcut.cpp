#include "app/GlobalShortcut.h"
#include "XTestSupport.h"

#include <QGuiApplication>
#include <QSignalSpy>
#include <QTest>
#include <QThread>

#include <algorithm>

using namespace tessaline;
using testsupport::OtherClient;
using testsupport::xdotool;

namespace {

// Stands in for the desktop where the test is about GlobalShortcut's own bookkeeping.
struct FakeDesktop {
    bool handlerWorks = true;
    bool hotKeyWorks = true;
    int handlersLive = 0;
    int hotKeysLive = 0;
    int registrations = 0;
    std::function<void()> pressed;
};

class FakeBackend final : public HotKeyBackend {
public:
    explicit FakeBackend(FakeDesktop &desktop) : desktop(desktop) {}

    struct Handler final : HotKeyBackend::Handler {
        explicit Handler(FakeDesktop &d) : d(d) { ++d.handlersLive; }
        ~Handler() override { --d.handlersLive; d.pressed = nullptr; }
        FakeDesktop &d;
    };
    struct HotKey final : HotKeyBackend::HotKey {
        explicit HotKey(FakeDesktop &d) : d(d) { ++d.hotKeysLive; }
        ~HotKey() override { --d.hotKeysLive; }
        FakeDesktop &d;
    };

    std::unique_ptr<HotKeyBackend::Handler> installHandler(std::function<void()> pressed) override
    {
        if (!desktop.handlerWorks)
            return nullptr;
        desktop.pressed = std::move(pressed);
        return std::make_unique<Handler>(desktop);
    }
    std::unique_ptr<HotKeyBackend::HotKey> registerHotKey() override
    {
        ++desktop.registrations;
        if (!desktop.hotKeyWorks)
            return nullptr;
        return std::make_unique<HotKey>(desktop);
    }

private:
    FakeDesktop &desktop;
};

} // namespace

class TestGlobalShortcut : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        QCOMPARE(QGuiApplication::platformName(), QStringLiteral("xcb"));
        QVERIFY2(OtherClient().ok(), "needs an X server with an L key");
    }

    void installOutcome_data()
    {
        QTest::addColumn<bool>("handlerWorks");
        QTest::addColumn<bool>("hotKeyWorks");
        QTest::addColumn<bool>("expected");
        QTest::newRow("both succeed") << true << true << true;
        QTest::newRow("combination taken") << true << false << false;
        QTest::newRow("no handler") << false << true << false;
    }
    void installOutcome()
    {
        QFETCH(bool, handlerWorks);
        QFETCH(bool, hotKeyWorks);
        QFETCH(bool, expected);
        FakeDesktop desktop;
        desktop.handlerWorks = handlerWorks;
        desktop.hotKeyWorks = hotKeyWorks;
        {
            GlobalShortcut shortcut([] {}, std::make_unique<FakeBackend>(desktop));
            QCOMPARE(shortcut.install(), expected);
            // Success holds exactly one of each; failure leaves nothing behind.
            QCOMPARE(desktop.handlersLive, expected ? 1 : 0);
            QCOMPARE(desktop.hotKeysLive, expected ? 1 : 0);
            QCOMPARE(desktop.registrations, handlerWorks ? 1 : 0);
        }
        QCOMPARE(desktop.handlersLive, 0);
        QCOMPARE(desktop.hotKeysLive, 0);
    }

    void secondInstallRegistersNothingNew()
    {
        FakeDesktop desktop;
        GlobalShortcut shortcut([] {}, std::make_unique<FakeBackend>(desktop));
        QVERIFY(shortcut.install());
        QVERIFY(shortcut.install());
        QCOMPARE(desktop.registrations, 1);
        QCOMPARE(desktop.handlersLive, 1);
    }

    void actionRunsAfterTheCallbackNotInsideIt()
    {
        FakeDesktop desktop;
        int runs = 0;
        GlobalShortcut shortcut([&runs] { ++runs; }, std::make_unique<FakeBackend>(desktop));
        QVERIFY(shortcut.install());
        desktop.pressed();
        desktop.pressed();
        QCOMPARE(runs, 0);
        QTRY_COMPARE(runs, 2);
    }

    // The real thing: presses through the X server, with and without the lock keys, and
    // combinations that must not trigger. A trailing plain press proves the earlier ones
    // were delivered and ignored, without waiting for a fixed time.
    void pressesOnTheRealServer_data()
    {
        QTest::addColumn<QString>("lockKey");
        QTest::addColumn<QString>("keys");
        QTest::addColumn<int>("runs");
        QTest::newRow("control-alt-l") << QString() << "ctrl+alt+l" << 1;
        QTest::newRow("with NumLock on") << "Num_Lock" << "ctrl+alt+l" << 1;
        QTest::newRow("with CapsLock on") << "Caps_Lock" << "ctrl+alt+l" << 1;
        QTest::newRow("control-l alone") << QString() << "ctrl+l" << 0;
        QTest::newRow("alt-l alone") << QString() << "alt+l" << 0;
        QTest::newRow("with shift") << QString() << "ctrl+alt+shift+l" << 0;
        QTest::newRow("other letter") << QString() << "ctrl+alt+k" << 0;
    }
    void pressesOnTheRealServer()
    {
        QFETCH(QString, lockKey);
        QFETCH(QString, keys);
        QFETCH(int, runs);
        int count = 0;
        QThread *ranOn = nullptr;
        GlobalShortcut shortcut([&] { ++count; ranOn = QThread::currentThread(); });
        QVERIFY(shortcut.install());
        if (!lockKey.isEmpty())
            QVERIFY(xdotool({"key", lockKey}));
        QVERIFY(xdotool({"key", keys}));
        if (!lockKey.isEmpty())
            QVERIFY(xdotool({"key", lockKey}));
        QVERIFY(xdotool({"key", "ctrl+alt+l"}));
        QTRY_COMPARE(count, runs + 1);
        QCOMPARE(ranOn, QThread::currentThread());
        QCoreApplication::processEvents();
        QCOMPARE(count, runs + 1);
    }

    void takenByAnotherClient_data()
    {
        QTest::addColumn<std::vector<uint16_t>>("heldVariants");
        QTest::newRow("plain") << std::vector<uint16_t>{0};
        // Only a lock variant held: the plain grab succeeds and must be rolled back.
        QTest::newRow("NumLock variant only") << std::vector<uint16_t>{testsupport::numLock};
    }
    void takenByAnotherClient()
    {
        QFETCH(std::vector<uint16_t>, heldVariants);
        OtherClient other;
        QVERIFY(other.grab(heldVariants));
        int count = 0;
        {
            GlobalShortcut shortcut([&count] { ++count; });
            QVERIFY(!shortcut.install());
            QVERIFY(!shortcut.installed());

            // Nothing of ours is left on the server: a third client can take every
            // variant the other one does not hold.
            std::vector<uint16_t> rest;
            for (uint16_t v : {uint16_t(0), testsupport::capsLock, testsupport::numLock,
                               uint16_t(testsupport::capsLock | testsupport::numLock)})
                if (std::find(heldVariants.begin(), heldVariants.end(), v) == heldVariants.end())
                    rest.push_back(v);
            OtherClient third;
            QVERIFY(third.grab(rest));
            third.ungrabAll();
            other.ungrabAll();

            // ...and no handler: once the combination is free, a press reaches nobody here.
            QVERIFY(xdotool({"key", "ctrl+alt+l"}));
        }
        GlobalShortcut witness([&count] { count += 100; });
        QVERIFY(witness.install());
        QVERIFY(xdotool({"key", "ctrl+alt+l"}));
        QTRY_COMPARE(count, 100);
    }

    void destroyedShortcutRunsNothingAndReleasesTheKey()
    {
        int first = 0;
        int second = 0;
        {
            GlobalShortcut shortcut([&first] { ++first; });
            QVERIFY(shortcut.install());
            QVERIFY(!OtherClient().grab({0}));
        }
        OtherClient other;
        QVERIFY(other.grab({0, testsupport::capsLock, testsupport::numLock,
                            uint16_t(testsupport::capsLock | testsupport::numLock)}));
        other.ungrabAll();

        QVERIFY(xdotool({"key", "ctrl+alt+l"}));
        GlobalShortcut witness([&second] { ++second; });
        QVERIFY(witness.install());
        QVERIFY(xdotool({"key", "ctrl+alt+l"}));
        QTRY_COMPARE(second, 1);
        QCOMPARE(first, 0);
    }

    void oneRegistrationPerProcess()
    {
        GlobalShortcut first([] {});
        GlobalShortcut second([] {});
        QVERIFY(first.install());
        QVERIFY(!second.install());
        QVERIFY(first.install());
    }
};

QTEST_MAIN(TestGlobalShortcut)
#include "tst_globalshortcut.moc"

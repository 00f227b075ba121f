#include "app/AppDelegate.h"
#include "app/GlobalShortcut.h"
#include "platform/StatusItem.h"
#include "window/MainWindowController.h"
#include "TrayProcess.h"
#include "XTestSupport.h"

#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QPlainTextEdit>
#include <QProcess>
#include <QSystemTrayIcon>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

using namespace tessaline;
using testsupport::xdotool;

class TestAppDelegate : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        QCOMPARE(QGuiApplication::platformName(), QStringLiteral("xcb"));
        QVERIFY(!QSystemTrayIcon::isSystemTrayAvailable());
    }

    void init()
    {
        MainWindowController::created = 0;
        MainWindowController::quotaReads = 0;
    }

    // Starts before any tray: the item shows up once a tray appears.
    void statusItemWaitsForALateTray()
    {
        QMenu menu;
        StatusItem item(QStringLiteral("Tessaline"), &menu);
        QVERIFY(!item.isShown());
        testsupport::TrayProcess tray;
        QVERIFY(tray.start());
        QTRY_VERIFY_WITH_TIMEOUT(item.isShown(), 20000);
        QTRY_VERIFY(item.trayIcon()->geometry().isValid());
    }

    void launch()
    {
        testsupport::TrayProcess tray;
        QVERIFY(tray.start());
        QTRY_VERIFY_WITH_TIMEOUT(QSystemTrayIcon::isSystemTrayAvailable(), 10000);

        AppDelegate delegate;
        delegate.applicationDidFinishLaunching();

        QVERIFY(delegate.controller);
        QWidget *window = delegate.controller->window();
        QVERIFY(window);
        QCOMPARE(window->windowTitle(), QStringLiteral("Tessaline"));
        QTRY_VERIFY(window->isActiveWindow());
        QCOMPARE(MainWindowController::quotaReads, 1);

        QVERIFY(delegate.status);
        QSystemTrayIcon *icon = delegate.status->trayIcon();
        QTRY_VERIFY(delegate.status->isShown());
        QTRY_VERIFY(icon->geometry().isValid()); // docked in the running tray
        QCOMPARE(icon->toolTip(), QStringLiteral("Tessaline"));
        QVERIFY(!icon->icon().isNull());

        QMenu *menu = icon->contextMenu();
        QVERIFY(menu);
        const QList<QAction *> actions = menu->actions();
        QCOMPARE(actions.size(), 2);
        QCOMPARE(actions[0]->text(), QStringLiteral("Open Tessaline"));
        QVERIFY(actions[0]->shortcut().isEmpty());
        QCOMPARE(actions[1]->text(), QStringLiteral("Quit Tessaline"));
        QCOMPARE(actions[1]->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_Q));

        QVERIFY(delegate.shortcut && delegate.shortcut->installed());
    }

    void openReusesTheWindow_data()
    {
        QTest::addColumn<bool>("closeFirst");
        QTest::newRow("window open") << false;
        QTest::newRow("window closed") << true;
    }
    void openReusesTheWindow()
    {
        QFETCH(bool, closeFirst);
        AppDelegate delegate;
        delegate.applicationDidFinishLaunching();
        MainWindowController *controller = delegate.controller.get();
        QWidget *window = controller->window();
        QTRY_VERIFY(window->isActiveWindow());
        if (closeFirst) {
            QVERIFY(window->close());
            QVERIFY(!window->isVisible());
            QVERIFY(!QApplication::quitOnLastWindowClosed());
        }
        auto *other = new QWidget;
        other->setWindowTitle(QStringLiteral("Another program"));
        other->show();
        other->activateWindow();
        QTRY_VERIFY(other->isActiveWindow());

        delegate.status->trayIcon()->contextMenu()->actions()[0]->trigger();

        QCOMPARE(delegate.controller.get(), controller);
        QCOMPARE(controller->window(), window);
        QTRY_VERIFY(window->isActiveWindow());
        QCOMPARE(MainWindowController::created, 1);
        QCOMPARE(MainWindowController::quotaReads, 1);
        delete other;
    }

    void lostWindowGetsAFreshController()
    {
        AppDelegate delegate;
        delegate.applicationDidFinishLaunching();
        delete delegate.controller->window();
        delegate.openWindow();
        QCOMPARE(MainWindowController::created, 2);
        QVERIFY(delegate.controller->window());
        QTRY_VERIFY(delegate.controller->window()->isActiveWindow());
    }

    // The shortcut brings the window forward with the focus in the task description,
    // whether the window was closed or behind another one.
    void shortcutFocusesTheDescription_data()
    {
        QTest::addColumn<bool>("closed");
        QTest::newRow("window closed") << true;
        QTest::newRow("window behind another") << false;
    }
    void shortcutFocusesTheDescription()
    {
        QFETCH(bool, closed);
        AppDelegate delegate;
        delegate.applicationDidFinishLaunching();
        QVERIFY(delegate.shortcut->installed());
        QWidget *window = delegate.controller->window();
        QTRY_VERIFY(window->isActiveWindow());
        auto *elsewhere = window->findChildren<QPlainTextEdit *>().first();
        QVERIFY(elsewhere != delegate.controller->input);
        elsewhere->setFocus();

        QWidget other;
        if (closed) {
            window->close();
        } else {
            other.show();
            other.activateWindow();
            QTRY_VERIFY(other.isActiveWindow());
        }
        QVERIFY(xdotool({"key", "ctrl+alt+l"}));
        QTRY_VERIFY(window->isVisible());
        QTRY_VERIFY(window->isActiveWindow());
        QTRY_COMPARE(QApplication::focusWidget(), delegate.controller->input);
        QCOMPARE(MainWindowController::created, 1);
    }

    // A click on the tray icon opens the menu; Control-Q quits while it is open. Runs
    // last: it ends the event loop for good.
    void controlQInTheOpenMenuQuits()
    {
        testsupport::TrayProcess tray;
        QVERIFY(tray.start());
        AppDelegate delegate;
        delegate.applicationDidFinishLaunching();
        QSystemTrayIcon *icon = delegate.status->trayIcon();
        QTRY_VERIFY_WITH_TIMEOUT(icon->geometry().isValid(), 20000);
        QMenu *menu = icon->contextMenu();

        // The icon may still be on its way into the tray: click again until the menu opens.
        for (int attempt = 0; attempt < 20 && !menu->isVisible(); ++attempt) {
            const QPoint centre = icon->geometry().center();
            QVERIFY(xdotool({"mousemove", QString::number(centre.x()),
                             QString::number(centre.y()), "click", "1"}));
            if (QTest::qWaitFor([menu] { return menu->isVisible(); }, 1000))
                break;
        }
        QVERIFY(menu->isVisible());

        QSignalSpy aboutToQuit(qApp, &QCoreApplication::aboutToQuit);
        QProcess press;
        press.start("xdotool", {"key", "ctrl+q"});
        // Bounds the wait if the key does nothing; exit code 1 then fails the test.
        QTimer::singleShot(30000, qApp, [] { QCoreApplication::exit(1); });
        QCOMPARE(QApplication::exec(), 0);
        QCOMPARE(aboutToQuit.count(), 1);
        press.waitForFinished();
    }
};

QTEST_MAIN(TestAppDelegate)
#include "tst_appdelegate.moc"

#include "app/GlobalShortcut.h"

#include <QGuiApplication>
#include <QTest>

using namespace tessaline;

class TestGlobalShortcutWithoutX11 : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // Off X11 (here: the offscreen platform) the program runs on without a shortcut.
    void installReportsFailure()
    {
        QVERIFY(QGuiApplication::platformName() != QStringLiteral("xcb"));
        GlobalShortcut shortcut([] {});
        QVERIFY(!shortcut.install());
        QVERIFY(!shortcut.installed());
    }
};

QTEST_MAIN(TestGlobalShortcutWithoutX11)
#include "tst_globalshortcut_nox11.moc"

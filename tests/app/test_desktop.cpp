// The installed program on real desktops, each way the user brings its window back: a
// second launch, the global shortcut, the tray's menu. Rows of one desktop share it
// (DesktopSession.h); each row starts the program afresh.

#include "DesktopSession.h"
#include "FixtureRows.h"

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusInterface>
#include <QDBusVariant>
#include <QFileInfo>
#include <QScopeGuard>
#include <QTest>

using namespace testsupport;

namespace {

const QString program = QStringLiteral(TESSALINE_BUILD_DIR "/bin/tessaline");
const QByteArray held = "Ctrl+Alt+L is held by another program, so Tessaline runs without a global shortcut; "
                        "run \"tessaline --shortcut Ctrl+Alt+Shift+L\" to choose another.\n";

// The id and label of each entry at the top of a com.canonical.dbusmenu menu. The layout
// is (ia{sv}av): the root's id and properties, then each child as the same structure.
QList<std::pair<int, QString>> menuEntries(QDBusInterface &menu)
{
    QList<std::pair<int, QString>> entries;
    const QDBusMessage reply = menu.call("GetLayout", 0, 1, QStringList{"label"});
    const QDBusArgument layout = reply.arguments().value(1).value<QDBusArgument>();
    int id = 0;
    QVariantMap properties;
    QVariantList children;
    layout.beginStructure();
    layout >> id >> properties >> children;
    for (const QVariant &child : children) {
        const QDBusArgument node = child.value<QDBusArgument>();
        node.beginStructure();
        node >> id >> properties;
        entries.append({id, properties.value("label").toString()});
    }
    return entries;
}

} // namespace

class TestDesktop : public QObject {
    Q_OBJECT

    std::unique_ptr<DesktopSession> desktop;

private Q_SLOTS:
    void initTestCase() { QVERIFY(QFileInfo(program).isExecutable()); }
    void cleanupTestCase() { desktop.reset(); }

    // Rows of one desktop follow each other ("kind"); "way" is how the window comes back.
    void bringsTheWindowBack_data() { addFixtureRows("app/desktop-rows.json"); }
    void bringsTheWindowBack()
    {
        QFETCH(QJsonObject, row);
        const QString kind = row["kind"].toString(), way = row["way"].toString();
        if (!desktop || desktop->kind != kind) {
            desktop.reset();
            desktop = std::make_unique<DesktopSession>(kind);
            QVERIFY2(desktop->start(), "the desktop did not start");
        }
        DesktopSession &d = *desktop;
        QFile::remove(d.dir.filePath("quota-reads"));
        // Sway's portal grants the shortcut for the shortcut, refuses it before a second
        // launch, and is still asking its user while the tray's menu is used.
        d.portal.kept.clear();
        d.portal.grant = way == "shortcut";
        d.portal.hold = way == "tray menu";
        const qsizetype asked = d.portal.asked.size();

        // On X11 the shortcut row starts with another program holding the default keys.
        std::optional<XClient> holder;
        if (d.x11() && way == "shortcut")
            QVERIFY(holder.emplace().grab({0}));
        QProcess first;
        d.run(first, program);
        const auto stop = qScopeGuard([&first] { first.kill(), first.waitForFinished(); });
        if (kind == "weston") {
            // Native on Wayland, titled and known by its app id.
            QTRY_COMPARE_WITH_TIMEOUT(d.count("server/weston.log", ".set_title(\"Tessaline\")"), 1, 20000);
            QVERIFY(d.count("server/weston.log", ".set_app_id(\"app.tessaline.Tessaline\")") > 0);
        } else {
            QTRY_COMPARE_WITH_TIMEOUT(d.focused(), d.program(), 20000);
        }
        if (kind == "sway") // on Wayland the program asks the portal for its shortcut
            QTRY_COMPARE_WITH_TIMEOUT(d.portal.asked.size(), asked + 1, 20000);

        if (way == "second launch") {
            // As a launcher starts it, while another program has the focus: the window
            // comes forward. On sway the desktop refused the shortcut, so the running copy
            // asks again and the desktop keeps it waiting: the launch is answered all the same.
            QProcessEnvironment e = d.clients;
            if (kind != "weston") {
                const QString token = d.focusElsewhere();
                QVERIFY(!token.isEmpty());
                e.insert(d.x11() ? "DESKTOP_STARTUP_ID" : "XDG_ACTIVATION_TOKEN", token);
            }
            if (kind == "sway") {
                QTRY_COMPARE(d.portal.closed.size(), d.portal.sessions.size());
                d.portal.hold = true;
            }
            QCOMPARE(runToEnd(program, {}, e).code, 0);
            if (kind != "weston")
                QTRY_COMPARE_WITH_TIMEOUT(d.focused(), d.program(), 20000);
            if (kind == "sway")
                QTRY_COMPARE_WITH_TIMEOUT(d.portal.asked.size(), asked + 2, 20000);
            // `tessaline status` answers from the running copy, which read the quota once.
            const Ran status = d.finish(program, {"status", "--json"});
            QCOMPARE(status.code, 0);
            QCOMPARE(QJsonDocument::fromJson(status.out).object().value("band").toString(), "tight");
            QCOMPARE(d.count("quota-reads", "run"), 1);
            QCOMPARE(first.state(), QProcess::Running);
        } else if (way == "shortcut" && d.x11()) {
            // The held keys are said once; a later launch choosing them hears the same, and
            // one choosing others reopens the window; those keys bring the closed window
            // back from behind another program.
            QByteArray said;
            QTRY_VERIFY((said += first.readAllStandardError()).contains(held));
            QVERIFY(d.finish(program, {"--shortcut", "ctrl+alt+l"}) == (Ran{1, {}, held}));
            QVERIFY(d.closeWindow());
            QVERIFY(d.finish(program, {"--shortcut", "ctrl+alt+shift+l"}) == Ran{});
            QTRY_COMPARE(d.windows().size(), 1); // that launch reopened the window too
            QVERIFY(d.closeWindow());
            QVERIFY(!d.focusElsewhere().isEmpty());
            QVERIFY(xdotool({"key", "ctrl+alt+shift+l"}));
            QTRY_COMPARE_WITH_TIMEOUT(d.focused(), d.program(), 20000);
            QCOMPARE(said + first.readAllStandardError(), held);
        } else if (way == "shortcut" && kind == "sway") {
            // The portal's press carries the activation token that lets the window take the focus.
            const QString token = d.focusElsewhere();
            QVERIFY(!token.isEmpty());
            QVERIFY(ShortcutsPortal::press(d.connection, d.portal.sessions.last(), "open-window", {{"activation_token", token}}));
            QTRY_COMPARE_WITH_TIMEOUT(d.focused(), d.program(), 20000);
        } else if (way == "shortcut") {
            kdeShortcut(first);
        } else {
            trayMenu(first);
        }
    }

private:
    // KDE registers the shortcut with kglobalaccel once, and a press there reopens the
    // closed window; a restart finds it registered and binds nothing new, so the desktop
    // never asks its user again; keys chosen later are the desktop's to change.
    void kdeShortcut(QProcess &first)
    {
        DesktopSession &d = *desktop;
        const QString component = QStringLiteral("/component/tessaline");
        for (int run = 0; run < 2; ++run) {
            if (run == 1) {
                first.kill(), first.waitForFinished();
                d.run(first, program);
                QTRY_COMPARE_WITH_TIMEOUT(d.focused(), d.program(), 20000);
            }
            QTRY_COMPARE_WITH_TIMEOUT(
                qdbus_cast<QList<QDBusObjectPath>>(d.kglobalaccel("/kglobalaccel", "org.kde.KGlobalAccel", "allComponents")),
                QList<QDBusObjectPath>{QDBusObjectPath(component)}, 20000);
            QCOMPARE(d.kglobalaccel(component, "org.kde.kglobalaccel.Component", "shortcutNames").toStringList(),
                     QStringList{"open-window"});
            QVERIFY(d.closeWindow());
            // Until this copy's session is set up a press reaches nothing.
            QTRY_VERIFY_WITH_TIMEOUT((d.kglobalaccel(component, "org.kde.kglobalaccel.Component", "invokeShortcut", {"open-window"}),
                                      d.focused() == d.program()), 20000);
            QCOMPARE(d.windows().size(), 1);
        }
        const auto [code, out, said] = d.finish(program, {"--shortcut", "Ctrl+Alt+Shift+K"});
        QCOMPARE(code, 1);
        QVERIFY(out.isEmpty());
        QVERIFY2(said.startsWith("The desktop keeps the keys of Tessaline's shortcut (Ctrl+Alt+L)") && said.count('\n') == 1, said);
    }

    // The tray comes after the program, as a panel started late or restarted does (the
    // xfce4-panel desktop has its panel from the start). The menu opens the closed window
    // and quits the program; on sway that is while the desktop is still asking its user
    // about the shortcut.
    void trayMenu(QProcess &first)
    {
        DesktopSession &d = *desktop;
        ReadyProcess tray, pointer; // for their stop when the row ends
        if (d.kind == "openbox") {
            // trayer's XEmbed tray: Qt draws the menu on a click, and the menu takes keys.
            d.run(tray.process, "trayer", {"--edge", "top", "--align", "right", "--widthtype", "request", "--height", "24", "--SetDockType", "true"});
            QTRY_VERIFY_WITH_TIMEOUT(d.trayWindow(false), 20000);
            const auto openMenu = [&d] {
                // The icon may still be on its way into the tray.
                for (int attempt = 0; attempt < 20 && !d.trayWindow(true); ++attempt)
                    if (xdotool({"mousemove", "--window", QString::number(d.trayWindow(false)), "11", "11", "click", "1"}))
                        (void)QTest::qWaitFor([&d] { return d.trayWindow(true); }, 1000);
                return d.trayWindow(true);
            };
            QVERIFY(d.closeWindow());
            QVERIFY(openMenu() && xdotool({"key", "Down", "Return"}));
            QTRY_COMPARE_WITH_TIMEOUT(d.focused(), d.program(), 20000);
            QVERIFY(openMenu() && xdotool({"key", "ctrl+q"}));
        } else {
            // A StatusNotifierItem host: its menu is the program's, over com.canonical.dbusmenu.
            if (d.kind == "sway")
                d.run(tray.process, "waybar", {"--config", QStringLiteral(APP_FIXTURES "/waybar.json")}); // a bar with the tray alone
            QTRY_VERIFY_WITH_TIMEOUT(d.watching(), 20000);
            const QString watcher = QStringLiteral("org.kde.StatusNotifierWatcher");
            QDBusInterface host(watcher, "/StatusNotifierWatcher", watcher, d.connection);
            QStringList items;
            QTRY_VERIFY_WITH_TIMEOUT(!(items = host.property("RegisteredStatusNotifierItems").toStringList()).isEmpty(), 20000);
            QCOMPARE(items.size(), 1);
            const qsizetype slash = items[0].indexOf('/');
            const QString service = items[0].left(slash);
            QDBusInterface item(service, slash < 0 ? "/StatusNotifierItem" : items[0].mid(slash), "org.kde.StatusNotifierItem", d.connection);
            QCOMPARE(item.property("Title").toString(), QStringLiteral("Tessaline"));
            QDBusInterface menu(service, item.property("Menu").value<QDBusObjectPath>().path(), "com.canonical.dbusmenu", d.connection);
            const QList<std::pair<int, QString>> entries = menuEntries(menu);
            QCOMPARE(entries, (QList<std::pair<int, QString>>{{entries.value(0).first, "Open Tessaline"}, {entries.value(1).first, "Quit Tessaline"}}));
            const auto choose = [&menu](int id) {
                return menu.call("Event", id, QStringLiteral("clicked"), QVariant::fromValue(QDBusVariant(0)), 0u).type() == QDBusMessage::ReplyMessage;
            };
            QVERIFY(d.closeWindow());
            QVERIFY(choose(entries[0].first));
            QTRY_COMPARE_WITH_TIMEOUT(d.focused(), d.program(), 20000);
            if (d.kind == "sway") {
                // A plain click on the icon in the bar opens the window, and no window of a
                // menu: one window, the main window (a menu shown as a window is nearly all
                // white). The pointer goes leftwards along the bar until it meets the icon.
                QVERIFY(d.closeWindow());
                d.run(pointer.process, QStringLiteral(TESSALINE_BUILD_DIR "/tests/app/virtual_pointer"),
                      {QString::number(d.screen.width()), QString::number(d.screen.height())});
                for (int x = d.screen.width() - 4; x > d.screen.width() - 80 && d.windows().isEmpty(); x -= 6) {
                    pointer.process.write(QStringLiteral("click %1 15 left\n").arg(x).toUtf8());
                    QVERIFY(pointer.process.waitForReadyRead(10000) && pointer.process.readLine().trimmed() == "ok");
                    (void)QTest::qWaitFor([&d] { return !d.windows().isEmpty(); }, 500);
                }
                QTRY_COMPARE_WITH_TIMEOUT(d.focused(), d.program(), 20000);
                const QList<QJsonObject> shown = d.swayWindows();
                const auto ours = std::find_if(shown.begin(), shown.end(), [&d](const QJsonObject &w) { return w["app_id"] == d.program(); });
                QCOMPARE(d.windows().size(), 1);
                const QJsonObject r = (*ours)["rect"].toObject();
                const QImage shot = d.screenshot().copy(r["x"].toInt(), r["y"].toInt(), r["width"].toInt(), r["height"].toInt());
                qsizetype white = 0;
                for (int y = 0; y < shot.height(); ++y)
                    for (int x = 0; x < shot.width(); ++x)
                        white += shot.pixel(x, y) == qRgb(255, 255, 255);
                QVERIFY(!shot.isNull() && white < shot.width() * shot.height() / 2);
            }
            QVERIFY(choose(entries[1].first));
        }
        QVERIFY(first.waitForFinished(20000));
        QCOMPARE(first.exitStatus(), QProcess::NormalExit);
        QCOMPARE(first.exitCode(), 0);
    }
};

QTEST_GUILESS_MAIN(TestDesktop)
#include "test_desktop.moc"

#pragma once

// A desktop of the test's own for the program to run on, as a user's session has one: a
// display server, a private session bus, and the window manager, panel or portal named by
// its kind:
//   openbox      Xvfb and Openbox, a window manager that guards against focus stealing
//   xfce4-panel  Xvfb and xfce4-panel, whose tray hosts StatusNotifierItems; no window manager
//   sway         headless sway, with Debian's portal frontend in front of ShortcutsPortal
//   sway-kde     headless sway, with Debian's KDE portal backend and kglobalaccel5
//   weston       headless weston, which shows no client another's windows; it logs every
//                request its clients make instead
// The X server, or sway's IPC, tells which windows there are and which has the focus.

#include "PrivateBus.h"
#include "ShortcutsPortal.h"
#include "XTestSupport.h"

#include <QDBusConnectionInterface>
#include <QDir>
#include <QFileInfo>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

#include <functional>
#include <unistd.h>

namespace testsupport {

class DesktopSession {
public:
    const QString kind;
    QTemporaryDir dir{QStringLiteral("/tmp/tess.XXXXXX")}; // short: holds the sockets
    PrivateBus bus;
    QDBusConnection connection{QString()}; // the desktop's own, on the bus
    QProcessEnvironment clients;           // what a program started on this desktop gets
    ShortcutsPortal portal;                // sway's, on the bus
    QSize screen;

    explicit DesktopSession(const QString &kind) : kind(kind) {}
    ~DesktopSession() { QDBusConnection::disconnectFromBus(kind); }
    bool x11() const { return kind == QLatin1String("openbox") || kind == QLatin1String("xfce4-panel"); }
    // How the program's main window is known: its title on X11, its app id on Wayland.
    QString program() const { return x11() ? QStringLiteral("Tessaline") : QStringLiteral("app.tessaline.Tessaline"); }

    bool start()
    {
        for (const char *sub : {"runtime", "server", "server/home", "config"})
            if (!QDir(dir.path()).mkpath(sub)
                || !QFile::setPermissions(dir.filePath(sub), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner))
                return false;
        clients = QProcessEnvironment::systemEnvironment();
        for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "XDG_SESSION_TYPE", "XDG_CURRENT_DESKTOP"})
            clients.remove(name);
        clients.insert("XDG_RUNTIME_DIR", dir.filePath("runtime"));
        clients.insert("XDG_CONFIG_HOME", dir.filePath("config"));
        clients.insert("FIXTURE_LOG", dir.filePath("quota-reads"));
        clients.insert("QT_QPA_PLATFORM", x11() ? "xcb" : "wayland");
        if (!(x11() ? startX() : kind == QLatin1String("weston") ? startWeston() : startSway()))
            return false;

        // What the bus may start, as the packages installed it.
        QStringList names;
        QProcessEnvironment busEnvironment = clients;
        if (kind == QLatin1String("xfce4-panel")) {
            // The panel keeps its settings in xfconf: one panel with the status tray alone, as
            // the system's defaults; without any the panel would ask how to set itself up.
            names = {"org.xfce.Xfconf"};
            busEnvironment.insert("XDG_CONFIG_DIRS", QStringLiteral(APP_FIXTURES "/xdg"));
        } else if (kind == QLatin1String("sway")) {
            names = {"org.freedesktop.portal.Desktop"};
            ShortcutsPortal::describe(true, busEnvironment);
        } else if (kind == QLatin1String("sway-kde")) {
            // Plasma on Wayland: the frontend picks KDE's backend for this desktop, which
            // registers shortcuts with kglobalaccel (keeping them under XDG_CONFIG_HOME).
            busEnvironment.insert("XDG_CURRENT_DESKTOP", "KDE");
            names = {"org.freedesktop.portal.Desktop", "org.freedesktop.impl.portal.desktop.kde", "org.kde.kglobalaccel"};
        }
        if (!bus.start(PrivateBus::installed(names), busEnvironment))
            return false;
        clients.insert("DBUS_SESSION_BUS_ADDRESS", bus.address);
        connection = QDBusConnection::connectToBus(bus.address, kind);
        if (kind == QLatin1String("sway"))
            return portal.serve(connection);
        shell.process.setProcessEnvironment(clients);
        if (kind == QLatin1String("openbox")) // runs its startup command once it manages the screen
            return shell.start("openbox", {"--startup", "echo ready"}, QRegularExpression("^ready$"));
        if (kind == QLatin1String("xfce4-panel")) {
            run(shell.process, "xfce4-panel", {"--disable-wm-check"});
            return QTest::qWaitFor([this] { return watching(); }, 30000);
        }
        return true;
    }

    // Starts a program on this desktop, to die with the test.
    void run(QProcess &process, const QString &command, const QStringList &arguments = {},
             const QProcessEnvironment &environment = {})
    {
        process.setProcessEnvironment(environment.isEmpty() ? clients : environment);
        process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
        process.start(command, arguments);
    }
    // Runs a client of this desktop to its end.
    Ran finish(const QString &program, const QStringList &args = {}) { return runToEnd(program, args, clients); }
    // What a client printed, or nothing if it failed.
    QByteArray output(const QString &command, const QStringList &arguments = {})
    {
        const Ran ran = finish(command, arguments);
        return ran.code == 0 ? ran.out : QByteArray();
    }

    // The focused window, by what program() says of the program's.
    QString focused()
    {
        if (x11()) // as the server has it (-f): without a window manager no window is marked top-level
            return QString::fromUtf8(output("xdotool", {"getwindowfocus", "-f", "getwindowname"}).trimmed());
        for (const QJsonObject &w : swayWindows())
            if (w["focused"].toBool())
                return w["app_id"].toString();
        return QString();
    }

    // The program's main windows on the screen (on X11 its tray icon and menu are
    // override-redirect windows).
    QList<quint32> windows()
    {
        QList<quint32> found;
        if (!x11()) {
            for (const QJsonObject &w : swayWindows())
                if (w["app_id"].toString() == program())
                    found.append(w["id"].toInt());
            return found;
        }
        for (const auto &w : x->windows())
            if (w.viewable && !w.overrideRedirect && w.name == "Tessaline" && isOurs(w))
                found.append(w.id);
        return found;
    }
    // The program's override-redirect windows on X11: its icon, which trayer reparents,
    // or the menu Qt draws for the icon on the root window.
    xcb_window_t trayWindow(bool menu)
    {
        for (const auto &w : x->windows())
            if (isOurs(w) && w.viewable && w.overrideRedirect && (w.parent == x->root) == menu)
                return w.id;
        return 0;
    }

    // What the user's click on the window's close button does; true once it is gone.
    bool closeWindow()
    {
        if (!x11())
            swaymsg({QStringLiteral("[app_id=%1] kill").arg(program())});
        else if (const QList<quint32> found = windows(); !found.isEmpty())
            x->requestClose(found[0]);
        return QTest::qWaitFor([this] { return windows().isEmpty(); }, 5000);
    }

    // The user turns to another program and works there; returns what a launcher would
    // give the next program it starts: a startup id with the time of that click, or an
    // activation token.
    QString focusElsewhere()
    {
        if (!x11()) {
            if (other.process.state() == QProcess::NotRunning)
                run(other.process, "weston-flower");
            else
                swaymsg({"[app_id=org.freedesktop.weston.flower] focus"});
            if (!QTest::qWaitFor([this] { return focused() == "org.freedesktop.weston.flower"; }, 20000))
                return QString();
            return QString::fromUtf8(output(QStringLiteral(TESSALINE_BUILD_DIR "/tests/app/activation_token")).trimmed());
        }
        if (other.process.state() == QProcess::NotRunning)
            run(other.process, "xmessage",
                {"-buttons", "", "-geometry", "400x300+100+100", "-title", "Another program", "Another program"});
        const QByteArray found =
            output("xdotool", {"search", "--sync", "--onlyvisible", "--name", "^Another program$"});
        const QString id = found.split('\n').value(0);
        if (id.isEmpty() || !xdotool({"windowraise", id})
            || !xdotool({kind == QLatin1String("openbox") ? "windowactivate" : "windowfocus", "--sync", id})
            || !xdotool({"mousemove", "--window", id, "20", "20", "click", "1"})
            || !QTest::qWaitFor([this] { return focused() == "Another program"; }, 20000))
            return QString();
        return QStringLiteral("tessaline-test-%1_TIME%2").arg(::getpid()).arg(x->serverTime());
    }

    // How often `what` is in a log of this desktop: "run" in quota-reads, the helper's
    // runs; ".set_title(\"Tessaline\")" in server/weston.log, a client's requests.
    int count(const QString &log, const QByteArray &what) const
    {
        QFile file(dir.filePath(log));
        return file.open(QIODevice::ReadOnly) ? int(file.readAll().count(what)) : 0;
    }

    QByteArray swaymsg(const QStringList &arguments) { return output("swaymsg", QStringList{"-r"} + arguments); }
    QList<QJsonObject> swayWindows()
    {
        QList<QJsonObject> found;
        const std::function<void(const QJsonObject &)> walk = [&](const QJsonObject &node) {
            if (node.contains("app_id"))
                found.append(node);
            for (const char *children : {"nodes", "floating_nodes"})
                for (const QJsonValue &child : node.value(children).toArray())
                    walk(child.toObject());
        };
        walk(QJsonDocument::fromJson(swaymsg({"-t", "get_tree"})).object());
        return found;
    }
    QImage screenshot() { return QImage::fromData(output("grim", {"-"})); }

    // A call to kglobalaccel (sway-kde).
    QVariant kglobalaccel(const QString &path, const QString &interface, const QString &method, const QVariantList &arguments = {})
    {
        QDBusMessage m = QDBusMessage::createMethodCall("org.kde.kglobalaccel", path, interface, method);
        m.setArguments(arguments);
        return connection.call(m, QDBus::Block, 5000).arguments().value(0);
    }

    // Whether a StatusNotifierItem host is on the bus.
    bool watching() { return connection.interface()->isServiceRegistered("org.kde.StatusNotifierWatcher").value(); }

private:
    ReadyProcess server, shell, other; // stopped in this order's reverse
    std::unique_ptr<XClient> x;

    static bool isOurs(const XClient::Window &w) { return w.wmClass.toLower().split('\0').contains("tessaline"); }

    bool startX()
    {
        if (!server.start("Xvfb", {"-displayfd", "1", "-screen", "0", "1280x1024x24", "-nolisten", "tcp"}, QRegularExpression("^\\d+$")))
            return false;
        const QString display = ":" + server.ready.captured(0);
        // This process's X clients and xdotool use it too.
        qputenv("DISPLAY", display.toUtf8());
        clients.insert("DISPLAY", display);
        x = std::make_unique<XClient>();
        return true;
    }

    bool startWeston()
    {
        QProcessEnvironment e = clients;
        e.insert("XDG_RUNTIME_DIR", dir.filePath("server"));
        run(server.process, "weston", {"--backend=headless-backend.so", "--socket=wayland-tess", "--width=1280", "--height=1024",
                                       "--debug", "--logger-scopes=proto", "--log=" + dir.filePath("server/weston.log")}, e);
        clients.insert("WAYLAND_DISPLAY", dir.filePath("server/wayland-tess"));
        return QTest::qWaitFor([this] { return QFileInfo::exists(clients.value("WAYLAND_DISPLAY")); }, 20000);
    }

    // Sway refuses to run as root: as root it runs as "nobody", in folders it owns.
    bool startSway()
    {
        QFile config(dir.filePath("server/config"));
        if (!config.open(QIODevice::WriteOnly)
            || !config.write("focus_on_window_activation focus\nexec echo \"ready $WAYLAND_DISPLAY $SWAYSOCK\"\n"))
            return false;
        config.close();
        QProcessEnvironment e = clients;
        e.insert("XDG_RUNTIME_DIR", dir.filePath("server"));
        e.insert("HOME", dir.filePath("server/home"));
        e.insert("WLR_BACKENDS", "headless");
        e.insert("WLR_LIBINPUT_NO_DEVICES", "1");
        e.insert("WLR_RENDERER", "pixman");
        QStringList command{"sway", "-c", config.fileName()};
        if (::getuid() == 0) {
            for (const QString &path : {dir.path(), dir.filePath("server"), dir.filePath("server/home")})
                if (::chown(QFile::encodeName(path).constData(), 65534, 65534) != 0)
                    return false;
            command = QStringList{"setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"} + command;
        }
        server.process.setProcessEnvironment(e);
        const QString swayProgram = command.takeFirst();
        if (!server.start(swayProgram, command, QRegularExpression("^ready (\\S+) (\\S+)$")))
            return false;
        clients.insert("WAYLAND_DISPLAY", dir.filePath("server/" + server.ready.captured(1)));
        clients.insert("SWAYSOCK", server.ready.captured(2));
        const QJsonObject output = QJsonDocument::fromJson(swaymsg({"-t", "get_outputs"})).array().at(0).toObject();
        screen = QSize(output["rect"]["width"].toInt(), output["rect"]["height"].toInt());
        return !screen.isEmpty();
    }
};

} // namespace testsupport

#pragma once

// The desktop's side of the global-shortcuts portal, for tests that run Debian's real
// xdg-desktop-portal frontend on a private bus. Debian's real KDE backend (5.27) is tested
// as it is; this one stands in for what Debian has no package of: it answers as Plasma
// 6's backend does (xdg-desktop-portal-kde 6.x, src/globalshortcuts.cpp). The shortcuts
// the user accepted are kept for the program across sessions, CreateSession and
// ListShortcuts report them, and BindShortcuts asks the user only about new ones,
// answering an acceptance with 0 and no "shortcuts" (as 6.4 does) and a refusal with 1.

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusVirtualObject>
#include <QProcessEnvironment>
#include <QStringList>

#include <algorithm>
#include <utility>
#include <vector>

namespace testsupport {

// A shortcut as the portal passes it: its id and its properties, a D-Bus (sa{sv}).
using PortalShortcut = std::pair<QString, QVariantMap>;

class ShortcutsPortal : public QDBusVirtualObject {
public:
    static inline const QString name = QStringLiteral("org.freedesktop.impl.portal.desktop.tessalinetest");
    static inline const QString path = QStringLiteral("/org/freedesktop/portal/desktop");
    static inline const QString interface = QStringLiteral("org.freedesktop.impl.portal.GlobalShortcuts");
    static inline const QString desktop = QStringLiteral("tessaline-test"); // XDG_CURRENT_DESKTOP

    bool grant = true;
    bool hold = false; // leaves binding requests unanswered, as a desktop asking its user does
    QStringList sessions, closed;
    QList<PortalShortcut> offered, asked; // given to CreateSession, to BindShortcuts
    QList<PortalShortcut> kept;           // what the user accepted, for every session

    ShortcutsPortal()
    {
        qDBusRegisterMetaType<PortalShortcut>();
        qDBusRegisterMetaType<QList<PortalShortcut>>();
    }

    // Points the frontend at this backend, for the current desktop, in the environment the
    // bus is started with (which the frontend inherits). Without the interface, the
    // desktop's backend offers another portal only.
    static void describe(bool withInterface, QProcessEnvironment &environment)
    {
        environment.insert(QStringLiteral("XDG_DESKTOP_PORTAL_DIR"),
                           QStringLiteral(TESSALINE_FIXTURES "/app/portals/") + (withInterface ? "with" : "without"));
        environment.insert(QStringLiteral("XDG_CURRENT_DESKTOP"), desktop);
    }

    // Serves on `connection` under the backend's name.
    bool serve(QDBusConnection connection)
    {
        return connection.registerVirtualObject(path, this, QDBusConnection::SubPath)
            && connection.registerService(name);
    }

    QString introspect(const QString &) const override { return QString(); }

    bool handleMessage(const QDBusMessage &message, const QDBusConnection &connection) override
    {
        const QString member = message.member();
        const QList<QVariant> args = message.arguments();
        if (member == QLatin1String("CreateSession")) {
            sessions.append(args.value(1).value<QDBusObjectPath>().path());
            offered += qdbus_cast<QList<PortalShortcut>>(qdbus_cast<QVariantMap>(args.value(3)).value("shortcuts"));
            connection.send(message.createReply({0u, QVariantMap()}));
        } else if (member == QLatin1String("ListShortcuts")) {
            connection.send(message.createReply({0u, QVariantMap{{"shortcuts", QVariant::fromValue(kept)}}}));
        } else if (member == QLatin1String("BindShortcuts")) {
            const auto shortcuts = qdbus_cast<QList<PortalShortcut>>(args.value(2));
            asked += shortcuts;
            QList<PortalShortcut> added;
            for (const PortalShortcut &s : shortcuts)
                if (std::none_of(kept.begin(), kept.end(), [&s](const PortalShortcut &k) { return k.first == s.first; }))
                    added.append({s.first, {{"description", s.second.value("description")},
                                            {"trigger_description", s.second.value("preferred_trigger")}}});
            if (added.isEmpty()) {
                connection.send(message.createReply({0u, QVariantMap{{"shortcuts", QVariant::fromValue(kept)}}}));
            } else if (hold) {
                message.setDelayedReply(true);
            } else {
                if (grant)
                    kept += added;
                connection.send(message.createReply({grant ? 0u : 1u, QVariantMap()}));
            }
        } else if (member == QLatin1String("Close")) {
            closed.append(message.path());
            connection.send(message.createReply());
        } else {
            return false;
        }
        return true;
    }

    // The desktop ends a session, as when its portal goes away.
    static bool endSession(const QDBusConnection &connection, const QString &session)
    {
        return connection.send(QDBusMessage::createSignal(session, QStringLiteral("org.freedesktop.impl.portal.Session"),
                                                          QStringLiteral("Closed")));
    }

    // A press as the desktop reports it; `options` may carry an activation token.
    static bool press(const QDBusConnection &connection, const QString &session, const QString &id,
                      const QVariantMap &options = {})
    {
        QDBusMessage signal = QDBusMessage::createSignal(path, interface, QStringLiteral("Activated"));
        signal << QVariant::fromValue(QDBusObjectPath(session)) << id << qulonglong(1234) << options;
        return connection.send(signal);
    }
};

} // namespace testsupport

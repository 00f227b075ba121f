#pragma once

// The desktop's side of the global-shortcuts portal, for tests that run Debian's real
// xdg-desktop-portal frontend on a private bus: no desktop's own backend runs without its
// desktop, so this small one stands in for it. It implements
// org.freedesktop.impl.portal.GlobalShortcuts, records what the frontend asks of it and
// answers as the desktop's user would.

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusVirtualObject>
#include <QFile>
#include <QProcessEnvironment>
#include <QStringList>
#include <QTemporaryDir>

#include <utility>
#include <vector>

namespace testsupport {

struct PortalShortcut {
    QString id;
    QVariantMap properties;
};
inline QDBusArgument &operator<<(QDBusArgument &a, const PortalShortcut &s)
{
    a.beginStructure();
    a << s.id << s.properties;
    a.endStructure();
    return a;
}
inline const QDBusArgument &operator>>(const QDBusArgument &a, PortalShortcut &s)
{
    a.beginStructure();
    a >> s.id >> s.properties;
    a.endStructure();
    return a;
}

} // namespace testsupport

Q_DECLARE_METATYPE(testsupport::PortalShortcut)

namespace testsupport {

class ShortcutsPortal : public QDBusVirtualObject {
public:
    static inline const QString name = QStringLiteral("org.freedesktop.impl.portal.desktop.tessalinetest");
    static inline const QString path = QStringLiteral("/org/freedesktop/portal/desktop");
    static inline const QString interface = QStringLiteral("org.freedesktop.impl.portal.GlobalShortcuts");
    static inline const QString desktop = QStringLiteral("tessaline-test"); // XDG_CURRENT_DESKTOP

    bool grant = true;
    bool hold = false; // leaves binding requests unanswered, as a desktop asking its user does
    QStringList sessions, closed;
    QList<PortalShortcut> asked;

    ShortcutsPortal()
    {
        qDBusRegisterMetaType<PortalShortcut>();
        qDBusRegisterMetaType<QList<PortalShortcut>>();
    }

    // The frontend's service file for the bus, and the portals folder that points it at
    // this backend (none: a desktop without the interface). The bus is started with the
    // returned environment, which the frontend inherits.
    static std::pair<QString, QByteArray> frontendService()
    {
        return {QStringLiteral("portal.service"), "[D-BUS Service]\nName=org.freedesktop.portal.Desktop\n"
                                                  "Exec=/usr/libexec/xdg-desktop-portal\n"};
    }
    static bool describe(const QTemporaryDir &portals, bool withInterface, QProcessEnvironment &environment)
    {
        environment.insert(QStringLiteral("XDG_DESKTOP_PORTAL_DIR"), portals.path());
        environment.insert(QStringLiteral("XDG_CURRENT_DESKTOP"), desktop);
        if (!withInterface)
            return portals.isValid();
        QFile file(portals.filePath(QStringLiteral("tessalinetest.portal")));
        return file.open(QIODevice::WriteOnly)
            && file.write("[portal]\nDBusName=" + name.toUtf8() + "\nInterfaces=" + interface.toUtf8()
                          + "\nUseIn=" + desktop.toUtf8() + "\n") > 0;
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
        if (message.interface() == QLatin1String("org.freedesktop.DBus.Properties")) {
            connection.send(message.createReply(QVariant(QVariantMap{{"version", 1u}})));
        } else if (member == QLatin1String("CreateSession")) {
            sessions.append(args.value(1).value<QDBusObjectPath>().path());
            connection.send(message.createReply({0u, QVariantMap()}));
        } else if (member == QLatin1String("BindShortcuts") && hold) {
            message.setDelayedReply(true);
        } else if (member == QLatin1String("BindShortcuts")) {
            QList<PortalShortcut> shortcuts;
            args.value(2).value<QDBusArgument>() >> shortcuts;
            asked += shortcuts;
            QVariantMap results;
            if (grant) {
                for (PortalShortcut &s : shortcuts)
                    s.properties = {{"description", s.properties.value("description")},
                                    {"trigger_description", s.properties.value("preferred_trigger")}};
                results.insert("shortcuts", QVariant::fromValue(shortcuts));
            }
            connection.send(message.createReply({grant ? 0u : 1u, results}));
        } else if (member == QLatin1String("Close")) {
            closed.append(message.path());
            connection.send(message.createReply());
        } else {
            return false;
        }
        return true;
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

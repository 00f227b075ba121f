#pragma once

#include <QDBusConnection>
#include <QHash>
#include <QObject>
#include <QQueue>
#include <QString>

namespace tessaline {

// A client of the desktop's notification server (org.freedesktop.Notifications).
//
// Each notification carries a tag; a newer notification with the same tag takes the
// place of the older one, by passing the id the server returned for it as replaces_id.
// Ids belong to one server instance, so an id is reused only while the same server
// (same unique bus name) owns the service; after a restart the next one starts afresh.
// Posts are sent one after another so that each knows the id of the one before it.
class DesktopNotifications : public QObject {
    Q_OBJECT

public:
    // The status names of the desktop notification permission model that the macOS
    // port shares; on this desktop only notDetermined and authorized occur.
    enum class AuthorizationStatus { notDetermined, denied, authorized, provisional, ephemeral };
    static bool allowsPosting(AuthorizationStatus status);

    DesktopNotifications(const QDBusConnection &bus, const QString &appName,
                         const QString &desktopEntry, QObject *parent = nullptr);

    // Posts asynchronously when a notification server owns its name on the bus
    // ("authorized"), otherwise drops the notification ("not determined"). Failures are
    // not reported to the user; posted() tells the outcome.
    void post(const QString &tag, const QString &summary, const QString &body);

Q_SIGNALS:
    // Emitted once for every post() once it is settled: sent and answered with an id
    // (id > 0), or dropped (id 0).
    void posted(const QString &tag, quint32 id);

private:
    struct Pending {
        QString tag;
        QString summary;
        QString body;
    };
    struct Shown {
        QString owner; // unique bus name of the server that issued the id
        quint32 id = 0;
    };

    void sendNext();
    void send(const Pending &pending, const QString &owner);
    void settle(const Pending &pending, const QString &owner, quint32 id);

    QDBusConnection bus;
    QString appName;
    QString desktopEntry;
    QQueue<Pending> queue;
    bool busy = false;
    QHash<QString, Shown> shown; // by tag
};

} // namespace tessaline

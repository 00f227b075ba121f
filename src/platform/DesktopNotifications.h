#pragma once

#include <QDBusConnection>
#include <QHash>
#include <QObject>
#include <QQueue>
#include <QString>

class QDBusServiceWatcher;

namespace tessaline {

// A client of the desktop's notification server (org.freedesktop.Notifications).
//
// Calls go to the service's well-known name, so the bus starts a server that is only
// installed for activation (dunst, mako, xfce4-notifyd) when the first one is sent.
// Whether posting is allowed is the server's answer: an id means shown, an error reply
// (no server to be had, or a server that refuses) means not allowed.
//
// Each notification carries a tag; a newer notification with the same tag takes the
// place of the older one, by passing the id the server returned for it as replaces_id.
// Ids belong to the server that issued them (the reply's sender), and are forgotten when
// that server leaves the bus, so a restarted server never receives its predecessor's ids.
// Posts are sent one after another so that each knows the id of the one before it.
class DesktopNotifications : public QObject {
    Q_OBJECT

public:
    // The status names of the desktop notification permission model that the macOS
    // port shares; here a successful reply is "authorized" and an error reply "denied".
    enum class AuthorizationStatus { notDetermined, denied, authorized, provisional, ephemeral };
    static bool allowsPosting(AuthorizationStatus status);

    DesktopNotifications(const QDBusConnection &bus, const QString &appName,
                         const QString &desktopEntry, QObject *parent = nullptr);

    // Posts asynchronously. Failures are not reported to the user; posted() tells the outcome.
    void post(const QString &tag, const QString &summary, const QString &body);

Q_SIGNALS:
    // Emitted once for every post() once it is settled: answered with an id by a server
    // (id > 0), or not shown (id 0).
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
    void settle(const Pending &pending, const QString &owner, quint32 id);
    void forgetIdsOf(const QString &owner);

    QDBusConnection bus;
    QString appName;
    QString desktopEntry;
    QQueue<Pending> queue;
    bool busy = false;
    QHash<QString, Shown> shown; // by tag
    QDBusServiceWatcher *watcher = nullptr;
};

} // namespace tessaline

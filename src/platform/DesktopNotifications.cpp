#include "platform/DesktopNotifications.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QVariantMap>

namespace tessaline {

namespace {
const QString notificationsService = QStringLiteral("org.freedesktop.Notifications");
const QString notificationsPath = QStringLiteral("/org/freedesktop/Notifications");
const QString notificationsInterface = QStringLiteral("org.freedesktop.Notifications");
} // namespace

bool DesktopNotifications::allowsPosting(AuthorizationStatus status)
{
    return status == AuthorizationStatus::authorized || status == AuthorizationStatus::provisional;
}

DesktopNotifications::DesktopNotifications(const QDBusConnection &bus, const QString &appName,
                                           const QString &desktopEntry, QObject *parent)
    : QObject(parent), bus(bus), appName(appName), desktopEntry(desktopEntry)
{
}

void DesktopNotifications::post(const QString &tag, const QString &summary, const QString &body)
{
    queue.enqueue({tag, summary, body});
    if (!busy)
        sendNext();
}

void DesktopNotifications::sendNext()
{
    if (queue.isEmpty()) {
        busy = false;
        return;
    }
    busy = true;
    const Pending pending = queue.dequeue();
    if (!bus.isConnected()) {
        settle(pending, QString(), 0);
        return;
    }

    // Who owns the service now decides both whether anything is posted and whether a
    // remembered id still means anything to it.
    QDBusMessage ask = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("GetNameOwner"));
    ask << notificationsService;
    auto *watcher = new QDBusPendingCallWatcher(bus.asyncCall(ask), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, pending](QDBusPendingCallWatcher *w) {
        w->deleteLater();
        const QDBusPendingReply<QString> reply = *w;
        const auto status = reply.isError() || reply.value().isEmpty() ? AuthorizationStatus::notDetermined
                                                                        : AuthorizationStatus::authorized;
        if (!allowsPosting(status)) {
            settle(pending, QString(), 0);
            return;
        }
        send(pending, reply.value());
    });
}

void DesktopNotifications::send(const Pending &pending, const QString &owner)
{
    const Shown previous = shown.value(pending.tag);
    const quint32 replacesId = previous.owner == owner ? previous.id : 0;

    QVariantMap hints;
    if (!desktopEntry.isEmpty())
        hints.insert(QStringLiteral("desktop-entry"), desktopEntry);

    // Addressed to the owner that was just asked, so a server that restarted in between
    // never receives the previous server's id.
    QDBusMessage call = QDBusMessage::createMethodCall(owner, notificationsPath, notificationsInterface,
                                                       QStringLiteral("Notify"));
    call << appName << replacesId << QString() << pending.summary << pending.body << QStringList()
         << hints << qint32(-1);
    auto *watcher = new QDBusPendingCallWatcher(bus.asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, pending, owner](QDBusPendingCallWatcher *w) {
        w->deleteLater();
        const QDBusPendingReply<quint32> reply = *w;
        settle(pending, owner, reply.isError() ? 0 : reply.value());
    });
}

void DesktopNotifications::settle(const Pending &pending, const QString &owner, quint32 id)
{
    if (id != 0)
        shown.insert(pending.tag, {owner, id});
    Q_EMIT posted(pending.tag, id);
    sendNext();
}

} // namespace tessaline

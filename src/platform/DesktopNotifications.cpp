#include "platform/DesktopNotifications.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
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
    if (this->bus.isConnected()) {
        watcher = new QDBusServiceWatcher(notificationsService, this->bus,
                                          QDBusServiceWatcher::WatchForOwnerChange, this);
        connect(watcher, &QDBusServiceWatcher::serviceOwnerChanged, this,
                [this](const QString &, const QString &oldOwner, const QString &) { forgetIdsOf(oldOwner); });
    }
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

    // Only ids of a server still on the bus are kept, so this is the current server's.
    const quint32 replacesId = shown.value(pending.tag).id;
    QVariantMap hints;
    if (!desktopEntry.isEmpty())
        hints.insert(QStringLiteral("desktop-entry"), desktopEntry);

    QDBusMessage call = QDBusMessage::createMethodCall(notificationsService, notificationsPath,
                                                       notificationsInterface, QStringLiteral("Notify"));
    call << appName << replacesId << QString() << pending.summary << pending.body << QStringList()
         << hints << qint32(-1);
    auto *reply = new QDBusPendingCallWatcher(bus.asyncCall(call), this);
    connect(reply, &QDBusPendingCallWatcher::finished, this, [this, pending](QDBusPendingCallWatcher *w) {
        w->deleteLater();
        const QDBusPendingReply<quint32> answer = *w;
        const auto status = answer.isError() ? AuthorizationStatus::denied : AuthorizationStatus::authorized;
        if (!allowsPosting(status)) {
            settle(pending, QString(), 0);
            return;
        }
        // The reply comes from the unique name of whichever server took the call,
        // possibly one the bus started for it.
        settle(pending, answer.reply().service(), answer.value());
    });
}

void DesktopNotifications::settle(const Pending &pending, const QString &owner, quint32 id)
{
    // After a failure the earlier notification, if any, is still there to be replaced.
    if (id != 0 && !owner.isEmpty())
        shown.insert(pending.tag, {owner, id});
    Q_EMIT posted(pending.tag, id);
    sendNext();
}

void DesktopNotifications::forgetIdsOf(const QString &owner)
{
    if (owner.isEmpty())
        return;
    for (auto it = shown.begin(); it != shown.end();)
        it = it->owner == owner ? shown.erase(it) : std::next(it);
}

} // namespace tessaline

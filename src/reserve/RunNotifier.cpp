#include "reserve/RunNotifier.h"

#include "platform/DesktopNotifications.h"

namespace tessaline {

const QString RunNotifier::identifier = QStringLiteral("tessaline.reserve");
const QString RunNotifier::appName = QStringLiteral("Tessaline");

RunNotifier::RunNotifier(QObject *parent)
    : RunNotifier(QDBusConnection::sessionBus(), InstallIdentity::current(), parent)
{
}

RunNotifier::RunNotifier(const QDBusConnection &bus, const InstallIdentity &identity, QObject *parent)
    : QObject(parent), identity(identity),
      notifications(new DesktopNotifications(bus, appName, identity.desktopEntryName(), this))
{
    // Posts settle in the order they were made, so the oldest waiting state is the one
    // just settled.
    connect(notifications, &DesktopNotifications::posted, this, [this](const QString &, quint32 id) {
        if (!waiting.isEmpty())
            Q_EMIT handled(waiting.dequeue(), id != 0);
    });
}

RunNotifier::~RunNotifier() = default;

bool RunNotifier::available() const
{
    return identity.isInstalled();
}

void RunNotifier::requestPermission()
{
}

void RunNotifier::notify(ReserveState state)
{
    if (!available())
        return;
    waiting.enqueue(state);
    notifications->post(identifier, notificationTitle(state), notificationBody(state));
}

QString RunNotifier::notificationTitle(ReserveState state)
{
    return QStringLiteral("Validation reserve: ") + title(state);
}

QString RunNotifier::notificationBody(ReserveState state)
{
    return guidance(state);
}

} // namespace tessaline

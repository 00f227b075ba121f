#include "reserve/RunNotifier.h"

#include "platform/DesktopNotifications.h"

namespace tessaline {

const QString RunNotifier::identifier = QStringLiteral("tessaline.reserve");
const QString RunNotifier::appName = QStringLiteral("Tessaline");

namespace {

// A copy that is not installed never posts, so it does not even connect: connecting to
// a session bus that is not running can make the bus library launch one.
QDBusConnection sessionBusFor(const InstallIdentity &identity)
{
    if (!identity.isInstalled())
        return QDBusConnection(QStringLiteral("tessaline-no-bus"));
    return QDBusConnection::sessionBus();
}

} // namespace

RunNotifier::RunNotifier(QObject *parent) : RunNotifier(InstallIdentity::current(), parent) {}

RunNotifier::RunNotifier(const InstallIdentity &identity, QObject *parent)
    : RunNotifier(sessionBusFor(identity), identity, parent)
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

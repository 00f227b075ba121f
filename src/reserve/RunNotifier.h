#pragma once

#include "platform/InstallIdentity.h"
#include "reserve/Reserve.h"

#include <QDBusConnection>
#include <QObject>
#include <QQueue>

namespace tessaline {

class DesktopNotifications;

// Tells the user, through the desktop's notifications, that a protected run reached a
// reserve state worse than any before. Every reserve notification has the one tag
// "tessaline.reserve", so a newer one takes the place of the older one.
class RunNotifier : public QObject {
    Q_OBJECT

public:
    static const QString identifier; // "tessaline.reserve"
    static const QString appName;    // "Tessaline"

    // Over the session bus, for this program as installed (or not).
    explicit RunNotifier(QObject *parent = nullptr);
    // Over the session bus for the given identity.
    explicit RunNotifier(const InstallIdentity &identity, QObject *parent = nullptr);
    // Over the given bus and identity, such as a private bus started by a test.
    RunNotifier(const QDBusConnection &bus, const InstallIdentity &identity, QObject *parent = nullptr);
    ~RunNotifier() override;

    // Notifications are used only by an installed copy of the program.
    bool available() const;

    // Called when a run starts. This desktop has no permission to ask for: the
    // notification server's answer to each post is the permission. Kept for systems that
    // ask the user.
    void requestPermission();

    // Posts "Validation reserve: <title>" with the state's guidance as body, asynchronously;
    // the session bus starts a notification server that is installed but not running.
    // Does nothing when not available; handled() tells whether the post was shown.
    void notify(ReserveState state);

    static QString notificationTitle(ReserveState state);
    static QString notificationBody(ReserveState state);

Q_SIGNALS:
    // Once per notify() of an available notifier, when it is settled: shown by a server
    // (posted), or answered with an error or not sent at all.
    void handled(tessaline::ReserveState state, bool posted);

private:
    InstallIdentity identity;
    DesktopNotifications *notifications = nullptr;
    QQueue<ReserveState> waiting;
};

} // namespace tessaline

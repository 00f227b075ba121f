#include "platform/DesktopActivation.h"

#include <QGuiApplication>
#include <QScreen>
#include <qpa/qplatformnativeinterface.h>

#include <xcb/xcb.h>

namespace tessaline {
namespace {

// The plugin hands its functions out under a generic type; through QFunctionPointer, the
// generic function pointer type, each is cast back to what it is.
template <typename F, typename G>
F functionCast(G function)
{
    return reinterpret_cast<F>(reinterpret_cast<QFunctionPointer>(function));
}

QPlatformNativeInterface *x11Interface()
{
    if (!qGuiApp || QGuiApplication::platformName() != QLatin1String("xcb"))
        return nullptr;
    return QGuiApplication::platformNativeInterface();
}

} // namespace

void DesktopActivation::setUserTime(quint32 time)
{
    QPlatformNativeInterface *native = x11Interface();
    QScreen *screen = QGuiApplication::primaryScreen();
    if (!native || !screen || time == XCB_CURRENT_TIME)
        return;
    // The xcb plugin's own setters (the ones KDE's frameworks use): the application time
    // goes with focus requests and _NET_ACTIVE_WINDOW, the user time into _NET_WM_USER_TIME.
    using SetTime = void (*)(QScreen *, xcb_timestamp_t);
    for (const char *name : {"setapptime", "setappusertime"})
        if (auto set = functionCast<SetTime>(native->nativeResourceFunctionForScreen(name)))
            set(screen, time);
}

void DesktopActivation::launchRequested(const QByteArray &startupId)
{
    if (QGuiApplication::platformName().startsWith(QLatin1String("wayland"))) {
        setActivationToken(startupId);
        return;
    }
    QPlatformNativeInterface *native = x11Interface();
    QScreen *screen = QGuiApplication::primaryScreen();
    if (!native || !screen)
        return;
    quint32 time = timeOf(startupId);
    if (!time) // a fresh server time: the launch is the user's request
        time = quint32(quintptr(native->nativeResourceForScreen("gettimestamp", screen)));
    setUserTime(time);
    if (!startupId.isEmpty()) {
        using SetStartupId = void (*)(const char *);
        if (auto set = functionCast<SetStartupId>(native->nativeResourceFunctionForIntegration("setstartupid")))
            set(startupId.constData());
    }
}

} // namespace tessaline

#include "platform/DesktopActivation.h"

#include <QGuiApplication>
#include <QWindow>
#include <qpa/qplatformnativeinterface.h>

#include <wayland-client.h>

#include "xdg-activation-v1-client-protocol.h"

#include <cstring>

namespace tessaline {
namespace {

// The token the next raise hands to the compositor: the user's request, as the
// compositor saw it, travels with it, so the window may take the focus.
QByteArray pendingToken;

QPlatformNativeInterface *waylandInterface()
{
    if (!qGuiApp || !QGuiApplication::platformName().startsWith(QLatin1String("wayland")))
        return nullptr;
    return QGuiApplication::platformNativeInterface();
}

// The compositor's xdg_activation_v1, bound once on a queue of our own so that the
// look-up does not dispatch Qt's events; null when the compositor has none.
xdg_activation_v1 *activationGlobal(wl_display *display)
{
    static wl_display *boundOn = nullptr;
    static xdg_activation_v1 *activation = nullptr;
    if (boundOn == display)
        return activation;
    boundOn = display;
    activation = nullptr;
    wl_event_queue *queue = wl_display_create_queue(display);
    auto *wrapper = static_cast<wl_display *>(wl_proxy_create_wrapper(display));
    wl_proxy_set_queue(reinterpret_cast<wl_proxy *>(wrapper), queue);
    wl_registry *registry = wl_display_get_registry(wrapper);
    static const wl_registry_listener listener = {
        [](void *data, wl_registry *registry, uint32_t name, const char *interface, uint32_t) {
            auto **found = static_cast<xdg_activation_v1 **>(data);
            if (!*found && std::strcmp(interface, xdg_activation_v1_interface.name) == 0)
                *found = static_cast<xdg_activation_v1 *>(
                    wl_registry_bind(registry, name, &xdg_activation_v1_interface, 1));
        },
        [](void *, wl_registry *, uint32_t) {},
    };
    wl_registry_add_listener(registry, &listener, &activation);
    wl_display_roundtrip_queue(display, queue);
    wl_registry_destroy(registry);
    wl_proxy_wrapper_destroy(wrapper);
    // The global sends no events, so it can leave the queue before the queue goes.
    if (activation)
        wl_proxy_set_queue(reinterpret_cast<wl_proxy *>(activation), nullptr);
    wl_event_queue_destroy(queue);
    return activation;
}

} // namespace

void DesktopActivation::setActivationToken(const QByteArray &token)
{
    if (waylandInterface())
        pendingToken = token;
}

bool DesktopActivation::activate(QWindow *window)
{
    QPlatformNativeInterface *native = waylandInterface();
    if (!native || !window || pendingToken.isEmpty())
        return false;
    auto *display = static_cast<wl_display *>(native->nativeResourceForIntegration("wl_display"));
    auto *surface = static_cast<wl_surface *>(native->nativeResourceForWindow("surface", window));
    xdg_activation_v1 *activation = display && surface ? activationGlobal(display) : nullptr;
    if (!activation)
        return false;
    xdg_activation_v1_activate(activation, pendingToken.constData(), surface);
    wl_display_flush(display);
    pendingToken.clear(); // a token is good for one activation
    return true;
}

} // namespace tessaline

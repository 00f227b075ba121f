#include "platform/HotKeyBackend.h"

#include <QDBusConnection>
#include <QGuiApplication>

namespace tessaline {
namespace {

// Desktops without a supported global-shortcut facility: the program runs on without one.
class NoHotKeyBackend final : public HotKeyBackend {
public:
    std::unique_ptr<Handler> installHandler(QKeyCombination, std::function<void()>) override { return nullptr; }
    std::unique_ptr<HotKey> registerHotKey(QKeyCombination) override { return nullptr; }
};

} // namespace

std::unique_ptr<HotKeyBackend> HotKeyBackend::none()
{
    return std::make_unique<NoHotKeyBackend>();
}

#ifndef TESSALINE_HAVE_X11
std::unique_ptr<HotKeyBackend> HotKeyBackend::x11()
{
    return none();
}
#endif

std::unique_ptr<HotKeyBackend> HotKeyBackend::create()
{
    const QString platform = qGuiApp ? QGuiApplication::platformName() : QString();
    if (platform == QLatin1String("xcb"))
        return x11();
    // On Wayland no client may grab keys; the desktop hands them out through its portal.
    if (platform.startsWith(QLatin1String("wayland")))
        return portal(QDBusConnection::sessionBus());
    return none();
}

} // namespace tessaline

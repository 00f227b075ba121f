#include "platform/HotKeyBackend.h"

#include <QDBusConnection>
#include <QGuiApplication>

namespace tessaline {
namespace {

// Desktops without a supported global-shortcut facility: the program runs on without one.
class NoHotKeyBackend final : public HotKeyBackend {
public:
    std::unique_ptr<Binding> bind(QKeyCombination, std::function<void()>, std::function<void(Outcome)> outcome) override
    {
        outcome(Outcome::unsupported);
        return nullptr;
    }
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

bool HotKeyBackend::waylandSession()
{
    return !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")
        || qEnvironmentVariable("XDG_SESSION_TYPE").compare(QLatin1String("wayland"), Qt::CaseInsensitive) == 0;
}

std::unique_ptr<HotKeyBackend> HotKeyBackend::create()
{
    // On Wayland no client may grab keys; the desktop hands them out through its portal.
    if (waylandSession())
        return portal(QDBusConnection::sessionBus());
    const bool gui = qobject_cast<QGuiApplication *>(QCoreApplication::instance());
    if (gui && QGuiApplication::platformName() == QLatin1String("xcb"))
        return x11();
    return none();
}

} // namespace tessaline

#pragma once

#include <QKeyCombination>
#include <QString>

class QDBusConnection;

#include <functional>
#include <memory>

namespace tessaline {

// The desktop's global-shortcut facility, reduced to what GlobalShortcut needs: a
// registration of one key combination whose presses reach a handler. Each desktop
// facility has an implementation in a file of its own; the one in use is chosen when
// the program starts, from the session the program runs in.
class HotKeyBackend {
public:
    enum class Outcome {
        bound,
        taken,       // another program holds the combination, or the desktop said no
        unsupported, // no facility here, or not for this key
    };

    // Holds the registration and the handler, and releases both when destroyed.
    class Binding {
    public:
        virtual ~Binding() = default;
        // When the desktop had the shortcut already and keeps the keys it gave it (the
        // combination asked for is then only a wish): those keys as it names them, or
        // "?" when it does not say. Empty when the keys are the ones asked for.
        virtual QString desktopKeys() const { return QString(); }
    };

    virtual ~HotKeyBackend() = default;

    // Starts registering `combination`. `outcome` runs with the answer: at once where the
    // window system answers at once (X11), later from the event loop where the desktop
    // answers over the bus, and again if the desktop later drops a binding it could not
    // restore. Neither callback runs once the binding is destroyed; neither may destroy
    // it. `pressed` runs from inside the desktop's event dispatch. Nothing is left
    // registered after an outcome other than bound.
    virtual std::unique_ptr<Binding> bind(QKeyCombination combination, std::function<void()> pressed,
                                          std::function<void(Outcome)> outcome) = 0;

    // The backend for the session the program runs in: the desktop portal in a Wayland
    // session (whatever Qt's platform, since an X grab under Xwayland never sees the keys
    // pressed in Wayland windows), a key grab on X11, none elsewhere.
    static std::unique_ptr<HotKeyBackend> create();
    // An X11 key grab on the display Qt is connected to.
    static std::unique_ptr<HotKeyBackend> x11();
    // The GlobalShortcuts desktop portal, reached through `bus` (a session bus). The
    // desktop, not this program, decides the keys: the combination is only a preference.
    static std::unique_ptr<HotKeyBackend> portal(const QDBusConnection &bus);
    static std::unique_ptr<HotKeyBackend> none();

    // Whether the program runs in a Wayland session (WAYLAND_DISPLAY, XDG_SESSION_TYPE).
    static bool waylandSession();
};

} // namespace tessaline

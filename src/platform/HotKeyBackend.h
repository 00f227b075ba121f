#pragma once

#include <QKeyCombination>

class QDBusConnection;

#include <functional>
#include <memory>

namespace tessaline {

// The desktop's global-shortcut facility, reduced to what GlobalShortcut needs: a
// handler that receives presses of one key combination and a registration of that
// combination. Each desktop facility has an implementation in a file of its own; the
// one in use is chosen when the program starts, from the window system Qt connected to.
//
// Both handles release what they hold when destroyed, so "absent" simply means "none".
class HotKeyBackend {
public:
    class Handler {
    public:
        virtual ~Handler() = default;
    };
    class HotKey {
    public:
        virtual ~HotKey() = default;
    };

    virtual ~HotKeyBackend() = default;

    // Starts delivering presses of `combination` to `pressed`, which is called from
    // inside the desktop's event dispatch; null when no handler can be installed (e.g.
    // not an X11 session, or a key this keyboard does not have).
    virtual std::unique_ptr<Handler> installHandler(QKeyCombination combination,
                                                    std::function<void()> pressed) = 0;

    // Registers the combination; null when it is not available (taken by another
    // program, or already registered in this process). Nothing is left registered then.
    virtual std::unique_ptr<HotKey> registerHotKey(QKeyCombination combination) = 0;

    // The backend for the window system in use: a key grab on X11, the desktop portal
    // on Wayland, none elsewhere.
    static std::unique_ptr<HotKeyBackend> create();
    // An X11 key grab on the display Qt is connected to.
    static std::unique_ptr<HotKeyBackend> x11();
    // The GlobalShortcuts desktop portal, reached through `bus` (a session bus). The
    // desktop, not this program, decides the keys: the combination is only a preference.
    static std::unique_ptr<HotKeyBackend> portal(const QDBusConnection &bus);
    static std::unique_ptr<HotKeyBackend> none();
};

} // namespace tessaline

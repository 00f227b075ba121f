#pragma once

#include <QKeyCombination>

#include <functional>
#include <memory>

namespace tessaline {

// The desktop's global-shortcut facility, reduced to what GlobalShortcut needs: a
// handler that receives presses of one key combination and a registration of that
// combination. Each desktop provides one implementation in a file of its own, chosen
// when the program is configured.
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

    // The backend of the desktop this program was built for.
    static std::unique_ptr<HotKeyBackend> create();
};

} // namespace tessaline

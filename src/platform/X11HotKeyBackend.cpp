#include "platform/HotKeyBackend.h"

#include <QAbstractNativeEventFilter>
#include <QByteArray>
#include <QCoreApplication>
#include <QGuiApplication>

#include <xcb/xcb.h>

#include <array>
#include <algorithm>
#include <cstdlib>
#include <optional>
#include <vector>

namespace tessaline {
namespace {

constexpr xcb_keysym_t keysymL = 0x006c;        // XK_l
constexpr xcb_keysym_t keysymNumLock = 0xff7f;  // XK_Num_Lock
// Control and Alt stand for the primary and the alternate modifier on X11.
constexpr uint16_t wantedModifiers = XCB_MOD_MASK_CONTROL | XCB_MOD_MASK_1;

// Only one registration per process: X lets a client grab its own combination again
// without complaint, and releasing either grab would silently release the other.
bool registeredInProcess = false;

template <typename T>
struct FreeReply {
    void operator()(T *p) const { std::free(p); }
};
template <typename T>
using Reply = std::unique_ptr<T, FreeReply<T>>;

// What the grab and the event filter need to know about the display.
struct Display {
    xcb_connection_t *connection = nullptr;
    std::vector<xcb_window_t> roots;
    xcb_keycode_t keycode = 0;
    uint16_t numLockMask = 0;

    // The modifier bits a press may carry besides ours: the lock keys must not stop
    // the combination from working.
    std::array<uint16_t, 4> variants() const
    {
        return {wantedModifiers, uint16_t(wantedModifiers | XCB_MOD_MASK_LOCK),
                uint16_t(wantedModifiers | numLockMask),
                uint16_t(wantedModifiers | XCB_MOD_MASK_LOCK | numLockMask)};
    }
};

std::optional<Display> openDisplay()
{
    auto *x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    if (!x11 || !x11->connection())
        return std::nullopt;

    Display display;
    display.connection = x11->connection();
    const xcb_setup_t *setup = xcb_get_setup(display.connection);
    for (auto it = xcb_setup_roots_iterator(setup); it.rem; xcb_screen_next(&it))
        display.roots.push_back(it.data->root);

    const uint8_t first = setup->min_keycode;
    const int count = setup->max_keycode - setup->min_keycode + 1;
    Reply<xcb_get_keyboard_mapping_reply_t> mapping(xcb_get_keyboard_mapping_reply(
        display.connection, xcb_get_keyboard_mapping(display.connection, first, uint8_t(count)),
        nullptr));
    if (!mapping)
        return std::nullopt;
    const xcb_keysym_t *syms = xcb_get_keyboard_mapping_keysyms(mapping.get());
    const int perCode = mapping->keysyms_per_keycode;
    auto keycodeHas = [&](xcb_keycode_t code, xcb_keysym_t sym) {
        if (code < first || code >= first + count)
            return false;
        for (int i = 0; i < perCode; ++i)
            if (syms[(code - first) * perCode + i] == sym)
                return true;
        return false;
    };
    for (int i = 0; i < count && !display.keycode; ++i)
        if (keycodeHas(xcb_keycode_t(first + i), keysymL))
            display.keycode = xcb_keycode_t(first + i);
    if (!display.keycode)
        return std::nullopt;

    // NumLock sits on whichever modifier the keymap gives it (Mod2 almost always).
    display.numLockMask = XCB_MOD_MASK_2;
    Reply<xcb_get_modifier_mapping_reply_t> modifiers(xcb_get_modifier_mapping_reply(
        display.connection, xcb_get_modifier_mapping(display.connection), nullptr));
    if (modifiers) {
        const xcb_keycode_t *codes = xcb_get_modifier_mapping_keycodes(modifiers.get());
        const int perModifier = modifiers->keycodes_per_modifier;
        for (int mod = 0; mod < 8; ++mod)
            for (int i = 0; i < perModifier; ++i)
                if (keycodeHas(codes[mod * perModifier + i], keysymNumLock))
                    display.numLockMask = uint16_t(1u << mod);
    }
    return display;
}

class X11Handler final : public HotKeyBackend::Handler, public QAbstractNativeEventFilter {
public:
    X11Handler(Display display, std::function<void()> pressed)
        : display(std::move(display)), pressed(std::move(pressed))
    {
        QCoreApplication::instance()->installNativeEventFilter(this);
    }
    ~X11Handler() override
    {
        if (QCoreApplication::instance())
            QCoreApplication::instance()->removeNativeEventFilter(this);
    }

    bool nativeEventFilter(const QByteArray &eventType, void *message, qintptr *) override
    {
        if (eventType != "xcb_generic_event_t")
            return false;
        auto *event = static_cast<xcb_generic_event_t *>(message);
        if ((event->response_type & ~0x80) != XCB_KEY_PRESS)
            return false;
        auto *press = reinterpret_cast<xcb_key_press_event_t *>(event);
        const uint16_t modifiers =
            press->state & 0xff & ~(XCB_MOD_MASK_LOCK | display.numLockMask);
        if (press->detail != display.keycode || modifiers != wantedModifiers
            || std::find(display.roots.begin(), display.roots.end(), press->event)
                   == display.roots.end())
            return false;
        pressed();
        return true;
    }

private:
    Display display;
    std::function<void()> pressed;
};

class X11HotKey final : public HotKeyBackend::HotKey {
public:
    explicit X11HotKey(Display display) : display(std::move(display)) {}
    ~X11HotKey() override
    {
        ungrab(display);
        registeredInProcess = false;
    }

    // Releases every variant on every root; ungrabbing a combination this client does
    // not hold is harmless, so this also rolls back a partial grab.
    static void ungrab(const Display &display)
    {
        for (xcb_window_t root : display.roots)
            for (uint16_t modifiers : display.variants())
                xcb_ungrab_key(display.connection, display.keycode, root, modifiers);
        xcb_flush(display.connection);
    }

private:
    Display display;
};

class X11HotKeyBackend final : public HotKeyBackend {
public:
    std::unique_ptr<Handler> installHandler(std::function<void()> pressed) override
    {
        auto display = openDisplay();
        if (!display)
            return nullptr;
        return std::make_unique<X11Handler>(std::move(*display), std::move(pressed));
    }

    std::unique_ptr<HotKey> registerHotKey() override
    {
        if (registeredInProcess)
            return nullptr;
        auto display = openDisplay();
        if (!display)
            return nullptr;

        // Send every grab first, then collect the answers: a BadAccess on any of them
        // means another client holds the combination.
        std::vector<xcb_void_cookie_t> cookies;
        for (xcb_window_t root : display->roots)
            for (uint16_t modifiers : display->variants())
                cookies.push_back(xcb_grab_key_checked(display->connection, 1, root, modifiers,
                                                       display->keycode, XCB_GRAB_MODE_ASYNC,
                                                       XCB_GRAB_MODE_ASYNC));
        bool failed = false;
        for (const auto &cookie : cookies) {
            if (xcb_generic_error_t *error = xcb_request_check(display->connection, cookie)) {
                failed = true;
                std::free(error);
            }
        }
        if (failed) {
            X11HotKey::ungrab(*display);
            return nullptr;
        }
        registeredInProcess = true;
        return std::make_unique<X11HotKey>(std::move(*display));
    }
};

} // namespace

std::unique_ptr<HotKeyBackend> HotKeyBackend::create()
{
    return std::make_unique<X11HotKeyBackend>();
}

} // namespace tessaline

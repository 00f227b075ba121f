#include "platform/HotKeyBackend.h"

#include "platform/DesktopActivation.h"

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

constexpr xcb_keysym_t keysymNumLock = 0xff7f; // XK_Num_Lock

// The X keysym of a Qt key, for the keys a shortcut may sensibly use; 0 for others.
xcb_keysym_t keysymOf(Qt::Key key)
{
    if (key >= Qt::Key_A && key <= Qt::Key_Z)
        return xcb_keysym_t(key - Qt::Key_A + 'a'); // the unshifted symbol is the one bound
    if (key >= Qt::Key_Space && key <= Qt::Key_AsciiTilde)
        return xcb_keysym_t(key); // Latin-1 keysyms equal their characters
    if (key >= Qt::Key_F1 && key <= Qt::Key_F35)
        return xcb_keysym_t(0xffbe + (key - Qt::Key_F1));
    switch (key) {
    case Qt::Key_Escape: return 0xff1b;
    case Qt::Key_Tab: return 0xff09;
    case Qt::Key_Backspace: return 0xff08;
    case Qt::Key_Return: return 0xff0d;
    case Qt::Key_Enter: return 0xff8d;
    case Qt::Key_Insert: return 0xff63;
    case Qt::Key_Delete: return 0xffff;
    case Qt::Key_Pause: return 0xff13;
    case Qt::Key_Print: return 0xff61;
    case Qt::Key_Home: return 0xff50;
    case Qt::Key_End: return 0xff57;
    case Qt::Key_Left: return 0xff51;
    case Qt::Key_Up: return 0xff52;
    case Qt::Key_Right: return 0xff53;
    case Qt::Key_Down: return 0xff54;
    case Qt::Key_PageUp: return 0xff55;
    case Qt::Key_PageDown: return 0xff56;
    default: return 0;
    }
}

// Control and Alt stand for the primary and the alternate modifier on X11, Meta for
// the Super (Windows) key.
uint16_t modifiersOf(Qt::KeyboardModifiers modifiers)
{
    uint16_t mask = 0;
    if (modifiers & Qt::ShiftModifier)
        mask |= XCB_MOD_MASK_SHIFT;
    if (modifiers & Qt::ControlModifier)
        mask |= XCB_MOD_MASK_CONTROL;
    if (modifiers & Qt::AltModifier)
        mask |= XCB_MOD_MASK_1;
    if (modifiers & Qt::MetaModifier)
        mask |= XCB_MOD_MASK_4;
    return mask;
}

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
    uint16_t wantedModifiers = 0;
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

std::optional<Display> openDisplay(QKeyCombination combination)
{
    const xcb_keysym_t keysym = keysymOf(combination.key());
    if (!keysym)
        return std::nullopt;
    auto *x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    if (!x11 || !x11->connection())
        return std::nullopt;

    Display display;
    display.connection = x11->connection();
    display.wantedModifiers = modifiersOf(combination.keyboardModifiers());
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
        if (keycodeHas(xcb_keycode_t(first + i), keysym))
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

class X11Handler final : public QAbstractNativeEventFilter {
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
        if (press->detail != display.keycode || modifiers != display.wantedModifiers
            || std::find(display.roots.begin(), display.roots.end(), press->event)
                   == display.roots.end())
            return false;
        // Consumed here, Qt never sees the press, so the window manager would be told
        // an older time when the window is raised and could take it for focus stealing.
        DesktopActivation::setUserTime(press->time);
        pressed();
        return true;
    }

private:
    Display display;
    std::function<void()> pressed;
};

class X11HotKey final {
public:
    explicit X11HotKey(Display display) : display(std::move(display)) {}
    ~X11HotKey()
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

// The grab and the handler of one combination, released together.
struct X11Binding final : HotKeyBackend::Binding {
    std::unique_ptr<X11Handler> handler;
    std::unique_ptr<X11HotKey> hotKey;
};

class X11HotKeyBackend final : public HotKeyBackend {
public:
    // X answers the grab at once, so the outcome is known before this returns.
    std::unique_ptr<Binding> bind(QKeyCombination combination, std::function<void()> pressed,
                                  std::function<void(Outcome)> outcome) override
    {
        auto display = openDisplay(combination);
        if (!display) {
            outcome(Outcome::unsupported);
            return nullptr;
        }
        auto binding = std::make_unique<X11Binding>();
        binding->handler = std::make_unique<X11Handler>(*display, std::move(pressed));
        binding->hotKey = grab(std::move(*display));
        if (!binding->hotKey) {
            outcome(Outcome::taken);
            return nullptr;
        }
        outcome(Outcome::bound);
        return binding;
    }

private:
    static std::unique_ptr<X11HotKey> grab(Display display)
    {
        if (registeredInProcess)
            return nullptr;
        // Send every grab first, then collect the answers: a BadAccess on any of them
        // means another client holds the combination.
        std::vector<xcb_void_cookie_t> cookies;
        for (xcb_window_t root : display.roots)
            for (uint16_t modifiers : display.variants())
                cookies.push_back(xcb_grab_key_checked(display.connection, 1, root, modifiers, display.keycode,
                                                       XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC));
        bool failed = false;
        for (const auto &cookie : cookies) {
            if (xcb_generic_error_t *error = xcb_request_check(display.connection, cookie)) {
                failed = true;
                std::free(error);
            }
        }
        if (failed) {
            X11HotKey::ungrab(display);
            return nullptr;
        }
        registeredInProcess = true;
        return std::make_unique<X11HotKey>(std::move(display));
    }
};

} // namespace

std::unique_ptr<HotKeyBackend> HotKeyBackend::x11()
{
    return std::make_unique<X11HotKeyBackend>();
}

} // namespace tessaline

#pragma once

// Helpers for tests that run against the real X server the test command starts.

#include <QProcess>
#include <QStringList>
#include <QTest>

#include <xcb/xcb.h>

#include <cstdlib>
#include <vector>

namespace testsupport {

// Presses keys through xdotool, i.e. through the X server like a real keyboard.
inline bool xdotool(const QStringList &arguments)
{
    QProcess process;
    process.start("xdotool", arguments);
    return process.waitForFinished(10000) && process.exitStatus() == QProcess::NormalExit
        && process.exitCode() == 0;
}

// A second, independent X client: holds grabs the way another program would.
class OtherClient {
public:
    OtherClient() : connection(xcb_connect(nullptr, nullptr))
    {
        const xcb_setup_t *setup = xcb_get_setup(connection);
        root = xcb_setup_roots_iterator(setup).data->root;
        keycodeL = keycodeOf(0x006c);
    }
    ~OtherClient() { xcb_disconnect(connection); }
    OtherClient(const OtherClient &) = delete;
    OtherClient &operator=(const OtherClient &) = delete;

    bool ok() const { return connection && !xcb_connection_has_error(connection) && keycodeL; }

    // True when every listed Control-Alt-L variant could be grabbed by this client.
    bool grab(const std::vector<uint16_t> &extraModifiers)
    {
        bool all = true;
        for (uint16_t extra : extraModifiers) {
            auto cookie = xcb_grab_key_checked(connection, 1, root,
                                               XCB_MOD_MASK_CONTROL | XCB_MOD_MASK_1 | extra,
                                               keycodeL, XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC);
            if (xcb_generic_error_t *error = xcb_request_check(connection, cookie)) {
                all = false;
                std::free(error);
            }
        }
        return all;
    }
    void ungrabAll()
    {
        xcb_ungrab_key(connection, XCB_GRAB_ANY, root, XCB_MOD_MASK_ANY);
        xcb_aux_sync();
    }

    xcb_connection_t *connection;
    xcb_window_t root = 0;
    xcb_keycode_t keycodeL = 0;

private:
    void xcb_aux_sync() { std::free(xcb_get_input_focus_reply(connection, xcb_get_input_focus(connection), nullptr)); }

    xcb_keycode_t keycodeOf(xcb_keysym_t sym)
    {
        const xcb_setup_t *setup = xcb_get_setup(connection);
        const int count = setup->max_keycode - setup->min_keycode + 1;
        auto *reply = xcb_get_keyboard_mapping_reply(
            connection, xcb_get_keyboard_mapping(connection, setup->min_keycode, uint8_t(count)),
            nullptr);
        if (!reply)
            return 0;
        const xcb_keysym_t *syms = xcb_get_keyboard_mapping_keysyms(reply);
        xcb_keycode_t found = 0;
        for (int i = 0; i < count * reply->keysyms_per_keycode && !found; ++i)
            if (syms[i] == sym)
                found = xcb_keycode_t(setup->min_keycode + i / reply->keysyms_per_keycode);
        std::free(reply);
        return found;
    }
};

// The lock-key modifier bits as the default X server keymap has them.
constexpr uint16_t capsLock = XCB_MOD_MASK_LOCK;
constexpr uint16_t numLock = XCB_MOD_MASK_2;

} // namespace testsupport

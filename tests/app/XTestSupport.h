#pragma once

// Helpers for tests that run against the real X server the test command starts.

#include <QByteArray>
#include <QList>
#include <QProcess>
#include <QStringList>
#include <QTest>

#include <xcb/xcb.h>

#include <cstdlib>
#include <cstring>
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

// Looks at the X server's windows the way a window manager or a tray would.
class WindowTree {
public:
    struct Window {
        xcb_window_t id;
        xcb_window_t parent;
        bool viewable;
        bool overrideRedirect;
        QByteArray wmClass; // instance and class, separated by a NUL
        QByteArray name;
    };

    WindowTree() : connection(xcb_connect(nullptr, nullptr))
    {
        root = xcb_setup_roots_iterator(xcb_get_setup(connection)).data->root;
    }
    ~WindowTree() { xcb_disconnect(connection); }
    WindowTree(const WindowTree &) = delete;
    WindowTree &operator=(const WindowTree &) = delete;

    std::vector<Window> all()
    {
        std::vector<Window> found;
        collect(root, found);
        return found;
    }

    xcb_window_t inputFocus()
    {
        auto *reply = xcb_get_input_focus_reply(connection, xcb_get_input_focus(connection), nullptr);
        const xcb_window_t focus = reply ? reply->focus : 0;
        std::free(reply);
        return focus;
    }

    // What a window manager sends when the user clicks a window's close button.
    void requestClose(xcb_window_t window)
    {
        xcb_client_message_event_t event = {};
        event.response_type = XCB_CLIENT_MESSAGE;
        event.format = 32;
        event.window = window;
        event.type = atom("WM_PROTOCOLS");
        event.data.data32[0] = atom("WM_DELETE_WINDOW");
        event.data.data32[1] = XCB_CURRENT_TIME;
        xcb_send_event(connection, 0, window, XCB_EVENT_MASK_NO_EVENT,
                       reinterpret_cast<const char *>(&event));
        xcb_flush(connection);
    }

    xcb_connection_t *connection;
    xcb_window_t root;

private:
    xcb_atom_t atom(const char *name)
    {
        auto *reply = xcb_intern_atom_reply(
            connection, xcb_intern_atom(connection, 0, uint16_t(strlen(name)), name), nullptr);
        const xcb_atom_t value = reply ? reply->atom : 0;
        std::free(reply);
        return value;
    }

    QByteArray property(xcb_window_t window, xcb_atom_t name)
    {
        auto *reply = xcb_get_property_reply(
            connection, xcb_get_property(connection, 0, window, name, XCB_ATOM_ANY, 0, 1024),
            nullptr);
        QByteArray value;
        if (reply)
            value = QByteArray(static_cast<const char *>(xcb_get_property_value(reply)),
                               xcb_get_property_value_length(reply));
        std::free(reply);
        return value;
    }

    void collect(xcb_window_t parent, std::vector<Window> &found)
    {
        auto *tree = xcb_query_tree_reply(connection, xcb_query_tree(connection, parent), nullptr);
        if (!tree)
            return;
        const xcb_window_t *children = xcb_query_tree_children(tree);
        const int count = xcb_query_tree_children_length(tree);
        for (int i = 0; i < count; ++i) {
            Window w{children[i], parent, false, false, {}, {}};
            if (auto *attributes = xcb_get_window_attributes_reply(
                    connection, xcb_get_window_attributes(connection, children[i]), nullptr)) {
                w.viewable = attributes->map_state == XCB_MAP_STATE_VIEWABLE;
                w.overrideRedirect = attributes->override_redirect;
                std::free(attributes);
            }
            w.wmClass = property(children[i], XCB_ATOM_WM_CLASS);
            w.name = property(children[i], XCB_ATOM_WM_NAME);
            found.push_back(w);
            collect(children[i], found);
        }
        std::free(tree);
    }
};

// The lock-key modifier bits as the default X server keymap has them.
constexpr uint16_t capsLock = XCB_MOD_MASK_LOCK;
constexpr uint16_t numLock = XCB_MOD_MASK_2;

} // namespace testsupport

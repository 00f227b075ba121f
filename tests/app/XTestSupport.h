#pragma once

#include "ReadyProcess.h"

#include <QByteArray>
#include <QStringList>

#include <xcb/xcb.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace testsupport {

// The lock-key modifier bits as the default X server keymap has them.
constexpr uint16_t numLock = XCB_MOD_MASK_2;
inline const std::vector<uint16_t> allLockVariants{0, XCB_MOD_MASK_LOCK, numLock, XCB_MOD_MASK_LOCK | numLock};

// Presses keys and clicks through the X server like a real user.
inline bool xdotool(const QStringList &arguments) { return runToEnd("xdotool", arguments).code == 0; }

template <typename T>
std::unique_ptr<T, void (*)(void *)> owned(T *reply) { return {reply, std::free}; }

// Another program's X client (or this process's own connection, when given).
class XClient {
public:
    struct Window { xcb_window_t id, parent; bool viewable, overrideRedirect; QByteArray wmClass, name; };

    explicit XClient(xcb_connection_t *borrowed = nullptr)
        : connection(borrowed ? borrowed : xcb_connect(nullptr, nullptr)), owner(!borrowed)
    {
        const xcb_setup_t *setup = xcb_get_setup(connection);
        root = xcb_setup_roots_iterator(setup).data->root;
        const int count = setup->max_keycode - setup->min_keycode + 1;
        auto map = owned(xcb_get_keyboard_mapping_reply(connection, xcb_get_keyboard_mapping(connection, setup->min_keycode, uint8_t(count)), nullptr));
        const xcb_keysym_t *syms = map ? xcb_get_keyboard_mapping_keysyms(map.get()) : nullptr;
        for (int i = 0; syms && i < count * map->keysyms_per_keycode && !keycodeL; ++i)
            if (syms[i] == 0x006c) // XK_l
                keycodeL = xcb_keycode_t(setup->min_keycode + i / map->keysyms_per_keycode);
    }
    ~XClient() { owner ? xcb_disconnect(connection) : void(); }
    XClient(const XClient &) = delete;
    XClient &operator=(const XClient &) = delete;

    // True when every listed lock variant of Control-Alt-L could be grabbed.
    bool grab(const std::vector<uint16_t> &variants)
    {
        bool all = true;
        for (uint16_t extra : variants)
            all &= !owned(xcb_request_check(connection, xcb_grab_key_checked(connection, 1, root, XCB_MOD_MASK_CONTROL | XCB_MOD_MASK_1 | extra,
                                                                            keycodeL, XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC)));
        return all;
    }
    void ungrabAll()
    {
        xcb_ungrab_key(connection, XCB_GRAB_ANY, root, XCB_MOD_MASK_ANY);
        sync();
    }

    // What a window manager sends when the user clicks a window's close button.
    void requestClose(xcb_window_t window)
    {
        const xcb_client_message_event_t event{.response_type = XCB_CLIENT_MESSAGE, .format = 32, .sequence = 0, .window = window,
                                               .type = atom("WM_PROTOCOLS"), .data = {.data32 = {atom("WM_DELETE_WINDOW")}}};
        xcb_send_event(connection, 0, window, XCB_EVENT_MASK_NO_EVENT, reinterpret_cast<const char *>(&event));
        xcb_flush(connection);
    }

    // The server's time now, read off the PropertyNotify of a property change on the root.
    uint32_t serverTime()
    {
        const xcb_atom_t stamp = atom("TESSALINE_TEST_STAMP");
        const uint32_t events = XCB_EVENT_MASK_PROPERTY_CHANGE;
        xcb_change_window_attributes(connection, root, XCB_CW_EVENT_MASK, &events);
        xcb_change_property(connection, XCB_PROP_MODE_APPEND, root, stamp, XCB_ATOM_STRING, 8, 0, "");
        xcb_flush(connection);
        while (auto event = owned(xcb_wait_for_event(connection))) {
            if ((event->response_type & ~0x80) == XCB_PROPERTY_NOTIFY) {
                auto *notify = reinterpret_cast<xcb_property_notify_event_t *>(event.get());
                if (notify->atom == stamp)
                    return notify->time;
            }
        }
        return 0;
    }

    std::vector<Window> windows(xcb_window_t parent = 0)
    {
        std::vector<Window> found;
        parent = parent ? parent : root;
        auto tree = owned(xcb_query_tree_reply(connection, xcb_query_tree(connection, parent), nullptr));
        for (int i = 0; tree && i < xcb_query_tree_children_length(tree.get()); ++i) {
            const xcb_window_t id = xcb_query_tree_children(tree.get())[i];
            auto attributes = owned(xcb_get_window_attributes_reply(connection, xcb_get_window_attributes(connection, id), nullptr));
            found.push_back({id, parent, attributes && attributes->map_state == XCB_MAP_STATE_VIEWABLE, attributes && attributes->override_redirect,
                             property(id, XCB_ATOM_WM_CLASS), property(id, XCB_ATOM_WM_NAME)});
            for (const Window &w : windows(id))
                found.push_back(w);
        }
        return found;
    }

    xcb_connection_t *connection;
    bool owner;
    xcb_window_t root = 0;
    xcb_keycode_t keycodeL = 0;

private:
    // A round trip: once it returns, the server has done every request before it.
    void sync() { std::free(xcb_get_input_focus_reply(connection, xcb_get_input_focus(connection), nullptr)); }
    xcb_atom_t atom(const char *name)
    {
        auto reply = owned(xcb_intern_atom_reply(connection, xcb_intern_atom(connection, 0, uint16_t(strlen(name)), name), nullptr));
        return reply ? reply->atom : 0;
    }
    QByteArray property(xcb_window_t window, xcb_atom_t name)
    {
        auto reply = owned(xcb_get_property_reply(connection, xcb_get_property(connection, 0, window, name, XCB_ATOM_ANY, 0, 1024), nullptr));
        return reply ? QByteArray(static_cast<const char *>(xcb_get_property_value(reply.get())), xcb_get_property_value_length(reply.get())) : QByteArray();
    }
};

} // namespace testsupport

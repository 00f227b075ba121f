/* A mouse for a compositor that has none (a headless one), through wlroots' virtual
 * pointer protocol. Arguments: the width and height of the layout. Reads lines
 * "move X Y" and "click X Y left|right" from stdin and answers "ok" to each once the
 * compositor has had it. The one pointer lasts until stdin ends: toolkits drop an open menu when the
 * pointer device goes away. */
#include <linux/input-event-codes.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <wayland-client.h>

#include "virtual-pointer-client-protocol.h"

static struct zwlr_virtual_pointer_manager_v1 *manager;
static struct wl_seat *seat;

static void global(void *data, struct wl_registry *registry, uint32_t name, const char *interface, uint32_t version)
{
    (void)data, (void)version;
    if (strcmp(interface, zwlr_virtual_pointer_manager_v1_interface.name) == 0)
        manager = wl_registry_bind(registry, name, &zwlr_virtual_pointer_manager_v1_interface, 1);
    else if (strcmp(interface, wl_seat_interface.name) == 0 && !seat)
        seat = wl_registry_bind(registry, name, &wl_seat_interface, 1);
}

/* Event times as a real device stamps them: toolkits compare them, e.g. to tell the
 * release of the click that opened a menu from a click on one of its entries. */
static uint32_t now(void)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (uint32_t)(t.tv_sec * 1000 + t.tv_nsec / 1000000);
}

static void global_remove(void *data, struct wl_registry *registry, uint32_t name)
{
    (void)data, (void)registry, (void)name;
}

int main(int argc, char **argv)
{
    static const struct wl_registry_listener registry_listener = {global, global_remove};
    unsigned width, height;
    if (argc != 3 || sscanf(argv[1], "%u", &width) != 1 || sscanf(argv[2], "%u", &height) != 1)
        return 2;
    struct wl_display *display = wl_display_connect(NULL);
    if (!display)
        return 1;
    wl_registry_add_listener(wl_display_get_registry(display), &registry_listener, NULL);
    wl_display_roundtrip(display);
    if (!manager)
        return 1;
    struct zwlr_virtual_pointer_v1 *pointer = zwlr_virtual_pointer_manager_v1_create_virtual_pointer(manager, seat);
    wl_display_roundtrip(display);

    char line[128], which[16];
    unsigned x, y;
    setvbuf(stdout, NULL, _IOLBF, 0);
    while (fgets(line, sizeof line, stdin)) {
        const int fields = sscanf(line, "click %u %u %15s", &x, &y, which);
        if (fields != 3 && sscanf(line, "move %u %u", &x, &y) != 2)
            return 2;
        zwlr_virtual_pointer_v1_motion_absolute(pointer, now(), x, y, width, height);
        zwlr_virtual_pointer_v1_frame(pointer);
        if (fields == 3) {
            const uint32_t button = strcmp(which, "right") == 0 ? BTN_RIGHT : BTN_LEFT;
            zwlr_virtual_pointer_v1_button(pointer, now(), button, WL_POINTER_BUTTON_STATE_PRESSED);
            zwlr_virtual_pointer_v1_frame(pointer);
            zwlr_virtual_pointer_v1_button(pointer, now(), button, WL_POINTER_BUTTON_STATE_RELEASED);
            zwlr_virtual_pointer_v1_frame(pointer);
        }
        if (wl_display_roundtrip(display) < 0)
            return 1;
        puts("ok");
    }
    wl_display_disconnect(display);
    return 0;
}

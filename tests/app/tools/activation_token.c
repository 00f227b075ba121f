/* Asks the compositor for an xdg-activation token, as a launcher does before it starts
 * a program, and prints it. Exits 1 when the compositor hands none out. */
#include <stdio.h>
#include <string.h>
#include <wayland-client.h>

#include "xdg-activation-v1-client-protocol.h"

static struct xdg_activation_v1 *activation;
static char token[256];

static void global(void *data, struct wl_registry *registry, uint32_t name, const char *interface, uint32_t version)
{
    (void)data, (void)version;
    if (strcmp(interface, xdg_activation_v1_interface.name) == 0)
        activation = wl_registry_bind(registry, name, &xdg_activation_v1_interface, 1);
}

static void global_remove(void *data, struct wl_registry *registry, uint32_t name)
{
    (void)data, (void)registry, (void)name;
}

static void done(void *data, struct xdg_activation_token_v1 *object, const char *value)
{
    (void)data, (void)object;
    snprintf(token, sizeof token, "%s", value);
}

int main(void)
{
    static const struct wl_registry_listener registry_listener = {global, global_remove};
    static const struct xdg_activation_token_v1_listener token_listener = {done};
    struct wl_display *display = wl_display_connect(NULL);
    if (!display)
        return 1;
    wl_registry_add_listener(wl_display_get_registry(display), &registry_listener, NULL);
    wl_display_roundtrip(display);
    if (!activation)
        return 1;
    struct xdg_activation_token_v1 *request = xdg_activation_v1_get_activation_token(activation);
    xdg_activation_token_v1_add_listener(request, &token_listener, NULL);
    xdg_activation_token_v1_commit(request);
    while (!token[0])
        if (wl_display_dispatch(display) < 0)
            return 1;
    puts(token);
    wl_display_disconnect(display);
    return 0;
}

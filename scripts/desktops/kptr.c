// kptr: vptr's commands for KWin, through its fake-input protocol (a headless KWin lets any client
// use it when KWIN_WAYLAND_NO_PERMISSION_CHECKS is set):
//   move X Y | click BUTTON(272 left, 273 right) | sleep MS ; keeps the device until EOF.
#include "fi.h"
#include <stdio.h>
#include <string.h>
#include <unistd.h>
#include <wayland-client.h>
static struct org_kde_kwin_fake_input* fi;
static void reg(void* d, struct wl_registry* r, uint32_t name, const char* iface, uint32_t v)
{
    if (!strcmp(iface, org_kde_kwin_fake_input_interface.name))
        fi = wl_registry_bind(r, name, &org_kde_kwin_fake_input_interface, v < 4 ? v : 4);
}
static void unreg(void* d, struct wl_registry* r, uint32_t n) {}
static const struct wl_registry_listener rl = {reg, unreg};
int main(void)
{
    struct wl_display* dpy = wl_display_connect(NULL);
    if (!dpy) {
        perror("connect");
        return 1;
    }
    struct wl_registry* r = wl_display_get_registry(dpy);
    wl_registry_add_listener(r, &rl, NULL);
    wl_display_roundtrip(dpy);
    if (!fi || wl_proxy_get_version((struct wl_proxy*)fi) < 3) {
        fprintf(stderr, "no fake input with absolute motion\n");
        return 1;
    }
    org_kde_kwin_fake_input_authenticate(fi, "desktop-check", "clicks the tray icon");
    wl_display_roundtrip(dpy);
    char cmd[32];
    int a, b;
    while (scanf("%31s", cmd) == 1) {
        if (!strcmp(cmd, "move") && scanf("%d %d", &a, &b) == 2)
            org_kde_kwin_fake_input_pointer_motion_absolute(fi, wl_fixed_from_int(a),
                                                            wl_fixed_from_int(b));
        else if (!strcmp(cmd, "click") && scanf("%d", &a) == 1) {
            org_kde_kwin_fake_input_button(fi, a, 1);
            wl_display_roundtrip(dpy);
            usleep(50000);
            org_kde_kwin_fake_input_button(fi, a, 0);
        } else if (!strcmp(cmd, "sleep") && scanf("%d", &a) == 1) {
            wl_display_roundtrip(dpy);
            usleep(a * 1000);
        }
        wl_display_roundtrip(dpy);
    }
    org_kde_kwin_fake_input_destroy(fi);
    wl_display_roundtrip(dpy);
    return 0;
}

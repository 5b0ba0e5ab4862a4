// ostrel-wl-timecode: the Wayland counterpart of ostrel-timecode. A small window (meant
// to be floated at the output's top-left corner by the compositor's rules) shows the low
// 24 bits of CLOCK_MONOTONIC milliseconds as two rows of black and white cells, the second
// row inverted, repainted every PERIOD_MS, so that the receiver's --timecode reader can
// tell how old each mirrored picture is. The window first appears black, with no code to
// read: the first code is a change on a window already in place, not the window's arrival
// (which the compositor may place and show over several frames).
//
//   ostrel-wl-timecode [CELL_PIXELS [PERIOD_MS]]    (defaults 32 and 2; runs until killed)
#define _GNU_SOURCE
#include <errno.h>
#include <poll.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>
#include <wayland-client.h>

#include "xdg-shell-client-protocol.h"

enum { kBits = 24, kBuffers = 4 };

struct Painter {
    struct wl_compositor *compositor;
    struct wl_shm *shm;
    struct xdg_wm_base *wmBase;
    struct wl_surface *surface;
    struct xdg_surface *xdgSurface;
    struct xdg_toplevel *toplevel;
    int configured;
    struct {
        struct wl_buffer *buffer;
        uint32_t *pixels;
        int busy;
    } buffers[kBuffers];
};

static uint32_t NowMs(void) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (uint32_t)((uint64_t)now.tv_sec * 1000 + (uint64_t)now.tv_nsec / 1000000);
}

static void OnPing(void *data, struct xdg_wm_base *base, uint32_t serial) {
    (void)data;
    xdg_wm_base_pong(base, serial);
}
static const struct xdg_wm_base_listener kWmBaseListener = {OnPing};

static void OnGlobal(void *data, struct wl_registry *registry, uint32_t name, const char *interface,
                     uint32_t version) {
    struct Painter *p = data;
    (void)version;
    if (!strcmp(interface, wl_compositor_interface.name))
        p->compositor = wl_registry_bind(registry, name, &wl_compositor_interface, 4);
    else if (!strcmp(interface, wl_shm_interface.name))
        p->shm = wl_registry_bind(registry, name, &wl_shm_interface, 1);
    else if (!strcmp(interface, xdg_wm_base_interface.name)) {
        p->wmBase = wl_registry_bind(registry, name, &xdg_wm_base_interface, 1);
        xdg_wm_base_add_listener(p->wmBase, &kWmBaseListener, p);
    }
}
static void OnGlobalRemove(void *data, struct wl_registry *registry, uint32_t name) {
    (void)data;
    (void)registry;
    (void)name;
}
static const struct wl_registry_listener kRegistryListener = {OnGlobal, OnGlobalRemove};

static void OnSurfaceConfigure(void *data, struct xdg_surface *surface, uint32_t serial) {
    struct Painter *p = data;
    xdg_surface_ack_configure(surface, serial);
    p->configured = 1;
}
static const struct xdg_surface_listener kSurfaceListener = {OnSurfaceConfigure};

static void OnToplevelConfigure(void *data, struct xdg_toplevel *t, int32_t w, int32_t h,
                                struct wl_array *states) {
    (void)data;
    (void)t;
    (void)w;
    (void)h;
    (void)states;
}
static void OnToplevelClose(void *data, struct xdg_toplevel *t) {
    (void)data;
    (void)t;
    exit(0);
}
static const struct xdg_toplevel_listener kToplevelListener = {.configure = OnToplevelConfigure,
                                                               .close = OnToplevelClose};

static void OnRelease(void *data, struct wl_buffer *buffer) {
    (void)buffer;
    *(int *)data = 0;
}
static const struct wl_buffer_listener kBufferListener = {OnRelease};

int main(int argc, char **argv) {
    int cell = argc > 1 ? atoi(argv[1]) : 32;
    int periodMs = argc > 2 ? atoi(argv[2]) : 2;
    // Long periods make a still screen with a change now and then.
    if (cell < 4 || cell > 256 || periodMs < 1 || periodMs > 60000) {
        fprintf(stderr, "usage: ostrel-wl-timecode [CELL_PIXELS 4..256 [PERIOD_MS 1..60000]]\n");
        return 2;
    }
    struct wl_display *display = wl_display_connect(NULL);
    if (!display) {
        fprintf(stderr, "ostrel-wl-timecode: no Wayland display\n");
        return 1;
    }
    struct Painter p;
    memset(&p, 0, sizeof p);
    struct wl_registry *registry = wl_display_get_registry(display);
    wl_registry_add_listener(registry, &kRegistryListener, &p);
    wl_display_roundtrip(display);
    if (!p.compositor || !p.shm || !p.wmBase) {
        fprintf(stderr, "ostrel-wl-timecode: the compositor lacks wl_shm or xdg_wm_base\n");
        return 1;
    }
    int width = kBits * cell, height = 2 * cell, stride = width * 4;
    size_t size = (size_t)stride * height;
    int fd = memfd_create("ostrel-wl-timecode", MFD_CLOEXEC);
    if (fd < 0 || ftruncate(fd, (off_t)(size * kBuffers)) < 0) {
        perror("ostrel-wl-timecode: memfd");
        return 1;
    }
    uint8_t *memory = mmap(NULL, size * kBuffers, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (memory == MAP_FAILED) {
        perror("ostrel-wl-timecode: mmap");
        return 1;
    }
    struct wl_shm_pool *pool = wl_shm_create_pool(p.shm, fd, (int32_t)(size * kBuffers));
    for (int i = 0; i < kBuffers; i++) {
        p.buffers[i].buffer = wl_shm_pool_create_buffer(pool, (int32_t)(size * i), width, height,
                                                        stride, WL_SHM_FORMAT_XRGB8888);
        p.buffers[i].pixels = (uint32_t *)(memory + size * i);
        wl_buffer_add_listener(p.buffers[i].buffer, &kBufferListener, &p.buffers[i].busy);
    }
    p.surface = wl_compositor_create_surface(p.compositor);
    p.xdgSurface = xdg_wm_base_get_xdg_surface(p.wmBase, p.surface);
    xdg_surface_add_listener(p.xdgSurface, &kSurfaceListener, &p);
    p.toplevel = xdg_surface_get_toplevel(p.xdgSurface);
    xdg_toplevel_add_listener(p.toplevel, &kToplevelListener, &p);
    xdg_toplevel_set_app_id(p.toplevel, "ostrel-timecode");
    xdg_toplevel_set_title(p.toplevel, "ostrel-timecode");
    xdg_toplevel_set_min_size(p.toplevel, width, height);
    xdg_toplevel_set_max_size(p.toplevel, width, height);
    wl_surface_commit(p.surface);
    while (!p.configured) {
        if (wl_display_dispatch(display) < 0) return 1;
    }

    struct pollfd pfd = {wl_display_get_fd(display), POLLIN, 0};
    uint32_t lastPaint = 0;
    int first = 1;
    for (;;) {
        int b = -1;
        for (int i = 0; i < kBuffers; i++) {
            if (!p.buffers[i].busy) {
                b = i;
                break;
            }
        }
        uint32_t now = NowMs();
        if (b >= 0 && (first || now - lastPaint >= (uint32_t)periodMs)) {
            lastPaint = now;
            uint32_t code = now & ((1u << kBits) - 1);
            uint32_t *pixels = p.buffers[b].pixels;
            for (int bit = 0; bit < kBits; bit++) {
                int set = (code >> (kBits - 1 - bit)) & 1;
                uint32_t upper = set && !first ? 0xFFFFFFFFu : 0xFF000000u;
                uint32_t lower = set || first ? 0xFF000000u : 0xFFFFFFFFu;
                for (int y = 0; y < height; y++) {
                    uint32_t value = y < cell ? upper : lower;
                    uint32_t *row = pixels + (size_t)y * width + bit * cell;
                    for (int x = 0; x < cell; x++)
                        row[x] = value;
                }
            }
            first = 0;
            p.buffers[b].busy = 1;
            wl_surface_attach(p.surface, p.buffers[b].buffer, 0, 0);
            wl_surface_damage_buffer(p.surface, 0, 0, width, height);
            wl_surface_commit(p.surface);
        }
        if (wl_display_flush(display) < 0 && errno != EAGAIN) return 1;
        // Woken by the compositor's events too: the wait is what is left of the period.
        uint32_t since = NowMs() - lastPaint;
        int waitMs = since < (uint32_t)periodMs ? periodMs - (int)since : 1;
        if (poll(&pfd, 1, waitMs) > 0) {
            if (wl_display_dispatch(display) < 0) return 1;
        } else {
            wl_display_dispatch_pending(display);
        }
    }
}

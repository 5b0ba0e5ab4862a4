// Test-only preload for Debian 12's xdg-desktop-portal-wlr (0.7.0) on a compositor without
// a GPU. Its screencopy frame handling refuses to start a cast unless the compositor also
// announced a DMA-BUF buffer for the frame, which the pixman renderer never does. This
// library intercepts the listener the backend installs on each screencopy frame and, after
// every shared-memory "buffer" event, reports the same format as a DMA-BUF one. With no
// DMA-BUF interface bound the backend still allocates shared memory, so nothing else
// changes. Loaded with LD_PRELOAD by tests/wayland/wayland_session.sh only.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdint.h>
#include <string.h>

struct wl_proxy;
const char *wl_proxy_get_class(struct wl_proxy *proxy);

// Events of zwlr_screencopy_frame_v1 in protocol order (version 3).
struct screencopy_frame_listener {
    void (*buffer)(void *data, struct wl_proxy *frame, uint32_t format, uint32_t width,
                   uint32_t height, uint32_t stride);
    void (*flags)(void);
    void (*ready)(void);
    void (*failed)(void);
    void (*damage)(void);
    void (*linux_dmabuf)(void *data, struct wl_proxy *frame, uint32_t format, uint32_t width,
                         uint32_t height);
    void (*buffer_done)(void);
};

static const struct screencopy_frame_listener *backend_listener;
static struct screencopy_frame_listener patched_listener;

// wl_shm formats 0 and 1 (ARGB8888, XRGB8888) are the DRM codes AR24 and XR24; every other
// wl_shm format already uses the DRM code.
static uint32_t drm_format_of_shm(uint32_t format) {
    if (format == 0) return 0x34325241u;
    if (format == 1) return 0x34325258u;
    return format;
}

static void buffer_then_dmabuf(void *data, struct wl_proxy *frame, uint32_t format, uint32_t width,
                               uint32_t height, uint32_t stride) {
    backend_listener->buffer(data, frame, format, width, height, stride);
    if (backend_listener->linux_dmabuf)
        backend_listener->linux_dmabuf(data, frame, drm_format_of_shm(format), width, height);
}

int wl_proxy_add_listener(struct wl_proxy *proxy, void (**implementation)(void), void *data) {
    static int (*next)(struct wl_proxy *, void (**)(void), void *);
    if (!next) {
        *(void **)&next = dlsym(RTLD_NEXT, "wl_proxy_add_listener");
        if (!next) return -1;
    }
    if (strcmp(wl_proxy_get_class(proxy), "zwlr_screencopy_frame_v1") == 0) {
        backend_listener = (const struct screencopy_frame_listener *)implementation;
        patched_listener = *backend_listener;
        patched_listener.buffer = buffer_then_dmabuf;
        implementation = (void (**)(void)) & patched_listener;
    }
    return next(proxy, implementation, data);
}

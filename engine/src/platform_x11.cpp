#include "platform_x11.h"

#include <X11/Xlib.h>

#include <mutex>

namespace {

std::mutex g_x11_mutex; // one Xlib call sequence at a time on our connections
int g_x_error;          // set by the error handler while a call sequence runs

int on_x_error(Display *, XErrorEvent *e) {
    g_x_error = e->error_code;
    return 0;
}

// Runs f on a fresh display connection; -1 when no X server can be reached or X reported an
// error (a window id that is not a window, say).
void init_threads() {
    static std::once_flag threads_once;
    std::call_once(threads_once, [] { XInitThreads(); });
}

template <typename F> int with_display(F f) {
    init_threads();
    std::lock_guard<std::mutex> lock(g_x11_mutex);
    Display *d = XOpenDisplay(nullptr);
    if (!d)
        return -1;
    g_x_error = 0;
    XErrorHandler previous = XSetErrorHandler(on_x_error);
    int r = f(d);
    XSync(d, False);
    XSetErrorHandler(previous);
    if (g_x_error)
        r = -1;
    XCloseDisplay(d);
    return r;
}

Window window_of(HWND hwnd) {
    return static_cast<Window>(reinterpret_cast<uintptr_t>(hwnd));
}

} // namespace

int GetWindowClientSize(HWND hwnd, int *width, int *height) {
    if (!hwnd)
        return -1;
    return with_display([&](Display *d) {
        XWindowAttributes a;
        if (!XGetWindowAttributes(d, window_of(hwnd), &a))
            return -1;
        *width = a.width;
        *height = a.height;
        return 0;
    });
}

int SetWindowsClientSize(HWND hwnd, int width, int height) {
    if (!hwnd || width <= 0 || height <= 0)
        return -1;
    return with_display([&](Display *d) {
        XResizeWindow(d, window_of(hwnd), (unsigned)width, (unsigned)height);
        return 0;
    });
}

struct x11_conn_t {
    Display *display;
};

x11_conn_t *x11_connect(void) {
    init_threads();
    Display *d = XOpenDisplay(nullptr);
    if (!d)
        return nullptr;
    return new x11_conn_t{d};
}

void x11_disconnect(x11_conn_t *c) {
    if (!c)
        return;
    XCloseDisplay(c->display);
    delete c;
}

int x11_client_size(x11_conn_t *c, HWND hwnd, int *width, int *height) {
    if (!c || !hwnd)
        return -1;
    std::lock_guard<std::mutex> lock(g_x11_mutex); // the error handler is process-wide
    g_x_error = 0;
    XErrorHandler previous = XSetErrorHandler(on_x_error);
    XWindowAttributes a;
    Status ok = XGetWindowAttributes(c->display, window_of(hwnd), &a);
    XSync(c->display, False);
    XSetErrorHandler(previous);
    if (!ok || g_x_error)
        return -1;
    *width = a.width;
    *height = a.height;
    return 0;
}

#include "x_display.h"

#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <stdlib.h>
#include <time.h>

#include <algorithm>

#include "frame_marker.h"

namespace bench {

namespace {

constexpr int kFindEveryMs = 50;
constexpr int kSizeEveryMs = 200;

// Reads can race with a window being made, resized or destroyed; such errors only mean "not
// readable now" and must not end the program.
int ignore_x_error(Display *, XErrorEvent *) {
    return 0;
}

bool viewable(Display *d, Window w, XWindowAttributes *a) {
    return XGetWindowAttributes(d, w, a) && a->map_state == IsViewable && a->c_class == InputOutput;
}

long window_pid(Display *d, Window w) {
    Atom pid_atom = XInternAtom(d, "_NET_WM_PID", True);
    if (pid_atom == None)
        return -1;
    Atom type;
    int format;
    unsigned long count, after;
    unsigned char *data = nullptr;
    long pid = -1;
    if (XGetWindowProperty(d, w, pid_atom, 0, 1, False, XA_CARDINAL, &type, &format, &count, &after,
                           &data) == Success &&
        data && count == 1 && format == 32)
        pid = (long)*reinterpret_cast<unsigned long *>(data);
    if (data)
        XFree(data);
    return pid;
}

void sleep_until_ns(int64_t monotonic_target) {
    struct timespec ts = {(time_t)(monotonic_target / 1000000000),
                          (long)(monotonic_target % 1000000000)};
    clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr);
}

} // namespace

bool Xvfb::start(int screen_w, int screen_h, const std::string &log_path) {
    std::string screen = std::to_string(screen_w) + "x" + std::to_string(screen_h) + "x24";
    // -displayfd 1: the server writes its display number to our pipe once it accepts clients.
    if (!server_.start(
            {"Xvfb", "-displayfd", "1", "-screen", "0", screen, "-nolisten", "tcp", "-noreset"},
            log_path, true))
        return false;
    std::string number;
    if (!server_.read_line(&number, 10000) || number.empty()) {
        stop();
        return false;
    }
    display_ = ":" + number;
    const char *previous = getenv("DISPLAY");
    had_display_ = previous != nullptr;
    saved_display_ = previous ? previous : "";
    setenv("DISPLAY", display_.c_str(), 1);
    return true;
}

// Headless runs after this one must not find a display that is gone.
void Xvfb::stop() {
    server_.stop(3000);
    if (display_.empty())
        return;
    if (had_display_)
        setenv("DISPLAY", saved_display_.c_str(), 1);
    else
        unsetenv("DISPLAY");
    display_.clear();
}

bool GlassPoller::start(Window engine_window, pid_t foreign_pid, int period_ms) {
    XInitThreads();
    d_ = XOpenDisplay(nullptr);
    if (!d_)
        return false;
    XSetErrorHandler(ignore_x_error);
    engine_.window = engine_window;
    foreign_pid_ = foreign_pid;
    period_ms_ = period_ms;
    refresh_size(&engine_);
    engine_.found_ns = realtime_ns();
    thread_ = std::thread([this] { run(); });
    return true;
}

void GlassPoller::stop() {
    stop_ = true;
    if (thread_.joinable())
        thread_.join();
    if (d_)
        XCloseDisplay(d_);
    d_ = nullptr;
}

void GlassPoller::run() {
    const int64_t period = (int64_t)period_ms_ * 1000000;
    int64_t next = monotonic_ns();
    for (long tick = 0; !stop_; tick++) {
        if (engine_.window)
            read_marker(&engine_);
        if (foreign_.window)
            read_marker(&foreign_);
        else if (foreign_pid_ > 0 && tick % std::max(1, kFindEveryMs / period_ms_) == 0)
            find_foreign();
        if (tick % std::max(1, kSizeEveryMs / period_ms_) == 0) {
            refresh_size(&engine_);
            refresh_size(&foreign_);
        }
        next += period;
        int64_t now = monotonic_ns();
        if (next < now)
            next = now; // fell behind (a busy machine): no burst of reads to catch up
        sleep_until_ns(next);
    }
}

// The picture fills the window, so the marker row is at the same fraction of its height. The
// time stamp is taken before the request: the picture was on the server by then at the latest
// when the read finds it (resolution: one polling period).
void GlassPoller::read_marker(GlassTarget *t) {
    if (t->width <= 0 || t->height <= 0)
        return;
    int64_t t_ns = realtime_ns();
    XImage *img = XGetImage(d_, t->window, 0, marker_row(t->height), (unsigned)t->width, 1,
                            AllPlanes, ZPixmap);
    t->reads++;
    if (!img) {
        t->read_errors++;
        return;
    }
    int frame = -1;
    if (img->bits_per_pixel == 32 && img->red_mask == 0xFF0000 && img->blue_mask == 0xFF)
        frame =
            marker_decode_row(reinterpret_cast<const uint8_t *>(img->data), t->width, 4, 2, 1, 0);
    XDestroyImage(img);
    if (frame >= 0 && !t->first_seen.count(frame))
        t->first_seen[frame] = t_ns;
}

void GlassPoller::find_foreign() {
    Window root = DefaultRootWindow(d_), parent = 0, *children = nullptr;
    unsigned int count = 0;
    if (!XQueryTree(d_, root, &root, &parent, &children, &count))
        return;
    Window any = 0, by_pid = 0;
    for (unsigned int i = 0; i < count; i++) {
        XWindowAttributes a;
        if (children[i] == engine_.window || !viewable(d_, children[i], &a) || a.width < 64)
            continue;
        any = children[i];
        if (window_pid(d_, children[i]) == foreign_pid_)
            by_pid = children[i];
    }
    if (children)
        XFree(children);
    foreign_.window = by_pid ? by_pid : any;
    if (foreign_.window) {
        foreign_.found_ns = realtime_ns();
        refresh_size(&foreign_);
    }
}

void GlassPoller::refresh_size(GlassTarget *t) {
    XWindowAttributes a;
    if (t->window && XGetWindowAttributes(d_, t->window, &a)) {
        t->width = a.width;
        t->height = a.height;
    }
}

} // namespace bench

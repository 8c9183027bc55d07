// The engine side of the benchmarks: loads libquorvex64.so at run time, receives MPEG-TS over
// UDP through the function table only, and stamps every picture that reaches the overlay
// callback with its frame number (read from the picture's marker band), the wall-clock time,
// and the CPU time of the calling (display) thread and of the whole process.
//
//   bench_receiver --port N --report FILE [--lib PATH] [--window WxH] [--stab 0|1|2]
//                  [--draw fit|full] [--seconds N]
//
// With --window it makes an X window of that size at (0, 0), prints "window 0x<id>" on stdout
// once the window is mapped, and the engine draws into it; without, it opens the engine
// headless. It stops at SIGTERM/SIGINT or after --seconds, then writes the report.
#include <X11/Xlib.h>
#include <dlfcn.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <vector>

#include "bench_support.h"
#include "frame_marker.h"
#include "quorvexapi.h"

namespace {

constexpr unsigned kFormatRgba = 26; // frame-grab display, bytes R, G, B, A
constexpr unsigned kFormatAbgr = 27; // window display, bytes A, B, G, R
constexpr size_t kMaxPictures = 30 * 3600;

std::atomic<int> g_stop{0};

void on_signal(int) {
    g_stop = 1;
}

struct Options {
    std::string lib;
    int port = 0;
    std::string report;
    int window_w = 0, window_h = 0;
    int stab = 0;
    int draw_mode = e_win_mode_fit;
    int seconds = 600;
};

bool parse(int argc, char **argv, Options *o) {
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string a = argv[i];
        const char *v = argv[i + 1];
        if (a == "--lib")
            o->lib = v;
        else if (a == "--port")
            o->port = atoi(v);
        else if (a == "--report")
            o->report = v;
        else if (a == "--window")
            sscanf(v, "%dx%d", &o->window_w, &o->window_h);
        else if (a == "--stab")
            o->stab = atoi(v);
        else if (a == "--draw")
            o->draw_mode = strcmp(v, "full") == 0 ? e_win_mode_full : e_win_mode_fit;
        else if (a == "--seconds")
            o->seconds = atoi(v);
        else
            return false;
    }
    return argc % 2 == 1 && o->port > 0 && !o->report.empty();
}

struct Picture {
    int frame; // -1: no marker found
    int64_t t_ns, thread_cpu_ns, process_cpu_ns;
    int width, height;
};

// Filled on the engine's display task only; read after the engine has stopped (its tasks are
// joined by then). The storage is reserved up front so the callback never allocates.
struct Recorder {
    std::vector<Picture> pictures;
    std::atomic<size_t> count{0};
};

void on_overlay(void *param, int, unsigned int format, int w, int h, int pitch, void *bitmap,
                void *) {
    Picture pic = {-1, bench::realtime_ns(), bench::thread_cpu_ns(), bench::process_cpu_ns(), w, h};
    Recorder *rec = static_cast<Recorder *>(param);
    size_t i = rec->count.load(std::memory_order_relaxed);
    if (i >= rec->pictures.size() || !bitmap || h <= 0)
        return;
    const uint8_t *row =
        static_cast<const uint8_t *>(bitmap) + (size_t)bench::marker_row(h) * pitch;
    if (format == kFormatRgba)
        pic.frame = bench::marker_decode_row(row, w, 4, 0, 1, 2);
    else if (format == kFormatAbgr)
        pic.frame = bench::marker_decode_row(row, w, 4, 3, 2, 1);
    rec->pictures[i] = pic;
    rec->count.store(i + 1, std::memory_order_release);
}

void *load_engine(const std::string &path) {
    if (!path.empty())
        return dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    std::string dir = bench::program_dir();
    for (const char *rel : {"/libquorvex64.so", "/../engine/libquorvex64.so"})
        if (void *h = dlopen((dir + rel).c_str(), RTLD_NOW | RTLD_LOCAL))
            return h;
    return dlopen("libquorvex64.so", RTLD_NOW | RTLD_LOCAL);
}

// A plain top-level window at (0, 0), waited for until mapped (bounded).
struct Window11 {
    Display *display = nullptr;
    Window window = 0;

    bool open(int w, int h) {
        display = XOpenDisplay(nullptr);
        if (!display)
            return false;
        int screen = DefaultScreen(display);
        window = XCreateSimpleWindow(display, RootWindow(display, screen), 0, 0, (unsigned)w,
                                     (unsigned)h, 0, BlackPixel(display, screen),
                                     BlackPixel(display, screen));
        XStoreName(display, window, "bench_receiver");
        XSelectInput(display, window, StructureNotifyMask);
        XMapWindow(display, window);
        XSync(display, False);
        for (int i = 0; i < 200; i++) {
            XEvent e;
            if (XCheckTypedWindowEvent(display, window, MapNotify, &e))
                break;
            bench::sleep_ms(10);
        }
        return true;
    }
    void drain() {
        while (display && XPending(display)) {
            XEvent e;
            XNextEvent(display, &e);
        }
    }
    void close() {
        if (!display)
            return;
        XDestroyWindow(display, window);
        XCloseDisplay(display);
        display = nullptr;
    }
};

void set_udp_input(quorvex_t *q, quorvex_handle_t h, int port) {
    streaming_setup_t s = {};
    s.port = port;
    s.protocol = Protocol_UDPTS;
    s.src_app = STREAMING_APP;
    q->Quorvex_set_streaming_param(h, s);
    encryption_setup_t e = {};
    q->Quorvex_set_encryption_param(h, e);
}

bool write_report(const Options &o, const Recorder &rec, const quorvex_info_t &info,
                  int64_t start_ns, int64_t end_ns, int64_t cpu_ns, unsigned long window) {
    bench::ReportWriter w;
    w.set("start_ns", start_ns);
    w.set("end_ns", end_ns);
    w.set("cpu_ns", cpu_ns);
    w.set("vmhwm_kb", bench::proc_vmhwm_kb(getpid()));
    w.set("decoded", info.get_strm_info.inp_dec_frame);
    w.set("shown", info.get_strm_info.inp_disp_frames);
    w.set("window", (int64_t)window);
    w.set("stab", o.stab);
    w.set("draw_mode", o.draw_mode);
    size_t n = rec.count.load(std::memory_order_acquire);
    for (size_t i = 0; i < n; i++) {
        const Picture &p = rec.pictures[i];
        w.add("pic", {p.frame, p.t_ns, p.thread_cpu_ns, p.process_cpu_ns, p.width, p.height});
    }
    return w.write(o.report);
}

} // namespace

int main(int argc, char **argv) {
    Options o;
    if (!parse(argc, argv, &o)) {
        fprintf(stderr, "usage: bench_receiver --port N --report FILE [--lib PATH]"
                        " [--window WxH] [--stab 0|1|2] [--draw fit|full] [--seconds N]\n");
        return 2;
    }
    signal(SIGTERM, on_signal);
    signal(SIGINT, on_signal);
    void *lib = load_engine(o.lib);
    auto get =
        lib ? reinterpret_cast<quorvex_get_handle_t>(dlsym(lib, "quorvex_get_handle")) : nullptr;
    quorvex_t *q = get ? get() : nullptr;
    if (!q) {
        fprintf(stderr, "bench_receiver: cannot load the engine: %s\n", dlerror());
        return 1;
    }
    Window11 win;
    if (o.window_w > 0) {
        if (!win.open(o.window_w, o.window_h)) {
            fprintf(stderr, "bench_receiver: no X display\n");
            return 1;
        }
        printf("window 0x%lx\n", (unsigned long)win.window);
        fflush(stdout);
    }
    Recorder rec;
    rec.pictures.resize(kMaxPictures);

    quorvex_setup_t setup = {};
    setup.hwnd = win.window ? reinterpret_cast<HWND>(static_cast<uintptr_t>(win.window)) : nullptr;
    quorvex_handle_t h = 0;
    q->Quorvex_open(setup, &h);
    q->Quorvex_register_user_overlay(h, on_overlay, &rec);
    set_udp_input(q, h, o.port);
    q->Quorvex_windows_draw_mode(h, o.draw_mode, 0);
    q->Quorvex_set_stabilizer(h, stabilizer_params_t{o.stab});
    q->Quorvex_set_log_bits(h, 0);

    const int64_t start_ns = bench::realtime_ns(), cpu0 = bench::process_cpu_ns();
    int started = q->Quorvex_start(h, 1 << STREAMING_BIT);
    printf("started %d\n", started);
    fflush(stdout);
    for (int ticks = 0; !g_stop && started == 0 && ticks < o.seconds * 50; ticks++) {
        bench::sleep_ms(20);
        win.drain();
    }
    const int64_t end_ns = bench::realtime_ns(), cpu_ns = bench::process_cpu_ns() - cpu0;
    quorvex_info_t info = {};
    q->Quorvex_get_info(h, &info, 0);
    q->Quorvex_stop(h, 255);
    q->Quorvex_close(h);
    bool ok = write_report(o, rec, info, start_ns, end_ns, cpu_ns, win.window);
    win.close();
    // The library stays loaded until exit: FFmpeg and SDL keep process-wide state.
    return ok && started == 0 ? 0 : 1;
}

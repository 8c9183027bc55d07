// Display cost per picture: the engine draws the live test stream into an X window under a
// private Xvfb, without a stabiliser and with each of the two (stabilizer_params_t::state 1 and
// 2), plus a headless run (frame-grab display, no window) as the floor and a window run in the
// full draw mode (the texture at the picture's size; fit mode cuts it to multiples of 16).
//
//   bench_display [--sizes 720p,1080p] [--seconds 15] [--modes headless,0,1,2,full]
//                 [--lib PATH] [--keep]
//
// What is measured, per run, over the pictures shown after the first 3 s:
// - display thread CPU per picture: CPU time of the thread that calls the overlay callback (the
//   engine's display task) read with CLOCK_THREAD_CPUTIME_ID at each callback, divided by the
//   pictures shown. It holds scaling (or stabilising), the texture upload and the present, but
//   not the work the GL driver does on its own threads.
// - process CPU per picture: CPU time of the whole receiving process over the same pictures
//   (reception, decoding, display, the GL driver's threads), divided by the pictures shown.
// - the difference of both to the window run without stabiliser.
// - the interval between consecutive overlay callbacks, and the overlay latency.
#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <string>
#include <vector>

#include "bench_support.h"
#include "live_run.h"

using namespace bench;

namespace {

constexpr int64_t kSkipStartNs = 3000000000LL;

struct Options {
    std::vector<std::string> sizes = {"720p", "1080p"};
    std::vector<std::string> modes = {"headless", "0", "1", "2", "full"};
    int seconds = 15;
    bool keep = false;
    std::string lib;
};

bool parse(int argc, char **argv, Options *o) {
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        if (a == "--keep") {
            o->keep = true;
            continue;
        }
        if (i + 1 >= argc)
            return false;
        std::string v = argv[++i];
        if (a == "--sizes")
            o->sizes = split_list(v);
        else if (a == "--modes")
            o->modes = split_list(v);
        else if (a == "--seconds")
            o->seconds = atoi(v.c_str());
        else if (a == "--lib")
            o->lib = v;
        else
            return false;
    }
    return o->seconds >= 6;
}

struct DisplayFigures {
    bool ok = false;
    size_t pictures = 0;            // overlay callbacks in the measured span
    double per_second = 0;          // pictures shown a second
    double thread_ms = 0;           // display thread CPU per picture
    double process_ms = 0;          // process CPU per picture
    double process_pct = 0;         // process CPU over the span, 100 = one core
    Summary interval_ms;            // between consecutive callbacks
    Summary latency_ms;             // overlay latency
    int64_t decoded = 0, shown = 0; // engine counters over the whole run
};

// Pictures shown after the start-up span; their rows are "pic frame t thread_cpu process_cpu".
DisplayFigures measure(const LiveResult &r) {
    DisplayFigures f;
    const auto &rows = r.receiver.rows("pic");
    std::vector<const std::vector<int64_t> *> span;
    for (const auto &row : rows)
        if (row.size() >= 4 && !rows.empty() && row[1] > rows.front()[1] + kSkipStartNs)
            span.push_back(&row);
    f.decoded = r.receiver.num("decoded", 0);
    f.shown = r.receiver.num("shown", 0);
    if (span.size() < 10)
        return f;
    const std::vector<int64_t> &a = *span.front(), &b = *span.back();
    double n = (double)(span.size() - 1);
    double wall = (double)(b[1] - a[1]);
    f.pictures = span.size();
    f.per_second = n / (wall / 1e9);
    f.thread_ms = (double)(b[2] - a[2]) / n / 1e6;
    f.process_ms = (double)(b[3] - a[3]) / n / 1e6;
    f.process_pct = 100.0 * (double)(b[3] - a[3]) / wall;
    std::vector<double> intervals;
    for (size_t i = 1; i < span.size(); i++)
        intervals.push_back(ms((*span[i])[1] - (*span[i - 1])[1]));
    f.interval_ms = summarize(intervals);
    f.latency_ms = analyse(overlay_frames(r.receiver), r.sent_ns).steady_latency_ms;
    f.ok = true;
    return f;
}

std::string mode_name(const std::string &mode) {
    if (mode == "headless")
        return "headless (frame grab, no window)";
    if (mode == "0")
        return "window, no stabiliser";
    if (mode == "full")
        return "window, no stabiliser, full draw mode";
    return "window, stabiliser " + mode;
}

std::string delta(double v, double base, bool have_base) {
    if (!have_base)
        return "-";
    char buf[32];
    snprintf(buf, sizeof(buf), "%+.2f", v - base);
    return buf;
}

LiveConfig config(const Options &o, int w, int h, const std::string &mode, const std::string &dir) {
    LiveConfig c;
    c.width = w;
    c.height = h;
    c.seconds = o.seconds;
    c.window = mode != "headless";
    c.stab = c.window && mode != "full" ? atoi(mode.c_str()) : 0;
    c.full_draw = mode == "full";
    c.lib = o.lib;
    c.dir = dir;
    return c;
}

bool run_size(const Options &o, const std::string &size) {
    int w = 0, h = 0;
    if (!parse_size(size, &w, &h))
        return false;
    printf("## %dx%d at 30 fps, window %dx%d, %d s a run (first 3 s not counted), load average "
           "%s\n\n",
           w, h, w, h, o.seconds, load_average().c_str());
    fflush(stdout);
    std::vector<std::vector<std::string>> table = {
        {"mode", "shown/s", "display thread CPU ms/picture", "vs no stab", "process CPU ms/picture",
         "vs no stab", "process CPU %", "callback interval p50/p99 ms", "overlay latency p50 ms",
         "decoded / shown"}};
    DisplayFigures base;
    bool have_base = false, ok = true;
    for (const std::string &mode : o.modes) {
        TempDir dir("bench_display");
        if (o.keep)
            dir.keep();
        LiveResult r = run_live(config(o, w, h, mode, dir.path()));
        DisplayFigures f = r.ok ? measure(r) : DisplayFigures();
        if (!f.ok) {
            dir.keep();
            table.push_back({mode_name(mode), "failed: " + r.error + " (" + dir.path() + ")"});
            ok = false;
            continue;
        }
        if (mode == "0") {
            base = f;
            have_base = true;
        }
        bool delta_ok = have_base && mode != "headless";
        table.push_back({mode_name(mode), fmt(f.per_second), fmt(f.thread_ms, 2),
                         delta(f.thread_ms, base.thread_ms, delta_ok), fmt(f.process_ms, 2),
                         delta(f.process_ms, base.process_ms, delta_ok), fmt(f.process_pct),
                         fmt(f.interval_ms.p50) + " / " + fmt(f.interval_ms.p99),
                         fmt(f.latency_ms.p50),
                         std::to_string(f.decoded) + " / " + std::to_string(f.shown)});
        fprintf(stderr, "%s %s done (sender CPU %s %%, load average %s)\n", size.c_str(),
                mode.c_str(), fmt(r.sender_cpu_pct).c_str(), load_average().c_str());
    }
    print_table(table);
    printf("\n");
    return ok;
}

} // namespace

int main(int argc, char **argv) {
    Options o;
    if (!parse(argc, argv, &o)) {
        fprintf(stderr, "usage: bench_display [--sizes 720p,1080p] [--seconds N]"
                        " [--modes headless,0,1,2,full] [--lib PATH] [--keep]\n");
        return 2;
    }
    printf("# bench_display\n\nCPU per picture = CPU time over the pictures shown after the "
           "first 3 s / their number. Display thread = the thread that calls the overlay "
           "callback. 100 %% = one core.\n\n");
    bool ok = true;
    for (const std::string &size : o.sizes)
        ok = run_size(o, size) && ok;
    return ok ? 0 : 1;
}

// Live reception latency of the engine, headless and with a window, and ffplay beside it.
//
//   bench_latency [--sizes 720p,1080p] [--seconds 20] [--modes headless,window] [--no-ffplay]
//                 [--lib PATH] [--preset ultrafast] [--ffplay-sync ext] [--lead-ms 1500]
//                 [--pes-length] [--keep]
//
// For each size: a headless run (overlay callback only) and a window run under a private Xvfb
// in which ffplay shows the same stream next to the engine's window. Latency is measured from
// the moment a picture's last datagram left bench_sender to the overlay callback (headless and
// window) and to the moment the picture is read back from the X server (window). Then the
// decode time of one picture of the same stream is measured with libavcodec. Prints Markdown
// tables; the targets are printed next to the figures, never asserted.
#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <string>
#include <vector>

#include "bench_support.h"
#include "decode_timing.h"
#include "live_run.h"

using namespace bench;

namespace {

constexpr double kTargetFirstPictureMs = 1000; // one GOP at 30 fps
constexpr int kDecodeSamples = 600;

struct Options {
    std::vector<std::string> sizes = {"720p", "1080p"};
    std::vector<std::string> modes = {"headless", "window"};
    int seconds = 20;
    bool ffplay = true;
    bool keep = false;
    bool pes_length = false;
    int lead_ms = 1500;
    std::string lib, preset = "ultrafast";
    std::string ffplay_sync = "ext";
};

bool parse(int argc, char **argv, Options *o) {
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        if (a == "--no-ffplay" || a == "--keep" || a == "--pes-length") {
            (a == "--keep"         ? o->keep
             : a == "--pes-length" ? o->pes_length
                                   : o->ffplay) = a != "--no-ffplay";
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
        else if (a == "--preset")
            o->preset = v;
        else if (a == "--ffplay-sync")
            o->ffplay_sync = v;
        else if (a == "--lead-ms")
            o->lead_ms = atoi(v.c_str());
        else
            return false;
    }
    return o->seconds >= 5;
}

std::string lat3(const Summary &s) {
    return fmt(s.p50) + " / " + fmt(s.p99) + " / " + fmt(s.max);
}

std::string lat2(const Summary &s) {
    return fmt(s.p50) + " / " + fmt(s.p99);
}

std::string counts(const Delivery &d) {
    return std::to_string(d.seen) + " / " + std::to_string(d.missed) + " (" +
           std::to_string(d.missed_early) + ")";
}

std::string mib(long kb) {
    return kb < 0 ? "n/a" : fmt((double)kb / 1024.0);
}

// Start to first picture, and how much of it was spent waiting for the sender's next key frame.
std::string first_picture(const LiveResult &r, int64_t start_ns, int64_t first_ns) {
    if (!first_ns || !start_ns)
        return "none";
    int64_t key = next_key_ns(r, start_ns);
    std::string s = fmt(ms(first_ns - start_ns), 0);
    if (key)
        s += " (key frame wait " + fmt(ms(key - start_ns), 0) + ")";
    return s;
}

// CPU time of a process per picture it put on the glass: compares players that drop different
// numbers of pictures on a saturated machine.
std::string cpu_per_picture(const ProcessFigures &p, const Delivery &d) {
    if (p.cpu_ns < 0 || d.seen == 0)
        return "n/a";
    return fmt(ms(p.cpu_ns) / (double)d.seen);
}

std::string verdict(bool met) {
    return met ? "met" : "MISSED";
}

LiveConfig config(const Options &o, int w, int h, bool window, const std::string &dir) {
    LiveConfig c;
    c.width = w;
    c.height = h;
    c.seconds = o.seconds;
    c.window = window;
    c.ffplay = o.ffplay;
    c.ffplay_sync = o.ffplay_sync;
    c.pes_length = o.pes_length;
    c.lead_ms = o.lead_ms;
    c.lib = o.lib;
    c.preset = o.preset;
    c.dir = dir;
    return c;
}

// Decode time of a picture of the run's stream; 0 when it cannot be measured.
double report_decode_time(const LiveResult &r) {
    DecodeTiming t = time_decoding(r.ts_path, kDecodeSamples);
    if (!t.ok) {
        printf("decode time: could not be measured on %s\n", r.ts_path.c_str());
        return 0;
    }
    printf("Decode time of one picture (libavcodec h264, 1 thread, %zu pictures): p50 %s ms, "
           "p99 %s ms, mean %s ms; RGBA conversion p50 %s ms\n\n",
           t.decode_ms.count, fmt(t.decode_ms.p50, 2).c_str(), fmt(t.decode_ms.p99, 2).c_str(),
           fmt(t.decode_ms.mean, 2).c_str(), fmt(t.convert_ms.p50, 2).c_str());
    return t.decode_ms.p50;
}

double latency_target(int fps, double decode_ms) {
    return 1000.0 / fps + decode_ms;
}

void report_headless(const LiveResult &r, double decode_ms) {
    Delivery d = analyse(overlay_frames(r.receiver), r.sent_ns);
    double target = latency_target(30, decode_ms);
    double cpu_self = 100.0 * (double)r.receiver.num("cpu_ns", 0) /
                      (double)std::max<int64_t>(1, r.receiver.num("end_ns") - r.engine_start_ns);
    printf("Headless (overlay callback), sender CPU %s %%\n\n", fmt(r.sender_cpu_pct).c_str());
    print_table({
        {"figure", "engine", "target"},
        {"latency p50 / p99 / max (ms)", lat3(d.latency_ms), "p50 < " + fmt(target)},
        {"latency after the first 2 s, p50 / p99 (ms)", lat2(d.steady_latency_ms),
         verdict(d.steady_latency_ms.p50 < target)},
        {"frames received / missed (in the first 2 s)", counts(d), ""},
        {"Quorvex_start to first picture (ms)", first_picture(r, r.engine_start_ns, d.first_ns),
         "<= 1000"},
        {"CPU % (receiver's own, start to end)", fmt(cpu_self), ""},
        {"CPU % (/proc, whole run / after 5 s)",
         fmt(r.engine.cpu_pct) + " / " + fmt(r.engine.cpu_steady_pct), ""},
        {"peak RSS VmHWM (MiB)", mib(r.receiver.num("vmhwm_kb")), ""},
    });
    printf("\n");
}

void report_window(const LiveResult &r, double decode_ms) {
    Delivery overlay = analyse(overlay_frames(r.receiver), r.sent_ns);
    Delivery eg = analyse(r.engine_glass.first_seen, r.sent_ns);
    Delivery fg = analyse(r.ffplay_glass.first_seen, r.sent_ns);
    bool ff = r.ffplay_start_ns && r.ffplay.cpu_pct >= 0;
    double target = latency_target(30, decode_ms);
    printf("Window under Xvfb, same stream to both (ffplay -sync %s), sender CPU %s %%, Xvfb CPU "
           "%s %%\n\n",
           r.ffplay_sync.c_str(), fmt(r.sender_cpu_pct).c_str(), fmt(r.xvfb_cpu_pct).c_str());
    print_table({
        {"figure", "engine", "ffplay", "target"},
        {"glass latency p50 / p99 / max (ms)", lat3(eg.latency_ms), ff ? lat3(fg.latency_ms) : "-",
         "p50 < " + fmt(target)},
        {"glass latency after the first 2 s, p50 / p99 (ms)", lat2(eg.steady_latency_ms),
         ff ? lat2(fg.steady_latency_ms) : "-", verdict(eg.steady_latency_ms.p50 < target)},
        {"overlay callback latency p50 / p99 / max (ms)", lat3(overlay.latency_ms), "-", ""},
        {"frames on glass / missed (in the first 2 s)", counts(eg), ff ? counts(fg) : "-", ""},
        {"overlay frames received / missed (in the first 2 s)", counts(overlay), "-", ""},
        {"Quorvex_start to first overlay callback (ms)",
         first_picture(r, r.engine_start_ns, overlay.first_ns), "-", ""},
        {"start to first picture on glass (ms)", first_picture(r, r.engine_start_ns, eg.first_ns),
         ff ? first_picture(r, r.ffplay_start_ns, fg.first_ns) : "-", "<= 1000"},
        {"CPU % (/proc, whole run)", fmt(r.engine.cpu_pct), ff ? fmt(r.ffplay.cpu_pct) : "-",
         ff ? verdict(r.engine.cpu_pct <= r.ffplay.cpu_pct) : ""},
        {"CPU % (/proc, after 5 s)", fmt(r.engine.cpu_steady_pct),
         ff ? fmt(r.ffplay.cpu_steady_pct) : "-",
         ff ? verdict(r.engine.cpu_steady_pct <= r.ffplay.cpu_steady_pct) : ""},
        {"CPU ms per picture on glass (whole run)", cpu_per_picture(r.engine, eg),
         ff ? cpu_per_picture(r.ffplay, fg) : "-", ""},
        {"peak RSS VmHWM (MiB)", mib(r.engine.vmhwm_kb), ff ? mib(r.ffplay.vmhwm_kb) : "-", ""},
        {"X reads (errors)",
         std::to_string(r.engine_glass.reads) + " (" + std::to_string(r.engine_glass.read_errors) +
             ")",
         ff ? std::to_string(r.ffplay_glass.reads) + " (" +
                  std::to_string(r.ffplay_glass.read_errors) + ")"
            : "-",
         ""},
    });
    printf("\n");
}

bool run_size(const Options &o, const std::string &size) {
    int w = 0, h = 0;
    if (!parse_size(size, &w, &h)) {
        fprintf(stderr, "bad size %s\n", size.c_str());
        return false;
    }
    printf("## %dx%d at 30 fps, %d s a run, preset %s, GOP 30, no B-frames (load average %s)\n\n",
           w, h, o.seconds, o.preset.c_str(), load_average().c_str());
    fflush(stdout);
    double decode_ms = -1;
    bool ok = true;
    for (const std::string &mode : o.modes) {
        TempDir dir("bench_latency");
        if (o.keep)
            dir.keep();
        LiveResult r = run_live(config(o, w, h, mode == "window", dir.path()));
        if (!r.ok) {
            printf("%s run failed: %s (files in %s)\n\n", mode.c_str(), r.error.c_str(),
                   dir.path().c_str());
            dir.keep();
            ok = false;
            continue;
        }
        if (decode_ms < 0)
            decode_ms = report_decode_time(r);
        printf("(load average after the run: %s)\n", load_average().c_str());
        if (mode == "window")
            report_window(r, decode_ms);
        else
            report_headless(r, decode_ms);
        if (o.keep)
            printf("(files kept in %s)\n\n", dir.path().c_str());
    }
    return ok;
}

} // namespace

int main(int argc, char **argv) {
    Options o;
    if (!parse(argc, argv, &o)) {
        fprintf(stderr, "usage: bench_latency [--sizes 720p,1080p] [--seconds N]"
                        " [--modes headless,window] [--no-ffplay] [--lib PATH] [--preset P]"
                        " [--ffplay-sync ext|video] [--lead-ms N] [--pes-length] [--keep]\n");
        return 2;
    }
    printf("# bench_latency\n\nTargets: p50 latency < one frame period (33.3 ms) + decode time of "
           "a picture; CPU <= ffplay's; first picture <= %.0f ms after start.\n"
           "CPU %%: 100 = one core busy. Latencies in ms from the last datagram of a picture "
           "leaving the sender.\n\n",
           kTargetFirstPictureMs);
    bool ok = true;
    for (const std::string &size : o.sizes)
        ok = run_size(o, size) && ok;
    return ok ? 0 : 1;
}

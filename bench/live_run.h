// One live run shared by the benchmark drivers: bench_sender streams to the engine (in
// bench_receiver, a process of its own so that its CPU figures hold the engine only) and, when
// asked, to an ffplay that shows the same stream in a window next to the engine's on the same
// private X server. The drivers turn the collected reports into figures.
#pragma once

#include <stdint.h>

#include <map>
#include <string>
#include <vector>

#include "bench_support.h"
#include "x_display.h"

namespace bench {

struct LiveConfig {
    int width = 1280, height = 720, fps = 30, gop = 30;
    int seconds = 20;       // receivers run this long
    int lead_ms = 1500;     // the sender runs alone this long first (a live source already on air)
    int warmup_ms = 5000;   // CPU "steady" figures start this long after the receivers started
    bool window = false;    // engine draws into an X window under Xvfb
    int stab = 0;           // stabilizer_params_t::state
    bool full_draw = false; // draw mode full (texture at the picture size) rather than fit
    bool ffplay = false;    // ffplay beside the engine (window runs only)
    std::string ffplay_sync = "ext"; // ffplay's -sync
    bool pes_length = false;
    std::string preset = "ultrafast";
    std::string lib; // libquorvex64.so; "" lets bench_receiver look beside itself
    std::string dir; // work directory for logs, reports and the stream copy
};

// CPU and memory of one receiving process, measured by the driver from /proc/PID.
struct ProcessFigures {
    int64_t cpu_ns = -1;        // CPU time from its start to the end of the run
    double cpu_pct = -1;        // the same as a share of the wall time
    double cpu_steady_pct = -1; // from warmup_ms after its start to the end of the run
    long vmhwm_kb = -1;
};

struct LiveResult {
    bool ok = false;
    std::string error;
    Report sender, receiver;
    std::map<int, int64_t> sent_ns; // frame number -> time its last datagram left
    std::map<int, bool> key;        // frame number -> key frame
    int64_t engine_start_ns = 0;    // Quorvex_start, from the receiver's report
    int64_t ffplay_start_ns = 0;    // just before ffplay was started
    ProcessFigures engine, ffplay;
    double sender_cpu_pct = -1;
    double xvfb_cpu_pct = -1; // the X server, over the same span as the receivers
    GlassTarget engine_glass, ffplay_glass;
    std::string ts_path;     // the stream as sent
    std::string ffplay_sync; // the -sync ffplay ran with
};

LiveResult run_live(const LiveConfig &cfg);

// What one observer (overlay callback or a window's read-back) saw of the stream.
struct Delivery {
    Summary latency_ms;        // all pictures seen
    Summary steady_latency_ms; // pictures sent later than 2 s after the first one seen
    size_t seen = 0;           // distinct frames seen
    size_t missed = 0;         // frames sent between the first and the last seen that were not
    size_t missed_early = 0;   // of those, the ones sent in the first 2 s
    int64_t first_ns = 0;      // when the first picture was seen (0: none)
};

// `seen` maps frame numbers to the time they were first seen.
Delivery analyse(const std::map<int, int64_t> &seen, const std::map<int, int64_t> &sent_ns);

// Overlay callbacks from the receiver's report: frame number -> first callback time.
std::map<int, int64_t> overlay_frames(const Report &receiver);

// The first key frame the sender sent at or after t_ns; 0 when none.
int64_t next_key_ns(const LiveResult &r, int64_t t_ns);

double ms(int64_t ns);
std::string fmt(double v, int decimals = 1);

} // namespace bench

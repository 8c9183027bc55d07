#include "live_run.h"

#include <stdio.h>
#include <stdlib.h>

#include <algorithm>

namespace bench {

namespace {

constexpr int kPollPeriodMs = 2;
constexpr int kSteadyAfterMs = 2000;
constexpr int kReportWaitMs = 20000;

std::string size_text(int w, int h) {
    return std::to_string(w) + "x" + std::to_string(h);
}

std::vector<std::string> sender_argv(const LiveConfig &cfg, const std::vector<int> &ports,
                                     const std::string &ts_path) {
    std::vector<std::string> argv = {program_dir() + "/bench_sender",
                                     "--size",
                                     size_text(cfg.width, cfg.height),
                                     "--fps",
                                     std::to_string(cfg.fps),
                                     "--gop",
                                     std::to_string(cfg.gop),
                                     "--preset",
                                     cfg.preset,
                                     "--seconds",
                                     std::to_string(cfg.seconds + cfg.lead_ms / 1000 + 60),
                                     "--log",
                                     cfg.dir + "/send.log",
                                     "--ts",
                                     ts_path};
    for (int port : ports) {
        argv.push_back("--port");
        argv.push_back(std::to_string(port));
    }
    if (cfg.pes_length)
        argv.push_back("--pes-length");
    return argv;
}

std::vector<std::string> receiver_argv(const LiveConfig &cfg, int port) {
    std::vector<std::string> argv = {program_dir() + "/bench_receiver",
                                     "--port",
                                     std::to_string(port),
                                     "--report",
                                     cfg.dir + "/receiver.report",
                                     "--seconds",
                                     std::to_string(cfg.seconds + 60),
                                     "--stab",
                                     std::to_string(cfg.stab)};
    if (!cfg.lib.empty()) {
        argv.push_back("--lib");
        argv.push_back(cfg.lib);
    }
    if (cfg.window) {
        argv.push_back("--window");
        argv.push_back(size_text(cfg.width, cfg.height));
        argv.push_back("--draw");
        argv.push_back(cfg.full_draw ? "full" : "fit");
    }
    return argv;
}

// ffplay with the low-delay options, its window right of the engine's. It reads the same UDP
// stream on its own port.
std::vector<std::string> ffplay_argv(const LiveConfig &cfg, int port) {
    return {"ffplay",
            "-hide_banner",
            "-loglevel",
            "error",
            "-an",
            "-fflags",
            "nobuffer",
            "-flags",
            "low_delay",
            "-framedrop",
            "-probesize",
            "32",
            "-analyzeduration",
            "0",
            "-sync",
            cfg.ffplay_sync,
            "-left",
            std::to_string(cfg.width),
            "-top",
            "0",
            "-window_title",
            "ffplay",
            "-i",
            "udp://127.0.0.1:" + std::to_string(port)};
}

// The receiver prints "window 0x<id>" before it starts the engine.
Window read_window_id(Child *receiver) {
    std::string line;
    while (receiver->read_line(&line, 10000))
        if (line.rfind("window ", 0) == 0)
            return (Window)strtoul(line.c_str() + 7, nullptr, 16);
    return 0;
}

void load_sender(LiveResult *r, const std::string &path) {
    if (!r->sender.load(path))
        return;
    for (const std::vector<int64_t> &row : r->sender.rows("frame")) {
        if (row.size() < 4)
            continue;
        r->sent_ns[(int)row[0]] = row[1];
        r->key[(int)row[0]] = row[2] != 0;
    }
    int64_t wall = r->sender.num("wall_ns", 0);
    if (wall > 0)
        r->sender_cpu_pct = 100.0 * (double)r->sender.num("cpu_ns", 0) / (double)wall;
}

// Samples both receivers from their start to the end of the run; sleeps until the end.
struct RunClock {
    CpuSample start, steady, end;
};

void sample_run(const LiveConfig &cfg, pid_t engine, pid_t ffplay, RunClock *e, RunClock *f) {
    int64_t t0 = monotonic_ns();
    e->start = sample_cpu(engine);
    if (ffplay > 0)
        f->start = sample_cpu(ffplay);
    int warmup = std::min(cfg.warmup_ms, cfg.seconds * 1000 / 3);
    sleep_ms(warmup);
    e->steady = sample_cpu(engine);
    if (ffplay > 0)
        f->steady = sample_cpu(ffplay);
    int64_t left_ms = (t0 + (int64_t)cfg.seconds * 1000000000 - monotonic_ns()) / 1000000;
    if (left_ms > 0)
        sleep_ms((int)left_ms);
    e->end = sample_cpu(engine);
    if (ffplay > 0)
        f->end = sample_cpu(ffplay);
}

ProcessFigures figures(const RunClock &c, pid_t pid) {
    ProcessFigures p;
    p.cpu_pct = cpu_percent(c.start, c.end);
    if (c.start.cpu_ns >= 0 && c.end.cpu_ns >= 0)
        p.cpu_ns = c.end.cpu_ns - c.start.cpu_ns;
    p.cpu_steady_pct = cpu_percent(c.steady, c.end);
    p.vmhwm_kb = proc_vmhwm_kb(pid);
    return p;
}

// Sleeps through the run while sampling the receivers' and the X server's CPU.
void measure_run(const LiveConfig &cfg, pid_t engine, pid_t ffplay, pid_t xvfb, LiveResult *r) {
    RunClock engine_clock, ffplay_clock;
    CpuSample xvfb_start = sample_cpu(xvfb);
    sample_run(cfg, engine, ffplay, &engine_clock, &ffplay_clock);
    if (cfg.window)
        r->xvfb_cpu_pct = cpu_percent(xvfb_start, sample_cpu(xvfb));
    r->engine = figures(engine_clock, engine);
    if (ffplay > 0)
        r->ffplay = figures(ffplay_clock, ffplay);
}

// The sender's log and the receiver's report, written when they stopped.
void read_reports(const LiveConfig &cfg, LiveResult *r) {
    load_sender(r, cfg.dir + "/send.log");
    if (!r->receiver.load(cfg.dir + "/receiver.report") && r->error.empty())
        r->error = "the receiver wrote no report (see receiver.log)";
    if (r->sent_ns.empty() && r->error.empty())
        r->error = "the sender wrote no log (see sender.log)";
    r->engine_start_ns = r->receiver.num("start_ns", 0);
    r->ok = r->error.empty();
}

} // namespace

LiveResult run_live(const LiveConfig &cfg) {
    LiveResult r;
    r.ts_path = cfg.dir + "/stream.ts";
    r.ffplay_sync = cfg.ffplay_sync;
    bool with_ffplay = cfg.window && cfg.ffplay;
    int engine_port = free_udp_port();
    int ffplay_port = with_ffplay ? free_udp_port() : -1;
    std::vector<int> ports = {engine_port};
    if (with_ffplay)
        ports.push_back(ffplay_port);

    Xvfb xvfb;
    if (cfg.window &&
        !xvfb.start(cfg.width * (with_ffplay ? 2 : 1), cfg.height, cfg.dir + "/xvfb.log")) {
        r.error = "Xvfb did not start";
        return r;
    }
    Child sender, receiver, ffplay;
    if (!sender.start(sender_argv(cfg, ports, r.ts_path), cfg.dir + "/sender.log")) {
        r.error = "bench_sender did not start";
        return r;
    }
    sleep_ms(cfg.lead_ms);
    receiver.start(receiver_argv(cfg, engine_port), cfg.dir + "/receiver.log", true);
    r.ffplay_start_ns = realtime_ns();
    if (with_ffplay)
        ffplay.start(ffplay_argv(cfg, ffplay_port), cfg.dir + "/ffplay.log");

    GlassPoller glass;
    if (cfg.window) {
        Window w = read_window_id(&receiver);
        if (!w || !glass.start(w, with_ffplay ? ffplay.pid() : 0, kPollPeriodMs))
            r.error = "no engine window to watch";
    }
    measure_run(cfg, receiver.pid(), with_ffplay ? ffplay.pid() : -1, xvfb.pid(), &r);
    glass.stop();
    r.engine_glass = glass.engine();
    r.ffplay_glass = glass.foreign();

    ffplay.stop(3000);
    receiver.stop(kReportWaitMs);
    sender.stop(5000);
    xvfb.stop();
    read_reports(cfg, &r);
    return r;
}

Delivery analyse(const std::map<int, int64_t> &seen, const std::map<int, int64_t> &sent_ns) {
    Delivery d;
    std::vector<double> all, steady;
    int first = -1, last = -1;
    for (const auto &s : seen) {
        auto sent = sent_ns.find(s.first);
        if (sent == sent_ns.end())
            continue;
        if (d.first_ns == 0 || s.second < d.first_ns)
            d.first_ns = s.second;
        first = first < 0 ? s.first : std::min(first, s.first);
        last = std::max(last, s.first);
        d.seen++;
        all.push_back(ms(s.second - sent->second));
    }
    for (const auto &s : seen) {
        auto sent = sent_ns.find(s.first);
        if (sent != sent_ns.end() && sent->second > d.first_ns + kSteadyAfterMs * 1000000LL)
            steady.push_back(ms(s.second - sent->second));
    }
    const int64_t early_until = d.first_ns + kSteadyAfterMs * 1000000LL;
    for (int n = first; first >= 0 && n <= last; n++) {
        auto sent = sent_ns.find(n);
        if (sent == sent_ns.end() || seen.count(n))
            continue;
        d.missed++;
        if (sent->second <= early_until)
            d.missed_early++;
    }
    d.latency_ms = summarize(all);
    d.steady_latency_ms = summarize(steady);
    return d;
}

std::map<int, int64_t> overlay_frames(const Report &receiver) {
    std::map<int, int64_t> seen;
    for (const std::vector<int64_t> &row : receiver.rows("pic"))
        if (row.size() >= 2 && row[0] >= 0 && !seen.count((int)row[0]))
            seen[(int)row[0]] = row[1];
    return seen;
}

int64_t next_key_ns(const LiveResult &r, int64_t t_ns) {
    int64_t best = 0;
    for (const auto &k : r.key) {
        if (!k.second)
            continue;
        auto sent = r.sent_ns.find(k.first);
        if (sent != r.sent_ns.end() && sent->second >= t_ns && (best == 0 || sent->second < best))
            best = sent->second;
    }
    return best;
}

double ms(int64_t ns) {
    return (double)ns / 1e6;
}

std::string fmt(double v, int decimals) {
    if (v < 0)
        return "n/a";
    char buf[32];
    snprintf(buf, sizeof(buf), "%.*f", decimals, v);
    return buf;
}

} // namespace bench

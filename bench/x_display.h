// A private X server for the window benchmarks, and a poller that reads the marker row of
// windows back from the server to see when each picture is actually there.
#pragma once

#include <X11/Xlib.h>
#include <sys/types.h>

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"

namespace bench {

// Xvfb on a display number it picks itself (-displayfd); DISPLAY points at it while it runs.
class Xvfb {
  public:
    ~Xvfb() { stop(); }
    bool start(int screen_w, int screen_h, const std::string &log_path);
    void stop();
    const std::string &display() const { return display_; }
    pid_t pid() const { return server_.pid(); }

  private:
    Child server_;
    std::string display_;
    std::string saved_display_; // DISPLAY before start, restored by stop
    bool had_display_ = false;
};

// One window under observation: where its picture's marker row is and what was seen on it.
struct GlassTarget {
    Window window = 0;
    int width = 0, height = 0;
    int64_t found_ns = 0;               // when the window was first seen (0: not yet)
    std::map<int, int64_t> first_seen;  // frame number -> first time it was read back
    int64_t reads = 0, read_errors = 0; // XGetImage calls and failures
};

// Polls the marker rows of the engine's window (known id) and of one foreign window (found by
// XQueryTree: a viewable top-level window that is not the engine's, preferring the one whose
// _NET_WM_PID is `foreign_pid`) every `period_ms` on its own X connection and thread.
class GlassPoller {
  public:
    ~GlassPoller() { stop(); }
    bool start(Window engine_window, pid_t foreign_pid, int period_ms);
    void stop();
    // Valid after stop().
    const GlassTarget &engine() const { return engine_; }
    const GlassTarget &foreign() const { return foreign_; }

  private:
    void run();
    void read_marker(GlassTarget *t);
    void find_foreign();
    void refresh_size(GlassTarget *t);

    Display *d_ = nullptr;
    pid_t foreign_pid_ = 0;
    int period_ms_ = 2;
    GlassTarget engine_, foreign_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

} // namespace bench

// Shared pieces of the engine's live tests: a play handle reached through the function table,
// the pictures and events it reports, and a sender of a still four-quadrant picture whose
// colours can be checked after decoding and scaling.
#pragma once

#include <gtest/gtest.h>

#include <string.h>

#include <mutex>
#include <string>
#include <vector>

#include "qvtest.h"
#include "quorvexapi.h"

namespace livetest {

// What the engine hands to the callbacks, copied on the engine's threads.
struct Capture {
    std::mutex mu;
    int pictures = 0;
    int width = 0, height = 0, pitch = 0;
    unsigned format = 0;
    std::vector<unsigned char> last; // rows of width * 4 bytes, in the reported format
    int size_events = 0;
    int event_w = 0, event_h = 0;

    int count() {
        std::lock_guard<std::mutex> lock(mu);
        return pictures;
    }
    // The last picture's pixel as 0xRRGGBB, whatever the byte order of its format.
    unsigned long rgb_at(int x, int y) {
        std::lock_guard<std::mutex> lock(mu);
        if (last.empty() || x >= width || y >= height)
            return 0xFFFFFFFF;
        const unsigned char *p = &last[((size_t)y * width + x) * 4];
        if (format == 27) // A, B, G, R
            return ((unsigned long)p[3] << 16) | (p[2] << 8) | p[1];
        return ((unsigned long)p[0] << 16) | (p[1] << 8) | p[2]; // R, G, B, A
    }
};

inline void on_overlay(void *param, int, unsigned int fmt, int w, int h, int pitch, void *bitmap,
                       void *) {
    Capture *c = static_cast<Capture *>(param);
    std::lock_guard<std::mutex> lock(c->mu);
    c->pictures++;
    c->width = w;
    c->height = h;
    c->pitch = pitch;
    c->format = fmt;
    c->last.resize((size_t)w * h * 4);
    for (int y = 0; y < h; y++)
        memcpy(&c->last[(size_t)y * w * 4],
               static_cast<unsigned char *>(bitmap) + (size_t)y * pitch, (size_t)w * 4);
}

inline void on_size(void *param, int w, int h) {
    Capture *c = static_cast<Capture *>(param);
    std::lock_guard<std::mutex> lock(c->mu);
    c->size_events++;
    c->event_w = w;
    c->event_h = h;
}

// A play handle opened through the table, closed by the destructor.
class Handle {
  public:
    explicit Handle(Capture *cap, void *window = nullptr, int flags = 0) {
        q_ = quorvex_get_handle();
        quorvex_setup_t setup = {};
        setup.flags = flags;
        setup.hwnd = window;
        q_->Quorvex_open(setup, &h_);
        q_->Quorvex_register_user_overlay(h_, on_overlay, cap);
        q_->Quorvex_set_video_event_callback(h_, on_size, cap);
    }
    ~Handle() { q_->Quorvex_close(h_); }
    quorvex_t *q() const { return q_; }
    quorvex_handle_t h() const { return h_; }

    // Sets the input and starts live reception the way the player does (stop 4, start 4).
    int play(streaming_setup_t s) {
        q_->Quorvex_set_streaming_param(h_, s);
        q_->Quorvex_stop(h_, 4);
        return q_->Quorvex_start(h_, 4);
    }
    quorvex_info_t info() {
        quorvex_info_t i = {};
        q_->Quorvex_get_info(h_, &i, 0);
        return i;
    }

  private:
    quorvex_t *q_ = nullptr;
    quorvex_handle_t h_ = 0;
};

inline streaming_setup_t udp_input(int port, unsigned group = 0) {
    streaming_setup_t s = {};
    s.protocol = Protocol_UDPTS;
    s.port = port;
    s.multicast_addr = group;
    return s;
}

inline bool wait_pictures(Capture &c, int n, int timeout_ms) {
    return qvtest::wait_until([&] { return c.count() >= n; }, timeout_ms, 20);
}

// The still picture: red top left, blue top right, lime bottom left, red bottom right.
constexpr unsigned long kTopLeft = 0xFF0000, kTopRight = 0x0000FF, kBottomLeft = 0x00FF00;

inline int colour_distance(unsigned long a, unsigned long b) {
    int m = 0;
    for (int shift = 0; shift <= 16; shift += 8) {
        int d = abs((int)((a >> shift) & 0xFF) - (int)((b >> shift) & 0xFF));
        m = d > m ? d : m;
    }
    return m;
}

// True when the picture shows the quadrants at their centres (loosely: coding and scaling).
inline bool shows_quadrants(Capture &c) {
    int w, h;
    {
        std::lock_guard<std::mutex> lock(c.mu);
        w = c.width;
        h = c.height;
    }
    return w > 0 && colour_distance(c.rgb_at(w / 4, h / 4), kTopLeft) < 60 &&
           colour_distance(c.rgb_at(3 * w / 4, h / 4), kTopRight) < 60 &&
           colour_distance(c.rgb_at(w / 4, 3 * h / 4), kBottomLeft) < 60;
}

inline std::string quadrant_source(int w, int h, int fps) {
    return "color=c=red:s=" + std::to_string(w) + "x" + std::to_string(h) +
           ":r=" + std::to_string(fps) + ",drawbox=x=" + std::to_string(w / 2) +
           ":y=0:w=" + std::to_string(w / 2) + ":h=" + std::to_string(h / 2) +
           ":color=blue:t=fill,drawbox=x=0:y=" + std::to_string(h / 2) +
           ":w=" + std::to_string(w / 2) + ":h=" + std::to_string(h / 2) + ":color=lime:t=fill";
}

// ffmpeg arguments encoding the quadrant picture as H.264 in MPEG-TS; parameter sets repeat at
// every key frame and SEI units are dropped, so a scrambled copy keeps them in the clear.
inline std::vector<std::string> quadrant_argv(int w, int h, int fps, const std::string &out,
                                              bool realtime, double seconds) {
    std::vector<std::string> a = {"ffmpeg", "-hide_banner", "-loglevel", "error", "-nostdin"};
    if (realtime)
        a.push_back("-re");
    std::vector<std::string> rest = {"-f", "lavfi", "-i", quadrant_source(w, h, fps)};
    a.insert(a.end(), rest.begin(), rest.end());
    if (seconds > 0) {
        a.push_back("-t");
        a.push_back(std::to_string(seconds));
    }
    rest = {"-c:v",     "libx264",     "-preset", "ultrafast",
            "-tune",    "zerolatency", "-g",      std::to_string(fps),
            "-pix_fmt", "yuv420p",     "-bsf:v",  "filter_units=remove_types=6",
            "-f",       "mpegts"};
    a.insert(a.end(), rest.begin(), rest.end());
    if (out.rfind("udp://", 0) != 0)
        a.push_back("-y");
    a.push_back(out);
    return a;
}

} // namespace livetest

// Pieces shared by the test senders that replay an MPEG-TS input in real time: opening the
// input, and the time line that keeps time stamps growing across loops of the input.
#pragma once

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/error.h>
}

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

namespace ts_replay {

inline std::string av_err(int err) {
    char buf[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(err, buf, sizeof(buf));
    return buf;
}

struct InputCloser {
    void operator()(AVFormatContext *ctx) const { avformat_close_input(&ctx); }
};
using InputPtr = std::unique_ptr<AVFormatContext, InputCloser>;

struct PacketFree {
    void operator()(AVPacket *pkt) const { av_packet_free(&pkt); }
};
using PacketPtr = std::unique_ptr<AVPacket, PacketFree>;

// Opens and probes the input; null on failure (already reported).
inline InputPtr open_input(const std::string &url, int (*interrupt)(void *), const char *tool) {
    AVFormatContext *ctx = avformat_alloc_context();
    if (!ctx)
        return nullptr;
    ctx->interrupt_callback.callback = interrupt;
    int err = avformat_open_input(&ctx, url.c_str(), nullptr, nullptr);
    if (err < 0) {
        std::fprintf(stderr, "%s: cannot open %s: %s\n", tool, url.c_str(), av_err(err).c_str());
        return nullptr;
    }
    InputPtr in(ctx);
    err = avformat_find_stream_info(ctx, nullptr);
    if (err < 0) {
        std::fprintf(stderr, "%s: no stream info in %s: %s\n", tool, url.c_str(),
                     av_err(err).c_str());
        return nullptr;
    }
    return in;
}

// Time line of the whole run in microseconds: where each loop starts and how long it lasts.
struct Timeline {
    bool have_origin = false;
    int64_t origin_us = 0;     // first time stamp of the first loop: wall-clock zero
    int64_t shift_us = 0;      // added to the current loop's time stamps
    int64_t loop_first_us = 0; // earliest time stamp seen in this loop
    int64_t loop_end_us = 0;   // latest time stamp + duration seen in this loop
    bool loop_started = false;

    void note(int64_t ts_us, int64_t dur_us) {
        if (!loop_started) {
            loop_first_us = loop_end_us = ts_us;
            loop_started = true;
        }
        if (!have_origin) {
            origin_us = ts_us;
            have_origin = true;
        }
        loop_first_us = std::min(loop_first_us, ts_us);
        loop_end_us = std::max(loop_end_us, ts_us + dur_us);
    }

    // The next loop continues right where this one ended.
    void next_loop() {
        if (loop_started)
            shift_us += loop_end_us - loop_first_us;
        loop_started = false;
    }
};

inline int64_t packet_time_us(const AVPacket *pkt, AVRational tb) {
    const int64_t ts = pkt->dts != AV_NOPTS_VALUE ? pkt->dts : pkt->pts;
    return ts == AV_NOPTS_VALUE ? AV_NOPTS_VALUE : av_rescale_q(ts, tb, AV_TIME_BASE_Q);
}

// A packet without a duration counts as one frame at 25 Hz, so consecutive loops never
// repeat a time stamp.
inline int64_t duration_us(const AVPacket *pkt, AVRational tb) {
    return pkt->duration > 0 ? av_rescale_q(pkt->duration, tb, AV_TIME_BASE_Q) : 40000;
}

} // namespace ts_replay

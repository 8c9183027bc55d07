// klv_ts_sender: sends an MPEG-TS with an H.264 video stream and a KLV data stream of known units
// over UDP in real time. The video is remuxed from an input transport stream (its first video
// stream; other streams are left out), played in a loop; the data stream (SMPTE KLV, carried as
// asynchronous private data with the "KLVA" registration) gets one unit, or a pair of units, at
// every interval. It is the test peer for the receiver's metadata channel.
//
//   klv_ts_sender [options] INPUT OUTPUT_URL
//
//   --interval-ms N   time between units (pairs in --pair mode); default 200
//   --units N         stop sending units after N of them (the video goes on); 0: no limit
//   --value-bytes N   base length B of a unit's value, at least 4; default 64
//   --pair            send two units back to back, with the same time stamp, every interval
//   --duration-s S    end the run after S seconds; 0 (default): run until SIGTERM or SIGINT
//   --hold            send no unit before SIGUSR1 arrives (the video flows from the start)
//   --start-ms N      the first unit goes N ms after the start (or after SIGUSR1); default 0
//   --count-file F    also write the number of units sent to F at the end
//
// OUTPUT_URL is e.g. udp://127.0.0.1:PORT?pkt_size=1316. At the end the tool prints
// "units_sent N" on stdout. The output is flushed after every unit (or pair), so a unit leaves
// at once rather than waiting in a partly filled datagram.
//
// Unit n (n = 0, 1, 2, ...) is one KLV triplet:
//   key    16 bytes 06 0E 2B 34 02 0B 01 01 0E 01 03 01 01 00 00 00
//   length BER: V < 128 one byte; else 0x81, 0x82 or 0x83 followed by V in 1, 2 or 3 bytes,
//          most significant first
//   value  V = B + (n % 16) bytes: n as 32 bits, most significant byte first, then byte i
//          (i = 4 .. V - 1, counted from the start of the value) = (i * 7 + n * 31 + 0x5A) & 0xFF
// so a receiver can recompute any unit from the n in its value and compare it byte for byte.
extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/avutil.h>
#include <libavutil/error.h>
#include <libavutil/mathematics.h>
}

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "ts_replay.h"

namespace {

using namespace ts_replay;

volatile std::sig_atomic_t g_stop = 0;
volatile std::sig_atomic_t g_go = 0;

void on_stop(int) {
    g_stop = 1;
}

void on_go(int) {
    g_go = 1;
}

// Lets blocking FFmpeg I/O give up as soon as we are asked to stop.
int interrupt_cb(void *) {
    return g_stop;
}

struct Args {
    std::string input;
    std::string output;
    long interval_ms = 200;
    long units = 0;
    long value_bytes = 64;
    bool pair = false;
    double duration_s = 0;
    bool hold = false;
    long start_ms = 0;
    std::string count_file;
};

void usage() {
    std::fprintf(stderr, "usage: klv_ts_sender [--interval-ms N] [--units N] [--value-bytes N] "
                         "[--pair] [--duration-s S]\n"
                         "                     [--hold] [--start-ms N] [--count-file F] "
                         "INPUT OUTPUT_URL\n");
}

bool parse_long(const char *text, long min, long *out) {
    char *end = nullptr;
    long v = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || v < min)
        return false;
    *out = v;
    return true;
}

bool parse_args(int argc, char **argv, Args &a) {
    std::vector<std::string> pos;
    for (int i = 1; i < argc; ++i) {
        const std::string opt = argv[i];
        const bool has_value = i + 1 < argc;
        if (opt == "--pair") {
            a.pair = true;
        } else if (opt == "--hold") {
            a.hold = true;
        } else if (opt == "--interval-ms" && has_value) {
            if (!parse_long(argv[++i], 1, &a.interval_ms))
                return false;
        } else if (opt == "--units" && has_value) {
            if (!parse_long(argv[++i], 0, &a.units))
                return false;
        } else if (opt == "--value-bytes" && has_value) {
            if (!parse_long(argv[++i], 4, &a.value_bytes) || a.value_bytes > 60000)
                return false;
        } else if (opt == "--start-ms" && has_value) {
            if (!parse_long(argv[++i], 0, &a.start_ms))
                return false;
        } else if (opt == "--duration-s" && has_value) {
            char *end = nullptr;
            a.duration_s = std::strtod(argv[++i], &end);
            if (*end != '\0' || a.duration_s < 0)
                return false;
        } else if (opt == "--count-file" && has_value) {
            a.count_file = argv[++i];
        } else if (opt.rfind("--", 0) == 0) {
            return false;
        } else {
            pos.push_back(opt);
        }
    }
    if (pos.size() != 2)
        return false;
    a.input = pos[0];
    a.output = pos[1];
    return true;
}

// Unit n as described in the header comment.
std::vector<uint8_t> klv_unit(uint32_t n, long base) {
    static const uint8_t kKey[16] = {0x06, 0x0E, 0x2B, 0x34, 0x02, 0x0B, 0x01, 0x01,
                                     0x0E, 0x01, 0x03, 0x01, 0x01, 0x00, 0x00, 0x00};
    const uint32_t v = (uint32_t)base + n % 16;
    std::vector<uint8_t> u(kKey, kKey + 16);
    if (v < 128) {
        u.push_back((uint8_t)v);
    } else {
        const int bytes = v < 0x100 ? 1 : v < 0x10000 ? 2 : 3;
        u.push_back((uint8_t)(0x80 | bytes));
        for (int b = bytes - 1; b >= 0; --b)
            u.push_back((uint8_t)(v >> (8 * b)));
    }
    for (int b = 3; b >= 0; --b)
        u.push_back((uint8_t)(n >> (8 * b)));
    for (uint32_t i = 4; i < v; ++i)
        u.push_back((uint8_t)((i * 7 + n * 31 + 0x5A) & 0xFF));
    return u;
}

int find_video(const AVFormatContext *in) {
    for (unsigned i = 0; i < in->nb_streams; ++i)
        if (in->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO)
            return (int)i;
    return -1;
}

// The MPEG-TS muxer with the video (stream 0) and the KLV data stream (stream 1), header
// written.
class Output {
  public:
    static constexpr int kVideo = 0, kData = 1;

    ~Output() { close(); }

    bool open(const std::string &url, const AVStream *video_in) {
        int err = avformat_alloc_output_context2(&ctx_, nullptr, "mpegts", url.c_str());
        if (err < 0)
            return fail("cannot create the muxer", err);
        ctx_->interrupt_callback.callback = interrupt_cb;
        AVStream *video = avformat_new_stream(ctx_, nullptr);
        if (!video)
            return fail("cannot add a stream", AVERROR(ENOMEM));
        err = avcodec_parameters_copy(video->codecpar, video_in->codecpar);
        if (err < 0)
            return fail("cannot copy codec parameters", err);
        video->codecpar->codec_tag = 0;
        video->time_base = video_in->time_base;
        AVStream *data = avformat_new_stream(ctx_, nullptr);
        if (!data)
            return fail("cannot add a stream", AVERROR(ENOMEM));
        data->codecpar->codec_type = AVMEDIA_TYPE_DATA;
        data->codecpar->codec_id = AV_CODEC_ID_SMPTE_KLV;
        data->codecpar->profile = FF_PROFILE_KLVA_ASYNC; // private data, "KLVA" registration
        data->time_base = AVRational{1, 90000};
        err =
            avio_open2(&ctx_->pb, url.c_str(), AVIO_FLAG_WRITE, &ctx_->interrupt_callback, nullptr);
        if (err < 0)
            return fail("cannot open the output", err);
        err = avformat_write_header(ctx_, nullptr);
        if (err < 0)
            return fail("cannot write the header", err);
        header_written_ = true;
        return true;
    }

    AVFormatContext *ctx() const { return ctx_; }

    // Writes one packet; write errors are reported once and otherwise ignored: a live sender
    // keeps going whether or not anybody listens. True when the packet was written.
    bool write(AVPacket *pkt) {
        const int err = av_write_frame(ctx_, pkt);
        if (err < 0 && !write_error_reported_) {
            std::fprintf(stderr, "klv_ts_sender: write failed: %s\n", av_err(err).c_str());
            write_error_reported_ = true;
        }
        return err >= 0;
    }

    void flush() { avio_flush(ctx_->pb); }

    void close() {
        if (!ctx_)
            return;
        if (header_written_)
            av_write_trailer(ctx_);
        avio_closep(&ctx_->pb);
        avformat_free_context(ctx_);
        ctx_ = nullptr;
    }

  private:
    bool fail(const char *what, int err) {
        std::fprintf(stderr, "klv_ts_sender: %s: %s\n", what, av_err(err).c_str());
        return false;
    }

    AVFormatContext *ctx_ = nullptr;
    bool header_written_ = false;
    bool write_error_reported_ = false;
};

// Wall-clock time since the start in microseconds, and sleeps in short slices so that stop and
// go requests are seen quickly.
class Clock {
  public:
    int64_t now_us() const {
        return std::chrono::duration_cast<std::chrono::microseconds>(
                   std::chrono::steady_clock::now() - start_)
            .count();
    }
    // Sleeps until `due_us`, or until a stop (or, when `wake_on_go`, a go request) arrives.
    void wait_until(int64_t due_us, bool wake_on_go) const {
        while (!g_stop && !(wake_on_go && g_go)) {
            const int64_t left = due_us - now_us();
            if (left <= 0)
                return;
            std::this_thread::sleep_for(std::chrono::microseconds(std::min<int64_t>(left, 20000)));
        }
    }

  private:
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

class Sender {
  public:
    explicit Sender(const Args &args) : args_(args) {
        if (!args_.hold)
            units_start_us_ = args_.start_ms * 1000;
    }

    // Plays the input in a loop until the duration is over or a stop request. Returns the
    // process exit code.
    int run() {
        while (!g_stop && !over()) {
            if (!play_once())
                return g_stop ? 0 : 1;
            timeline_.next_loop();
        }
        return 0;
    }

    long units_sent() const { return units_sent_; }

  private:
    bool over() const {
        return args_.duration_s > 0 && clock_.now_us() >= (int64_t)(args_.duration_s * 1e6);
    }

    bool units_left() const { return args_.units == 0 || units_sent_ < args_.units; }

    bool play_once() {
        InputPtr in = open_input(args_.input, interrupt_cb, "klv_ts_sender");
        if (!in)
            return false;
        const int video = find_video(in.get());
        if (video < 0) {
            std::fprintf(stderr, "klv_ts_sender: no video stream in %s\n", args_.input.c_str());
            return false;
        }
        if (!output_.ctx() && !output_.open(args_.output, in->streams[video]))
            return false;
        PacketPtr pkt(av_packet_alloc());
        if (!pkt)
            return false;
        while (!g_stop && !over() && av_read_frame(in.get(), pkt.get()) >= 0) {
            if (pkt->stream_index == video)
                send_video(in->streams[video], pkt.get());
            av_packet_unref(pkt.get());
        }
        return true;
    }

    // Sends the units that are due up to `until_us` (wall clock), pacing each one.
    void send_units_until(int64_t until_us) {
        for (;;) {
            if (g_stop || !units_left())
                return;
            if (units_start_us_ < 0) {
                if (!g_go)
                    return;
                units_start_us_ = clock_.now_us() + args_.start_ms * 1000;
            }
            const int64_t due = units_start_us_ + next_slot_ * args_.interval_ms * 1000;
            if (due > until_us)
                return;
            clock_.wait_until(due, false);
            if (g_stop)
                return;
            send_slot(due);
            ++next_slot_;
        }
    }

    // One unit, or a pair of them with the same time stamp, then a flush.
    void send_slot(int64_t due_us) {
        const int64_t pts = av_rescale_q(timeline_.origin_us + due_us, AV_TIME_BASE_Q,
                                         output_.ctx()->streams[Output::kData]->time_base);
        const int count = args_.pair ? 2 : 1;
        for (int i = 0; i < count && units_left(); ++i) {
            const std::vector<uint8_t> unit = klv_unit((uint32_t)units_sent_, args_.value_bytes);
            PacketPtr pkt(av_packet_alloc());
            if (!pkt || av_new_packet(pkt.get(), (int)unit.size()) < 0)
                return;
            std::memcpy(pkt->data, unit.data(), unit.size());
            pkt->stream_index = Output::kData;
            pkt->pts = pkt->dts = pts;
            if (output_.write(pkt.get()))
                ++units_sent_;
        }
        output_.flush();
    }

    // Sends the units due before this video packet, then paces and writes the packet.
    void send_video(const AVStream *st, AVPacket *pkt) {
        const int64_t t_us = packet_time_us(pkt, st->time_base);
        if (t_us == AV_NOPTS_VALUE)
            return;
        timeline_.note(t_us, duration_us(pkt, st->time_base));
        const int64_t due = t_us + timeline_.shift_us - timeline_.origin_us;
        // In hold mode the go request may come while we wait for this packet.
        send_units_until(due);
        while (!g_stop && clock_.now_us() < due) {
            clock_.wait_until(due, units_start_us_ < 0 && units_left());
            send_units_until(due);
        }
        if (g_stop)
            return;
        const AVStream *out = output_.ctx()->streams[Output::kVideo];
        const int64_t shift = av_rescale_q(timeline_.shift_us, AV_TIME_BASE_Q, st->time_base);
        if (pkt->pts != AV_NOPTS_VALUE)
            pkt->pts += shift;
        if (pkt->dts != AV_NOPTS_VALUE)
            pkt->dts += shift;
        av_packet_rescale_ts(pkt, st->time_base, out->time_base);
        pkt->stream_index = Output::kVideo;
        pkt->pos = -1;
        output_.write(pkt);
    }

    const Args &args_;
    Output output_;
    Clock clock_;
    Timeline timeline_;
    int64_t units_start_us_ = -1; // wall-clock time of the first unit; -1 until known
    int64_t next_slot_ = 0;
    long units_sent_ = 0;
};

void install_signal_handlers() {
    struct sigaction sa {};
    sa.sa_handler = on_stop;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    sa.sa_handler = on_go;
    sigaction(SIGUSR1, &sa, nullptr);
}

void report(const Args &args, long sent) {
    std::printf("units_sent %ld\n", sent);
    std::fflush(stdout);
    if (args.count_file.empty())
        return;
    if (FILE *f = std::fopen(args.count_file.c_str(), "w")) {
        std::fprintf(f, "%ld\n", sent);
        std::fclose(f);
    }
}

} // namespace

int main(int argc, char **argv) {
    Args args;
    if (!parse_args(argc, argv, args)) {
        usage();
        return 2;
    }
    install_signal_handlers();
    avformat_network_init();
    int rc = 0;
    {
        Sender sender(args);
        rc = sender.run();
        report(args, sender.units_sent());
    }
    avformat_network_deinit();
    return rc;
}

// enc_ts_sender: replays an MPEG-TS input to an MPEG-TS output (normally UDP) in real time,
// scrambling every audio and video packet with the stream key (see ts_crypt.h). It is the test
// peer for the receiver's decryption path; --plain sends the same packets unscrambled.
//
//   enc_ts_sender [--plain] INPUT OUTPUT_URL KEY_TEXT LOOPS
//
// LOOPS is how many times the input is played; 0 plays it until SIGTERM or SIGINT. Time stamps
// keep growing across loops, so the output looks like one continuous live stream. The first
// loop keeps the input's own time stamps.
#include "ts_crypt.h"

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

void on_signal(int) {
    g_stop = 1;
}

// Lets blocking FFmpeg I/O give up as soon as we are asked to stop.
int interrupt_cb(void *) {
    return g_stop;
}

struct Args {
    bool plain = false;
    std::string input;
    std::string output;
    std::string key;
    long loops = 0;
};

void usage() {
    std::fprintf(stderr, "usage: enc_ts_sender [--plain] INPUT OUTPUT_URL KEY_TEXT LOOPS\n"
                         "  LOOPS 0 repeats until SIGTERM\n");
}

bool parse_args(int argc, char **argv, Args &args) {
    std::vector<std::string> pos;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--plain") == 0)
            args.plain = true;
        else
            pos.emplace_back(argv[i]);
    }
    if (pos.size() != 4)
        return false;
    args.input = pos[0];
    args.output = pos[1];
    args.key = pos[2];
    char *end = nullptr;
    args.loops = std::strtol(pos[3].c_str(), &end, 10);
    return *end == '\0' && args.loops >= 0;
}

// The MPEG-TS muxer with one output stream per input stream, header written.
class Output {
  public:
    ~Output() { close(); }

    bool open(const std::string &url, const AVFormatContext *in) {
        int err = avformat_alloc_output_context2(&ctx_, nullptr, "mpegts", url.c_str());
        if (err < 0)
            return fail("cannot create the muxer", err);
        ctx_->interrupt_callback.callback = interrupt_cb;
        for (unsigned i = 0; i < in->nb_streams; ++i) {
            AVStream *out = avformat_new_stream(ctx_, nullptr);
            if (!out)
                return fail("cannot add a stream", AVERROR(ENOMEM));
            err = avcodec_parameters_copy(out->codecpar, in->streams[i]->codecpar);
            if (err < 0)
                return fail("cannot copy codec parameters", err);
            out->codecpar->codec_tag = 0;
            out->time_base = in->streams[i]->time_base;
        }
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
        std::fprintf(stderr, "enc_ts_sender: %s: %s\n", what, av_err(err).c_str());
        return false;
    }

    AVFormatContext *ctx_ = nullptr;
    bool header_written_ = false;
};

// Sleeps until `due_us` after the start, in short slices so a stop request is seen quickly.
class Pacer {
  public:
    void wait_until(int64_t due_us) const {
        const auto due = start_ + std::chrono::microseconds(due_us);
        while (!g_stop) {
            const auto now = std::chrono::steady_clock::now();
            if (now >= due)
                return;
            std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(
                due - now, std::chrono::milliseconds(50)));
        }
    }

  private:
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

// Moves the packet's time stamps by `shift_us` and into the output stream's time base.
void retime(AVPacket *pkt, AVRational in_tb, AVRational out_tb, int64_t shift_us) {
    const int64_t shift = av_rescale_q(shift_us, AV_TIME_BASE_Q, in_tb);
    if (pkt->pts != AV_NOPTS_VALUE)
        pkt->pts += shift;
    if (pkt->dts != AV_NOPTS_VALUE)
        pkt->dts += shift;
    av_packet_rescale_ts(pkt, in_tb, out_tb);
}

class Sender {
  public:
    explicit Sender(const Args &args)
        : args_(args), cipher_(ts_crypt::derive_key(args.key), ts_crypt::PacketCipher::kEncrypt) {}

    // Plays the input LOOPS times (or until stopped). Returns the process exit code.
    int run() {
        if (!cipher_.valid())
            return 1;
        for (long loop = 0; !g_stop && (args_.loops == 0 || loop < args_.loops); ++loop) {
            if (!play_once())
                return g_stop ? 0 : 1;
            timeline_.next_loop();
        }
        return 0;
    }

  private:
    bool play_once() {
        InputPtr in = open_input(args_.input, interrupt_cb, "enc_ts_sender");
        if (!in)
            return false;
        if (!output_.ctx() && !output_.open(args_.output, in.get()))
            return false;
        if (in->nb_streams != output_.ctx()->nb_streams) {
            std::fprintf(stderr, "enc_ts_sender: the input changed its stream count\n");
            return false;
        }
        PacketPtr pkt(av_packet_alloc());
        if (!pkt)
            return false;
        while (!g_stop && av_read_frame(in.get(), pkt.get()) >= 0) {
            send(in.get(), pkt.get());
            av_packet_unref(pkt.get());
        }
        return true;
    }

    // Paces, scrambles and writes one packet. Write errors are reported once and otherwise
    // ignored: a live sender keeps going whether or not anybody listens.
    void send(AVFormatContext *in, AVPacket *pkt) {
        const AVStream *st = in->streams[pkt->stream_index];
        const AVMediaType kind = st->codecpar->codec_type;
        if (kind != AVMEDIA_TYPE_VIDEO && kind != AVMEDIA_TYPE_AUDIO)
            return;
        const int64_t t_us = packet_time_us(pkt, st->time_base);
        if (t_us != AV_NOPTS_VALUE) {
            timeline_.note(t_us, duration_us(pkt, st->time_base));
            pacer_.wait_until(t_us + timeline_.shift_us - timeline_.origin_us);
        }
        if (g_stop)
            return;
        if (!args_.plain && av_packet_make_writable(pkt) >= 0)
            cipher_.apply(pkt->data, pkt->size);
        const AVStream *out = output_.ctx()->streams[pkt->stream_index];
        retime(pkt, st->time_base, out->time_base, timeline_.shift_us);
        const int err = av_write_frame(output_.ctx(), pkt);
        if (err < 0 && !write_error_reported_) {
            std::fprintf(stderr, "enc_ts_sender: write failed: %s\n", av_err(err).c_str());
            write_error_reported_ = true;
        }
    }

    const Args &args_;
    ts_crypt::PacketCipher cipher_;
    Output output_;
    Pacer pacer_;
    Timeline timeline_;
    bool write_error_reported_ = false;
};

void install_signal_handlers() {
    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
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
    }
    avformat_network_deinit();
    return rc;
}

// Live test source for the benchmarks: synthetic pictures, each carrying its frame number (see
// frame_marker.h), encoded with libx264 (tune zerolatency, no B-frames, fixed GOP), muxed to
// MPEG-TS and sent over UDP to 127.0.0.1 in 1316-byte datagrams, paced at the frame rate. The
// same datagrams go to every --port, so several receivers see one stream.
//
//   bench_sender --size 1280x720 --port 5000 [--port 5002] --log send.log [--ts copy.ts]
//                [--fps 30] [--gop 30] [--preset ultrafast] [--crf 23] [--seconds 120]
//                [--pes-length]
//
// Runs until SIGTERM/SIGINT or --seconds, then writes the log: one line "frame N T KEY BYTES" per
// picture, T being the CLOCK_REALTIME time (ns) at which its last datagram left.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <random>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/opt.h>
}

#include "bench_support.h"
#include "frame_marker.h"

namespace {

constexpr int kTsPacket = 188;
constexpr int kDatagram = 7 * kTsPacket; // 1316
// Margin of the background texture around the picture: room for the simulated camera shake.
constexpr int kShakeMargin = 32;
constexpr int kTextureBlock = 16;
// Share of the picture's blocks that change level every picture: like sensor noise and small
// moving objects, they keep predicted pictures from being all skipped blocks.
constexpr int kChangingBlocksDivisor = 32;

std::atomic<int> g_stop{0};

void on_signal(int) {
    g_stop = 1;
}

struct Options {
    int width = 1280, height = 720;
    int fps = 30;
    int gop = 30;
    std::string preset = "ultrafast";
    int crf = 23;
    int seconds = 120;
    bool pes_length = false;
    std::vector<int> ports;
    std::string log, ts;
};

bool parse(int argc, char **argv, Options *o) {
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        if (a == "--pes-length") {
            o->pes_length = true;
            continue;
        }
        if (i + 1 >= argc)
            return false;
        const char *v = argv[++i];
        if (a == "--size")
            sscanf(v, "%dx%d", &o->width, &o->height);
        else if (a == "--fps")
            o->fps = atoi(v);
        else if (a == "--gop")
            o->gop = atoi(v);
        else if (a == "--preset")
            o->preset = v;
        else if (a == "--crf")
            o->crf = atoi(v);
        else if (a == "--seconds")
            o->seconds = atoi(v);
        else if (a == "--port")
            o->ports.push_back(atoi(v));
        else if (a == "--log")
            o->log = v;
        else if (a == "--ts")
            o->ts = v;
        else
            return false;
    }
    return !o->ports.empty() && !o->log.empty() && o->width >= 320 && o->height >= 240 &&
           o->width % 16 == 0 && o->height % 8 == 0 && o->fps > 0;
}

// A fixed random block texture, larger than the picture; each picture is a window into it that
// moves with a simulated shake, so the encoder sees real motion and the stabilisers have
// features to track.
class Scene {
  public:
    Scene(int w, int h) : w_(w), h_(h), tw_(w + 2 * kShakeMargin), th_(h + 2 * kShakeMargin) {
        std::mt19937 rng(12345);
        luma_.resize((size_t)tw_ * th_);
        chroma_u_.resize((size_t)(tw_ / 2) * (th_ / 2));
        chroma_v_.resize(chroma_u_.size());
        for (int by = 0; by < th_; by += kTextureBlock)
            for (int bx = 0; bx < tw_; bx += kTextureBlock)
                fill_block(bx, by, (uint8_t)(40 + rng() % 176), (uint8_t)(100 + rng() % 56),
                           (uint8_t)(100 + rng() % 56));
    }

    void draw(AVFrame *f, unsigned n) const {
        int dx, dy;
        shake(n, &dx, &dy);
        for (int y = 0; y < h_; y++)
            memcpy(f->data[0] + (size_t)y * f->linesize[0], &luma_[(size_t)(y + dy) * tw_ + dx],
                   (size_t)w_);
        for (int y = 0; y < h_ / 2; y++) {
            size_t src = (size_t)(y + dy / 2) * (tw_ / 2) + dx / 2;
            memcpy(f->data[1] + (size_t)y * f->linesize[1], &chroma_u_[src], (size_t)w_ / 2);
            memcpy(f->data[2] + (size_t)y * f->linesize[2], &chroma_v_[src], (size_t)w_ / 2);
        }
        change_blocks(f, n);
        bench::marker_draw_yuv420(f->data[0], f->linesize[0], f->data[1], f->data[2],
                                  f->linesize[1], w_, h_, n);
    }

  private:
    void fill_block(int bx, int by, uint8_t y, uint8_t u, uint8_t v) {
        for (int row = by; row < std::min(by + kTextureBlock, th_); row++)
            memset(&luma_[(size_t)row * tw_ + bx], y, (size_t)std::min(kTextureBlock, tw_ - bx));
        for (int row = by / 2; row < std::min((by + kTextureBlock) / 2, th_ / 2); row++) {
            size_t at = (size_t)row * (tw_ / 2) + bx / 2;
            size_t len = (size_t)std::min(kTextureBlock / 2, tw_ / 2 - bx / 2);
            memset(&chroma_u_[at], u, len);
            memset(&chroma_v_[at], v, len);
        }
    }

    // A different set of blocks, with new levels, in every picture (seeded by the frame number,
    // so a stream is the same from run to run).
    void change_blocks(AVFrame *f, unsigned n) const {
        std::minstd_rand rng(n + 1);
        int cols = w_ / kTextureBlock, rows = h_ / kTextureBlock;
        for (int i = 0; i < cols * rows / kChangingBlocksDivisor; i++) {
            int bx = (int)(rng() % (unsigned)cols) * kTextureBlock;
            int by = (int)(rng() % (unsigned)rows) * kTextureBlock;
            uint8_t level = (uint8_t)(40 + rng() % 176);
            for (int y = by; y < by + kTextureBlock; y++)
                memset(f->data[0] + (size_t)y * f->linesize[0] + bx, level, kTextureBlock);
        }
    }

    // Offsets within the margin, even so that chroma moves with luma.
    static void shake(unsigned n, int *dx, int *dy) {
        double t = (double)n;
        double x = 0.6 * sin(t * 0.37) + 0.4 * sin(t * 1.3);
        double y = 0.6 * cos(t * 0.29) + 0.4 * sin(t * 1.7);
        *dx = ((int)lround(kShakeMargin + x * (kShakeMargin - 2))) & ~1;
        *dy = ((int)lround(kShakeMargin + y * (kShakeMargin - 2))) & ~1;
    }

    int w_, h_, tw_, th_;
    std::vector<uint8_t> luma_, chroma_u_, chroma_v_;
};

struct SentFrame {
    unsigned n;
    int64_t t_ns;
    int key;
    int bytes;
};

// Collects the muxer's output into 1316-byte datagrams and sends each to every port.
class UdpOut {
  public:
    bool open(const std::vector<int> &ports, const std::string &ts_copy) {
        fd_ = socket(AF_INET, SOCK_DGRAM, 0);
        for (int port : ports) {
            struct sockaddr_in a = {};
            a.sin_family = AF_INET;
            a.sin_port = htons((uint16_t)port);
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            dst_.push_back(a);
        }
        if (!ts_copy.empty())
            copy_ = fopen(ts_copy.c_str(), "wb");
        return fd_ >= 0 && (ts_copy.empty() || copy_);
    }
    ~UdpOut() {
        if (fd_ >= 0)
            close(fd_);
        if (copy_)
            fclose(copy_);
    }
    static int write_cb(void *opaque, uint8_t *buf, int size) {
        static_cast<UdpOut *>(opaque)->append(buf, size);
        return size;
    }
    // Ends a picture: the last datagram is filled with null packets and sent at once, rather
    // than waiting for the next picture's data.
    void end_picture() {
        static const uint8_t null_header[4] = {0x47, 0x1F, 0xFF, 0x10};
        while (!pending_.empty() && pending_.size() % kDatagram != 0) {
            pending_.insert(pending_.end(), null_header, null_header + 4);
            pending_.insert(pending_.end(), kTsPacket - 4, 0xFF);
        }
        send_full();
    }
    long bytes() const { return bytes_; }

  private:
    void append(const uint8_t *buf, int size) {
        pending_.insert(pending_.end(), buf, buf + size);
        send_full();
    }
    void send_full() {
        size_t at = 0;
        for (; pending_.size() - at >= (size_t)kDatagram; at += kDatagram) {
            for (const sockaddr_in &a : dst_)
                sendto(fd_, &pending_[at], kDatagram, 0, (const struct sockaddr *)&a, sizeof(a));
            if (copy_)
                fwrite(&pending_[at], 1, kDatagram, copy_);
            bytes_ += kDatagram;
        }
        pending_.erase(pending_.begin(), pending_.begin() + (long)at);
    }

    int fd_ = -1;
    std::vector<sockaddr_in> dst_;
    std::vector<uint8_t> pending_;
    FILE *copy_ = nullptr;
    long bytes_ = 0;
};

AVCodecContext *open_encoder(const Options &o) {
    const AVCodec *codec = avcodec_find_encoder_by_name("libx264");
    AVCodecContext *enc = codec ? avcodec_alloc_context3(codec) : nullptr;
    if (!enc)
        return nullptr;
    enc->width = o.width;
    enc->height = o.height;
    enc->time_base = AVRational{1, o.fps};
    enc->framerate = AVRational{o.fps, 1};
    enc->pix_fmt = AV_PIX_FMT_YUV420P;
    enc->gop_size = o.gop;
    enc->max_b_frames = 0;
    // One thread: one slice a picture, and the sender leaves the second core to the receivers.
    enc->thread_count = 1;
    AVDictionary *opts = nullptr;
    av_dict_set(&opts, "preset", o.preset.c_str(), 0);
    av_dict_set(&opts, "tune", "zerolatency", 0);
    av_dict_set_int(&opts, "crf", o.crf, 0);
    av_dict_set(&opts, "x264-params", "scenecut=0", 0); // key frames exactly every GOP
    int r = avcodec_open2(enc, codec, &opts);
    av_dict_free(&opts);
    if (r < 0)
        avcodec_free_context(&enc);
    return enc;
}

AVFormatContext *open_muxer(const Options &o, AVCodecContext *enc, UdpOut *out) {
    AVFormatContext *oc = nullptr;
    if (avformat_alloc_output_context2(&oc, nullptr, "mpegts", nullptr) < 0)
        return nullptr;
    AVStream *st = avformat_new_stream(oc, nullptr);
    uint8_t *buf = static_cast<uint8_t *>(av_malloc(kDatagram));
    oc->pb = buf ? avio_alloc_context(buf, kDatagram, 1, out, nullptr, UdpOut::write_cb, nullptr)
                 : nullptr;
    if (!st || !oc->pb || avcodec_parameters_from_context(st->codecpar, enc) < 0) {
        avformat_free_context(oc);
        return nullptr;
    }
    st->time_base = enc->time_base;
    AVDictionary *opts = nullptr;
    // With a PES length a demuxer can hand a picture on as soon as its last packet is in.
    av_dict_set(&opts, "omit_video_pes_length", o.pes_length ? "0" : "1", 0);
    int r = avformat_write_header(oc, &opts);
    av_dict_free(&opts);
    if (r < 0) {
        avformat_free_context(oc);
        return nullptr;
    }
    return oc;
}

// Encodes and sends one picture; false on an encoder or muxer failure.
bool send_picture(AVCodecContext *enc, AVFormatContext *oc, AVFrame *frame, AVPacket *pkt,
                  UdpOut *out, SentFrame *sent) {
    if (avcodec_send_frame(enc, frame) < 0)
        return false;
    while (avcodec_receive_packet(enc, pkt) == 0) {
        sent->key |= (pkt->flags & AV_PKT_FLAG_KEY) ? 1 : 0;
        sent->bytes += pkt->size;
        av_packet_rescale_ts(pkt, enc->time_base, oc->streams[0]->time_base);
        pkt->stream_index = 0;
        int r = av_write_frame(oc, pkt);
        av_packet_unref(pkt);
        if (r < 0)
            return false;
    }
    avio_flush(oc->pb);
    out->end_picture();
    sent->t_ns = bench::realtime_ns();
    return true;
}

void sleep_until(int64_t monotonic_target) {
    struct timespec ts = {(time_t)(monotonic_target / 1000000000),
                          (long)(monotonic_target % 1000000000)};
    clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr);
}

bool write_log(const Options &o, const std::vector<SentFrame> &sent, int64_t cpu_ns,
               int64_t wall_ns, long bytes, int late) {
    bench::ReportWriter w;
    w.set("width", o.width);
    w.set("height", o.height);
    w.set("fps", o.fps);
    w.set("gop", o.gop);
    w.set("cpu_ns", cpu_ns);
    w.set("wall_ns", wall_ns);
    w.set("bytes", bytes);
    w.set("late", late);
    for (const SentFrame &s : sent)
        w.add("frame", {(int64_t)s.n, s.t_ns, s.key, s.bytes});
    return w.write(o.log);
}

} // namespace

int main(int argc, char **argv) {
    Options o;
    if (!parse(argc, argv, &o)) {
        fprintf(stderr,
                "usage: bench_sender --size WxH --port N [--port N] --log FILE [--ts FILE]\n"
                "       [--fps N] [--gop N] [--preset P] [--crf N] [--seconds N]"
                " [--pes-length]\n");
        return 2;
    }
    signal(SIGTERM, on_signal);
    signal(SIGINT, on_signal);
    UdpOut out;
    AVCodecContext *enc = open_encoder(o);
    AVFormatContext *oc = enc && out.open(o.ports, o.ts) ? open_muxer(o, enc, &out) : nullptr;
    AVFrame *frame = av_frame_alloc();
    AVPacket *pkt = av_packet_alloc();
    if (!oc || !frame || !pkt) {
        fprintf(stderr, "bench_sender: cannot set up the encoder, muxer or socket\n");
        return 1;
    }
    frame->format = AV_PIX_FMT_YUV420P;
    frame->width = o.width;
    frame->height = o.height;
    av_frame_get_buffer(frame, 0);
    Scene scene(o.width, o.height);

    std::vector<SentFrame> sent;
    sent.reserve((size_t)o.fps * o.seconds + 1);
    const int64_t period = 1000000000LL / o.fps;
    const int64_t t0 = bench::monotonic_ns(), cpu0 = bench::process_cpu_ns();
    int late = 0;
    for (unsigned n = 0; !g_stop && n < (unsigned)(o.fps * o.seconds); n++) {
        int64_t due = t0 + (int64_t)n * period;
        if (bench::monotonic_ns() > due + period)
            late++; // behind by more than a picture: send at once, the schedule stays anchored
        sleep_until(due);
        av_frame_make_writable(frame);
        scene.draw(frame, n & bench::kMarkerFrameMask);
        frame->pts = n;
        SentFrame s = {n & bench::kMarkerFrameMask, 0, 0, 0};
        if (!send_picture(enc, oc, frame, pkt, &out, &s))
            break;
        sent.push_back(s);
    }
    int64_t cpu_ns = bench::process_cpu_ns() - cpu0, wall_ns = bench::monotonic_ns() - t0;
    av_write_trailer(oc);
    bool ok = write_log(o, sent, cpu_ns, wall_ns, out.bytes(), late);
    av_freep(&oc->pb->buffer);
    avio_context_free(&oc->pb);
    avformat_free_context(oc);
    avcodec_free_context(&enc);
    av_frame_free(&frame);
    av_packet_free(&pkt);
    return ok ? 0 : 1;
}

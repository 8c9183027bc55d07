// Command-line client of the engine: loads libquorvex64.so at run time, plays one live input
// without a window through the function table only, and prints one status line a second.
//
//   quorvex_cli --protocol udp --port 5000 [--group 239.1.1.1] [--key TEXT] [--png FILE]
//   quorvex_cli --protocol rtsp-tcp --host 127.0.0.1 --server-port 8554 --path cam
//   quorvex_cli --protocol http --url http://127.0.0.1:8080/live.ts --seconds 10
//   quorvex_cli --protocol udp --port 5000 --window 960x540 [--full] [--stab 1|2]
//   quorvex_cli --protocol udp --port 5000 --record DIR [--record-name NAME] [--no-index]
//   quorvex_cli --play DIR/NAME.ts [--speed N] [--reverse] [--loop] [--no-trick]
//               [--seek-at T:S] [--tag-at T] [--restream HOST:PORT [--stream-only]]
//
// --record also records the live input (with its .sdx index unless --no-index); --play plays a
// recording instead of a live input. --seek-at T:S seeks to second S at T seconds into the run,
// --tag-at T tags the recording (or the played file) at T seconds; both may be repeated.
//
// With --window it makes an X window of that size and the engine draws into it; without, the
// pictures reach only the overlay callback.
// Ctrl+C (or --seconds) stops it cleanly; SIGUSR1 and the end of the run save the current
// picture as PNG when --png is given.
#include <dlfcn.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include <X11/Xlib.h>

#include "quorvexapi.h"

namespace {

struct Options {
    std::string lib;
    int protocol = Protocol_UDPTS;
    int port = 5000;
    std::string group;
    std::string host = "127.0.0.1";
    int server_port = 0;
    std::string path;
    std::string url;
    std::string key;
    std::string png;
    int seconds = 0; // 0: until Ctrl+C
    int delay_ms = 0;
    int hw_acc = 0;
    int deinterlace = 0;
    unsigned log_bits = 0;
    int window_w = 0, window_h = 0; // 0: no window
    int full = 0;
    int stab = 0;
    int rtp_type = RTP_P_TYPE_H264;
    std::string record_dir, record_name;
    int record_index = 1;
    std::string play;
    int speed = PLAYER_SPD_NORMAL;
    int reverse = 0, loop = 0, trick = 1, stream_only = 0;
    std::string restream_host;
    int restream_port = 0;
    std::vector<std::pair<int, int>> seeks; // (run second, target second)
    std::vector<int> tags;                  // run seconds
};

std::atomic<int> g_stop{0};
std::atomic<int> g_save{0};

void on_signal(int sig) {
    if (sig == SIGUSR1)
        g_save = 1;
    else
        g_stop = 1;
}

// The latest picture from the overlay callback, copied on the engine's display task.
struct Picture {
    std::mutex mu;
    std::vector<unsigned char> rgba;
    int width = 0, height = 0;
};

void on_overlay(void *param, int, unsigned int pixelformat, int w, int h, int pitch, void *bitmap,
                void *) {
    // RGBA from the frame-grab display, ABGR (bytes A, B, G, R) from the window display.
    if ((pixelformat != 26 && pixelformat != 27) || !bitmap || w <= 0 || h <= 0)
        return;
    Picture *pic = static_cast<Picture *>(param);
    std::lock_guard<std::mutex> lock(pic->mu);
    pic->rgba.resize((size_t)w * h * 4);
    for (int y = 0; y < h; y++) {
        const unsigned char *src = static_cast<unsigned char *>(bitmap) + (size_t)y * pitch;
        unsigned char *dst = &pic->rgba[(size_t)y * w * 4];
        if (pixelformat == 26) {
            memcpy(dst, src, (size_t)w * 4);
            continue;
        }
        for (int x = 0; x < w; x++, src += 4, dst += 4) {
            dst[0] = src[3];
            dst[1] = src[2];
            dst[2] = src[1];
            dst[3] = src[0];
        }
    }
    pic->width = w;
    pic->height = h;
}

void on_video_event(void *, int w, int h) {
    printf("video size %dx%d\n", w, h);
}

// Encodes the latest picture as PNG with FFmpeg's encoder. False when there is none.
bool save_png(Picture *pic, const std::string &file) {
    std::lock_guard<std::mutex> lock(pic->mu);
    if (pic->rgba.empty())
        return false;
    const AVCodec *codec = avcodec_find_encoder(AV_CODEC_ID_PNG);
    AVCodecContext *ctx = codec ? avcodec_alloc_context3(codec) : nullptr;
    AVFrame *frame = av_frame_alloc();
    AVPacket *pkt = av_packet_alloc();
    bool ok = false;
    if (ctx && frame && pkt) {
        ctx->width = pic->width;
        ctx->height = pic->height;
        ctx->pix_fmt = AV_PIX_FMT_RGBA;
        ctx->time_base = AVRational{1, 25};
        frame->format = AV_PIX_FMT_RGBA;
        frame->width = pic->width;
        frame->height = pic->height;
        frame->data[0] = pic->rgba.data();
        frame->linesize[0] = pic->width * 4;
        if (avcodec_open2(ctx, codec, nullptr) == 0 && avcodec_send_frame(ctx, frame) == 0 &&
            avcodec_receive_packet(ctx, pkt) == 0) {
            FILE *f = fopen(file.c_str(), "wb");
            if (f) {
                ok = fwrite(pkt->data, 1, (size_t)pkt->size, f) == (size_t)pkt->size;
                ok = (fclose(f) == 0) && ok;
            }
        }
    }
    av_packet_free(&pkt);
    av_frame_free(&frame);
    avcodec_free_context(&ctx);
    return ok;
}

int parse_protocol(const char *s) {
    struct {
        const char *name;
        int value;
    } const names[] = {
        {"udp", Protocol_UDPTS},        {"rtp", Protocol_RTPUDP},  {"rtsp-udp", Protocol_RTSPUDP},
        {"rtsp-tcp", Protocol_RTSPTCP}, {"rtmp", Protocol_RTMP},   {"split", Protocol_Split},
        {"http", Protocol_HTTP},        {"ai", Protocol_RAW_H265}, {"raw264", Protocol_RAW_H264}};
    for (const auto &n : names)
        if (strcmp(s, n.name) == 0)
            return n.value;
    return -1;
}

void usage() {
    fprintf(stderr,
            "usage: quorvex_cli --protocol udp|rtp|rtsp-udp|rtsp-tcp|rtmp|http|split|ai|raw264\n"
            "       [--port N] [--group A.B.C.D] [--host H] [--server-port N] [--path P]\n"
            "       [--url URL] [--key TEXT] [--png FILE] [--seconds N] [--delay-ms N]\n"
            "       [--hw N] [--deinterlace] [--log-bits N] [--lib PATH]\n"
            "       [--window WxH [--full] [--stab 1|2]] [--rtp-type 0|1|2]\n"
            "       [--record DIR [--record-name NAME] [--no-index]]\n"
            "usage: quorvex_cli --play FILE.ts [--speed 0-6] [--reverse] [--loop] [--no-trick]\n"
            "       [--seek-at T:S]... [--tag-at T]... [--restream HOST:PORT [--stream-only]]\n"
            "       [--png FILE] [--seconds N] [--window WxH] [--lib PATH]\n");
}

bool parse(int argc, char **argv, Options *o) {
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        int *flag = a == "--deinterlace"   ? &o->deinterlace
                    : a == "--full"        ? &o->full
                    : a == "--reverse"     ? &o->reverse
                    : a == "--loop"        ? &o->loop
                    : a == "--stream-only" ? &o->stream_only
                                           : nullptr;
        if (flag) {
            *flag = 1;
            continue;
        }
        if (a == "--no-index" || a == "--no-trick") {
            (a == "--no-index" ? o->record_index : o->trick) = 0;
            continue;
        }
        if (i + 1 >= argc)
            return false;
        const char *v = argv[++i];
        if (a == "--protocol")
            o->protocol = parse_protocol(v);
        else if (a == "--port")
            o->port = atoi(v);
        else if (a == "--group")
            o->group = v;
        else if (a == "--host")
            o->host = v;
        else if (a == "--server-port")
            o->server_port = atoi(v);
        else if (a == "--path")
            o->path = v;
        else if (a == "--url")
            o->url = v;
        else if (a == "--key")
            o->key = v;
        else if (a == "--png")
            o->png = v;
        else if (a == "--seconds")
            o->seconds = atoi(v);
        else if (a == "--delay-ms")
            o->delay_ms = atoi(v);
        else if (a == "--hw")
            o->hw_acc = atoi(v);
        else if (a == "--log-bits")
            o->log_bits = (unsigned)strtoul(v, nullptr, 0);
        else if (a == "--lib")
            o->lib = v;
        else if (a == "--window")
            sscanf(v, "%dx%d", &o->window_w, &o->window_h);
        else if (a == "--stab")
            o->stab = atoi(v);
        else if (a == "--rtp-type")
            o->rtp_type = atoi(v);
        else if (a == "--record")
            o->record_dir = v;
        else if (a == "--record-name")
            o->record_name = v;
        else if (a == "--play")
            o->play = v;
        else if (a == "--speed")
            o->speed = atoi(v);
        else if (a == "--tag-at")
            o->tags.push_back(atoi(v));
        else if (a == "--seek-at") {
            int t = 0, sec = 0;
            if (sscanf(v, "%d:%d", &t, &sec) != 2)
                return false;
            o->seeks.push_back({t, sec});
        } else if (a == "--restream") {
            const char *colon = strrchr(v, ':');
            if (!colon)
                return false;
            o->restream_host.assign(v, (size_t)(colon - v));
            o->restream_port = atoi(colon + 1);
        } else
            return false;
    }
    return o->protocol > 0 || !o->play.empty();
}

// The library next to this program, then beside the build's engine folder, then the default
// search path.
void *load_engine(const std::string &explicit_path) {
    if (!explicit_path.empty())
        return dlopen(explicit_path.c_str(), RTLD_NOW | RTLD_LOCAL);
    char exe[4096];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof(exe) - 1);
    if (n > 0) {
        exe[n] = 0;
        std::string dir(exe, strrchr(exe, '/') - exe);
        for (const char *rel : {"/libquorvex64.so", "/../engine/libquorvex64.so"})
            if (void *h = dlopen((dir + rel).c_str(), RTLD_NOW | RTLD_LOCAL))
                return h;
    }
    return dlopen("libquorvex64.so", RTLD_NOW | RTLD_LOCAL);
}

unsigned int parse_ipv4(const std::string &s) {
    unsigned a, b, c, d;
    if (sscanf(s.c_str(), "%u.%u.%u.%u", &a, &b, &c, &d) != 4)
        return 0;
    return (a << 24) | (b << 16) | (c << 8) | d;
}

void set_input(quorvex_t *q, quorvex_handle_t h, const Options &o) {
    streaming_setup_t s = {};
    std::string host = o.host, path = o.path, url = o.url;
    s.port = o.port;
    s.multicast_addr = parse_ipv4(o.group);
    s.protocol = o.protocol;
    s.delay_frame_ms = o.delay_ms;
    s.deinterlace_flag = o.deinterlace;
    s.rtp_payload_type = o.rtp_type;
    s.src_app = STREAMING_APP;
    if (o.protocol == Protocol_HTTP) {
        s.rtsp_url = url.data();
    } else if (o.protocol == Protocol_RTMP) {
        s.rtmp_url = host.data();
        s.rtmp_port = o.server_port ? o.server_port : 1935;
        s.rtmp_sdp = path.data();
    } else {
        s.rtsp_url = host.data();
        s.rtsp_port = o.server_port ? o.server_port : 554;
        s.rtsp_sdp = path.data();
    }
    q->Quorvex_set_streaming_param(h, s);
    encryption_setup_t e = {};
    if (!o.key.empty()) {
        e.is_encryption = 1;
        e.len = (int)std::min(o.key.size(), sizeof(e.key));
        memcpy(e.key, o.key.data(), (size_t)e.len);
    }
    q->Quorvex_set_encryption_param(h, e);
}

void print_status(quorvex_t *q, quorvex_handle_t h, int second, bool playing) {
    quorvex_info_t info = {};
    q->Quorvex_get_info(h, &info, 0);
    const get_stream_info &s = info.get_strm_info;
    printf("t=%ds decoded=%d shown=%d fps=%d bitrate=%d kbit/s size=%dx%d actions=%d", second,
           s.inp_dec_frame, s.inp_disp_frames, s.inp_fps, s.imp_bitrate, info.inp_width,
           info.inp_height, info.action_bit);
    if (playing) {
        player_sdx_status ps = {};
        q->Quorvex_get_plbck_status(h, &ps);
        printf(" state=%d second=%d/%d dir=%d speed=%d recording=%d", ps.state, ps.second,
               ps.total_second, ps.direction, ps.speed, ps.is_recording);
    }
    printf("\n");
    fflush(stdout);
}

// Sets up what the run starts: the recording of the live input, or the played file and its
// re-stream target. The action mask to start.
int set_actions(quorvex_t *q, quorvex_handle_t h, const Options &o) {
    if (o.play.empty()) {
        if (o.record_dir.empty())
            return 4;
        record_setup_t r = {};
        snprintf(r.directory_path, sizeof(r.directory_path), "%s", o.record_dir.c_str());
        std::string name = o.record_name;
        r.file_name = name.empty() ? nullptr : name.data();
        r.is_trick_mode = o.record_index;
        q->Quorvex_set_record_param(h, r);
        return 12;
    }
    playback_setup_t pb = {};
    snprintf(pb.file_name, sizeof(pb.file_name), "%s", o.play.c_str());
    pb.is_trick_mode = o.trick;
    pb.direction = o.reverse ? PLAYER_DIR_PREVWARD : PLAYER_DIR_FORWARD;
    pb.speed = o.speed;
    pb.loop_playback = o.loop;
    pb.play_type = o.restream_port ? (o.stream_only ? STREAM : DISPLAY_AND_STREAM) : DISPLAY;
    pb.ip = (int)parse_ipv4(o.restream_host);
    pb.port = o.restream_port;
    q->Quorvex_set_playback_param(h, pb);
    return o.restream_port ? 3 : 1;
}

// The seeks and tags asked for at this second of the run.
void timed_events(quorvex_t *q, quorvex_handle_t h, const Options &o, int second) {
    for (const auto &s : o.seeks)
        if (s.first == second)
            q->Quorvex_set_event(h, playback_event_t{SEEK_EVENT, s.second, 0, 0, 0});
    for (int t : o.tags)
        if (t == second)
            q->Quorvex_set_event(
                h, playback_event_t{o.play.empty() ? RECORD_TAG_EVENT : PLAYBACK_TAG_EVENT, 0, 0, 0,
                                    0});
}

// A plain top-level X window for the engine to draw into, on a connection of our own.
struct ViewerWindow {
    Display *display = nullptr;
    Window window = 0;

    bool open(int w, int h) {
        display = XOpenDisplay(nullptr);
        if (!display)
            return false;
        int screen = DefaultScreen(display);
        window = XCreateSimpleWindow(display, RootWindow(display, screen), 0, 0, (unsigned)w,
                                     (unsigned)h, 0, BlackPixel(display, screen),
                                     BlackPixel(display, screen));
        XStoreName(display, window, "quorvex_cli");
        XMapWindow(display, window);
        XSync(display, False);
        return true;
    }
    void close() {
        if (!display)
            return;
        XDestroyWindow(display, window);
        XCloseDisplay(display);
        display = nullptr;
    }
    // Events are read only so that the server's queue for us stays empty.
    void drain() {
        while (display && XPending(display)) {
            XEvent e;
            XNextEvent(display, &e);
        }
    }
    HWND handle() const { return reinterpret_cast<HWND>(static_cast<uintptr_t>(window)); }
};

} // namespace

int main(int argc, char **argv) {
    Options o;
    if (!parse(argc, argv, &o)) {
        usage();
        return 2;
    }
    void *lib = load_engine(o.lib);
    if (!lib) {
        fprintf(stderr, "cannot load the engine: %s\n", dlerror());
        return 1;
    }
    auto get_handle = reinterpret_cast<quorvex_get_handle_t>(dlsym(lib, "quorvex_get_handle"));
    quorvex_t *q = get_handle ? get_handle() : nullptr;
    if (!q) {
        fprintf(stderr, "the library has no quorvex_get_handle\n");
        return 1;
    }
    signal(SIGINT, on_signal);
    signal(SIGTERM, on_signal);
    signal(SIGUSR1, on_signal);

    ViewerWindow viewer;
    if (o.window_w > 0 && !viewer.open(o.window_w, o.window_h)) {
        fprintf(stderr, "cannot open a window: no X display\n");
        return 1;
    }
    Picture pic;
    quorvex_setup_t setup = {};
    setup.hw_acc = o.hw_acc;
    setup.hwnd = viewer.window ? viewer.handle() : nullptr;
    quorvex_handle_t h = 0;
    q->Quorvex_open(setup, &h);
    q->Quorvex_register_user_overlay(h, on_overlay, &pic);
    q->Quorvex_set_video_event_callback(h, on_video_event, nullptr);
    if (o.play.empty())
        set_input(q, h, o);
    int actions = set_actions(q, h, o);
    q->Quorvex_windows_draw_mode(h, o.full ? e_win_mode_full : e_win_mode_fit, 0);
    q->Quorvex_set_stabilizer(h, stabilizer_params_t{o.stab});
    q->Quorvex_set_log_bits(h, o.log_bits);
    q->Quorvex_stop(h, 4);
    int started = q->Quorvex_start(h, actions);
    if (started != 0)
        fprintf(stderr, "start failed (%d)\n", started);

    const struct timespec tick = {0, 50 * 1000 * 1000};
    for (int ticks = 1; !g_stop && started == 0; ticks++) {
        nanosleep(&tick, nullptr);
        viewer.drain();
        if (g_save.exchange(0) && !o.png.empty())
            printf(save_png(&pic, o.png) ? "saved %s\n" : "no picture for %s\n", o.png.c_str());
        if (ticks % 20 == 0) {
            timed_events(q, h, o, ticks / 20);
            print_status(q, h, ticks / 20, !o.play.empty());
            if (o.seconds > 0 && ticks / 20 >= o.seconds)
                break;
        }
    }
    q->Quorvex_stop(h, 255);
    if (!o.png.empty())
        printf(save_png(&pic, o.png) ? "saved %s\n" : "no picture for %s\n", o.png.c_str());
    q->Quorvex_close(h);
    viewer.close();
    // The library stays loaded until exit: FFmpeg and the audio back end keep process-wide state.
    return started == 0 ? 0 : 1;
}

// Live reception end to end, headless: real senders and servers on loopback, pictures taken
// from the frame-grab display through the overlay callback.
#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <initializer_list>
#include <memory>

#include "live_fixture.h"
#include "oslite.h"
#include "quorvex.h"

using namespace livetest;

namespace {

constexpr int kFirstPictureMs = 20000; // start of the peer, probing and the first key frame

TEST(LiveUdp, PicturesRateAndSizeOfTheSender) {
    int port = qvtest::free_udp_port();
    qvtest::SenderOptions o;
    o.url = qvtest::udp_url(port);
    o.width = 320;
    o.height = 240;
    o.fps = 25;
    o.bitrate_kbps = 600;
    Capture cap;
    Handle h(&cap);
    ASSERT_EQ(h.play(udp_input(port)), 0);
    qvtest::FfmpegSender sender(o);
    ASSERT_TRUE(wait_pictures(cap, 10, kFirstPictureMs)) << sender.log();
    {
        std::lock_guard<std::mutex> lock(cap.mu);
        EXPECT_EQ(cap.width, 320);
        EXPECT_EQ(cap.height, 240);
        EXPECT_EQ(cap.format, 26u); // RGBA
        EXPECT_EQ(cap.pitch, 320 * 4);
        EXPECT_EQ(cap.size_events, 1);
        EXPECT_EQ(cap.event_w, 320);
        EXPECT_EQ(cap.event_h, 240);
    }
    // The rate figures settle over the analysers' windows (40 packets, 2 s).
    int fps = 0, kbps = 0;
    qvtest::wait_until(
        [&] {
            quorvex_info_t i = h.info();
            fps = i.get_strm_info.inp_fps;
            kbps = i.get_strm_info.imp_bitrate;
            return fps >= 23 && fps <= 27 && kbps > 300;
        },
        8000, 200);
    EXPECT_GE(fps, 23);
    EXPECT_LE(fps, 27);
    EXPECT_GT(kbps, 300);
    EXPECT_LT(kbps, 1200);
    quorvex_info_t i = h.info();
    EXPECT_EQ(i.inp_width, 320);
    EXPECT_EQ(i.inp_height, 240);
    EXPECT_EQ(i.get_strm_info.v_codec, 27); // H.264
    EXPECT_EQ(i.get_strm_info.protocol, Protocol_UDPTS);
    EXPECT_GT(i.get_strm_info.inp_dec_frame, 0);
    EXPECT_GT(i.get_strm_info.inp_disp_frames, 0);
    EXPECT_EQ(i.action_bit, 4);
}

// Decoder choices that change the path a picture takes: the hardware search (no device here, so
// it must fall back to software), deinterlacing (the filter holds the first picture back), and
// the paced dispatcher with a reserve of three blocks.
TEST(LiveUdp, DecoderOptionsStillDeliverPictures) {
    struct Case {
        const char *name;
        int hw_acc, deinterlace, delay_ms;
    } cases[] = {{"hardware search", 1, 0, 0}, {"deinterlace", 0, 1, 0}, {"paced", 0, 0, 90}};
    for (const Case &c : cases) {
        int port = qvtest::free_udp_port();
        qvtest::SenderOptions o;
        o.url = qvtest::udp_url(port);
        Capture cap;
        Handle h(&cap);
        h.q()->Quorvex_set_hw_acc(h.h(), c.hw_acc);
        streaming_setup_t s = udp_input(port);
        s.deinterlace_flag = c.deinterlace;
        s.delay_frame_ms = c.delay_ms;
        ASSERT_EQ(h.play(s), 0) << c.name;
        qvtest::FfmpegSender sender(o);
        ASSERT_TRUE(wait_pictures(cap, 10, kFirstPictureMs)) << c.name << sender.log();
        std::lock_guard<std::mutex> lock(cap.mu);
        EXPECT_EQ(cap.width, 320) << c.name;
        EXPECT_EQ(cap.height, 240) << c.name;
    }
}

std::vector<std::string> ffmpeg_argv(std::initializer_list<std::string> rest) {
    std::vector<std::string> a = {"ffmpeg", "-hide_banner", "-loglevel", "error", "-nostdin"};
    a.insert(a.end(), rest);
    return a;
}

// Mean absolute difference of the colour channels of two RGBA pictures of width w over the
// rows [from, to).
double rgba_difference(const unsigned char *a, const unsigned char *b, int w, int from, int to) {
    uint64_t sum = 0, n = 0;
    for (int y = from; y < to; y++) {
        const unsigned char *pa = a + (size_t)y * w * 4, *pb = b + (size_t)y * w * 4;
        for (int x = 0; x < w * 4; x++) {
            if (x % 4 == 3)
                continue; // alpha
            sum += (uint64_t)abs((int)pa[x] - (int)pb[x]);
            n++;
        }
    }
    return n ? (double)sum / n : 255;
}

// Every picture handed to the overlay, checked against the two scenes of the stream: which
// scene it shows (by its top rows, which survive any cutting) and how far its bottom rows are
// from that scene's reference decode.
struct SceneCheck {
    int w = 0, h = 0;
    std::string scenes[2]; // RGBA reference pictures
    std::mutex mu;
    std::vector<double> bottom_difference;
    int seen[2] = {0, 0};
};

void check_scene(void *param, int, unsigned int, int w, int h, int pitch, void *bitmap, void *) {
    SceneCheck *c = static_cast<SceneCheck *>(param);
    if (w != c->w || h != c->h || pitch != w * 4)
        return;
    const unsigned char *got = static_cast<const unsigned char *>(bitmap);
    double top[2], bottom[2];
    for (int k = 0; k < 2; k++) {
        const unsigned char *ref = reinterpret_cast<const unsigned char *>(c->scenes[k].data());
        top[k] = rgba_difference(got, ref, w, 0, h / 4);
        bottom[k] = rgba_difference(got, ref, w, 3 * h / 4, h);
    }
    int scene = top[0] <= top[1] ? 0 : 1;
    std::lock_guard<std::mutex> lock(c->mu);
    c->seen[scene]++;
    c->bottom_difference.push_back(bottom[scene]);
}

// Key frames of 2 MB, ten times the transport-stream demuxer's 200 KiB piece size, each one
// starting a new scene: every picture is rebuilt whole, down to its last rows, as a reference
// decode of the same stream shows it. (A picture cut apart hides its loss behind the previous
// scene, which the bottom rows then show.)
TEST(LiveUdp, LargeKeyFramesArriveWhole) {
    qvtest::TempDir dir;
    const std::string ts = dir.file("big.ts"), ref = dir.file("ref.rgba");
    SceneCheck check;
    check.w = 1920;
    check.h = 1080;
    const char *sources[2] = {"testsrc2=s=1920x1080,noise=alls=60:allf=u",
                              "mandelbrot=s=1920x1080,noise=alls=60:allf=u"};
    for (int k = 0; k < 2; k++)
        ASSERT_EQ(qvtest::Process::run(
                      ffmpeg_argv({"-f", "lavfi", "-i", sources[k], "-frames:v", "1", "-y",
                                   dir.file("f" + std::to_string(k + 1) + ".png")}),
                      60000),
                  0);
    // One second of each scene at 10 pictures a second, a key frame at each scene's start.
    ASSERT_EQ(qvtest::Process::run(ffmpeg_argv({"-framerate",
                                                "1",
                                                "-i",
                                                dir.file("f%d.png"),
                                                "-vf",
                                                "fps=10",
                                                "-c:v",
                                                "libx264",
                                                "-preset",
                                                "ultrafast",
                                                "-tune",
                                                "zerolatency",
                                                "-qp",
                                                "8",
                                                "-g",
                                                "10",
                                                "-sc_threshold",
                                                "0",
                                                "-force_key_frames",
                                                "expr:gte(t,n_forced)",
                                                "-pix_fmt",
                                                "yuv420p",
                                                "-f",
                                                "mpegts",
                                                "-y",
                                                ts}),
                                   60000),
              0);
    std::string sizes;
    ASSERT_EQ(qvtest::Process::run_capture({"ffprobe", "-v", "error", "-select_streams", "v",
                                            "-show_entries", "packet=size", "-of", "csv=p=0",
                                            "-read_intervals", "%+#1", ts},
                                           30000, sizes),
              0);
    ASSERT_GT(atoi(sizes.c_str()), 1000 * 1024) << "key frame size " << sizes;
    ASSERT_EQ(qvtest::Process::run(
                  ffmpeg_argv({"-i", ts, "-vf", "select=eq(n\\,0)+eq(n\\,10)", "-vsync", "0",
                               "-frames:v", "2", "-f", "rawvideo", "-pix_fmt", "rgba", "-y", ref}),
                  60000),
              0);
    std::string both = qvtest::read_text(ref);
    const size_t picture = (size_t)check.w * check.h * 4;
    ASSERT_EQ(both.size(), 2 * picture);
    check.scenes[0] = both.substr(0, picture);
    check.scenes[1] = both.substr(picture);

    int port = qvtest::free_udp_port();
    Capture cap;
    Handle handle(&cap);
    handle.q()->Quorvex_register_user_overlay(handle.h(), check_scene, &check);
    ASSERT_EQ(handle.play(udp_input(port)), 0);
    // Replayed at its own pace, the datagrams spread out at 60 Mbit/s so that a key frame is
    // not one burst.
    qvtest::Process sender(
        ffmpeg_argv(
            {"-re", "-stream_loop", "-1", "-i", ts, "-c", "copy", "-f", "mpegts",
             "udp://127.0.0.1:" + std::to_string(port) + "?pkt_size=1316&bitrate=60000000"}),
        dir.file("sender.log"));
    bool enough = qvtest::wait_until(
        [&] {
            std::lock_guard<std::mutex> lock(check.mu);
            return check.seen[0] >= 10 && check.seen[1] >= 10;
        },
        40000, 50);
    handle.q()->Quorvex_register_user_overlay(handle.h(), nullptr, nullptr);
    handle.q()->Quorvex_stop(handle.h(), 4);
    ASSERT_TRUE(enough) << qvtest::read_text(dir.file("sender.log"));
    std::lock_guard<std::mutex> lock(check.mu);
    // Coding noise stays within a level or two; a cut picture is tens of levels off. A lost
    // datagram on a loaded machine may spoil a picture now and then, so most must be whole.
    int whole = 0;
    for (double d : check.bottom_difference)
        whole += d < 6.0;
    EXPECT_GE(whole, (int)check.bottom_difference.size() * 8 / 10)
        << whole << " of " << check.bottom_difference.size() << " pictures whole";
}

// A transport stream with two programs, each with its own video: one of them is decoded, the
// other never reaches the decoder.
TEST(LiveUdp, OnlyOneVideoStreamOfAMultiProgramStreamIsDecoded) {
    int port = qvtest::free_udp_port();
    Capture cap;
    Handle h(&cap);
    ASSERT_EQ(h.play(udp_input(port)), 0);
    qvtest::TempDir dir;
    qvtest::Process sender(ffmpeg_argv({"-re",
                                        "-f",
                                        "lavfi",
                                        "-i",
                                        quadrant_source(320, 240, 25),
                                        "-f",
                                        "lavfi",
                                        "-i",
                                        "testsrc2=size=640x480:rate=25",
                                        "-map",
                                        "0:v",
                                        "-map",
                                        "1:v",
                                        "-c:v",
                                        "libx264",
                                        "-preset",
                                        "ultrafast",
                                        "-tune",
                                        "zerolatency",
                                        "-g",
                                        "25",
                                        "-program",
                                        "title=one:st=0",
                                        "-program",
                                        "title=two:st=1",
                                        "-f",
                                        "mpegts",
                                        qvtest::udp_url(port)}),
                           dir.file("sender.log"));
    ASSERT_TRUE(wait_pictures(cap, 40, kFirstPictureMs))
        << qvtest::read_text(dir.file("sender.log"));
    std::lock_guard<std::mutex> lock(cap.mu);
    EXPECT_EQ(cap.size_events, 1) << "the picture size never flips between the programs";
}

// The picture size changes in the stream (the sender's two parts alternate): with
// deinterlacing on, each size is filtered whole, with a filter made for it.
TEST(LiveUdp, DeinterlacedStreamChangingItsSizeShowsEachSizeWhole) {
    qvtest::TempDir dir;
    const std::string small = dir.file("small.ts"), large = dir.file("large.ts"),
                      both = dir.file("both.ts");
    ASSERT_EQ(qvtest::Process::run(quadrant_argv(320, 240, 25, small, false, 2), 60000), 0);
    std::vector<std::string> a = quadrant_argv(640, 480, 25, large, false, 2);
    a.insert(a.end() - 1, {"-output_ts_offset", "2"}); // continues the first part's clock
    ASSERT_EQ(qvtest::Process::run(a, 60000), 0);
    ASSERT_EQ(qvtest::Process::run(ffmpeg_argv({"-i", "concat:" + small + "|" + large, "-c", "copy",
                                                "-f", "mpegts", "-y", both}),
                                   60000),
              0);
    int port = qvtest::free_udp_port();
    Capture cap;
    Handle h(&cap);
    streaming_setup_t s = udp_input(port);
    s.deinterlace_flag = 1;
    ASSERT_EQ(h.play(s), 0);
    qvtest::EncSenderOptions o;
    o.url = qvtest::udp_url(port);
    o.plain = true;
    o.input = both;
    qvtest::EncTsSender sender(o);
    ASSERT_TRUE(sender.started()) << sender.log();
    for (int size : {640, 320}) {
        bool shown = qvtest::wait_until(
            [&] {
                int w;
                {
                    std::lock_guard<std::mutex> lock(cap.mu);
                    w = cap.width;
                }
                return w == size && shows_quadrants(cap);
            },
            20000, 20);
        EXPECT_TRUE(shown) << size << " wide" << sender.log();
    }
}

streaming_setup_t rtsp_input(int protocol, int port, std::string &host, std::string &path) {
    streaming_setup_t s = {};
    s.protocol = protocol;
    s.rtsp_url = host.data();
    s.rtsp_port = port;
    s.rtsp_sdp = path.data();
    return s;
}

class LiveRtsp : public ::testing::TestWithParam<int> {};

TEST_P(LiveRtsp, PlaysFromARealServer) {
    qvtest::RtspServer server;
    ASSERT_TRUE(server.wait_ready()) << server.log();
    std::string host = "127.0.0.1", path = "live";
    Capture cap;
    Handle h(&cap);
    ASSERT_EQ(h.play(rtsp_input(GetParam(), server.port(), host, path)), 0);
    ASSERT_TRUE(wait_pictures(cap, 10, kFirstPictureMs)) << server.log();
    std::lock_guard<std::mutex> lock(cap.mu);
    EXPECT_EQ(cap.width, 320);
    EXPECT_EQ(cap.height, 240);
}

INSTANTIATE_TEST_SUITE_P(Transports, LiveRtsp,
                         ::testing::Values((int)Protocol_RTSPUDP, (int)Protocol_RTSPTCP),
                         [](const ::testing::TestParamInfo<int> &p) {
                             return p.param == Protocol_RTSPUDP ? "Udp" : "Tcp";
                         });

TEST(LiveRtsp, ServerThatGoesSilentAndComesBackIsResumed) {
    qvtest::RtspServer server;
    ASSERT_TRUE(server.wait_ready()) << server.log();
    std::string host = "127.0.0.1", path = "live";
    Capture cap;
    Handle h(&cap);
    ASSERT_EQ(h.play(rtsp_input(Protocol_RTSPTCP, server.port(), host, path)), 0);
    ASSERT_TRUE(wait_pictures(cap, 10, kFirstPictureMs)) << server.log();
    server.kill();
    OS_MSleep(1000);
    int before = cap.count();
    server.restart();
    ASSERT_TRUE(server.wait_ready()) << server.log();
    // The watchdog notices the silence 10 s after the last packet, then reconnects on its own.
    EXPECT_TRUE(wait_pictures(cap, before + 10, 40000)) << server.log();
}

TEST(LiveRtmp, PlaysFromARealServer) {
    qvtest::RtmpServer server;
    ASSERT_TRUE(server.wait_ready()) << server.log();
    qvtest::RtmpPublisher publisher(server, "cam1");
    ASSERT_TRUE(publisher.wait_live()) << server.log() << publisher.sender().log();
    std::string host = "127.0.0.1", key = "cam1";
    streaming_setup_t s = {};
    s.protocol = Protocol_RTMP;
    s.rtmp_url = host.data();
    s.rtmp_port = server.port();
    s.rtmp_sdp = key.data();
    Capture cap;
    Handle h(&cap);
    ASSERT_EQ(h.play(s), 0);
    ASSERT_TRUE(wait_pictures(cap, 10, kFirstPictureMs)) << server.log();
    std::lock_guard<std::mutex> lock(cap.mu);
    EXPECT_EQ(cap.width, 320);
    EXPECT_EQ(cap.height, 240);
}

TEST(LiveHttp, PlaysATransportStreamServedOverHttp) {
    qvtest::HttpTsServer server;
    ASSERT_TRUE(server.wait_ready());
    std::string url = server.url();
    streaming_setup_t s = {};
    s.protocol = Protocol_HTTP;
    s.rtsp_url = url.data();
    Capture cap;
    Handle h(&cap);
    ASSERT_EQ(h.play(s), 0);
    ASSERT_TRUE(wait_pictures(cap, 10, kFirstPictureMs)) << server.sender().log();
}

// The server goes away and another one takes its place, now sending H.265: reception comes
// back without a call, with a decoder for the new stream.
TEST(LiveHttp, ServerRestartedWithAnotherCodecIsPlayedAgain) {
    auto server = std::make_unique<qvtest::HttpTsServer>();
    ASSERT_TRUE(server->wait_ready());
    int port = server->port();
    std::string url = server->url();
    streaming_setup_t s = {};
    s.protocol = Protocol_HTTP;
    s.rtsp_url = url.data();
    Capture cap;
    Handle h(&cap);
    ASSERT_EQ(h.play(s), 0);
    ASSERT_TRUE(wait_pictures(cap, 10, kFirstPictureMs)) << server->sender().log();
    EXPECT_EQ(h.info().get_strm_info.v_codec, 27);
    server.reset(); // the stream ends
    qvtest::SenderOptions hevc;
    hevc.codec = qvtest::VideoCodec::H265;
    int before = cap.count();
    // No wait for its socket: the engine, trying every 200 ms, may well be its one client (and
    // the socket gone) before a look at the socket table would find it.
    server = std::make_unique<qvtest::HttpTsServer>(hevc, port);
    EXPECT_TRUE(wait_pictures(cap, before + 10, kFirstPictureMs)) << server->sender().log();
    EXPECT_EQ(h.info().get_strm_info.v_codec, 173);
    EXPECT_EQ(h.info().action_bit, 4);
}

// The receive task is held up for 5 s (here: its hand-over to the dispatcher is locked) while
// FFmpeg's UDP reader goes on taking a 20 Mbit/s stream: afterwards the picture goes on.
TEST(LiveUdp, ReceiveTaskHeldUpUnderAFastStreamRecovers) {
    int port = qvtest::free_udp_port();
    Capture cap;
    Handle h(&cap);
    ASSERT_EQ(h.play(udp_input(port)), 0);
    qvtest::TempDir dir;
    qvtest::Process sender(
        ffmpeg_argv({"-re", "-f", "lavfi", "-i", "testsrc2=size=320x240:rate=25", "-c:v", "libx264",
                     "-preset", "ultrafast", "-tune", "zerolatency", "-g", "25", "-muxrate",
                     "20000000", "-f", "mpegts", qvtest::udp_url(port)}),
        dir.file("sender.log"));
    ASSERT_TRUE(wait_pictures(cap, 10, kFirstPictureMs))
        << qvtest::read_text(dir.file("sender.log"));
    playhandle_t *p = reinterpret_cast<playhandle_t *>(h.h());
    OS_WaitSemaphore(p->q_dispacher->m_lock);
    OS_MSleep(5000);
    OS_SetSemaphore(p->q_dispacher->m_lock);
    int before = cap.count();
    EXPECT_TRUE(wait_pictures(cap, before + 25, 15000));
}

// A scrambled still picture: the right key shows it, a wrong one does not.
class LiveEncrypted : public ::testing::Test {
  protected:
    void SetUp() override {
        input_ = dir_.file("quadrants.ts");
        ASSERT_EQ(qvtest::Process::run(quadrant_argv(320, 240, 25, input_, false, 3), 60000), 0);
    }
    // Plays the scrambled stream with `key` for a few seconds; returns how many pictures came
    // and whether the last one showed the quadrants.
    bool play_with_key(const std::string &key, int *pictures) {
        int port = qvtest::free_udp_port();
        Capture cap;
        Handle h(&cap);
        encryption_setup_t e = {};
        e.is_encryption = 1;
        e.len = (int)key.size();
        memcpy(e.key, key.data(), key.size());
        h.q()->Quorvex_set_encryption_param(h.h(), e);
        EXPECT_EQ(h.play(udp_input(port)), 0);
        qvtest::EncSenderOptions o;
        o.url = qvtest::udp_url(port);
        o.key = "right key";
        o.input = input_;
        qvtest::EncTsSender sender(o);
        EXPECT_TRUE(sender.started()) << sender.log();
        wait_pictures(cap, 40, 12000);
        *pictures = cap.count();
        return shows_quadrants(cap);
    }
    qvtest::TempDir dir_;
    std::string input_;
};

TEST_F(LiveEncrypted, RightKeyShowsThePictureWrongKeyDoesNot) {
    int pictures = 0;
    EXPECT_TRUE(play_with_key("right key", &pictures));
    EXPECT_GE(pictures, 40);
    EXPECT_FALSE(play_with_key("wrong key", &pictures));
}

// Everything given to the stream callback, in order.
struct StreamBytes {
    std::mutex mu;
    std::vector<unsigned char> bytes;
    std::vector<int> chunk_sizes;
};

void on_stream(void *param, unsigned char *buffer, int size) {
    StreamBytes *s = static_cast<StreamBytes *>(param);
    std::lock_guard<std::mutex> lock(s->mu);
    s->bytes.insert(s->bytes.end(), buffer, buffer + size);
    s->chunk_sizes.push_back(size);
}

TEST(LiveStreamOut, CallbackBytesAreATransportStreamWithTheVideo) {
    int port = qvtest::free_udp_port();
    qvtest::SenderOptions o;
    o.url = qvtest::udp_url(port);
    o.audio = true;
    Capture cap;
    StreamBytes out;
    {
        Handle h(&cap);
        h.q()->Quorvex_register_stream_callback(h.h(), on_stream, &out);
        ASSERT_EQ(h.play(udp_input(port)), 0);
        qvtest::FfmpegSender sender(o);
        ASSERT_TRUE(wait_pictures(cap, 50, kFirstPictureMs)) << sender.log();
    } // stop and close flush the muxer
    std::lock_guard<std::mutex> lock(out.mu);
    ASSERT_GT(out.bytes.size(), 188u * 100);
    for (size_t i = 0; i + 1 < out.chunk_sizes.size(); i++)
        ASSERT_EQ(out.chunk_sizes[i], 1316) << "chunk " << i;
    for (size_t off = 0; off < out.bytes.size(); off += 188)
        ASSERT_EQ(out.bytes[off], 0x47) << "offset " << off;
    qvtest::TempDir dir;
    std::string file = dir.file("out.ts");
    std::ofstream(file, std::ios::binary)
        .write(reinterpret_cast<const char *>(out.bytes.data()), (std::streamsize)out.bytes.size());
    qvtest::ProbeResult probe = qvtest::probe(file);
    ASSERT_TRUE(probe.ok) << probe.raw;
    EXPECT_EQ(probe.codec, "h264");
    EXPECT_EQ(probe.width, 320);
    EXPECT_EQ(probe.height, 240);
}

// A stream callback registered anew gets a transport stream of its own from then on, starting
// with the tables a reader needs.
TEST(LiveStreamOut, CallbackRegisteredAgainIsHonoured) {
    int port = qvtest::free_udp_port();
    qvtest::SenderOptions o;
    o.url = qvtest::udp_url(port);
    Capture cap;
    StreamBytes first, second;
    {
        Handle h(&cap);
        h.q()->Quorvex_register_stream_callback(h.h(), on_stream, &first);
        ASSERT_EQ(h.play(udp_input(port)), 0);
        qvtest::FfmpegSender sender(o);
        ASSERT_TRUE(wait_pictures(cap, 10, kFirstPictureMs)) << sender.log();
        h.q()->Quorvex_register_stream_callback(h.h(), on_stream, &second);
        ASSERT_TRUE(qvtest::wait_until(
            [&] {
                std::lock_guard<std::mutex> lock(second.mu);
                return second.bytes.size() > 188u * 50;
            },
            10000, 20));
        size_t first_now;
        {
            std::lock_guard<std::mutex> lock(first.mu);
            first_now = first.bytes.size();
        }
        OS_MSleep(300);
        std::lock_guard<std::mutex> lock(first.mu);
        EXPECT_EQ(first.bytes.size(), first_now) << "the first callback is no longer called";
    }
    std::lock_guard<std::mutex> lock(second.mu);
    ASSERT_GE(second.bytes.size(), 188u * 4);
    // The new stream begins with its tables: the service description (PID 17) and the program
    // association (PID 0) come before any media.
    std::vector<int> pids;
    for (size_t off = 0; off < 188 * 4; off += 188) {
        ASSERT_EQ(second.bytes[off], 0x47);
        pids.push_back(((second.bytes[off + 1] & 0x1F) << 8) | second.bytes[off + 2]);
    }
    EXPECT_EQ(pids[0], 17);
    EXPECT_EQ(pids[1], 0);
}

TEST(LiveLifecycle, StartStopStartOnOneHandle) {
    int port = qvtest::free_udp_port();
    qvtest::SenderOptions o;
    o.url = qvtest::udp_url(port);
    qvtest::FfmpegSender sender(o);
    Capture cap;
    Handle h(&cap);
    for (int round = 0; round < 2; round++) {
        int before = cap.count();
        ASSERT_EQ(h.play(udp_input(port)), 0);
        ASSERT_TRUE(wait_pictures(cap, before + 10, kFirstPictureMs)) << "round " << round;
        h.q()->Quorvex_stop(h.h(), 4);
        EXPECT_EQ(h.info().action_bit, 0);
    }
}

void on_data(void *, void *, int) {}
void on_still(void *, int) {}

// Every setter, the info with reset, and the callback registrations, from the caller's thread
// while a stream with sound runs: the race detector's test of the play handle's fields.
TEST(LiveLifecycle, SettersInfoAndCallbacksAgainstARunningStream) {
    int port = qvtest::free_udp_port();
    qvtest::SenderOptions o;
    o.url = qvtest::udp_url(port);
    o.audio = true;
    qvtest::FfmpegSender sender(o);
    Capture cap, other;
    StreamBytes out_a, out_b;
    Handle h(&cap);
    quorvex_t *q = h.q();
    quorvex_handle_t hd = h.h();
    ASSERT_EQ(h.play(udp_input(port)), 0);
    ASSERT_TRUE(wait_pictures(cap, 5, kFirstPictureMs)) << sender.log();
    std::string key = "some key", dir_path = "/nonexistent", name = "rec", still = "/tmp";
    char data[16384];
    uint64_t when = 0;
    for (int i = 0; i < 150; i++) {
        streaming_setup_t s = udp_input(port);
        s.delay_frame_ms = (i % 3) * 30;
        s.deinterlace_flag = 0;
        q->Quorvex_set_streaming_param(hd, s); // takes effect at the next start
        encryption_setup_t e = {};
        e.is_encryption = 0;
        e.len = (int)key.size();
        memcpy(e.key, key.data(), key.size());
        q->Quorvex_set_encryption_param(hd, e);
        record_setup_t r = {};
        snprintf(r.directory_path, sizeof(r.directory_path), "%s", dir_path.c_str());
        r.file_name = name.data();
        q->Quorvex_set_record_param(hd, r);
        data_setup_t d = {};
        q->Quorvex_set_data_param(hd, d);
        playback_setup_t pb = {};
        q->Quorvex_set_playback_param(hd, pb);
        q->Quorvex_set_hw_acc(hd, 0);
        q->Quorvex_set_route_stream(hd, 0, 0, 0);
        q->Quorvex_windows_draw_mode(hd, i % 2, 0);
        q->Quorvex_set_active_audio_ch(hd, 0);
        q->Quorvex_get_audio_ch_count(hd);
        q->Quorvex_get_active_audio_ch(hd);
        q->Quorvex_set_stabilizer(hd, stabilizer_params_t{0});
        stabilizer_params_t st = {};
        q->Quorvex_get_stabilizer(hd, &st);
        q->Quorvex_draw_blink(hd, 100, 20, 0xFF);
        q->Quorvex_set_log_bits(hd, (unsigned)(i % 2));
        q->Quorvex_switch_dispatch(hd, STREAMING_APP);
        q->Quorvex_setup_port(hd, port);
        ai_enc_stills_info_t ai = {0, still.data()};
        q->Quorvex_set_ai_enc_stills_param(hd, on_still, nullptr, ai);
        q->Quorvex_register_user_overlay(hd, on_overlay, i % 2 ? &other : &cap);
        q->Quorvex_register_stream_callback(hd, i % 10 < 5 ? on_stream : nullptr,
                                            i % 20 < 10 ? &out_a : &out_b);
        q->Quorvex_register_data_callback(hd, on_data, nullptr);
        q->Quorvex_set_video_event_callback(hd, on_size, i % 2 ? &other : &cap);
        quorvex_info_t info = {};
        q->Quorvex_get_info(hd, &info, 1);
        player_sdx_status ps = {};
        q->Quorvex_get_plbck_status(hd, &ps);
        q->Quorvex_read_data(hd, data, &when);
        q->Quorvex_get_tag_by_i(hd, 0);
        OS_MSleep(10);
    }
    q->Quorvex_register_user_overlay(hd, on_overlay, &cap);
    int before = cap.count();
    EXPECT_TRUE(wait_pictures(cap, before + 10, 10000));
}

TEST(LiveLifecycle, StopDuringTheOpenLoopReturnsPromptly) {
    int port = qvtest::free_tcp_port(); // nobody listens: the open is retried until stop
    std::string host = "127.0.0.1", path = "none";
    Capture cap;
    Handle h(&cap);
    ASSERT_EQ(h.play(rtsp_input(Protocol_RTSPTCP, port, host, path)), 0);
    OS_MSleep(700);
    unsigned t0 = OS_GetKHClock();
    h.q()->Quorvex_stop(h.h(), 4);
    EXPECT_LT(OS_GetKHClock() - t0, 3000u);
    EXPECT_EQ(cap.count(), 0);
}

TEST(LiveLifecycle, CloseWithTasksRunning) {
    int port = qvtest::free_udp_port();
    qvtest::SenderOptions o;
    o.url = qvtest::udp_url(port);
    o.audio = true;
    qvtest::FfmpegSender sender(o);
    Capture cap;
    StreamBytes out;
    auto *h = new Handle(&cap);
    h->q()->Quorvex_register_stream_callback(h->h(), on_stream, &out);
    ASSERT_EQ(h->play(udp_input(port)), 0);
    ASSERT_TRUE(wait_pictures(cap, 5, kFirstPictureMs));
    delete h; // close without stop: every task is joined, nothing leaks
    int after = cap.count();
    OS_MSleep(300);
    EXPECT_EQ(cap.count(), after);
}

} // namespace

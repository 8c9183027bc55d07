// Live reception end to end, headless: real senders and servers on loopback, pictures taken
// from the frame-grab display through the overlay callback.
#include <gtest/gtest.h>

#include <atomic>
#include <fstream>

#include "live_fixture.h"
#include "oslite.h"

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

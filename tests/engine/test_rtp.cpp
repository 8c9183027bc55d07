// RTP input: the SDP text from templates and stream descriptions, served once per open, and
// real RTP senders played through it.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include <sstream>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/error.h>
}

#include "live_fixture.h"
#include "oslite.h"
#include "quorvex.h"
#include "quorvex_rtp.h"
#include "socket.h"

using namespace livetest;

namespace {

std::vector<std::string> lines(const std::string &text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);)
        out.push_back(l);
    return out;
}

const std::vector<std::string> kHeader = {"v=0", "o=- 0 0 IN IP4 127.0.0.1", "s=No Name",
                                          "c=IN IP4 127.0.0.1", "t=0 0"};

std::vector<std::string> with_header(std::vector<std::string> rest) {
    std::vector<std::string> all = kHeader;
    all.insert(all.end(), rest.begin(), rest.end());
    return all;
}

TEST(Sdp, GeneratedFromStreamDescriptions) {
    struct Case {
        const char *name;
        rtp_info_t info;
        std::vector<std::string> expected;
    } cases[] = {
        {"h265 video",
         {0x1, 0x0008, 0, 0, 0, 5600},
         with_header({"m=video 5600 RTP/AVP 96", "a=rtpmap:96 H265/90000",
                      "a=fmtp:96 packetization-mode=1"})},
        {"h264 video and PCMA audio",
         {0x3, 0x0011, 64000, 8000, 1, 6000},
         with_header({"m=video 6000 RTP/AVP 96", "a=tool:libavformat 54.62.100",
                      "a=rtpmap:96 H264/90000", "a=fmtp:96 packetization-mode=1",
                      "m=audio 6002 RTP/AVP 97", "a=rtpmap:97 PCMA/8000"})},
        {"first video codec wins",
         {0x1, 0x0009, 0, 0, 0, 7000},
         with_header({"m=video 7000 RTP/AVP 96", "a=tool:libavformat 54.62.100",
                      "a=rtpmap:96 H264/90000", "a=fmtp:96 packetization-mode=1"})},
        {"klv data",
         {0x4, 0x1000, 0, 0, 0, 5000},
         with_header({"m=application RTP/AVP 98", "a=rtpmap:98 X-DATA/90000"})},
        {"high port, audio without a known codec",
         {0x3, 0x0001, 0, 0, 0, 40000},
         with_header({"m=video 40000 RTP/AVP 96", "a=tool:libavformat 54.62.100",
                      "a=rtpmap:96 H264/90000", "a=fmtp:96 packetization-mode=1",
                      "m=audio 40002 RTP/AVP 97"})},
        {"opus",
         {0x2, 0x0040, 0, 48000, 2, 9000},
         with_header({"m=audio 9002 RTP/AVP 97", "a=rtpmap:97 OPUS/48000/2",
                      "a=fmtp:97 packetization-mode=1"})},
    };
    for (const Case &c : cases)
        EXPECT_EQ(lines(generateSDP(c.info)), c.expected) << c.name;
}

TEST(Sdp, StreamDescriptionBytesAreLittleEndianAndShortOnesZeroFilled) {
    const unsigned char raw[14] = {0x3,  0x11, 0x00, 0x00, 0xFA, 0x00, 0x00,
                                   0x80, 0xBB, 0x00, 0x00, 0x02, 0x40, 0x9C};
    rtp_info_t info = rtp_info_from_bytes(raw, 14);
    EXPECT_EQ((unsigned)info.codec_type, (unsigned)0x3);
    EXPECT_EQ((unsigned)info.codec_id, (unsigned)0x0011);
    EXPECT_EQ((unsigned)info.a_bitrate, (unsigned)64000u);
    EXPECT_EQ((unsigned)info.a_sample_rate, (unsigned)48000u);
    EXPECT_EQ((unsigned)info.a_channles, (unsigned)2);
    EXPECT_EQ((unsigned)info.port, (unsigned)40000);
    rtp_info_t part = rtp_info_from_bytes(raw, 3);
    EXPECT_EQ((unsigned)part.codec_id, (unsigned)0x0011);
    EXPECT_EQ((unsigned)part.a_sample_rate, (unsigned)0u);
    EXPECT_EQ((unsigned)part.port, (unsigned)0);
}

TEST(Sdp, OnlyWellFormedStreamDescriptionsAreTaken) {
    unsigned char d[16] = {0x1, 0x01, 0x00};
    struct Case {
        int size;
        unsigned char type;
        bool valid;
    } cases[] = {{14, 0x1, true},  {14, 0x7, true},   {14, 0x0, false},
                 {14, 0x8, false}, {14, 0x81, false}, {13, 0x1, false},
                 {15, 0x1, false}, {0, 0x1, false},   {-1, 0x1, false}};
    for (const Case &c : cases) {
        d[0] = c.type;
        EXPECT_EQ(rtp_info_valid(d, c.size), c.valid) << c.size << " bytes, type " << (int)c.type;
    }
}

// Datagrams on the description port that are not descriptions (too short, unknown kinds) are
// passed over; the description after them makes the SDP text.
TEST(Sdp, DescriptionAfterStrayDatagramsMakesTheText) {
    playhandle_t p = {};
    OS_AtomicSet(&p.active_task_video_rx, 1);
    std::string sdp;
    std::atomic<bool> taken{false};
    std::thread reader([&] {
        sdp = get_rtp_info(&p);
        taken = true;
    });
    unsigned char stray_short[10] = {0x1, 0x01, 0x00};
    unsigned char stray_kind[14] = {0x80, 0x01, 0x00};
    unsigned char good[14] = {0x1, 0x01, 0x00};
    good[12] = 0x34; // port 0x1234 = 4660
    good[13] = 0x12;
    unsigned int sock = Socket_UDPSocket();
    // Until the reader's port is open datagrams are lost, so the three are sent again and again,
    // the stray ones first.
    qvtest::wait_until(
        [&] {
            Socket_SendTo(sock, stray_short, sizeof(stray_short), 0x7F000001, RTP_INFO_PORT);
            Socket_SendTo(sock, stray_kind, sizeof(stray_kind), 0x7F000001, RTP_INFO_PORT);
            Socket_SendTo(sock, good, sizeof(good), 0x7F000001, RTP_INFO_PORT);
            return taken.load();
        },
        5000, 50);
    OS_AtomicSet(&p.active_task_video_rx, 0); // ends a reader that took nothing
    reader.join();
    Socket_Close(sock);
    EXPECT_NE(sdp.find("m=video 4660 RTP/AVP 96"), std::string::npos) << sdp;
}

TEST(Sdp, TemplateIsServedOncePerOpen) {
    quorvex_handle_t h = 0;
    quorvex_open(quorvex_setup_t{}, &h);
    playhandle_t *p = reinterpret_cast<playhandle_t *>(h);
    p->rx_port = 5004;
    p->rtp_pt = 96;
    p->h265_rtp_flag = 0;
    p->rtp_payload_type = RTP_P_TYPE_H264;
    p->read_sdp_flag = 1;
    uint8_t buf[8192];
    int n = read_sdp(p, buf, sizeof(buf));
    const std::string expected =
        "v=0\no=- 0 0 IN IP4 127.0.0.1\ns=No Name\nc=IN IP4  127.0.0.1\nt=0 0\n"
        "a=tool:libavformat 54.62.100\nm=video 5004 RTP/AVP 96\na=rtpmap:96 H264/90000\n"
        "a=fmtp:96 packetization-mode=1\n";
    ASSERT_EQ(n, (int)expected.size());
    EXPECT_EQ(std::string(reinterpret_cast<char *>(buf)), expected);
    EXPECT_EQ(read_sdp(p, buf, sizeof(buf)), AVERROR_EOF); // served: end of input
    EXPECT_NE(sdp_template(true, 5004, 96).find("a=rtpmap:96 H265/90000"), std::string::npos);
    quorvex_close(h);
}

std::vector<std::string> rtp_sender_argv(int port, bool h265) {
    std::vector<std::string> a = {
        "ffmpeg", "-hide_banner", "-loglevel", "error", "-nostdin",
        "-re",    "-f",           "lavfi",     "-i",    "testsrc2=size=320x240:rate=25"};
    if (h265) {
        for (const char *s : {"-c:v", "libx265", "-preset", "ultrafast", "-tune", "zerolatency",
                              "-x265-params", "log-level=none:keyint=25"})
            a.push_back(s);
    } else {
        for (const char *s :
             {"-c:v", "libx264", "-preset", "ultrafast", "-tune", "zerolatency", "-g", "25"})
            a.push_back(s);
    }
    for (const char *s : {"-payload_type", "96", "-f", "rtp"})
        a.push_back(s);
    a.push_back("rtp://127.0.0.1:" + std::to_string(port));
    return a;
}

streaming_setup_t rtp_input(int port, int kind) {
    streaming_setup_t s = {};
    s.protocol = Protocol_RTPUDP;
    s.port = port;
    s.rtp_payload_type = kind;
    return s;
}

class RtpTemplate : public ::testing::TestWithParam<bool> {};

TEST_P(RtpTemplate, SenderWithPayload96PlaysThroughTheTemplate) {
    bool h265 = GetParam();
    int port = qvtest::free_udp_port();
    qvtest::TempDir dir;
    Capture cap;
    Handle h(&cap);
    ASSERT_EQ(h.play(rtp_input(port, h265 ? RTP_P_TYPE_H265 : RTP_P_TYPE_H264)), 0);
    qvtest::Process sender(rtp_sender_argv(port, h265), dir.file("sender.log"));
    ASSERT_TRUE(wait_pictures(cap, 10, 20000)) << qvtest::read_text(dir.file("sender.log"));
    EXPECT_EQ(h.info().get_strm_info.v_codec, h265 ? 173 : 27);
    std::lock_guard<std::mutex> lock(cap.mu);
    EXPECT_EQ(cap.width, 320);
    EXPECT_EQ(cap.height, 240);
}

INSTANTIATE_TEST_SUITE_P(Codecs, RtpTemplate, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool> &p) {
                             return p.param ? "H265" : "H264";
                         });

TEST(RtpDescribed, StreamDescriptionThenRtpPlays) {
    int port = qvtest::free_udp_port();
    qvtest::TempDir dir;
    Capture cap;
    Handle h(&cap);
    ASSERT_EQ(h.play(rtp_input(port, RTP_P_TYPE_STAN82)), 0);
    // The description goes to port 5004 until the engine has taken it and pictures come.
    unsigned char info[14] = {0x1, 0x01, 0x00};
    info[12] = (unsigned char)(port & 0xFF);
    info[13] = (unsigned char)(port >> 8);
    unsigned int sock = Socket_UDPSocket();
    qvtest::Process sender(rtp_sender_argv(port, false), dir.file("sender.log"));
    bool playing = qvtest::wait_until(
        [&] {
            if (cap.count() == 0)
                Socket_SendTo(sock, info, sizeof(info), 0x7F000001, 5004);
            return cap.count() >= 10;
        },
        20000, 200);
    Socket_Close(sock);
    EXPECT_TRUE(playing) << qvtest::read_text(dir.file("sender.log"));
}

TEST(RtpWatchdog, SenderThatPausesIsPlayedAgainAfterTheReconnect) {
    int port = qvtest::free_udp_port();
    qvtest::TempDir dir;
    Capture cap;
    Handle h(&cap);
    ASSERT_EQ(h.play(rtp_input(port, RTP_P_TYPE_H264)), 0);
    qvtest::Process sender(rtp_sender_argv(port, false), dir.file("sender.log"));
    ASSERT_TRUE(wait_pictures(cap, 10, 20000));
    sender.suspend();
    OS_MSleep(2500); // more than the one-second watchdog
    int before = cap.count();
    sender.resume();
    EXPECT_TRUE(wait_pictures(cap, before + 25, 20000));
}

// An RTP input whose SDP cannot be opened (its port is taken) ends the receive task by itself:
// live reception no longer reads as running, and a later start makes a new task.
TEST(RtpLifecycle, TaskThatEndsByItselfClearsTheLiveBitAndStartsAgain) {
    int port = qvtest::free_udp_port();
    int blocker = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons((uint16_t)port);
    addr.sin_addr.s_addr = htonl(0x7F000001);
    ASSERT_EQ(bind(blocker, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)), 0);
    Capture cap;
    Handle h(&cap);
    ASSERT_EQ(h.play(rtp_input(port, RTP_P_TYPE_H264)), 0);
    EXPECT_TRUE(qvtest::wait_until([&] { return (h.info().action_bit & 4) == 0; }, 10000, 20));
    close(blocker);
    ASSERT_EQ(h.q()->Quorvex_start(h.h(), 4), 0);
    EXPECT_EQ(h.info().action_bit & 4, 4);
    qvtest::TempDir dir;
    qvtest::Process sender(rtp_sender_argv(port, false), dir.file("sender.log"));
    EXPECT_TRUE(wait_pictures(cap, 10, 20000)) << qvtest::read_text(dir.file("sender.log"));
}

} // namespace

// The test peers serve real media: each one is probed the way a receiver would see it. The
// scrambled sender is checked packet by packet against its input, and the scrambling transform
// against answers computed with an independent AES implementation.
#include "qvtest.h"
#include "ts_crypt.h"

#include <gtest/gtest.h>

extern "C" {
#include <libavformat/avformat.h>
}

#include <ifaddrs.h>
#include <net/if.h>
#include <string.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <utility>
#include <vector>

namespace {

using qvtest::ProbeResult;

::testing::AssertionResult IsVideo(const ProbeResult &r, const char *codec, int w, int h) {
    if (r.ok && r.codec == codec && r.width == w && r.height == h)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << "expected " << codec << " " << w << "x" << h << ", ffprobe said:\n"
           << r.raw;
}

bool HasStream(const ProbeResult &r, const std::string &codec) {
    for (const auto &s : r.streams) {
        if (s == codec)
            return true;
    }
    return false;
}

// Every peer is gone once its test ends: no child of this process is left, not even a zombie.
class NoChildrenLeft : public ::testing::Environment {
  public:
    void TearDown() override { EXPECT_EQ(qvtest::live_children(), std::vector<int>{}); }
};
const auto *const kNoChildrenLeft = ::testing::AddGlobalTestEnvironment(new NoChildrenLeft);

// ---------------------------------------------------------------------------------------------
// Processes

TEST(Process, ReportsExitCodesAndKeepsItsBounds) {
    using qvtest::Process;
    EXPECT_EQ(Process::run({"sh", "-c", "exit 3"}, 5000), 3);
    EXPECT_EQ(Process::run({"sleep", "30"}, 200), -1) << "killed at its time limit";
    EXPECT_EQ(Process::run({"qvtest-no-such-program"}, 1000), -1);
    std::string out;
    EXPECT_EQ(Process::run_capture({"sh", "-c", "echo \"$QV_A\"; echo err >&2"}, 5000, out), 0);
    EXPECT_EQ(out, "\n") << "stdout only, QV_A unset";

    Process env({"sh", "-c", "test \"$QV_A\" = 1 && test -z \"${HOME+x}\""}, "",
                {"QV_A=1", "HOME"});
    EXPECT_EQ(env.wait_exit(5000), 0) << "one variable set, one removed";

    // A suspended child still ends on stop(); one that ignores SIGTERM is killed.
    Process paused({"sleep", "30"});
    paused.suspend();
    EXPECT_EQ(paused.stop(), 128 + SIGTERM);
    qvtest::TempDir dir;
    const std::string log = dir.file("log");
    // An ignored signal stays ignored across exec.
    Process stubborn({"sh", "-c", "trap '' TERM; echo ready; exec sleep 30"}, log);
    ASSERT_TRUE(qvtest::wait_until([&] { return qvtest::read_text(log) == "ready\n"; }, 5000));
    EXPECT_EQ(stubborn.stop(300), 128 + SIGKILL);
}

// ---------------------------------------------------------------------------------------------
// Scrambling transform

std::vector<uint8_t> Counting(int size) {
    std::vector<uint8_t> v(static_cast<size_t>(size));
    for (int i = 0; i < size; ++i)
        v[static_cast<size_t>(i)] = static_cast<uint8_t>(i);
    return v;
}

// Computed with `openssl enc -aes-128-cbc -nopad` from bytes 70..101 of Counting(), key =
// MD5("qvtest-key") = 68f52f09b6d1f36d91ca11bcb7c0cc09, IV = that digest reversed.
const uint8_t kCipherOf70To101[32] = {
    0x44, 0xb9, 0x96, 0xca, 0x81, 0xe6, 0xc8, 0xbd, 0xe0, 0xd6, 0xbf, 0x7f, 0x43, 0x01, 0xb1, 0xd3,
    0xcb, 0x63, 0xa0, 0xf8, 0x8f, 0xb2, 0x20, 0x09, 0x5c, 0x3d, 0xae, 0xbe, 0xb4, 0xc3, 0xee, 0x31};

TEST(TsCrypt, ScramblesWholeBlocksAfterTheClearPrefix) {
    const ts_crypt::StreamKey key = ts_crypt::derive_key("qvtest-key");
    EXPECT_EQ(key.key[0], 0x68);
    EXPECT_EQ(key.iv[0], 0x09);
    EXPECT_EQ(key.iv[15], 0x68);

    // One cipher for every row: the chain must restart with each packet.
    ts_crypt::PacketCipher enc(key, ts_crypt::PacketCipher::kEncrypt);
    ts_crypt::PacketCipher dec(key, ts_crypt::PacketCipher::kDecrypt);
    struct Row {
        int size;
        int blocks;
    };
    for (const Row row :
         {Row{0, 0}, Row{70, 0}, Row{85, 0}, Row{86, 1}, Row{100, 1}, Row{110, 2}, Row{1000, 58}}) {
        SCOPED_TRACE(row.size);
        const std::vector<uint8_t> plain = Counting(row.size);
        std::vector<uint8_t> p = plain;
        ASSERT_EQ(enc.apply(p.data(), row.size), row.blocks);
        const size_t end = 70 + 16 * static_cast<size_t>(row.blocks);
        for (size_t i = 0; i < plain.size(); ++i) {
            if (i < 70 || i >= end) {
                ASSERT_EQ(p[i], plain[i]) << "byte " << i << " must stay clear";
            }
        }
        for (size_t i = 70; i < std::min<size_t>(end, 102); ++i)
            ASSERT_EQ(p[i], kCipherOf70To101[i - 70]) << "byte " << i;
        ASSERT_EQ(dec.apply(p.data(), row.size), row.blocks);
        EXPECT_EQ(p, plain);
    }
}

// ---------------------------------------------------------------------------------------------
// FFmpeg senders

struct SenderCase {
    qvtest::VideoCodec codec;
    const char *name;
    int width;
    int height;
    bool audio;
};

class UdpTsSender : public ::testing::TestWithParam<SenderCase> {};

TEST_P(UdpTsSender, ServesTheRequestedStream) {
    const SenderCase c = GetParam();
    const int port = qvtest::free_udp_port();
    qvtest::SenderOptions o;
    o.url = qvtest::udp_url(port);
    o.codec = c.codec;
    o.width = c.width;
    o.height = c.height;
    o.audio = c.audio;
    qvtest::FfmpegSender sender(o);
    ASSERT_TRUE(sender.process().started());

    const ProbeResult r = qvtest::probe(qvtest::udp_listen_url(port));
    EXPECT_TRUE(IsVideo(r, c.name, c.width, c.height)) << sender.log();
    EXPECT_EQ(HasStream(r, "aac"), c.audio) << r.raw;
    EXPECT_TRUE(sender.running()) << "an endless sender ended:\n" << sender.log();
}

INSTANTIATE_TEST_SUITE_P(
    Peers, UdpTsSender,
    ::testing::Values(SenderCase{qvtest::VideoCodec::H264, "h264", 320, 240, true},
                      SenderCase{qvtest::VideoCodec::H265, "hevc", 352, 288, false}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(Peers, FiniteSenderEndsByItself) {
    qvtest::SenderOptions o;
    o.url = qvtest::udp_url(qvtest::free_udp_port());
    o.duration_s = 0.5;
    qvtest::FfmpegSender sender(o);
    EXPECT_EQ(sender.process().wait_exit(10000), 0) << sender.log();
}

TEST(Peers, HttpServerServesOneClient) {
    qvtest::HttpTsServer server;
    ASSERT_TRUE(server.wait_ready()) << server.sender().log();
    EXPECT_TRUE(IsVideo(qvtest::probe(server.url()), "h264", 320, 240));
    // The one client has gone, and so does the server.
    EXPECT_GE(server.sender().process().wait_exit(5000), 0);
}

// ---------------------------------------------------------------------------------------------
// RTSP

// An established connection on the server's port: a client is attached.
bool HasClient(int port) {
    std::string out;
    qvtest::Process::run_capture(
        {"ss", "-Htn", "state", "established", "sport", "= :" + std::to_string(port)}, 5000, out);
    return !out.empty();
}

TEST(Peers, RtspServesOverTcpAndUdp) {
    qvtest::RtspServer server({0, "/cam", 320, 240, 25});
    ASSERT_TRUE(server.wait_ready()) << server.log();
    EXPECT_EQ(server.url(), "rtsp://127.0.0.1:" + std::to_string(server.port()) + "/cam");
    for (const char *transport : {"tcp", "udp"}) {
        SCOPED_TRACE(transport);
        EXPECT_TRUE(IsVideo(qvtest::probe(server.url(), 15000, {"-rtsp_transport", transport}),
                            "h264", 320, 240))
            << server.log();
    }
    EXPECT_EQ(server.process().stop(), 0) << "SIGTERM must end the server cleanly";
}

// Killed while a client streams (so the server's side of the connection lingers), the server
// comes back on the same port.
TEST(Peers, RtspServerRestartsOnTheSamePort) {
    qvtest::RtspServer server;
    ASSERT_TRUE(server.wait_ready()) << server.log();
    qvtest::Process client({"ffmpeg", "-nostdin", "-v", "error", "-rtsp_transport", "tcp", "-i",
                            server.url(), "-f", "null", "-"});
    ASSERT_TRUE(qvtest::wait_until([&] { return HasClient(server.port()); }, 10000, 50));

    server.kill();
    EXPECT_FALSE(server.process().running());
    EXPECT_GE(client.wait_exit(15000), 0) << "the client must notice the server is gone";
    server.restart();
    ASSERT_TRUE(server.wait_ready()) << server.log();
    EXPECT_TRUE(
        IsVideo(qvtest::probe(server.url(), 15000, {"-rtsp_transport", "tcp"}), "h264", 320, 240))
        << server.log();
}

// ---------------------------------------------------------------------------------------------
// RTMP

TEST(Peers, RtmpPublisherGoesLive) {
    ASSERT_NE(qvtest::RtmpServer::module_path(), "");
    qvtest::RtmpServer server;
    ASSERT_TRUE(server.wait_ready()) << server.log();
    qvtest::RtmpPublisher publisher(server, "qv");
    ASSERT_TRUE(publisher.wait_live()) << publisher.sender().log() << server.log();

    const ProbeResult r = qvtest::probe(publisher.url());
    EXPECT_TRUE(IsVideo(r, "h264", 320, 240));
    EXPECT_TRUE(HasStream(r, "aac")) << r.raw;
    EXPECT_EQ(server.process().stop(), 0) << server.log();
}

// ---------------------------------------------------------------------------------------------
// Scrambled sender

struct FormatCloser {
    void operator()(AVFormatContext *ctx) const { avformat_close_input(&ctx); }
};
using FormatPtr = std::unique_ptr<AVFormatContext, FormatCloser>;

struct Received {
    AVMediaType kind;
    int64_t pts;
    int64_t dts;
    std::vector<uint8_t> data;
};

using Clock = std::chrono::steady_clock;

int DeadlinePassed(void *deadline) {
    return Clock::now() > *static_cast<Clock::time_point *>(deadline) ? 1 : 0;
}

// Reads audio and video packets from `url` until the input ends or errors, or until `deadline`.
std::vector<Received> ReadPackets(const std::string &url, const char *format,
                                  Clock::time_point deadline) {
    std::vector<Received> out;
    AVFormatContext *raw = avformat_alloc_context();
    raw->interrupt_callback = {DeadlinePassed, &deadline};
    if (avformat_open_input(&raw, url.c_str(), format ? av_find_input_format(format) : nullptr,
                            nullptr) < 0)
        return out;
    FormatPtr ctx(raw);
    // Without stream info the audio parser cannot give every frame of a PES its own time stamp.
    if (avformat_find_stream_info(ctx.get(), nullptr) < 0)
        return out;
    AVPacket *pkt = av_packet_alloc();
    while (av_read_frame(ctx.get(), pkt) >= 0) {
        const AVMediaType kind = ctx->streams[pkt->stream_index]->codecpar->codec_type;
        if (kind == AVMEDIA_TYPE_VIDEO || kind == AVMEDIA_TYPE_AUDIO)
            out.push_back({kind, pkt->pts, pkt->dts, {pkt->data, pkt->data + pkt->size}});
        av_packet_unref(pkt);
    }
    av_packet_free(&pkt);
    return out;
}

class EncTsSender : public ::testing::TestWithParam<bool> {};

// Every packet that arrives is the input's packet with the same time stamp, scrambled exactly by
// the shared transform (or untouched with --plain); time stamps keep growing into the second
// loop, and the sender ends by itself after its loops.
TEST_P(EncTsSender, SendsTheInputScrambledPacketByPacket) {
    const bool plain = GetParam();
    const int port = qvtest::free_udp_port();
    qvtest::EncSenderOptions o;
    o.url = qvtest::udp_url(port);
    o.loops = 2;
    o.plain = plain;
    o.test_ts.seconds = 2;
    qvtest::EncTsSender sender(o);
    ASSERT_TRUE(sender.started()) << sender.log();

    // The udp timeout ends the read once the sender has finished.
    const std::vector<Received> got =
        ReadPackets(qvtest::udp_listen_url(port) + "?timeout=1500000", "mpegts",
                    Clock::now() + std::chrono::seconds(15));
    EXPECT_EQ(sender.process().wait_exit(5000), 0) << sender.log();
    ASSERT_FALSE(got.empty()) << sender.log();

    std::map<std::pair<AVMediaType, int64_t>, std::vector<uint8_t>> source;
    for (auto &p : ReadPackets(sender.input(), nullptr, Clock::now() + std::chrono::seconds(10)))
        source[{p.kind, p.pts}] = std::move(p.data);
    ASSERT_FALSE(source.empty());

    ts_crypt::PacketCipher dec(ts_crypt::derive_key(o.key), ts_crypt::PacketCipher::kDecrypt);
    std::map<AVMediaType, int> matched, scrambled;
    int64_t last_video_dts = INT64_MIN;
    for (const Received &p : got) {
        if (p.kind == AVMEDIA_TYPE_VIDEO) {
            EXPECT_GT(p.dts, last_video_dts);
            last_video_dts = p.dts;
        }
        const auto it = source.find({p.kind, p.pts});
        // Packets of the second loop have no twin; a size mismatch is a packet the receiver's
        // parser cut elsewhere (a start code inside scrambled bytes).
        if (it == source.end() || it->second.size() != p.data.size())
            continue;
        std::vector<uint8_t> data = p.data;
        if (!plain && dec.apply(data.data(), static_cast<int>(data.size())) > 0)
            ++scrambled[p.kind];
        ASSERT_EQ(data, it->second) << "packet at pts " << p.pts;
        ++matched[p.kind];
    }
    EXPECT_GT(last_video_dts - got.front().dts, 90000 * 5 / 2) << "no packets from the second loop";
    EXPECT_GE(matched[AVMEDIA_TYPE_VIDEO], 25);
    EXPECT_GE(matched[AVMEDIA_TYPE_AUDIO], 25);
    if (!plain) {
        EXPECT_GE(scrambled[AVMEDIA_TYPE_VIDEO], matched[AVMEDIA_TYPE_VIDEO] / 2);
        EXPECT_GE(scrambled[AVMEDIA_TYPE_AUDIO], matched[AVMEDIA_TYPE_AUDIO] / 2);
    }
}

INSTANTIATE_TEST_SUITE_P(Peers, EncTsSender, ::testing::Values(false, true),
                         [](const auto &info) { return info.param ? "Plain" : "Scrambled"; });

TEST(Peers, EncTsSenderStopsCleanlyOnSigterm) {
    qvtest::EncSenderOptions o;
    o.url = qvtest::udp_url(qvtest::free_udp_port());
    o.test_ts.seconds = 1;
    qvtest::EncTsSender sender(o);
    ASSERT_TRUE(sender.started()) << sender.log();
    EXPECT_EQ(sender.process().wait_exit(1500), -1) << "an endless sender ended:\n" << sender.log();
    EXPECT_EQ(sender.stop(), 0) << sender.log();
}

// ---------------------------------------------------------------------------------------------
// Multicast (run through tests/netns_run.sh)

bool OnlyLoopbackIsUp() {
    struct ifaddrs *list = nullptr;
    if (getifaddrs(&list) != 0)
        return false;
    bool only_lo = true;
    for (struct ifaddrs *i = list; i; i = i->ifa_next) {
        if ((i->ifa_flags & IFF_UP) && strcmp(i->ifa_name, "lo") != 0)
            only_lo = false;
    }
    freeifaddrs(list);
    return only_lo;
}

TEST(PeersMulticast, SenderReachesAGroupMember) {
    if (!OnlyLoopbackIsUp())
        GTEST_SKIP() << "an interface besides loopback is up; run under tests/netns_run.sh";
    const int port = qvtest::free_udp_port();
    qvtest::SenderOptions o;
    o.url = qvtest::multicast_url("239.1.1.1", port);
    qvtest::FfmpegSender sender(o);
    EXPECT_TRUE(
        IsVideo(qvtest::probe(qvtest::multicast_listen_url("239.1.1.1", port)), "h264", 320, 240))
        << sender.log();
}

} // namespace

// Receive-path pieces checked on their own: stream decryption, the UDP input URL, the
// dispatcher's schedule and its reserve.
#include <gtest/gtest.h>

#include <string.h>
#include <sys/resource.h>

#include <string>
#include <vector>

#include "oslite.h"
#include "quorvex.h"
#include "quorvex_rx.h"
#include "quorvex_video.h"
#include "ts_crypt.h"
#include "user_stream.h"

extern "C" {
#include <libavformat/avformat.h>
}

#include <atomic>

namespace {

std::vector<uint8_t> pattern(int size) {
    std::vector<uint8_t> v((size_t)size);
    for (int i = 0; i < size; i++)
        v[(size_t)i] = (uint8_t)(i * 7 + 3);
    return v;
}

TEST(RxCrypt, DecryptsWholeBlocksAfterTheClearPrefix) {
    const std::string key = "secret key";
    rx_crypt_t c = {};
    ASSERT_EQ(
        rx_crypt_init(&c, reinterpret_cast<const unsigned char *>(key.data()), (int)key.size()), 0);
    ts_crypt::PacketCipher enc(ts_crypt::derive_key(key), ts_crypt::PacketCipher::kEncrypt);
    ASSERT_TRUE(enc.valid());

    struct Case {
        int size;
        int first_clear_after; // bytes from here on are unchanged by the cipher
    } cases[] = {{70, 0}, {85, 0}, {86, 86}, {100, 86}, {1316, 1310}};
    for (const Case &k : cases) {
        std::vector<uint8_t> plain = pattern(k.size), data = plain;
        enc.apply(data.data(), k.size);
        if (k.size > 85) {
            EXPECT_NE(memcmp(data.data() + 70, plain.data() + 70, 16), 0) << k.size;
        }
        EXPECT_EQ(memcmp(data.data(), plain.data(), 70), 0) << k.size;
        rx_crypt_packet(&c, data.data(), k.size);
        EXPECT_EQ(data, plain) << k.size;
        if (k.first_clear_after) {
            std::vector<uint8_t> untouched = plain;
            rx_crypt_packet(&c, untouched.data(), k.size);
            EXPECT_EQ(memcmp(untouched.data() + k.first_clear_after,
                             plain.data() + k.first_clear_after,
                             (size_t)(k.size - k.first_clear_after)),
                      0)
                << k.size;
        }
    }
    // Each packet starts from the initial IV: the same packet twice decrypts the same way.
    std::vector<uint8_t> a = pattern(200), b = a;
    rx_crypt_packet(&c, a.data(), 200);
    rx_crypt_packet(&c, b.data(), 200);
    EXPECT_EQ(a, b);
    rx_crypt_free(&c);
}

TEST(RxUrl, UnicastAndMulticastTemplates) {
    char url[64];
    rx_udp_url(0, 5000, url, sizeof(url));
    EXPECT_STREQ(url, "udp://@127.0.0.1:5000");
    rx_udp_url(0xEF010101, 5000, url, sizeof(url));
    EXPECT_STREQ(url, "udp://@239.1.1.1:5000");
    rx_udp_url(0xDFFFFFFF, 6000, url, sizeof(url)); // below 224.0.0.0: unicast
    EXPECT_STREQ(url, "udp://@127.0.0.1:6000");
}

TEST(DispatchClock, ReleasesAtTimeStampSpacingNudgedByTheReserve) {
    const uint64_t now = 5000000000ull;
    struct Case {
        int deficit;
        uint64_t expected;
    } cases[] = {{0, now + 40000}, {5, now + 50000}, {-5, now + 30000}};
    for (const Case &k : cases) {
        dispatch_clock_t c;
        dispatch_anchor(&c, dispatch_time_us(90000), now);
        EXPECT_EQ(dispatch_target(&c, dispatch_time_us(90000 + 3600), k.deficit, now), k.expected)
            << k.deficit;
    }
}

TEST(DispatchClock, BackwardJumpReleasesAtOnceAndReanchors) {
    const uint64_t now = 5000000000ull;
    dispatch_clock_t c;
    dispatch_anchor(&c, dispatch_time_us(900000), now);
    uint64_t target = dispatch_target(&c, dispatch_time_us(90000), 0, now + 1000);
    EXPECT_GT(target - (now + 1000), 199999u); // not waited for
    EXPECT_EQ(c.anchor, now + 1000);
    EXPECT_EQ(c.next, now + 1000);
    // The schedule goes on from the new anchor.
    EXPECT_EQ(dispatch_target(&c, dispatch_time_us(90000 + 3600), 0, now + 2000), now + 41000);
}

TEST(DispatchClock, ReanchorsAfterOneSecondOfStreamTime) {
    const uint64_t now = 1000000;
    dispatch_clock_t c;
    dispatch_anchor(&c, 0, now);
    uint64_t pts = 0;
    for (int i = 0; i < 24; i++)
        dispatch_target(&c, dispatch_time_us(pts += 3600), 0, now);
    EXPECT_EQ(c.anchor, now);
    EXPECT_EQ(c.next, now + 960000);
    // The 25th frame brings the schedule a full second past its anchor.
    dispatch_target(&c, dispatch_time_us(pts += 3600), 0, now + 7);
    EXPECT_EQ(c.anchor, now + 7);
    EXPECT_EQ(c.next, now + 7);
}

// The dispatcher task of a real handle, with a decode FIFO made by the test.
class Dispatcher : public ::testing::Test {
  protected:
    void open(int delay_ms) {
        quorvex_setup_t setup = {};
        quorvex_open(setup, &h_);
        p_ = reinterpret_cast<playhandle_t *>(h_);
        streaming_setup_t s = {};
        s.delay_frame_ms = delay_ms;
        quorvex_set_streaming_param(h_, s);
        out_ = block_FifoNew();
        OS_WaitSemaphore(p_->slot_lock);
        p_->task_decode[DECODE_STREAM_VIDEO].p_qdecode = out_;
        OS_SetSemaphore(p_->slot_lock);
    }
    void TearDown() override {
        OS_WaitSemaphore(p_->slot_lock);
        p_->task_decode[DECODE_STREAM_VIDEO].p_qdecode = nullptr;
        OS_SetSemaphore(p_->slot_lock);
        quorvex_close(h_);
        block_FifoRelease(out_);
    }
    // A video block; time base 1/den (0: none, read as 90 kHz).
    void put(uint64_t pts, bool key = false, int den = 0) {
        block_t *b = block_Alloc(16);
        b->i_codec_type = CODEC_TYPE_VIDEO;
        b->i_pts = pts;
        b->i_flags = key ? MEDIA_BLOCK_KEY : 0;
        if (den)
            media_block_set_time_base(b, 1, den);
        block_FifoPut(p_->q_dispacher, b);
    }
    bool wait_dispatched() {
        return qvtest_wait([&] { return block_FifoCount(p_->q_dispacher) == 0; }, 5000);
    }
    template <typename F> static bool qvtest_wait(F pred, int timeout_ms) {
        for (int waited = 0; waited < timeout_ms; waited += 5) {
            if (pred())
                return true;
            OS_MSleep(5);
        }
        return pred();
    }
    quorvex_handle_t h_ = 0;
    playhandle_t *p_ = nullptr;
    block_fifo_t *out_ = nullptr;
};

TEST_F(Dispatcher, PassesThroughWithoutReserve) {
    open(29);
    put(0);
    block_t *b = block_FifoGetTimeout(out_, 2000);
    ASSERT_NE(b, nullptr);
    block_Release(b);
}

TEST_F(Dispatcher, HoldsBackTheReserveBeforeTheFirstRelease) {
    open(90); // three blocks
    // The dispatcher started unpaced at open; it looks at the reserve before each of its
    // 100 ms waits, so after one wait it is pacing.
    OS_MSleep(250);
    put(0);
    put(3600);
    EXPECT_EQ(block_FifoGetTimeout(out_, 300), nullptr);
    put(7200);
    block_t *b = block_FifoGetTimeout(out_, 2000);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->i_pts, 0u);
    block_Release(b);
}

// Nobody takes from the video decoder's queue (a decoder slower than the stream): past about a
// second of stream time the queue is dropped and refilled from the next key frame on.
TEST_F(Dispatcher, VideoQueueOfASlowDecoderRestartsAtAKeyFrame) {
    open(0);
    for (int i = 0; i < 75; i++) // 3 s at 25 pictures a second, a key frame every second
        put((uint64_t)i * 3600, i % 25 == 0);
    ASSERT_TRUE(wait_dispatched());
    EXPECT_LE(block_FifoCount(out_), 26);
    block_t *b = block_FifoGetTimeout(out_, 100);
    ASSERT_NE(b, nullptr);
    EXPECT_TRUE(b->i_flags & MEDIA_BLOCK_KEY) << "the queue starts at a key frame";
    block_Release(b);
    quorvex_info_t info = {};
    quorvex_get_info(h_, &info, 0);
    EXPECT_GT(info.get_strm_info.inp_dec_error, 0) << "dropped blocks are counted";
}

TEST_F(Dispatcher, VideoQueueWithoutTimeStampsIsBoundedByCount) {
    open(0);
    for (int i = 0; i < 400; i++)
        put(0x8000000000000000ull, i % 50 == 0); // no time stamps
    ASSERT_TRUE(wait_dispatched());
    EXPECT_LE(block_FifoCount(out_), 121);
}

// Blocks with a millisecond time base (RTMP's) are paced 40 ms apart, and the dispatcher
// sleeps between releases instead of spinning.
TEST_F(Dispatcher, PacesInEachBlocksTimeBaseAndSleepsMeanwhile) {
    open(30); // a reserve of one block: paced
    OS_MSleep(250);
    struct rusage before, after;
    getrusage(RUSAGE_SELF, &before);
    uint64_t t0 = OS_GetMHClock();
    for (int i = 0; i < 20; i++)
        put((uint64_t)i * 40, false, 1000);
    std::vector<uint64_t> arrivals;
    while (arrivals.size() < 20) {
        block_t *b = block_FifoGetTimeout(out_, 2000);
        if (!b)
            break;
        arrivals.push_back(OS_GetMHClock());
        block_Release(b);
    }
    getrusage(RUSAGE_SELF, &after);
    ASSERT_EQ(arrivals.size(), 20u);
    uint64_t span = arrivals.back() - arrivals.front();
    EXPECT_GT(span, 500000u) << "19 steps of 40 ms, less a few ms for the reserve";
    EXPECT_LT(span, 1200000u);
    double wall = (double)(OS_GetMHClock() - t0);
    double cpu = (double)(after.ru_utime.tv_sec - before.ru_utime.tv_sec) * 1e6 +
                 (double)(after.ru_utime.tv_usec - before.ru_utime.tv_usec) +
                 (double)(after.ru_stime.tv_sec - before.ru_stime.tv_sec) * 1e6 +
                 (double)(after.ru_stime.tv_usec - before.ru_stime.tv_usec);
    EXPECT_LT(cpu, wall * 0.5) << "waiting for a release time takes no core";
}

TEST_F(Dispatcher, BlocksOfAKindWithoutDecoderAreDropped) {
    open(0);
    block_t *b = block_Alloc(16);
    b->i_codec_type = CODEC_TYPE_AUDIO;
    block_FifoPut(p_->q_dispacher, b);
    put(0); // the video block behind it still arrives
    block_t *v = block_FifoGetTimeout(out_, 2000);
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v->i_codec_type, CODEC_TYPE_VIDEO);
    block_Release(v);
}

} // namespace

namespace {

// --- stream-out ---

struct Gate {
    std::atomic<bool> open{false};
    std::atomic<int> calls{0};
};

// A callback that does not return until the gate opens (bounded).
void slow_callback(void *param, unsigned char *, int) {
    Gate *g = static_cast<Gate *>(param);
    g->calls++;
    for (int i = 0; i < 2000 && !g->open.load(); i++)
        OS_MSleep(5);
}

TEST(StreamOut, QueueOfASlowCallbackIsBounded) {
    AVFormatContext *in = avformat_alloc_context();
    AVStream *st = avformat_new_stream(in, nullptr);
    st->codecpar->codec_type = AVMEDIA_TYPE_VIDEO;
    st->codecpar->codec_id = AV_CODEC_ID_H264;
    st->codecpar->width = 320;
    st->codecpar->height = 240;
    st->time_base = AVRational{1, 90000};
    Gate gate;
    stream_h_t out = stream_open(in, slow_callback, &gate);
    ASSERT_NE(out, nullptr);
    std::vector<uint8_t> payload(10000, 0x5A);
    const uint8_t aud[] = {0, 0, 0, 1, 0x09, 0xF0}; // an access unit delimiter: H.264 to the muxer
    memcpy(payload.data(), aud, sizeof(aud));
    AVPacket *pkt = av_packet_alloc();
    pkt->data = payload.data();
    pkt->size = (int)payload.size();
    pkt->stream_index = 0;
    for (int i = 0; i < 3000; i++) { // 30 MB while the callback is stuck
        pkt->pts = i * 3600;
        EXPECT_EQ(stream_puts(out, pkt), 0);
    }
    EXPECT_LE(block_FifoSize(out->q), STREAM_OUT_MAX_QUEUED + (int)payload.size());
    gate.open = true;
    stream_close(out);
    EXPECT_EQ(out, nullptr);
    EXPECT_GT(gate.calls.load(), 0);
    av_packet_free(&pkt);
    avformat_free_context(in);
}

} // namespace

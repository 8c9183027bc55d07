// Playing recordings: a 9-second file whose picture grows brighter by the second, so the second
// a picture comes from can be read off it, with an index made for it. Pace, seeking,
// reverse, fast forward, the end rules, tags, no index, and re-streaming to a UDP listener.
#include <gtest/gtest.h>

#include <math.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

#include "live_fixture.h"
#include "oslite.h"
#include "quorvex.h"
#include "socket.h"
#include "tm_api.h"

using namespace livetest;

namespace {

constexpr int kSeconds = 9;

// The second the last picture comes from: its grey level (the file's luma rises 24 a second
// from 16, so the grey of the picture rises 24 * 255 / 219 a second).
double picture_second(Capture &c) {
    int w, h;
    {
        std::lock_guard<std::mutex> lock(c.mu);
        w = c.width;
        h = c.height;
    }
    unsigned long rgb = c.rgb_at(w / 2, h / 2);
    return ((rgb >> 8) & 0xFF) / (24.0 * 255 / 219);
}

class Playback : public ::testing::Test {
  protected:
    void SetUp() override {
        ts_ = dir_.file("rec.ts");
        // Grey growing brighter; a key frame each second.
        ASSERT_EQ(qvtest::Process::run(
                      {"ffmpeg",
                       "-hide_banner",
                       "-loglevel",
                       "error",
                       "-nostdin",
                       "-f",
                       "lavfi",
                       "-i",
                       "color=c=black:s=320x240:r=25,format=yuv420p,geq=lum=16+24*T:cb=128:cr=128",
                       "-t",
                       std::to_string(kSeconds),
                       "-c:v",
                       "libx264",
                       "-preset",
                       "ultrafast",
                       "-tune",
                       "zerolatency",
                       "-g",
                       "25",
                       "-pix_fmt",
                       "yuv420p",
                       "-f",
                       "mpegts",
                       "-y",
                       ts_},
                      60000),
                  0);
    }
    // An index for the file: an entry a second, its length kSeconds - 1.
    void make_index() {
        sdx_param p = {};
        p.type = RECORDING_OPEN;
        snprintf(p.sdx_file_name, sizeof(p.sdx_file_name), "%s", dir_.file("rec.sdx").c_str());
        p.index_count = 100;
        void *h = SdxOpen(p);
        ASSERT_NE(h, nullptr);
        for (int s = 0; s < kSeconds; s++)
            SdxWriteIndex(h, (int64_t)s * 1000, s, 0);
        ASSERT_EQ(SdxClose(h, RECORDING_OPEN), 0);
    }
    // Plays the file on the handle with the given settings.
    int play(Handle &h, int trick, int dir, int speed, int loop = 0, int type = DISPLAY,
             int port = 0) {
        playback_setup_t pb = {};
        snprintf(pb.file_name, sizeof(pb.file_name), "%s", ts_.c_str());
        pb.is_trick_mode = trick;
        pb.direction = dir;
        pb.speed = speed;
        pb.loop_playback = loop;
        pb.play_type = type;
        pb.ip = 0x7F000001;
        pb.port = port;
        h.q()->Quorvex_set_playback_param(h.h(), pb);
        return h.q()->Quorvex_start(h.h(), type == DISPLAY ? 1 : 3);
    }
    player_sdx_status status(Handle &h) {
        player_sdx_status s = {};
        h.q()->Quorvex_get_plbck_status(h.h(), &s);
        return s;
    }
    void event(Handle &h, int type, int sec = 0, int dir = 0, int speed = 1, int loop = 0) {
        playback_event_t e = {type, sec, dir, speed, loop};
        h.q()->Quorvex_set_event(h.h(), e);
    }
    qvtest::TempDir dir_;
    std::string ts_;
};

TEST_F(Playback, NormalSpeedKeepsRealTimeAndTheSecondFollowsThePicture) {
    make_index();
    Capture cap;
    Handle h(&cap);
    ASSERT_EQ(play(h, 1, PLAYER_DIR_FORWARD, PLAYER_SPD_NORMAL), 0);
    EXPECT_EQ(h.info().action_bit & 1, 1);
    ASSERT_TRUE(wait_pictures(cap, 10, 20000));
    int first = cap.count();
    unsigned t0 = OS_GetKHClock();
    ASSERT_TRUE(qvtest::wait_until([&] { return cap.count() >= first + 100; }, 10000, 5));
    double seconds = (OS_GetKHClock() - t0) / 1000.0;
    EXPECT_NEAR(seconds, 4.0, 0.2) << "100 pictures at 25 a second";
    player_sdx_status s = status(h);
    EXPECT_EQ(s.state, PLAYRE_STATUS_PLAYING);
    EXPECT_EQ(s.total_second, kSeconds - 1);
    EXPECT_NEAR(s.second, picture_second(cap), 1.0);
    EXPECT_EQ(std::string(s.full_file_name), ts_);
}

TEST_F(Playback, SeekShowsAPictureNearTheTarget) {
    make_index();
    Capture cap;
    Handle h(&cap);
    ASSERT_EQ(play(h, 1, PLAYER_DIR_FORWARD, PLAYER_SPD_NORMAL), 0);
    ASSERT_TRUE(wait_pictures(cap, 10, 20000));
    for (int target : {6, 2, 7}) {
        event(h, SEEK_EVENT, target);
        bool near = qvtest::wait_until(
            [&] {
                if (getenv("QV_DEBUG_SEEK"))
                    fprintf(stderr, "t=%u target %d status %d state %d picture %.2f count %d\n",
                            OS_GetKHClock(), target, status(h).second, status(h).state,
                            picture_second(cap), cap.count());
                // The seek lands on the first key frame at or after its byte position.
                double at = picture_second(cap);
                return at >= target - 1.0 && at <= target + 1.5;
            },
            5000, 20);
        EXPECT_TRUE(near) << "target " << target << ", picture at " << picture_second(cap);
        EXPECT_NEAR(status(h).second, target, 1.0);
    }
}

TEST_F(Playback, ReverseStepsBackAndParksAtTheStart) {
    make_index();
    Capture cap;
    Handle h(&cap);
    ASSERT_EQ(play(h, 1, PLAYER_DIR_PREVWARD, PLAYER_SPD_NORMAL), 0);
    ASSERT_TRUE(wait_pictures(cap, 1, 20000));
    int highest = 0;
    bool parked = qvtest::wait_until(
        [&] {
            player_sdx_status s = status(h);
            highest = std::max(highest, s.second);
            return s.state == PLAYRE_STATUS_SOF && s.second == 0;
        },
        20000, 10);
    EXPECT_TRUE(parked);
    EXPECT_GE(highest, kSeconds - 2) << "it started at the end";
    EXPECT_EQ(h.info().player_info.sof, 1);
    EXPECT_LT(picture_second(cap), 1.0);
    // A seek leaves the start.
    event(h, UPDATE_EVENT, 0, PLAYER_DIR_FORWARD, PLAYER_SPD_NORMAL);
    EXPECT_TRUE(
        qvtest::wait_until([&] { return status(h).state == PLAYRE_STATUS_PLAYING; }, 5000, 20));
}

TEST_F(Playback, FastForwardRestartsAtTheStartWhenItReachesTheEnd) {
    make_index();
    Capture cap;
    Handle h(&cap);
    ASSERT_EQ(play(h, 1, PLAYER_DIR_FORWARD, PLAYER_SPD_X4), 0);
    bool reached_end = false, restarted = false;
    qvtest::wait_until(
        [&] {
            int sec = status(h).second;
            reached_end |= sec >= kSeconds - 1;
            restarted |= reached_end && sec <= 1;
            return restarted;
        },
        20000, 10);
    EXPECT_TRUE(reached_end);
    EXPECT_TRUE(restarted);
}

TEST_F(Playback, EndOfAFinishedRecordingReportsTheEndThenStartsAgain) {
    make_index();
    Capture cap;
    Handle h(&cap);
    ASSERT_EQ(play(h, 1, PLAYER_DIR_FORWARD, PLAYER_SPD_NORMAL), 0);
    event(h, SEEK_EVENT, kSeconds - 2);
    bool eof = false, again = false;
    qvtest::wait_until(
        [&] {
            player_sdx_status s = status(h);
            eof |= s.state == PLAYRE_STATUS_EOF;
            again |= eof && s.state == PLAYRE_STATUS_PLAYING && s.second <= 1;
            return again;
        },
        20000, 5);
    EXPECT_TRUE(eof);
    EXPECT_TRUE(again);
}

TEST_F(Playback, LoopingStartsAgainWithoutReportingTheEnd) {
    make_index();
    Capture cap;
    Handle h(&cap);
    ASSERT_EQ(play(h, 1, PLAYER_DIR_FORWARD, PLAYER_SPD_NORMAL, 1), 0);
    event(h, SEEK_EVENT, kSeconds - 2);
    bool eof = false, again = false, late = false;
    qvtest::wait_until(
        [&] {
            player_sdx_status s = status(h);
            eof |= s.state == PLAYRE_STATUS_EOF;
            late |= s.second >= kSeconds - 2;
            again |= late && s.second <= 1;
            return again;
        },
        20000, 5);
    EXPECT_TRUE(again);
    EXPECT_FALSE(eof);
}

// No index, or one that is cut short or damaged: playback without trick modes, forward at normal
// speed whatever is asked.
TEST_F(Playback, WithoutAValidIndexOnlyForwardAtNormalSpeed) {
    struct Case {
        const char *name;
        int keep_bytes; // of a valid index; -1: none at all
        bool damage;
    } cases[] = {{"no index", -1, false}, {"cut short", 1500, false}, {"damaged", 0, true}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string sdx = dir_.file("rec.sdx");
        remove(sdx.c_str());
        if (c.keep_bytes >= 0) {
            make_index();
            std::string bytes = qvtest::read_text(sdx);
            if (c.keep_bytes > 0)
                bytes.resize((size_t)c.keep_bytes);
            if (c.damage)
                bytes[1600] ^= 0x5A;
            std::ofstream(sdx, std::ios::binary) << bytes;
        }
        Capture cap;
        Handle h(&cap);
        ASSERT_EQ(play(h, 1, PLAYER_DIR_PREVWARD, PLAYER_SPD_X2), 0);
        ASSERT_TRUE(wait_pictures(cap, 25, 20000));
        player_sdx_status s = status(h);
        EXPECT_EQ(s.direction, PLAYER_DIR_FORWARD);
        EXPECT_EQ(s.speed, PLAYER_SPD_NORMAL);
        event(h, UPDATE_EVENT, 0, PLAYER_DIR_PREVWARD, PLAYER_SPD_X3);
        OS_MSleep(300);
        EXPECT_EQ(status(h).direction, PLAYER_DIR_FORWARD);
        EXPECT_EQ(h.q()->Quorvex_get_tag_by_i(h.h(), 0), -1);
    }
}

TEST_F(Playback, TagsReachTheIndex) {
    make_index();
    Capture cap;
    Handle h(&cap);
    ASSERT_EQ(play(h, 1, PLAYER_DIR_FORWARD, PLAYER_SPD_NORMAL), 0);
    ASSERT_TRUE(qvtest::wait_until([&] { return status(h).second >= 2; }, 20000, 20));
    event(h, PLAYBACK_TAG_EVENT);
    ASSERT_TRUE(
        qvtest::wait_until([&] { return h.q()->Quorvex_get_tag_by_i(h.h(), 0) >= 0; }, 3000, 20));
    int tag = h.q()->Quorvex_get_tag_by_i(h.h(), 0);
    EXPECT_GE(tag, 2);
    h.q()->Quorvex_stop(h.h(), 1);
    EXPECT_EQ(status(h).state, PLAYRE_STATUS_OFF);
    EXPECT_EQ(h.info().action_bit & 1, 0);
    unsigned tags[2] = {};
    ASSERT_EQ(SdxGetTagList(dir_.file("rec.sdx").c_str(), tags, 2), 0);
    EXPECT_EQ((int)tags[0], tag) << "written when the player closed the index";
}

// Re-streaming: a UDP listener gets the file as a transport stream with its video; with the
// stream-only type nothing is decoded, with display and stream the pictures are shown as well.
class PlaybackRestream : public Playback, public ::testing::WithParamInterface<int> {};

TEST_P(PlaybackRestream, TargetGetsTheFileAsATransportStream) {
    const int type = GetParam();
    make_index();
    int port = qvtest::free_udp_port();
    unsigned listener = Socket_UDPServer((unsigned short)port);
    ASSERT_NE(listener, 0u);
    Capture cap;
    Handle h(&cap);
    ASSERT_EQ(play(h, 1, PLAYER_DIR_FORWARD, PLAYER_SPD_NORMAL, 0, type, port), 0);
    EXPECT_EQ(h.info().action_bit, 3);
    std::vector<unsigned char> bytes;
    qvtest::wait_until(
        [&] {
            unsigned char buf[65536];
            while (Socket_IsRxPacketMS((int)listener, 0) > 0) {
                int n = Socket_Recv(listener, buf, sizeof(buf));
                if (n > 0)
                    bytes.insert(bytes.end(), buf, buf + n);
            }
            return bytes.size() > 188u * 500;
        },
        10000, 10);
    Socket_Close(listener);
    int shown = cap.count();
    h.q()->Quorvex_stop(h.h(), 3);
    EXPECT_EQ(h.info().action_bit, 0);
    if (type == STREAM)
        EXPECT_EQ(shown, 0);
    else
        EXPECT_GT(shown, 10);
    ASSERT_GT(bytes.size(), 188u * 500);
    std::string file = dir_.file("restream.ts");
    std::ofstream(file, std::ios::binary)
        .write(reinterpret_cast<const char *>(bytes.data()), (std::streamsize)bytes.size());
    qvtest::ProbeResult probe = qvtest::probe(file);
    ASSERT_TRUE(probe.ok) << probe.raw;
    EXPECT_EQ(probe.codec, "h264");
    EXPECT_EQ(probe.width, 320);
}

INSTANTIATE_TEST_SUITE_P(Types, PlaybackRestream,
                         ::testing::Values((int)STREAM, (int)DISPLAY_AND_STREAM),
                         [](const ::testing::TestParamInfo<int> &p) {
                             return p.param == STREAM ? "StreamOnly" : "DisplayAndStream";
                         });

// A recording still being written, played from another handle: the player shares the
// recorder's index, reports it as recording, and at its end waits for more instead of ending.
TEST(PlaybackOfALiveRecording, FollowsTheEndOfTheRecording) {
    qvtest::TempDir dir;
    int port = qvtest::free_udp_port();
    Capture live_cap;
    Handle live(&live_cap);
    record_setup_t r = {};
    snprintf(r.directory_path, sizeof(r.directory_path), "%s", dir.path().c_str());
    std::string name = "growing";
    r.file_name = name.data();
    r.is_trick_mode = 1;
    live.q()->Quorvex_set_record_param(live.h(), r);
    live.q()->Quorvex_set_streaming_param(live.h(), udp_input(port));
    ASSERT_EQ(live.q()->Quorvex_start(live.h(), 12), 0);
    qvtest::SenderOptions o;
    o.url = qvtest::udp_url(port);
    qvtest::FfmpegSender sender(o);
    ASSERT_TRUE(wait_pictures(live_cap, 25, 20000)) << sender.log();
    OS_MSleep(2000); // a few seconds recorded

    Capture cap;
    Handle h(&cap);
    playback_setup_t pb = {};
    snprintf(pb.file_name, sizeof(pb.file_name), "%s", dir.file("growing.ts").c_str());
    pb.is_trick_mode = 1;
    pb.speed = PLAYER_SPD_NORMAL;
    h.q()->Quorvex_set_playback_param(h.h(), pb);
    ASSERT_EQ(h.q()->Quorvex_start(h.h(), 1), 0);
    ASSERT_TRUE(wait_pictures(cap, 10, 20000));
    player_sdx_status s = {};
    h.q()->Quorvex_get_plbck_status(h.h(), &s);
    EXPECT_EQ(s.is_recording, 1);
    int total_at_start = s.total_second;
    // Past what was recorded when playback began, never parked at the end.
    bool followed = qvtest::wait_until(
        [&] {
            h.q()->Quorvex_get_plbck_status(h.h(), &s);
            EXPECT_NE(s.state, PLAYRE_STATUS_EOF);
            return s.second > total_at_start + 2;
        },
        15000, 50);
    EXPECT_TRUE(followed) << "second " << s.second << ", total at start " << total_at_start;
    h.q()->Quorvex_stop(h.h(), 1);
    live.q()->Quorvex_stop(live.h(), 4);
    EXPECT_EQ(is_valid_file(dir.file("growing.sdx").c_str()), 1);
}

// Closing the handle (without a stop) in every mode of the player: everything is joined and
// freed, whatever the player was doing.
TEST_F(Playback, CloseInEveryMode) {
    make_index();
    struct Mode {
        int dir, speed;
    } modes[] = {{PLAYER_DIR_FORWARD, PLAYER_SPD_NORMAL},
                 {PLAYER_DIR_PREVWARD, PLAYER_SPD_NORMAL},
                 {PLAYER_DIR_FORWARD, PLAYER_SPD_X4},
                 {PLAYER_DIR_FORWARD, PLAYER_SPD_PAUSE}};
    for (const Mode &m : modes) {
        Capture cap;
        auto *h = new Handle(&cap);
        ASSERT_EQ(play(*h, 1, m.dir, m.speed), 0);
        event(*h, SEEK_EVENT, 3, m.dir, m.speed);
        qvtest::wait_until([&] { return status(*h).state != PLAYRE_STATUS_OFF; }, 5000, 10);
        OS_MSleep(300);
        delete h;
    }
}

// An ".ai" recording: 21-byte headers with the packet's length and time stamp.
std::string ai_packet(uint32_t length, uint32_t ts, uint8_t fill) {
    std::string p(length, (char)fill);
    p[0] = p[1] = (char)0xA5;
    for (int i = 0; i < 4; i++) {
        p[5 + i] = (char)(length >> (8 * i));
        p[17 + i] = (char)(ts >> (8 * i));
    }
    return p;
}

// The datagrams a replay sends to the handle's receive port, with their arrival times (ms).
std::vector<std::pair<unsigned, std::string>> replay_ai(const std::string &content) {
    qvtest::TempDir dir;
    std::string file = dir.file("stream.ai");
    std::ofstream(file, std::ios::binary) << content;
    int port = qvtest::free_udp_port();
    unsigned listener = Socket_UDPServer((unsigned short)port);
    EXPECT_NE(listener, 0u);
    Capture cap;
    Handle h(&cap);
    h.q()->Quorvex_setup_port(h.h(), port);
    playback_setup_t pb = {};
    snprintf(pb.file_name, sizeof(pb.file_name), "%s", file.c_str());
    h.q()->Quorvex_set_playback_param(h.h(), pb);
    EXPECT_EQ(h.q()->Quorvex_start(h.h(), 1), 0);
    std::vector<std::pair<unsigned, std::string>> got;
    qvtest::wait_until(
        [&] {
            unsigned char buf[65536];
            while (Socket_IsRxPacketMS((int)listener, 0) > 0) {
                int n = Socket_Recv(listener, buf, sizeof(buf));
                if (n > 0)
                    got.push_back({OS_GetKHClock(), std::string((char *)buf, (size_t)n)});
            }
            return false;
        },
        1500, 1);
    h.q()->Quorvex_stop(h.h(), 1);
    Socket_Close(listener);
    return got;
}

TEST(PlaybackAi, PacketsReachTheReceivePortWithTheirSpacing) {
    const uint32_t stamps[] = {1000, 1100, 1200, 1350, 1500};
    std::string content;
    for (int i = 0; i < 5; i++)
        content += ai_packet(40 + 10 * (uint32_t)i, stamps[i], (uint8_t)i);
    auto got = replay_ai(content);
    ASSERT_EQ(got.size(), 5u);
    for (int i = 0; i < 5; i++) {
        EXPECT_EQ(got[(size_t)i].second, ai_packet(40 + 10 * (uint32_t)i, stamps[i], (uint8_t)i));
        int want = (int)(stamps[i] - stamps[0]);
        EXPECT_NEAR((int)(got[(size_t)i].first - got[0].first), want, 20) << "packet " << i;
    }
}

TEST(PlaybackAi, ReplayStopsAtABrokenPacket) {
    std::string good = ai_packet(40, 0, 1) + ai_packet(40, 10, 2);
    struct Case {
        const char *name;
        std::string tail;
    } cases[] = {
        {"length within the header", ai_packet(21, 20, 3) + ai_packet(40, 30, 4)},
        {"length beyond a datagram", ai_packet(100, 20, 3).replace(5, 4, "\xff\xff\x01\x00", 4)},
        {"data cut short", ai_packet(400, 20, 3).substr(0, 200)},
        {"header cut short", std::string("\xa5\xa5\x00", 3)},
        {"time stamp going back", ai_packet(40, 0, 5)}};
    for (const Case &c : cases) {
        auto got = replay_ai(good + c.tail);
        size_t want = std::string(c.name) == "time stamp going back" ? 3 : 2;
        EXPECT_EQ(got.size(), want) << c.name;
    }
}

TEST(PlaybackRefused, MissingFileOrNotARecording) {
    Capture cap;
    Handle h(&cap);
    for (const char *name : {"/nonexistent/rec.ts", "/nonexistent/rec.ai", "/etc/hostname", ""}) {
        playback_setup_t pb = {};
        snprintf(pb.file_name, sizeof(pb.file_name), "%s", name);
        h.q()->Quorvex_set_playback_param(h.h(), pb);
        EXPECT_EQ(h.q()->Quorvex_start(h.h(), 1), -1) << name;
        EXPECT_EQ(h.info().action_bit & 1, 0) << name;
    }
    h.q()->Quorvex_stop(h.h(), 1);
}

} // namespace

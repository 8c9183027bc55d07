// Recording live streams from real FFmpeg senders into real files: every frame sent is in the
// recording, time stamps rise, the index has one entry per key frame and the tags asked for,
// names are never reused, and a recording that cannot be made is not reported as running.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <initializer_list>
#include <sstream>
#include <string>
#include <vector>

#include "live_fixture.h"
#include "oslite.h"
#include "quorvex.h"
#include "record.h"
#include "tm_api.h"

using namespace livetest;

namespace {

constexpr int kFirstPictureMs = 20000;

std::vector<std::string> ffmpeg(std::initializer_list<std::string> rest) {
    std::vector<std::string> a = {"ffmpeg", "-hide_banner", "-loglevel", "error", "-nostdin"};
    a.insert(a.end(), rest);
    return a;
}

// A finite sender: `frames` pictures at 25 a second, a key frame each second, over UDP.
std::vector<std::string> sender(int port, int frames, bool b_frames, bool audio,
                                bool video = true) {
    std::vector<std::string> a = ffmpeg({"-re"});
    if (video)
        a.insert(a.end(), {"-f", "lavfi", "-i", "testsrc2=size=320x240:rate=25"});
    if (audio)
        a.insert(a.end(), {"-f", "lavfi", "-i", "sine=frequency=440:sample_rate=48000"});
    if (video) {
        a.insert(a.end(), {"-frames:v", std::to_string(frames), "-c:v", "libx264", "-g", "25",
                           "-sc_threshold", "0"});
        if (b_frames)
            a.insert(a.end(), {"-preset", "veryfast", "-bf", "2"});
        else
            a.insert(a.end(), {"-preset", "ultrafast", "-tune", "zerolatency"});
    }
    if (audio)
        a.insert(a.end(), {"-t", std::to_string(frames / 25.0), "-c:a", "aac"});
    a.insert(a.end(), {"-f", "mpegts", qvtest::udp_url(port)});
    return a;
}

struct Probe {
    int packets = 0;
    std::vector<long long> pts, dts;
    double duration = 0;
};

// The packets of one kind ("v" or "a") of a file, as ffprobe reads them.
Probe probe_packets(const std::string &file, const char *kind) {
    Probe p;
    std::string out;
    qvtest::Process::run_capture({"ffprobe", "-v", "error", "-select_streams", kind,
                                  "-show_entries", "packet=pts,dts", "-of", "csv=p=0", file},
                                 30000, out);
    std::istringstream lines(out);
    for (std::string l; std::getline(lines, l);) {
        if (l.empty())
            continue;
        p.packets++;
        size_t comma = l.find(',');
        p.pts.push_back(atoll(l.substr(0, comma).c_str()));
        p.dts.push_back(comma == std::string::npos ? 0 : atoll(l.substr(comma + 1).c_str()));
    }
    qvtest::Process::run_capture(
        {"ffprobe", "-v", "error", "-show_entries", "format=duration", "-of", "csv=p=0", file},
        30000, out);
    p.duration = atof(out.c_str());
    return p;
}

bool exists(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

class Recording : public ::testing::Test {
  protected:
    void SetUp() override { port_ = qvtest::free_udp_port(); }
    // Records the sender's whole run (it ends by itself) with the given name and index choice.
    void record(const std::vector<std::string> &argv, const std::string &name, bool sdx,
                const std::vector<int> &tag_at_ms = {}) {
        Capture cap;
        Handle h(&cap);
        record_setup_t r = {};
        snprintf(r.directory_path, sizeof(r.directory_path), "%s", dir_.path().c_str());
        std::string n = name;
        r.file_name = n.empty() ? nullptr : n.data();
        r.is_trick_mode = sdx ? 1 : 0;
        h.q()->Quorvex_set_record_param(h.h(), r);
        h.q()->Quorvex_set_streaming_param(h.h(), udp_input(port_));
        ASSERT_EQ(h.q()->Quorvex_start(h.h(), 12), 0);
        qvtest::Process s(argv, dir_.file("sender.log"));
        unsigned t0 = OS_GetKHClock();
        for (int ms : tag_at_ms) {
            while ((int)(OS_GetKHClock() - t0) < ms)
                OS_MSleep(10);
            playback_event_t e = {};
            e.event_type = RECORD_TAG_EVENT;
            h.q()->Quorvex_set_event(h.h(), e);
        }
        ASSERT_EQ(s.wait_exit(60000), 0) << qvtest::read_text(dir_.file("sender.log"));
        OS_MSleep(500); // the last datagrams
        EXPECT_EQ(h.info().action_bit, 12);
        h.q()->Quorvex_stop(h.h(), 4); // ends the recording with reception
        EXPECT_EQ(h.info().action_bit, 0);
    }
    qvtest::TempDir dir_;
    int port_ = 0;
};

TEST_F(Recording, EveryFrameSentIsRecordedWithOneIndexEntryPerKeyFrame) {
    record(sender(port_, 125, false, true), "cam", true, {1500, 1600});
    const std::string ts = dir_.file("cam.ts"), sdx = dir_.file("cam.sdx");
    Probe v = probe_packets(ts, "v");
    // The demuxer hands a picture on when the next one begins: the very last picture of a live
    // stream that simply stops never leaves it.
    EXPECT_GE(v.packets, 124);
    for (size_t i = 1; i < v.pts.size(); i++)
        ASSERT_GT(v.pts[i], v.pts[i - 1]) << "packet " << i;
    EXPECT_NEAR(v.duration, 5.0, 1.0);
    EXPECT_GT(probe_packets(ts, "a").packets, 100) << "the sound is recorded too";

    ASSERT_EQ(is_valid_file(sdx.c_str()), 1);
    sdx_param p = {};
    p.type = PLAYBACK_OPEN;
    snprintf(p.sdx_file_name, sizeof(p.sdx_file_name), "%s", sdx.c_str());
    void *h = SdxOpen(p);
    ASSERT_NE(h, nullptr);
    std::vector<s_index> entries;
    s_index e;
    for (int i = 0; SdxGetIndexByI(h, &e, i) == 0; i++)
        entries.push_back(e);
    EXPECT_EQ(entries.size(), 5u) << "one per second of 25 pictures";
    for (size_t i = 1; i < entries.size(); i++) {
        EXPECT_GE(sdx_entry_second(&entries[i]), sdx_entry_second(&entries[i - 1]));
        uint64_t at = entries[i].offset, before = entries[i - 1].offset;
        EXPECT_GT(at, before);
    }
    int total = 0;
    SdxGetTotalSec(h, &total);
    EXPECT_NEAR(total, 4, 1);
    // Two requests before the next key frame make one tag, on that key frame's second.
    EXPECT_EQ(SdxGetTag(h, 1), -1);
    int tag = SdxGetTag(h, 0);
    EXPECT_GE(tag, 1);
    EXPECT_LE(tag, 3);
    bool on_a_key_frame = false;
    for (const s_index &k : entries)
        on_a_key_frame |= (int)sdx_entry_second(&k) == tag;
    EXPECT_TRUE(on_a_key_frame);
    SdxClose(h, PLAYBACK_OPEN);
}

// With B-frames decoding order differs from presentation order: every packet still goes in.
TEST_F(Recording, StreamWithBFramesIsRecordedWhole) {
    record(sender(port_, 100, true, false), "bframes", false);
    Probe v = probe_packets(dir_.file("bframes.ts"), "v");
    EXPECT_GE(v.packets, 99); // all but the last, as above
    bool reordered = false;
    for (size_t i = 1; i < v.dts.size(); i++) {
        ASSERT_GT(v.dts[i], v.dts[i - 1]) << "packet " << i;
        reordered |= v.pts[i] < v.pts[i - 1];
    }
    EXPECT_TRUE(reordered) << "the sender made B-frames";
    EXPECT_FALSE(exists(dir_.file("bframes.sdx"))) << "no index asked for";
}

TEST_F(Recording, AudioOnlyGivesAnIndexWithoutEntries) {
    record(sender(port_, 75, false, true, false), "sound", true);
    EXPECT_GT(probe_packets(dir_.file("sound.ts"), "a").packets, 100);
    sdx_file_info info = {};
    ASSERT_EQ(SdxGetInfo(dir_.file("sound.sdx").c_str(), &info), 0);
    EXPECT_EQ(info.flag, 1 << HAS_INDEX);
    EXPECT_EQ(info.index_count, 0);
}

// A second recording under a taken name, and two automatic names in one second, get new names.
TEST_F(Recording, NamesAreNeverReused) {
    record(sender(port_, 25, false, false), "same", true);
    record(sender(port_, 25, false, false), "same", true);
    EXPECT_TRUE(exists(dir_.file("same.ts")));
    EXPECT_TRUE(exists(dir_.file("same_1.ts")));
    EXPECT_EQ(is_valid_file(dir_.file("same_1.sdx").c_str()), 1);
    EXPECT_GE(probe_packets(dir_.file("same.ts"), "v").packets, 24) << "the first one kept";

    char *auto_name = nullptr;
    create_record_file_name(&auto_name);
    ASSERT_NE(auto_name, nullptr);
    EXPECT_EQ(strlen(auto_name), strlen("D2024_03_07T14_05_09"));
    EXPECT_EQ(auto_name[0], 'D');
    EXPECT_EQ(auto_name[11], 'T');
    free(auto_name);
    char *path = record_path_join("/rec/", "D2024_03_07T14_05_09", ".ts");
    EXPECT_STREQ(path, "/rec/D2024_03_07T14_05_09.ts");
    free(path);
    path = record_path_join("/rec", "cam", ".sdx");
    EXPECT_STREQ(path, "/rec/cam.sdx");
    free(path);
}

// A recorder killed outright: the recording plays up to its last whole packet and its index is
// valid and at most about 10 s behind.
TEST(RecordingKilled, LeavesAPlayableFileAndAValidIndex) {
    qvtest::TempDir dir;
    int port = qvtest::free_udp_port();
    qvtest::SenderOptions o;
    o.url = qvtest::udp_url(port);
    qvtest::FfmpegSender s(o);
    qvtest::Process cli({QV_CLI, "--protocol", "udp", "--port", std::to_string(port), "--record",
                         dir.path(), "--record-name", "killed"},
                        dir.file("cli.log"));
    ASSERT_TRUE(cli.started());
    const std::string sdx = dir.file("killed.sdx");
    // Past the first periodic write of the index.
    bool indexed = qvtest::wait_until(
        [&] {
            sdx_file_info info = {};
            SdxGetInfo(sdx.c_str(), &info);
            return info.index_count >= 8;
        },
        30000, 200);
    EXPECT_TRUE(indexed) << qvtest::read_text(dir.file("cli.log"));
    OS_MSleep(1500);
    cli.kill();
    ASSERT_EQ(is_valid_file(sdx.c_str()), 1);
    sdx_file_info info = {};
    ASSERT_EQ(SdxGetInfo(sdx.c_str(), &info), 0);
    Probe v = probe_packets(dir.file("killed.ts"), "v");
    EXPECT_GT(v.packets, 200) << "over 8 s at 25 pictures a second";
    EXPECT_GE(info.seconds, (int)v.duration - 12);
    EXPECT_GE(info.index_count, 8);
}

// A directory that does not exist: the recording cannot start, the record bit leaves the mask,
// and the stream goes on playing.
TEST(RecordingRefused, MissingDirectoryEndsTheRecordingNotTheStream) {
    int port = qvtest::free_udp_port();
    Capture cap;
    Handle h(&cap);
    record_setup_t r = {};
    snprintf(r.directory_path, sizeof(r.directory_path), "/nonexistent/recordings");
    h.q()->Quorvex_set_record_param(h.h(), r);
    h.q()->Quorvex_set_streaming_param(h.h(), udp_input(port));
    ASSERT_EQ(h.q()->Quorvex_start(h.h(), 12), 0);
    qvtest::SenderOptions o;
    o.url = qvtest::udp_url(port);
    qvtest::FfmpegSender s(o);
    ASSERT_TRUE(wait_pictures(cap, 10, kFirstPictureMs)) << s.log();
    EXPECT_TRUE(qvtest::wait_until([&] { return h.info().action_bit == 4; }, 5000, 20));
    int before = cap.count();
    EXPECT_TRUE(wait_pictures(cap, before + 10, 5000));
}

// Record while receiving, then stop recording alone: the file is closed whole and reception goes
// on; a new start of recording makes a new file.
TEST_F(Recording, StopOfRecordingAloneClosesTheFile) {
    Capture cap;
    Handle h(&cap);
    record_setup_t r = {};
    snprintf(r.directory_path, sizeof(r.directory_path), "%s", dir_.path().c_str());
    std::string name = "part";
    r.file_name = name.data();
    r.is_trick_mode = 1;
    h.q()->Quorvex_set_record_param(h.h(), r);
    h.q()->Quorvex_set_streaming_param(h.h(), udp_input(port_));
    ASSERT_EQ(h.q()->Quorvex_start(h.h(), 4), 0);
    qvtest::SenderOptions o;
    o.url = qvtest::udp_url(port_);
    qvtest::FfmpegSender s(o);
    ASSERT_TRUE(wait_pictures(cap, 10, kFirstPictureMs)) << s.log();
    ASSERT_EQ(h.q()->Quorvex_start(h.h(), 8), 0);
    OS_MSleep(2500);
    h.q()->Quorvex_stop(h.h(), 8);
    EXPECT_EQ(h.info().action_bit, 4);
    // The receive task closes the recorder at its next packet: the file stops growing.
    long long last = -1;
    int still = 0;
    EXPECT_TRUE(qvtest::wait_until(
        [&] {
            struct stat st;
            long long size = stat(dir_.file("part.ts").c_str(), &st) == 0 ? st.st_size : -1;
            still = size == last ? still + 1 : 0;
            last = size;
            return still >= 5;
        },
        5000, 100));
    EXPECT_EQ(is_valid_file(dir_.file("part.sdx").c_str()), 1);
    Probe v = probe_packets(dir_.file("part.ts"), "v");
    EXPECT_GT(v.packets, 40);
    EXPECT_LT(v.packets, 100);
    ASSERT_EQ(h.q()->Quorvex_start(h.h(), 8), 0);
    OS_MSleep(1500);
    h.q()->Quorvex_stop(h.h(), 4);
    EXPECT_TRUE(exists(dir_.file("part_1.ts")));
    EXPECT_GT(probe_packets(dir_.file("part_1.ts"), "v").packets, 10);
}

} // namespace

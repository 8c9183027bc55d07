// Audio output through SDL's disk driver (the device writes what it plays to a file): tone
// and format, track selection, the device-opening fallbacks and the backlog rule.
#include <gtest/gtest.h>

#include <math.h>
#include <stdlib.h>
#include <string.h>

#include <fstream>
#include <string>
#include <vector>

#include "live_fixture.h"
#include "oslite.h"
#include "quorvex.h"
#include "quorvex_audio.h"

using namespace livetest;

namespace {

// SDL picks its audio driver when audio is first started: before any play handle exists.
class DiskAudioEnvironment : public ::testing::Environment {
  public:
    void SetUp() override { setenv("SDL_AUDIODRIVER", "disk", 1); }
};
const ::testing::Environment *const g_disk_audio =
    ::testing::AddGlobalTestEnvironment(new DiskAudioEnvironment);

std::vector<int16_t> read_samples(const std::string &file) {
    std::ifstream f(file, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    std::vector<int16_t> s(bytes.size() / 2);
    if (!s.empty())
        memcpy(s.data(), bytes.data(), s.size() * 2);
    return s;
}

// Tone frequency of the first channel from zero crossings, counted only over the 10 ms pieces
// of the window that carry sound: a loaded machine may leave gaps of silence (late audio is
// dropped, never played late), and those must not read as a lower tone.
double tone_hz(const std::vector<int16_t> &s, size_t from, size_t count, int channels, int rate) {
    const size_t piece = (size_t)rate / 100;
    int crossings = 0;
    size_t loud_frames = 0;
    for (size_t start = 0; start + piece <= count; start += piece) {
        size_t base = from + start * channels;
        if (base + piece * channels > s.size())
            break;
        int piece_peak = 0, piece_crossings = 0;
        for (size_t k = 0; k < piece; k++) {
            int16_t v = s[base + k * channels];
            piece_peak = std::max(piece_peak, abs((int)v));
            if (k > 0 && ((s[base + (k - 1) * channels] < 0) != (v < 0)))
                piece_crossings++;
        }
        if (piece_peak < 500)
            continue;
        crossings += piece_crossings;
        loud_frames += piece;
    }
    return loud_frames ? crossings / 2.0 / ((double)loud_frames / rate) : 0;
}

int peak(const std::vector<int16_t> &s, size_t from) {
    int m = 0;
    for (size_t i = from; i < s.size(); i++)
        m = std::max(m, abs((int)s[i]));
    return m;
}

// Share of the 10 ms pieces of a window that carry sound (of the first channel).
double loud_fraction(const std::vector<int16_t> &s, size_t from, size_t count, int channels,
                     int rate) {
    const size_t piece = (size_t)rate / 100;
    int pieces = 0, loud = 0;
    for (size_t start = 0; start + piece <= count; start += piece) {
        size_t base = from + start * channels;
        if (base + piece * channels > s.size())
            break;
        int piece_peak = 0;
        for (size_t k = 0; k < piece; k++)
            piece_peak = std::max(piece_peak, abs((int)s[base + k * channels]));
        pieces++;
        loud += piece_peak >= 500;
    }
    return pieces ? (double)loud / pieces : 0;
}

// One audio track of the sender: a sine tone in a codec, rate and channel count.
struct Track {
    int hz;
    std::string codec = "mp2";
    int rate = 48000;
    int channels = 1;
};

// An ordinary sender: FFmpeg's MPEG-TS muxer with its defaults, which packs several audio
// frames into each PES packet.
std::vector<std::string> tone_sender(int port, const std::vector<Track> &tracks) {
    std::vector<std::string> a = {
        "ffmpeg", "-hide_banner", "-loglevel", "error", "-nostdin",
        "-re",    "-f",           "lavfi",     "-i",    "testsrc2=size=160x120:rate=25"};
    for (const Track &t : tracks) {
        a.insert(a.end(), {"-f", "lavfi", "-i",
                           "sine=frequency=" + std::to_string(t.hz) +
                               ":sample_rate=" + std::to_string(t.rate)});
    }
    a.insert(a.end(), {"-map", "0:v"});
    for (size_t i = 0; i < tracks.size(); i++)
        a.insert(a.end(), {"-map", std::to_string(i + 1) + ":a"});
    a.insert(a.end(),
             {"-c:v", "libx264", "-preset", "ultrafast", "-tune", "zerolatency", "-g", "25"});
    for (size_t i = 0; i < tracks.size(); i++) {
        const std::string n = std::to_string(i);
        a.insert(a.end(), {"-c:a:" + n, tracks[i].codec, "-ac:a:" + n,
                           std::to_string(tracks[i].channels), "-b:a:" + n, "128k"});
    }
    a.insert(a.end(), {"-f", "mpegts", qvtest::udp_url(port)});
    return a;
}

class AudioOut : public ::testing::Test {
  protected:
    void SetUp() override {
        out_ = dir_.file("device.raw");
        setenv("SDL_DISKAUDIOFILE", out_.c_str(), 1);
        port_ = qvtest::free_udp_port();
    }
    size_t samples_now() { return read_samples(out_).size(); }
    // Waits until the decoder has played packets, then for `seconds` more of device output.
    bool wait_playing(Handle &h, double seconds) {
        if (!qvtest::wait_until([&] { return h.info().get_strm_info.a_bitrate > 20; }, 20000, 50))
            return false;
        size_t start = samples_now();
        return qvtest::wait_until([&] { return samples_now() > start + (size_t)(seconds * 48000); },
                                  10000, 50);
    }
    qvtest::TempDir dir_;
    std::string out_;
    int port_ = 0;
};

TEST_F(AudioOut, ToneIsPlayedInTheDeviceFormat) {
    Capture cap;
    Handle h(&cap);
    ASSERT_EQ(h.play(udp_input(port_)), 0);
    qvtest::Process sender(tone_sender(port_, {Track{440}}), dir_.file("s.log"));
    ASSERT_TRUE(wait_playing(h, 1.0)) << qvtest::read_text(dir_.file("s.log"));
    quorvex_info_t i = h.info();
    EXPECT_EQ(i.get_strm_info.a_sample_rate, 48000);
    EXPECT_EQ(i.get_strm_info.a_channles, 1);
    EXPECT_EQ(i.get_strm_info.a_bits_per_ch, 16);
    EXPECT_GT(i.get_strm_info.a_bitrate, 0); // counts decoded audio packets
    playhandle_t *p = reinterpret_cast<playhandle_t *>(h.h());
    EXPECT_EQ(p->audio_params.freq, 48000);
    EXPECT_EQ(p->audio_params.channels, 1);
    EXPECT_EQ(p->audio_params.frame_size, 2);
    std::vector<int16_t> s = read_samples(out_);
    size_t from = s.size() - 48000;
    EXPECT_GT(peak(s, from), 1000);
    EXPECT_NEAR(tone_hz(s, from, 48000, 1, 48000), 440, 25);
    // The sender packs several frames into each PES; they arrive together and are all played.
    EXPECT_GT(loud_fraction(s, from, 48000, 1, 48000), 0.6);
}

struct TrackSwitch {
    const char *name;
    Track first, second;
    int second_codec; // FFmpeg codec id reported once the second track plays
};

void PrintTo(const TrackSwitch &t, std::ostream *os) {
    *os << t.name;
}

class AudioTrackSwitch : public AudioOut, public ::testing::WithParamInterface<TrackSwitch> {
  protected:
    // The tone of the last second the device played, once it is within `tolerance` of `hz`
    // (polled for at most 15 s; the last measure otherwise). A device opened for a new track
    // starts a new output file in the format now reported.
    double tone_becomes(Handle &h, double hz, double tolerance) {
        double measured = 0;
        qvtest::wait_until(
            [&] {
                quorvex_info_t i = h.info();
                int rate = i.get_strm_info.a_sample_rate, ch = i.get_strm_info.a_channles;
                if (rate <= 0 || ch <= 0)
                    return false;
                std::vector<int16_t> s = read_samples(out_);
                size_t frames = s.size() / (size_t)ch;
                if (frames < (size_t)rate)
                    return false;
                measured = tone_hz(s, (frames - (size_t)rate) * ch, (size_t)rate, ch, rate);
                return fabs(measured - hz) <= tolerance;
            },
            15000, 200);
        return measured;
    }
};

// Another track (another codec, rate or channel count) plays through a decoder and a
// resampler made for it.
TEST_P(AudioTrackSwitch, SelectedTrackIsDecodedAndConvertedForItsOwnFormat) {
    const TrackSwitch &c = GetParam();
    Capture cap;
    Handle h(&cap);
    ASSERT_EQ(h.play(udp_input(port_)), 0);
    qvtest::Process sender(tone_sender(port_, {c.first, c.second}), dir_.file("s.log"));
    ASSERT_TRUE(wait_playing(h, 1.0)) << qvtest::read_text(dir_.file("s.log"));
    quorvex_t *q = h.q();
    ASSERT_EQ(q->Quorvex_get_audio_ch_count(h.h()), 2);
    EXPECT_NEAR(tone_becomes(h, c.first.hz, 30), c.first.hz, 30);

    q->Quorvex_set_active_audio_ch(h.h(), 2); // not below the count: refused
    EXPECT_EQ(q->Quorvex_get_active_audio_ch(h.h()), 0);
    q->Quorvex_set_active_audio_ch(h.h(), 1);
    EXPECT_EQ(q->Quorvex_get_active_audio_ch(h.h()), 1);
    ASSERT_TRUE(qvtest::wait_until(
        [&] {
            quorvex_info_t i = h.info();
            return i.get_strm_info.a_codec == c.second_codec &&
                   i.get_strm_info.a_sample_rate == c.second.rate &&
                   i.get_strm_info.a_channles == c.second.channels;
        },
        10000, 50));
    EXPECT_NEAR(tone_becomes(h, c.second.hz, 40), c.second.hz, 40);
}

INSTANTIATE_TEST_SUITE_P(
    Formats, AudioTrackSwitch,
    ::testing::Values(TrackSwitch{"SameFormat", Track{440}, Track{1000}, 86016},
                      TrackSwitch{"AacStereoToMp2Mono", Track{440, "aac", 48000, 2},
                                  Track{1000, "mp2", 44100, 1}, 86016},
                      TrackSwitch{"AacToAacOfAnotherRate", Track{440, "aac", 48000, 2},
                                  Track{1000, "aac", 22050, 1}, 86018}),
    [](const ::testing::TestParamInfo<TrackSwitch> &p) { return std::string(p.param.name); });

// With no audio device at all (SDL's audio cannot start), the blocks for the audio decoder are
// released as they come instead of piling up for the life of the stream.
TEST(AudioWithoutDevice, PacketsAreDroppedNotQueued) {
    setenv("SDL_AUDIODRIVER", "no-such-driver", 1); // before SDL's audio starts in this process
    int port = qvtest::free_udp_port();
    qvtest::TempDir dir;
    Capture cap;
    Handle h(&cap);
    ASSERT_EQ(h.play(udp_input(port)), 0);
    qvtest::Process sender(tone_sender(port, {Track{440}}), dir.file("s.log"));
    ASSERT_TRUE(qvtest::wait_until([&] { return h.info().get_strm_info.a_codec != 0; }, 20000, 50))
        << qvtest::read_text(dir.file("s.log"));
    playhandle_t *p = reinterpret_cast<playhandle_t *>(h.h());
    int most = 0;
    // Three seconds of stream: about 125 audio frames arrive meanwhile.
    qvtest::wait_until(
        [&] {
            OS_WaitSemaphore(p->slot_lock);
            block_fifo_t *q = p->task_decode[DECODE_STREAM_AUDIO].p_qdecode;
            most = std::max(most, q ? block_FifoCount(q) : 0);
            OS_SetSemaphore(p->slot_lock);
            return false;
        },
        3000, 100);
    EXPECT_LE(most, 10);
    EXPECT_GT(cap.count(), 0) << "pictures still come";
}

// A device that refuses everything, or everything but one combination, recording the tries.
struct FakeDevice {
    std::vector<audio_try_t> tries;
    audio_try_t accept = {0, 0};
};

int fake_open(void *ctx, const audio_try_t *wanted, audio_try_t *obtained, int *fmt_ok) {
    FakeDevice *d = static_cast<FakeDevice *>(ctx);
    d->tries.push_back(*wanted);
    if (wanted->rate != d->accept.rate || wanted->channels != d->accept.channels)
        return -1;
    *obtained = *wanted;
    *fmt_ok = 1;
    return 0;
}

TEST(AudioDevice, FallbackOrderOfARefusingDevice) {
    struct Case {
        int channels, rate;
        std::vector<std::pair<int, int>> tries; // (rate, channels)
    } cases[] = {
        {6,
         48000,
         {{48000, 6},
          {48000, 4},
          {48000, 2},
          {48000, 1},
          {44100, 6},
          {44100, 4},
          {44100, 2},
          {44100, 1}}},
        {1, 96000, {{96000, 1}, {48000, 1}, {44100, 1}}},
        {2, 44100, {{44100, 2}, {44100, 1}}},
    };
    playhandle_t p = {};
    for (const Case &c : cases) {
        FakeDevice dev;
        EXPECT_EQ(sdl_audio_open(&p, 0, c.channels, c.rate, fake_open, &dev), -1);
        std::vector<std::pair<int, int>> got;
        for (const audio_try_t &t : dev.tries)
            got.push_back({t.rate, t.channels});
        EXPECT_EQ(got, c.tries) << c.channels << " channels at " << c.rate;
    }
}

TEST(AudioDevice, AcceptedCombinationSetsTheDeviceFormat) {
    playhandle_t p = {};
    FakeDevice dev;
    dev.accept = {44100, 2};
    ASSERT_EQ(sdl_audio_open(&p, 0, 6, 48000, fake_open, &dev), 0);
    EXPECT_EQ(p.audio_params.freq, 44100);
    EXPECT_EQ(p.audio_params.channels, 2);
    EXPECT_EQ(p.audio_params.frame_size, 4);
    EXPECT_EQ(p.audio_params.bytes_per_sec, 176400);
    EXPECT_EQ(p.audio_params.channel_layout, 0x3);               // front left and right
    EXPECT_EQ(sdl_audio_open(&p, 0, 2, 0, fake_open, &dev), -1); // no rate
}

TEST(AudioDevice, BufferIsAboutAThirtiethOfASecond) {
    struct Case {
        int rate, samples;
    } cases[] = {{48000, 2048}, {44100, 2048}, {8000, 512}, {192000, 8192}, {1000, 512}};
    for (const Case &c : cases)
        EXPECT_EQ(audio_buffer_samples(c.rate), c.samples) << c.rate;
}

// About 200 ms may wait behind the block taken; older blocks go first, the block taken stays
// in hand (here it cannot be decoded: the slot has no decoder, so the callback ends there).
TEST(AudioCallback, BacklogIsBoundedByTimeDroppingTheOldest) {
    struct Case {
        int64_t duration_90k; // of each block; 0: unknown
        int queued;
        int left;
    } cases[] = {
        {3600, 10, 5}, // 40 ms blocks: five behind the one taken
        {1800, 8, 7},  // 20 ms blocks: all seven behind it fit
        {0, 8, 4},     // unknown durations: four
        {90000, 3, 1}, // one-second blocks: one still waits
    };
    for (const Case &c : cases) {
        quorvex_handle_t h = 0;
        quorvex_open(quorvex_setup_t{}, &h);
        playhandle_t *p = reinterpret_cast<playhandle_t *>(h);
        task_decode_t *slot = &p->task_decode[DECODE_STREAM_AUDIO];
        slot->p_qdecode = block_FifoNew();
        for (int i = 0; i < c.queued; i++) {
            block_t *b = block_Alloc(100);
            b->i_pts = (uint64_t)i;
            b->i_length = c.duration_90k;
            block_FifoPut(slot->p_qdecode, b);
        }
        OS_AtomicSet(&slot->active_task_decode, 1);
        p->audio_reset_state = 1;
        std::vector<uint8_t> out(4096, 0xAA);
        audio_callback(p, out.data(), (int)out.size());
        EXPECT_EQ(block_FifoCount(slot->p_qdecode), c.left) << c.duration_90k;
        uint64_t first = 0;
        ASSERT_EQ(block_FifoFirstPts(slot->p_qdecode, &first), 0);
        EXPECT_EQ(first, (uint64_t)(c.queued - c.left)) << "the newest blocks stay";
        OS_AtomicSet(&slot->active_task_decode, 0);
        block_FifoRelease(slot->p_qdecode);
        slot->p_qdecode = nullptr;
        quorvex_close(h);
    }
}

} // namespace

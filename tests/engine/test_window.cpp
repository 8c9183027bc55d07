// The window display on a private X server: pictures drawn into a real X window and read back
// from the server, fit and full modes, the open options that size the window, the blinking
// frame, drawing switched off, and the stabilisers in the display path.
#include <gtest/gtest.h>

#include <vector>

#include "live_fixture.h"
#include "oslite.h"
#include "x11_fixture.h"

using namespace livetest;

namespace {

// The X server must exist before the first play handle starts SDL's video.
class XvfbEnvironment : public ::testing::Environment {
  public:
    void SetUp() override { ASSERT_TRUE(xvfb_.start()) << "Xvfb did not start"; }
    void TearDown() override { xvfb_.stop(); }

  private:
    qvtest::Xvfb xvfb_;
};

const ::testing::Environment *const g_xvfb =
    ::testing::AddGlobalTestEnvironment(new XvfbEnvironment);

constexpr int kFirstPictureMs = 20000;
constexpr int kPicW = 320, kPicH = 240;

// A still quadrant picture sent over UDP in real time for as long as the test runs.
class WindowTest : public ::testing::Test {
  protected:
    void SetUp() override {
        port_ = qvtest::free_udp_port();
        sender_ = qvtest::Process(quadrant_argv(kPicW, kPicH, 25, qvtest::udp_url(port_), true, 0),
                                  dir_.file("s.log"));
        ASSERT_TRUE(sender_.started());
    }
    streaming_setup_t input() const { return udp_input(port_); }
    // True when the window shows the quadrants at the centres of the given area.
    bool window_shows_quadrants(qvtest::TestWindow &w, int width, int height) {
        return colour_distance(w.pixel(width / 4, height / 4), kTopLeft) < 60 &&
               colour_distance(w.pixel(3 * width / 4, height / 4), kTopRight) < 60 &&
               colour_distance(w.pixel(width / 4, 3 * height / 4), kBottomLeft) < 60;
    }
    bool wait_window_quadrants(qvtest::TestWindow &w, int width, int height, int ms = 5000) {
        return qvtest::wait_until([&] { return window_shows_quadrants(w, width, height); }, ms, 50);
    }

    qvtest::TempDir dir_;
    int port_ = 0;
    qvtest::Process sender_;
};

TEST_F(WindowTest, ShowsTheSentPictureAndKeepsTheCallersWindow) {
    qvtest::TestWindow win;
    ASSERT_TRUE(win.create(640, 480));
    Capture cap;
    {
        Handle h(&cap, win.handle());
        ASSERT_EQ(h.play(input()), 0);
        ASSERT_TRUE(wait_pictures(cap, 10, kFirstPictureMs))
            << qvtest::read_text(dir_.file("s.log"));
        EXPECT_TRUE(wait_window_quadrants(win, 640, 480));
        {
            std::lock_guard<std::mutex> lock(cap.mu);
            EXPECT_EQ(cap.format, 27u); // ABGR, the texture's bytes
            EXPECT_EQ(cap.width, 640);
            EXPECT_EQ(cap.height, 480);
            EXPECT_GE(cap.pitch, 640 * 4);
        }
        EXPECT_TRUE(shows_quadrants(cap));

        // A second start on the same handle draws again.
        h.q()->Quorvex_stop(h.h(), 4);
        EXPECT_TRUE(win.alive());
        win.clear();
        EXPECT_EQ(win.pixel(160, 120), 0u);
        ASSERT_EQ(h.play(input()), 0);
        EXPECT_TRUE(wait_window_quadrants(win, 640, 480, kFirstPictureMs));
    }
    EXPECT_TRUE(win.alive()); // closing the handle leaves the caller's window alone
}

TEST_F(WindowTest, FitModeCutsTheTextureToMultiplesOf16AndStretchesIt) {
    qvtest::TestWindow win;
    ASSERT_TRUE(win.create(1013, 701));
    Capture cap;
    Handle h(&cap, win.handle());
    h.q()->Quorvex_windows_draw_mode(h.h(), e_win_mode_fit, 0);
    ASSERT_EQ(h.play(input()), 0);
    ASSERT_TRUE(wait_pictures(cap, 10, kFirstPictureMs));
    {
        std::lock_guard<std::mutex> lock(cap.mu);
        EXPECT_EQ(cap.width, 1008);
        EXPECT_EQ(cap.height, 688);
    }
    EXPECT_TRUE(wait_window_quadrants(win, 1013, 701));
    // Stretched over the whole client area: the far corner shows the bottom-right quadrant.
    EXPECT_LT(colour_distance(win.pixel(1008, 696), kTopLeft), 60);
}

TEST_F(WindowTest, FullModeKeepsThePictureSizeWhenTheWindowIsResized) {
    qvtest::TestWindow win;
    ASSERT_TRUE(win.create(640, 480));
    Capture cap;
    Handle h(&cap, win.handle());
    h.q()->Quorvex_windows_draw_mode(h.h(), e_win_mode_full, 0);
    ASSERT_EQ(h.play(input()), 0);
    ASSERT_TRUE(wait_pictures(cap, 10, kFirstPictureMs));
    win.resize(800, 600);
    int n = cap.count();
    ASSERT_TRUE(wait_pictures(cap, n + 10, 5000));
    std::lock_guard<std::mutex> lock(cap.mu);
    EXPECT_EQ(cap.width, kPicW);
    EXPECT_EQ(cap.height, kPicH);
}

TEST(WindowOpen, SizeFromWindowOptionRoundsThePictureAndShrinksTheWindow) {
    qvtest::TestWindow win;
    ASSERT_TRUE(win.create(640, 480));
    Capture cap;
    Handle h(&cap, win.handle(), QUORVEX_FLAG_SIZE_FROM_WINDOW);
    int w = 0, hh = 0;
    win.size(&w, &hh);
    EXPECT_EQ(w, 647);
    EXPECT_EQ(hh, 487);
}

TEST(WindowOpen, FixedSizeOptionSizesTheWindow) {
    qvtest::TestWindow win;
    ASSERT_TRUE(win.create(640, 480));
    Capture cap;
    quorvex_t *q = quorvex_get_handle();
    quorvex_setup_t setup = {};
    setup.flags = QUORVEX_FLAG_FIXED_SIZE;
    setup.hwnd = win.handle();
    setup.width = 400;
    setup.height = 300;
    quorvex_handle_t h = 0;
    q->Quorvex_open(setup, &h);
    int w = 0, hh = 0;
    win.size(&w, &hh);
    EXPECT_EQ(w, 399);
    EXPECT_EQ(hh, 299);
    q->Quorvex_close(h);
}

TEST_F(WindowTest, BlinkingFrameFollowsItsPeriodPhaseAndColour) {
    qvtest::TestWindow win;
    ASSERT_TRUE(win.create(640, 480));
    Capture cap;
    Handle h(&cap, win.handle());
    ASSERT_EQ(h.play(input()), 0);
    ASSERT_TRUE(wait_pictures(cap, 10, kFirstPictureMs));
    ASSERT_TRUE(wait_window_quadrants(win, 640, 480));
    const unsigned long frame_colour = 0x0080FF; // rgb 0xFF8000: red in the low byte is 0x00
    h.q()->Quorvex_draw_blink(h.h(), 3000, 500, 0xFF8000);
    struct Sample {
        unsigned t;
        bool on;
    };
    std::vector<Sample> samples;
    unsigned t0 = OS_GetKHClock();
    while (OS_GetKHClock() - t0 < 4500) {
        bool on = colour_distance(win.pixel(1, 1), frame_colour) < 50;
        samples.push_back({OS_GetKHClock() - t0, on});
        OS_MSleep(20);
    }
    // On, off and on again within the period; never after it.
    int phase_changes = 0;
    unsigned first_on = 0, last_on = 0;
    bool seen_on = false;
    for (size_t i = 0; i < samples.size(); i++) {
        if (samples[i].on) {
            if (!seen_on)
                first_on = samples[i].t;
            seen_on = true;
            last_on = samples[i].t;
        }
        if (i > 0 && samples[i].on != samples[i - 1].on && seen_on)
            phase_changes++;
    }
    ASSERT_TRUE(seen_on);
    EXPECT_GE(phase_changes, 3);
    EXPECT_LT(last_on - first_on, 3300u);
    // The frame sits at the edge only: the picture inside is untouched.
    EXPECT_TRUE(window_shows_quadrants(win, 640, 480));
}

TEST_F(WindowTest, NoWindowCopyFlagDrawsNothingButCallsTheOverlay) {
    qvtest::TestWindow win;
    ASSERT_TRUE(win.create(640, 480));
    Capture cap;
    Handle h(&cap, win.handle(), QUORVEX_FLAG_NO_WINDOW_COPY);
    ASSERT_EQ(h.play(input()), 0);
    ASSERT_TRUE(wait_pictures(cap, 25, kFirstPictureMs));
    EXPECT_TRUE(shows_quadrants(cap));
    EXPECT_EQ(win.pixel(160, 120), 0u);
    EXPECT_EQ(win.pixel(480, 360), 0u);
}

class WindowStabilizer : public WindowTest, public ::testing::WithParamInterface<int> {};

TEST_P(WindowStabilizer, StabilisedPicturesAreDrawn) {
    qvtest::TestWindow win;
    ASSERT_TRUE(win.create(640, 480));
    Capture cap;
    Handle h(&cap, win.handle());
    h.q()->Quorvex_set_stabilizer(h.h(), stabilizer_params_t{GetParam()});
    ASSERT_EQ(h.play(input()), 0);
    ASSERT_TRUE(wait_pictures(cap, 10, kFirstPictureMs));
    // A still picture: the correction stays near nothing, and the cropped, rescaled picture
    // still shows the quadrants.
    EXPECT_TRUE(wait_window_quadrants(win, 640, 480));
    EXPECT_TRUE(shows_quadrants(cap));
}

INSTANTIATE_TEST_SUITE_P(Algorithms, WindowStabilizer, ::testing::Values(1, 2));

// Pictures larger than the stabiliser's first scratch buffer (17 MB in RGBA) are stabilised
// and drawn, not left black.
TEST(WindowLargeStabilized, PictureAboveTheScratchSizeIsDrawn) {
    int port = qvtest::free_udp_port();
    qvtest::TempDir dir;
    qvtest::Process sender(quadrant_argv(2560, 1664, 5, qvtest::udp_url(port), true, 0),
                           dir.file("s.log"));
    qvtest::TestWindow win;
    ASSERT_TRUE(win.create(640, 480));
    Capture cap;
    Handle h(&cap, win.handle());
    h.q()->Quorvex_set_stabilizer(h.h(), stabilizer_params_t{1});
    ASSERT_EQ(h.play(udp_input(port)), 0);
    ASSERT_TRUE(wait_pictures(cap, 3, kFirstPictureMs)) << qvtest::read_text(dir.file("s.log"));
    bool drawn = qvtest::wait_until(
        [&] {
            return colour_distance(win.pixel(640 / 4, 480 / 4), kTopLeft) < 60 &&
                   colour_distance(win.pixel(3 * 640 / 4, 480 / 4), kTopRight) < 60 &&
                   colour_distance(win.pixel(640 / 4, 3 * 480 / 4), kBottomLeft) < 60;
        },
        10000, 50);
    EXPECT_TRUE(drawn);
}

} // namespace

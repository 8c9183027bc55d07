// The player program end to end on a private X server: the real engine beside it, a real
// FFmpeg sender on loopback, and the picture read back from the X server. Also the player
// without its engine library.
#include <gtest/gtest.h>

#include "../engine/x11_fixture.h"
#include "qvtest.h"

#include <X11/keysym.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace {

using qvtest::FfmpegSender;
using qvtest::Process;
using qvtest::SenderOptions;
using qvtest::TempDir;

// The player's top-level window on the test display, found by its title.
class PlayerWindow {
  public:
    PlayerWindow() : d_(XOpenDisplay(nullptr)) {}
    ~PlayerWindow() {
        if (d_)
            XCloseDisplay(d_);
    }
    bool find(int timeout_ms) {
        return d_ && qvtest::wait_until([&] { return (win_ = search()) != 0; }, timeout_ms, 50);
    }
    XWindowAttributes attributes() {
        XWindowAttributes a = {};
        XGetWindowAttributes(d_, win_, &a);
        return a;
    }
    // Gives the window the input focus and sends it a key press and release, as typed.
    void type_key(KeySym sym, unsigned int modifiers) {
        XSetInputFocus(d_, win_, RevertToParent, CurrentTime);
        XSync(d_, False);
        usleep(200000); // let the player take the focus in
        XEvent e = {};
        e.xkey.display = d_;
        e.xkey.window = win_;
        e.xkey.root = DefaultRootWindow(d_);
        e.xkey.subwindow = None;
        e.xkey.time = CurrentTime;
        e.xkey.same_screen = True;
        e.xkey.state = modifiers;
        e.xkey.keycode = XKeysymToKeycode(d_, sym);
        for (int type : {KeyPress, KeyRelease}) {
            e.type = type;
            XSendEvent(d_, win_, True, type == KeyPress ? KeyPressMask : KeyReleaseMask, &e);
        }
        XSync(d_, False);
    }
    // The window's pixels in the rectangle (x, y, w, h) of its own area, as 0xRRGGBB.
    std::vector<unsigned long> pixels(int x, int y, int w, int h) {
        std::vector<unsigned long> out;
        XImage *img = XGetImage(d_, win_, x, y, (unsigned)w, (unsigned)h, AllPlanes, ZPixmap);
        if (!img)
            return out;
        for (int j = 0; j < h; j++)
            for (int i = 0; i < w; i++)
                out.push_back(XGetPixel(img, i, j) & 0xFFFFFF);
        XDestroyImage(img);
        return out;
    }

  private:
    Window search() {
        Window root_ret, parent, *children = nullptr;
        unsigned int n = 0;
        Window found = 0;
        if (!XQueryTree(d_, DefaultRootWindow(d_), &root_ret, &parent, &children, &n))
            return 0;
        for (unsigned int i = 0; i < n && !found; i++) {
            char *name = nullptr;
            XWindowAttributes a;
            if (XFetchName(d_, children[i], &name) && name) {
                if (std::string(name) == "Tavelo Player" &&
                    XGetWindowAttributes(d_, children[i], &a) && a.map_state == IsViewable)
                    found = children[i];
                XFree(name);
            }
        }
        if (children)
            XFree(children);
        return found;
    }

    Display *d_;
    Window win_ = 0;
};

// Share of pixels whose brightest channel exceeds 100.
double lit_share(const std::vector<unsigned long> &px) {
    if (px.empty())
        return 0;
    size_t lit = 0;
    for (unsigned long p : px)
        if (((p >> 16) & 0xFF) > 100 || ((p >> 8) & 0xFF) > 100 || (p & 0xFF) > 100)
            lit++;
    return (double)lit / (double)px.size();
}

size_t differing(const std::vector<unsigned long> &a, const std::vector<unsigned long> &b) {
    size_t n = 0;
    for (size_t i = 0; i < a.size() && i < b.size(); i++)
        n += a[i] != b[i];
    return n;
}

// The inherited sanitizer options without strict string checks: Qt's X11 platform plugin has
// libxkbcommon copy keymap names with strndup from buffers that are not zero-terminated, which
// is valid (at most n bytes are read) but what the strict check reports.
std::string asan_options() {
    std::string opts = getenv("ASAN_OPTIONS") ? getenv("ASAN_OPTIONS") : "";
    const std::string strict = "strict_string_checks=1";
    const size_t at = opts.find(strict);
    if (at != std::string::npos)
        opts.replace(at, strict.size(), "strict_string_checks=0");
    return "ASAN_OPTIONS=" + opts;
}

class PlayerE2E : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(xvfb_.start()); }
    Process start_player(const std::string &exe, const std::vector<std::string> &args,
                         const std::vector<std::string> &env = {}) {
        std::vector<std::string> argv{exe};
        argv.insert(argv.end(), args.begin(), args.end());
        std::vector<std::string> full_env{"XDG_DATA_HOME=" + home_.path(), asan_options()};
        full_env.insert(full_env.end(), env.begin(), env.end());
        return Process(argv, log_, full_env);
    }
    std::string log() const { return qvtest::read_text(log_); }

    qvtest::Xvfb xvfb_;
    TempDir home_{"player_e2e"};
    std::string log_ = home_.file("player.log");
};

TEST_F(PlayerE2E, PlaysTheLiveStreamInTheVideoFrame) {
    const int port = qvtest::free_udp_port();
    SenderOptions opts;
    opts.url = qvtest::udp_url(port);
    opts.width = 640;
    opts.height = 480;
    opts.audio = true;
    FfmpegSender sender(opts);
    ASSERT_TRUE(sender.running()) << sender.log();

    Process player = start_player(PLAYER_BIN, {"-url", "ts://@:" + std::to_string(port), "-size",
                                               "800x600", "-pos", "30,40"});
    ASSERT_TRUE(player.started());
    PlayerWindow win;
    ASSERT_TRUE(win.find(20000)) << log();

    // -size and -pos place the window (no window manager: the position is the window's own).
    ASSERT_TRUE(qvtest::wait_until(
        [&] {
            XWindowAttributes a = win.attributes();
            return a.width == 800 && a.height == 600 && a.x == 30 && a.y == 40;
        },
        5000, 50));

    // The moving test picture inside the video frame: the middle of the window's upper part
    // lights up and keeps changing.
    auto area = [&] { return win.pixels(200, 100, 400, 250); };
    ASSERT_TRUE(qvtest::wait_until([&] { return lit_share(area()) > 0.8; }, 20000, 100))
        << "no picture; share lit " << lit_share(area()) << "\n"
        << log();
    const std::vector<unsigned long> first = area();
    ASSERT_TRUE(qvtest::wait_until([&] { return differing(first, area()) > 500; }, 5000, 100))
        << "the picture does not move";
    EXPECT_TRUE(player.running()) << log();
    player.stop();
}

// A copy of the player in a directory of its own, without the engine beside it.
TEST_F(PlayerE2E, WithoutTheEngineTheNoticeShowsAndTheWindowStillWorks) {
    TempDir dir("player_alone");
    const std::string exe = dir.file("tavelo_player64");
    ASSERT_EQ(Process::run({"cp", PLAYER_BIN, exe}, 10000), 0);

    const int port = qvtest::free_udp_port();
    // The stream the command line asks for cannot start: every engine action is refused.
    Process player = start_player(
        exe, {"-url", "ts://@:" + std::to_string(port), "-size", "700x500"}, {"LD_LIBRARY_PATH"});
    ASSERT_TRUE(player.started());
    PlayerWindow win;
    ASSERT_TRUE(win.find(20000)) << log();

    // The red notice: red text on black over the video frame.
    auto red_pixels = [&] {
        size_t n = 0;
        for (unsigned long p : win.pixels(0, 0, 700, 400))
            if (((p >> 16) & 0xFF) > 180 && ((p >> 8) & 0xFF) < 80 && (p & 0xFF) < 80)
                n++;
        return n;
    };
    EXPECT_TRUE(qvtest::wait_until([&] { return red_pixels() > 100; }, 10000, 100))
        << "no notice; red pixels " << red_pixels() << "\n"
        << log();

    // The window is laid out as asked and stays up.
    EXPECT_TRUE(qvtest::wait_until(
        [&] {
            XWindowAttributes a = win.attributes();
            return a.width == 700 && a.height == 500;
        },
        5000, 50));
    EXPECT_NE(log().find("start_command_line"), std::string::npos) << log();

    // Play (Ctrl+O) is taken and refused at the missing engine; the player stays up.
    win.type_key(XK_o, ControlMask);
    EXPECT_TRUE(qvtest::wait_until(
        [&] { return log().find("on_playButton_clicked") != std::string::npos; }, 5000, 50))
        << log();
    EXPECT_GT(red_pixels(), 100u);
    EXPECT_TRUE(player.running()) << log();
    player.stop();
}

} // namespace

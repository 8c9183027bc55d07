// A private X server (Xvfb) for tests that need real windows, and small Xlib helpers to make a
// window and read its pixels back from the server.
#pragma once

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

namespace qvtest {

// Starts Xvfb on a display number it picks itself and points DISPLAY at it.
class Xvfb {
  public:
    bool start() {
        int fds[2];
        if (pipe(fds) != 0)
            return false;
        pid_ = fork();
        if (pid_ == 0) {
            setpgid(0, 0);
            // A test that dies (a sanitizer abort, say) takes its X server with it.
            prctl(PR_SET_PDEATHSIG, SIGTERM);
            dup2(fds[1], 3);
            int null_fd = open("/dev/null", O_WRONLY);
            dup2(null_fd, 1);
            dup2(null_fd, 2);
            execlp("Xvfb", "Xvfb", "-displayfd", "3", "-screen", "0", "1280x1024x24", "-nolisten",
                   "tcp", "-noreset", (char *)nullptr);
            _exit(127);
        }
        close(fds[1]);
        std::string number;
        struct pollfd pfd = {fds[0], POLLIN, 0};
        for (int i = 0; i < 100 && number.find('\n') == std::string::npos; i++) {
            if (poll(&pfd, 1, 100) <= 0)
                continue;
            char buf[16];
            ssize_t n = read(fds[0], buf, sizeof(buf));
            if (n <= 0)
                break;
            number.append(buf, (size_t)n);
        }
        close(fds[0]);
        if (number.empty() || number.find('\n') == std::string::npos) {
            stop();
            return false;
        }
        display_ = ":" + number.substr(0, number.find('\n'));
        setenv("DISPLAY", display_.c_str(), 1);
        return true;
    }
    void stop() {
        if (pid_ <= 0)
            return;
        kill(pid_, SIGTERM);
        for (int i = 0; i < 300; i++) {
            if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
                pid_ = -1;
                return;
            }
            usleep(10000);
        }
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
    ~Xvfb() { stop(); }
    const std::string &display() const { return display_; }

  private:
    pid_t pid_ = -1;
    std::string display_;
};

// A top-level window of our own on the test display, mapped and with a black background.
class TestWindow {
  public:
    bool create(int w, int h) {
        d_ = XOpenDisplay(nullptr);
        if (!d_)
            return false;
        int screen = DefaultScreen(d_);
        win_ = XCreateSimpleWindow(d_, RootWindow(d_, screen), 0, 0, (unsigned)w, (unsigned)h, 0,
                                   BlackPixel(d_, screen), BlackPixel(d_, screen));
        XSelectInput(d_, win_, StructureNotifyMask);
        XMapWindow(d_, win_);
        XSync(d_, False);
        for (int i = 0; i < 200; i++) { // wait for the map, bounded
            XEvent e;
            if (XCheckTypedWindowEvent(d_, win_, MapNotify, &e))
                return true;
            usleep(10000);
        }
        return true;
    }
    ~TestWindow() {
        if (d_) {
            XDestroyWindow(d_, win_);
            XCloseDisplay(d_);
        }
    }
    void *handle() const { return reinterpret_cast<void *>(static_cast<uintptr_t>(win_)); }
    void resize(int w, int h) {
        XResizeWindow(d_, win_, (unsigned)w, (unsigned)h);
        XSync(d_, False);
    }
    void size(int *w, int *h) {
        XWindowAttributes a;
        XGetWindowAttributes(d_, win_, &a);
        *w = a.width;
        *h = a.height;
    }
    void clear() {
        XClearWindow(d_, win_);
        XSync(d_, False);
    }
    bool alive() {
        XWindowAttributes a;
        return XGetWindowAttributes(d_, win_, &a) != 0;
    }
    // The window's pixel at (x, y) as 0xRRGGBB.
    unsigned long pixel(int x, int y) {
        XImage *img = XGetImage(d_, win_, x, y, 1, 1, AllPlanes, ZPixmap);
        if (!img)
            return 0xFFFFFFFF;
        unsigned long v = XGetPixel(img, 0, 0) & 0xFFFFFF;
        XDestroyImage(img);
        return v;
    }

  private:
    Display *d_ = nullptr;
    Window win_ = 0;
};

} // namespace qvtest

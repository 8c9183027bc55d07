// Test support for the engine's integration tests: child processes with bounded stops, free
// loopback ports, bounded waits, and real protocol peers on 127.0.0.1 (MPEG-TS over UDP, HTTP,
// RTSP, RTMP, and a scrambled MPEG-TS sender). Every peer owns its processes and temporary
// files and stops them in its destructor.
//
// Set QVTEST_KEEP_TEMP=1 to keep the peers' temporary directories (configs, logs, media) after a
// run; their paths are printed on stderr then.
#pragma once

#include <sys/types.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace qvtest {

// ---------------------------------------------------------------------------------------------
// Processes

// A child process in its own process group. stdout and stderr go to a log file (or /dev/null),
// stdin is /dev/null. A child started from the main thread is killed by the kernel when the test
// process dies, so a crashed test leaves no peer behind (children of other threads lack that
// guard, because the kernel would kill them as soon as their thread ends). Not copyable;
// movable.
class Process {
  public:
    Process() = default;
    // Starts argv[0] (searched in PATH when it has no slash). `log_path` "" means /dev/null; an
    // existing log is appended to. `extra_env` entries "NAME=value" override the inherited
    // environment and a bare "NAME" removes the variable. Check started() afterwards.
    explicit Process(const std::vector<std::string> &argv, const std::string &log_path = "",
                     const std::vector<std::string> &extra_env = {});
    ~Process();
    Process(Process &&other) noexcept;
    Process &operator=(Process &&other) noexcept;
    Process(const Process &) = delete;
    Process &operator=(const Process &) = delete;

    bool started() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }
    // True while the child has not exited (reaps it when it has).
    bool running();
    // Waits up to `timeout_ms` for the child to exit by itself. Returns its exit code, or -1 if
    // it is still running.
    int wait_exit(int timeout_ms);
    // SIGTERM to the child's process group, up to `timeout_ms` for it to exit, then SIGKILL.
    // Returns the exit code: the child's own, 128 + signal when a signal ended it, -1 when
    // nothing was started. Calling it again returns the same code.
    int stop(int timeout_ms = 3000);
    // SIGKILL to the process group, as a crash would end it; returns like stop().
    int kill();
    // SIGSTOP / SIGCONT to the process group: a peer that is alive but silent.
    void suspend();
    void resume();
    // The exit code once the child has been reaped (see stop()), else -1.
    int exit_code() const { return exit_code_; }

    // Runs a command to completion, killing it after `timeout_ms`. Returns its exit code, or -1
    // when it could not be started or had to be killed.
    static int run(const std::vector<std::string> &argv, int timeout_ms,
                   const std::string &log_path = "");
    // The same, with stdout captured into `out` (stderr to /dev/null).
    static int run_capture(const std::vector<std::string> &argv, int timeout_ms, std::string &out);

  private:
    bool reap(int options);
    void signal_group(int sig);

    pid_t pid_ = -1;
    bool reaped_ = false;
    int exit_code_ = -1;
};

// Pids of this process's children that have not been reaped, zombies included. Every peer reaps
// its processes, so this is empty between tests.
std::vector<int> live_children();

// ---------------------------------------------------------------------------------------------
// Ports and waits

// A port that was free on 127.0.0.1 a moment ago (bound to port 0, read back, closed).
int free_udp_port();
int free_tcp_port();

// Polls `pred` every `step_ms` until it is true or `timeout_ms` have passed; true if it became
// true. `pred` is evaluated at least once.
bool wait_until(const std::function<bool()> &pred, int timeout_ms, int step_ms = 10);

// Waits until a connect to 127.0.0.1:port succeeds (each attempt connects and closes).
bool wait_tcp_listening(int port, int timeout_ms);

// Waits until a socket listens on 127.0.0.1:port, without connecting to it (reads the kernel's
// socket table). For servers that accept one client only.
bool wait_tcp_listen_socket(int port, int timeout_ms);

// ---------------------------------------------------------------------------------------------
// Temporary directories and paths

// A fresh directory under $TMPDIR (or /tmp), removed with its contents by the destructor unless
// QVTEST_KEEP_TEMP=1.
class TempDir {
  public:
    explicit TempDir(const std::string &prefix = "qvtest");
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;

    const std::string &path() const { return path_; }
    std::string file(const std::string &name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

// The whole contents of a file ("" when it cannot be read); handy for failure messages.
std::string read_text(const std::string &path);

// Built tools.
std::string enc_ts_sender_path();
std::string rtsp_server_script();

// URLs of the senders' destinations.
std::string udp_url(int port);                                 // udp://127.0.0.1:PORT?pkt_size=1316
std::string multicast_url(const std::string &group, int port); // ttl 1 from 127.0.0.1
// What a receiver opens for the same streams.
std::string udp_listen_url(int port);                                 // udp://@127.0.0.1:PORT
std::string multicast_listen_url(const std::string &group, int port); // udp://@GROUP:PORT

// ---------------------------------------------------------------------------------------------
// FFmpeg test-pattern senders (lavfi testsrc2 + sine; nothing shipped)

enum class VideoCodec { H264, H265 };

struct SenderOptions {
    std::string url;               // destination; see udp_url() and multicast_url()
    std::string format = "mpegts"; // FFmpeg muxer
    int width = 320;
    int height = 240;
    int fps = 25;
    int gop = 25;          // key frame interval in frames; SPS/PPS repeat at each one
    int bitrate_kbps = 0;  // 0: the encoder's constant-quality default
    double duration_s = 0; // 0: endless
    VideoCodec codec = VideoCodec::H264;
    bool audio = false; // sine tone, AAC
    int tone_hz = 1000;
    bool realtime = true;     // -re: pace the output at the frame rate
    bool http_listen = false; // serve `url` as a one-client HTTP server (-listen 1)
};

// The exact ffmpeg command line for `opts`.
std::vector<std::string> sender_argv(const SenderOptions &opts);

// An ffmpeg process sending the test pattern. Stopped by the destructor.
class FfmpegSender {
  public:
    explicit FfmpegSender(const SenderOptions &opts);
    ~FfmpegSender();

    const std::vector<std::string> &argv() const { return argv_; }
    const SenderOptions &options() const { return opts_; }
    Process &process() { return proc_; }
    bool running() { return proc_.running(); }
    int stop(int timeout_ms = 3000) { return proc_.stop(timeout_ms); }
    std::string log() const;

  private:
    SenderOptions opts_;
    TempDir dir_;
    std::vector<std::string> argv_;
    Process proc_;
};

// MPEG-TS over HTTP: ffmpeg listening on http://127.0.0.1:PORT/live.ts. It serves ONE client:
// the stream starts when the client connects and ffmpeg exits when it leaves. Make a new server
// (the same port is fine once this one is gone) for another connection.
class HttpTsServer {
  public:
    // `opts.url`, `format` and `http_listen` are set by the server; port 0 picks a free one.
    explicit HttpTsServer(SenderOptions opts = {}, int port = 0);

    // True once the socket listens (checked without connecting to it).
    bool wait_ready(int timeout_ms = 10000);
    int port() const { return port_; }
    std::string url() const;
    FfmpegSender &sender() { return *sender_; }

  private:
    int port_;
    std::unique_ptr<FfmpegSender> sender_;
};

// ---------------------------------------------------------------------------------------------
// RTSP: tools/rtsp_server.py (GStreamer), an H.264 test pattern with payload type 96 for RTP over
// UDP or interleaved TCP. Each client gets its own encoder.

struct RtspOptions {
    int port = 0; // 0: a free one
    std::string path = "/live";
    int width = 320;
    int height = 240;
    int fps = 25;
};

class RtspServer {
  public:
    explicit RtspServer(const RtspOptions &opts = {});
    ~RtspServer();

    // Waits until the port accepts connections; false if it does not or the server died.
    bool wait_ready(int timeout_ms = 10000);
    int port() const { return opts_.port; }
    std::string url() const; // rtsp://127.0.0.1:PORT/PATH
    Process &process() { return proc_; }
    // Kills the server (as a crash would: SIGKILL) and leaves it down.
    void kill();
    // Starts it again on the same port and path; call wait_ready() afterwards.
    void restart();
    std::string log() const;

  private:
    void start();

    RtspOptions opts_;
    TempDir dir_;
    Process proc_;
};

// ---------------------------------------------------------------------------------------------
// RTMP: a private nginx with the RTMP module (foreground, one process, config and logs in a
// temporary directory, application "live" listening on 127.0.0.1 only) and an ffmpeg publisher
// of the test pattern as FLV (H.264 + AAC; FLV carries no H.265 here).

class RtmpServer {
  public:
    explicit RtmpServer(int port = 0);
    ~RtmpServer();

    bool wait_ready(int timeout_ms = 10000);
    int port() const { return port_; }
    std::string url(const std::string &key) const; // rtmp://127.0.0.1:PORT/live/KEY
    Process &process() { return proc_; }
    std::string log() const; // nginx's error log

    // Where the module is installed on this system ("" if not found).
    static std::string module_path();

  private:
    void write_config() const;

    int port_;
    TempDir dir_;
    Process proc_;
};

class RtmpPublisher {
  public:
    // `opts.url`, `format` and `http_listen` are set by the publisher.
    RtmpPublisher(const RtmpServer &server, const std::string &key,
                  SenderOptions opts = default_options());
    // The test pattern with the tone.
    static SenderOptions default_options();

    // True once ffprobe, run with its own bound, sees the stream's video on the server.
    bool wait_live(int timeout_ms = 15000);
    std::string url() const { return url_; }
    FfmpegSender &sender() { return *sender_; }

  private:
    std::string url_;
    std::unique_ptr<FfmpegSender> sender_;
};

// ---------------------------------------------------------------------------------------------
// Scrambled MPEG-TS sender (tools/enc_ts_sender)

struct TestTsOptions {
    int width = 320;
    int height = 240;
    int fps = 25;
    int gop = 25;
    double seconds = 4;
    bool audio = true;
};

// Writes a short H.264 (+ AAC) transport stream for the scrambled sender: SEI units removed so
// that every key frame starts with AUD, SPS and PPS in the clear prefix. Bounded; true on
// success.
bool make_test_ts(const std::string &path, const TestTsOptions &opts = {});

struct EncSenderOptions {
    std::string url; // destination, e.g. udp_url(port)
    std::string key = "qvtest-key";
    int loops = 0;      // 0: until stopped
    bool plain = false; // send unscrambled
    std::string input;  // "" makes one with make_test_ts(test_ts)
    TestTsOptions test_ts;
};

class EncTsSender {
  public:
    explicit EncTsSender(const EncSenderOptions &opts);
    ~EncTsSender();

    // False when the input could not be made or the tool did not start.
    bool started() const { return proc_.started(); }
    const std::string &input() const { return input_; }
    const std::vector<std::string> &argv() const { return argv_; }
    Process &process() { return proc_; }
    int stop(int timeout_ms = 3000) { return proc_.stop(timeout_ms); }
    std::string log() const;

  private:
    EncSenderOptions opts_;
    TempDir dir_;
    std::string input_;
    std::vector<std::string> argv_;
    Process proc_;
};

// ---------------------------------------------------------------------------------------------
// Probing

struct ProbeResult {
    bool ok = false;   // ffprobe exited with 0 and reported a video stream
    std::string codec; // "h264", "hevc", …
    int width = 0;
    int height = 0;
    std::vector<std::string> streams; // codec names of all streams, in order
    std::string raw;                  // ffprobe's output
};

// Runs ffprobe on `url` with extra input options (e.g. {"-rtsp_transport", "tcp"}), killed
// after `timeout_ms`. It analyses 2 s of input unless the options say otherwise.
ProbeResult probe(const std::string &url, int timeout_ms = 15000,
                  const std::vector<std::string> &input_options = {});

} // namespace qvtest

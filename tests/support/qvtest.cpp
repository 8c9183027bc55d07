#include "qvtest.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

extern char **environ;

namespace qvtest {

namespace {

using Clock = std::chrono::steady_clock;

int remaining_ms(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return static_cast<int>(std::max<long long>(0, left.count()));
}

bool is_executable(const std::string &path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(path.c_str(), X_OK) == 0;
}

// argv[0] as a path for execve: PATH first, then the system directories, which a test's PATH
// may lack (nginx lives in /usr/sbin). "" when not found.
std::string resolve_program(const std::string &name) {
    if (name.find('/') != std::string::npos)
        return is_executable(name) ? name : "";
    std::string dirs = getenv("PATH") ? getenv("PATH") : "";
    dirs += ":/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin";
    std::istringstream in(dirs);
    for (std::string dir; std::getline(in, dir, ':');) {
        if (!dir.empty() && is_executable(dir + "/" + name))
            return dir + "/" + name;
    }
    return "";
}

std::string env_name(const std::string &entry) {
    return entry.substr(0, entry.find('='));
}

// The inherited environment with `extra` applied: "NAME=value" sets, a bare "NAME" unsets.
std::vector<std::string> child_environment(const std::vector<std::string> &extra) {
    std::vector<std::string> names;
    for (const auto &e : extra)
        names.push_back(env_name(e));
    std::vector<std::string> env;
    for (char **e = environ; e && *e; ++e) {
        if (std::find(names.begin(), names.end(), env_name(*e)) == names.end())
            env.emplace_back(*e);
    }
    for (const auto &e : extra) {
        if (e.find('=') != std::string::npos)
            env.push_back(e);
    }
    return env;
}

std::vector<char *> c_strings(std::vector<std::string> &strings) {
    std::vector<char *> out;
    for (auto &s : strings)
        out.push_back(s.data());
    out.push_back(nullptr);
    return out;
}

int open_output(const std::string &path) {
    const char *p = path.empty() ? "/dev/null" : path.c_str();
    return open(p, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
}

// Everything the child needs, prepared before fork: after it only async-signal-safe calls.
struct SpawnPlan {
    std::string program;
    std::vector<std::string> args;
    std::vector<std::string> env;
    int out_fd = -1;
    int err_fd = -1;
    int in_fd = -1;

    ~SpawnPlan() {
        for (int fd : {out_fd, err_fd, in_fd}) {
            if (fd >= 0)
                close(fd);
        }
    }
};

// The child side of fork: own process group, standard streams redirected, default signal
// handling. Reports a failed exec through `report_fd`. The kernel ties the death signal to the
// thread that forked, so it is asked for only when that is the main thread: a child started
// from a short-lived helper thread must outlive it.
[[noreturn]] void exec_child(const SpawnPlan &plan, char *const *argv, char *const *envp,
                             pid_t parent, bool die_with_parent, int report_fd) {
    setpgid(0, 0);
    if (die_with_parent) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent)
            _exit(127);
    }
    dup2(plan.in_fd, STDIN_FILENO);
    dup2(plan.out_fd, STDOUT_FILENO);
    dup2(plan.err_fd, STDERR_FILENO);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    for (int sig : {SIGPIPE, SIGTERM, SIGINT, SIGHUP, SIGCHLD})
        signal(sig, SIG_DFL);
    execve(plan.program.c_str(), argv, envp);
    const int err = errno;
    (void)!write(report_fd, &err, sizeof(err));
    _exit(127);
}

// Forks and execs; -1 when the program is missing or exec failed (reason on stderr).
pid_t spawn(SpawnPlan &plan) {
    if (plan.program.empty() || plan.out_fd < 0 || plan.err_fd < 0 || plan.in_fd < 0) {
        std::fprintf(stderr, "qvtest: cannot start %s\n",
                     plan.args.empty() ? "?" : plan.args[0].c_str());
        return -1;
    }
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0)
        return -1;
    std::vector<char *> argv = c_strings(plan.args);
    std::vector<char *> envp = c_strings(plan.env);
    const pid_t parent = getpid();
    const bool main_thread = gettid() == parent;
    const pid_t pid = fork();
    if (pid == 0)
        exec_child(plan, argv.data(), envp.data(), parent, main_thread, report[1]);
    close(report[1]);
    int exec_errno = 0;
    ssize_t n = -1;
    if (pid > 0) {
        setpgid(pid, pid); // also here, so the group exists before we might signal it
        do {
            n = read(report[0], &exec_errno, sizeof(exec_errno));
        } while (n < 0 && errno == EINTR);
    }
    close(report[0]);
    if (pid > 0 && n > 0) {
        std::fprintf(stderr, "qvtest: exec %s: %s\n", plan.program.c_str(), strerror(exec_errno));
        waitpid(pid, nullptr, 0);
        return -1;
    }
    return pid;
}

SpawnPlan make_plan(const std::vector<std::string> &argv, const std::string &out_path,
                    const std::string &err_path, const std::vector<std::string> &extra_env) {
    SpawnPlan plan;
    plan.args = argv;
    plan.program = argv.empty() ? "" : resolve_program(argv[0]);
    plan.env = child_environment(extra_env);
    plan.out_fd = open_output(out_path);
    plan.err_fd = open_output(err_path);
    plan.in_fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    return plan;
}

int decode_status(int status) {
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return -1;
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Process

Process::Process(const std::vector<std::string> &argv, const std::string &log_path,
                 const std::vector<std::string> &extra_env) {
    SpawnPlan plan = make_plan(argv, log_path, log_path, extra_env);
    pid_ = spawn(plan);
}

Process::~Process() {
    stop();
}

Process::Process(Process &&other) noexcept
    : pid_(other.pid_), reaped_(other.reaped_), exit_code_(other.exit_code_) {
    other.pid_ = -1;
}

Process &Process::operator=(Process &&other) noexcept {
    if (this != &other) {
        stop();
        pid_ = other.pid_;
        reaped_ = other.reaped_;
        exit_code_ = other.exit_code_;
        other.pid_ = -1;
    }
    return *this;
}

// Reaps the child if it has exited. While the exited leader is still a zombie its group id
// cannot be reused, so that is the moment to kill whatever it left behind in its group.
bool Process::reap(int options) {
    if (pid_ <= 0 || reaped_)
        return true;
    siginfo_t info{};
    if (waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOWAIT | options) != 0 ||
        info.si_pid != pid_)
        return false;
    ::kill(-pid_, SIGKILL);
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    reaped_ = true;
    exit_code_ = decode_status(status);
    return true;
}

void Process::signal_group(int sig) {
    if (pid_ > 0 && !reaped_)
        ::kill(-pid_, sig);
}

bool Process::running() {
    return pid_ > 0 && !reap(WNOHANG);
}

int Process::wait_exit(int timeout_ms) {
    if (pid_ <= 0)
        return -1;
    wait_until([this] { return reap(WNOHANG); }, timeout_ms, 5);
    return reaped_ ? exit_code_ : -1;
}

int Process::stop(int timeout_ms) {
    if (pid_ <= 0)
        return -1;
    if (!reap(WNOHANG)) {
        signal_group(SIGTERM);
        signal_group(SIGCONT); // a suspended child must run to act on SIGTERM
        if (wait_exit(timeout_ms) < 0 && !reaped_)
            kill();
    }
    return exit_code_;
}

int Process::kill() {
    if (pid_ <= 0)
        return -1;
    signal_group(SIGKILL);
    // SIGKILL cannot be caught; the bound only guards against a child stuck in the kernel.
    wait_exit(10000);
    return exit_code_;
}

void Process::suspend() {
    signal_group(SIGSTOP);
}

void Process::resume() {
    signal_group(SIGCONT);
}

int Process::run(const std::vector<std::string> &argv, int timeout_ms,
                 const std::string &log_path) {
    Process p(argv, log_path);
    if (!p.started())
        return -1;
    const int code = p.wait_exit(timeout_ms);
    if (code < 0)
        p.kill();
    return code;
}

int Process::run_capture(const std::vector<std::string> &argv, int timeout_ms, std::string &out) {
    TempDir dir("qvrun");
    const std::string out_path = dir.file("stdout");
    SpawnPlan plan = make_plan(argv, out_path, "", {});
    Process p;
    p.pid_ = spawn(plan);
    if (!p.started())
        return -1;
    int code = p.wait_exit(timeout_ms);
    if (code < 0)
        p.kill();
    out = read_text(out_path);
    return code;
}

// Reads the parent pid from /proc/PID/stat; the command name before it may hold spaces and
// parentheses, so the fields are counted from the last ')'.
std::vector<int> live_children() {
    std::vector<int> pids;
    const pid_t self = getpid();
    std::error_code ec;
    for (const auto &entry : std::filesystem::directory_iterator("/proc", ec)) {
        const std::string name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        const std::string stat = read_text(entry.path().string() + "/stat");
        const auto paren = stat.rfind(')');
        if (paren == std::string::npos)
            continue;
        std::istringstream fields(stat.substr(paren + 1));
        std::string state;
        int ppid = 0;
        fields >> state >> ppid;
        if (ppid == self)
            pids.push_back(atoi(name.c_str()));
    }
    return pids;
}

// ---------------------------------------------------------------------------------------------
// Ports and waits

namespace {

int bound_port(int type) {
    const int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(addr);
    int port = -1;
    if (bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) == 0)
        port = ntohs(addr.sin_port);
    close(fd);
    return port;
}

bool tcp_connects(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) == 0;
    close(fd);
    return ok;
}

// Scans /proc/net/tcp{,6} for a listening socket (state 0A) on the port, bound to the
// loopback address or to any address.
bool listen_socket_exists(int port) {
    char port_hex[8];
    std::snprintf(port_hex, sizeof(port_hex), "%04X", port);
    for (const char *table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        std::ifstream in(table);
        std::string line;
        std::getline(in, line); // header
        while (std::getline(in, line)) {
            std::istringstream fields(line);
            std::string slot, local, remote, state;
            fields >> slot >> local >> remote >> state;
            const auto colon = local.rfind(':');
            if (colon == std::string::npos || state != "0A" || local.substr(colon + 1) != port_hex)
                continue;
            const std::string ip = local.substr(0, colon);
            if (ip == "0100007F" || ip.find_first_not_of('0') == std::string::npos ||
                ip == "00000000000000000000000001000000")
                return true;
        }
    }
    return false;
}

} // namespace

int free_udp_port() {
    return bound_port(SOCK_DGRAM);
}

int free_tcp_port() {
    return bound_port(SOCK_STREAM);
}

bool wait_until(const std::function<bool()> &pred, int timeout_ms, int step_ms) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        if (pred())
            return true;
        const int left = remaining_ms(deadline);
        if (left <= 0)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(std::min(step_ms, left)));
    }
}

bool wait_tcp_listening(int port, int timeout_ms) {
    return wait_until([port] { return tcp_connects(port); }, timeout_ms, 20);
}

bool wait_tcp_listen_socket(int port, int timeout_ms) {
    return wait_until([port] { return listen_socket_exists(port); }, timeout_ms, 20);
}

// ---------------------------------------------------------------------------------------------
// Files and paths

namespace {

bool keep_temp() {
    const char *v = getenv("QVTEST_KEEP_TEMP");
    return v && strcmp(v, "1") == 0;
}

} // namespace

TempDir::TempDir(const std::string &prefix) {
    const char *base = getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/" + prefix + ".XXXXXX";
    if (mkdtemp(tmpl.data()))
        path_ = tmpl;
}

TempDir::~TempDir() {
    if (path_.empty())
        return;
    if (keep_temp()) {
        std::fprintf(stderr, "qvtest: kept %s\n", path_.c_str());
        return;
    }
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

std::string read_text(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string enc_ts_sender_path() {
    return QV_ENC_TS_SENDER;
}

std::string rtsp_server_script() {
    return std::string(QV_TOOLS_DIR) + "/rtsp_server.py";
}

std::string udp_url(int port) {
    return "udp://127.0.0.1:" + std::to_string(port) + "?pkt_size=1316";
}

std::string multicast_url(const std::string &group, int port) {
    return "udp://" + group + ":" + std::to_string(port) +
           "?localaddr=127.0.0.1&ttl=1&pkt_size=1316";
}

std::string udp_listen_url(int port) {
    return "udp://@127.0.0.1:" + std::to_string(port);
}

std::string multicast_listen_url(const std::string &group, int port) {
    return "udp://@" + group + ":" + std::to_string(port);
}

// ---------------------------------------------------------------------------------------------
// FFmpeg senders

namespace {

void append(std::vector<std::string> &to, std::initializer_list<std::string> items) {
    to.insert(to.end(), items);
}

// The lavfi sources: the test pattern, and the tone when asked for.
void add_inputs(std::vector<std::string> &a, const SenderOptions &o) {
    const std::string size = std::to_string(o.width) + "x" + std::to_string(o.height);
    if (o.realtime)
        a.push_back("-re");
    append(a, {"-f", "lavfi", "-i", "testsrc2=size=" + size + ":rate=" + std::to_string(o.fps)});
    if (o.audio) {
        if (o.realtime)
            a.push_back("-re");
        append(a, {"-f", "lavfi", "-i",
                   "sine=frequency=" + std::to_string(o.tone_hz) + ":sample_rate=48000"});
    }
    append(a, {"-map", "0:v"});
    if (o.audio)
        append(a, {"-map", "1:a"});
}

// Low-latency encoding with a fixed key frame interval: no B-frames, no scene-cut key frames,
// parameter sets repeated in-band at every key frame.
void add_video_codec(std::vector<std::string> &a, const SenderOptions &o) {
    const std::string gop = std::to_string(o.gop);
    if (o.codec == VideoCodec::H265) {
        append(a,
               {"-c:v", "libx265", "-preset", "ultrafast", "-tune", "zerolatency", "-x265-params",
                "keyint=" + gop + ":min-keyint=" + gop +
                    ":scenecut=0:repeat-headers=1:log-level=error"});
    } else {
        append(a, {"-c:v", "libx264", "-preset", "ultrafast", "-tune", "zerolatency", "-g", gop,
                   "-keyint_min", gop, "-sc_threshold", "0"});
    }
    append(a, {"-pix_fmt", "yuv420p"});
    if (o.bitrate_kbps > 0) {
        const std::string rate = std::to_string(o.bitrate_kbps) + "k";
        append(a, {"-b:v", rate, "-maxrate", rate, "-bufsize", rate});
    }
}

void add_audio_codec(std::vector<std::string> &a, const SenderOptions &o) {
    if (o.audio)
        append(a, {"-c:a", "aac", "-b:a", "64k"});
}

std::vector<std::string> ffmpeg_head() {
    return {"ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "warning"};
}

} // namespace

std::vector<std::string> sender_argv(const SenderOptions &opts) {
    std::vector<std::string> a = ffmpeg_head();
    add_inputs(a, opts);
    if (opts.duration_s > 0)
        append(a, {"-t", std::to_string(opts.duration_s)});
    add_video_codec(a, opts);
    add_audio_codec(a, opts);
    if (opts.http_listen)
        append(a, {"-listen", "1"});
    append(a, {"-f", opts.format, opts.url});
    return a;
}

FfmpegSender::FfmpegSender(const SenderOptions &opts)
    : opts_(opts), dir_("qvsender"), argv_(sender_argv(opts)),
      proc_(argv_, dir_.file("ffmpeg.log")) {}

FfmpegSender::~FfmpegSender() {
    proc_.stop();
}

std::string FfmpegSender::log() const {
    return read_text(dir_.file("ffmpeg.log"));
}

namespace {

SenderOptions http_options(SenderOptions opts, int port) {
    opts.url = "http://127.0.0.1:" + std::to_string(port) + "/live.ts";
    opts.format = "mpegts";
    opts.http_listen = true;
    return opts;
}

} // namespace

HttpTsServer::HttpTsServer(SenderOptions opts, int port)
    : port_(port > 0 ? port : free_tcp_port()),
      sender_(std::make_unique<FfmpegSender>(http_options(std::move(opts), port_))) {}

// A connect would be taken as the one client, so readiness is read from the socket table.
bool HttpTsServer::wait_ready(int timeout_ms) {
    const int port = port_;
    wait_until([&] { return !sender_->running() || listen_socket_exists(port); }, timeout_ms, 20);
    return sender_->running() && listen_socket_exists(port);
}

std::string HttpTsServer::url() const {
    return sender_->options().url;
}

// ---------------------------------------------------------------------------------------------
// RTSP server

RtspServer::RtspServer(const RtspOptions &opts) : opts_(opts), dir_("qvrtsp") {
    if (opts_.port <= 0)
        opts_.port = free_tcp_port();
    if (opts_.path.empty() || opts_.path[0] != '/')
        opts_.path = "/" + opts_.path;
    start();
}

RtspServer::~RtspServer() {
    proc_.stop();
}

// The system interpreter has the GStreamer bindings; a Python set up for a user account
// must not leak its module paths into it.
void RtspServer::start() {
    proc_ = Process({"/usr/bin/python3", rtsp_server_script(), "--port", std::to_string(opts_.port),
                     "--path", opts_.path, "--width", std::to_string(opts_.width), "--height",
                     std::to_string(opts_.height), "--fps", std::to_string(opts_.fps)},
                    dir_.file("rtsp.log"), {"PYTHONHOME", "PYTHONPATH", "PYTHONNOUSERSITE=1"});
}

bool RtspServer::wait_ready(int timeout_ms) {
    const int port = opts_.port;
    wait_until([&] { return !proc_.running() || tcp_connects(port); }, timeout_ms, 20);
    return proc_.running() && tcp_connects(port);
}

std::string RtspServer::url() const {
    return "rtsp://127.0.0.1:" + std::to_string(opts_.port) + opts_.path;
}

void RtspServer::kill() {
    proc_.kill();
}

void RtspServer::restart() {
    proc_.stop();
    start();
}

std::string RtspServer::log() const {
    return read_text(dir_.file("rtsp.log"));
}

// ---------------------------------------------------------------------------------------------
// RTMP server and publisher

std::string RtmpServer::module_path() {
    const std::string direct = "/usr/lib/nginx/modules/ngx_rtmp_module.so";
    if (access(direct.c_str(), R_OK) == 0)
        return direct;
    // The package's snippet names the module relative to nginx's prefix.
    const std::string snippet = read_text("/usr/share/nginx/modules-available/mod-rtmp.conf");
    const auto at = snippet.find("modules/");
    if (at == std::string::npos)
        return "";
    const auto end = snippet.find(';', at);
    const std::string path = "/usr/share/nginx/" + snippet.substr(at, end - at);
    return access(path.c_str(), R_OK) == 0 ? path : "";
}

RtmpServer::RtmpServer(int port) : port_(port > 0 ? port : free_tcp_port()), dir_("qvrtmp") {
    write_config();
    const std::string prefix = dir_.path() + "/";
    proc_ = Process(
        {"nginx", "-p", prefix, "-e", dir_.file("error.log"), "-c", dir_.file("nginx.conf")},
        dir_.file("nginx.out"));
}

RtmpServer::~RtmpServer() {
    proc_.stop();
}

// One foreground process and every path inside our directory: the system's nginx, its
// configuration and its logs are never touched.
void RtmpServer::write_config() const {
    const std::string d = dir_.path();
    std::ofstream conf(dir_.file("nginx.conf"));
    conf << "load_module " << module_path() << ";\n"
         << "daemon off;\n"
         << "master_process off;\n"
         << "worker_processes 1;\n"
         << "pid " << d << "/nginx.pid;\n"
         << "error_log " << d << "/error.log info;\n"
         << "events { worker_connections 64; }\n"
         << "rtmp {\n"
         << "    access_log " << d << "/access.log;\n"
         << "    server {\n"
         << "        listen 127.0.0.1:" << port_ << ";\n"
         << "        chunk_size 4096;\n"
         << "        application live {\n"
         << "            live on;\n"
         << "            record off;\n"
         // A late player starts at a key frame instead of in the middle of a GOP.
         << "            wait_key on;\n"
         << "        }\n"
         << "    }\n"
         << "}\n";
}

bool RtmpServer::wait_ready(int timeout_ms) {
    const int port = port_;
    wait_until([&] { return !proc_.running() || tcp_connects(port); }, timeout_ms, 20);
    return proc_.running() && tcp_connects(port);
}

std::string RtmpServer::url(const std::string &key) const {
    return "rtmp://127.0.0.1:" + std::to_string(port_) + "/live/" + key;
}

std::string RtmpServer::log() const {
    return read_text(dir_.file("error.log"));
}

namespace {

SenderOptions rtmp_options(SenderOptions opts, const std::string &url) {
    opts.url = url;
    opts.format = "flv";
    opts.http_listen = false;
    return opts;
}

} // namespace

SenderOptions RtmpPublisher::default_options() {
    SenderOptions opts;
    opts.audio = true;
    return opts;
}

RtmpPublisher::RtmpPublisher(const RtmpServer &server, const std::string &key, SenderOptions opts)
    : url_(server.url(key)),
      sender_(std::make_unique<FfmpegSender>(rtmp_options(std::move(opts), url_))) {}

// A player of a key nobody publishes yet waits, so each probe has its own bound and the loop
// gives up early when the publisher has died.
bool RtmpPublisher::wait_live(int timeout_ms) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (sender_->running()) {
        const int left = remaining_ms(deadline);
        if (left <= 0)
            return false;
        if (probe(url_, std::min(left, 6000)).ok)
            return true;
    }
    return false;
}

// ---------------------------------------------------------------------------------------------
// Scrambled sender

bool make_test_ts(const std::string &path, const TestTsOptions &t) {
    SenderOptions o;
    o.width = t.width;
    o.height = t.height;
    o.fps = t.fps;
    o.gop = t.gop;
    o.audio = t.audio;
    o.realtime = false;
    std::vector<std::string> a = ffmpeg_head();
    add_inputs(a, o);
    append(a, {"-t", std::to_string(t.seconds)});
    add_video_codec(a, o);
    // SEI units would sit before the slice data in the clear prefix; drop them.
    append(a, {"-bsf:v", "filter_units=remove_types=6"});
    add_audio_codec(a, o);
    append(a, {"-f", "mpegts", "-y", path});
    return Process::run(a, 60000, path + ".log") == 0;
}

EncTsSender::EncTsSender(const EncSenderOptions &opts) : opts_(opts), dir_("qvenc") {
    input_ = opts_.input;
    if (input_.empty()) {
        input_ = dir_.file("test.ts");
        if (!make_test_ts(input_, opts_.test_ts))
            return;
    }
    argv_ = {enc_ts_sender_path()};
    if (opts_.plain)
        argv_.push_back("--plain");
    append(argv_, {input_, opts_.url, opts_.key, std::to_string(opts_.loops)});
    proc_ = Process(argv_, dir_.file("enc_ts_sender.log"));
}

EncTsSender::~EncTsSender() {
    proc_.stop();
}

std::string EncTsSender::log() const {
    return read_text(input_ + ".log") + read_text(dir_.file("enc_ts_sender.log"));
}

// ---------------------------------------------------------------------------------------------
// Probing

namespace {

struct StreamInfo {
    std::string codec;
    std::string type;
    int width = 0;
    int height = 0;
};

// ffprobe's "key=value" lines; each stream starts with its index. MPEG-TS lists the streams
// twice (once under its program), hence the map.
std::map<int, StreamInfo> parse_streams(const std::string &text) {
    std::map<int, StreamInfo> streams;
    StreamInfo *cur = nullptr;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        const auto eq = line.find('=');
        if (eq == std::string::npos)
            continue;
        const std::string key = line.substr(0, eq), value = line.substr(eq + 1);
        if (key == "index")
            cur = &streams[atoi(value.c_str())];
        else if (!cur)
            continue;
        else if (key == "codec_name")
            cur->codec = value;
        else if (key == "codec_type")
            cur->type = value;
        else if (key == "width")
            cur->width = atoi(value.c_str());
        else if (key == "height")
            cur->height = atoi(value.c_str());
    }
    return streams;
}

} // namespace

ProbeResult probe(const std::string &url, int timeout_ms,
                  const std::vector<std::string> &input_options) {
    // MPEG-TS may add streams at any time, so ffprobe would read for its full default of 5 s;
    // 2 s hold a key frame of every stream the peers send. A caller's own value comes later
    // on the command line and wins.
    std::vector<std::string> a = {"ffprobe", "-v", "error", "-analyzeduration", "2000000"};
    a.insert(a.end(), input_options.begin(), input_options.end());
    append(a, {"-show_entries", "stream=index,codec_name,codec_type,width,height", "-of",
               "default=nw=1", url});
    ProbeResult r;
    const int rc = Process::run_capture(a, timeout_ms, r.raw);
    bool have_video = false;
    for (const auto &[index, s] : parse_streams(r.raw)) {
        r.streams.push_back(s.codec);
        if (s.type == "video" && !have_video) {
            have_video = true;
            r.codec = s.codec;
            r.width = s.width;
            r.height = s.height;
        }
    }
    r.ok = rc == 0 && have_video;
    return r;
}

} // namespace qvtest

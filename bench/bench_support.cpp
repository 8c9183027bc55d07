#include "bench_support.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>

namespace bench {

namespace {

int64_t clock_ns(clockid_t id) {
    struct timespec ts;
    clock_gettime(id, &ts);
    return (int64_t)ts.tv_sec * 1000000000 + ts.tv_nsec;
}

std::string read_file(const std::string &path) {
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

} // namespace

int64_t realtime_ns() {
    return clock_ns(CLOCK_REALTIME);
}

int64_t monotonic_ns() {
    return clock_ns(CLOCK_MONOTONIC);
}

int64_t thread_cpu_ns() {
    return clock_ns(CLOCK_THREAD_CPUTIME_ID);
}

int64_t process_cpu_ns() {
    return clock_ns(CLOCK_PROCESS_CPUTIME_ID);
}

void sleep_ms(int ms) {
    struct timespec ts = {ms / 1000, (long)(ms % 1000) * 1000000};
    nanosleep(&ts, nullptr);
}

Summary summarize(std::vector<double> values) {
    Summary s;
    if (values.empty())
        return s;
    std::sort(values.begin(), values.end());
    auto rank = [&](double q) {
        size_t i = (size_t)(q * (double)values.size() + 0.999999);
        return values[std::min(values.size(), std::max<size_t>(i, 1)) - 1];
    };
    double sum = 0;
    for (double v : values)
        sum += v;
    s.count = values.size();
    s.p50 = rank(0.50);
    s.p99 = rank(0.99);
    s.max = values.back();
    s.mean = sum / (double)values.size();
    return s;
}

void print_table(const std::vector<std::vector<std::string>> &rows) {
    std::vector<size_t> width;
    for (const auto &row : rows)
        for (size_t c = 0; c < row.size(); c++) {
            if (width.size() <= c)
                width.push_back(0);
            width[c] = std::max(width[c], row[c].size());
        }
    for (size_t r = 0; r < rows.size(); r++) {
        std::string line = "|";
        for (size_t c = 0; c < width.size(); c++) {
            std::string cell = c < rows[r].size() ? rows[r][c] : "";
            line += " " + cell + std::string(width[c] - cell.size(), ' ') + " |";
        }
        printf("%s\n", line.c_str());
        if (r == 0) {
            line = "|";
            for (size_t w : width)
                line += std::string(w + 2, '-') + "|";
            printf("%s\n", line.c_str());
        }
    }
    fflush(stdout);
}

std::string load_average() {
    std::istringstream in(read_file("/proc/loadavg"));
    std::string a, b, c;
    in >> a >> b >> c;
    return a + " " + b + " " + c;
}

bool parse_size(const std::string &text, int *w, int *h) {
    if (text == "720p") {
        *w = 1280, *h = 720;
        return true;
    }
    if (text == "1080p") {
        *w = 1920, *h = 1080;
        return true;
    }
    return sscanf(text.c_str(), "%dx%d", w, h) == 2 && *w > 0 && *h > 0;
}

std::vector<std::string> split_list(const std::string &text) {
    std::vector<std::string> out;
    std::stringstream in(text);
    for (std::string item; std::getline(in, item, ',');)
        if (!item.empty())
            out.push_back(item);
    return out;
}

// Fields 14 and 15 of /proc/PID/stat, counted after the command name (which may hold blanks).
int64_t proc_cpu_ns(pid_t pid) {
    std::string text = read_file("/proc/" + std::to_string(pid) + "/stat");
    size_t paren = text.rfind(')');
    if (paren == std::string::npos)
        return -1;
    std::istringstream in(text.substr(paren + 2));
    std::string field;
    long long utime = -1, stime = -1;
    for (int i = 3; i <= 15 && in >> field; i++) {
        if (i == 14)
            utime = atoll(field.c_str());
        if (i == 15)
            stime = atoll(field.c_str());
    }
    if (utime < 0 || stime < 0)
        return -1;
    return (utime + stime) * (1000000000LL / sysconf(_SC_CLK_TCK));
}

long proc_vmhwm_kb(pid_t pid) {
    std::istringstream in(read_file("/proc/" + std::to_string(pid) + "/status"));
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("VmHWM:", 0) == 0)
            return atol(line.c_str() + 6);
    return -1;
}

CpuSample sample_cpu(pid_t pid) {
    CpuSample s;
    s.cpu_ns = proc_cpu_ns(pid);
    s.wall_ns = monotonic_ns();
    return s;
}

double cpu_percent(const CpuSample &from, const CpuSample &to) {
    if (from.cpu_ns < 0 || to.cpu_ns < 0 || to.wall_ns <= from.wall_ns)
        return -1;
    return 100.0 * (double)(to.cpu_ns - from.cpu_ns) / (double)(to.wall_ns - from.wall_ns);
}

// ---------------------------------------------------------------------------------------------

Child::~Child() {
    stop();
}

bool Child::start(const std::vector<std::string> &argv, const std::string &log_path,
                  bool pipe_stdout) {
    // Everything the child needs is made before fork: between fork and exec it may only make
    // async-signal-safe calls (no allocation).
    std::vector<char *> args;
    for (const std::string &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    const char *log = log_path.empty() ? "/dev/null" : log_path.c_str();
    int fds[2] = {-1, -1};
    if (pipe_stdout && pipe(fds) != 0)
        return false;
    pid_t parent = getpid();
    pid_ = fork();
    if (pid_ == 0) {
        setpgid(0, 0);
        // A benchmark that dies must not leave its peers running.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent)
            _exit(127);
        int null_fd = open("/dev/null", O_RDWR);
        int log_fd = open(log, O_WRONLY | O_CREAT | O_APPEND, 0644);
        dup2(null_fd, 0);
        dup2(pipe_stdout ? fds[1] : log_fd, 1);
        dup2(log_fd, 2);
        execvp(args[0], args.data());
        _exit(127);
    }
    if (pipe_stdout) {
        close(fds[1]);
        out_fd_ = fds[0];
    }
    return pid_ > 0;
}

bool Child::running() {
    return pid_ > 0 && wait_exit(0) == -1;
}

bool Child::read_line(std::string *line, int timeout_ms) {
    int64_t deadline = monotonic_ns() + (int64_t)timeout_ms * 1000000;
    while (out_fd_ >= 0) {
        size_t nl = pending_.find('\n');
        if (nl != std::string::npos) {
            *line = pending_.substr(0, nl);
            pending_.erase(0, nl + 1);
            return true;
        }
        int left_ms = (int)((deadline - monotonic_ns()) / 1000000);
        if (left_ms <= 0)
            return false;
        struct pollfd pfd = {out_fd_, POLLIN, 0};
        if (poll(&pfd, 1, left_ms) <= 0)
            continue;
        char buf[512];
        ssize_t n = read(out_fd_, buf, sizeof(buf));
        if (n <= 0)
            return false;
        pending_.append(buf, (size_t)n);
    }
    return false;
}

int Child::wait_exit(int timeout_ms) {
    if (pid_ <= 0)
        return status_;
    for (int waited = 0;; waited += 10) {
        int st = 0;
        if (waitpid(pid_, &st, WNOHANG) == pid_) {
            status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
            pid_ = -1;
            if (out_fd_ >= 0)
                close(out_fd_);
            out_fd_ = -1;
            return status_;
        }
        if (waited >= timeout_ms)
            return -1;
        sleep_ms(10);
    }
}

int Child::stop(int timeout_ms) {
    if (pid_ <= 0)
        return status_;
    kill(pid_, SIGTERM);
    if (wait_exit(timeout_ms) >= 0)
        return status_;
    kill(pid_, SIGKILL);
    return wait_exit(5000);
}

std::string program_dir() {
    char exe[4096];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof(exe) - 1);
    if (n <= 0)
        return ".";
    exe[n] = 0;
    std::string path(exe);
    return path.substr(0, path.rfind('/'));
}

// ---------------------------------------------------------------------------------------------

void ReportWriter::set(const std::string &key, int64_t value) {
    text_ += key + " " + std::to_string(value) + "\n";
}

void ReportWriter::set(const std::string &key, const std::string &value) {
    text_ += key + " " + value + "\n";
}

void ReportWriter::add(const std::string &tag, const std::vector<int64_t> &values) {
    text_ += tag;
    for (int64_t v : values)
        text_ += " " + std::to_string(v);
    text_ += "\n";
}

bool ReportWriter::write(const std::string &path) const {
    std::string tmp = path + ".part";
    FILE *f = fopen(tmp.c_str(), "w");
    if (!f)
        return false;
    bool ok = fwrite(text_.data(), 1, text_.size(), f) == text_.size();
    ok = fclose(f) == 0 && ok;
    // Renamed only when complete, so a reader never sees half a report.
    return ok && rename(tmp.c_str(), path.c_str()) == 0;
}

// Lines whose second word is a number and that have more than two words are records.
bool Report::load(const std::string &path) {
    std::ifstream in(path);
    if (!in)
        return false;
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string key;
        if (!(words >> key))
            continue;
        std::vector<std::string> rest;
        for (std::string w; words >> w;)
            rest.push_back(w);
        bool numeric = !rest.empty() && !rest[0].empty() &&
                       (isdigit((unsigned char)rest[0][0]) || rest[0][0] == '-');
        if (rest.size() > 1 && numeric) {
            std::vector<int64_t> row;
            for (const std::string &w : rest)
                row.push_back(atoll(w.c_str()));
            records[key].push_back(row);
        } else {
            values[key] = rest.empty() ? "" : rest[0];
        }
    }
    return true;
}

int64_t Report::num(const std::string &key, int64_t fallback) const {
    auto it = values.find(key);
    return it == values.end() ? fallback : atoll(it->second.c_str());
}

const std::vector<std::vector<int64_t>> &Report::rows(const std::string &tag) const {
    static const std::vector<std::vector<int64_t>> none;
    auto it = records.find(tag);
    return it == records.end() ? none : it->second;
}

// ---------------------------------------------------------------------------------------------

TempDir::TempDir(const std::string &prefix) {
    std::string pattern = "/tmp/" + prefix + "-XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back(0);
    if (mkdtemp(buf.data()))
        path_ = buf.data();
}

TempDir::~TempDir() {
    if (path_.empty() || keep_)
        return;
    if (DIR *d = opendir(path_.c_str())) {
        while (struct dirent *e = readdir(d))
            if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
                unlink(file(e->d_name).c_str());
        closedir(d);
    }
    rmdir(path_.c_str());
}

int free_udp_port() {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0)
        return -1;
    struct sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(a);
    int port = -1;
    if (bind(fd, (struct sockaddr *)&a, sizeof(a)) == 0 &&
        getsockname(fd, (struct sockaddr *)&a, &len) == 0)
        port = ntohs(a.sin_port);
    close(fd);
    return port;
}

} // namespace bench

// Support shared by the benchmark programs: clocks, percentiles, CPU and memory figures from
// /proc, child processes with bounded stops, and the small text reports the programs exchange.
#pragma once

#include <stdint.h>
#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

namespace bench {

// ---------------------------------------------------------------------------------------------
// Clocks

// Wall clock: sender and receivers are separate processes and stamp events with it.
int64_t realtime_ns();
int64_t monotonic_ns();
// CPU time of the calling thread and of the whole calling process.
int64_t thread_cpu_ns();
int64_t process_cpu_ns();
void sleep_ms(int ms);

// ---------------------------------------------------------------------------------------------
// Figures

struct Summary {
    size_t count = 0;
    double p50 = 0, p99 = 0, max = 0, mean = 0;
};

// Nearest-rank percentiles of the values; all zero when there are none.
Summary summarize(std::vector<double> values);

// Prints rows as a Markdown table (the first row is the header), columns padded to line up.
void print_table(const std::vector<std::vector<std::string>> &rows);

// The three load averages of /proc/loadavg: the machine is shared, so every run notes them.
std::string load_average();

// "720p", "1080p" or "WxH"; false when it is none of them.
bool parse_size(const std::string &text, int *w, int *h);
// Comma-separated words.
std::vector<std::string> split_list(const std::string &text);

// ---------------------------------------------------------------------------------------------
// /proc

// utime + stime of a process (its threads included), in ns; -1 when it cannot be read.
int64_t proc_cpu_ns(pid_t pid);
// VmHWM (peak resident set) of a process in KiB; -1 when it cannot be read.
long proc_vmhwm_kb(pid_t pid);

// CPU use of one process between two samples: 100 means one core busy for the whole interval.
struct CpuSample {
    int64_t wall_ns = 0;
    int64_t cpu_ns = -1;
};
CpuSample sample_cpu(pid_t pid);
double cpu_percent(const CpuSample &from, const CpuSample &to);

// ---------------------------------------------------------------------------------------------
// Child processes

// A child in its own process group that dies with us (PR_SET_PDEATHSIG). stdout goes to a pipe
// that read_line() reads, or to the log; stderr to the log. Stopped by pid only.
class Child {
  public:
    Child() = default;
    ~Child();
    Child(const Child &) = delete;
    Child &operator=(const Child &) = delete;

    bool start(const std::vector<std::string> &argv, const std::string &log_path,
               bool pipe_stdout = false);
    pid_t pid() const { return pid_; }
    bool running();
    // One line of the child's stdout, without the newline; false after timeout_ms or at EOF.
    bool read_line(std::string *line, int timeout_ms);
    // Waits up to timeout_ms for the child to exit; its exit status, or -1 while it runs.
    int wait_exit(int timeout_ms);
    // SIGTERM, up to timeout_ms for the exit, then SIGKILL.
    int stop(int timeout_ms = 5000);

  private:
    pid_t pid_ = -1;
    int out_fd_ = -1;
    int status_ = -1;
    std::string pending_;
};

// The directory of the running program (to find the sibling executables).
std::string program_dir();

// ---------------------------------------------------------------------------------------------
// Reports: text files of "key value" lines and tagged records "tag v1 v2 ...".

class ReportWriter {
  public:
    void set(const std::string &key, int64_t value);
    void set(const std::string &key, const std::string &value);
    void add(const std::string &tag, const std::vector<int64_t> &values);
    bool write(const std::string &path) const;

  private:
    std::string text_;
};

struct Report {
    std::map<std::string, std::string> values;
    std::map<std::string, std::vector<std::vector<int64_t>>> records;

    bool load(const std::string &path);
    int64_t num(const std::string &key, int64_t fallback = -1) const;
    const std::vector<std::vector<int64_t>> &rows(const std::string &tag) const;
};

// A fresh directory under /tmp; removed with its files unless `keep`.
class TempDir {
  public:
    explicit TempDir(const std::string &prefix);
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return path_; }
    std::string file(const std::string &name) const { return path_ + "/" + name; }
    void keep() { keep_ = true; }

  private:
    std::string path_;
    bool keep_ = false;
};

// A UDP port that was free on 127.0.0.1 a moment ago.
int free_udp_port();

} // namespace bench

// Log channels and files, rate analysers and the CRC-16 routine.
#include <gtest/gtest.h>

#include <dirent.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "crc16lib.h"
#include "oslite.h"
#include "syslog.h"
#include "txanalyzer.h"

namespace {

// Runs each log test in a fresh directory, since log files are created in the current one.
class SyslogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        setenv("TZ", "UTC", 1);
        tzset();
        char tmpl[] = "/tmp/qv_syslog_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        ASSERT_EQ(getcwd(old_cwd_, sizeof(old_cwd_)), old_cwd_);
        ASSERT_EQ(chdir(dir_.c_str()), 0);
        set_clock(2025, 5, 7, 13, 5, 9);
        syslog_set_bits(0);
    }
    void TearDown() override {
        syslog_term();
        syslog_set_bits(0);
        syslog_set_time_source(nullptr);
        EXPECT_EQ(chdir(old_cwd_), 0);
        std::string cmd = "rm -rf '" + dir_ + "'";
        EXPECT_EQ(system(cmd.c_str()), 0);
    }

    static time_t fixed_now(time_t *t) {
        if (t)
            *t = s_now;
        return s_now;
    }
    static void set_clock(int y, int mo, int d, int h, int mi, int s) {
        struct tm tm = {};
        tm.tm_year = y - 1900;
        tm.tm_mon = mo - 1;
        tm.tm_mday = d;
        tm.tm_hour = h;
        tm.tm_min = mi;
        tm.tm_sec = s;
        s_now = timegm(&tm);
        syslog_set_time_source(fixed_now);
    }

    std::vector<std::string> files() const {
        std::vector<std::string> names;
        DIR *d = opendir(".");
        while (struct dirent *e = readdir(d))
            if (e->d_name[0] != '.')
                names.push_back(e->d_name);
        closedir(d);
        std::sort(names.begin(), names.end());
        return names;
    }
    static std::string read(const std::string &name) {
        std::ifstream f(name, std::ios::binary);
        std::stringstream ss;
        ss << f.rdbuf();
        return ss.str();
    }

    static time_t s_now;
    std::string dir_;
    char old_cwd_[4096];
};
time_t SyslogTest::s_now;

TEST_F(SyslogTest, FileNamedFromLocalTimeAndLinesPrefixedWithRelativeTime) {
    syslog_set_bits(0x4);
    syslog_init();
    syslog_message(syslog_id_parser_info, "udp protocol\n");
    syslog_message(syslog_id_parser_info, "abc");
    syslog_message(syslog_id_decode_info, "channel 0 is off");
    syslog_term();

    ASSERT_EQ(files(), std::vector<std::string>{"07-05-25_13-05-09.log"});
    std::string text = read("07-05-25_13-05-09.log");
    const std::string first = "00000000    udp protocol\n";
    ASSERT_EQ(text.substr(0, first.size()), first) << text;
    std::string second = text.substr(first.size());
    ASSERT_EQ(second.size(), 12u + 4u) << text; // eight digits, four blanks, "abc\n"
    EXPECT_EQ(second.find_first_not_of("0123456789"), 8u);
    EXPECT_EQ(second.substr(8), "    abc\n");
}

TEST_F(SyslogTest, NothingWrittenWhileChannelOffOrTaskStopped) {
    syslog_set_bits(0x4);
    syslog_message(syslog_id_parser_info, "task not running\n");
    syslog_init();
    syslog_message(syslog_id_display_info, "channel 3 is off\n");
    syslog_term();
    EXPECT_TRUE(files().empty());
}

TEST_F(SyslogTest, EveryStartThatLogsCreatesItsOwnFile) {
    syslog_set_bits(1u << syslog_id_parser_info);
    syslog_init();
    syslog_message(syslog_id_parser_info, "first\n");
    syslog_term();
    set_clock(2026, 12, 31, 23, 59, 58);
    syslog_init();
    syslog_message(syslog_id_parser_info, "second\n");
    syslog_term();

    std::vector<std::string> expected = {"07-05-25_13-05-09.log", "31-12-26_23-59-58.log"};
    ASSERT_EQ(files(), expected);
    EXPECT_EQ(read(expected[0]), "00000000    first\n");
    EXPECT_EQ(read(expected[1]), "00000000    second\n");
}

TEST_F(SyslogTest, LongTextIsCutToWhatOneEntryHolds) {
    syslog_set_bits(0x4);
    syslog_init();
    std::string long_text(3000, 'x');
    syslog_message(syslog_id_parser_info, "%s", long_text.c_str());
    syslog_term();

    std::vector<std::string> names = files();
    ASSERT_EQ(names.size(), 1u);
    std::string text = read(names[0]);
    EXPECT_EQ(text, "00000000    " + std::string(SYSLOG_MAX_TEXT, 'x') + "\n");
}

TEST_F(SyslogTest, ChannelBitsSetAndClearedModulo32) {
    syslog_set_bits(0);
    syslog_enable(syslog_id_parser_info);
    syslog_enable(32 + syslog_id_decode_error);
    EXPECT_EQ(syslog_get_bit(), 0x6u);
    syslog_disable(syslog_id_parser_info);
    EXPECT_EQ(syslog_get_bit(), 0x2u);
}

// Bit-rate and interval analysers driven with chosen times.
struct Analyzer {
    explicit Analyzer(int mode) {
        a.mode = mode;
        a.avr_size = 50;
        a.delay_ms = 40;
        EXPECT_EQ(tx_analyzer_open(&a), 0);
    }
    ~Analyzer() { a.close(&a); }
    unsigned avr() {
        unsigned count = 0, avr = 0, std_dev = 1;
        a.i_get_info(&a, &count, &avr, &std_dev);
        EXPECT_EQ(count, 50u);
        EXPECT_EQ(std_dev, 0u);
        return avr;
    }
    tx_analyzer_t a = {};
};

TEST(TxAnalyzer, BitRateAveragesOverTheWindow) {
    Analyzer an(0); // no task: periods are driven here
    uint64_t t = 1000000000;
    tx_analyzer_period(&an.a, t, t);
    auto run_periods = [&](int n, int bytes_per_period) {
        for (int i = 0; i < n; i++) {
            an.a.send(&an.a, bytes_per_period);
            t += 40000;
            tx_analyzer_period(&an.a, t, t);
        }
    };
    run_periods(1, 40000); // 1 000 000 B/s
    EXPECT_EQ(an.avr(), 8000u);
    run_periods(49, 40000);
    EXPECT_EQ(an.avr(), 8000u);
    run_periods(25, 20000); // half the window at 4000 kbit/s
    EXPECT_EQ(an.avr(), 6000u);
    double f = 0;
    an.a.f_get_info(&an.a, nullptr, &f, nullptr);
    EXPECT_DOUBLE_EQ(f, 6000.0);
}

TEST(TxAnalyzer, EventIntervalIsTheMeanOfTheLast40) {
    Analyzer an(4);
    uint64_t t = 1000000000;
    tx_analyzer_event_at(&an.a, t);
    EXPECT_EQ(an.avr(), 0u); // one event is no interval
    for (int i = 0; i < 40; i++)
        tx_analyzer_event_at(&an.a, t += 40000);
    EXPECT_EQ(an.avr(), 40000u);
    for (int i = 0; i < 40; i++)
        tx_analyzer_event_at(&an.a, t += 30000);
    EXPECT_EQ(an.avr(), 30000u);
    tx_analyzer_event_at(&an.a, t += 30001);
    EXPECT_EQ(an.avr(), 30000u); // 1200001 / 40 rounds to the nearest
}

TEST(TxAnalyzer, BitRateTaskMeasuresRealTraffic) {
    Analyzer an(1);
    // About 1 000 000 B/s for 1.5 s; the figure is only checked loosely (loaded machine).
    for (int i = 0; i < 150; i++) {
        an.a.send(&an.a, 10000);
        OS_MSleep(10);
    }
    unsigned avr = an.avr();
    EXPECT_GT(avr, 4000u);
    EXPECT_LT(avr, 12000u);
}

TEST(Crc16, KnownValues) {
    const char digits[] = "123456789";
    EXPECT_EQ(crc16(0, digits, 9), 0x9540);
    EXPECT_EQ(crc16(0xFFFF, digits, 9), 0xD641);
    EXPECT_EQ(crc16(0, "abc", 3), 0x82C0);
    EXPECT_EQ(crc16(0x1234, digits, 0), 0x1234);
    unsigned short byte_by_byte = 0;
    for (char c : std::string(digits))
        byte_by_byte = crc16_byte(byte_by_byte, (unsigned char)c);
    EXPECT_EQ(byte_by_byte, 0x9540);
}

} // namespace

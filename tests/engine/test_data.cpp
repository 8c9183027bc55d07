// The metadata channel end to end, headless: tools/klv_ts_sender sends H.264 video with a KLV
// data stream of known units over UDP; the units are read back through Quorvex_read_data and
// from the data file and UDP outputs, and compared byte for byte with units recomputed from the
// number each one carries.
#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "live_fixture.h"
#include "oslite.h"
#include "socket.h"

using namespace livetest;

namespace {

constexpr int kFirstPictureMs = 20000; // sender start, stream probing and the first key frame
constexpr int kReadBuffer = 10240;     // what a caller of Quorvex_read_data must provide
constexpr char kFill = (char)0xA5;     // sentinel for bytes the engine must not write
constexpr uint64_t kNoTime = 0x5A5A5A5A5A5A5A5Aull;
constexpr unsigned kLoopback = 0x7F000001;

// Unit n of klv_ts_sender with value base length `base` (see the tool's header comment).
std::vector<unsigned char> klv_unit(uint32_t n, int base) {
    static const unsigned char kKey[16] = {0x06, 0x0E, 0x2B, 0x34, 0x02, 0x0B, 0x01, 0x01,
                                           0x0E, 0x01, 0x03, 0x01, 0x01, 0x00, 0x00, 0x00};
    const uint32_t v = (uint32_t)base + n % 16;
    std::vector<unsigned char> u(kKey, kKey + 16);
    if (v < 128) {
        u.push_back((unsigned char)v);
    } else {
        const int bytes = v < 0x100 ? 1 : v < 0x10000 ? 2 : 3;
        u.push_back((unsigned char)(0x80 | bytes));
        for (int b = bytes - 1; b >= 0; --b)
            u.push_back((unsigned char)(v >> (8 * b)));
    }
    for (int b = 3; b >= 0; --b)
        u.push_back((unsigned char)(n >> (8 * b)));
    for (uint32_t i = 4; i < v; ++i)
        u.push_back((unsigned char)((i * 7 + n * 31 + 0x5A) & 0xFF));
    return u;
}

// The unit number carried by a (possibly cut) unit: the first four value bytes after the key and
// the BER length. -1 when the bytes are too short to hold it.
long unit_number(const unsigned char *u, int size) {
    if (size < 17)
        return -1;
    int ofs = 17;
    if (u[16] & 0x80)
        ofs += u[16] & 0x7F;
    if (size < ofs + 4)
        return -1;
    return (long)(((uint32_t)u[ofs] << 24) | ((uint32_t)u[ofs + 1] << 16) |
                  ((uint32_t)u[ofs + 2] << 8) | u[ofs + 3]);
}

// Checks that `size` bytes of `got` are unit n (or its first kReadBuffer bytes) and that the
// byte after them was left alone.
::testing::AssertionResult is_unit(const std::vector<char> &got, int size, int base) {
    const unsigned char *p = reinterpret_cast<const unsigned char *>(got.data());
    long n = unit_number(p, size);
    if (n < 0)
        return ::testing::AssertionFailure() << "no unit number in " << size << " bytes";
    std::vector<unsigned char> want = klv_unit((uint32_t)n, base);
    if ((size_t)size != std::min(want.size(), (size_t)kReadBuffer))
        return ::testing::AssertionFailure()
               << "unit " << n << " has " << want.size() << " bytes, read gave " << size;
    for (int i = 0; i < size; i++)
        if (p[i] != want[i])
            return ::testing::AssertionFailure() << "unit " << n << " differs at byte " << i;
    if (size < (int)got.size() && got[size] != kFill)
        return ::testing::AssertionFailure()
               << "byte " << size << " after unit " << n << " was written";
    return ::testing::AssertionSuccess();
}

bool untouched(const std::vector<char> &buf) {
    for (char c : buf)
        if (c != kFill)
            return false;
    return true;
}

// One Quorvex_read_data call with the buffer refilled with the sentinel first.
struct Read {
    std::vector<char> buf = std::vector<char>(kReadBuffer + 16, kFill);
    uint64_t time = kNoTime;
    int size = 0;
    unsigned after = 0; // engine clock right after the call

    long n() const {
        return unit_number(reinterpret_cast<const unsigned char *>(buf.data()), size);
    }
};

Read read_data(Handle &h) {
    Read r;
    r.size = h.q()->Quorvex_read_data(h.h(), r.buf.data(), &r.time);
    r.after = OS_GetKHClock();
    return r;
}

// The KLV sender with a test transport stream (video only) made once for the whole program.
struct KlvOptions {
    int interval_ms = 300;
    int units = 0; // 0: no limit
    int value_bytes = 64;
    bool pair = false;
};

class KlvSender {
  public:
    KlvSender(int port, const KlvOptions &o) : dir_("qvklv") {
        std::vector<std::string> argv = {QV_KLV_TS_SENDER, "--hold",
                                         "--interval-ms",  std::to_string(o.interval_ms),
                                         "--units",        std::to_string(o.units),
                                         "--value-bytes",  std::to_string(o.value_bytes),
                                         "--count-file",   dir_.file("count")};
        if (o.pair)
            argv.push_back("--pair");
        argv.push_back(input());
        argv.push_back(qvtest::udp_url(port));
        proc_ = qvtest::Process(argv, dir_.file("log"));
    }
    ~KlvSender() { proc_.stop(); }

    bool started() const { return proc_.started(); }
    // The sender holds its units back until this.
    void go() { ::kill(proc_.pid(), SIGUSR1); }
    // Stops the sender; the units it sent, or -1 when it did not end cleanly.
    long stop() {
        if (proc_.stop() != 0)
            return -1;
        std::string text = qvtest::read_text(dir_.file("count"));
        return text.empty() ? -1 : std::stol(text);
    }
    std::string log() const { return qvtest::read_text(dir_.file("log")); }

    static std::string input() {
        static qvtest::TempDir dir("qvklvin");
        static std::string path;
        if (path.empty()) {
            qvtest::TestTsOptions t;
            t.audio = false;
            if (qvtest::make_test_ts(dir.file("video.ts"), t))
                path = dir.file("video.ts");
        }
        return path;
    }

  private:
    qvtest::TempDir dir_;
    qvtest::Process proc_;
};

// Reads the latest unit until `pred` accepts it; the accepted read, or one with size 0.
Read read_until(Handle &h, const std::function<bool(const Read &)> &pred, int timeout_ms) {
    Read last;
    qvtest::wait_until(
        [&] {
            last = read_data(h);
            return pred(last);
        },
        timeout_ms, 10);
    return last;
}

// A read with the unit count taken just before and just after it, so that the count belongs to
// the unit read: retried until no unit arrives in between.
bool settled_read(Handle &h, Read *r, int *d_packets, Read *again = nullptr) {
    for (int attempt = 0; attempt < 50; attempt++) {
        int before = h.info().get_strm_info.d_packets;
        *r = read_data(h);
        if (again)
            *again = read_data(h);
        int after = h.info().get_strm_info.d_packets;
        if (before == after) {
            *d_packets = after;
            return true;
        }
    }
    return false;
}

TEST(DataChannel, LatestUnitIsReadWithItsArrivalTimeUntilStop) {
    ASSERT_FALSE(KlvSender::input().empty());
    int port = qvtest::free_udp_port();
    Capture cap;
    Handle h(&cap);
    Read r = read_data(h);
    EXPECT_EQ(r.size, 0) << "before start";
    EXPECT_TRUE(untouched(r.buf));
    EXPECT_EQ(r.time, kNoTime);

    ASSERT_EQ(h.play(udp_input(port)), 0);
    KlvOptions o;
    KlvSender sender(port, o);
    ASSERT_TRUE(sender.started());
    ASSERT_TRUE(wait_pictures(cap, 5, kFirstPictureMs)) << sender.log();
    // The stream with its data stream is being read, but no unit has been sent yet.
    r = read_data(h);
    EXPECT_EQ(r.size, 0) << "before the first unit";
    EXPECT_TRUE(untouched(r.buf));
    EXPECT_EQ(r.time, kNoTime);
    EXPECT_EQ(h.info().get_strm_info.d_packets, 0);

    unsigned t0 = OS_GetKHClock();
    sender.go();
    Read first = read_until(
        h, [](const Read &x) { return x.size > 0; }, 10000);
    ASSERT_GT(first.size, 0) << sender.log();
    EXPECT_TRUE(is_unit(first.buf, first.size, o.value_bytes));
    EXPECT_GE(first.time, (uint64_t)t0);
    EXPECT_LE(first.time, (uint64_t)first.after);

    // Without a new unit in between, two reads give the same unit and time; the count of units
    // handed over is that of every unit sent so far (they come 300 ms apart, none waits).
    Read a, b;
    int d_packets = 0;
    ASSERT_TRUE(settled_read(h, &a, &d_packets, &b));
    ASSERT_GT(a.size, 0);
    EXPECT_EQ(a.size, b.size);
    EXPECT_EQ(a.time, b.time);
    EXPECT_TRUE(std::equal(a.buf.begin(), a.buf.end(), b.buf.begin()));
    EXPECT_EQ(d_packets, a.n() + 1);

    // A newer unit replaces it.
    Read newer = read_until(
        h, [&](const Read &x) { return x.size > 0 && x.time != a.time; }, 5000);
    ASSERT_GT(newer.size, 0);
    EXPECT_GT(newer.n(), a.n());
    EXPECT_GT(newer.time, a.time);
    EXPECT_TRUE(is_unit(newer.buf, newer.size, o.value_bytes));

    // After some seconds of units: the count keeps up with them, and the byte figure is that of
    // one window (about a second), not a running total.
    Read later = read_until(
        h, [&](const Read &x) { return x.n() >= first.n() + 15; }, 15000);
    ASSERT_GE(later.n(), first.n() + 15);
    ASSERT_TRUE(settled_read(h, &a, &d_packets));
    EXPECT_EQ(d_packets, a.n() + 1);
    const int min_unit = (int)klv_unit(0, o.value_bytes).size();
    const int max_unit = (int)klv_unit(15, o.value_bytes).size();
    int d_bitrate = h.info().get_strm_info.d_bitrate;
    EXPECT_GE(d_bitrate, min_unit);
    EXPECT_LE(d_bitrate, max_unit * (2000 / o.interval_ms + 1));

    h.q()->Quorvex_stop(h.h(), 4);
    r = read_data(h);
    EXPECT_EQ(r.size, 0) << "after stop";
    EXPECT_TRUE(untouched(r.buf));
    EXPECT_EQ(r.time, kNoTime);
    EXPECT_GE(sender.stop(), a.n() + 1);
}

// A UDP listener on 127.0.0.1 collecting whole datagrams.
class UdpListener {
  public:
    UdpListener()
        : port_(qvtest::free_udp_port()), sock_(Socket_UDPServer((unsigned short)port_)) {}
    ~UdpListener() {
        if (sock_)
            Socket_Close(sock_);
    }
    bool ok() const { return sock_ != 0; }
    int port() const { return port_; }
    // Takes whatever has arrived, waiting up to 10 ms for the first datagram.
    void drain() {
        std::vector<unsigned char> buf(65536);
        while (Socket_IsRxPacketMS((int)sock_, 10) > 0) {
            unsigned src = 0;
            unsigned short src_port = 0;
            int n = Socket_ReceiveFrom(sock_, buf.data(), (int)buf.size(), &src, &src_port);
            if (n <= 0)
                return;
            from_loopback_ = from_loopback_ && src == kLoopback;
            datagrams.emplace_back(buf.begin(), buf.begin() + n);
        }
    }
    bool from_loopback() const { return from_loopback_; }
    std::vector<std::vector<unsigned char>> datagrams;

  private:
    int port_;
    unsigned sock_;
    bool from_loopback_ = true;
};

std::vector<unsigned char> file_bytes(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<unsigned char>(std::istreambuf_iterator<char>(in),
                                      std::istreambuf_iterator<char>());
}

struct OutputCase {
    const char *name;
    bool pair;
    int value_bytes;
    int units;
};

class DataOutputs : public ::testing::TestWithParam<OutputCase> {};

// Every unit reaches the data file (concatenated, in order) and the UDP output (one datagram
// each), whether or not it was handed to the data task: in pair mode the second unit of a pair
// may come while the first still waits there. Units longer than the read buffer are output
// whole and read back cut to it.
TEST_P(DataOutputs, FileAndUdpGetEveryUnitWhole) {
    const OutputCase &c = GetParam();
    ASSERT_FALSE(KlvSender::input().empty());
    qvtest::TempDir dir("qvdata");
    std::string file = dir.file("units.klv");
    UdpListener udp;
    ASSERT_TRUE(udp.ok());
    std::vector<unsigned char> expected;
    for (int n = 0; n < c.units; n++) {
        std::vector<unsigned char> u = klv_unit((uint32_t)n, c.value_bytes);
        expected.insert(expected.end(), u.begin(), u.end());
    }

    int port = qvtest::free_udp_port();
    Capture cap;
    Handle h(&cap);
    data_setup_t d = {};
    d.is_send_by_eth = 1;
    d.is_save_by_file = 1;
    d.ip = kLoopback;
    d.port = udp.port();
    d.file_name = &file[0];
    ASSERT_EQ(h.q()->Quorvex_set_data_param(h.h(), d), 0);
    ASSERT_EQ(h.play(udp_input(port)), 0);
    KlvOptions o;
    o.pair = c.pair;
    o.value_bytes = c.value_bytes;
    o.units = c.units;
    KlvSender sender(port, o);
    ASSERT_TRUE(sender.started());
    ASSERT_TRUE(wait_pictures(cap, 5, kFirstPictureMs)) << sender.log();
    sender.go();

    bool all = qvtest::wait_until(
        [&] {
            udp.drain();
            return (int)udp.datagrams.size() >= c.units &&
                   file_bytes(file).size() >= expected.size();
        },
        15000, 20);
    EXPECT_TRUE(all) << udp.datagrams.size() << " datagrams, " << file_bytes(file).size()
                     << " file bytes\n"
                     << sender.log();
    EXPECT_EQ(sender.stop(), c.units);
    udp.drain(); // no unit comes twice

    std::vector<unsigned char> saved = file_bytes(file);
    EXPECT_TRUE(saved == expected) << "the file (" << saved.size() << " bytes) is not the "
                                   << expected.size() << " bytes of the units in order";
    ASSERT_EQ((int)udp.datagrams.size(), c.units);
    for (int n = 0; n < c.units; n++)
        EXPECT_TRUE(udp.datagrams[n] == klv_unit((uint32_t)n, c.value_bytes)) << "datagram " << n;
    EXPECT_TRUE(udp.from_loopback());

    // The data task kept the last unit it was handed: in pair mode the last pair's second unit,
    // or its first when the second came while the first still waited.
    Read last = read_data(h);
    ASSERT_GT(last.size, 0);
    EXPECT_TRUE(is_unit(last.buf, last.size, c.value_bytes));
    EXPECT_GE(last.n(), c.units - (c.pair ? 2 : 1));
    int d_packets = h.info().get_strm_info.d_packets;
    ::testing::Test::RecordProperty("units_handed_to_the_data_task", d_packets);
    EXPECT_LE(d_packets, c.units);
    EXPECT_GE(d_packets, c.pair ? c.units / 2 : c.units);
}

INSTANTIATE_TEST_SUITE_P(
    Units, DataOutputs,
    ::testing::Values(OutputCase{"PairsOfSmallUnits", true, 64, 16},
                      OutputCase{"UnitsLongerThanTheReadBuffer", false, 12000, 4}),
    [](const ::testing::TestParamInfo<OutputCase> &p) { return std::string(p.param.name); });

} // namespace

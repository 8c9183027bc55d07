// MPEG-TS over UDP multicast, run inside a private network namespace whose loopback carries the
// group (see tests/netns_run.sh).
#include <gtest/gtest.h>

#include "live_fixture.h"

using namespace livetest;

namespace {

TEST(LiveMulticast, PicturesFromTheGroup) {
    int port = qvtest::free_udp_port();
    qvtest::SenderOptions o;
    o.url = qvtest::multicast_url("239.1.1.7", port);
    Capture cap;
    Handle h(&cap);
    ASSERT_EQ(h.play(udp_input(port, 0xEF010107)), 0);
    qvtest::FfmpegSender sender(o);
    ASSERT_TRUE(wait_pictures(cap, 10, 20000)) << sender.log();
    std::lock_guard<std::mutex> lock(cap.mu);
    EXPECT_EQ(cap.width, 320);
    EXPECT_EQ(cap.height, 240);
}

} // namespace

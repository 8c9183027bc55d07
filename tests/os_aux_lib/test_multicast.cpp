// Multicast reception on loopback. Joining a group sends membership reports on the interface the
// system picks, so these tests run only where loopback is the only interface up: the private
// network namespace that tests/netns_run.sh makes.
#include "socket.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

namespace {

constexpr unsigned short kPort = 45004;

bool OnlyLoopbackIsUp() {
    struct ifaddrs *list = nullptr;
    if (getifaddrs(&list) != 0)
        return false;
    bool only_lo = true;
    for (struct ifaddrs *i = list; i; i = i->ifa_next) {
        if ((i->ifa_flags & IFF_UP) && strcmp(i->ifa_name, "lo") != 0)
            only_lo = false;
    }
    freeifaddrs(list);
    return only_lo;
}

// The next datagram within the bound, or "" when none comes.
std::string ReceiveOne(int sock, int bound_ms) {
    if (Socket_IsRxPacketMS(sock, bound_ms) != 1)
        return "";
    char buffer[256];
    const int n = Socket_Recv(static_cast<unsigned int>(sock), buffer, sizeof(buffer));
    return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : "";
}

class MulticastTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!OnlyLoopbackIsUp())
            GTEST_SKIP() << "an interface besides loopback is up; run under tests/netns_run.sh";
    }
};

// Each receiver gets the datagrams of its own group only, although both listen on one port.
TEST_F(MulticastTest, Ipv4ReceiverGetsOnlyItsOwnGroup) {
    const unsigned int group_a = 0xEF010101; // 239.1.1.1
    const int a = static_cast<int>(Socket_MUDPServer(group_a, kPort));
    const int b = mcast_recv_socket("239.1.1.2", std::to_string(kPort).c_str(), 0x200000);
    ASSERT_GE(a, 0);
    ASSERT_GE(b, 0);

    const unsigned int sender = Socket_UDPSocket();
    struct in_addr lo;
    lo.s_addr = htonl(INADDR_LOOPBACK);
    const unsigned char loop = 1;
    ASSERT_EQ(setsockopt(int(sender), IPPROTO_IP, IP_MULTICAST_IF, &lo, sizeof(lo)), 0);
    ASSERT_EQ(setsockopt(int(sender), IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof(loop)), 0);

    const std::string to_a = "to group A";
    const std::string to_b = "to group B";
    auto bytes = [](const std::string &s) {
        return reinterpret_cast<const unsigned char *>(s.data());
    };
    ASSERT_EQ(Socket_SendTo(sender, bytes(to_a), int(to_a.size()), group_a, kPort),
              int(to_a.size()));
    ASSERT_EQ(Socket_SendTo(sender, bytes(to_b), int(to_b.size()), 0xEF010102, kPort),
              int(to_b.size()));

    EXPECT_EQ(ReceiveOne(a, 5000), to_a);
    EXPECT_EQ(ReceiveOne(b, 5000), to_b);
    EXPECT_EQ(ReceiveOne(a, 200), "");
    EXPECT_EQ(ReceiveOne(b, 200), "");
    Socket_Close(sender);
    close(a);
    close(b);
}

// Sends text to an IPv6 group on port kPort through the loopback interface.
bool SendIpv6(int sock, const char *group, const std::string &text) {
    struct sockaddr_in6 dest;
    memset(&dest, 0, sizeof(dest));
    dest.sin6_family = AF_INET6;
    dest.sin6_port = htons(kPort);
    if (inet_pton(AF_INET6, group, &dest.sin6_addr) != 1)
        return false;
    const ssize_t n = sendto(sock, text.data(), text.size(), 0, reinterpret_cast<sockaddr *>(&dest),
                             sizeof(dest));
    return n == static_cast<ssize_t>(text.size());
}

TEST_F(MulticastTest, Ipv6ReceiverGetsOnlyItsOwnGroup) {
    const int sender = socket(AF_INET6, SOCK_DGRAM, 0);
    if (sender < 0)
        GTEST_SKIP() << "no IPv6 on this system";
    const std::string port = std::to_string(kPort);
    const int a = mcast_recv_socket("ff15::1:1", port.c_str(), 0x200000);
    const int b = mcast_recv_socket("ff15::1:2", port.c_str(), 0x200000);
    ASSERT_GE(a, 0);
    ASSERT_GE(b, 0);

    const unsigned int lo_index = if_nametoindex("lo");
    const int loop = 1;
    ASSERT_EQ(setsockopt(sender, IPPROTO_IPV6, IPV6_MULTICAST_IF, &lo_index, sizeof(lo_index)), 0);
    ASSERT_EQ(setsockopt(sender, IPPROTO_IPV6, IPV6_MULTICAST_LOOP, &loop, sizeof(loop)), 0);
    ASSERT_TRUE(SendIpv6(sender, "ff15::1:1", "to group A"));
    ASSERT_TRUE(SendIpv6(sender, "ff15::1:2", "to group B"));

    EXPECT_EQ(ReceiveOne(a, 5000), "to group A");
    EXPECT_EQ(ReceiveOne(b, 5000), "to group B");
    EXPECT_EQ(ReceiveOne(a, 200), "");
    EXPECT_EQ(ReceiveOne(b, 200), "");
    close(sender);
    close(a);
    close(b);
}

} // namespace

// Address conversion and UDP over the loopback interface.
#include "socket.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr unsigned int kLoopback = 0x7F000001;

long long ElapsedMs(Clock::time_point since) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count();
}

unsigned short LocalPort(int sock) {
    struct sockaddr_in addr;
    socklen_t len = sizeof(addr);
    if (getsockname(sock, reinterpret_cast<sockaddr *>(&addr), &len) != 0)
        return 0;
    return ntohs(addr.sin_port);
}

TEST(Socket, Str2AddrGivesHostOrder) {
    struct Case {
        const char *text;
        unsigned int addr;
    };
    const Case cases[] = {
        {"10.0.0.1", 0x0A000001},
        {"192.168.1.10", 0xC0A8010A},
        {"224.0.0.1", 0xE0000001},
        {"255.255.255.255", 0xFFFFFFFF},
        {"", 0},
        {nullptr, 0},
        {"not an address", 0xFFFFFFFF},
        {"1.2.3.256", 0xFFFFFFFF},
    };
    for (const Case &c : cases)
        EXPECT_EQ(Socket_Str2Addr(c.text), c.addr) << (c.text ? c.text : "(null)");
}

TEST(Socket, Addr2StrWritesDottedText) {
    struct Case {
        unsigned int addr;
        const char *text;
    };
    const Case cases[] = {
        {0xE0000001, "224.0.0.1"},
        {0xC0A8010A, "192.168.1.10"},
        {0, "0.0.0.0"},
        {0xFFFFFFFF, "255.255.255.255"},
    };
    for (const Case &c : cases) {
        char buffer[16];
        EXPECT_EQ(Socket_Addr2Str(buffer, c.addr), buffer);
        EXPECT_STREQ(buffer, c.text);
    }
}

// A receiver bound by Socket_UDPServer to a free port, closed at the end.
class UdpTest : public ::testing::Test {
  protected:
    void SetUp() override {
        server = Socket_UDPServer(0);
        ASSERT_NE(server, 0u);
        port = LocalPort(static_cast<int>(server));
        ASSERT_NE(port, 0);
    }
    void TearDown() override {
        if (server != 0)
            Socket_Close(server);
    }
    unsigned int server = 0;
    unsigned short port = 0;
};

TEST_F(UdpTest, ServerReusesAddress) {
    int reuse = 0;
    socklen_t len = sizeof(reuse);
    ASSERT_EQ(getsockopt(static_cast<int>(server), SOL_SOCKET, SO_REUSEADDR, &reuse, &len), 0);
    EXPECT_NE(reuse, 0);
}

TEST_F(UdpTest, SendToSplitsIntoDatagramsOfAtMost32768Bytes) {
    const unsigned int sender = Socket_UDPSocket();
    ASSERT_GE(static_cast<int>(sender), 0);
    std::vector<unsigned char> data(70000);
    for (size_t i = 0; i < data.size(); i++)
        data[i] = static_cast<unsigned char>(i * 7 + i / 251);

    EXPECT_EQ(Socket_SendTo(sender, data.data(), 70000, kLoopback, port), 70000);
    const unsigned short sender_port = LocalPort(static_cast<int>(sender));

    std::vector<unsigned char> received;
    std::vector<int> sizes;
    std::vector<unsigned char> buffer(65536);
    while (sizes.size() < 4 && Socket_IsRxPacketMS(static_cast<int>(server), 2000) == 1) {
        unsigned int from = 0;
        unsigned short from_port = 0;
        const int n =
            Socket_ReceiveFrom(server, buffer.data(), int(buffer.size()), &from, &from_port);
        ASSERT_GT(n, 0);
        EXPECT_EQ(from, kLoopback);
        EXPECT_EQ(from_port, sender_port);
        sizes.push_back(n);
        received.insert(received.end(), buffer.begin(), buffer.begin() + n);
        if (received.size() >= data.size())
            break;
    }
    EXPECT_EQ(sizes, std::vector<int>({32768, 32768, 4464}));
    EXPECT_TRUE(received == data);
    Socket_Close(sender);
}

TEST_F(UdpTest, SendToCountsOnlyWholeDatagramsSent) {
    const unsigned int sender = Socket_UDPSocket();
    const unsigned char byte = 1;
    EXPECT_EQ(Socket_SendTo(sender, &byte, 0, kLoopback, port), 0);
    Socket_Close(sender);
    // The first datagram fails on a closed descriptor: nothing counts, no error value leaks out.
    std::vector<unsigned char> data(40000);
    EXPECT_EQ(Socket_SendTo(sender, data.data(), 40000, kLoopback, port), 0);
}

TEST_F(UdpTest, ReadinessWaitTimesOutOnIdleSocketAndSeesADatagram) {
    const auto t0 = Clock::now();
    EXPECT_EQ(Socket_IsRxPacketMS(static_cast<int>(server), 1500), 0);
    const long long waited = ElapsedMs(t0);
    EXPECT_GE(waited, 1499);
    EXPECT_LT(waited, 10000);
    EXPECT_EQ(Socket_IsRxPacket(static_cast<int>(server)), 0);

    const unsigned int sender = Socket_UDPSocket();
    const unsigned char msg[3] = {'a', 'b', 'c'};
    ASSERT_EQ(Socket_SendTo(sender, msg, 3, kLoopback, port), 3);
    EXPECT_EQ(Socket_IsRxPacketMS(static_cast<int>(server), 5000), 1);
    unsigned char buffer[16];
    EXPECT_EQ(Socket_Recv(server, buffer, sizeof(buffer)), 3);
    Socket_Close(sender);
}

TEST(Socket, ErrorsOnClosedDescriptor) {
    const unsigned int sock = Socket_UDPSocket();
    Socket_Close(sock);
    unsigned char buffer[4];
    EXPECT_LT(Socket_IsRxPacketMS(static_cast<int>(sock), 10), 0);
    EXPECT_EQ(Socket_Recv(sock, buffer, sizeof(buffer)), -1);
    EXPECT_LT(Socket_ReceiveFrom(sock, buffer, sizeof(buffer), nullptr, nullptr), 0);
}

TEST(Socket, ServerOnABusyPortReturnsZeroAndSaysSo) {
    const int holder = socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(holder, 0);
    struct sockaddr_in addr;
    memset(&addr, 0, sizeof(addr));
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)), 0);

    testing::internal::CaptureStderr();
    const unsigned int sock = Socket_UDPServer(LocalPort(holder));
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(sock, 0u);
    EXPECT_NE(err.find("setsockopt() **** failed: "), std::string::npos) << err;
    EXPECT_NE(err.find("Socket_UDPServer.623 addr in use\n\r"), std::string::npos) << err;
    close(holder);
}

// Receiver set-up failures that send nothing: the group is never joined.
TEST(Socket, MulticastReceiverRejectsBadGroups) {
    struct Case {
        const char *group;
        const char *message;
    };
    const Case cases[] = {
        {"not-an-address", "getaddrinfo: "},
        {"127.0.0.1", "setsockopt() failed: "}, // not a multicast group
    };
    for (const Case &c : cases) {
        testing::internal::CaptureStderr();
        EXPECT_EQ(mcast_recv_socket(c.group, "0", 0x200000), -1) << c.group;
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(err.rfind(c.message, 0), 0u) << c.group << ": " << err;
    }
}

TEST(Socket, SetMulticastLeavesTheSocketAlone) {
    EXPECT_EQ(Socket_SetMulticast(-1, 1, 1, 0, "lo"), 0);
    EXPECT_EQ(Socket_Init(), 0);
}

} // namespace

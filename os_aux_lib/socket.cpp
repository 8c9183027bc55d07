// UDP and multicast sockets over BSD sockets. Addresses and ports cross this interface in host
// byte order; every conversion to network order happens here.
#include "socket.h"

#include "oslite.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int kUdpSocketBuffer = 0x800000;     // 8 MiB send and receive
constexpr int kUdpServerRecvBuffer = 0x200000; // 2 MiB
constexpr int kMaxDatagram = 32768;

// Set by Socket_Init; there is no library to start on this platform, the flag stays for callers
// that test it.
int m_initialized = 0;

void set_int_option(int sock, int level, int name, int value) {
    (void)setsockopt(sock, level, name, &value, sizeof(value));
}

// Numeric resolution of host (may be null for the wildcard) and port; prints the resolver's
// error text and returns false on failure.
bool resolve(const char *host, const char *port, int family, int flags, struct addrinfo **out) {
    struct addrinfo hints;
    memset(&hints, 0, sizeof(hints));
    hints.ai_family = family;
    hints.ai_flags = flags;
    if (flags & AI_PASSIVE)
        hints.ai_socktype = SOCK_DGRAM;
    const int err = getaddrinfo(host, port, &hints, out);
    if (err != 0) {
        fprintf(stderr, "getaddrinfo: %s\n", gai_strerror(err));
        *out = nullptr;
        return false;
    }
    return true;
}

// Sets the receive buffer of a multicast receiver, reading the size before and after as the
// diagnostics expect. False (after perror) on any failure.
bool set_recv_buffer(int sock, int size) {
    int current = 0;
    socklen_t len = sizeof(current);
    if (getsockopt(sock, SOL_SOCKET, SO_RCVBUF, &current, &len) != 0) {
        perror("getsockopt");
        return false;
    }
    if (setsockopt(sock, SOL_SOCKET, SO_RCVBUF, &size, sizeof(size)) != 0) {
        perror("setsockopt");
        return false;
    }
    len = sizeof(current);
    if (getsockopt(sock, SOL_SOCKET, SO_RCVBUF, &current, &len) != 0) {
        perror("getsockopt");
        return false;
    }
    return true;
}

// A datagram socket with address reuse, bound to the wildcard address of `local`, with the
// given receive buffer. -1 (after perror) on failure.
int open_bound_receiver(const struct addrinfo *local, int recvBufSize) {
    const int sock = socket(local->ai_family, local->ai_socktype, 0);
    if (sock < 0) {
        perror("socket() failed");
        return -1;
    }
    const int yes = 1;
    if (setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof(yes)) != 0) {
        perror("setsockopt");
    } else if (bind(sock, local->ai_addr, local->ai_addrlen) != 0) {
        perror("bind() failed");
    } else if (set_recv_buffer(sock, recvBufSize)) {
        return sock;
    }
    close(sock);
    return -1;
}

// Joins the group on the interface the system chooses. A socket bound to the wildcard address
// would otherwise also get every other group joined on the host for this port, so the
// "all groups" delivery is switched off (best effort).
bool join_group(int sock, const struct addrinfo *group) {
    int rc;
    if (group->ai_family == AF_INET) {
        set_int_option(sock, IPPROTO_IP, IP_MULTICAST_ALL, 0);
        struct ip_mreq mreq;
        memset(&mreq, 0, sizeof(mreq));
        mreq.imr_multiaddr = reinterpret_cast<const sockaddr_in *>(group->ai_addr)->sin_addr;
        mreq.imr_interface.s_addr = htonl(INADDR_ANY);
        rc = setsockopt(sock, IPPROTO_IP, IP_ADD_MEMBERSHIP, &mreq, sizeof(mreq));
    } else if (group->ai_family == AF_INET6) {
#ifdef IPV6_MULTICAST_ALL
        set_int_option(sock, IPPROTO_IPV6, IPV6_MULTICAST_ALL, 0);
#endif
        struct ipv6_mreq mreq;
        memset(&mreq, 0, sizeof(mreq));
        mreq.ipv6mr_multiaddr = reinterpret_cast<const sockaddr_in6 *>(group->ai_addr)->sin6_addr;
        mreq.ipv6mr_interface = 0;
        rc = setsockopt(sock, IPPROTO_IPV6, IPV6_ADD_MEMBERSHIP, &mreq, sizeof(mreq));
    } else {
        fprintf(stderr, "Neither IPv4 or IPv6\n");
        return false;
    }
    if (rc != 0) {
        perror("setsockopt() failed");
        return false;
    }
    return true;
}

} // namespace

int Socket_Init(void) {
    if (OS_AtomicGet(&m_initialized) == 0)
        OS_AtomicSet(&m_initialized, 1);
    return 0;
}

unsigned int Socket_Str2Addr(const char *pc_ip) {
    if (!pc_ip || pc_ip[0] == '\0')
        return 0;
    return ntohl(inet_addr(pc_ip)); // INADDR_NONE stays 0xFFFFFFFF
}

char *Socket_Addr2Str(char *buffer, unsigned int ip) {
    snprintf(buffer, 16, "%d.%d.%d.%d", (ip >> 24) & 0xFF, (ip >> 16) & 0xFF, (ip >> 8) & 0xFF,
             ip & 0xFF);
    return buffer;
}

unsigned int Socket_UDPSocket(void) {
    Socket_Init();
    const int sock = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (sock >= 0) {
        set_int_option(sock, SOL_SOCKET, SO_SNDBUF, kUdpSocketBuffer);
        set_int_option(sock, SOL_SOCKET, SO_RCVBUF, kUdpSocketBuffer);
    }
    return static_cast<unsigned int>(sock);
}

unsigned int Socket_UDPServer(unsigned short localPort) {
    Socket_Init();
    const int sock = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (sock < 0) {
        perror("socket() failed");
        return 0;
    }
    const int yes = 1;
    if (setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof(yes)) != 0) {
        perror("setsockopt() failed");
        close(sock);
        return 0;
    }
    struct sockaddr_in local;
    memset(&local, 0, sizeof(local));
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    local.sin_port = htons(localPort);
    if (bind(sock, reinterpret_cast<sockaddr *>(&local), sizeof(local)) != 0) {
        perror("setsockopt() **** failed");
        fprintf(stderr, "%s.%d addr in use\n\r", "Socket_UDPServer", 623);
        close(sock);
        return 0;
    }
    set_int_option(sock, SOL_SOCKET, SO_RCVBUF, kUdpServerRecvBuffer);
    return static_cast<unsigned int>(sock);
}

unsigned int Socket_MUDPServer(unsigned int groupaddr, unsigned short groupPort) {
    char address[16];
    char port[8];
    Socket_Addr2Str(address, groupaddr);
    snprintf(port, sizeof(port), "%u", static_cast<unsigned int>(groupPort));
    return static_cast<unsigned int>(mcast_recv_socket(address, port, kUdpServerRecvBuffer));
}

int mcast_recv_socket(const char *multicastIP, const char *multicastPort,
                      int multicastRecvBufSize) {
    Socket_Init();
    struct addrinfo *group = nullptr;
    struct addrinfo *local = nullptr;
    int sock = -1;
    if (resolve(multicastIP, nullptr, AF_UNSPEC, AI_NUMERICHOST, &group) &&
        resolve(nullptr, multicastPort, group->ai_family, AI_PASSIVE, &local)) {
        sock = open_bound_receiver(local, multicastRecvBufSize);
        if (sock >= 0 && !join_group(sock, group)) {
            close(sock);
            sock = -1;
        }
    }
    if (group)
        freeaddrinfo(group);
    if (local)
        freeaddrinfo(local);
    return sock;
}

int Socket_ReceiveFrom(unsigned int socket, unsigned char *buff, int bufferLen,
                       unsigned int *srcddr, unsigned short *srcport) {
    struct sockaddr_storage from;
    socklen_t fromLen = sizeof(from);
    memset(&from, 0, sizeof(from));
    const ssize_t n = recvfrom(static_cast<int>(socket), buff, static_cast<size_t>(bufferLen), 0,
                               reinterpret_cast<sockaddr *>(&from), &fromLen);
    if (n < 0)
        return static_cast<int>(n);
    unsigned int addr = 0;
    unsigned short port = 0;
    if (from.ss_family == AF_INET) {
        const sockaddr_in *in = reinterpret_cast<const sockaddr_in *>(&from);
        addr = ntohl(in->sin_addr.s_addr);
        port = ntohs(in->sin_port);
    } else if (from.ss_family == AF_INET6) {
        port = ntohs(reinterpret_cast<const sockaddr_in6 *>(&from)->sin6_port);
    }
    if (srcddr)
        *srcddr = addr;
    if (srcport)
        *srcport = port;
    return static_cast<int>(n);
}

int Socket_SendTo(unsigned int socket, const unsigned char *buff, int bufferLen,
                  unsigned int destaddr, unsigned short dstport) {
    struct sockaddr_in dest;
    memset(&dest, 0, sizeof(dest));
    dest.sin_family = AF_INET;
    dest.sin_addr.s_addr = htonl(destaddr);
    dest.sin_port = htons(dstport);
    int sent = 0;
    while (sent < bufferLen) {
        const int remaining = bufferLen - sent;
        const int n = remaining < kMaxDatagram ? remaining : kMaxDatagram;
        const ssize_t rc = sendto(static_cast<int>(socket), buff + sent, static_cast<size_t>(n), 0,
                                  reinterpret_cast<const sockaddr *>(&dest), sizeof(dest));
        // A datagram that did not go out whole ends the send: the receiver would see a gap.
        if (rc != n)
            break;
        sent += n;
    }
    return sent;
}

int Socket_SetMulticast(int Socket, int ttl, int isloop, unsigned int interface_ip,
                        const char *interface_name) {
    // The system defaults for TTL, loop-back and interface are what every caller wants.
    (void)Socket;
    (void)ttl;
    (void)isloop;
    (void)interface_ip;
    (void)interface_name;
    return 0;
}

int Socket_Recv(unsigned int socket, void *buffer, int bufferLen) {
    const ssize_t n = recv(static_cast<int>(socket), buffer, static_cast<size_t>(bufferLen), 0);
    return n < 0 ? -1 : static_cast<int>(n);
}

int Socket_IsRxPacket(int socket) {
    return Socket_IsRxPacketMS(socket, 3);
}

// poll rather than select: select cannot watch descriptors at or above FD_SETSIZE.
int Socket_IsRxPacketMS(int socket, int ms) {
    if (ms < 0)
        return -1;
    struct pollfd pfd;
    pfd.fd = socket;
    pfd.events = POLLIN;
    pfd.revents = 0;
    const int rc = poll(&pfd, 1, ms);
    if (rc <= 0)
        return rc;
    if (pfd.revents & POLLNVAL)
        return -1;
    return 1;
}

void Socket_Close(unsigned int socket) {
    close(static_cast<int>(socket));
}

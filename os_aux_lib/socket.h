// UDP and multicast sockets with addresses and ports in host byte order.
#pragma once

// Marks the socket library as started; 0.
int Socket_Init(void);
// Dotted IPv4 text to a host-order address: null or empty gives 0, an invalid text 0xFFFFFFFF.
unsigned int Socket_Str2Addr(const char *pc_ip);
// Writes the dotted text of a host-order address into buffer (at least 16 bytes); returns buffer.
char *Socket_Addr2Str(char *buffer, unsigned int ip);

// Unbound UDP socket with 8 MiB send and receive buffers.
unsigned int Socket_UDPSocket(void);
// UDP socket bound to any address and localPort with address reuse and a 2 MiB receive buffer;
// 0 on failure.
unsigned int Socket_UDPServer(unsigned short localPort);
// Multicast receiver of groupaddr:groupPort with a 2 MiB receive buffer; -1 on failure.
unsigned int Socket_MUDPServer(unsigned int groupaddr, unsigned short groupPort);
// Multicast receiver for an IPv4 or IPv6 group; -1 on failure.
int mcast_recv_socket(const char *multicastIP, const char *multicastPort, int multicastRecvBufSize);
// One datagram; stores the sender in host order. The length, or the system's error value.
int Socket_ReceiveFrom(unsigned int socket, unsigned char *buff, int bufferLen,
                       unsigned int *srcddr, unsigned short *srcport);
// Sends buff in datagrams of at most 32768 bytes; returns the bytes sent in whole datagrams.
int Socket_SendTo(unsigned int socket, const unsigned char *buff, int bufferLen,
                  unsigned int destaddr, unsigned short dstport);
// Accepts its arguments and leaves the socket at the system defaults; 0.
int Socket_SetMulticast(int Socket, int ttl, int isloop, unsigned int interface_ip,
                        const char *interface_name);
// One recv; -1 on error, else the byte count.
int Socket_Recv(unsigned int socket, void *buffer, int bufferLen);
// 1 when the socket becomes readable within 3 ms, 0 on time-out, negative on error.
int Socket_IsRxPacket(int socket);
// The same with ms milliseconds.
int Socket_IsRxPacketMS(int socket, int ms);
// Closes the socket.
void Socket_Close(unsigned int socket);

// What the Winsock layer's source files share: the POSIX values they need,
// captured under other names; what the layer knows about each socket and the
// table of open sockets; the error helpers; the reactor calls that re-enable
// notifications; the name look-up behind both kinds of host query. Only
// platform/Winsock*.cpp include this, as their first header.
//
// The POSIX headers come first and their values are captured under other
// names, because several of their macros share Winsock's names; the macros
// are then removed so that Winsock's names can be used.
#pragma once

#include <arpa/inet.h>
#include <linux/sockios.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <cstdint>
#include <string>
#include <vector>

namespace px {
constexpr int AfInet = AF_INET;
constexpr int AfInet6 = AF_INET6;
constexpr int SockStream = SOCK_STREAM;
constexpr int SockDgram = SOCK_DGRAM;
constexpr int SolSocket = SOL_SOCKET;
constexpr int SoReuseAddr = SO_REUSEADDR;
constexpr int SoKeepAlive = SO_KEEPALIVE;
constexpr int SoBroadcast = SO_BROADCAST;
constexpr int SoLinger = SO_LINGER;
constexpr int SoSndBuf = SO_SNDBUF;
constexpr int SoRcvBuf = SO_RCVBUF;
constexpr int SoError = SO_ERROR;
constexpr int SoType = SO_TYPE;
constexpr int IpProtoTcp = IPPROTO_TCP;
constexpr int TcpNoDelay = TCP_NODELAY;
constexpr int MsgOob = MSG_OOB;
constexpr int MsgPeek = MSG_PEEK;
constexpr unsigned long Fionread = FIONREAD;
constexpr unsigned long Siocoutq = SIOCOUTQ;
constexpr int AfUnspec = AF_UNSPEC;
constexpr int IpProtoIpv6 = IPPROTO_IPV6;
constexpr int Ipv6V6Only = IPV6_V6ONLY;
constexpr int AiCanonName = AI_CANONNAME;
constexpr int AiNumericHost = AI_NUMERICHOST;
constexpr int AiPassive = AI_PASSIVE;
using SockAddrIn = ::sockaddr_in;
using SockAddrIn6 = ::sockaddr_in6;
using SockAddrStorage = ::sockaddr_storage;
using AddrInfo = ::addrinfo;
using Linger = ::linger;
} // namespace px

#undef AF_INET
#undef PF_INET
#undef AF_INET6
#undef PF_INET6
#undef AF_UNSPEC
#undef IPPROTO_IPV6
#undef IPV6_V6ONLY
#undef AI_PASSIVE
#undef AI_CANONNAME
#undef AI_NUMERICHOST
#undef s6_addr
#undef SOCK_STREAM
#undef SOCK_DGRAM
#undef SOL_SOCKET
#undef SO_REUSEADDR
#undef SO_KEEPALIVE
#undef SO_BROADCAST
#undef SO_LINGER
#undef SO_SNDBUF
#undef SO_RCVBUF
#undef SO_ERROR
#undef SO_TYPE
#undef IPPROTO_TCP
#undef IPPROTO_UDP
#undef TCP_NODELAY
#undef MSG_OOB
#undef MSG_PEEK
#undef FIONREAD
#undef FIONBIO
#undef INADDR_ANY
#undef INADDR_NONE
#undef INADDR_BROADCAST
#undef htons
#undef ntohs
#undef htonl
#undef ntohl

#include "platform/Winsock.h"

namespace winsock::internal {

// ---- errors (WinsockErrors.cpp) ----------------------------------------------

// The WSA error code for an errno value.
int MapErrno(int e);

// Sets the thread's last error; returns SOCKET_ERROR.
int Fail(int wsaError);

// Fail with the mapped errno.
int FailErrno();

// Errors of a receive that end the connection: the system reports each
// once, so the one a receive takes must still reach the close notice.
bool EndsConnection(int wsaError);

// ---- sockets (WinsockSockets.cpp) --------------------------------------------

// What the reactor knows about each socket opened through this layer.
struct SockRec {
    HWND hwnd = 0;
    UINT msg = 0;
    long mask = 0;
    bool nonBlocking = false;
    bool listening = false;
    bool connecting = false;
    bool connected = false;
    bool shutWr = false;
    bool eof = false;             // the peer closed and no data is left
    bool closeReported = false;   // FD_CLOSE (or a failed FD_CONNECT) posted
    bool readArmed = true;        // FD_READ may be posted
    bool writeArmed = false;      // FD_WRITE may be posted
    bool acceptArmed = true;      // FD_ACCEPT may be posted
    int pendingError = 0;         // WSA code seen with EPOLLERR, for FD_CLOSE
    std::uint32_t registered = 0; // epoll interest currently set; 0 = not in epoll
};

// The record of a socket opened through this layer, or null.
SockRec* Find(SOCKET s);

// ---- reactor (WinsockReactor.cpp) --------------------------------------------

// Hooks the readiness handler into the message queue (once).
void EnsureReactor();

// After a re-enabling call: add what is wanted now. Interest that is no
// longer wanted is dropped lazily, when it fires (saves a system call per
// message in the common case).
void Rearm(int fd, SockRec& r);

// Posts one notification for the socket to its window.
void Notify(int fd, const SockRec& r, long event, int error);

// For a socket being closed: takes it out of the poll and drops its
// notifications still queued.
void StopNotifying(SOCKET s, const SockRec& r);

// ---- names (WinsockNames.cpp) ------------------------------------------------

// One address a lookup found, in the system's form.
struct FoundAddr {
    px::SockAddrStorage addr{};
    socklen_t len = 0;
};

// Looks a name up: family px::AfInet, px::AfInet6 or px::AfUnspec (both,
// in the order the system prefers), each address once. Returns 0 or a WSA
// lookup error. The test table (WSASetTestHostTable) comes first.
int ResolveAddrs(const std::string& name, int family, std::string& canonical, std::vector<FoundAddr>& addrs);

// Looks a name up (IPv4 only). Returns 0 or a WSA lookup error.
int ResolveName(const std::string& name, std::string& canonical, std::vector<std::uint32_t>& addrs);

// A getaddrinfo result in this layer's form (freed by freeaddrinfo).
addrinfo* MakeAddrInfo(const std::string& canonical, const std::vector<FoundAddr>& addrs, int socktype, int protocol,
                       std::uint16_t portNet);

// Converts an address between this layer's and the system's form; false
// (or WSAEFAULT) when the family is neither IPv4 nor IPv6 or the length is
// too short.
bool ToPosix(const sockaddr* name, int namelen, px::SockAddrStorage& out, socklen_t& outLen);
int FromPosix(const px::SockAddrStorage& in, sockaddr* name, int* namelen);

// Writes a host entry into a caller's buffer; returns the size needed when
// it does not fit, else 0.
int WriteHostEntry(char* buf, int buflen, const std::string& name, const std::vector<std::uint32_t>& addrs);

} // namespace winsock::internal

// The Winsock 1.1 subset the socket component is written against, over
// POSIX sockets and the message queue's epoll reactor.
//
// Names, constants, structure layouts and error codes are Winsock's, in
// namespace winsock. Do not include the POSIX socket headers (<sys/socket.h>,
// <netinet/in.h>, <netdb.h>, <arpa/inet.h>, <sys/ioctl.h>) in a file that
// includes this one: they define several of these names as macros.
//
// Notifications (WSAAsyncSelect) follow Winsock's re-enabling rules, at most
// one outstanding message of each kind per socket:
//   FD_CONNECT once, with the error in the high word;
//   FD_WRITE once the connection is up (at once for a socket already
//     connected), then again only after a send met WSAEWOULDBLOCK (or took
//     less than offered) and the socket became writable;
//   FD_READ when data is waiting, then not again until recv on that socket;
//   FD_ACCEPT likewise, re-enabled by accept;
//   FD_CLOSE once when the peer closed or the connection failed, while
//     unread data stays readable.
// wParam is the socket, lParam the event bit (low word) and the error (high
// word). closesocket drops the socket's notifications still queued.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "platform/Messages.h"

namespace winsock {

using SOCKET = int;
using u_char = unsigned char;
using u_short = std::uint16_t;
using u_int = unsigned int;
using u_long = std::uint32_t;
using HANDLE = std::uintptr_t;

inline constexpr SOCKET INVALID_SOCKET = -1;
inline constexpr int SOCKET_ERROR = -1;

// Address families, socket types, protocols.
inline constexpr int AF_INET = 2;
inline constexpr int PF_INET = 2;
inline constexpr int AF_INET6 = 23;
inline constexpr int PF_INET6 = 23;
inline constexpr int AF_UNSPEC = 0;
inline constexpr int SOCK_STREAM = 1;
inline constexpr int SOCK_DGRAM = 2;
inline constexpr int IPPROTO_TCP = 6;
inline constexpr int IPPROTO_UDP = 17;
inline constexpr int IPPROTO_IPV6 = 41;
inline constexpr int IPV6_V6ONLY = 27; // level IPPROTO_IPV6

// getaddrinfo flags.
inline constexpr int AI_PASSIVE = 0x01;
inline constexpr int AI_CANONNAME = 0x02;
inline constexpr int AI_NUMERICHOST = 0x04;

inline constexpr u_long INADDR_ANY = 0x00000000u;
inline constexpr u_long INADDR_NONE = 0xFFFFFFFFu;
inline constexpr u_long INADDR_BROADCAST = 0xFFFFFFFFu;

// Send and receive flags.
inline constexpr int MSG_OOB = 0x1;
inline constexpr int MSG_PEEK = 0x2;

// Socket options.
inline constexpr int SOL_SOCKET = 0xFFFF;
inline constexpr int SO_REUSEADDR = 0x0004;
inline constexpr int SO_KEEPALIVE = 0x0008;
inline constexpr int SO_BROADCAST = 0x0020;
inline constexpr int SO_LINGER = 0x0080;
inline constexpr int SO_SNDBUF = 0x1001;
inline constexpr int SO_RCVBUF = 0x1002;
inline constexpr int SO_ERROR = 0x1007;
inline constexpr int SO_TYPE = 0x1008;

inline constexpr long FIONREAD = 0x4004667F;
inline constexpr long FIONBIO = static_cast<long>(0x8004667Eu);

inline constexpr int TCP_NODELAY = 0x0001; // level IPPROTO_TCP

inline constexpr int SD_RECEIVE = 0;
inline constexpr int SD_SEND = 1;
inline constexpr int SD_BOTH = 2;

// WSAAsyncSelect events.
inline constexpr long FD_READ = 0x01;
inline constexpr long FD_WRITE = 0x02;
inline constexpr long FD_OOB = 0x04;
inline constexpr long FD_ACCEPT = 0x08;
inline constexpr long FD_CONNECT = 0x10;
inline constexpr long FD_CLOSE = 0x20;

inline constexpr int MAXGETHOSTSTRUCT = 1024;

// Error codes.
inline constexpr int WSABASEERR = 10000;
inline constexpr int WSAEINTR = 10004;
inline constexpr int WSAEBADF = 10009;
inline constexpr int WSAEACCES = 10013;
inline constexpr int WSAEFAULT = 10014;
inline constexpr int WSAEINVAL = 10022;
inline constexpr int WSAEMFILE = 10024;
inline constexpr int WSAEWOULDBLOCK = 10035;
inline constexpr int WSAEINPROGRESS = 10036;
inline constexpr int WSAEALREADY = 10037;
inline constexpr int WSAENOTSOCK = 10038;
inline constexpr int WSAEDESTADDRREQ = 10039;
inline constexpr int WSAEMSGSIZE = 10040;
inline constexpr int WSAEPROTOTYPE = 10041;
inline constexpr int WSAENOPROTOOPT = 10042;
inline constexpr int WSAEPROTONOSUPPORT = 10043;
inline constexpr int WSAESOCKTNOSUPPORT = 10044;
inline constexpr int WSAEOPNOTSUPP = 10045;
inline constexpr int WSAEPFNOSUPPORT = 10046;
inline constexpr int WSAEAFNOSUPPORT = 10047;
inline constexpr int WSAEADDRINUSE = 10048;
inline constexpr int WSAEADDRNOTAVAIL = 10049;
inline constexpr int WSAENETDOWN = 10050;
inline constexpr int WSAENETUNREACH = 10051;
inline constexpr int WSAENETRESET = 10052;
inline constexpr int WSAECONNABORTED = 10053;
inline constexpr int WSAECONNRESET = 10054;
inline constexpr int WSAENOBUFS = 10055;
inline constexpr int WSAEISCONN = 10056;
inline constexpr int WSAENOTCONN = 10057;
inline constexpr int WSAESHUTDOWN = 10058;
inline constexpr int WSAETOOMANYREFS = 10059;
inline constexpr int WSAETIMEDOUT = 10060;
inline constexpr int WSAECONNREFUSED = 10061;
inline constexpr int WSAELOOP = 10062;
inline constexpr int WSAENAMETOOLONG = 10063;
inline constexpr int WSAEHOSTDOWN = 10064;
inline constexpr int WSAEHOSTUNREACH = 10065;
inline constexpr int WSAENOTEMPTY = 10066;
inline constexpr int WSAEPROCLIM = 10067;
inline constexpr int WSAEUSERS = 10068;
inline constexpr int WSAEDQUOT = 10069;
inline constexpr int WSAESTALE = 10070;
inline constexpr int WSAEREMOTE = 10071;
inline constexpr int WSASYSNOTREADY = 10091;
inline constexpr int WSAVERNOTSUPPORTED = 10092;
inline constexpr int WSANOTINITIALISED = 10093;
inline constexpr int WSATYPE_NOT_FOUND = 10109;
inline constexpr int WSAHOST_NOT_FOUND = 11001;
inline constexpr int WSATRY_AGAIN = 11002;
inline constexpr int WSANO_RECOVERY = 11003;
inline constexpr int WSANO_DATA = 11004;

// Structures, with Winsock's layout.
struct in_addr {
    u_long s_addr; // network byte order
};

struct sockaddr {
    u_short sa_family;
    char sa_data[14];
};

struct sockaddr_in {
    std::int16_t sin_family;
    u_short sin_port; // network byte order
    in_addr sin_addr;
    char sin_zero[8];
};
static_assert(sizeof(sockaddr_in) == 16, "a Winsock IPv4 address is 16 bytes");

struct in6_addr {
    u_char s6_addr[16]; // network byte order
};

struct sockaddr_in6 {
    std::int16_t sin6_family;
    u_short sin6_port; // network byte order
    u_long sin6_flowinfo;
    in6_addr sin6_addr;
    u_long sin6_scope_id;
};
static_assert(sizeof(sockaddr_in6) == 28, "a Winsock IPv6 address is 28 bytes");

// Room for an address of either family.
struct sockaddr_storage {
    std::int16_t ss_family;
    char ss_pad1[6];
    std::int64_t ss_align;
    char ss_pad2[112];
};
static_assert(sizeof(sockaddr_storage) == 128, "Winsock's address storage is 128 bytes");

// One address of a getaddrinfo result (Winsock's ADDRINFOA).
struct addrinfo {
    int ai_flags;
    int ai_family;
    int ai_socktype;
    int ai_protocol;
    std::size_t ai_addrlen;
    char* ai_canonname;
    sockaddr* ai_addr;
    addrinfo* ai_next;
};
using ADDRINFOA = addrinfo;

struct hostent {
    char* h_name;
    char** h_aliases;
    std::int16_t h_addrtype;
    std::int16_t h_length;
    char** h_addr_list;
};

struct servent {
    char* s_name;
    char** s_aliases;
    std::int16_t s_port; // network byte order
    char* s_proto;
};

struct protoent {
    char* p_name;
    char** p_aliases;
    std::int16_t p_proto;
};

struct linger {
    u_short l_onoff;
    u_short l_linger;
};

struct WSAData {
    std::uint16_t wVersion;
    std::uint16_t wHighVersion;
    char szDescription[257];
    char szSystemStatus[129];
    u_short iMaxSockets;
    u_short iMaxUdpDg;
    char* lpVendorInfo;
};

inline constexpr std::uint16_t MAKEWORD(std::uint8_t lo, std::uint8_t hi)
{
    return static_cast<std::uint16_t>(lo | (hi << 8));
}

// Start-up and errors. WSAStartup counts its callers; WSACleanup undoes one.
// Nothing needs starting on this system, so the other calls work either way.
int WSAStartup(std::uint16_t versionRequested, WSAData* data);
int WSACleanup();
int WSAGetLastError();
void WSASetLastError(int error);
// True between the first WSAStartup and the last WSACleanup.
bool WSAIsStarted();

SOCKET socket(int af, int type, int protocol);
int connect(SOCKET s, const sockaddr* name, int namelen);
int bind(SOCKET s, const sockaddr* name, int namelen);
int listen(SOCKET s, int backlog);
SOCKET accept(SOCKET s, sockaddr* addr, int* addrlen);
int send(SOCKET s, const char* buf, int len, int flags);
int recv(SOCKET s, char* buf, int len, int flags);
int closesocket(SOCKET s);
int shutdown(SOCKET s, int how);
int ioctlsocket(SOCKET s, long cmd, u_long* argp);
int setsockopt(SOCKET s, int level, int optname, const char* optval, int optlen);
int getsockopt(SOCKET s, int level, int optname, char* optval, int* optlen);
int getsockname(SOCKET s, sockaddr* name, int* namelen);
int getpeername(SOCKET s, sockaddr* name, int* namelen);

// Winsock's reading: also the short, octal and hexadecimal forms ("127.1",
// "0177.0.0.1", "0x7f.1", "2130706433"). The socket component does not use
// it for host texts (see inet_pton and WSocketReadHost).
u_long inet_addr(const char* cp);
// The strict readings: AF_INET takes exactly four decimal numbers 0-255
// without leading zeros, AF_INET6 the RFC 4291 text forms (no brackets, no
// zone). dst receives 4 or 16 bytes in network order. 1 when src is such
// an address, 0 when not, -1 (WSAEAFNOSUPPORT) for another family.
int inet_pton(int af, const char* src, void* dst);
// The text of a 4- or 16-byte address (AF_INET or AF_INET6) in dst; dst
// itself, or nullptr when it is too small (WSAEFAULT) or af is another
// family (WSAEAFNOSUPPORT).
const char* inet_ntop(int af, const void* src, char* dst, std::size_t size);
// Dotted text of an address; the buffer is per thread and reused.
char* inet_ntoa(in_addr in);
u_short htons(u_short v);
u_short ntohs(u_short v);
u_long htonl(u_long v);
u_long ntohl(u_long v);

// Blocking lookups. gethostbyname gives IPv4 addresses only; the entries
// are per thread and reused.
hostent* gethostbyname(const char* name);
// Both families (hints->ai_family AF_UNSPEC, AF_INET or AF_INET6), in the
// order the system prefers, each address once, stream sockets only. Returns
// zero or the WSA error (WSAHOST_NOT_FOUND, WSANO_DATA, WSATRY_AGAIN,
// WSANO_RECOVERY, WSAEAFNOSUPPORT); service may be null or a port number.
// The result is freed with freeaddrinfo.
int getaddrinfo(const char* nodename, const char* servname, const addrinfo* hints, addrinfo** res);
void freeaddrinfo(addrinfo* ai);
servent* getservbyname(const char* name, const char* proto);
protoent* getprotobyname(const char* name);

// Makes the socket non-blocking and registers it with the reactor; mask 0
// stops all notifications.
int WSAAsyncSelect(SOCKET s, HWND hwnd, UINT msg, long event);

// Looks the name up on a helper thread. On completion posts msg to hwnd with
// wParam = the returned handle and lParam = (buffer size needed or 0) in the
// low word, error in the high word; the host entry is written into buf
// (which must stay valid until the completion or a cancel) just before the
// message is dispatched. Returns 0 (error set) when it cannot start.
HANDLE WSAAsyncGetHostByName(HWND hwnd, UINT msg, const char* name, char* buf, int buflen);
// Not in Winsock (whose asynchronous getaddrinfo reports through a
// completion routine): getaddrinfo(name, AF_UNSPEC) on a helper thread,
// reported like WSAAsyncGetHostByName. *result (which must stay valid
// until the completion or a cancel) receives the list just before the
// message is dispatched (nullptr when the lookup failed), and the receiver
// frees it with freeaddrinfo; a cancelled lookup never writes it. Returns 0
// (error set) when it cannot start.
HANDLE WSAAsyncGetAddrInfo(HWND hwnd, UINT msg, const char* name, addrinfo** result);
// Cancels a lookup whose completion has not been dispatched yet: that
// completion is dropped and buf is never written. SOCKET_ERROR with
// WSAEINVAL when there is no such lookup (any more).
int WSACancelAsyncRequest(HANDLE asyncTaskHandle);

// Not in Winsock: the bytes written to a connected stream socket that the
// peer has not acknowledged yet (still queued in the system, sent or not).
// Returns 0, or SOCKET_ERROR with the error set.
int QueuedSendBytes(SOCKET s, u_long* bytes);

// For tests only: names answered from this table (name -> address texts,
// in order) before the system is asked, by getaddrinfo and both kinds of
// asynchronous lookup. An empty table (the program's case) asks the system
// for every name.
void WSASetTestHostTable(const std::vector<std::pair<std::string, std::vector<std::string>>>& table);

// For tests and leak checks: sockets currently open through this layer.
int OpenSocketCount();

} // namespace winsock

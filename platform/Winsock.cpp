// The Winsock subset over POSIX sockets. The POSIX headers come first and
// their values are captured under other names, because several of their
// macros share Winsock's names.
#include <arpa/inet.h>
#include <linux/sockios.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <vector>

namespace px {
constexpr int kAfInet = AF_INET;
constexpr int kSockStream = SOCK_STREAM;
constexpr int kSockDgram = SOCK_DGRAM;
constexpr int kSolSocket = SOL_SOCKET;
constexpr int kSoReuseAddr = SO_REUSEADDR;
constexpr int kSoKeepAlive = SO_KEEPALIVE;
constexpr int kSoBroadcast = SO_BROADCAST;
constexpr int kSoLinger = SO_LINGER;
constexpr int kSoSndBuf = SO_SNDBUF;
constexpr int kSoRcvBuf = SO_RCVBUF;
constexpr int kSoError = SO_ERROR;
constexpr int kSoType = SO_TYPE;
constexpr int kIpProtoTcp = IPPROTO_TCP;
constexpr int kTcpNoDelay = TCP_NODELAY;
constexpr int kMsgOob = MSG_OOB;
constexpr int kMsgPeek = MSG_PEEK;
constexpr unsigned long kFionread = FIONREAD;
constexpr unsigned long kSiocoutq = SIOCOUTQ;
using SockAddrIn = ::sockaddr_in;
using Linger = ::linger;
} // namespace px

#undef AF_INET
#undef PF_INET
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

namespace winsock {
namespace {

thread_local int tLastError = 0;
int gStartups = 0;

int MapErrno(int e)
{
    switch (e) {
    case 0: return 0;
    case EINTR: return WSAEINTR;
    case EBADF: return WSAENOTSOCK;
    case EACCES:
    case EPERM: return WSAEACCES;
    case EFAULT: return WSAEFAULT;
    case EINVAL: return WSAEINVAL;
    case EMFILE:
    case ENFILE: return WSAEMFILE;
    case EAGAIN:
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
    case EINPROGRESS: return WSAEWOULDBLOCK;
    case EALREADY: return WSAEALREADY;
    case ENOTSOCK: return WSAENOTSOCK;
    case EDESTADDRREQ: return WSAEDESTADDRREQ;
    case EMSGSIZE: return WSAEMSGSIZE;
    case EPROTOTYPE: return WSAEPROTOTYPE;
    case ENOPROTOOPT: return WSAENOPROTOOPT;
    case EPROTONOSUPPORT: return WSAEPROTONOSUPPORT;
    case ESOCKTNOSUPPORT: return WSAESOCKTNOSUPPORT;
    case EOPNOTSUPP: return WSAEOPNOTSUPP;
    case EPFNOSUPPORT: return WSAEPFNOSUPPORT;
    case EAFNOSUPPORT: return WSAEAFNOSUPPORT;
    case EADDRINUSE: return WSAEADDRINUSE;
    case EADDRNOTAVAIL: return WSAEADDRNOTAVAIL;
    case ENETDOWN: return WSAENETDOWN;
    case ENETUNREACH: return WSAENETUNREACH;
    case ENETRESET: return WSAENETRESET;
    case ECONNABORTED: return WSAECONNABORTED;
    case ECONNRESET:
    case EPIPE: return WSAECONNRESET;
    case ENOBUFS:
    case ENOMEM: return WSAENOBUFS;
    case EISCONN: return WSAEISCONN;
    case ENOTCONN: return WSAENOTCONN;
    case ESHUTDOWN: return WSAESHUTDOWN;
    case ETOOMANYREFS: return WSAETOOMANYREFS;
    case ETIMEDOUT: return WSAETIMEDOUT;
    case ECONNREFUSED: return WSAECONNREFUSED;
    case ELOOP: return WSAELOOP;
    case ENAMETOOLONG: return WSAENAMETOOLONG;
    case EHOSTDOWN: return WSAEHOSTDOWN;
    case EHOSTUNREACH: return WSAEHOSTUNREACH;
    case ENOTEMPTY: return WSAENOTEMPTY;
    case EUSERS: return WSAEUSERS;
    case EDQUOT: return WSAEDQUOT;
    case ESTALE: return WSAESTALE;
    case EREMOTE: return WSAEREMOTE;
    default: return WSAEINVAL;
    }
}

int Fail(int wsaError)
{
    tLastError = wsaError;
    return SOCKET_ERROR;
}

int FailErrno()
{
    return Fail(MapErrno(errno));
}

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
    bool eof = false;            // the peer closed and no data is left
    bool closeReported = false;  // FD_CLOSE (or a failed FD_CONNECT) posted
    bool readArmed = true;       // FD_READ may be posted
    bool writeArmed = false;     // FD_WRITE may be posted
    bool acceptArmed = true;     // FD_ACCEPT may be posted
    int pendingError = 0;        // WSA code seen with EPOLLERR, for FD_CLOSE
    std::uint32_t registered = 0;  // epoll interest currently set; 0 = not in epoll
};

std::unordered_map<int, SockRec>& Socks()
{
    static auto* socks = new std::unordered_map<int, SockRec>();
    return *socks;
}

SockRec* Find(SOCKET s)
{
    auto& m = Socks();
    auto it = m.find(s);
    return it == m.end() ? nullptr : &it->second;
}

std::uint32_t Desired(const SockRec& r)
{
    if (r.mask == 0 || r.hwnd == 0)
        return 0;
    if (r.listening)
        return ((r.mask & FD_ACCEPT) && r.acceptArmed) ? static_cast<std::uint32_t>(EPOLLIN) : 0u;
    if (r.connecting)
        return EPOLLOUT;
    if (!r.connected)
        return 0;
    std::uint32_t ev = 0;
    if ((r.mask & FD_READ) && r.readArmed && !r.eof)
        ev |= EPOLLIN;
    if ((r.mask & FD_WRITE) && r.writeArmed)
        ev |= EPOLLOUT;
    if ((r.mask & FD_CLOSE) && !r.closeReported)
        ev |= EPOLLRDHUP;
    return ev;
}

void SetInterest(int fd, SockRec& r, std::uint32_t events)
{
    if (events == r.registered)
        return;
    epoll_event ev{};
    ev.events = events;
    ev.data.fd = fd;
    int ep = MessageQueueFd();
    if (events == 0)
        epoll_ctl(ep, EPOLL_CTL_DEL, fd, nullptr);
    else if (r.registered == 0)
        epoll_ctl(ep, EPOLL_CTL_ADD, fd, &ev);
    else
        epoll_ctl(ep, EPOLL_CTL_MOD, fd, &ev);
    r.registered = events;
}

// After a re-enabling call: add what is wanted now. Interest that is no
// longer wanted is dropped lazily, when it fires (saves a system call per
// message in the common case).
void Rearm(int fd, SockRec& r)
{
    std::uint32_t want = Desired(r);
    if (want & ~r.registered)
        SetInterest(fd, r, r.registered | want);
}

void Notify(int fd, const SockRec& r, long event, int error)
{
    PostMessage(r.hwnd, r.msg, static_cast<WPARAM>(fd),
                MAKELPARAM(static_cast<WORD>(event), static_cast<WORD>(error)));
}

// Errors of a receive that end the connection: the system reports each
// once, so the one a receive takes must still reach the close notice.
bool EndsConnection(int wsaError)
{
    switch (wsaError) {
    case WSAECONNRESET:
    case WSAECONNABORTED:
    case WSAETIMEDOUT:
    case WSAENETRESET:
    case WSAENETDOWN:
    case WSAENETUNREACH:
    case WSAEHOSTUNREACH:
    case WSAEHOSTDOWN: return true;
    default: return false;
    }
}

int SocketError(int fd)
{
    int err = 0;
    socklen_t len = sizeof err;
    if (::getsockopt(fd, px::kSolSocket, px::kSoError, &err, &len) != 0)
        return MapErrno(errno);
    return MapErrno(err);
}

int Readable(int fd)
{
    int n = 0;
    if (::ioctl(fd, px::kFionread, &n) != 0)
        return 0;
    return n;
}

// Readiness of one descriptor, from the message queue's poll. Turns it into
// at most one message of each kind; runs no program code.
void OnReady(int fd, std::uint32_t events)
{
    SockRec* rp = Find(fd);
    if (!rp) {
        epoll_ctl(MessageQueueFd(), EPOLL_CTL_DEL, fd, nullptr);
        return;
    }
    SockRec& r = *rp;
    std::uint32_t wanted = Desired(r);
    bool hangup = events & (EPOLLHUP | EPOLLRDHUP);

    if (r.listening) {
        if ((events & EPOLLIN) && (wanted & EPOLLIN)) {
            r.acceptArmed = false;
            Notify(fd, r, FD_ACCEPT, 0);
        }
    } else if (r.connecting) {
        if (events & (EPOLLOUT | EPOLLERR | EPOLLHUP)) {
            int err = SocketError(fd);
            r.connecting = false;
            if (err == 0) {
                r.connected = true;
                if (r.mask & FD_CONNECT)
                    Notify(fd, r, FD_CONNECT, 0);
                // The connection is up and writable: FD_WRITE follows.
                if (r.mask & FD_WRITE)
                    Notify(fd, r, FD_WRITE, 0);
                r.writeArmed = false;
            } else {
                r.closeReported = true;
                if (r.mask & FD_CONNECT)
                    Notify(fd, r, FD_CONNECT, err);
            }
        }
    } else if (r.connected) {
        if (events & EPOLLERR) {
            // Reading the error clears it in the system: keep what an
            // earlier receive already took when there is nothing new.
            if (int err = SocketError(fd))
                r.pendingError = err;
        }
        if ((events & EPOLLIN) && (wanted & EPOLLIN)) {
            // At end of stream, EPOLLIN stays set; only real data is news.
            if (hangup || (events & EPOLLERR) || r.closeReported) {
                if (Readable(fd) > 0) {
                    r.readArmed = false;
                    Notify(fd, r, FD_READ, 0);
                } else {
                    r.eof = true;
                }
            } else {
                r.readArmed = false;
                Notify(fd, r, FD_READ, 0);
            }
        }
        if ((events & EPOLLOUT) && (wanted & EPOLLOUT)) {
            r.writeArmed = false;
            Notify(fd, r, FD_WRITE, 0);
        }
        if ((hangup || (events & EPOLLERR)) && !r.closeReported && (r.mask & FD_CLOSE)) {
            r.closeReported = true;
            Notify(fd, r, FD_CLOSE, (events & EPOLLERR) || r.pendingError ? r.pendingError : 0);
        }
    }

    std::uint32_t after = Desired(r);
    std::uint32_t unwanted = events & (EPOLLIN | EPOLLOUT | EPOLLRDHUP) & ~wanted;
    std::uint32_t next = (r.registered & ~unwanted) | after;
    if (hangup || (events & EPOLLERR)) {
        // Hang-up and error stay reported while registered: keep only what
        // is still wanted, so the poll does not spin.
        next = after & ~EPOLLRDHUP;
        if (!(after & EPOLLIN) && !(after & EPOLLOUT))
            next = 0;
    }
    if (r.connecting)
        next = after;
    SetInterest(fd, r, next);
}

struct ReactorHook {
    ReactorHook() { SetReadinessHandler(&OnReady); }
};

void EnsureReactor()
{
    static ReactorHook hook;
}

// Moves a descriptor away from 0..2, so a socket is never mistaken for
// standard input or output (and never has the handle 0, which callers
// treat as "none").
int AwayFromStdio(int fd)
{
    if (fd < 0 || fd > 2)
        return fd;
    int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
    ::close(fd);
    return moved;
}

SOCKET Register(int fd)
{
    fd = AwayFromStdio(fd);
    if (fd < 0) {
        FailErrno();
        return INVALID_SOCKET;
    }
    Socks()[fd] = SockRec{};
    return fd;
}

bool ToPosix(const sockaddr* name, int namelen, px::SockAddrIn& out)
{
    if (!name || namelen < static_cast<int>(sizeof(sockaddr_in)))
        return false;
    sockaddr_in in;
    std::memcpy(&in, name, sizeof in);
    if (in.sin_family != AF_INET)
        return false;
    std::memset(&out, 0, sizeof out);
    out.sin_family = px::kAfInet;
    out.sin_port = in.sin_port;
    out.sin_addr.s_addr = in.sin_addr.s_addr;
    return true;
}

int FromPosix(const px::SockAddrIn& in, sockaddr* name, int* namelen)
{
    if (!name || !namelen || *namelen < static_cast<int>(sizeof(sockaddr_in)))
        return Fail(WSAEFAULT);
    sockaddr_in out{};
    out.sin_family = AF_INET;
    out.sin_port = in.sin_port;
    out.sin_addr.s_addr = in.sin_addr.s_addr;
    std::memcpy(name, &out, sizeof out);
    *namelen = sizeof out;
    return 0;
}

bool MapOption(int level, int optname, int& plevel, int& pname)
{
    if (level == SOL_SOCKET) {
        plevel = px::kSolSocket;
        switch (optname) {
        case SO_REUSEADDR: pname = px::kSoReuseAddr; return true;
        case SO_KEEPALIVE: pname = px::kSoKeepAlive; return true;
        case SO_BROADCAST: pname = px::kSoBroadcast; return true;
        case SO_LINGER: pname = px::kSoLinger; return true;
        case SO_SNDBUF: pname = px::kSoSndBuf; return true;
        case SO_RCVBUF: pname = px::kSoRcvBuf; return true;
        case SO_ERROR: pname = px::kSoError; return true;
        case SO_TYPE: pname = px::kSoType; return true;
        default: return false;
        }
    }
    if (level == IPPROTO_TCP && optname == TCP_NODELAY) {
        plevel = px::kIpProtoTcp;
        pname = px::kTcpNoDelay;
        return true;
    }
    return false;
}

// ---- database entries, per thread ------------------------------------------

struct HostStore {
    std::string name;
    std::vector<std::uint32_t> addrs;
    std::vector<char*> addrPtrs;
    char* noAliases[1] = {nullptr};
    hostent entry{};
};

struct ServStore {
    std::string name, proto;
    char* noAliases[1] = {nullptr};
    servent entry{};
};

struct ProtoStore {
    std::string name;
    char* noAliases[1] = {nullptr};
    protoent entry{};
};

// Looks a name up (IPv4 only). Returns 0 or a WSA lookup error.
int ResolveName(const std::string& name, std::string& canonical, std::vector<std::uint32_t>& addrs)
{
    addrinfo hints{};
    hints.ai_family = px::kAfInet;
    hints.ai_socktype = px::kSockStream;
    hints.ai_flags = AI_CANONNAME;
    addrinfo* res = nullptr;
    int rc = ::getaddrinfo(name.c_str(), nullptr, &hints, &res);
    if (rc != 0) {
        switch (rc) {
        case EAI_NONAME: return WSAHOST_NOT_FOUND;
        case EAI_AGAIN: return WSATRY_AGAIN;
#ifdef EAI_NODATA
        case EAI_NODATA: return WSANO_DATA;
#endif
#ifdef EAI_ADDRFAMILY
        case EAI_ADDRFAMILY: return WSANO_DATA;
#endif
        default: return WSANO_RECOVERY;
        }
    }
    canonical = (res && res->ai_canonname) ? res->ai_canonname : name;
    for (addrinfo* ai = res; ai; ai = ai->ai_next) {
        if (ai->ai_family != px::kAfInet || !ai->ai_addr)
            continue;
        px::SockAddrIn sin;
        std::memcpy(&sin, ai->ai_addr, sizeof sin);
        std::uint32_t a = sin.sin_addr.s_addr;
        bool seen = false;
        for (std::uint32_t x : addrs)
            seen = seen || x == a;
        if (!seen)
            addrs.push_back(a);
    }
    ::freeaddrinfo(res);
    return addrs.empty() ? WSANO_DATA : 0;
}

// Writes a host entry into a caller's buffer; returns the size needed when
// it does not fit, else 0.
int WriteHostEntry(char* buf, int buflen, const std::string& name, const std::vector<std::uint32_t>& addrs)
{
    std::size_t pad = (alignof(hostent) - reinterpret_cast<std::uintptr_t>(buf) % alignof(hostent)) % alignof(hostent);
    std::size_t n = addrs.size();
    std::size_t need = pad + sizeof(hostent) + (n + 1) * sizeof(char*) + sizeof(char*) + n * 4 + name.size() + 1;
    if (need > static_cast<std::size_t>(buflen))
        return static_cast<int>(need);
    char* base = buf + pad;
    auto* he = reinterpret_cast<hostent*>(base);
    auto** list = reinterpret_cast<char**>(base + sizeof(hostent));
    auto** aliases = list + n + 1;
    char* bytes = reinterpret_cast<char*>(aliases + 1);
    char* text = bytes + n * 4;
    for (std::size_t i = 0; i < n; ++i) {
        std::memcpy(bytes + i * 4, &addrs[i], 4);
        list[i] = bytes + i * 4;
    }
    list[n] = nullptr;
    aliases[0] = nullptr;
    std::memcpy(text, name.c_str(), name.size() + 1);
    he->h_name = text;
    he->h_aliases = aliases;
    he->h_addrtype = AF_INET;
    he->h_length = 4;
    he->h_addr_list = list;
    return 0;
}

struct Lookup {
    HWND hwnd;
    UINT msg;
    char* buf;
    int buflen;
};

std::unordered_map<HANDLE, Lookup>& Lookups()
{
    static auto* lookups = new std::unordered_map<HANDLE, Lookup>();
    return *lookups;
}

HANDLE gNextLookup = 1;

// On the GUI thread: the helper finished lookup `id`.
void LookupFinished(HANDLE id, int error, const std::string& name, const std::vector<std::uint32_t>& addrs)
{
    auto it = Lookups().find(id);
    if (it == Lookups().end())
        return;  // cancelled
    Lookup lk = it->second;
    bool posted = PostConditionalMessage(lk.hwnd, lk.msg, static_cast<WPARAM>(id), MAKELPARAM(0, static_cast<WORD>(error)),
        [id, name, addrs, error] {
            auto found = Lookups().find(id);
            if (found == Lookups().end())
                return false;  // cancelled while queued
            Lookup l = found->second;
            Lookups().erase(found);
            if (error == 0 && WriteHostEntry(l.buf, l.buflen, name, addrs) != 0) {
                // Too small a buffer; the caller sees it through the
                // message it gets next. Rare: a name with many addresses.
                PostMessage(l.hwnd, l.msg, static_cast<WPARAM>(id), MAKELPARAM(0, static_cast<WORD>(WSAENOBUFS)));
                return false;
            }
            return true;
        });
    if (!posted)
        Lookups().erase(id);
}

} // namespace

// ---- start-up and errors -------------------------------------------------------

int WSAStartup(std::uint16_t versionRequested, WSAData* data)
{
    if ((versionRequested & 0xFF) < 1)
        return WSAVERNOTSUPPORTED;
    EnsureReactor();
    ++gStartups;
    if (data) {
        std::memset(data, 0, sizeof *data);
        data->wVersion = MAKEWORD(1, 1);
        data->wHighVersion = MAKEWORD(1, 1);
        std::strcpy(data->szDescription, "Parcelo sockets");
        std::strcpy(data->szSystemStatus, "Running");
        data->iMaxSockets = 32767;
        data->iMaxUdpDg = 65467;
    }
    return 0;
}

int WSACleanup()
{
    if (gStartups == 0)
        return Fail(WSANOTINITIALISED);
    --gStartups;
    return 0;
}

bool WSAIsStarted()
{
    return gStartups > 0;
}

int WSAGetLastError()
{
    return tLastError;
}

void WSASetLastError(int error)
{
    tLastError = error;
}

// ---- sockets -----------------------------------------------------------------

SOCKET socket(int af, int type, int protocol)
{
    EnsureReactor();
    if (af != AF_INET) {
        Fail(WSAEAFNOSUPPORT);
        return INVALID_SOCKET;
    }
    int ptype;
    if (type == SOCK_STREAM)
        ptype = px::kSockStream;
    else if (type == SOCK_DGRAM)
        ptype = px::kSockDgram;
    else {
        Fail(WSAESOCKTNOSUPPORT);
        return INVALID_SOCKET;
    }
    int fd = ::socket(px::kAfInet, ptype | SOCK_CLOEXEC, protocol);
    if (fd < 0) {
        FailErrno();
        return INVALID_SOCKET;
    }
    return Register(fd);
}

int connect(SOCKET s, const sockaddr* name, int namelen)
{
    SockRec* r = Find(s);
    if (!r)
        return Fail(WSAENOTSOCK);
    px::SockAddrIn sin;
    if (!ToPosix(name, namelen, sin))
        return Fail(name ? WSAEAFNOSUPPORT : WSAEFAULT);
    int rc = ::connect(s, reinterpret_cast<::sockaddr*>(&sin), sizeof sin);
    int e = rc == 0 ? 0 : errno;
    if (!r->nonBlocking) {
        if (rc == 0)
            r->connected = true;
        return rc == 0 ? 0 : Fail(MapErrno(e));
    }
    if (rc == 0 || e == EINPROGRESS) {
        // Completion (or failure) arrives as FD_CONNECT.
        r->connecting = true;
        Rearm(s, *r);
        return rc == 0 ? 0 : Fail(WSAEWOULDBLOCK);
    }
    switch (e) {
    case ECONNREFUSED:
    case ENETUNREACH:
    case EHOSTUNREACH:
    case ETIMEDOUT:
    case ECONNRESET:
        // A non-blocking connect reports its failure through FD_CONNECT,
        // even when the system knew at once.
        r->closeReported = true;
        if (r->mask & FD_CONNECT)
            Notify(s, *r, FD_CONNECT, MapErrno(e));
        return Fail(WSAEWOULDBLOCK);
    default:
        return Fail(MapErrno(e));
    }
}

int bind(SOCKET s, const sockaddr* name, int namelen)
{
    if (!Find(s))
        return Fail(WSAENOTSOCK);
    px::SockAddrIn sin;
    if (!ToPosix(name, namelen, sin))
        return Fail(name ? WSAEAFNOSUPPORT : WSAEFAULT);
    if (::bind(s, reinterpret_cast<::sockaddr*>(&sin), sizeof sin) != 0)
        return FailErrno();
    return 0;
}

int listen(SOCKET s, int backlog)
{
    SockRec* r = Find(s);
    if (!r)
        return Fail(WSAENOTSOCK);
    if (::listen(s, backlog) != 0)
        return FailErrno();
    r->listening = true;
    Rearm(s, *r);
    return 0;
}

SOCKET accept(SOCKET s, sockaddr* addr, int* addrlen)
{
    SockRec* r = Find(s);
    if (!r) {
        Fail(WSAENOTSOCK);
        return INVALID_SOCKET;
    }
    r->acceptArmed = true;
    Rearm(s, *r);
    px::SockAddrIn sin{};
    socklen_t len = sizeof sin;
    int fd = ::accept4(s, reinterpret_cast<::sockaddr*>(&sin), &len, SOCK_CLOEXEC);
    if (fd < 0) {
        FailErrno();
        return INVALID_SOCKET;
    }
    SOCKET ns = Register(fd);
    if (ns == INVALID_SOCKET)
        return INVALID_SOCKET;
    Find(ns)->connected = true;
    if (addr && addrlen)
        FromPosix(sin, addr, addrlen);
    return ns;
}

int send(SOCKET s, const char* buf, int len, int flags)
{
    SockRec* r = Find(s);
    if (!r)
        return Fail(WSAENOTSOCK);
    if (len < 0)
        return Fail(WSAEINVAL);
    int pflags = MSG_NOSIGNAL | ((flags & MSG_OOB) ? px::kMsgOob : 0);
    ssize_t n = ::send(s, buf, static_cast<size_t>(len), pflags);
    if (n < 0) {
        int e = errno;
        if (e == EAGAIN || e == EWOULDBLOCK) {
            r->writeArmed = true;
            Rearm(s, *r);
        }
        if (e == EPIPE && r->shutWr)
            return Fail(WSAESHUTDOWN);
        return Fail(MapErrno(e));
    }
    if (n < len && r->nonBlocking) {
        // The send buffer is full: the rest goes when FD_WRITE says so.
        r->writeArmed = true;
        Rearm(s, *r);
    }
    return static_cast<int>(n);
}

int recv(SOCKET s, char* buf, int len, int flags)
{
    SockRec* r = Find(s);
    if (!r)
        return Fail(WSAENOTSOCK);
    if (len < 0)
        return Fail(WSAEINVAL);
    r->readArmed = true;
    Rearm(s, *r);
    int pflags = ((flags & MSG_OOB) ? px::kMsgOob : 0) | ((flags & MSG_PEEK) ? px::kMsgPeek : 0);
    ssize_t n = ::recv(s, buf, static_cast<size_t>(len), pflags);
    if (n < 0) {
        int err = MapErrno(errno);
        // The receive took the connection's error from the system; the
        // close notice that follows must still carry it.
        if (EndsConnection(err) && r->pendingError == 0)
            r->pendingError = err;
        return Fail(err);
    }
    return static_cast<int>(n);
}

int closesocket(SOCKET s)
{
    SockRec* r = Find(s);
    if (!r) {
        // A socket descriptor opened elsewhere and handed over (Dup): it is
        // a socket all the same, and whoever owns it now may close it.
        int type = 0;
        socklen_t len = sizeof type;
        if (s >= 0 && ::getsockopt(s, px::kSolSocket, px::kSoType, &type, &len) == 0) {
            ::close(s);
            return 0;
        }
        return Fail(WSAENOTSOCK);
    }
    if (r->registered)
        epoll_ctl(MessageQueueFd(), EPOLL_CTL_DEL, s, nullptr);
    // The handle number is reused by the next socket: its notifications
    // still queued must not reach whoever gets it.
    if (r->hwnd)
        PurgeMessages(r->hwnd, r->msg, static_cast<WPARAM>(s));
    // With a linger time set, the system's close waits until the data
    // still queued has gone out (or the time is up), even for a
    // non-blocking socket: that wait must not hold the program's thread.
    // The close then completes on a helper thread; until it does, the
    // descriptor number stays taken, so no new socket can get it.
    px::Linger pl{};
    socklen_t plen = sizeof pl;
    bool lingers = r->nonBlocking && ::getsockopt(s, px::kSolSocket, px::kSoLinger, &pl, &plen) == 0 &&
                   pl.l_onoff != 0 && pl.l_linger > 0;
    Socks().erase(s);
    if (lingers) {
        try {
            std::thread([s] { ::close(s); }).detach();
            return 0;
        } catch (const std::system_error&) {
            // No thread to be had: close here, waiting as the system does.
        }
    }
    if (::close(s) != 0 && errno != EINTR)
        return FailErrno();
    return 0;
}

int shutdown(SOCKET s, int how)
{
    SockRec* r = Find(s);
    if (!r)
        return Fail(WSAENOTSOCK);
    int phow = how == SD_RECEIVE ? SHUT_RD : how == SD_SEND ? SHUT_WR : how == SD_BOTH ? SHUT_RDWR : -1;
    if (phow < 0)
        return Fail(WSAEINVAL);
    if (::shutdown(s, phow) != 0)
        return FailErrno();
    if (how != SD_RECEIVE)
        r->shutWr = true;
    return 0;
}

int ioctlsocket(SOCKET s, long cmd, u_long* argp)
{
    SockRec* r = Find(s);
    if (!r)
        return Fail(WSAENOTSOCK);
    if (!argp)
        return Fail(WSAEFAULT);
    if (cmd == FIONREAD) {
        int n = 0;
        if (::ioctl(s, px::kFionread, &n) != 0)
            return FailErrno();
        *argp = static_cast<u_long>(n);
        return 0;
    }
    if (cmd == FIONBIO) {
        if (*argp == 0 && r->mask != 0)
            return Fail(WSAEINVAL);  // as Winsock: still selected
        int fl = ::fcntl(s, F_GETFL);
        fl = *argp ? (fl | O_NONBLOCK) : (fl & ~O_NONBLOCK);
        if (::fcntl(s, F_SETFL, fl) != 0)
            return FailErrno();
        r->nonBlocking = *argp != 0;
        return 0;
    }
    return Fail(WSAEINVAL);
}

int QueuedSendBytes(SOCKET s, u_long* bytes)
{
    if (!bytes)
        return Fail(WSAEFAULT);
    int n = 0;
    if (::ioctl(s, px::kSiocoutq, &n) != 0)
        return FailErrno();
    *bytes = static_cast<u_long>(n < 0 ? 0 : n);
    return 0;
}

int setsockopt(SOCKET s, int level, int optname, const char* optval, int optlen)
{
    if (!Find(s))
        return Fail(WSAENOTSOCK);
    if (!optval)
        return Fail(WSAEFAULT);
    int plevel, pname;
    if (!MapOption(level, optname, plevel, pname))
        return Fail(WSAENOPROTOOPT);
    if (level == SOL_SOCKET && optname == SO_LINGER) {
        if (optlen < static_cast<int>(sizeof(linger)))
            return Fail(WSAEFAULT);
        linger l;
        std::memcpy(&l, optval, sizeof l);
        px::Linger pl{l.l_onoff ? 1 : 0, l.l_linger};
        if (::setsockopt(s, plevel, pname, &pl, sizeof pl) != 0)
            return FailErrno();
        return 0;
    }
    if (optlen < static_cast<int>(sizeof(int)))
        return Fail(WSAEFAULT);
    int v;
    std::memcpy(&v, optval, sizeof v);
    bool boolean = level == SOL_SOCKET && (optname == SO_REUSEADDR || optname == SO_KEEPALIVE || optname == SO_BROADCAST);
    if (boolean || level == IPPROTO_TCP)
        v = v != 0 ? 1 : 0;
    if (::setsockopt(s, plevel, pname, &v, sizeof v) != 0)
        return FailErrno();
    return 0;
}

int getsockopt(SOCKET s, int level, int optname, char* optval, int* optlen)
{
    if (!Find(s))
        return Fail(WSAENOTSOCK);
    if (!optval || !optlen)
        return Fail(WSAEFAULT);
    int plevel, pname;
    if (!MapOption(level, optname, plevel, pname))
        return Fail(WSAENOPROTOOPT);
    if (level == SOL_SOCKET && optname == SO_LINGER) {
        if (*optlen < static_cast<int>(sizeof(linger)))
            return Fail(WSAEFAULT);
        px::Linger pl{};
        socklen_t len = sizeof pl;
        if (::getsockopt(s, plevel, pname, &pl, &len) != 0)
            return FailErrno();
        linger l{static_cast<u_short>(pl.l_onoff ? 1 : 0), static_cast<u_short>(pl.l_linger)};
        std::memcpy(optval, &l, sizeof l);
        *optlen = sizeof l;
        return 0;
    }
    if (*optlen < static_cast<int>(sizeof(int)))
        return Fail(WSAEFAULT);
    int v = 0;
    socklen_t len = sizeof v;
    if (::getsockopt(s, plevel, pname, &v, &len) != 0)
        return FailErrno();
    if (level == SOL_SOCKET && optname == SO_ERROR)
        v = MapErrno(v);
    if (level == SOL_SOCKET && optname == SO_TYPE)
        v = v == px::kSockDgram ? SOCK_DGRAM : SOCK_STREAM;
    std::memcpy(optval, &v, sizeof v);
    *optlen = sizeof v;
    return 0;
}

int getsockname(SOCKET s, sockaddr* name, int* namelen)
{
    if (!Find(s))
        return Fail(WSAENOTSOCK);
    px::SockAddrIn sin{};
    socklen_t len = sizeof sin;
    if (::getsockname(s, reinterpret_cast<::sockaddr*>(&sin), &len) != 0)
        return FailErrno();
    return FromPosix(sin, name, namelen);
}

int getpeername(SOCKET s, sockaddr* name, int* namelen)
{
    if (!Find(s))
        return Fail(WSAENOTSOCK);
    px::SockAddrIn sin{};
    socklen_t len = sizeof sin;
    if (::getpeername(s, reinterpret_cast<::sockaddr*>(&sin), &len) != 0)
        return FailErrno();
    return FromPosix(sin, name, namelen);
}

// ---- addresses and byte order ------------------------------------------------------

u_long inet_addr(const char* cp)
{
    if (!cp)
        return INADDR_NONE;
    ::in_addr a{};
    if (::inet_aton(cp, &a) == 0)
        return INADDR_NONE;
    return a.s_addr;
}

char* inet_ntoa(in_addr in)
{
    thread_local char text[16];
    const auto* b = reinterpret_cast<const unsigned char*>(&in.s_addr);
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
    return text;
}

u_short htons(u_short v) { return static_cast<u_short>((v << 8) | (v >> 8)); }
u_short ntohs(u_short v) { return htons(v); }
u_long htonl(u_long v) { return __builtin_bswap32(v); }
u_long ntohl(u_long v) { return __builtin_bswap32(v); }

// ---- blocking lookups ------------------------------------------------------------

hostent* gethostbyname(const char* name)
{
    thread_local HostStore store;
    if (!name) {
        Fail(WSAEFAULT);
        return nullptr;
    }
    std::string canonical;
    std::vector<std::uint32_t> addrs;
    int err = ResolveName(name, canonical, addrs);
    if (err != 0) {
        Fail(err);
        return nullptr;
    }
    store.name = canonical;
    store.addrs = addrs;
    store.addrPtrs.clear();
    for (auto& a : store.addrs)
        store.addrPtrs.push_back(reinterpret_cast<char*>(&a));
    store.addrPtrs.push_back(nullptr);
    store.entry.h_name = store.name.data();
    store.entry.h_aliases = store.noAliases;
    store.entry.h_addrtype = AF_INET;
    store.entry.h_length = 4;
    store.entry.h_addr_list = store.addrPtrs.data();
    return &store.entry;
}

servent* getservbyname(const char* name, const char* proto)
{
    thread_local ServStore store;
    if (!name) {
        Fail(WSAEFAULT);
        return nullptr;
    }
    int port = -1;
    std::string p = proto ? proto : "";
    ::servent result{};
    ::servent* found = nullptr;
    char work[1024];
    if (::getservbyname_r(name, proto, &result, work, sizeof work, &found) == 0 && found) {
        port = found->s_port;
        p = found->s_proto ? found->s_proto : p;
    } else {
        // The services database is optional on a minimal system; the
        // names an FTP tool meets must work without it.
        static const struct { const char* name; int port; } known[] = {
            {"ftp-data", 20}, {"ftp", 21}, {"ssh", 22}, {"telnet", 23}, {"smtp", 25},
            {"domain", 53}, {"http", 80}, {"pop3", 110}, {"imap", 143}, {"https", 443},
        };
        for (const auto& k : known) {
            if (std::strcmp(k.name, name) == 0 && (p.empty() || p == "tcp" || p == "udp")) {
                port = htons(static_cast<u_short>(k.port));
                if (p.empty())
                    p = "tcp";
            }
        }
    }
    if (port < 0) {
        Fail(WSANO_DATA);
        return nullptr;
    }
    store.name = name;
    store.proto = p;
    store.entry.s_name = store.name.data();
    store.entry.s_aliases = store.noAliases;
    store.entry.s_port = static_cast<std::int16_t>(port);
    store.entry.s_proto = store.proto.data();
    return &store.entry;
}

protoent* getprotobyname(const char* name)
{
    thread_local ProtoStore store;
    if (!name) {
        Fail(WSAEFAULT);
        return nullptr;
    }
    int number = -1;
    ::protoent result{};
    ::protoent* found = nullptr;
    char work[1024];
    if (::getprotobyname_r(name, &result, work, sizeof work, &found) == 0 && found) {
        number = found->p_proto;
    } else {
        static const struct { const char* name; int number; } known[] = {
            {"ip", 0}, {"icmp", 1}, {"tcp", 6}, {"udp", 17},
        };
        for (const auto& k : known)
            if (std::strcmp(k.name, name) == 0)
                number = k.number;
    }
    if (number < 0) {
        Fail(WSANO_DATA);
        return nullptr;
    }
    store.name = name;
    store.entry.p_name = store.name.data();
    store.entry.p_aliases = store.noAliases;
    store.entry.p_proto = static_cast<std::int16_t>(number);
    return &store.entry;
}

// ---- asynchronous notification and lookup ------------------------------------

int WSAAsyncSelect(SOCKET s, HWND hwnd, UINT msg, long event)
{
    SockRec* r = Find(s);
    if (!r)
        return Fail(WSAENOTSOCK);
    if (event != 0 && !IsWindow(hwnd))
        return Fail(WSAEINVAL);
    int fl = ::fcntl(s, F_GETFL);
    if (::fcntl(s, F_SETFL, fl | O_NONBLOCK) != 0)
        return FailErrno();
    r->nonBlocking = true;
    if (!r->connected && !r->listening && !r->connecting) {
        // A descriptor connected elsewhere (blocking connect, or taken over).
        px::SockAddrIn sin{};
        socklen_t len = sizeof sin;
        if (::getpeername(s, reinterpret_cast<::sockaddr*>(&sin), &len) == 0)
            r->connected = true;
    }
    r->hwnd = hwnd;
    r->msg = msg;
    r->mask = event;
    // A new selection re-enables every event (as Winsock: FD_WRITE at once
    // for a connected socket, FD_READ if data waits).
    r->readArmed = true;
    r->acceptArmed = true;
    r->writeArmed = r->connected;
    SetInterest(s, *r, Desired(*r));
    return 0;
}

HANDLE WSAAsyncGetHostByName(HWND hwnd, UINT msg, const char* name, char* buf, int buflen)
{
    EnsureReactor();
    if (!name || !buf || buflen <= 0) {
        Fail(WSAEFAULT);
        return 0;
    }
    if (!IsWindow(hwnd)) {
        Fail(WSAEINVAL);
        return 0;
    }
    HANDLE id = gNextLookup++;
    Lookups()[id] = Lookup{hwnd, msg, buf, buflen};
    std::string host = name;
    try {
        // The helper only resolves; it hands the result back to the GUI
        // thread and never touches the caller's objects.
        std::thread([id, host] {
            std::string canonical;
            std::vector<std::uint32_t> addrs;
            int err = ResolveName(host, canonical, addrs);
            RunOnLoopThread([id, err, canonical, addrs] { LookupFinished(id, err, canonical, addrs); });
        }).detach();
    } catch (const std::exception&) {
        Lookups().erase(id);
        Fail(WSAENOBUFS);
        return 0;
    }
    return id;
}

int WSACancelAsyncRequest(HANDLE asyncTaskHandle)
{
    if (Lookups().erase(asyncTaskHandle) == 0)
        return Fail(WSAEINVAL);
    return 0;
}

int OpenSocketCount()
{
    return static_cast<int>(Socks().size());
}

} // namespace winsock

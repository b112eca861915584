// The socket calls over POSIX sockets, and the table of the sockets opened
// through them.
#include "platform/WinsockInternal.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>
#include <thread>
#include <unordered_map>

namespace winsock {
using namespace internal;

namespace {

std::unordered_map<int, SockRec>& Socks()
{
    static auto* socks = new std::unordered_map<int, SockRec>();
    return *socks;
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

bool MapOption(int level, int optname, int& plevel, int& pname)
{
    if (level == SOL_SOCKET) {
        plevel = px::SolSocket;
        switch (optname) {
        case SO_REUSEADDR: pname = px::SoReuseAddr; return true;
        case SO_KEEPALIVE: pname = px::SoKeepAlive; return true;
        case SO_BROADCAST: pname = px::SoBroadcast; return true;
        case SO_LINGER: pname = px::SoLinger; return true;
        case SO_SNDBUF: pname = px::SoSndBuf; return true;
        case SO_RCVBUF: pname = px::SoRcvBuf; return true;
        case SO_ERROR: pname = px::SoError; return true;
        case SO_TYPE: pname = px::SoType; return true;
        default: return false;
        }
    }
    if (level == IPPROTO_IPV6 && optname == IPV6_V6ONLY) {
        plevel = px::IpProtoIpv6;
        pname = px::Ipv6V6Only;
        return true;
    }
    if (level == IPPROTO_TCP && optname == TCP_NODELAY) {
        plevel = px::IpProtoTcp;
        pname = px::TcpNoDelay;
        return true;
    }
    return false;
}

} // namespace

namespace internal {

bool ToPosix(const sockaddr* name, int namelen, px::SockAddrStorage& out, socklen_t& outLen)
{
    if (!name || namelen < static_cast<int>(sizeof(u_short)))
        return false;
    std::memset(&out, 0, sizeof out);
    u_short family;
    std::memcpy(&family, name, sizeof family);
    if (family == AF_INET && namelen >= static_cast<int>(sizeof(sockaddr_in))) {
        sockaddr_in in;
        std::memcpy(&in, name, sizeof in);
        px::SockAddrIn sin{};
        sin.sin_family = px::AfInet;
        sin.sin_port = in.sin_port;
        sin.sin_addr.s_addr = in.sin_addr.s_addr;
        std::memcpy(&out, &sin, sizeof sin);
        outLen = sizeof sin;
        return true;
    }
    if (family == AF_INET6 && namelen >= static_cast<int>(sizeof(sockaddr_in6))) {
        sockaddr_in6 in;
        std::memcpy(&in, name, sizeof in);
        px::SockAddrIn6 sin6{};
        sin6.sin6_family = px::AfInet6;
        sin6.sin6_port = in.sin6_port;
        sin6.sin6_flowinfo = in.sin6_flowinfo;
        std::memcpy(&sin6.sin6_addr, in.sin6_addr.s6_addr, 16);
        sin6.sin6_scope_id = in.sin6_scope_id;
        std::memcpy(&out, &sin6, sizeof sin6);
        outLen = sizeof sin6;
        return true;
    }
    return false;
}

int FromPosix(const px::SockAddrStorage& in, sockaddr* name, int* namelen)
{
    if (!name || !namelen)
        return Fail(WSAEFAULT);
    if (in.ss_family == px::AfInet6) {
        if (*namelen < static_cast<int>(sizeof(sockaddr_in6)))
            return Fail(WSAEFAULT);
        px::SockAddrIn6 sin6;
        std::memcpy(&sin6, &in, sizeof sin6);
        sockaddr_in6 out{};
        out.sin6_family = AF_INET6;
        out.sin6_port = sin6.sin6_port;
        out.sin6_flowinfo = sin6.sin6_flowinfo;
        std::memcpy(out.sin6_addr.s6_addr, &sin6.sin6_addr, 16);
        out.sin6_scope_id = sin6.sin6_scope_id;
        std::memcpy(name, &out, sizeof out);
        *namelen = sizeof out;
        return 0;
    }
    if (*namelen < static_cast<int>(sizeof(sockaddr_in)))
        return Fail(WSAEFAULT);
    px::SockAddrIn sin;
    std::memcpy(&sin, &in, sizeof sin);
    sockaddr_in out{};
    out.sin_family = AF_INET;
    out.sin_port = sin.sin_port;
    out.sin_addr.s_addr = sin.sin_addr.s_addr;
    std::memcpy(name, &out, sizeof out);
    *namelen = sizeof out;
    return 0;
}

SockRec* Find(SOCKET s)
{
    auto& m = Socks();
    auto it = m.find(s);
    return it == m.end() ? nullptr : &it->second;
}

} // namespace internal

// ---- sockets -----------------------------------------------------------------

SOCKET socket(int af, int type, int protocol)
{
    EnsureReactor();
    if (af != AF_INET && af != AF_INET6) {
        Fail(WSAEAFNOSUPPORT);
        return INVALID_SOCKET;
    }
    int ptype;
    if (type == SOCK_STREAM)
        ptype = px::SockStream;
    else if (type == SOCK_DGRAM)
        ptype = px::SockDgram;
    else {
        Fail(WSAESOCKTNOSUPPORT);
        return INVALID_SOCKET;
    }
    int fd = ::socket(af == AF_INET6 ? px::AfInet6 : px::AfInet, ptype | SOCK_CLOEXEC, protocol);
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
    px::SockAddrStorage sa;
    socklen_t salen = 0;
    if (!ToPosix(name, namelen, sa, salen))
        return Fail(name ? WSAEAFNOSUPPORT : WSAEFAULT);
    int rc = ::connect(s, reinterpret_cast<::sockaddr*>(&sa), salen);
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
    default: return Fail(MapErrno(e));
    }
}

int bind(SOCKET s, const sockaddr* name, int namelen)
{
    if (!Find(s))
        return Fail(WSAENOTSOCK);
    px::SockAddrStorage sa;
    socklen_t salen = 0;
    if (!ToPosix(name, namelen, sa, salen))
        return Fail(name ? WSAEAFNOSUPPORT : WSAEFAULT);
    if (::bind(s, reinterpret_cast<::sockaddr*>(&sa), salen) != 0)
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
    px::SockAddrStorage sin{};
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
    int pflags = MSG_NOSIGNAL | ((flags & MSG_OOB) ? px::MsgOob : 0);
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
    int pflags = ((flags & MSG_OOB) ? px::MsgOob : 0) | ((flags & MSG_PEEK) ? px::MsgPeek : 0);
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
        if (s >= 0 && ::getsockopt(s, px::SolSocket, px::SoType, &type, &len) == 0) {
            ::close(s);
            return 0;
        }
        return Fail(WSAENOTSOCK);
    }
    StopNotifying(s, *r);
    // With a linger time set, the system's close waits until the data
    // still queued has gone out (or the time is up), even for a
    // non-blocking socket: that wait must not hold the program's thread.
    // The close then completes on a helper thread; until it does, the
    // descriptor number stays taken, so no new socket can get it.
    px::Linger pl{};
    socklen_t plen = sizeof pl;
    bool lingers = r->nonBlocking && ::getsockopt(s, px::SolSocket, px::SoLinger, &pl, &plen) == 0 && pl.l_onoff != 0 &&
                   pl.l_linger > 0;
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
        if (::ioctl(s, px::Fionread, &n) != 0)
            return FailErrno();
        *argp = static_cast<u_long>(n);
        return 0;
    }
    if (cmd == FIONBIO) {
        if (*argp == 0 && r->mask != 0)
            return Fail(WSAEINVAL); // as Winsock: still selected
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
    if (::ioctl(s, px::Siocoutq, &n) != 0)
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
    bool boolean =
        level == SOL_SOCKET && (optname == SO_REUSEADDR || optname == SO_KEEPALIVE || optname == SO_BROADCAST);
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
        v = v == px::SockDgram ? SOCK_DGRAM : SOCK_STREAM;
    std::memcpy(optval, &v, sizeof v);
    *optlen = sizeof v;
    return 0;
}

int getsockname(SOCKET s, sockaddr* name, int* namelen)
{
    if (!Find(s))
        return Fail(WSAENOTSOCK);
    px::SockAddrStorage sin{};
    socklen_t len = sizeof sin;
    if (::getsockname(s, reinterpret_cast<::sockaddr*>(&sin), &len) != 0)
        return FailErrno();
    return FromPosix(sin, name, namelen);
}

int getpeername(SOCKET s, sockaddr* name, int* namelen)
{
    if (!Find(s))
        return Fail(WSAENOTSOCK);
    px::SockAddrStorage sin{};
    socklen_t len = sizeof sin;
    if (::getpeername(s, reinterpret_cast<::sockaddr*>(&sin), &len) != 0)
        return FailErrno();
    return FromPosix(sin, name, namelen);
}

int OpenSocketCount()
{
    return static_cast<int>(Socks().size());
}

} // namespace winsock

#include "PosixPeer.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace peer {

int Listen(int& port)
{
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sin.sin_port = 0;
    ::bind(fd, reinterpret_cast<sockaddr*>(&sin), sizeof sin);
    ::listen(fd, 16);
    socklen_t len = sizeof sin;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&sin), &len);
    port = ntohs(sin.sin_port);
    return fd;
}

namespace {

// The socket address of a loopback text of either family.
bool AddressOf(const std::string& address, int port, sockaddr_storage& sa, socklen_t& len)
{
    sa = sockaddr_storage{};
    auto* sin = reinterpret_cast<sockaddr_in*>(&sa);
    auto* sin6 = reinterpret_cast<sockaddr_in6*>(&sa);
    if (::inet_pton(AF_INET, address.c_str(), &sin->sin_addr) == 1) {
        sin->sin_family = AF_INET;
        sin->sin_port = htons(static_cast<uint16_t>(port));
        len = sizeof *sin;
        return true;
    }
    if (::inet_pton(AF_INET6, address.c_str(), &sin6->sin6_addr) == 1) {
        sin6->sin6_family = AF_INET6;
        sin6->sin6_port = htons(static_cast<uint16_t>(port));
        len = sizeof *sin6;
        return true;
    }
    return false;
}

} // namespace

int ListenOn(const std::string& address, int& port, int backlog)
{
    sockaddr_storage sa;
    socklen_t len = 0;
    if (!AddressOf(address, port, sa, len))
        return -1;
    int fd = ::socket(sa.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (sa.ss_family == AF_INET6) {
        int on = 1;
        ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
    }
    if (::bind(fd, reinterpret_cast<sockaddr*>(&sa), len) != 0 || ::listen(fd, backlog) != 0) {
        ::close(fd);
        return -1;
    }
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
    port = ntohs(sa.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&sa)->sin6_port
                                          : reinterpret_cast<sockaddr_in*>(&sa)->sin_port);
    return fd;
}

int ConnectTo(const std::string& address, int port)
{
    sockaddr_storage sa;
    socklen_t len = 0;
    if (!AddressOf(address, port, sa, len))
        return -1;
    int fd = ::socket(sa.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&sa), len) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

int Accept(int listenFd)
{
    return ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
}

int Accept(int listenFd, std::string& peerAddress)
{
    sockaddr_storage sa{};
    socklen_t len = sizeof sa;
    int fd = ::accept4(listenFd, reinterpret_cast<sockaddr*>(&sa), &len, SOCK_CLOEXEC);
    char text[INET6_ADDRSTRLEN] = "";
    if (fd >= 0 && sa.ss_family == AF_INET6)
        ::inet_ntop(AF_INET6, &reinterpret_cast<sockaddr_in6*>(&sa)->sin6_addr, text, sizeof text);
    else if (fd >= 0)
        ::inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(&sa)->sin_addr, text, sizeof text);
    peerAddress = text;
    return fd;
}

int Connect(int port)
{
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sin.sin_port = htons(static_cast<uint16_t>(port));
    if (::connect(fd, reinterpret_cast<sockaddr*>(&sin), sizeof sin) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

long long ReadAll(int fd, std::string* into)
{
    char buf[65536];
    long long total = 0;
    for (;;) {
        ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n == 0)
            return total;
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return -errno;
        }
        total += n;
        if (into)
            into->append(buf, static_cast<size_t>(n));
    }
}

bool SendAll(int fd, const std::string& data)
{
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = ::send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

void ResetClose(int fd)
{
    linger l{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    ::close(fd);
}

void Close(int fd)
{
    ::close(fd);
}

int OpenDescriptorCount()
{
    int n = 0;
    if (DIR* d = ::opendir("/proc/self/fd")) {
        while (::readdir(d))
            ++n;
        ::closedir(d);
    }
    return n;
}

} // namespace peer

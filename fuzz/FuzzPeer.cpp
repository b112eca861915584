#include "FuzzPeer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace fuzzpeer {

int Listen(int& port)
{
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof sin;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&sin), sizeof sin) != 0 || ::listen(fd, 16) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&sin), &len) != 0)
        return -1;
    port = ntohs(sin.sin_port);
    return fd;
}

int Accept(int listenFd)
{
    int fd;
    do
        fd = ::accept(listenFd, nullptr, nullptr);
    while (fd < 0 && errno == EINTR);
    if (fd >= 0)
        NoDelay(fd);
    return fd;
}

int Connect(int port)
{
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sin.sin_port = htons(static_cast<unsigned short>(port));
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&sin), sizeof sin) != 0)
        return -1;
    NoDelay(fd);
    return fd;
}

void NoDelay(int fd)
{
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

bool SendAll(int fd, const char* data, std::size_t size)
{
    while (size > 0) {
        ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

std::string ReadLine(int fd, std::size_t max)
{
    std::string line;
    char c = 0;
    while (line.size() < max && ::recv(fd, &c, 1, 0) == 1) {
        line += c;
        if (c == '\n')
            break;
    }
    return line;
}

std::size_t Drain(int fd)
{
    std::size_t total = 0;
    char buf[4096];
    ssize_t n;
    while ((n = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT)) > 0)
        total += static_cast<std::size_t>(n);
    return total;
}

void Close(int fd)
{
    ::close(fd);
}

} // namespace fuzzpeer

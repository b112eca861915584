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

int Accept(int listenFd)
{
    return ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
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

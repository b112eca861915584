#include "socket_bench_plain.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <thread>
#include <vector>

namespace plain {

void Sink::Start()
{
    listenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(listenFd, reinterpret_cast<sockaddr*>(&sin), sizeof sin);
    ::listen(listenFd, 4);
    socklen_t len = sizeof sin;
    ::getsockname(listenFd, reinterpret_cast<sockaddr*>(&sin), &len);
    port = ntohs(sin.sin_port);
    received = 0;
    thread = new std::thread([this] {
        int fd = ::accept(listenFd, nullptr, nullptr);
        std::vector<char> buf(65536);
        for (;;) {
            ssize_t n = ::recv(fd, buf.data(), buf.size(), 0);
            if (n > 0)
                received += static_cast<std::uint64_t>(n);
            else if (n == 0 || errno != EINTR)
                break;
        }
        ::close(fd);
    });
}

std::uint64_t Sink::Join()
{
    auto* t = static_cast<std::thread*>(thread);
    t->join();
    delete t;
    thread = nullptr;
    ::close(listenFd);
    return received;
}

std::uint64_t BlockingSend(int port, std::uint64_t total, int chunk)
{
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sin.sin_port = htons(static_cast<uint16_t>(port));
    if (::connect(fd, reinterpret_cast<sockaddr*>(&sin), sizeof sin) != 0)
        return 0;
    std::vector<char> buf(static_cast<size_t>(chunk), 'p');
    std::uint64_t sent = 0;
    while (sent < total) {
        size_t want = static_cast<size_t>(std::min<std::uint64_t>(static_cast<std::uint64_t>(chunk), total - sent));
        ssize_t n = ::send(fd, buf.data(), want, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        sent += static_cast<std::uint64_t>(n);
    }
    ::close(fd);
    return sent;
}

double ThreadCpuSeconds()
{
    rusage ru{};
    ::getrusage(RUSAGE_THREAD, &ru);
    return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

double WallSeconds()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

} // namespace plain

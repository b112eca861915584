#include "support/FtpScriptServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <thread>
#include <vector>

namespace {

int ListenLoopback(std::uint16_t& port, int receiveBuffer = 0, int backlog = 5)
{
    int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0)
        throw std::runtime_error("socket failed");
    // Set on the listener, the size is inherited by the accepted socket
    // before the connection's window is agreed.
    if (receiveBuffer > 0)
        ::setsockopt(s, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = 0;
    if (::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(s, backlog) != 0) {
        ::close(s);
        throw std::runtime_error("bind/listen on 127.0.0.1 failed");
    }
    socklen_t len = sizeof a;
    ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    port = ntohs(a.sin_port);
    return s;
}

// Waits until fd is readable, the deadline passes or stop is set.
bool WaitReadable(int fd, int timeoutSeconds, const std::atomic<bool>& stop)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
    for (;;) {
        if (stop)
            return false;
        pollfd p{fd, POLLIN, 0};
        int r = ::poll(&p, 1, 50);
        if (r > 0)
            return true;
        if (r < 0 && errno != EINTR)
            return false;
        if (timeoutSeconds > 0 && std::chrono::steady_clock::now() > deadline)
            return false;
    }
}

void SendAll(int fd, const char* p, size_t n)
{
    while (n > 0 && fd >= 0) {
        ssize_t r = ::send(fd, p, n, MSG_NOSIGNAL);
        if (r < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        p += r;
        n -= static_cast<size_t>(r);
    }
}

void CloseFd(int& fd)
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

} // namespace

std::uint16_t FtpPortFromNumbers(const std::string& text)
{
    unsigned n[6];
    for (size_t start = 0; start < text.size(); ++start) {
        if (!std::isdigit(static_cast<unsigned char>(text[start])))
            continue;
        if (std::sscanf(text.c_str() + start, "%u,%u,%u,%u,%u,%u", &n[0], &n[1], &n[2], &n[3], &n[4], &n[5]) == 6)
            return static_cast<std::uint16_t>(n[4] * 256 + n[5]);
    }
    return 0;
}

FtpScriptSession::FtpScriptSession(FtpScriptServer& server, int control) : server_(server), control_(control) { }

void FtpScriptSession::SetReadTimeout(int seconds)
{
    readTimeout_ = seconds;
}

void FtpScriptSession::Send(const std::string& bytes)
{
    SendAll(control_, bytes.data(), bytes.size());
}

void FtpScriptSession::Reply(const std::string& text)
{
    Send(text + "\r\n");
}

void FtpScriptSession::Record(const std::string& line)
{
    std::lock_guard<std::mutex> lock(server_.mutex_);
    server_.commands_.push_back(line);
}

bool FtpScriptSession::ReadCommand(std::string& line)
{
    for (;;) {
        auto lf = pending_.find('\n');
        if (lf != std::string::npos) {
            line = pending_.substr(0, lf);
            pending_.erase(0, lf + 1);
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            Record(line);
            return true;
        }
        if (control_ < 0 || !WaitReadable(control_, readTimeout_, server_.stopping_))
            return false;
        char buf[4096];
        ssize_t r = ::recv(control_, buf, sizeof buf, 0);
        if (r <= 0)
            return false;
        pending_.append(buf, static_cast<size_t>(r));
    }
}

std::string FtpScriptSession::Answer(const std::string& reply)
{
    std::string line;
    if (!ReadCommand(line))
        return {};
    Reply(reply);
    return line;
}

bool FtpScriptSession::WaitForClose()
{
    for (;;) {
        if (control_ < 0 || !WaitReadable(control_, readTimeout_, server_.stopping_))
            return false;
        char buf[4096];
        ssize_t r = ::recv(control_, buf, sizeof buf, 0);
        if (r == 0)
            return true;
        if (r < 0)
            return errno == ECONNRESET;
        pending_.append(buf, static_cast<size_t>(r));
        // Anything sent meanwhile still counts as a command.
        std::string line;
        while (pending_.find('\n') != std::string::npos)
            ReadCommand(line);
    }
}

void FtpScriptSession::CloseControl()
{
    CloseFd(control_);
}

std::string FtpScriptSession::OpenPassive(int receiveBuffer)
{
    CloseFd(dataListener_);
    std::uint16_t port = 0;
    dataListener_ = ListenLoopback(port, receiveBuffer);
    return "227 Entering Passive Mode (127,0,0,1," + std::to_string(port / 256) + "," + std::to_string(port % 256) +
           ")";
}

std::string FtpScriptSession::OpenStalledPassive()
{
    CloseFd(dataListener_);
    CloseFd(stalledFiller_);
    std::uint16_t port = 0;
    // A backlog of 0 takes one connection; with it queued and never
    // accepted, the system drops every further SYN.
    dataListener_ = ListenLoopback(port, 0, 0);
    stalledFiller_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    if (::connect(stalledFiller_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
        throw std::runtime_error("cannot fill the passive listener's queue");
    return "227 Entering Passive Mode (127,0,0,1," + std::to_string(port / 256) + "," + std::to_string(port % 256) +
           ")";
}

bool FtpScriptSession::AcceptData()
{
    if (dataListener_ < 0 || !WaitReadable(dataListener_, readTimeout_, server_.stopping_))
        return false;
    CloseFd(data_);
    data_ = ::accept4(dataListener_, nullptr, nullptr, SOCK_CLOEXEC);
    CloseFd(dataListener_);
    return data_ >= 0;
}

bool FtpScriptSession::ConnectActive(const std::string& portCommand)
{
    std::uint16_t port = FtpPortFromNumbers(portCommand);
    if (port == 0)
        return false;
    CloseFd(data_);
    data_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    if (::connect(data_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        CloseFd(data_);
        return false;
    }
    return true;
}

std::string FtpScriptSession::ReceiveAllData()
{
    std::string all;
    while (data_ >= 0 && WaitReadable(data_, readTimeout_, server_.stopping_)) {
        char buf[65536];
        ssize_t r = ::recv(data_, buf, sizeof buf, 0);
        if (r <= 0)
            break;
        all.append(buf, static_cast<size_t>(r));
    }
    return all;
}

std::string FtpScriptSession::ReceiveAllDataSlowly(std::int64_t bytesPerSecond, std::atomic<std::int64_t>& received)
{
    // Reads in slices of a tenth of a second's worth and keeps to the
    // rate over the whole transfer.
    std::string all;
    const auto start = std::chrono::steady_clock::now();
    const size_t slice = static_cast<size_t>(std::max<std::int64_t>(bytesPerSecond / 10, 1));
    std::vector<char> buf(slice);
    while (data_ >= 0 && WaitReadable(data_, readTimeout_, server_.stopping_)) {
        ssize_t r = ::recv(data_, buf.data(), buf.size(), 0);
        if (r <= 0)
            break;
        all.append(buf.data(), static_cast<size_t>(r));
        received = static_cast<std::int64_t>(all.size());
        const auto due =
            start + std::chrono::milliseconds(static_cast<std::int64_t>(all.size()) * 1000 / bytesPerSecond);
        std::this_thread::sleep_until(due);
    }
    return all;
}

int FtpScriptSession::ConnectFrom(const std::string& portCommand, const std::string& fromAddress)
{
    std::uint16_t port = FtpPortFromNumbers(portCommand);
    if (port == 0)
        return -1;
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in from{};
    from.sin_family = AF_INET;
    from.sin_addr.s_addr = ::inet_addr(fromAddress.c_str());
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(port);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0 ||
        ::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

std::string FtpScriptSession::ReadToEnd(int fd)
{
    std::string all;
    while (fd >= 0 && WaitReadable(fd, readTimeout_, server_.stopping_)) {
        char buf[65536];
        ssize_t r = ::recv(fd, buf, sizeof buf, 0);
        if (r <= 0)
            break;
        all.append(buf, static_cast<size_t>(r));
    }
    return all;
}

void FtpScriptSession::SendData(const std::string& bytes)
{
    SendAll(data_, bytes.data(), bytes.size());
}

void FtpScriptSession::CloseData(bool /*closeNotify*/)
{
    CloseFd(data_);
}

FtpScriptServer::FtpScriptServer(Script script) : script_(std::move(script))
{
    listener_ = ListenLoopback(port_);
    thread_ = std::thread([this] { Run(); });
}

FtpScriptServer::~FtpScriptServer()
{
    stopping_ = true;
    if (thread_.joinable())
        thread_.join();
    CloseFd(listener_);
}

void FtpScriptServer::Run()
{
    if (!WaitReadable(listener_, 30, stopping_))
        return;
    int control = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (control < 0)
        return;
    FtpScriptSession session(*this, control);
    script_(session);
    CloseFd(session.data_);
    CloseFd(session.dataListener_);
    CloseFd(session.stalledFiller_);
    CloseFd(session.control_);
    finished_ = true;
}

std::vector<std::string> FtpScriptServer::Join()
{
    if (thread_.joinable())
        thread_.join();
    return Commands();
}

std::vector<std::string> FtpScriptServer::Commands() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return commands_;
}

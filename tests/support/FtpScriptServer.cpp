#include "support/FtpScriptServer.h"

#include <arpa/inet.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <thread>
#include <vector>

namespace {

int ListenLoopback(std::uint16_t& port, int receiveBuffer = 0, int backlog = 5, bool ipv6 = false)
{
    if (ipv6) {
        int s = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (s < 0)
            throw std::runtime_error("socket failed");
        int on = 1;
        ::setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
        sockaddr_in6 a{};
        a.sin6_family = AF_INET6;
        a.sin6_addr = in6addr_loopback;
        if (::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(s, backlog) != 0) {
            ::close(s);
            throw std::runtime_error("bind/listen on ::1 failed");
        }
        socklen_t len = sizeof a;
        ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
        port = ntohs(a.sin6_port);
        return s;
    }
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

// Bounds the blocking reads inside OpenSSL (a handshake or a record that
// stops halfway), which the poll before each read cannot.
void SetReceiveTimeout(int fd, int seconds)
{
    timeval t{};
    t.tv_sec = seconds;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &t, sizeof t);
}

// One server context per certificate file: the session cache and the
// ticket keys live in it, so control and data connections made with the
// same context can resume each other's sessions.
SSL_CTX* MakeServerContext(const TlsCertPair& cert)
{
    SSL_CTX* context = SSL_CTX_new(TLS_server_method());
    if (!context)
        return nullptr;
    static const unsigned char sessionContext[] = "parcelo-script";
    if (SSL_CTX_use_certificate_chain_file(context, cert.certFile.c_str()) != 1 ||
        SSL_CTX_use_PrivateKey_file(context, cert.keyFile.c_str(), SSL_FILETYPE_PEM) != 1 ||
        SSL_CTX_set_session_id_context(context, sessionContext, sizeof sessionContext - 1) != 1) {
        SSL_CTX_free(context);
        return nullptr;
    }
    SSL_CTX_set_session_cache_mode(context, SSL_SESS_CACHE_SERVER);
    return context;
}

} // namespace

std::uint16_t FtpPortFromNumbers(const std::string& text)
{
    if (text.rfind("EPRT ", 0) == 0 && text.size() > 6) {
        // The field before the closing delimiter.
        const char d = text[5];
        const std::size_t end = text.rfind(d);
        const std::size_t begin = end == std::string::npos || end == 0 ? std::string::npos : text.rfind(d, end - 1);
        if (begin == std::string::npos || begin < 5)
            return 0;
        return static_cast<std::uint16_t>(std::atoi(text.substr(begin + 1, end - begin - 1).c_str()));
    }
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

FtpScriptSession::~FtpScriptSession()
{
    SSL_free(dataTls_);
    SSL_free(controlTls_);
    SSL_CTX_free(tlsContext_);
}

long FtpScriptSession::ReadSome(int fd, ssl_st* tls, char* buf, std::size_t size)
{
    if (fd < 0)
        return -1;
    // Bytes OpenSSL already holds would not wake the poll.
    if (!(tls && SSL_has_pending(tls)) && !WaitReadable(fd, readTimeout_, server_.stopping_))
        return -1;
    if (!tls)
        return ::recv(fd, buf, size, 0);
    const int r = SSL_read(tls, buf, static_cast<int>(std::min<std::size_t>(size, INT_MAX)));
    if (r > 0)
        return r;
    const int error = SSL_get_error(tls, r);
    ERR_clear_error();
    if (error == SSL_ERROR_ZERO_RETURN) {
        if (tls == dataTls_)
            dataCloseNotify_ = true;
        return 0;
    }
    // A TCP close without close_notify ends the stream too; the caller
    // tells the two apart by DataCloseNotifyReceived.
    if (error == SSL_ERROR_SSL || (error == SSL_ERROR_SYSCALL && errno == 0))
        return 0;
    return -1;
}

void FtpScriptSession::WriteAll(int fd, ssl_st* tls, const char* p, std::size_t n)
{
    if (!tls) {
        SendAll(fd, p, n);
        return;
    }
    while (n > 0 && fd >= 0) {
        const int r = SSL_write(tls, p, static_cast<int>(std::min<std::size_t>(n, INT_MAX)));
        if (r <= 0) {
            ERR_clear_error();
            return;
        }
        p += r;
        n -= static_cast<std::size_t>(r);
    }
}

ssl_st* FtpScriptSession::AcceptTls(int fd, const TlsCertPair& cert)
{
    if (!tlsContext_) {
        tlsContext_ = MakeServerContext(cert);
        if (!tlsContext_)
            throw std::runtime_error("cannot load the TLS certificate " + cert.certFile);
        contextCertFile_ = cert.certFile;
        SSL_CTX_set_client_hello_cb(tlsContext_, ClientHelloSeen, this);
    }
    SSL* tls = SSL_new(tlsContext_);
    if (!tls)
        return nullptr;
    const int tickets = fd == control_ ? controlTickets_ : dataTickets_;
    if (tickets >= 0)
        SSL_set_num_tickets(tls, static_cast<std::size_t>(tickets));
    // Another certificate than the context's: set on this connection alone,
    // so the session cache stays shared.
    if (cert.certFile != contextCertFile_ &&
        (SSL_use_certificate_chain_file(tls, cert.certFile.c_str()) != 1 ||
         SSL_use_PrivateKey_file(tls, cert.keyFile.c_str(), SSL_FILETYPE_PEM) != 1)) {
        SSL_free(tls);
        throw std::runtime_error("cannot load the TLS certificate " + cert.certFile);
    }
    SetReceiveTimeout(fd, readTimeout_);
    SSL_set_fd(tls, fd);
    if (SSL_accept(tls) != 1) {
        ERR_clear_error();
        SSL_free(tls);
        return nullptr;
    }
    return tls;
}

int FtpScriptSession::ClientHelloSeen(ssl_st* tls, int*, void* arg)
{
    auto* session = static_cast<FtpScriptSession*>(arg);
    if (SSL_get_fd(tls) == session->control_)
        return SSL_CLIENT_HELLO_SUCCESS;
    // RFC 8446 4.2.11: identities<7..2^16-1>, each opaque<1..2^16-1> and
    // a 32-bit age; the first identity is the ticket offered.
    std::string identity;
    const unsigned char* ext = nullptr;
    std::size_t len = 0;
    if (SSL_client_hello_get0_ext(tls, 41, &ext, &len) == 1 && len >= 4) {
        const std::size_t n = static_cast<std::size_t>(ext[2]) << 8 | ext[3];
        if (4 + n <= len)
            identity.assign(reinterpret_cast<const char*>(ext + 4), n);
    }
    session->offeredTickets_.push_back(identity);
    return SSL_CLIENT_HELLO_SUCCESS;
}

void FtpScriptSession::SetTicketCounts(int control, int data)
{
    controlTickets_ = control;
    dataTickets_ = data;
}

void FtpScriptSession::ForgetTlsSessions()
{
    if (!tlsContext_)
        return;
    unsigned char keys[80];
    if (RAND_bytes(keys, sizeof keys) == 1)
        SSL_CTX_set_tlsext_ticket_keys(tlsContext_, keys, sizeof keys);
    SSL_CTX_flush_sessions(tlsContext_, LONG_MAX);
}

std::vector<std::string> FtpScriptSession::OfferedTickets() const
{
    return offeredTickets_;
}

void FtpScriptSession::SendRawData(const std::string& bytes)
{
    if (data_ >= 0)
        SendAll(data_, bytes.data(), bytes.size());
}

void FtpScriptSession::SendRawControl(const std::string& bytes)
{
    if (control_ >= 0)
        SendAll(control_, bytes.data(), bytes.size());
}

void FtpScriptSession::CloseTls(ssl_st*& tls, int& fd, bool closeNotify)
{
    if (tls) {
        // One-way: close_notify goes out; the peer's answer is not awaited.
        if (closeNotify && fd >= 0)
            SSL_shutdown(tls);
        ERR_clear_error();
        SSL_free(tls);
        tls = nullptr;
    }
    CloseFd(fd);
}

bool FtpScriptSession::StartTlsControl(const TlsCertPair& cert)
{
    if (control_ < 0 || controlTls_)
        return false;
    if (!pending_.empty()) {
        CloseFd(control_);
        return false;
    }
    controlTls_ = AcceptTls(control_, cert);
    if (!controlTls_)
        CloseFd(control_);
    return controlTls_ != nullptr;
}

void FtpScriptSession::CutHandshake()
{
    char buf[4096];
    if (control_ >= 0 && WaitReadable(control_, readTimeout_, server_.stopping_))
        (void)::recv(control_, buf, sizeof buf, 0);
    CloseFd(control_);
}

void FtpScriptSession::SetDataTls(const TlsCertPair& cert)
{
    dataTlsWanted_ = true;
    dataCert_ = cert;
}

bool FtpScriptSession::StartDataTls()
{
    dataEnds_ = EndsOf(data_);
    dataResumed_ = false;
    dataCloseNotify_ = false;
    if (!dataTlsWanted_ || data_ < 0)
        return data_ >= 0;
    dataTls_ = AcceptTls(data_, dataCert_);
    if (!dataTls_) {
        CloseFd(data_);
        return false;
    }
    dataResumed_ = SSL_session_reused(dataTls_) == 1;
    return true;
}

void FtpScriptSession::SetReadTimeout(int seconds)
{
    readTimeout_ = seconds;
}

void FtpScriptSession::Send(const std::string& bytes)
{
    WriteAll(control_, controlTls_, bytes.data(), bytes.size());
}

void FtpScriptSession::Reply(const std::string& text)
{
    Send(text + "\r\n");
}

void FtpScriptSession::Record(const std::string& line)
{
    std::lock_guard<std::mutex> lock(server_.mutex_);
    server_.commands_.push_back(line);
    if (!server_.sessionCommands_.empty())
        server_.sessionCommands_.back().push_back(line);
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
        char buf[4096];
        long r = ReadSome(control_, controlTls_, buf, sizeof buf);
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
        if (control_ < 0)
            return false;
        errno = 0;
        char buf[4096];
        long r = ReadSome(control_, controlTls_, buf, sizeof buf);
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

void FtpScriptSession::CloseControl(bool closeNotify)
{
    CloseTls(controlTls_, control_, closeNotify);
}

std::string FtpScriptSession::OpenPassive(int receiveBuffer)
{
    CloseFd(dataListener_);
    std::uint16_t port = 0;
    dataListener_ = ListenLoopback(port, receiveBuffer);
    return "227 Entering Passive Mode (127,0,0,1," + std::to_string(port / 256) + "," + std::to_string(port % 256) +
           ")";
}

std::string FtpScriptSession::OpenExtendedPassive()
{
    CloseFd(dataListener_);
    std::uint16_t port = 0;
    dataListener_ = ListenLoopback(port, 0, 5, server_.family_ == FtpScriptServer::Family::IPv6);
    return "229 Entering Extended Passive Mode (|||" + std::to_string(port) + "|)";
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
    CloseData(false);
    data_ = ::accept4(dataListener_, nullptr, nullptr, SOCK_CLOEXEC);
    CloseFd(dataListener_);
    return StartDataTls();
}

namespace {

// The address an active-mode command names: 127.0.0.1 for PORT, the text
// of EPRT's address field for EPRT; false when it is no loopback address.
bool ActiveTarget(const std::string& command, std::uint16_t port, sockaddr_storage& to, socklen_t& len)
{
    to = sockaddr_storage{};
    if (command.rfind("EPRT ", 0) == 0) {
        // EPRT |2|::1|port| (the delimiter is the first character).
        const std::string rest = command.substr(5);
        if (rest.size() < 4)
            return false;
        const char d = rest[0];
        const std::size_t a = rest.find(d, 1);
        const std::size_t b = a == std::string::npos ? a : rest.find(d, a + 1);
        if (b == std::string::npos)
            return false;
        const std::string address = rest.substr(a + 1, b - a - 1);
        auto* sin6 = reinterpret_cast<sockaddr_in6*>(&to);
        if (::inet_pton(AF_INET6, address.c_str(), &sin6->sin6_addr) == 1 && IN6_IS_ADDR_LOOPBACK(&sin6->sin6_addr)) {
            sin6->sin6_family = AF_INET6;
            sin6->sin6_port = htons(port);
            len = sizeof *sin6;
            return true;
        }
        auto* sin = reinterpret_cast<sockaddr_in*>(&to);
        if (::inet_pton(AF_INET, address.c_str(), &sin->sin_addr) == 1 &&
            sin->sin_addr.s_addr == htonl(INADDR_LOOPBACK)) {
            sin->sin_family = AF_INET;
            sin->sin_port = htons(port);
            len = sizeof *sin;
            return true;
        }
        return false;
    }
    auto* sin = reinterpret_cast<sockaddr_in*>(&to);
    sin->sin_family = AF_INET;
    sin->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sin->sin_port = htons(port);
    len = sizeof *sin;
    return true;
}

} // namespace

bool FtpScriptSession::ConnectActive(const std::string& portCommand)
{
    std::uint16_t port = FtpPortFromNumbers(portCommand);
    sockaddr_storage to;
    socklen_t len = 0;
    if (port == 0 || !ActiveTarget(portCommand, port, to, len))
        return false;
    CloseData(false);
    data_ = ::socket(to.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (::connect(data_, reinterpret_cast<sockaddr*>(&to), len) != 0) {
        CloseFd(data_);
        return false;
    }
    // RFC 4217: the FTP server is the TLS server whichever side connected.
    return StartDataTls();
}

std::string FtpScriptSession::ReceiveAllData()
{
    std::string all;
    for (;;) {
        char buf[65536];
        long r = ReadSome(data_, dataTls_, buf, sizeof buf);
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
    for (;;) {
        long r = ReadSome(data_, dataTls_, buf.data(), buf.size());
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
    sockaddr_storage from{};
    socklen_t fromLen = 0;
    sockaddr_storage to{};
    socklen_t toLen = 0;
    auto* from4 = reinterpret_cast<sockaddr_in*>(&from);
    auto* from6 = reinterpret_cast<sockaddr_in6*>(&from);
    if (::inet_pton(AF_INET, fromAddress.c_str(), &from4->sin_addr) == 1) {
        from4->sin_family = AF_INET;
        fromLen = sizeof *from4;
        ActiveTarget("PORT", port, to, toLen);
    } else if (::inet_pton(AF_INET6, fromAddress.c_str(), &from6->sin6_addr) == 1) {
        from6->sin6_family = AF_INET6;
        fromLen = sizeof *from6;
        if (!ActiveTarget(portCommand, port, to, toLen) || to.ss_family != AF_INET6)
            return -1;
    } else {
        return -1;
    }
    int fd = ::socket(from.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&from), fromLen) != 0 ||
        ::connect(fd, reinterpret_cast<sockaddr*>(&to), toLen) != 0) {
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

FtpScriptSession::Ends FtpScriptSession::EndsOf(int fd)
{
    Ends ends;
    if (fd < 0)
        return ends;
    ends.localLength = sizeof ends.local;
    ends.peerLength = sizeof ends.peer;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&ends.local), &ends.localLength) != 0 ||
        ::getpeername(fd, reinterpret_cast<sockaddr*>(&ends.peer), &ends.peerLength) != 0)
        return Ends{};
    return ends;
}

int FtpScriptSession::ClientEnd(const Ends& ends)
{
    if (ends.localLength == 0)
        return -1;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd", ec)) {
        const int fd = std::atoi(entry.path().filename().c_str());
        struct stat st { };
        if (::fstat(fd, &st) != 0 || !S_ISSOCK(st.st_mode))
            continue;
        // The client's end has our ends the other way round.
        const Ends other = EndsOf(fd);
        if (other.localLength == ends.peerLength && other.peerLength == ends.localLength &&
            std::memcmp(&other.local, &ends.peer, ends.peerLength) == 0 &&
            std::memcmp(&other.peer, &ends.local, ends.localLength) == 0)
            return fd;
    }
    return -1;
}

bool FtpScriptSession::WaitFor(const std::function<bool()>& done)
{
    // The client's state shows only in its sockets and the test's flags:
    // look again every millisecond until it is there.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(readTimeout_);
    while (!done()) {
        if (server_.stopping_ || (readTimeout_ > 0 && std::chrono::steady_clock::now() > deadline))
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

bool FtpScriptSession::WaitUntilClientRead()
{
    const Ends control = EndsOf(control_);
    return WaitFor([&] {
        // Nothing waits in our send queue, so all of it reached the
        // client's socket; and nothing waits there unread.
        int unsent = 0, unread = 0;
        const int client = ClientEnd(control);
        return client >= 0 && ::ioctl(control_, SIOCOUTQ, &unsent) == 0 && unsent == 0 &&
               ::ioctl(client, FIONREAD, &unread) == 0 && unread == 0;
    });
}

bool FtpScriptSession::WaitUntilClientClosedData()
{
    return WaitFor([&] { return ClientEnd(dataEnds_) < 0; });
}

std::string FtpScriptSession::ReceiveSomeData()
{
    char buf[65536];
    long r = ReadSome(data_, dataTls_, buf, sizeof buf);
    return r > 0 ? std::string(buf, static_cast<size_t>(r)) : std::string();
}

void FtpScriptSession::SendData(const std::string& bytes)
{
    WriteAll(data_, dataTls_, bytes.data(), bytes.size());
}

void FtpScriptSession::CloseData(bool closeNotify)
{
    CloseTls(dataTls_, data_, closeNotify);
}

FtpScriptServer::FtpScriptServer(Script script, Family family)
    : FtpScriptServer(std::vector<Script>{std::move(script)}, family)
{ }

FtpScriptServer::FtpScriptServer(std::vector<Script> scripts, Family family)
    : scripts_(std::move(scripts)), family_(family)
{
    listener_ = ListenLoopback(port_, 0, 5, family_ == Family::IPv6);
    thread_ = std::thread([this] { Run(); });
}

FtpScriptServer::~FtpScriptServer()
{
    Stop();
    CloseFd(listener_);
}

void FtpScriptServer::Stop()
{
    stopping_ = true;
    if (thread_.joinable())
        thread_.join();
}

void FtpScriptServer::Run()
{
    // OpenSSL writes with plain write(): a client that closed must cost
    // this thread an EPIPE, not the whole test program a SIGPIPE.
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
    for (const Script& script : scripts_) {
        if (!WaitReadable(listener_, 30, stopping_))
            return;
        int control = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (control < 0)
            return;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            sessionCommands_.emplace_back();
        }
        FtpScriptSession session(*this, control);
        script(session);
        session.CloseData(false);
        CloseFd(session.dataListener_);
        CloseFd(session.stalledFiller_);
        session.CloseControl(false);
    }
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

std::vector<std::string> FtpScriptServer::SessionCommands(std::size_t index) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return index < sessionCommands_.size() ? sessionCommands_[index] : std::vector<std::string>{};
}

void LogIn(FtpScriptSession& s, const std::string& greeting)
{
    s.Reply(greeting);
    s.Answer("331 Password required");
    s.Answer("230 Logged in");
}

// parcelo-askpass: started by ssh (SSH_ASKPASS) with a question as its
// argument; asks the Parcelo that started ssh over its private socket and
// prints the answer for ssh. It never answers by itself: no Parcelo, no
// answer (exit 1). See sftp/SftpAskpass.h for the exchange.
//
//   parcelo-askpass PROMPT
//
// It never reads its standard input (ssh's, which carries the SFTP stream).
#include "sftp/SftpAskpass.h"

#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

bool WriteAll(int fd, const char* data, std::size_t size)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

// Overwrites a string's bytes before it is freed (the answer may be a
// password).
void Wipe(std::string& s)
{
    volatile char* p = s.data();
    for (std::size_t i = 0; i < s.size(); ++i)
        p[i] = 0;
    s.clear();
}

int Fail(const char* why)
{
    std::fprintf(stderr, "parcelo-askpass: %s\n", why);
    return 1;
}

} // namespace

int main(int argc, char** argv)
{
    ::signal(SIGPIPE, SIG_IGN);
    const char* path = std::getenv(sftp_askpass::SocketVariable);
    const char* token = std::getenv(sftp_askpass::TokenVariable);
    if (!path || !*path || !token || !*token)
        return Fail("not started by Parcelo (no channel to ask on)");
    const char* hint = std::getenv("SSH_ASKPASS_PROMPT");
    const std::string prompt = argc > 1 ? argv[1] : "";

    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (std::strlen(path) >= sizeof addr.sun_path)
        return Fail("the channel's path is too long");
    std::strcpy(addr.sun_path, path);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return Fail("cannot make a socket");
    int rc;
    do
        rc = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    while (rc != 0 && errno == EINTR);
    if (rc != 0)
        return Fail("Parcelo is not listening");

    std::string request = sftp_askpass::Greeting;
    request += token;
    request += '\n';
    request += hint ? hint : "";
    request += '\n';
    request += prompt;
    if (request.size() > sftp_askpass::MaxRequest)
        return Fail("the question is too long");
    if (!WriteAll(fd, request.data(), request.size()))
        return Fail("cannot send the question");
    ::shutdown(fd, SHUT_WR);

    // The answer, up to the end: 'Y' and the text, or 'N'. It may take as
    // long as the user takes to decide.
    std::string reply;
    reply.reserve(sftp_askpass::MaxRequest + 2 * 1024); // never moved: wiped in place
    char buf[1024];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        reply.append(buf, static_cast<std::size_t>(n));
        if (reply.size() > sftp_askpass::MaxRequest)
            break;
    }
    std::memset(buf, 0, sizeof buf);
    ::close(fd);
    if (reply.empty() || reply[0] != 'Y' || reply.size() > sftp_askpass::MaxRequest) {
        Wipe(reply);
        return 1;
    }
    reply.erase(0, 1);
    reply.push_back('\n');
    const bool written = WriteAll(STDOUT_FILENO, reply.data(), reply.size());
    Wipe(reply);
    return written ? 0 : 1;
}

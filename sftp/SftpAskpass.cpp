#include "sftp/SftpAskpass.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>

namespace {

std::string Lower(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    for (char c : text)
        out.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
    return out;
}

bool Has(const std::string& text, const char* what)
{
    return text.find(what) != std::string::npos;
}

// The word just before position `at` on its line.
std::string WordBefore(const std::string& text, std::size_t at)
{
    std::size_t end = at;
    while (end > 0 && text[end - 1] == ' ')
        --end;
    std::size_t begin = end;
    while (begin > 0 && !std::isspace(static_cast<unsigned char>(text[begin - 1])))
        --begin;
    return text.substr(begin, end - begin);
}

// The fingerprint that starts at `at`: up to a blank, a line end or the
// full stop ssh puts after it (base64 holds no '.').
std::string FingerprintAt(const std::string& text, std::size_t at)
{
    while (at < text.size() && (text[at] == ' ' || text[at] == '\n' || text[at] == '\r'))
        ++at;
    std::size_t end = at;
    while (end < text.size() && !std::isspace(static_cast<unsigned char>(text[end])) && text[end] != '.')
        ++end;
    return text.substr(at, end - at);
}

} // namespace

TSftpPromptKind SftpClassifyPrompt(const std::string& prompt, const std::string& hint)
{
    if (hint == "confirm")
        return TSftpPromptKind::Other;
    const std::string lower = Lower(prompt);
    // ssh's own question opens with these words; a server's keyboard-
    // interactive prompt cannot (ssh puts "(user@host) " before it).
    if (lower.rfind("the authenticity of host", 0) == 0 && Has(lower, " key fingerprint is ") &&
        Has(lower, "continue connecting"))
        return TSftpPromptKind::HostKey;
    // A key's passphrase, a security key's PIN, a password change: never
    // answered with the log-in password.
    if (Has(lower, "passphrase") || Has(lower, "enter pin") || Has(lower, " pin for") || Has(lower, "new password") ||
        Has(lower, "retype") || Has(lower, "again"))
        return TSftpPromptKind::Other;
    if (Has(lower, "password"))
        return TSftpPromptKind::Password;
    return TSftpPromptKind::Other;
}

bool SftpParseHostKeyPrompt(const std::string& prompt, std::string& keyType, std::string& fingerprint)
{
    static const std::string marker = " key fingerprint is ";
    const std::size_t at = prompt.find(marker);
    if (at == std::string::npos)
        return false;
    keyType = WordBefore(prompt, at);
    fingerprint = FingerprintAt(prompt, at + marker.size());
    return !keyType.empty() && fingerprint.size() > 7 && fingerprint.compare(0, 7, "SHA256:") == 0;
}

TSftpChangedHostKey SftpParseChangedHostKey(const std::string& text)
{
    TSftpChangedHostKey out;
    if (!Has(text, "REMOTE HOST IDENTIFICATION HAS CHANGED"))
        return out;
    out.changed = true;
    // "The fingerprint for the ED25519 key sent by the remote host is\nSHA256:...."
    static const std::string sent = " key sent by the remote host is";
    if (const std::size_t at = text.find(sent); at != std::string::npos) {
        out.keyType = WordBefore(text, at);
        out.fingerprint = FingerprintAt(text, at + sent.size());
    }
    // "Offending ED25519 key in /home/u/.config/parcelo/known_hosts:3"
    static const std::string offending = "Offending ";
    for (std::size_t at = text.find(offending); at != std::string::npos; at = text.find(offending, at + 1)) {
        const std::size_t lineEnd = std::min(text.find('\n', at), text.size());
        const std::string line = text.substr(at, lineEnd - at);
        const std::size_t in = line.find(" key in ");
        if (in == std::string::npos || Has(line, "for IP"))
            continue;
        std::string where = line.substr(in + 8);
        while (!where.empty() && (where.back() == '\r' || where.back() == ' '))
            where.pop_back();
        const std::size_t colon = where.rfind(':');
        if (colon != std::string::npos && colon + 1 < where.size() &&
            where.find_first_not_of("0123456789", colon + 1) == std::string::npos) {
            out.file = where.substr(0, colon);
            out.line = where.substr(colon + 1);
        } else {
            out.file = where;
        }
        break;
    }
    return out;
}

namespace sftp_askpass {

int Listen(const std::string& path)
{
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) {
        errno = ENAMETOOLONG;
        return -1;
    }
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::chmod(path.c_str(), 0600) != 0 ||
        ::listen(fd, 4) != 0) {
        const int err = errno;
        ::close(fd);
        errno = err;
        return -1;
    }
    return fd;
}

int Accept(int listenFd, int& peerPid, unsigned& peerUid)
{
    int fd;
    do
        fd = ::accept4(listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return -1;
    ucred cred{};
    socklen_t len = sizeof cred;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0) {
        cred.pid = -1;
        cred.uid = static_cast<uid_t>(-1);
    }
    peerPid = cred.pid;
    peerUid = cred.uid;
    return fd;
}

bool SendReply(int fd, const std::string& reply)
{
    return ::send(fd, reply.data(), reply.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(reply.size());
}

} // namespace sftp_askpass

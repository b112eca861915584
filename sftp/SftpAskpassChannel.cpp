// The client's end of the askpass channel: a listening local socket in a
// fresh folder only this user can open, watched by the reactor; each
// question from the helper is read without blocking, checked (who sent it,
// the token), answered and closed.
#include "sftp/SftpAskpass.h"
#include "sftp/SftpClient.h"

#include <limits.h>
#include <stdlib.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace {

constexpr UINT WM_SFTP_ASK = WM_USER + 62; // wParam: the descriptor

std::string RealPath(const std::string& path)
{
    char buf[PATH_MAX];
    if (!::realpath(path.c_str(), buf))
        return {};
    return buf;
}

bool Executable(const std::string& path)
{
    struct stat st { };
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

// A folder of this user's that nobody else can enter: $XDG_RUNTIME_DIR
// when it is one, else $TMPDIR or /tmp (mkdtemp makes the folder 0700).
std::string RuntimeBase()
{
    const char* xdg = std::getenv("XDG_RUNTIME_DIR");
    struct stat st { };
    if (xdg && *xdg == '/' && ::stat(xdg, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() &&
        (st.st_mode & 077) == 0)
        return xdg;
    const char* tmp = std::getenv("TMPDIR");
    if (tmp && *tmp == '/' && std::strlen(tmp) < 64)
        return tmp;
    return "/tmp";
}

std::string RandomToken()
{
    unsigned char bytes[16];
    std::size_t got = 0;
    while (got < sizeof bytes) {
        const ssize_t n = ::getrandom(bytes + got, sizeof bytes - got, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return {};
        got += static_cast<std::size_t>(n);
    }
    static const char hex[] = "0123456789abcdef";
    std::string out;
    for (unsigned char b : bytes) {
        out.push_back(hex[b >> 4]);
        out.push_back(hex[b & 15]);
    }
    return out;
}

// The parent of a process, from /proc/PID/stat (the field after the
// state, which follows the last ')'); -1 when it cannot be read.
pid_t ParentOf(pid_t pid)
{
    std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    const std::size_t close = text.rfind(')');
    if (close == std::string::npos)
        return -1;
    std::istringstream rest(text.substr(close + 1));
    std::string state;
    long ppid = -1;
    if (!(rest >> state >> ppid))
        return -1;
    return static_cast<pid_t>(ppid);
}

bool SameText(const std::string& a, const std::string& b)
{
    // Compares every byte, whatever differs first.
    if (a.size() != b.size())
        return false;
    unsigned char diff = 0;
    for (std::size_t i = 0; i < a.size(); ++i)
        diff |= static_cast<unsigned char>(a[i] ^ b[i]);
    return diff == 0;
}

void Wipe(std::string& s)
{
    volatile char* p = s.data();
    for (std::size_t i = 0; i < s.size(); ++i)
        p[i] = 0;
    s.clear();
}

std::string FirstLine(const std::string& text)
{
    std::string line = text.substr(0, text.find('\n'));
    while (!line.empty() && (line.back() == ' ' || line.back() == '\r'))
        line.pop_back();
    return line;
}

} // namespace

std::string SftpFindAskpassProgram()
{
    const std::string self = RealPath("/proc/self/exe");
    if (self.empty())
        return {};
    const std::string dir = self.substr(0, self.rfind('/'));
    for (const std::string& candidate :
         {dir + "/" + sftp_askpass::ProgramName, dir + "/../lib/parcelo/" + sftp_askpass::ProgramName})
        if (Executable(candidate))
            return RealPath(candidate);
    return {};
}

void TCustomSftpCli::OpenAskChannel(const std::string& helper)
{
    CloseAskChannel();
    FAskHelper = RealPath(helper);
    FAskToken = RandomToken();
    if (FAskHelper.empty() || FAskToken.empty())
        throw SftpException("Cannot set up the password channel: no helper program or no random token");
    std::string pattern = RuntimeBase() + "/parcelo-askpass.XXXXXX";
    if (!::mkdtemp(pattern.data()))
        throw SftpException("Cannot set up the password channel: cannot make a private folder: " +
                            std::string(std::strerror(errno)));
    FAskDir = pattern;
    FAskPath = FAskDir + "/socket";
    FAskListen = sftp_askpass::Listen(FAskPath);
    const int err = errno;
    if (FAskListen < 0 || !WatchDescriptor(FAskListen, FHandle, WM_SFTP_ASK, DW_READ)) {
        CloseAskChannel();
        throw SftpException("Cannot set up the password channel: " + std::string(std::strerror(err)));
    }
}

void TCustomSftpCli::CloseAskChannel()
{
    ++FAskGeneration;
    for (AskPeer& p : FAskPeers) {
        UnwatchDescriptor(p.fd);
        ::close(p.fd);
        Wipe(p.request);
    }
    FAskPeers.clear();
    if (FAskListen >= 0) {
        UnwatchDescriptor(FAskListen);
        ::close(FAskListen);
        FAskListen = -1;
    }
    if (!FAskPath.empty())
        ::unlink(FAskPath.c_str());
    if (!FAskDir.empty())
        ::rmdir(FAskDir.c_str());
    FAskPath.clear();
    FAskDir.clear();
    FAskToken.clear();
}

bool TCustomSftpCli::AskPeerAllowed(int pid, unsigned uid, std::string& why) const
{
    if (pid <= 0) {
        why = "no peer credentials";
        return false;
    }
    if (uid != ::geteuid()) {
        why = "from another user (uid " + std::to_string(uid) + ")";
        return false;
    }
    // Only the helper that this connection's ssh started may ask.
    if (FPid <= 0 || ParentOf(pid) != FPid) {
        why = "process " + std::to_string(pid) + " was not started by this connection's ssh";
        return false;
    }
    if (RealPath("/proc/" + std::to_string(pid) + "/exe") != FAskHelper) {
        why = "process " + std::to_string(pid) + " is not the helper program";
        return false;
    }
    return true;
}

void TCustomSftpCli::AcceptAsk()
{
    for (;;) {
        int pid = -1;
        unsigned uid = 0;
        const int fd = sftp_askpass::Accept(FAskListen, pid, uid);
        if (fd < 0)
            break;
        std::string why;
        if (!AskPeerAllowed(pid, uid, why)) {
            Display("! refused a question on the password channel: " + why);
            ::close(fd);
            continue;
        }
        FAskPeers.push_back(AskPeer{fd, {}});
        WatchDescriptor(fd, FHandle, WM_SFTP_ASK, DW_READ);
    }
    if (FAskListen >= 0)
        WatchDescriptor(FAskListen, FHandle, WM_SFTP_ASK, DW_READ);
}

void TCustomSftpCli::ReadAsk(int fd)
{
    auto it = std::find_if(FAskPeers.begin(), FAskPeers.end(), [&](const AskPeer& p) { return p.fd == fd; });
    if (it == FAskPeers.end())
        return;
    char buf[2048];
    bool ended = false, broken = false;
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n > 0) {
            it->request.append(buf, static_cast<std::size_t>(n));
            if (it->request.size() > sftp_askpass::MaxRequest) {
                broken = true;
                break;
            }
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        ended = n == 0;
        broken = n < 0 && errno != EAGAIN;
        break;
    }
    if (!ended && !broken) {
        WatchDescriptor(fd, FHandle, WM_SFTP_ASK, DW_READ);
        return;
    }
    // The whole question is here: the peer leaves the list, and this call
    // owns its descriptor from now on.
    std::string request = std::move(it->request);
    FAskPeers.erase(it);
    UnwatchDescriptor(fd);
    if (broken) {
        ::close(fd);
        return;
    }
    // Greeting, token, hint, then the prompt to the end.
    const std::string greeting = sftp_askpass::Greeting;
    const std::size_t tokenEnd = request.find('\n', greeting.size());
    const std::size_t hintEnd = tokenEnd == std::string::npos ? tokenEnd : request.find('\n', tokenEnd + 1);
    if (request.compare(0, greeting.size(), greeting) != 0 || hintEnd == std::string::npos ||
        !SameText(request.substr(greeting.size(), tokenEnd - greeting.size()), FAskToken)) {
        Display("! refused a question on the password channel: not this connection's helper");
        ::close(fd);
        return;
    }
    HandleAsk(fd, request.substr(tokenEnd + 1, hintEnd - tokenEnd - 1), request.substr(hintEnd + 1));
}

void TCustomSftpCli::AnswerAsk(int fd, bool yes, std::string answer)
{
    std::string reply = yes ? "Y" + answer : "N";
    // A few bytes into an empty socket buffer: they fit at once.
    sftp_askpass::SendReply(fd, reply);
    Wipe(reply);
    Wipe(answer);
    ::close(fd);
}

void TCustomSftpCli::HandleAsk(int fd, const std::string& hint, const std::string& prompt)
{
    TSftpPromptKind kind = SftpClassifyPrompt(prompt, hint);
    // ssh asks about the host key once, before any log-in: the same words
    // later come from the server (a keyboard-interactive prompt), not ssh.
    if (kind == TSftpPromptKind::HostKey && (FHostKeyAsked || FPasswordGiven))
        kind = TSftpPromptKind::Other;
    switch (kind) {
    case TSftpPromptKind::HostKey:
        FHostKeyAsked = true;
        AskHostKey(fd, prompt);
        return;
    case TSftpPromptKind::Password:
        if (!Password.empty() && !FPasswordGiven) {
            FPasswordGiven = true;
            Display("> password (given to ssh, not shown)");
            AnswerAsk(fd, true, Password);
            return;
        }
        // Once the helper ends without an answer, ssh sends an empty
        // password (a failed try in the server's log). ssh is ended first
        // (the signal is on its way before kill() returns), then the
        // helper is let go.
        Abandon(FPasswordGiven
                    ? "Cannot log in: the password was not accepted (ssh asked again: \"" + FirstLine(prompt) + "\")"
                    : "Cannot log in: the server asks for a password (\"" + FirstLine(prompt) +
                          "\") and none was given");
        AnswerAsk(fd, false, {});
        return;
    case TSftpPromptKind::Other:
        Display("ssh: \"" + FirstLine(prompt) + "\": not answered");
        AnswerAsk(fd, false, {});
        return;
    }
}

void TCustomSftpCli::AskHostKey(int fd, const std::string& prompt)
{
    std::string keyType, fingerprint;
    if (!SftpParseHostKeyPrompt(prompt, keyType, fingerprint)) {
        Display("ssh: an unknown host key, but no fingerprint to show: refused");
        FRefusedKey = "(unreadable)";
        AnswerAsk(fd, true, "no");
        return;
    }
    TSftpHostKeyQuestion question;
    question.host = Host;
    question.port = Port;
    question.keyType = keyType;
    question.fingerprint = fingerprint;
    std::vector<std::string> files = KnownHostsFiles;
    question.knownHostsFile = files.empty() ? SftpDefaultKnownHostsFile() : files.front();
    Display("ssh: the host key of " + Host + " is not known: " + keyType + " " + fingerprint);
    bool trust = false;
    if (OnHostKeyQuestion) {
        auto alive = Alive();
        const unsigned generation = FAskGeneration;
        OnHostKeyQuestion(this, question, trust);
        if (!alive) {
            ::close(fd);
            return;
        }
        // The handler may have run the message loop, and the session ended
        // meanwhile (ssh gave up, a quit): nobody is left to answer.
        if (generation != FAskGeneration || FPhase != Phase::Starting) {
            ::close(fd);
            return;
        }
        // Deciding took the user's time, not the server's.
        if (!DoProgress(false) || !alive) {
            ::close(fd);
            return;
        }
    }
    if (trust) {
        Display("> host key accepted: " + keyType + " " + fingerprint + ", recorded in " + question.knownHostsFile);
        // The fingerprint as the answer: ssh goes on only if it is the very
        // key it shows.
        AnswerAsk(fd, true, fingerprint);
    } else {
        Display("> host key refused");
        FRefusedKey = keyType + " " + fingerprint;
        AnswerAsk(fd, true, "no");
    }
}

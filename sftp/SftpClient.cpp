#include "sftp/SftpClient.h"

#include "sftp/SftpAskpass.h"

#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>

using namespace sftp;

namespace {

constexpr UINT WM_SFTP_PIPE = WM_USER + 60; // wParam: the descriptor
constexpr UINT WM_SFTP_DONE = WM_USER + 61; // wParam: the request, lParam: 1 ok
constexpr UINT WM_SFTP_ASK = WM_USER + 62;  // wParam: a descriptor of the askpass channel
constexpr UINT_PTR ReapTimer = 1;
constexpr UINT ReapIntervalMs = 10;
constexpr DWORD KillAfterMs = 2000;

// Each WRITE carries 32 KiB of data, within the packet size every server
// must take (34,000 bytes); up to 64 of them go unanswered, 2 MiB in flight.
constexpr std::size_t WriteChunk = 32 * 1024;
constexpr std::size_t MaxOutstandingWrites = 64;

constexpr std::size_t ReadPiece = 64 * 1024;

std::string ErrnoText(int err)
{
    return std::strerror(err);
}

// The OS's "no space" and "quota" conditions reach a version 3 client
// only as the text of a failure; it is the one place they show.
bool SaysNoSpace(const std::string& text)
{
    std::string lower;
    for (char c : text)
        lower.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
    return lower.find("space") != std::string::npos || lower.find("quota") != std::string::npos;
}

// Quotes a file name for a list inside one ssh option value.
std::string QuoteForSsh(const std::string& path)
{
    std::string out = "\"";
    for (char c : path) {
        if (c == '"' || c == '\\')
            out.push_back('\\');
        out.push_back(c);
    }
    out.push_back('"');
    return out;
}

std::string HomeDir()
{
    // ssh reads ~ from the password database: so do we, to name the same file.
    if (passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir)
        return pw->pw_dir;
    const char* home = std::getenv("HOME");
    return home ? home : "";
}

// Makes the folders of path's parent that are missing (0700: known-hosts
// files are the user's own business).
void MakeParentFolders(const std::string& path)
{
    for (std::size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1))
        ::mkdir(path.substr(0, slash).c_str(), 0700);
}

// Writes without ever raising SIGPIPE in this program: a gone ssh shows as
// EPIPE. The signal is held for the call and a pending one taken away.
ssize_t WriteNoSignal(int fd, const char* data, std::size_t size)
{
    sigset_t pipeSet, old;
    sigemptyset(&pipeSet);
    sigaddset(&pipeSet, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeSet, &old);
    ssize_t n = ::write(fd, data, size);
    const int err = errno;
    if (n < 0 && err == EPIPE && !sigismember(&old, SIGPIPE)) {
        sigset_t pending;
        sigpending(&pending);
        if (sigismember(&pending, SIGPIPE)) {
            timespec zero{};
            sigtimedwait(&pipeSet, nullptr, &zero);
        }
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    errno = err;
    return n;
}

} // namespace

const char* ToString(TSftpRequest request)
{
    switch (request) {
    case TSftpRequest::None: return "none";
    case TSftpRequest::Connect: return "connect";
    case TSftpRequest::ChangeDir: return "change directory";
    case TSftpRequest::MakeDir: return "make directory";
    case TSftpRequest::ListDirs: return "list directories";
    case TSftpRequest::Store: return "store";
    case TSftpRequest::Quit: return "quit";
    case TSftpRequest::Stat: return "stat";
    case TSftpRequest::Rename: return "rename";
    case TSftpRequest::Remove: return "remove";
    case TSftpRequest::SetTimes: return "set times";
    }
    return "?";
}

bool SftpArgumentAllowed(const std::string& text)
{
    if (text.empty() || text[0] == '-')
        return false;
    for (unsigned char c : text)
        if (c <= ' ' || c == 0x7f)
            return false;
    return true;
}

std::string SftpDefaultKnownHostsFile()
{
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    std::string base = (xdg && *xdg == '/') ? std::string(xdg) : HomeDir() + "/.config";
    return base + "/parcelo/known_hosts";
}

TCustomSftpCli::TCustomSftpCli(TComponent* AOwner) : TComponent(AOwner)
{
    FHandle = AllocateHWnd([this](HWND, UINT msg, WPARAM wParam, LPARAM lParam) -> LRESULT {
        WndProc(msg, wParam, lParam);
        return 0;
    });
}

TCustomSftpCli::~TCustomSftpCli()
{
    Destroying();
    FLifeline.End();
    ClosePipes();
    CloseLocal();
    ReapNow();
    DestroyWindow(FHandle);
}

// ---- plumbing ----------------------------------------------------------------

void TCustomSftpCli::Check(TSftpRequest request)
{
    if (Busy())
        throw SftpException(std::string("SFTP component busy: cannot start ") + ToString(request));
    if (request != TSftpRequest::Connect && request != TSftpRequest::Quit && FPhase != Phase::Open)
        throw SftpException(std::string("SFTP component not connected: cannot start ") + ToString(request));
    FRequest = request;
    FFailed = false;
    FErrorMessage.clear();
    FErrorCode = 0;
    FStep = 0;
}

std::string TCustomSftpCli::Resolve(const std::string& name) const
{
    if (name.empty())
        return FCurrentDir;
    if (name[0] == '/')
        return name;
    if (!FCurrentDir.empty() && FCurrentDir.back() == '/')
        return FCurrentDir + name;
    return FCurrentDir + "/" + name;
}

void TCustomSftpCli::Display(const std::string& line)
{
    if (OnDisplay)
        OnDisplay(line);
}

bool TCustomSftpCli::DoProgress(bool countMoved)
{
    if (countMoved && OnProgress) {
        auto alive = Alive();
        OnProgress(FAcked);
        return static_cast<bool>(alive);
    }
    return true;
}

std::uint32_t TCustomSftpCli::Send(std::uint8_t what, const std::string& packet, std::uint64_t bytes)
{
    // The packet was built with the id NextId() handed out last.
    const std::uint32_t id = FNextId - 1;
    FPending.push_back(Pending{id, what, bytes});
    FSendBuf += packet;
    return id;
}

void TCustomSftpCli::Flush()
{
    while (FIn >= 0 && FSendPos < FSendBuf.size()) {
        ssize_t n = WriteNoSignal(FIn, FSendBuf.data() + FSendPos, FSendBuf.size() - FSendPos);
        if (n > 0) {
            FSendPos += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EAGAIN) {
            // What was written goes once it is half the buffer, so that a
            // store's megabytes in flight are not moved up at every full pipe.
            if (FSendPos >= FSendBuf.size() / 2) {
                FSendBuf.erase(0, FSendPos);
                FSendPos = 0;
            }
            WatchDescriptor(FIn, FHandle, WM_SFTP_PIPE, DW_WRITE);
            return;
        }
        Lost(n < 0 ? ErrnoText(errno) : "ssh took no data");
        return;
    }
    FSendBuf.clear();
    FSendPos = 0;
}

void TCustomSftpCli::Finish(bool ok)
{
    const TSftpRequest request = FRequest;
    if (request == TSftpRequest::None)
        return;
    FRequest = TSftpRequest::None;
    FLastOk = ok;
    CloseLocal();
    PostMessage(FHandle, WM_SFTP_DONE, static_cast<WPARAM>(request), ok ? 1 : 0);
}

void TCustomSftpCli::Fail(std::uint32_t code, const std::string& message)
{
    if (!FFailed || FErrorMessage.empty()) {
        FErrorCode = code;
        FErrorMessage = message;
    }
    FFailed = true;
}

std::string TCustomSftpCli::StatusText(const Reply& reply) const
{
    std::string base;
    switch (reply.code) {
    case FX_OK: base = "ok"; break;
    case FX_EOF: base = "end of file"; break;
    case FX_NO_SUCH_FILE: base = "no such file or directory"; break;
    case FX_PERMISSION_DENIED: base = "permission denied"; break;
    case FX_FAILURE: base = "the server failed"; break;
    case FX_BAD_MESSAGE: base = "the server did not understand the request"; break;
    case FX_NO_CONNECTION: base = "no connection"; break;
    case FX_CONNECTION_LOST: base = "connection lost"; break;
    case FX_OP_UNSUPPORTED: base = "the server does not support this"; break;
    default: base = "error " + std::to_string(reply.code); break;
    }
    if (reply.code != FX_OK && SaysNoSpace(reply.message))
        base = "no space left on the server (disk full or quota reached)";
    std::string msg = reply.message;
    std::string lowerMsg, lowerBase;
    for (char c : msg)
        lowerMsg.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
    for (char c : base)
        lowerBase.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
    if (!msg.empty() && lowerMsg != lowerBase && lowerMsg != "failure")
        base += " (" + msg + ")";
    return base;
}

// ---- the ssh child -------------------------------------------------------------

void TCustomSftpCli::Spawn()
{
    if (!SftpArgumentAllowed(Host))
        throw SftpException("Refused host name \"" + Host +
                            "\": empty, starting with '-' or holding a blank or control character");
    if (!SftpArgumentAllowed(User))
        throw SftpException("Refused user name \"" + User +
                            "\": empty, starting with '-' or holding a blank or control character");
    char* end = nullptr;
    const long port = std::strtol(Port.c_str(), &end, 10);
    if (Port.empty() || *end || port < 1 || port > 65535 || !std::isdigit(static_cast<unsigned char>(Port[0])))
        throw SftpException("Refused port \"" + Port + "\": not a number from 1 to 65535");

    std::vector<std::string> files = KnownHostsFiles;
    if (files.empty())
        files = {SftpDefaultKnownHostsFile(), HomeDir() + "/.ssh/known_hosts"};
    std::string known;
    for (const std::string& f : files)
        known += (known.empty() ? "" : " ") + QuoteForSsh(f);

    // ssh asks through the helper only when somebody can answer: with a
    // password or a host-key handler. Otherwise it asks nothing at all.
    std::string helper;
    if (!Password.empty() || OnHostKeyQuestion) {
        helper = AskpassProgram.empty() ? SftpFindAskpassProgram() : AskpassProgram;
        if (!helper.empty() && ::access(helper.c_str(), X_OK) != 0)
            helper.clear();
        if (helper.empty() && !Password.empty())
            throw SftpException(std::string("Cannot log in with a password: the helper program ") +
                                sftp_askpass::ProgramName + " is not installed beside this program");
    }
    const bool asking = !helper.empty();
    if (OnHostKeyQuestion && !asking)
        Display(std::string("! the helper program ") + sftp_askpass::ProgramName +
                " is missing: an unknown host key is refused without a question");

    std::vector<std::string> args = {SshProgram, "-T", "-x", "-a"};
    if (!SshConfigFile.empty())
        args.insert(args.end(), {"-F", SshConfigFile});
    for (const std::string& o : SshOptions)
        args.insert(args.end(), {"-o", o});
    // ssh takes the first value it meets for an option: these come after
    // the caller's and before any configuration file's.
    std::vector<std::string> own;
    if (asking) {
        // Unknown keys are asked about (through the helper), a changed key
        // is still refused by ssh; a password gets one try after the keys.
        own = {"BatchMode=no", "StrictHostKeyChecking=ask", "NumberOfPasswordPrompts=1"};
        if (!Password.empty())
            own.push_back("PreferredAuthentications=publickey,password,keyboard-interactive");
        else
            own.insert(own.end(), {"PasswordAuthentication=no", "KbdInteractiveAuthentication=no"});
    } else {
        own = {"BatchMode=yes", "StrictHostKeyChecking=yes"};
    }
    own.insert(own.end(), {"UserKnownHostsFile=" + known, "UpdateHostKeys=no", "ForwardAgent=no",
                           "ClearAllForwardings=yes", "PermitLocalCommand=no", "RequestTTY=no"});
    for (const std::string& o : own)
        args.insert(args.end(), {"-o", o});
    args.insert(args.end(), {"-p", std::to_string(port), "-l", User, "-s", "--", Host, "sftp"});

    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        if (!AgentSocket.empty() && std::strncmp(*e, "SSH_AUTH_SOCK=", 14) == 0)
            continue;
        // Another program's askpass settings are not ours to pass on.
        if (std::strncmp(*e, "SSH_ASKPASS", 11) == 0 || std::strncmp(*e, "PARCELO_ASKPASS_", 16) == 0)
            continue;
        env.emplace_back(*e);
    }
    if (!AgentSocket.empty())
        env.push_back("SSH_AUTH_SOCK=" + AgentSocket);
    if (asking) {
        // The channel's place and this connection's token; the password
        // itself never goes into the environment.
        OpenAskChannel(helper);
        env.push_back("SSH_ASKPASS=" + helper);
        env.push_back("SSH_ASKPASS_REQUIRE=force");
        env.push_back(std::string(sftp_askpass::SocketVariable) + "=" + FAskPath);
        env.push_back(std::string(sftp_askpass::TokenVariable) + "=" + FAskToken);
        // ssh records a trusted key in the first file; it makes no folders.
        MakeParentFolders(files.front());
    }

    std::vector<char*> argv, envp;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    for (auto& e : env)
        envp.push_back(e.data());
    envp.push_back(nullptr);

    int in[2], out[2], err[2];
    if (::pipe2(in, O_CLOEXEC) != 0) {
        const int e = errno;
        CloseAskChannel();
        throw SftpException("Cannot make a pipe: " + ErrnoText(e));
    }
    // A store keeps up to 2 MiB of writes in flight; a pipe that holds
    // them wakes ssh and this side far less often than the default 64 KiB.
    // Where the system's limit is lower the default stays.
    (void)::fcntl(in[1], F_SETPIPE_SZ, 1 << 20);
    if (::pipe2(out, O_CLOEXEC) != 0) {
        const int e = errno;
        ::close(in[0]), ::close(in[1]);
        CloseAskChannel();
        throw SftpException("Cannot make a pipe: " + ErrnoText(e));
    }
    if (::pipe2(err, O_CLOEXEC) != 0) {
        const int e = errno;
        ::close(in[0]), ::close(in[1]), ::close(out[0]), ::close(out[1]);
        CloseAskChannel();
        throw SftpException("Cannot make a pipe: " + ErrnoText(e));
    }
    const pid_t pid = ::fork();
    if (pid == 0) {
        // The child: only async-signal-safe calls from here to exec.
        ::setsid(); // no controlling terminal: ssh cannot ask on one
        ::dup2(in[0], 0);
        ::dup2(out[1], 1);
        ::dup2(err[1], 2);
        ::close_range(3, ~0u, 0);
        struct sigaction dfl { };
        dfl.sa_handler = SIG_DFL;
        ::sigaction(SIGPIPE, &dfl, nullptr);
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        ::execvpe(argv[0], argv.data(), envp.data());
        static const char msg[] = "cannot run the ssh program\n";
        ssize_t ignored = ::write(2, msg, sizeof msg - 1);
        (void)ignored;
        ::_exit(127);
    }
    const int forkErr = errno;
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    if (pid < 0) {
        ::close(in[1]), ::close(out[0]), ::close(err[0]);
        CloseAskChannel();
        throw SftpException("Cannot start ssh: " + ErrnoText(forkErr));
    }
    FPid = pid;
    FIn = in[1];
    FOut = out[0];
    FErr = err[0];
    ::fcntl(FIn, F_SETFL, ::fcntl(FIn, F_GETFL) | O_NONBLOCK);
    WatchDescriptor(FOut, FHandle, WM_SFTP_PIPE, DW_READ);
    WatchDescriptor(FErr, FHandle, WM_SFTP_PIPE, DW_READ);
    FSendBuf.clear();
    FSendPos = 0;
    FRecvBuf.clear();
    FErrBuf.clear();
    FLastSshLine.clear();
    FSshText.clear();
    FPasswordGiven = false;
    FHostKeyAsked = false;
    FRefusedKey.clear();
    FPending.clear();
    FKillTicks = 0;
}

void TCustomSftpCli::ClosePipes()
{
    for (int* fd : {&FIn, &FOut, &FErr}) {
        if (*fd >= 0) {
            UnwatchDescriptor(*fd);
            ::close(*fd);
            *fd = -1;
        }
    }
    FSendBuf.clear();
    FSendPos = 0;
    FPending.clear();
    CloseAskChannel();
}

void TCustomSftpCli::CloseLocal()
{
    if (FLocal >= 0)
        ::close(FLocal);
    FLocal = -1;
}

void TCustomSftpCli::Reap(bool timerTick)
{
    if (FPid > 0) {
        int status = 0;
        if (::waitpid(FPid, &status, WNOHANG) == FPid) {
            FPid = -1;
        } else if (!timerTick) {
            ::kill(FPid, SIGTERM);
            FKillTicks = static_cast<int>(GetTickCount());
            SetTimer(FHandle, ReapTimer, ReapIntervalMs);
            return;
        } else {
            if (GetTickCount() - static_cast<DWORD>(FKillTicks) >= KillAfterMs)
                ::kill(FPid, SIGKILL);
            return;
        }
    }
    KillTimer(FHandle, ReapTimer);
    FPhase = Phase::Closed;
    if (FRequest == TSftpRequest::Quit) {
        Display("< ssh has ended");
        Finish(true);
    }
}

void TCustomSftpCli::ReapNow()
{
    if (FPid > 0) {
        ::kill(FPid, SIGKILL);
        int status = 0;
        while (::waitpid(FPid, &status, 0) < 0 && errno == EINTR) { }
        FPid = -1;
    }
    KillTimer(FHandle, ReapTimer);
    FPhase = Phase::Closed;
}

void TCustomSftpCli::Lost(const std::string& why)
{
    if (FPhase == Phase::Closed || FPhase == Phase::Ending)
        return;
    ReadStderr(true);
    const bool loggingIn = FPhase == Phase::Starting;
    std::string reason = why;
    if (!FLastSshLine.empty())
        reason += reason.empty() ? FLastSshLine : " (" + FLastSshLine + ")";
    Fail(FX_CONNECTION_LOST, loggingIn ? LogInFailure(reason) : "Connection lost: " + reason);
    if (FRequest != TSftpRequest::Quit)
        Finish(false);
    EndSession();
}

std::string TCustomSftpCli::LogInFailure(const std::string& why) const
{
    const TSftpChangedHostKey changed = SftpParseChangedHostKey(FSshText);
    if (changed.changed) {
        std::string held = changed.file.empty() ? "a known-hosts file" : changed.file;
        if (!changed.line.empty())
            held += " (line " + changed.line + ")";
        return "Cannot log in: the host key of " + Host + " port " + Port + " HAS CHANGED. The server now shows the " +
               (changed.keyType.empty() ? "" : changed.keyType + " ") + "key " +
               (changed.fingerprint.empty() ? "(fingerprint not shown)" : changed.fingerprint) + ", but " + held +
               " holds another key for it. Someone may be intercepting the connection, or the server's key was "
               "replaced: ask the server's administrator before removing the old key from that file.";
    }
    if (!FRefusedKey.empty())
        return "Cannot log in: the host key of " + Host + " port " + Port + " (" + FRefusedKey + ") was not accepted" +
               (why.empty() ? "" : " (" + why + ")");
    return "Cannot log in: " + why;
}

void TCustomSftpCli::EndSession()
{
    if (FPhase == Phase::Closed || FPhase == Phase::Ending)
        return;
    ClosePipes();
    FPhase = Phase::Ending;
    Reap(false);
}

void TCustomSftpCli::Abandon(const std::string& why)
{
    if (Busy() && FRequest != TSftpRequest::Quit) {
        Fail(FX_CONNECTION_LOST, why);
        Finish(false);
    }
    EndSession();
}

// ---- reading -------------------------------------------------------------------

void TCustomSftpCli::ReadStderr(bool atEnd)
{
    if (FErr < 0)
        return;
    char buf[4096];
    bool ended = false;
    for (;;) {
        ssize_t n = ::read(FErr, buf, sizeof buf);
        if (n > 0) {
            FErrBuf.append(buf, static_cast<std::size_t>(n));
            if (FErrBuf.size() > 64 * 1024)
                FErrBuf.erase(0, FErrBuf.size() - 64 * 1024);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        ended = n == 0 || errno != EAGAIN;
        break;
    }
    std::size_t eol;
    while ((eol = FErrBuf.find('\n')) != std::string::npos) {
        std::string line = FErrBuf.substr(0, eol);
        FErrBuf.erase(0, eol + 1);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.empty())
            continue;
        FLastSshLine = line;
        if (FPhase == Phase::Starting && FSshText.size() < 64 * 1024)
            FSshText += line + "\n";
        Display("ssh: " + line);
    }
    if (ended) {
        if (!FErrBuf.empty()) {
            FLastSshLine = FErrBuf;
            if (FPhase == Phase::Starting)
                FSshText += FErrBuf + "\n";
            Display("ssh: " + FErrBuf);
            FErrBuf.clear();
        }
        UnwatchDescriptor(FErr);
        ::close(FErr);
        FErr = -1;
    } else if (!atEnd) {
        WatchDescriptor(FErr, FHandle, WM_SFTP_PIPE, DW_READ);
    }
}

void TCustomSftpCli::ReadStdout()
{
    auto alive = Alive();
    std::size_t taken = 0;
    bool ended = false;
    std::string endWhy;
    while (FOut >= 0 && taken < 1024 * 1024) {
        const std::size_t old = FRecvBuf.size();
        FRecvBuf.resize(old + ReadPiece);
        ssize_t n = ::read(FOut, FRecvBuf.data() + old, ReadPiece);
        FRecvBuf.resize(old + (n > 0 ? static_cast<std::size_t>(n) : 0));
        if (n > 0) {
            taken += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n == 0 || errno != EAGAIN) {
            ended = true;
            endWhy = n == 0 ? "" : ErrnoText(errno);
        }
        break;
    }
    std::size_t pos = 0;
    while (FOut >= 0) {
        std::size_t length = 0;
        const auto* data = reinterpret_cast<const std::uint8_t*>(FRecvBuf.data()) + pos;
        const Framing f = FramePacket(data, FRecvBuf.size() - pos, length);
        if (f == Framing::Incomplete)
            break;
        if (f == Framing::Broken) {
            Lost("the server sent a packet of impossible length");
            return;
        }
        auto reply = ParseReply(data, length);
        pos += length;
        if (!reply) {
            Lost("the server sent a malformed packet");
            return;
        }
        OnReply(*reply);
        if (!alive)
            return;
    }
    if (FOut < 0)
        return;
    FRecvBuf.erase(0, pos);
    if (ended) {
        Lost(endWhy);
        return;
    }
    WatchDescriptor(FOut, FHandle, WM_SFTP_PIPE, DW_READ);
}

void TCustomSftpCli::WndProc(UINT msg, WPARAM wParam, LPARAM lParam)
{
    auto alive = Alive();
    if (msg == WM_SFTP_PIPE) {
        const int fd = static_cast<int>(wParam);
        if (fd == FOut && (LOWORD(lParam) & DW_READ))
            ReadStdout();
        else if (fd == FErr && (LOWORD(lParam) & DW_READ))
            ReadStderr(false);
        else if (fd == FIn && (LOWORD(lParam) & DW_WRITE)) {
            Flush();
            if (alive && FRequest == TSftpRequest::Store)
                FillWrites();
        }
    } else if (msg == WM_SFTP_ASK) {
        const int fd = static_cast<int>(wParam);
        if (fd == FAskListen)
            AcceptAsk();
        else
            ReadAsk(fd);
    } else if (msg == WM_SFTP_DONE) {
        if (OnRequestDone)
            OnRequestDone(static_cast<TSftpRequest>(wParam), lParam == 1);
    } else if (msg == WM_TIMER && wParam == ReapTimer) {
        Reap(true);
    }
}

// ---- requests ------------------------------------------------------------------

void TCustomSftpCli::StartConnect()
{
    if (Busy())
        throw SftpException("SFTP component busy: cannot start connect");
    if (Connected())
        throw SftpException("SFTP component already connected");
    // The ssh of a session that ended may still be on its way out: a new
    // one does not wait for it.
    if (FPhase == Phase::Ending)
        ReapNow();
    Spawn(); // throws before anything runs when a setting is refused
    Check(TSftpRequest::Connect);
    FPhase = Phase::Starting;
    FCurrentDir.clear();
    Display("> ssh " + User + "@" + Host + " port " + Port + ", sftp version 3");
    AppendInit(FSendBuf);
    Flush();
}

void TCustomSftpCli::StartChangeDir()
{
    Check(TSftpRequest::ChangeDir);
    FTarget = Resolve(DirName);
    Display("> stat " + FTarget);
    AppendPathRequest(FSendBuf, FXP_STAT, NextId(), FTarget);
    FPending.push_back(Pending{FNextId - 1, FXP_STAT});
    Flush();
}

void TCustomSftpCli::StartMakeDir()
{
    Check(TSftpRequest::MakeDir);
    FTarget = Resolve(DirName);
    Display("> mkdir " + FTarget);
    std::string p;
    AppendMkdir(p, NextId(), FTarget);
    Send(FXP_MKDIR, p);
    Flush();
}

void TCustomSftpCli::StartListDirs()
{
    Check(TSftpRequest::ListDirs);
    FTarget = Resolve(DirName);
    FDirNames.clear();
    FLinkNames.clear();
    FLinkStats.clear();
    Display("> opendir " + FTarget);
    std::string p;
    AppendPathRequest(p, FXP_OPENDIR, NextId(), FTarget);
    Send(FXP_OPENDIR, p);
    Flush();
}

void TCustomSftpCli::EndListing()
{
    std::sort(FDirNames.begin(), FDirNames.end());
    Finish(!FFailed);
}

void TCustomSftpCli::StartStore()
{
    Check(TSftpRequest::Store);
    if (HostFile.empty()) {
        FRequest = TSftpRequest::None;
        throw SftpException("No remote file name to store to");
    }
    FAcked = FSent = StoreOffset;
    FLocalEof = false;
    FHandleStr.clear();
    FLocal = ::open(LocalFile.c_str(), O_RDONLY | O_CLOEXEC);
    if (FLocal < 0) {
        Fail(FX_FAILURE, "Cannot read " + LocalFile + ": " + ErrnoText(errno));
        Finish(false);
        return;
    }
    FTarget = Resolve(HostFile);
    std::string p;
    if (StoreOffset > 0) {
        // A resumed store: the bytes the server has stay, the rest is
        // written from the offset on.
        Display("> open " + FTarget + " (from offset " + std::to_string(StoreOffset) + ")");
        AppendOpen(p, NextId(), FTarget, FXF_WRITE | FXF_CREAT);
    } else {
        Display("> open " + FTarget);
        AppendOpen(p, NextId(), FTarget, FXF_WRITE | FXF_CREAT | FXF_TRUNC);
    }
    Send(FXP_OPEN, p);
    Flush();
}

bool TCustomSftpCli::HasPosixRename() const
{
    return std::any_of(FExtensions.begin(), FExtensions.end(),
                       [](const auto& e) { return e.first == PosixRenameExtension; });
}

void TCustomSftpCli::StartStat()
{
    Check(TSftpRequest::Stat);
    FStat = Attrs{};
    FTarget = Resolve(HostFile);
    Display("> stat " + FTarget);
    std::string p;
    AppendPathRequest(p, FXP_STAT, NextId(), FTarget);
    Send(FXP_STAT, p);
    Flush();
}

void TCustomSftpCli::StartRename()
{
    Check(TSftpRequest::Rename);
    FTarget = Resolve(HostFile);
    const std::string to = Resolve(NewName);
    std::string p;
    if (HasPosixRename()) {
        Display("> posix-rename " + FTarget + " " + to);
        AppendPosixRename(p, NextId(), FTarget, to);
        Send(FXP_EXTENDED, p);
    } else {
        Display("> rename " + FTarget + " " + to);
        AppendRename(p, NextId(), FTarget, to);
        Send(FXP_RENAME, p);
    }
    Flush();
}

void TCustomSftpCli::StartRemove()
{
    Check(TSftpRequest::Remove);
    FTarget = Resolve(HostFile);
    Display("> remove " + FTarget);
    std::string p;
    AppendPathRequest(p, FXP_REMOVE, NextId(), FTarget);
    Send(FXP_REMOVE, p);
    Flush();
}

void TCustomSftpCli::StartSetTimes()
{
    Check(TSftpRequest::SetTimes);
    FTarget = Resolve(HostFile);
    Display("> setstat " + FTarget + " mtime " + std::to_string(FileTime));
    const auto t = static_cast<std::uint32_t>(FileTime);
    std::string p;
    AppendSetTimes(p, NextId(), FTarget, t, t);
    Send(FXP_SETSTAT, p);
    Flush();
}

void TCustomSftpCli::SimpleStatus(const Reply& reply, const char* what)
{
    if (reply.type != FXP_STATUS) {
        Lost(std::string("the server answered ") + what + " with " + TypeName(reply.type));
        return;
    }
    Display("< " + StatusText(reply));
    if (reply.code != FX_OK)
        Fail(reply.code, std::string("Cannot ") + what + " " + FTarget + ": " + StatusText(reply));
    Finish(reply.code == FX_OK);
}

void TCustomSftpCli::StartQuit()
{
    if (Busy() && FRequest != TSftpRequest::Quit) {
        Fail(FX_FAILURE, "Cancelled");
        Finish(false);
    }
    if (FRequest == TSftpRequest::Quit)
        return;
    FRequest = TSftpRequest::Quit;
    FFailed = false;
    FErrorMessage.clear();
    FErrorCode = 0;
    CloseLocal();
    Display("> quit");
    if (FPhase == Phase::Closed && FPid <= 0) {
        Finish(true);
        return;
    }
    if (FPhase != Phase::Ending)
        EndSession();
    else if (FPid <= 0)
        Reap(false);
}

// ---- replies -------------------------------------------------------------------

void TCustomSftpCli::OnReply(const Reply& reply)
{
    auto alive = Alive();
    if (reply.type == FXP_VERSION) {
        if (FPhase != Phase::Starting || FRequest != TSftpRequest::Connect || FStep != 0) {
            Lost("the server sent VERSION out of turn");
            return;
        }
        Display("< version " + std::to_string(reply.version));
        FExtensions = reply.extensions;
        if (reply.version != ProtocolVersion) {
            Fail(FX_OP_UNSUPPORTED,
                 "Cannot log in: the server speaks SFTP version " + std::to_string(reply.version) + ", not 3");
            Finish(false);
            EndSession();
            return;
        }
        FStep = 1;
        Display("> realpath .");
        std::string p;
        AppendPathRequest(p, FXP_REALPATH, NextId(), ".");
        Send(FXP_REALPATH, p);
        Flush();
        return;
    }
    auto it = std::find_if(FPending.begin(), FPending.end(), [&](const Pending& p) { return p.id == reply.id; });
    if (it == FPending.end()) {
        Lost("the server answered a request that was not made");
        return;
    }
    const Pending sent = *it;
    FPending.erase(it);
    if (!DoProgress(false) || !alive)
        return;

    auto status = [&](const char* what) {
        if (reply.type != FXP_STATUS) {
            Lost(std::string("the server answered ") + what + " with " + TypeName(reply.type));
            return false;
        }
        return true;
    };
    auto unexpected = [&]() { Lost("the server answered with " + TypeName(reply.type)); };

    switch (FRequest) {
    case TSftpRequest::Connect:
        if (reply.type == FXP_NAME && reply.names.size() == 1) {
            FCurrentDir = reply.names[0].filename;
            Display("< " + FCurrentDir);
            FPhase = Phase::Open;
            // Logged in: nothing more to ask; the channel goes away.
            CloseAskChannel();
            Finish(true);
        } else if (reply.type == FXP_STATUS) {
            Fail(reply.code, "Cannot log in: the log-in directory: " + StatusText(reply));
            Finish(false);
            EndSession();
        } else {
            unexpected();
        }
        return;
    case TSftpRequest::ChangeDir:
        if (sent.what == FXP_STAT) {
            if (reply.type == FXP_ATTRS && reply.attrs.IsDirectory()) {
                Display("< directory");
                Display("> realpath " + FTarget);
                std::string p;
                AppendPathRequest(p, FXP_REALPATH, NextId(), FTarget);
                Send(FXP_REALPATH, p);
                Flush();
            } else if (reply.type == FXP_ATTRS) {
                Display("< not a directory");
                Fail(FX_NO_SUCH_FILE, "Cannot change to " + FTarget + ": not a directory");
                Finish(false);
            } else if (status("STAT")) {
                Display("< " + StatusText(reply));
                Fail(reply.code, "Cannot change to " + FTarget + ": " + StatusText(reply));
                Finish(false);
            }
        } else if (reply.type == FXP_NAME && reply.names.size() == 1) {
            FCurrentDir = reply.names[0].filename;
            Display("< " + FCurrentDir);
            Finish(true);
        } else if (status("REALPATH")) {
            Fail(reply.code, "Cannot change to " + FTarget + ": " + StatusText(reply));
            Finish(false);
        }
        return;
    case TSftpRequest::MakeDir:
        if (status("MKDIR")) {
            Display("< " + StatusText(reply));
            if (reply.code == FX_OK) {
                Finish(true);
            } else {
                Fail(reply.code, "Cannot make " + FTarget + ": " + StatusText(reply));
                Finish(false);
            }
        }
        return;
    case TSftpRequest::ListDirs:
        if (sent.what == FXP_OPENDIR || sent.what == FXP_READDIR) {
            std::string p;
            if (reply.type == FXP_HANDLE && sent.what == FXP_OPENDIR) {
                FHandleStr = reply.handle;
            } else if (reply.type == FXP_NAME && sent.what == FXP_READDIR) {
                for (const NameEntry& e : reply.names) {
                    if (e.filename == "." || e.filename == "..")
                        continue;
                    if (e.attrs.IsDirectory())
                        FDirNames.push_back(e.filename);
                    else if (e.attrs.IsLink())
                        FLinkNames.push_back(e.filename);
                }
            } else if (status("READDIR")) {
                if (reply.code != FX_EOF) {
                    Display("< " + StatusText(reply));
                    Fail(reply.code, "Cannot list " + FTarget + ": " + StatusText(reply));
                }
                if (sent.what == FXP_OPENDIR) {
                    Finish(false);
                    return;
                }
                Display("< " + std::to_string(FDirNames.size()) + " directories");
                AppendHandleRequest(p, FXP_CLOSE, NextId(), FHandleStr);
                Send(FXP_CLOSE, p);
                Flush();
                return;
            } else {
                return;
            }
            AppendHandleRequest(p, FXP_READDIR, NextId(), FHandleStr);
            Send(FXP_READDIR, p);
            Flush();
        } else if (sent.what == FXP_STAT) {
            // A link's target: a directory joins the list; a link that
            // leads nowhere or elsewhere does not.
            if (const auto link = FLinkStats.find(sent.id); link != FLinkStats.end()) {
                if (reply.type == FXP_ATTRS && reply.attrs.IsDirectory())
                    FDirNames.push_back(link->second);
                FLinkStats.erase(link);
            }
            if (FLinkStats.empty())
                EndListing();
        } else if (status("CLOSE")) {
            if (FFailed || FLinkNames.empty()) {
                EndListing();
                return;
            }
            for (const std::string& name : FLinkNames) {
                std::string p;
                AppendPathRequest(p, FXP_STAT, NextId(), (FTarget.ends_with('/') ? FTarget : FTarget + "/") + name);
                FLinkStats[Send(FXP_STAT, p)] = name;
            }
            FLinkNames.clear();
            Flush();
        }
        return;
    case TSftpRequest::Store: StepStore(&reply, sent); return;
    case TSftpRequest::Stat:
        if (reply.type == FXP_ATTRS) {
            FStat = reply.attrs;
            Display("< " + ((reply.attrs.flags & FILEXFER_ATTR_SIZE) ? std::to_string(reply.attrs.size) + " bytes"
                                                                     : std::string("size unknown")));
            Finish(true);
        } else if (status("STAT")) {
            Display("< " + StatusText(reply));
            Fail(reply.code, "Cannot stat " + FTarget + ": " + StatusText(reply));
            Finish(false);
        }
        return;
    case TSftpRequest::Rename: SimpleStatus(reply, "rename"); return;
    case TSftpRequest::Remove: SimpleStatus(reply, "remove"); return;
    case TSftpRequest::SetTimes: SimpleStatus(reply, "set the time of"); return;
    default:
        // Quit or none: the answer to something given up; nothing to do.
        return;
    }
}

void TCustomSftpCli::StepStore(const Reply* replyPtr, const Pending& sent)
{
    const Reply& reply = *replyPtr;
    auto alive = Alive();
    switch (sent.what) {
    case FXP_OPEN:
        if (reply.type == FXP_HANDLE) {
            FHandleStr = reply.handle;
            Display("< ok");
            FillWrites();
        } else if (reply.type == FXP_STATUS) {
            Display("< " + StatusText(reply));
            Fail(reply.code, "Cannot store " + FTarget + ": " + StatusText(reply));
            Finish(false);
        } else {
            Lost("the server answered OPEN with " + TypeName(reply.type));
        }
        return;
    case FXP_WRITE:
        if (reply.type != FXP_STATUS) {
            Lost("the server answered WRITE with " + TypeName(reply.type));
            return;
        }
        if (reply.code == FX_OK) {
            FAcked += sent.bytes;
            if (!DoProgress(true) || !alive)
                return;
        } else {
            Display("< " + StatusText(reply));
            Fail(reply.code, "Cannot store " + FTarget + ": " + StatusText(reply));
        }
        FillWrites();
        return;
    case FXP_CLOSE:
        if (reply.type != FXP_STATUS) {
            Lost("the server answered CLOSE with " + TypeName(reply.type));
            return;
        }
        Display("< " + StatusText(reply));
        if (reply.code != FX_OK)
            Fail(reply.code, "Cannot store " + FTarget + ": closing it: " + StatusText(reply));
        Finish(!FFailed);
        return;
    default: return;
    }
}

void TCustomSftpCli::FillWrites()
{
    if (FRequest != TSftpRequest::Store || FHandleStr.empty() || FIn < 0)
        return;
    std::size_t outstanding = 0;
    bool closing = false;
    for (const Pending& p : FPending) {
        outstanding += p.what == FXP_WRITE;
        closing |= p.what == FXP_CLOSE;
    }
    if (closing)
        return;
    char buf[WriteChunk];
    while (!FFailed && !FLocalEof && outstanding < MaxOutstandingWrites) {
        ssize_t n = ::pread(FLocal, buf, sizeof buf, static_cast<off_t>(FSent));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            Fail(FX_FAILURE, "Cannot read " + LocalFile + ": " + ErrnoText(errno));
            break;
        }
        if (n == 0) {
            FLocalEof = true;
            break;
        }
        // Built in the send buffer itself, not apart and then copied there.
        AppendWrite(FSendBuf, NextId(), FHandleStr, FSent, buf, static_cast<std::size_t>(n));
        Send(FXP_WRITE, {}, static_cast<std::uint64_t>(n));
        FSent += static_cast<std::uint64_t>(n);
        ++outstanding;
    }
    if (outstanding == 0 && (FFailed || FLocalEof)) {
        // Every write is answered: close the handle (after a failure too,
        // so the server lets the file go), and the close's answer ends it.
        Display("> close");
        std::string p;
        AppendHandleRequest(p, FXP_CLOSE, NextId(), FHandleStr);
        Send(FXP_CLOSE, p);
    }
    Flush();
}

// The SFTP client: speaks SFTP version 3 to the system's OpenSSH client,
// started as a child process (`ssh ... -s -- HOST sftp`), over its standard
// input and output; its standard error becomes dialogue lines.
//
// TCustomSftpCli runs one request at a time, asynchronously, like the FTP
// client: a Start* method checks the state, sends what it needs and
// returns; the pipes are watched by the reactor (WatchDescriptor) and the
// end of a request fires OnRequestDone from a posted message. TSftpClient
// adds blocking calls that pump the message loop while they wait.
//
// ssh runs in a session of its own (no terminal), so it never waits for
// an answer nobody can give. Without a password and without
// OnHostKeyQuestion it runs with BatchMode: keys and the agent log in and
// an unknown host key is refused. With either, ssh asks through the
// askpass helper (parcelo-askpass, see SftpAskpass.h), which passes the
// question to this client over a private socket watched by the reactor:
// a password prompt is answered with Password (once), an unknown host key
// goes to OnHostKeyQuestion. A changed host key is always refused.
//
// Everything runs on the thread that owns the message queue.
#pragma once

#include "net/WSocket.h"
#include "platform/Component.h"
#include "platform/Lifeline.h"
#include "platform/Messages.h"
#include "sftp/SftpPacket.h"

#include <sys/types.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

enum class TSftpRequest : std::uint8_t {
    None,
    Connect,
    ChangeDir,
    MakeDir,
    ListDirs,
    Store,
    Quit,
    Stat,
    Rename,
    Remove,
    SetTimes,
};
const char* ToString(TSftpRequest request);

// Raised by a Start* call in the wrong state or with unusable settings;
// nothing has started then.
class SftpException : public Exception {
public:
    explicit SftpException(const std::string& msg) : Exception(msg) { }
    const char* ClassName() const override { return "SftpException"; }
};

// Whether a host or user name can go to ssh as an argument: not empty,
// not starting with '-', no blank or control character. A name that fails
// would be read as an option or split by the remote shell.
bool SftpArgumentAllowed(const std::string& text);

// The askpass helper installed with this program: parcelo-askpass beside
// it or in ../lib/parcelo/ (the layout of the build tree and of an
// installed copy), as a real path; empty when neither is there.
std::string SftpFindAskpassProgram();

// What the client asks when ssh meets a host key no known-hosts file holds.
struct TSftpHostKeyQuestion {
    std::string host;        // Host, as given
    std::string port;        // Port, as given
    std::string keyType;     // as ssh names it: "ED25519", "ECDSA", "RSA"
    std::string fingerprint; // "SHA256:..." as `ssh-keygen -l` prints it
    // Where ssh records the key when it is trusted: the first of the
    // known-hosts files.
    std::string knownHostsFile;
};
// Trust = true: ssh goes on with exactly this key and records it in
// knownHostsFile; false (or no handler): the log-in fails. The handler may
// run the message loop (a question box) while it decides.
using TSftpVerifyHostKey = std::function<void(TObject* Sender, const TSftpHostKeyQuestion& Question, bool& Trust)>;

// Parcelo's own known-hosts file: ${XDG_CONFIG_HOME:-~/.config}/parcelo/known_hosts.
std::string SftpDefaultKnownHostsFile();

class TCustomSftpCli : public TComponent {
public:
    explicit TCustomSftpCli(TComponent* AOwner = nullptr);
    ~TCustomSftpCli() override;

    // ---- settings (read by StartConnect) ----
    std::string Host;
    std::string Port = "22";
    std::string User;
    // The ssh program (looked up on PATH when it has no '/').
    std::string SshProgram = "ssh";
    // Known-hosts files, in order; empty: Parcelo's own file, then
    // ~/.ssh/known_hosts.
    std::vector<std::string> KnownHostsFiles;
    // An ssh configuration file instead of ~/.ssh/config ("-F"); empty: ssh's.
    std::string SshConfigFile;
    // SSH_AUTH_SOCK for ssh; empty: what this program has.
    std::string AgentSocket;
    // Further "-o NAME=VALUE" options, placed before Parcelo's own.
    std::vector<std::string> SshOptions;
    // The password for ssh's password or keyboard-interactive log-in, tried
    // once after the keys; empty: keys and the agent only. It reaches ssh
    // only through the askpass helper's private channel, never a command
    // line or the environment.
    std::string Password;
    // The askpass helper program; empty: SftpFindAskpassProgram().
    std::string AskpassProgram;

    // ---- the request at hand ----
    std::string DirName;   // ChangeDir, MakeDir, ListDirs ("" = the current directory)
    std::string LocalFile; // Store: the local file
    std::string HostFile;  // Store, Stat, Remove, SetTimes, Rename (from): relative to the current directory
    // Store: where to start, in the local file and in the remote one. 0:
    // the remote file is emptied (or made) and the whole file is sent; n:
    // the remote file is opened without emptying it and the local bytes
    // from n on are written from offset n (a resumed store).
    std::uint64_t StoreOffset = 0;
    std::string NewName; // Rename: the new name, relative to the current directory
    // SetTimes: the access and modification time to set (seconds since 1970).
    std::int64_t FileTime = 0;

    // ---- results ----
    const std::string& CurrentDir() const { return FCurrentDir; }          // absolute, from the server
    const std::vector<std::string>& DirNames() const { return FDirNames; } // ListDirs, as bytes
    const std::string& ErrorMessage() const { return FErrorMessage; }
    // The status of the failed step (FX_*), or FX_CONNECTION_LOST when
    // ssh ended, or FX_FAILURE for a local failure.
    std::uint32_t ErrorCode() const { return FErrorCode; }
    // Store: bytes the server has acknowledged (with StoreOffset: counted
    // from the start of the file, so a resumed store starts at the offset).
    std::uint64_t ProgressCount() const { return FAcked; }
    // Stat: what the server said of HostFile (a file that is not there
    // fails with FX_NO_SUCH_FILE).
    const sftp::Attrs& StatResult() const { return FStat; }
    // The extensions the server listed in its VERSION reply (name, data).
    const std::vector<std::pair<std::string, std::string>>& Extensions() const { return FExtensions; }
    // The server offers posix-rename@openssh.com.
    bool HasPosixRename() const;
    // A session that can carry requests: once the connection is lost or
    // quit it is not, even while ssh is still being reaped.
    bool Connected() const { return FPhase == Phase::Starting || FPhase == Phase::Open; }
    bool Busy() const { return FRequest != TSftpRequest::None; }
    pid_t SshPid() const { return FPid; }

    // ---- events ----
    std::function<void(const std::string& line)> OnDisplay;
    std::function<void(std::uint64_t acknowledged)> OnProgress;
    std::function<void(TSftpRequest request, bool ok)> OnRequestDone;
    // Asked during StartConnect when the server's host key is unknown.
    TSftpVerifyHostKey OnHostKeyQuestion;

    // ---- requests ----
    void StartConnect(); // ssh, INIT/VERSION, REALPATH "."
    void StartChangeDir();
    void StartMakeDir();
    void StartListDirs();
    void StartStore();
    // STAT of HostFile (follows links): size, times, permissions.
    void StartStat();
    // HostFile to NewName, replacing an existing NewName: with the
    // posix-rename@openssh.com extension where the server offers it, else
    // a plain RENAME (which version 3 servers refuse over an existing
    // target; the caller removes it first).
    void StartRename();
    void StartRemove();
    // SETSTAT of HostFile: access and modification time FileTime.
    void StartSetTimes();
    // Closes the pipes, terminates ssh (killed after 2 s) and reaps it.
    // Also stops a request under way (which then fails).
    void StartQuit();

protected:
    using Liveness = TLifeline::Token;
    [[nodiscard]] Liveness Alive() const { return FLifeline.Take(); }
    // Called whenever the acknowledged count moves or a reply arrives;
    // false when a handler destroyed this object.
    virtual bool DoProgress(bool countMoved);
    // Ends the request under way as failed with `why` and the session with
    // it (ssh terminated and reaped in the background).
    void Abandon(const std::string& why);
    // Whether the request that ended last succeeded.
    bool LastOk() const { return FLastOk; }
    // Records why a request was refused before it started.
    void Refused(const std::string& why)
    {
        FErrorMessage = why;
        FErrorCode = sftp::FX_FAILURE;
        FLastOk = false;
    }

private:
    enum class Phase { Closed, Starting, Open, Ending };
    struct Pending {
        std::uint32_t id;
        std::uint8_t what;       // request type sent
        std::uint64_t bytes = 0; // WRITE: data size
    };

    void Check(TSftpRequest request);
    std::string Resolve(const std::string& name) const;
    std::uint32_t Send(std::uint8_t what, const std::string& packet, std::uint64_t bytes = 0);
    std::uint32_t NextId() { return FNextId++; }
    void Display(const std::string& line);
    void Finish(bool ok);
    // Ends a listing: the names sorted, the request done.
    void EndListing();
    void Fail(std::uint32_t code, const std::string& message);
    void Lost(const std::string& why);
    void EndSession();
    void Spawn();
    void Flush();
    void ReadStdout();
    void ReadStderr(bool atEnd);
    void OnReply(const sftp::Reply& reply);
    void StepStore(const sftp::Reply* reply, const Pending& sent);
    void SimpleStatus(const sftp::Reply& reply, const char* what);
    void FillWrites();
    void CloseLocal();
    void ClosePipes();
    void Reap(bool force);
    void ReapNow();
    void WndProc(UINT msg, WPARAM wParam, LPARAM lParam);
    std::string StatusText(const sftp::Reply& reply) const;
    std::string LogInFailure(const std::string& why) const;

    // The askpass channel (SftpAskpassChannel.cpp).
    struct AskPeer {
        int fd = -1;
        std::string request;
    };
    void OpenAskChannel(const std::string& helper);
    void CloseAskChannel();
    void AcceptAsk();
    void ReadAsk(int fd);
    bool AskPeerAllowed(int pid, unsigned uid, std::string& why) const;
    void HandleAsk(int fd, const std::string& hint, const std::string& prompt);
    void AskHostKey(int fd, const std::string& prompt);
    static void AnswerAsk(int fd, bool yes, std::string answer);

    HWND FHandle = 0;
    Phase FPhase = Phase::Closed;
    TSftpRequest FRequest = TSftpRequest::None;
    int FStep = 0;
    pid_t FPid = -1;
    int FIn = -1, FOut = -1, FErr = -1; // our ends of ssh's stdin, stdout, stderr
    std::string FSendBuf;
    std::size_t FSendPos = 0;
    std::string FRecvBuf;
    std::string FErrBuf;
    std::string FLastSshLine;
    std::deque<Pending> FPending;
    std::uint32_t FNextId = 1;
    std::string FCurrentDir;
    std::string FTarget; // the path of the request at hand
    std::string FHandleStr;
    std::vector<std::string> FDirNames;
    // A listing's symbolic links, and the STAT asked about each (by id):
    // a link to a directory is listed as a directory.
    std::vector<std::string> FLinkNames;
    std::map<std::uint32_t, std::string> FLinkStats;
    sftp::Attrs FStat;
    std::vector<std::pair<std::string, std::string>> FExtensions;
    std::string FErrorMessage;
    std::uint32_t FErrorCode = 0;
    bool FLastOk = false;
    bool FFailed = false; // a step failed; the request ends once the rest is answered
    int FLocal = -1;
    std::uint64_t FSent = 0, FAcked = 0;
    bool FLocalEof = false;
    int FKillTicks = 0;
    std::string FSshText; // ssh's standard error during the log-in
    std::string FAskDir, FAskPath, FAskToken, FAskHelper;
    int FAskListen = -1;
    std::vector<AskPeer> FAskPeers;
    unsigned FAskGeneration = 0; // moves whenever the channel closes
    bool FPasswordGiven = false;
    bool FHostKeyAsked = false;
    std::string FRefusedKey; // "ED25519 SHA256:..." when a host key was refused
    TLifeline FLifeline;
};

class TSftpClient : public TCustomSftpCli {
public:
    explicit TSftpClient(TComponent* AOwner = nullptr) : TCustomSftpCli(AOwner) { }

    // Seconds without progress before a call gives up (0: never). The
    // clock restarts whenever the acknowledged count moves or a reply
    // arrives.
    int Timeout = 15;

    // Each starts the request and pumps the message queue until it ends;
    // true when it succeeded. A time-out ends the session.
    bool Connect();
    bool ChangeDir();
    bool MakeDir();
    bool ListDirs();
    bool Store();
    bool Stat();
    bool Rename();
    bool Remove();
    bool SetTimes();
    bool Quit();

protected:
    bool DoProgress(bool countMoved) override;

private:
    bool Run(void (TCustomSftpCli::*start)());
    bool FProgressed = false;
};

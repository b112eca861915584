// ftpput: uploads files with Parcelo's FTP client, headless.
//
//   ftpput [--passive] [--ascii] [--timeout SECONDS] [--tls-cafile FILE]
//          [--tls-fingerprint SHA256HEX] [--retries N] [--temp-suffix SUFFIX]
//          [--if-exists overwrite|skip] [--keep-time] HOST PORT USER PASS DIR FILE...
//
// HOST may carry a prefix: "ftpes://" for explicit TLS (AUTH TLS), "ftps://"
// for implicit TLS, "ftp://" or none for plain FTP. Over TLS the server's
// certificate must verify against the system's authorities (or only those
// in --tls-cafile); with --tls-fingerprint it must instead have that
// SHA-256 fingerprint, whether it verifies or not (the fingerprint is
// pinned). Otherwise the log-in fails (exit 1, the reason on standard
// error). HOST is a name or an address in the usual form (192.0.2.1,
// 2001:db8::1); short, octal and hexadecimal IPv4 forms are refused.
// Logs in, changes to DIR (an empty DIR means the log-in directory), sets
// the transfer type (binary unless --ascii), stores each FILE under its base
// name and quits, printing the FTP dialogue on standard output as it goes.
// A FILE that cannot be read is reported on standard error before the
// log-in; the others still go. A failure quotes the server's reply whole,
// all lines of a multi-line one.
// A broken link is mended by logging in again (--retries, 3 by default)
// and the file that broke is resumed; every binary file's size is checked
// on the server afterwards. Each file that failed is named on standard
// error ("ftpput: STOR FILE failed: ...").
// Exit status: 0 when every file was stored (or skipped), 1 otherwise, 2
// on a usage error. Scripts rely on this interface: keep it stable.
//
// "sftp://HOST" sends the files over SFTP through the system's ssh, in one
// session. The keys of ssh and the agent are tried first; a PASS that is
// not empty is then given to ssh (one try) through Parcelo's askpass
// helper, never on a command line or in an environment. The host key must
// be known to ssh (Parcelo's known-hosts file or ~/.ssh/known_hosts);
// otherwise the log-in fails with the key's type and fingerprint printed.
// With --ssh-fingerprint SHA256:BASE64 the known-hosts files are not read:
// the server's key is taken for this call only when it has exactly that
// fingerprint. ftpput never records a host key. Both protocols go through
// the same upload sequence as the window. --passive has no effect over
// SFTP, and neither has --ascii (SFTP has no text mode: the dialogue says
// so once and the files go unchanged).
#include "ftp/Ftpcli.h"
#include "net/SslContext.h"
#include "sftp/SftpClient.h"
#include "sftp/SftpHostKey.h"
#include "upload/FtpSession.h"
#include "upload/SftpSession.h"
#include "upload/UploadSequence.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr const char* Usage =
    "usage: ftpput [--passive] [--ascii] [--timeout SECONDS] [--tls-cafile FILE]\n"
    "              [--tls-fingerprint SHA256HEX] [--retries N] [--temp-suffix SUFFIX]\n"
    "              [--if-exists overwrite|skip] [--keep-time] HOST PORT USER PASS DIR FILE...\n"
    "       ftpput [--timeout SECONDS] [--ssh-fingerprint SHA256:BASE64] [--retries N]\n"
    "              [--temp-suffix SUFFIX] [--if-exists overwrite|skip] [--keep-time]\n"
    "              sftp://HOST PORT USER PASS DIR FILE...\n"
    "HOST: ftpes://NAME (explicit TLS), ftps://NAME (implicit TLS), ftp://NAME or NAME (plain),\n"
    "      sftp://NAME (SFTP through ssh: its keys and the agent, then PASS unless it is empty)\n";

constexpr const char* Help = "Stores each FILE under its base name in DIR on an FTP or SFTP server (an empty\n"
                             "DIR: the log-in directory), printing the dialogue on standard output; failures and\n"
                             "the server's whole reply to them go to standard error.\n"
                             "\n"
                             "  --passive            passive mode (the client connects for data); the default\n"
                             "                       is active mode (the server connects back to this host)\n"
                             "  --ascii              send in ascii mode; the default is binary\n"
                             "  --timeout SECONDS    give up when nothing moves for this long (default 90)\n"
                             "  --tls-cafile FILE    trust only the authorities in FILE (PEM) for TLS\n"
                             "  --tls-fingerprint HEX  accept only the certificate with this SHA-256\n"
                             "                       fingerprint (64 hex digits, ':' allowed)\n"
                             "  --ssh-fingerprint SHA256:BASE64  sftp:// only: accept the server's host key\n"
                             "                       for this call when it has exactly this fingerprint (as\n"
                             "                       ssh-keygen -l shows it); the known-hosts files are not read\n"
                             "  --retries N          when the connection breaks or times out, log in again up to\n"
                             "                       N times (after 2, 5, 15, 15... s) and resume the file that\n"
                             "                       broke (default 3; 0: give up at once)\n"
                             "  --temp-suffix SUFFIX store each file as NAME+SUFFIX (e.g. .part) and rename it\n"
                             "                       to NAME once complete and its size checked; a file that\n"
                             "                       failed keeps NAME+SUFFIX, which the next run resumes\n"
                             "  --if-exists overwrite|skip  skip a file the server has with the same size and\n"
                             "                       not older (default: overwrite)\n"
                             "  --keep-time          give the server's copy the local modification time (where\n"
                             "                       the server offers it: FTP MFMT, SFTP)\n"
                             "\n"
                             "After each binary file its size on the server is checked (where the server\n"
                             "tells it); a file whose size differs counts as failed.\n"
                             "\n"
                             "sftp://NAME logs in through the system's ssh with its keys and the agent; a\n"
                             "PASS that is not empty is then tried once (an empty PASS: keys and the agent\n"
                             "only). ssh gets the password from Parcelo's helper, not on its command line or\n"
                             "in its environment, and it is never printed. The server's host key must be in\n"
                             "Parcelo's known-hosts file or ~/.ssh/known_hosts, or have the fingerprint given\n"
                             "with --ssh-fingerprint; otherwise the log-in fails and the key's type and\n"
                             "fingerprint are printed. ftpput records no host key. --passive and --ascii\n"
                             "have no effect over SFTP (files go byte for byte).\n"
                             "\n"
                             "Exit status: 0 every file was stored or skipped; 1 something failed (the log-in,\n"
                             "the directory, a file that could not be read or stored; each file not stored is\n"
                             "named on standard error); 2 a usage error.\n";

// The server's replies as the dialogue shows them ("< 451-...", "< 451 ..."),
// so that a failure can quote a multi-line reply whole and not only its
// last line.
class ReplyLog {
public:
    void Add(const std::string& line)
    {
        if (line.size() < 2 || line.compare(0, 2, "< ") != 0)
            return;
        const std::string text = line.substr(2);
        if (!open_)
            current_.clear();
        current_.push_back(text);
        const bool codeFirst = text.size() >= 4 && std::isdigit(static_cast<unsigned char>(text[0])) &&
                               std::isdigit(static_cast<unsigned char>(text[1])) &&
                               std::isdigit(static_cast<unsigned char>(text[2]));
        if (!open_)
            open_ = codeFirst && text[3] == '-';
        else if (codeFirst && text[3] == ' ' && text.compare(0, 3, current_.front(), 0, 3) == 0)
            open_ = false;
        if (!open_)
            last_ = current_;
    }
    // The lines of the last whole reply when it ended with Line, else none.
    std::vector<std::string> Ending(const std::string& line) const
    {
        if (last_.size() > 1 && last_.back() == line)
            return last_;
        return {};
    }

private:
    std::vector<std::string> current_;
    std::vector<std::string> last_;
    bool open_ = false;
};

int UsageError(const char* why)
{
    std::fprintf(stderr, "ftpput: %s\n%s", why, Usage);
    return 2;
}

bool ParseSeconds(const char* text, int& seconds)
{
    char* end = nullptr;
    long value = std::strtol(text, &end, 10);
    if (!*text || *end || value < 0 || value > 24L * 3600 * 365)
        return false;
    seconds = static_cast<int>(value);
    return true;
}

std::string BaseName(const std::string& path)
{
    auto slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// A folder only this user can open, removed with everything in it.
struct PrivateDir {
    std::string path;
    PrivateDir()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "ftpput-ssh.XXXXXX").string();
        if (::mkdtemp(pattern.data()))
            path = pattern;
    }
    ~PrivateDir()
    {
        std::error_code ignored;
        if (!path.empty())
            std::filesystem::remove_all(path, ignored);
    }
};

// What ftpput answered when ssh asked about the server's host key.
struct HostKeyAnswer {
    bool asked = false;
    bool trusted = false;
    std::string keyType;     // "ED25519"
    std::string fingerprint; // "SHA256:..."
};

// ssh reads no known-hosts file but the one given and never takes a key
// from elsewhere (DNS, a command, a connection shared with another ssh),
// so that it asks about the key every time and the pinned fingerprint
// decides.
const std::vector<std::string> PinnedSshOptions = {"GlobalKnownHostsFile=/dev/null", "KnownHostsCommand=none",
                                                   "VerifyHostKeyDNS=no", "ControlMaster=no", "ControlPath=none"};

} // namespace

int main(int argc, char** argv)
{
    bool passive = false;
    bool ascii = false;
    int timeout = 90;
    std::string caFile;
    std::string fingerprint;
    std::string sshFingerprint;
    UploadPolicy policy;
    std::vector<std::string> args;
    bool options = true;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (options && a == "--") {
            options = false;
        } else if (options && a == "--passive") {
            passive = true;
        } else if (options && a == "--ascii") {
            ascii = true;
        } else if (options && a == "--timeout") {
            if (i + 1 >= argc || !ParseSeconds(argv[i + 1], timeout))
                return UsageError("--timeout needs a number of seconds");
            ++i;
        } else if (options && a == "--tls-cafile") {
            if (i + 1 >= argc || !*argv[i + 1])
                return UsageError("--tls-cafile needs a file");
            caFile = argv[++i];
        } else if (options && a == "--tls-fingerprint") {
            if (i + 1 >= argc || !SslParseFingerprint(argv[i + 1], fingerprint))
                return UsageError("--tls-fingerprint needs a SHA-256 fingerprint (64 hex digits, ':' allowed)");
            ++i;
        } else if (options && a == "--ssh-fingerprint") {
            if (i + 1 >= argc || !SftpIsFingerprint(argv[i + 1]))
                return UsageError("--ssh-fingerprint needs a fingerprint as SHA256:BASE64 (43 characters)");
            sshFingerprint = argv[++i];
        } else if (options && a == "--retries") {
            int retries = 0;
            if (i + 1 >= argc || !ParseSeconds(argv[i + 1], retries) || retries > 100)
                return UsageError("--retries needs a number of attempts (0 to 100)");
            policy.retries = retries;
            ++i;
        } else if (options && a == "--temp-suffix") {
            if (i + 1 >= argc || !*argv[i + 1] || std::strchr(argv[i + 1], '/') || std::strpbrk(argv[i + 1], "\r\n"))
                return UsageError("--temp-suffix needs a suffix without '/' or line breaks");
            policy.tempSuffix = argv[++i];
        } else if (options && a == "--if-exists") {
            const std::string value = i + 1 < argc ? argv[i + 1] : "";
            if (value == "overwrite")
                policy.ifExists = IfExists::Overwrite;
            else if (value == "skip")
                policy.ifExists = IfExists::Skip;
            else
                return UsageError("--if-exists needs overwrite or skip");
            ++i;
        } else if (options && a == "--keep-time") {
            policy.keepTime = true;
        } else if (options && (a == "--help" || a == "-h")) {
            std::fputs(Usage, stdout);
            std::fputs(Help, stdout);
            return 0;
        } else if (options && a.size() > 1 && a[0] == '-' && a[1] == '-') {
            return UsageError(("unknown option " + a).c_str());
        } else {
            args.push_back(a);
        }
    }
    if (args.size() < 6)
        return UsageError("missing arguments");

    // A file that cannot be read is reported before anything is sent; the
    // others still go.
    UploadJobDescription job;
    job.directory = args[4];
    job.policy = policy;
    bool allStored = true;
    for (size_t i = 5; i < args.size(); ++i) {
        struct stat st { };
        const int fd = ::open(args[i].c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        const bool regular = fd >= 0 && ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
        const int why = fd < 0 ? errno : EISDIR;
        if (fd >= 0)
            ::close(fd);
        if (!regular) {
            std::fprintf(stderr, "ftpput: %s: %s\n", args[i].c_str(),
                         fd >= 0 && !S_ISDIR(st.st_mode) ? "not a regular file" : std::strerror(why));
            allStored = false;
            continue;
        }
        job.files.push_back({args[i], BaseName(args[i]), ascii, true});
    }
    if (job.files.empty())
        return 1;
    const bool overSftp = ProtocolOfAddress(args[0]) == UploadProtocol::Sftp;

    // Both protocols run the window's upload sequence on the session
    // interface; what differs is set up here.
    std::unique_ptr<UploadSession> session;
    SftpSession* sftp = nullptr;
    std::optional<PrivateDir> pinned;
    HostKeyAnswer hostKey;
    if (overSftp) {
        auto s = std::make_unique<SftpSession>();
        sftp = s.get();
        session = std::move(s);
        // An empty PASS: keys and the agent only.
        session->SetLogin({args[0], args[1], args[2], args[3]});
        TSftpClient& client = sftp->Client();
        client.Timeout = timeout;
        if (!sshFingerprint.empty()) {
            // A known-hosts file of this call, empty: ssh asks about the
            // key whatever the other files hold, and what it records there
            // goes with the folder.
            pinned.emplace();
            if (pinned->path.empty()) {
                std::fprintf(stderr, "ftpput: cannot make a temporary folder\n");
                return 1;
            }
            const std::string file = pinned->path + "/known_hosts";
            if (!std::ofstream(file)) {
                std::fprintf(stderr, "ftpput: cannot write %s\n", file.c_str());
                return 1;
            }
            client.KnownHostsFiles = {file};
            client.SshOptions = PinnedSshOptions;
        }
        // ssh asks about a key no known-hosts file holds: taken only when
        // it has the pinned fingerprint, else refused and shown.
        session->events.trust = [&hostKey, &sshFingerprint](const UploadTrustQuestion& question) {
            if (question.kind != UploadTrustQuestion::Kind::SshHostKey)
                return false;
            hostKey.asked = true;
            hostKey.keyType = question.keyType;
            hostKey.fingerprint = question.fingerprint;
            hostKey.trusted = !sshFingerprint.empty() && question.fingerprint == sshFingerprint;
            return hostKey.trusted;
        };
    } else {
        auto f = std::make_unique<FtpSession>();
        TFtpClient& ftp = f->Client();
        session = std::move(f);
        session->SetLogin({args[0], args[1], args[2], args[3]});
        ftp.SetTimeout(timeout);
        ftp.SetPassive(passive);
        ftp.SetTlsCaFile(caFile);
        ftp.SetTlsFingerprint(fingerprint);
        ftp.SetTlsFingerprintPinned(!fingerprint.empty());
    }

    ReplyLog replies;
    session->events.display = [&replies, overSftp](const std::string& msg) {
        if (!overSftp)
            replies.Add(msg);
        // The password never reaches the output (logs, terminals, CI), nor
        // does a control character the server sent (a terminal's escape
        // sequence, a line break inside a line).
        const std::string shown = msg.rfind("> PASS ", 0) == 0 ? "> PASS (hidden)" : SslVisibleText(msg);
        std::fwrite(shown.data(), 1, shown.size(), stdout);
        std::fputc('\n', stdout);
        std::fflush(stdout);
    };

    auto fail = [&session, &replies](const std::string& what) {
        const std::string why = session->ErrorMessage();
        const std::vector<std::string> whole = replies.Ending(why);
        if (whole.empty()) {
            std::fprintf(stderr, "ftpput: %s failed%s%s\n", what.c_str(), why.empty() ? "" : ": ", why.c_str());
            return;
        }
        std::fprintf(stderr, "ftpput: %s failed:\n", what.c_str());
        for (const std::string& line : whole)
            std::fprintf(stderr, "  %s\n", line.c_str());
    };
    // The steps as each protocol's dialogue names them.
    const std::string cdStep = overSftp ? "cd " : "CWD ";
    const std::string storeStep = overSftp ? "store " : "STOR ";

    // The window's upload sequence, with a script's answers: a missing
    // directory is not created, a failed file does not stop the rest, a
    // refused TYPE stops everything.
    UploadEvents events;
    events.loginFailed = [&] {
        fail("log-in");
        if (!sftp)
            return;
        const std::string& host = sftp->Client().Host;
        if (hostKey.asked && !hostKey.trusted) {
            if (sshFingerprint.empty())
                std::fprintf(stderr, "ftpput: the host key of %s is not known; the server shows:\n", host.c_str());
            else
                std::fprintf(stderr, "ftpput: the host key of %s does not have the fingerprint %s; the server shows:\n",
                             host.c_str(), sshFingerprint.c_str());
            std::fprintf(stderr, "  %s key fingerprint is %s\n", hostKey.keyType.c_str(), hostKey.fingerprint.c_str());
            if (sshFingerprint.empty())
                std::fprintf(stderr, "ftpput: once the server's administrator confirms it, pass it with "
                                     "--ssh-fingerprint (ftpput records no host key)\n");
        } else if (!hostKey.asked &&
                   session->ErrorMessage().find("Host key verification failed") != std::string::npos) {
            // ssh refused the key without asking: the helper is missing.
            std::fprintf(stderr, "ftpput: the host key of %s is not known%s\n", host.c_str(),
                         sshFingerprint.empty() ? "" : " and could not be checked against --ssh-fingerprint");
        }
    };
    events.createDirectory = [&] {
        fail(cdStep + job.directory);
        return false;
    };
    events.directoryNotMade = [] {};
    events.stopOnTypeFailure = [&] {
        fail("TYPE");
        return true;
    };
    events.fileStarting = [](size_t) {};
    events.fileFailed = [&](size_t index, bool) {
        fail(storeStep + job.files[index].localPath);
        allStored = false;
        return true;
    };
    events.stopped = [](size_t, bool) {};
    // A store cut short by an abort still reports success: the session
    // being gone is how that shows.
    events.fileDone = [&](size_t index) {
        if (!session->Connected()) {
            fail(storeStep + job.files[index].localPath);
            allStored = false;
        }
    };
    events.completing = [] {};
    events.lost = [] {};

    // A pinned fingerprint counts only when ssh asked about the key: a
    // log-in that went on without the question is not trusted (the upload
    // sequence then goes on through the session opened here).
    if (sftp && !sshFingerprint.empty()) {
        if (!LogInUnlessOpen(*session)) {
            events.loginFailed();
            session->Drop();
            return 1;
        }
        if (!hostKey.trusted) {
            session->Drop();
            std::fprintf(stderr,
                         "ftpput: log-in failed: ssh did not ask about the host key of %s, so it was not checked "
                         "against --ssh-fingerprint\n",
                         sftp->Client().Host.c_str());
            return 1;
        }
    }

    bool typeKnown = false;
    const UploadResult result = RunUpload(*session, job, events, typeKnown);
    switch (result.end) {
    case UploadEnd::DirectoryMissing:
    case UploadEnd::TypeRefused: (void)session->Quit(); return 1;
    case UploadEnd::Completed:
        if (result.quitFailed && allStored && !overSftp)
            fail("QUIT");
        return allStored ? 0 : 1;
    case UploadEnd::LoginFailed:
    case UploadEnd::Stopped:
    case UploadEnd::Lost:
    case UploadEnd::Cancelled: break;
    }
    return 1;
}

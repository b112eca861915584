// ftpput: uploads files with Parcelo's FTP client, headless.
//
//   ftpput [--passive] [--ascii] [--timeout SECONDS] [--tls-cafile FILE]
//          [--tls-fingerprint SHA256HEX] HOST PORT USER PASS DIR FILE...
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
// Exit status: 0 when every file was stored, 1 otherwise, 2 on a usage
// error. Scripts rely on this interface: keep it stable.
#include "ftp/Ftpcli.h"
#include "ftp/UploadSequence.h"
#include "net/SslContext.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr const char* Usage =
    "usage: ftpput [--passive] [--ascii] [--timeout SECONDS] [--tls-cafile FILE]\n"
    "              [--tls-fingerprint SHA256HEX] HOST PORT USER PASS DIR FILE...\n"
    "HOST: ftpes://NAME (explicit TLS), ftps://NAME (implicit TLS), ftp://NAME or NAME (plain)\n";

constexpr const char* Help = "Stores each FILE under its base name in DIR on an FTP server (an empty DIR: the\n"
                             "log-in directory), printing the FTP dialogue on standard output; failures and\n"
                             "the server's whole reply to them go to standard error.\n"
                             "\n"
                             "  --passive            passive mode (the client connects for data); the default\n"
                             "                       is active mode (the server connects back to this host)\n"
                             "  --ascii              send in ascii mode; the default is binary\n"
                             "  --timeout SECONDS    give up when nothing moves for this long (default 90)\n"
                             "  --tls-cafile FILE    trust only the authorities in FILE (PEM) for TLS\n"
                             "  --tls-fingerprint HEX  accept only the certificate with this SHA-256\n"
                             "                       fingerprint (64 hex digits, ':' allowed)\n"
                             "\n"
                             "Exit status: 0 every file was stored; 1 something failed (the log-in, the\n"
                             "directory, a file that could not be read or stored); 2 a usage error.\n";

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

} // namespace

int main(int argc, char** argv)
{
    bool passive = false;
    bool ascii = false;
    int timeout = 90;
    std::string caFile;
    std::string fingerprint;
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

    TFtpClient ftp(nullptr);
    ftp.SetTimeout(timeout);
    ftp.SetHostName(args[0]);
    ftp.SetPort(args[1]);
    ftp.SetUserName(args[2]);
    ftp.SetPassWord(args[3]);
    ftp.SetPassive(passive);
    ftp.SetTlsCaFile(caFile);
    ftp.SetTlsFingerprint(fingerprint);
    ftp.SetTlsFingerprintPinned(!fingerprint.empty());
    ReplyLog replies;
    ftp.OnDisplay = [&replies](TObject*, std::string& msg) {
        replies.Add(msg);
        // The password never reaches the output (logs, terminals, CI), nor
        // does a control character the server sent (a terminal's escape
        // sequence, a line break inside a line).
        const std::string shown = msg.rfind("> PASS ", 0) == 0 ? "> PASS (hidden)" : SslVisibleText(msg);
        std::fwrite(shown.data(), 1, shown.size(), stdout);
        std::fputc('\n', stdout);
        std::fflush(stdout);
    };

    auto fail = [&ftp, &replies](const std::string& what) {
        std::string why = ftp.ErrorMessage().empty() ? ftp.LastResponse() : ftp.ErrorMessage();
        const std::vector<std::string> whole = replies.Ending(why);
        if (whole.empty()) {
            std::fprintf(stderr, "ftpput: %s failed%s%s\n", what.c_str(), why.empty() ? "" : ": ", why.c_str());
            return;
        }
        std::fprintf(stderr, "ftpput: %s failed:\n", what.c_str());
        for (const std::string& line : whole)
            std::fprintf(stderr, "  %s\n", line.c_str());
    };

    // The window's upload sequence, with a script's answers: a missing
    // directory is not created, a failed file does not stop the rest, a
    // refused TYPE stops everything.
    UploadEvents events;
    events.loginFailed = [&] { fail("log-in"); };
    events.createDirectory = [&] {
        fail("CWD " + job.directory);
        return false;
    };
    events.directoryNotMade = [] {};
    events.stopOnTypeFailure = [&] {
        fail("TYPE");
        return true;
    };
    events.fileStarting = [](size_t) {};
    events.fileFailed = [&](size_t index, bool) {
        fail("STOR " + job.files[index].localPath);
        allStored = false;
        return true;
    };
    events.stopped = [](size_t, bool) {};
    // A store cut short by an abort still reports success: the session
    // being gone is how that shows.
    events.fileDone = [&](size_t index) {
        if (!ftp.Connected()) {
            fail("STOR " + job.files[index].localPath);
            allStored = false;
        }
    };
    events.completing = [] {};
    events.lost = [] {};

    bool typeKnown = false;
    const UploadResult result = RunUpload(ftp, job, events, typeKnown);
    switch (result.end) {
    case UploadEnd::DirectoryMissing:
    case UploadEnd::TypeRefused: (void)ftp.Quit(); return 1;
    case UploadEnd::Completed:
        if (result.quitFailed && allStored)
            fail("QUIT");
        return allStored ? 0 : 1;
    case UploadEnd::LoginFailed:
    case UploadEnd::Stopped:
    case UploadEnd::Lost: break;
    }
    return 1;
}

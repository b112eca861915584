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
// Exit status: 0 when every file was stored, 1 otherwise, 2 on a usage
// error. Scripts rely on this interface: keep it stable.
#include "ftp/Ftpcli.h"
#include "ftp/UploadSequence.h"
#include "net/SslContext.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr const char* Usage =
    "usage: ftpput [--passive] [--ascii] [--timeout SECONDS] [--tls-cafile FILE]\n"
    "              [--tls-fingerprint SHA256HEX] HOST PORT USER PASS DIR FILE...\n"
    "HOST: ftpes://NAME (explicit TLS), ftps://NAME (implicit TLS), ftp://NAME or NAME (plain)\n";

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
            return 0;
        } else if (options && a.size() > 1 && a[0] == '-' && a[1] == '-') {
            return UsageError(("unknown option " + a).c_str());
        } else {
            args.push_back(a);
        }
    }
    if (args.size() < 6)
        return UsageError("missing arguments");

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
    ftp.OnDisplay = [](TObject*, std::string& msg) {
        // The password never reaches the output (logs, terminals, CI), nor
        // does a control character the server sent (a terminal's escape
        // sequence, a line break inside a line).
        const std::string shown = msg.rfind("> PASS ", 0) == 0 ? "> PASS (hidden)" : SslVisibleText(msg);
        std::fwrite(shown.data(), 1, shown.size(), stdout);
        std::fputc('\n', stdout);
        std::fflush(stdout);
    };

    auto fail = [&ftp](const std::string& what) {
        std::string why = ftp.ErrorMessage().empty() ? ftp.LastResponse() : ftp.ErrorMessage();
        std::fprintf(stderr, "ftpput: %s failed%s%s\n", what.c_str(), why.empty() ? "" : ": ", why.c_str());
    };

    // The window's upload sequence, with a script's answers: a missing
    // directory is not created, a failed file does not stop the rest, a
    // refused TYPE stops everything.
    UploadJobDescription job;
    job.directory = args[4];
    for (size_t i = 5; i < args.size(); ++i)
        job.files.push_back({args[i], BaseName(args[i]), ascii, true});

    bool allStored = true;
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

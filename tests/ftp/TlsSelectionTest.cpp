// A selection of files over TLS in one session, sent the way the window
// sends it (upload/UploadSequence.h's RunUpload on a TFtpClient), against
// every real server the tests run: vsftpd and proftpd at their defaults
// (both refuse a data connection that does not resume the control
// connection's TLS session), pyftpdlib's TLS handler and pure-ftpd with
// TLS; explicit and, where the server offers it, implicit TLS; passive and
// active data connections. Every file must arrive byte for byte, and no
// file may be reported stored that the server does not hold. The same
// selection goes to vsftpd and pyftpdlib listening on ::1 only, plain and
// over TLS, where the data connections are set up with EPSV and EPRT.
//
// The servers are shared: one per kind and TLS mode, started on first use
// and stopped when the program ends (ftp.cmake runs this program as one
// CTest test for that reason); the upload folder is emptied before each
// case. The files are made once.
#include "support/FtpTestClient.h"
#include "upload/UploadSequence.h"
#include "support/FtpRealServers.h"
#include "support/LocalDir.h"
#include "support/TestFiles.h"
#include "support/TlsTestCerts.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <sstream>
#include <utility>

namespace fs = std::filesystem;

namespace {

enum class Kind { Vsftpd, Pyftpdlib, PureFtpd, Proftpd };

const char* KindName(Kind kind)
{
    switch (kind) {
    case Kind::Vsftpd: return "Vsftpd";
    case Kind::Pyftpdlib: return "Pyftpdlib";
    case Kind::PureFtpd: return "PureFtpd";
    case Kind::Proftpd: return "Proftpd";
    }
    return "?";
}

// For gtest's messages.
[[maybe_unused]] void PrintTo(Kind kind, std::ostream* out)
{
    *out << KindName(kind);
}

const char* ModeName(FtpTlsMode mode)
{
    return mode == FtpTlsMode::Implicit ? "Implicit" : mode == FtpTlsMode::Explicit ? "Explicit" : "Plain";
}

// The servers of this program, by kind and TLS mode; stopped by the
// environment's TearDown, after the last test.
class SharedServers : public testing::Environment {
public:
    static FtpRealServer* Get(Kind kind, FtpTlsMode mode, std::string& why, FtpListen listen)
    {
        auto& slot = servers_[{{kind, mode}, listen}];
        if (slot.server)
            return slot.server.get();
        if (!slot.why.empty()) {
            why = slot.why;
            return nullptr;
        }
        try {
            const FtpServerTls tls{mode, TestCerts().signedByCa};
            switch (kind) {
            case Kind::Vsftpd: slot.server = StartVsftpd(slot.why, tls, listen); break;
            case Kind::Pyftpdlib: slot.server = StartPyftpdlib(slot.why, 0, tls, listen); break;
            case Kind::PureFtpd:
                if (listen == FtpListen::IPv4)
                    slot.server = StartPureFtpd(slot.why, tls);
                else
                    slot.why = "the IPv6 fixture starts vsftpd and pyftpdlib only";
                break;
            case Kind::Proftpd:
                if (listen == FtpListen::IPv4)
                    slot.server = StartProftpd(slot.why, tls);
                else
                    slot.why = "the IPv6 fixture starts vsftpd and pyftpdlib only";
                break;
            }
        } catch (const std::exception& e) {
            slot.why = e.what();
        }
        if (!slot.server && slot.why.empty())
            slot.why = "did not start";
        why = slot.why;
        return slot.server.get();
    }

    void TearDown() override { servers_.clear(); }

private:
    struct Slot {
        std::unique_ptr<FtpRealServer> server;
        std::string why;
    };
    static inline std::map<std::pair<std::pair<Kind, FtpTlsMode>, FtpListen>, Slot> servers_;
};

[[maybe_unused]] testing::Environment* const sharedServers = testing::AddGlobalTestEnvironment(new SharedServers);

void EmptyUploadFolder(const FtpRealServer& server)
{
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(server.StoredPath(""), ec))
        fs::remove_all(entry.path(), ec);
}

// Sets server to the shared server of that kind and mode, its upload
// folder emptied. One that cannot start skips the test with the reason (the
// caller returns when server is null), but fails it in CI (CI set), where
// every server must run.
void UseServer(Kind kind, FtpTlsMode mode, FtpRealServer*& server, FtpListen listen = FtpListen::IPv4)
{
    std::string why;
    server = SharedServers::Get(kind, mode, why, listen);
    if (server) {
        EmptyUploadFolder(*server);
        return;
    }
    const char* ci = std::getenv("CI");
    if (ci && *ci) {
        FAIL() << KindName(kind) << " (" << ModeName(mode) << ") did not start: " << why;
    }
    GTEST_SKIP() << KindName(kind) << " (" << ModeName(mode) << "): " << why;
}

std::string RandomBytes(size_t size, unsigned seed)
{
    std::mt19937_64 gen(seed);
    std::string data(size, '\0');
    for (size_t i = 0; i < size; i += 8) {
        std::uint64_t v = gen();
        std::memcpy(&data[i], &v, std::min<size_t>(8, size - i));
    }
    return data;
}

// Local files to send, made once per program and kept in memory for the
// comparison.
struct LocalFile {
    std::string name, path, data;
};

std::vector<LocalFile> MakeFiles(const LocalDir& dir, const std::vector<std::pair<std::string, size_t>>& specs)
{
    std::vector<LocalFile> files;
    unsigned seed = 1;
    for (const auto& [name, size] : specs) {
        std::string data = RandomBytes(size, seed++);
        std::string path = dir.Write(name, data);
        files.push_back({name, std::move(path), std::move(data)});
    }
    return files;
}

// The selection of the matrix: one byte, empty, one TLS record's worth of
// payload (16 KiB), 20 MiB, and one byte more than a record. The empty
// file is not first: a store that fails may leave an empty file behind,
// so only a store after the first can show it failing; and a file follows
// the big one.
const std::vector<LocalFile>& Selection()
{
    static const LocalDir dir("parcelo-selection");
    static const std::vector<LocalFile> files = MakeFiles(dir, {{"one.bin", 1},
                                                                {"empty.bin", 0},
                                                                {"record.bin", 16384},
                                                                {"twenty-mib.bin", size_t{20} * 1024 * 1024},
                                                                {"record-plus-one.bin", 16385}});
    return files;
}

// The same without the 20 MiB file.
std::vector<LocalFile> SmallSelection()
{
    std::vector<LocalFile> files;
    for (const LocalFile& f : Selection())
        if (f.data.size() < 1024 * 1024)
            files.push_back(f);
    return files;
}

// A selection of 200 small files, of sizes from 0 to 5,000 bytes.
const std::vector<LocalFile>& ManySmallFiles()
{
    static const LocalDir dir("parcelo-many");
    static const std::vector<LocalFile> files = [] {
        std::vector<std::pair<std::string, size_t>> specs;
        for (size_t i = 0; i < 200; ++i) {
            char name[16];
            std::snprintf(name, sizeof name, "f%03zu.bin", i);
            specs.push_back({name, (i * 2477) % 5001});
        }
        return MakeFiles(dir, specs);
    }();
    return files;
}

const char* Prefix(FtpTlsMode mode)
{
    return mode == FtpTlsMode::Implicit ? "ftps://" : mode == FtpTlsMode::Explicit ? "ftpes://" : "";
}

// A client set up as the window sets it up from a profile: the address
// with its prefix, the port, the user, passive or active; it trusts the
// test authority.
void SetUpClient(FtpTestClient& ftp, const FtpRealServer& server, bool passive)
{
    ftp.SetHostName(Prefix(server.TlsMode()) + server.Host());
    ftp.SetTlsCaFile(TestCerts().caFile);
    ftp.SetPort(server.PortText());
    ftp.SetUserName(server.User());
    ftp.SetPassWord(server.Password());
    ftp.SetPassive(passive);
    // A 20 MiB file under the sanitizers is slow, but moves: the time-out
    // counts from the last progress.
    ftp.SetTimeout(30);
}

// What the upload sequence reported, file by file.
struct Outcome {
    UploadResult result;
    std::set<size_t> started, failed, done;
    // Reported stored: done and never failed.
    bool ReportedStored(size_t i) const { return done.count(i) && !failed.count(i); }
};

// Runs the window's upload sequence; a failed file is answered as a user
// who wants the rest sent ("try the rest": yes).
Outcome Upload(FtpTestClient& ftp, const FtpRealServer& server, const std::vector<LocalFile>& files, bool& typeKnown)
{
    UploadJobDescription job;
    job.directory = server.UploadDir();
    for (const LocalFile& f : files)
        job.files.push_back({f.path, f.name, false, true});
    Outcome o;
    UploadEvents events;
    events.loginFailed = [] {};
    events.createDirectory = [] { return false; };
    events.directoryNotMade = [] {};
    events.stopOnTypeFailure = [] { return false; };
    events.fileStarting = [&](size_t i) { o.started.insert(i); };
    events.fileFailed = [&](size_t i, bool) {
        o.failed.insert(i);
        return true;
    };
    events.stopped = [](size_t, bool) {};
    events.fileDone = [&](size_t i) { o.done.insert(i); };
    events.completing = [] {};
    events.lost = [] {};
    o.result = RunUpload(ftp, job, events, typeKnown);
    return o;
}

size_t Count(const FtpTestClient& ftp, const std::string& prefix)
{
    size_t n = 0;
    for (const auto& line : ftp.displayed)
        n += line.rfind(prefix, 0) == 0;
    return n;
}

// The dialogue's last lines and the server's log, for failure messages.
std::string Evidence(const FtpTestClient& ftp, const FtpRealServer& server)
{
    std::string text = "--- dialogue (last 80 lines)\n";
    const size_t from = ftp.displayed.size() > 80 ? ftp.displayed.size() - 80 : 0;
    for (size_t i = from; i < ftp.displayed.size(); ++i)
        text += ftp.displayed[i] + "\n";
    return text + server.Log();
}

const char* EndName(UploadEnd end)
{
    switch (end) {
    case UploadEnd::Completed: return "Completed";
    case UploadEnd::LoginFailed: return "LoginFailed";
    case UploadEnd::DirectoryMissing: return "DirectoryMissing";
    case UploadEnd::TypeRefused: return "TypeRefused";
    case UploadEnd::Stopped: return "Stopped";
    case UploadEnd::Lost: return "Lost";
    case UploadEnd::Cancelled: return "Cancelled";
    }
    return "?";
}

// What every case checks once the sequence has run: no file reported
// stored that the server does not hold byte for byte; every file stored
// byte for byte; everything in the one session (one log-in, one STOR per
// file), ended with QUIT.
void CheckSelection(const FtpTestClient& ftp, const FtpRealServer& server, const std::vector<LocalFile>& files,
                    const Outcome& o)
{
    const std::string evidence = Evidence(ftp, server);
    size_t reported = 0, held = 0;
    std::string missing;
    for (size_t i = 0; i < files.size(); ++i) {
        const std::string stored = server.StoredPath(files[i].name);
        const bool identical = fs::is_regular_file(stored) && ReadFile(stored) == files[i].data;
        held += identical;
        if (o.ReportedStored(i)) {
            ++reported;
            EXPECT_TRUE(identical) << files[i].name << " was reported stored, but the server holds "
                                   << (fs::exists(stored) ? std::to_string(fs::file_size(stored)) + " other bytes"
                                                          : std::string("nothing"))
                                   << " (" << files[i].data.size() << " sent)";
        }
        if (!identical && missing.size() < 400)
            missing += " " + files[i].name;
    }
    EXPECT_EQ(reported, files.size()) << "files reported stored";
    EXPECT_EQ(held, files.size()) << "files byte-identical on the server; missing or different:" << missing << "\n"
                                  << evidence;
    EXPECT_STREQ(EndName(o.result.end), "Completed");
    EXPECT_FALSE(o.result.quitFailed);
    EXPECT_EQ(o.failed.size(), 0u) << "first failed file: "
                                   << (o.failed.empty() ? std::string() : files[*o.failed.begin()].name);
    EXPECT_EQ(Count(ftp, "> USER "), 1u) << "log-ins";
    EXPECT_EQ(Count(ftp, "> STOR "), files.size()) << "stores";
    EXPECT_EQ(Count(ftp, "> QUIT"), 1u);
    if (server.TlsMode() == FtpTlsMode::Explicit) {
        EXPECT_EQ(Count(ftp, "> AUTH TLS"), 1u);
    }
    EXPECT_EQ(Count(ftp, "> PROT P"), server.TlsMode() == FtpTlsMode::None ? 0u : 1u);
}

// --- the matrix ------------------------------------------------------------

struct Case {
    Kind kind;
    FtpTlsMode mode;
    bool passive;
};

std::string CaseText(const Case& c)
{
    return std::string(KindName(c.kind)) + ModeName(c.mode) + (c.passive ? "Passive" : "Active");
}

std::string CaseName(const testing::TestParamInfo<Case>& info)
{
    return CaseText(info.param);
}

// For gtest's messages.
[[maybe_unused]] void PrintTo(const Case& c, std::ostream* out)
{
    *out << CaseText(c);
}

// Every server, every TLS mode it offers (pure-ftpd: explicit only;
// pyftpdlib, vsftpd and proftpd: implicit too), both data directions.
std::vector<Case> Matrix()
{
    std::vector<Case> cases;
    for (Kind kind : {Kind::Vsftpd, Kind::Pyftpdlib, Kind::PureFtpd, Kind::Proftpd})
        for (FtpTlsMode mode : {FtpTlsMode::Explicit, FtpTlsMode::Implicit})
            for (bool passive : {true, false})
                if (kind != Kind::PureFtpd || mode == FtpTlsMode::Explicit)
                    cases.push_back({kind, mode, passive});
    return cases;
}

class TlsSelection : public testing::TestWithParam<Case> { };

TEST_P(TlsSelection, EveryFileOfTheSelectionArrivesInOneSession)
{
    const Case& c = GetParam();
    FtpRealServer* server = nullptr;
    UseServer(c.kind, c.mode, server);
    if (!server)
        return;
    const auto& files = Selection();
    FtpTestClient ftp;
    SetUpClient(ftp, *server, c.passive);
    bool typeKnown = false;
    const Outcome o = Upload(ftp, *server, files, typeKnown);
    CheckSelection(ftp, *server, files, o);
}

INSTANTIATE_TEST_SUITE_P(Servers, TlsSelection, testing::ValuesIn(Matrix()), CaseName);

// --- 200 small files in one session ------------------------------------------

class TlsManyFiles : public testing::TestWithParam<Kind> { };

TEST_P(TlsManyFiles, TwoHundredSmallFilesArriveInOneSession)
{
    FtpRealServer* server = nullptr;
    UseServer(GetParam(), FtpTlsMode::Explicit, server);
    if (!server)
        return;
    const auto& files = ManySmallFiles();
    FtpTestClient ftp;
    SetUpClient(ftp, *server, true);
    bool typeKnown = false;
    const Outcome o = Upload(ftp, *server, files, typeKnown);
    CheckSelection(ftp, *server, files, o);
}

INSTANTIATE_TEST_SUITE_P(Servers, TlsManyFiles,
                         testing::Values(Kind::Vsftpd, Kind::Pyftpdlib, Kind::PureFtpd, Kind::Proftpd),
                         [](const auto& test) { return std::string(KindName(test.param)); });

// --- a directory listed, then the upload, in the same session -----------------

class TlsListThenUpload : public testing::TestWithParam<Case> { };

// As the directory picker lists a directory (log in unless a session is
// open, CWD, LIST into a file, CDUP back) and leaves the session open, and
// the upload then runs in that session.
TEST_P(TlsListThenUpload, ListingLeavesTheSessionReadyForTheSelection)
{
    const Case& c = GetParam();
    FtpRealServer* server = nullptr;
    UseServer(c.kind, c.mode, server);
    if (!server)
        return;
    std::ofstream(server->StoredPath("already-there.txt")) << "listed\n";
    FtpTestClient ftp;
    SetUpClient(ftp, *server, c.passive);
    LocalDir local("parcelo-listing");
    const std::string listingFile = (local.path / "listing").string();

    ASSERT_TRUE(LogInUnlessOpen(ftp)) << ftp.ErrorMessage() << "\n" << Evidence(ftp, *server);
    ftp.SetHostDirName(server->UploadDir());
    ASSERT_TRUE(ftp.ChangeDir()) << ftp.ErrorMessage();
    ftp.SetDisplayFileFlag(false);
    ftp.SetLocalFileName(listingFile);
    ftp.SetHostFileName(std::string());
    ASSERT_TRUE(ftp.ListDir()) << ftp.ErrorMessage() << "\n" << Evidence(ftp, *server);
    ASSERT_TRUE(ftp.ParentDir()) << ftp.ErrorMessage();
    EXPECT_NE(ReadFile(listingFile).find("already-there.txt"), std::string::npos) << ReadFile(listingFile);
    ASSERT_TRUE(ftp.Connected());

    const std::vector<LocalFile> files = SmallSelection();
    bool typeKnown = false;
    const Outcome o = Upload(ftp, *server, files, typeKnown);
    CheckSelection(ftp, *server, files, o);
    EXPECT_EQ(ReadFile(server->StoredPath("already-there.txt")), "listed\n");
}

INSTANTIATE_TEST_SUITE_P(
    Servers, TlsListThenUpload,
    testing::Values(Case{Kind::Vsftpd, FtpTlsMode::Explicit, true}, Case{Kind::Vsftpd, FtpTlsMode::Implicit, false},
                    Case{Kind::Pyftpdlib, FtpTlsMode::Explicit, true}, Case{Kind::PureFtpd, FtpTlsMode::Explicit, true},
                    Case{Kind::Proftpd, FtpTlsMode::Explicit, true}, Case{Kind::Proftpd, FtpTlsMode::Implicit, false}),
    CaseName);

// --- IPv6 ----------------------------------------------------------------------

struct Ipv6Case {
    Kind kind;
    FtpTlsMode mode;
    bool passive;
    bool brackets; // the address typed as [::1] rather than ::1
};

std::string Ipv6CaseName(const testing::TestParamInfo<Ipv6Case>& info)
{
    const Ipv6Case& c = info.param;
    return std::string(KindName(c.kind)) + ModeName(c.mode) + (c.passive ? "Passive" : "Active") +
           (c.brackets ? "Bracketed" : "Bare");
}

class Ipv6Selection : public testing::TestWithParam<Ipv6Case> { };

// A server that listens on ::1 only: the selection arrives in one session,
// the data connections set up with EPSV or EPRT (never PASV or PORT), over
// TLS with the certificate checked against the address ::1.
TEST_P(Ipv6Selection, EveryFileArrivesOverIPv6)
{
    const Ipv6Case& c = GetParam();
    FtpRealServer* server = nullptr;
    UseServer(c.kind, c.mode, server, FtpListen::IPv6);
    if (!server)
        return;
    const auto& files = Selection();
    FtpTestClient ftp;
    SetUpClient(ftp, *server, c.passive);
    ftp.SetHostName(Prefix(server->TlsMode()) + (c.brackets ? "[" + server->Host() + "]" : server->Host()));
    bool typeKnown = false;
    const Outcome o = Upload(ftp, *server, files, typeKnown);
    CheckSelection(ftp, *server, files, o);
    EXPECT_EQ(Count(ftp, c.passive ? "> EPSV" : "> EPRT |2|::1|"), files.size()) << Evidence(ftp, *server);
    EXPECT_EQ(Count(ftp, "> PASV") + Count(ftp, "> PORT "), 0u);
    if (server->TlsMode() != FtpTlsMode::None) {
        EXPECT_TRUE(ftp.TlsPeer().verified) << ftp.TlsPeer().verifyError;
    }
}

std::vector<Ipv6Case> Ipv6Matrix()
{
    std::vector<Ipv6Case> cases;
    for (Kind kind : {Kind::Vsftpd, Kind::Pyftpdlib})
        for (FtpTlsMode mode : {FtpTlsMode::None, FtpTlsMode::Explicit})
            for (bool passive : {true, false})
                cases.push_back({kind, mode, passive, passive == (mode == FtpTlsMode::None)});
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Servers, Ipv6Selection, testing::ValuesIn(Ipv6Matrix()), Ipv6CaseName);

} // namespace

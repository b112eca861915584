// The client against real servers started on 127.0.0.1: Debian's vsftpd
// and pyftpdlib, in active and passive mode.
#include "support/FtpTestClient.h"
#include "support/LocalDir.h"
#include "support/TestFiles.h"
#include "support/FtpRealServers.h"
#include "support/TlsTestCerts.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <cstring>
#include <random>
#include <sstream>

namespace fs = std::filesystem;

namespace {

enum class Kind { Vsftpd, Pyftpdlib };

// With TLS the server presents the certificate signed by the test
// authority, which the client trusts through its CA file.
std::unique_ptr<FtpRealServer> Start(Kind kind, std::string& why, FtpTlsMode tls = FtpTlsMode::None)
{
    FtpServerTls settings;
    if (tls != FtpTlsMode::None) {
        try {
            settings = {tls, TestCerts().signedByCa};
        } catch (const std::exception& e) {
            why = e.what();
            return nullptr;
        }
    }
    return kind == Kind::Vsftpd ? StartVsftpd(why, settings) : StartPyftpdlib(why, 0, settings);
}

const char* Prefix(FtpTlsMode tls)
{
    switch (tls) {
    case FtpTlsMode::Explicit: return "ftpes://";
    case FtpTlsMode::Implicit: return "ftps://";
    case FtpTlsMode::None: break;
    }
    return "";
}

// FNV-1a, enough to tell two files apart in a failure message.
std::uint64_t Checksum(const std::string& data)
{
    std::uint64_t h = 1469598103934665603ULL;
    for (unsigned char c : data)
        h = (h ^ c) * 1099511628211ULL;
    return h;
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

// What the client displayed, for failure messages.
std::string Dialogue(const FtpTestClient& ftp)
{
    std::string all;
    for (const auto& line : ftp.displayed)
        all += line + "\n";
    return all;
}

// Logs in and changes to the server's upload folder.
void LogIn(FtpTestClient& ftp, const FtpRealServer& server, bool passive)
{
    ftp.SetHostName(Prefix(server.TlsMode()) + server.Host());
    if (server.TlsMode() != FtpTlsMode::None)
        ftp.SetTlsCaFile(TestCerts().caFile);
    ftp.SetPort(server.PortText());
    ftp.SetUserName(server.User());
    ftp.SetPassWord(server.Password());
    ftp.SetPassive(passive);
    ASSERT_TRUE(ftp.Connect()) << server.Name() << ": " << ftp.ErrorMessage();
    ftp.SetHostDirName(server.UploadDir());
    ASSERT_TRUE(ftp.ChangeDir()) << ftp.ErrorMessage();
}

struct UploadCase {
    Kind kind;
    bool passive;
    size_t size;
    FtpTlsMode tls = FtpTlsMode::None;
};

std::string CaseName(const ::testing::TestParamInfo<UploadCase>& info)
{
    const char* tls = info.param.tls == FtpTlsMode::Explicit   ? "_ftpes"
                      : info.param.tls == FtpTlsMode::Implicit ? "_ftps"
                                                               : "";
    return std::string(info.param.kind == Kind::Vsftpd ? "vsftpd" : "pyftpdlib") +
           (info.param.passive ? "_passive_" : "_active_") + std::to_string(info.param.size) + tls;
}

class FtpRealUpload : public ::testing::TestWithParam<UploadCase> { };

} // namespace

TEST_P(FtpRealUpload, StoredFileIsByteIdentical)
{
    const auto& c = GetParam();
    std::string why;
    auto server = Start(c.kind, why, c.tls);
    if (!server)
        GTEST_SKIP() << why;
    LocalDir local("parcelo-real");
    const std::string data = RandomBytes(c.size, static_cast<unsigned>(c.size));
    const std::string path = local.Write("upload.bin", data);

    FtpTestClient ftp;
    LogIn(ftp, *server, c.passive);
    ASSERT_TRUE(ftp.SetBinaryType());
    ftp.SetLocalFileName(path);
    ftp.SetHostFileName("stored.bin");
    std::int64_t lastProgress = -1;
    ftp.OnProgress = [&lastProgress](TObject*, std::int64_t count, bool&) { lastProgress = count; };

    ASSERT_TRUE(ftp.StoreFile()) << ftp.ErrorMessage() << "\n" << Dialogue(ftp);
    EXPECT_EQ(ftp.ByteCount(), static_cast<std::int64_t>(c.size));
    EXPECT_EQ(lastProgress, static_cast<std::int64_t>(c.size));
    bool stats = false;
    for (auto& l : ftp.displayed)
        stats |= l.rfind("! " + std::to_string(c.size) + " bytes received/sent in ", 0) == 0;
    EXPECT_TRUE(stats);
    if (c.tls != FtpTlsMode::None) {
        EXPECT_TRUE(
            ftp.Displayed("! TLS: " + ftp.TlsPeer().protocol + ", " + ftp.TlsPeer().cipher + ", certificate verified"));
        EXPECT_TRUE(ftp.Displayed("> PROT P"));
    }
    EXPECT_TRUE(ftp.Quit());
    EXPECT_FALSE(ftp.Connected());

    const std::string stored = ReadFile(server->StoredPath("stored.bin"));
    EXPECT_EQ(stored.size(), data.size());
    EXPECT_EQ(Checksum(stored), Checksum(data));
    EXPECT_TRUE(stored == data);
}

INSTANTIATE_TEST_SUITE_P(
    Servers, FtpRealUpload, ::testing::ValuesIn([] {
        std::vector<UploadCase> cases;
        for (FtpTlsMode tls : {FtpTlsMode::None, FtpTlsMode::Explicit, FtpTlsMode::Implicit})
            for (Kind kind : {Kind::Vsftpd, Kind::Pyftpdlib})
                for (bool passive : {false, true})
                    for (size_t size : {size_t{0}, size_t{1}, size_t{1514}, size_t{1515}, size_t{20} * 1024 * 1024})
                        cases.push_back({kind, passive, size, tls});
        // A plain store sends 64 KiB pieces: a file of one piece less a byte,
        // one piece, and one piece and a byte.
        for (Kind kind : {Kind::Vsftpd, Kind::Pyftpdlib})
            for (bool passive : {false, true})
                for (size_t size : {size_t{65535}, size_t{65536}, size_t{65537}})
                    cases.push_back({kind, passive, size, FtpTlsMode::None});
        return cases;
    }()),
    CaseName);

class FtpRealSession : public ::testing::TestWithParam<Kind> { };

TEST_P(FtpRealSession, DirectoriesListingAndAsciiUpload)
{
    std::string why;
    auto server = Start(GetParam(), why);
    if (!server)
        GTEST_SKIP() << why;
    LocalDir local("parcelo-real");
    FtpTestClient ftp;
    LogIn(ftp, *server, false);

    ftp.SetHostFileName("reports");
    ASSERT_TRUE(ftp.MakeDir()) << ftp.ErrorMessage();
    EXPECT_NE(ftp.DirResult().find("reports"), std::string::npos) << ftp.LastResponse();
    EXPECT_TRUE(fs::is_directory(server->StoredPath("reports")));
    ftp.SetHostDirName("reports");
    ASSERT_TRUE(ftp.ChangeDir()) << ftp.ErrorMessage();

    const std::string text = "first line\nsecond line\n";
    ASSERT_TRUE(ftp.SetAsciiType());
    ftp.SetLocalFileName(local.Write("notes.txt", text));
    ftp.SetHostFileName("notes.txt");
    ftp.SetPassive(true);
    ASSERT_TRUE(ftp.StoreFile()) << ftp.ErrorMessage();
    EXPECT_EQ(ReadFile(server->StoredPath("reports/notes.txt")), text);
    // Lines across several pieces of the store, the last one short.
    std::string longText;
    for (int line = 0; longText.size() < 3 * 65536 + 7; ++line)
        longText += "line " + std::to_string(line) + " of a text sent in ascii\n";
    ftp.SetLocalFileName(local.Write("long.txt", longText));
    ftp.SetHostFileName("long.txt");
    ASSERT_TRUE(ftp.StoreFile()) << ftp.ErrorMessage();
    EXPECT_TRUE(ReadFile(server->StoredPath("reports/long.txt")) == longText);

    ASSERT_TRUE(ftp.ParentDir()) << ftp.ErrorMessage();
    for (bool passive : {false, true}) {
        ftp.SetPassive(passive);
        ftp.SetLocalFileName((local.path / "listing").string());
        ftp.SetHostFileName("");
        ASSERT_TRUE(ftp.ListDir()) << ftp.ErrorMessage();
        const std::string listing = ReadFile((local.path / "listing").string());
        EXPECT_NE(listing.find("reports"), std::string::npos) << listing;
    }
    ftp.SetHostDirName("no-such-folder");
    EXPECT_FALSE(ftp.ChangeDir());
    EXPECT_EQ(ftp.ErrorMessage().substr(0, 3), "550");
    EXPECT_TRUE(ftp.Quit());
}

INSTANTIATE_TEST_SUITE_P(Servers, FtpRealSession, ::testing::Values(Kind::Vsftpd, Kind::Pyftpdlib),
                         [](const auto& test) {
                             return std::string(test.param == Kind::Vsftpd ? "vsftpd" : "pyftpdlib");
                         });

TEST(FtpRealSlowServer, ProgressFollowsWhatTheServerReceivedAndTheDrainDoesNotTimeOut)
{
    // pyftpdlib reads the upload at 256 KB/s; the system takes most of the
    // file into its buffers at once. The upload needs about six seconds,
    // three times the time-out, and must not fail; progress may never run
    // more than about a second of the transfer ahead of what the server has
    // written to its file.
    constexpr int rate = 256 * 1024;
    constexpr size_t size = 6 * rate;
    std::string why;
    auto server = StartPyftpdlib(why, rate);
    if (!server)
        GTEST_SKIP() << why;
    LocalDir local("parcelo-real");
    const std::string data = RandomBytes(size, 7);
    FtpTestClient ftp;
    LogIn(ftp, *server, true);
    ASSERT_TRUE(ftp.SetBinaryType());
    ftp.SetTimeout(2);
    ftp.SetLocalFileName(local.Write("slow.bin", data));
    ftp.SetHostFileName("slow.bin");
    const std::string stored = server->StoredPath("slow.bin");
    std::int64_t last = -1, mostAhead = 0, events = 0;
    ftp.OnProgress = [&](TObject*, std::int64_t count, bool&) {
        ++events;
        last = count;
        std::error_code ec;
        const auto atServer = fs::exists(stored, ec) ? static_cast<std::int64_t>(fs::file_size(stored, ec)) : 0;
        mostAhead = std::max(mostAhead, count - atServer);
    };

    ASSERT_TRUE(ftp.StoreFile()) << ftp.ErrorMessage();
    EXPECT_LE(mostAhead, rate) << "progress ran ahead of the server by " << mostAhead << " bytes";
    EXPECT_EQ(last, static_cast<std::int64_t>(size));
    EXPECT_GT(events, 0);
    EXPECT_TRUE(ftp.Quit());
    EXPECT_TRUE(ReadFile(stored) == data);
}

class FtpRealTlsListing : public ::testing::TestWithParam<Kind> { };

TEST_P(FtpRealTlsListing, ListingOverTlsIsCompleteInBothModes)
{
    std::string why;
    auto server = Start(GetParam(), why, FtpTlsMode::Explicit);
    if (!server)
        GTEST_SKIP() << why;
    for (const char* name : {"alpha.txt", "beta.bin"})
        std::ofstream(server->StoredPath(name)) << name;
    LocalDir local("parcelo-real");
    FtpTestClient ftp;
    LogIn(ftp, *server, false);
    for (bool passive : {false, true}) {
        ftp.SetPassive(passive);
        ftp.SetLocalFileName((local.path / "listing").string());
        ftp.SetHostFileName("");
        // The server ends each listing with close_notify: no warning of a
        // listing cut short.
        ASSERT_TRUE(ftp.ListDir()) << (passive ? "passive: " : "active: ") << ftp.ErrorMessage() << "\n"
                                   << Dialogue(ftp);
        const std::string listing = ReadFile((local.path / "listing").string());
        EXPECT_NE(listing.find("alpha.txt"), std::string::npos) << listing;
        EXPECT_NE(listing.find("beta.bin"), std::string::npos) << listing;
    }
    EXPECT_TRUE(ftp.Quit());
}

INSTANTIATE_TEST_SUITE_P(Servers, FtpRealTlsListing, ::testing::Values(Kind::Vsftpd, Kind::Pyftpdlib),
                         [](const auto& test) {
                             return std::string(test.param == Kind::Vsftpd ? "vsftpd" : "pyftpdlib");
                         });

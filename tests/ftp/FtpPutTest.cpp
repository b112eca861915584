// The ftpput driver as scripts use it: its exit status, its output and the
// files it stores.
#include "support/LocalDir.h"
#include "support/TestFiles.h"
#include "support/FtpRealServers.h"
#include "support/TlsTestCerts.h"
#include "support/RunProgram.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cctype>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

#ifndef FTPPUT_PATH
#error "FTPPUT_PATH must name the ftpput program"
#endif

namespace fs = std::filesystem;

namespace {

using Result = ProgramResult;

Result RunFtpput(const std::vector<std::string>& args)
{
    return RunProgram(FTPPUT_PATH, args);
}

// The same, with standard error merged into the output (in order).
Result RunFtpputWithErrors(const std::vector<std::string>& args)
{
    std::vector<std::string> shellArgs = {"-c", "exec \"$0\" \"$@\" 2>&1", FTPPUT_PATH};
    shellArgs.insert(shellArgs.end(), args.begin(), args.end());
    return RunProgram("/bin/sh", shellArgs);
}

} // namespace

TEST(FtpPut, UsageErrorsExitWith2)
{
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"127.0.0.1", "21", "user", "pass", "dir"},
        {"--timeout", "soon", "127.0.0.1", "21", "user", "pass", "", "a"},
        {"--timeout"},
        {"--active", "127.0.0.1", "21", "user", "pass", "", "a"},
        {"--tls-fingerprint", "12:34", "127.0.0.1", "21", "user", "pass", "", "a"},
        {"--tls-fingerprint", std::string(64, 'g'), "127.0.0.1", "21", "user", "pass", "", "a"},
        {"--tls-cafile"},
        {"--ssh-fingerprint", "SHA256:tooShort", "sftp://127.0.0.1", "22", "user", "", "", "a"},
        {"--ssh-fingerprint"},
    };
    for (auto& args : cases) {
        Result r = RunFtpput(args);
        EXPECT_EQ(r.status, 2) << testing::PrintToString(args);
        EXPECT_TRUE(r.out.empty());
    }
}

TEST(FtpPut, UploadsEveryFileUnderItsBaseNameAndPrintsTheDialogue)
{
    std::string why;
    auto server = StartPyftpdlib(why);
    if (!server)
        GTEST_SKIP() << why;
    LocalDir local("parcelo-ftpput");
    const std::string a = local.Write("a.bin", std::string(70000, 'a'));
    const std::string b = local.Write("b.txt", "line one\nline two\n");

    for (bool passive : {false, true}) {
        std::vector<std::string> args;
        if (passive)
            args.push_back("--passive");
        for (auto s :
             {server->Host(), server->PortText(), server->User(), server->Password(), server->UploadDir(), a, b})
            args.push_back(s);
        Result r = RunFtpput(args);
        EXPECT_EQ(r.status, 0) << r.out;
        EXPECT_NE(r.out.find("> USER " + server->User() + "\n"), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("> CWD upload\n"), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("> TYPE I\n"), std::string::npos) << r.out;
        EXPECT_NE(r.out.find(passive ? "> PASV\n" : "> PORT 127,0,0,1,"), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("> STOR a.bin\n"), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("> STOR b.txt\n"), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("> QUIT\n"), std::string::npos) << r.out;
        EXPECT_EQ(ReadFile(server->StoredPath("a.bin")), ReadFile(a));
        EXPECT_EQ(ReadFile(server->StoredPath("b.txt")), ReadFile(b));
    }
}

TEST(FtpPut, EmptyDirectoryMeansTheLogInDirectoryAndAsciiSetsTypeA)
{
    std::string why;
    auto server = StartPyftpdlib(why);
    if (!server)
        GTEST_SKIP() << why;
    LocalDir local("parcelo-ftpput");
    const std::string a = local.Write("plain.txt", "text\n");

    Result r = RunFtpput(
        {"--ascii", "--timeout", "30", server->Host(), server->PortText(), server->User(), server->Password(), "", a});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.out.find("> CWD"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("> TYPE A\n"), std::string::npos) << r.out;
    EXPECT_EQ(ReadFile(server->Root() + "/plain.txt"), "text\n");
}

TEST(FtpPut, FailuresExitWith1)
{
    std::string why;
    auto server = StartVsftpd(why);
    if (!server)
        GTEST_SKIP() << why;
    LocalDir local("parcelo-ftpput");
    const std::string good = local.Write("good.bin", "good");
    const std::string missing = (local.path / "missing.bin").string();

    // A missing file is reported before the log-in and fails the run; the
    // others are still stored.
    Result r = RunFtpputWithErrors(
        {server->Host(), server->PortText(), server->User(), server->Password(), server->UploadDir(), missing, good});
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_EQ(r.out.rfind("ftpput: " + missing + ": No such file or directory\n< 220", 0), 0u) << r.out;
    EXPECT_EQ(ReadFile(server->StoredPath("good.bin")), "good");

    // Nothing left to send: no connection at all.
    r = RunFtpputWithErrors({"127.0.0.1", "1", "user", "pass", "", missing});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "ftpput: " + missing + ": No such file or directory\n");

    // No such directory.
    r = RunFtpput({server->Host(), server->PortText(), server->User(), server->Password(), "nowhere", good});
    EXPECT_EQ(r.status, 1) << r.out;

    // The root of the anonymous user cannot be written to.
    r = RunFtpput({server->Host(), server->PortText(), server->User(), server->Password(), "", good});
    EXPECT_EQ(r.status, 1) << r.out;
}

TEST(FtpPut, TlsUploadsWhenTheCertificateIsTrustedAndFailsOtherwise)
{
    const TlsTestCerts* certs = nullptr;
    try {
        certs = &TestCerts();
    } catch (const std::exception& e) {
        GTEST_SKIP() << e.what();
    }
    struct Case {
        const char* name;
        const TlsCertPair* cert;
        std::vector<std::string> options;
        int status;
    };
    const std::string colons = [&] {
        // The fingerprint as tools show it: upper case, with colons.
        std::string out;
        for (size_t i = 0; i < certs->selfSigned.fingerprint.size(); i += 2)
            out += (out.empty() ? "" : ":") + certs->selfSigned.fingerprint.substr(i, 2);
        for (auto& c : out)
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        return out;
    }();
    const Case cases[] = {
        {"CA file", &certs->signedByCa, {"--tls-cafile", certs->caFile}, 0},
        {"fingerprint", &certs->selfSigned, {"--tls-fingerprint", colons}, 0},
        {"neither", &certs->selfSigned, {}, 1},
        {"CA file, self-signed server", &certs->selfSigned, {"--tls-cafile", certs->caFile}, 1},
        // The fingerprint is pinned: a certificate an authority vouches for
        // must have it too.
        {"CA file and another fingerprint",
         &certs->signedByCa,
         {"--tls-cafile", certs->caFile, "--tls-fingerprint", colons},
         1},
        {"CA file and its fingerprint",
         &certs->signedByCa,
         {"--tls-cafile", certs->caFile, "--tls-fingerprint", certs->signedByCa.fingerprint},
         0},
    };
    LocalDir local("parcelo-ftpput");
    const std::string a = local.Write("tls.bin", std::string(5000, 't'));
    for (const Case& c : cases) {
        std::string why;
        auto server = StartVsftpd(why, FtpServerTls{FtpTlsMode::Explicit, *c.cert});
        if (!server)
            GTEST_SKIP() << why;
        std::vector<std::string> args = c.options;
        args.insert(args.end(), {"--timeout", "20"});
        for (auto s : {"ftpes://" + server->Host(), server->PortText(), server->User(), server->Password(),
                       server->UploadDir(), a})
            args.push_back(s);
        Result r = RunFtpputWithErrors(args);
        EXPECT_EQ(r.status, c.status) << c.name << "\n" << r.out;
        if (c.status == 0) {
            EXPECT_NE(r.out.find("> AUTH TLS\n"), std::string::npos) << c.name << "\n" << r.out;
            EXPECT_NE(r.out.find("> PROT P\n"), std::string::npos) << c.name << "\n" << r.out;
            EXPECT_TRUE(ReadFile(server->StoredPath("tls.bin")) == ReadFile(a)) << c.name;
        } else {
            EXPECT_NE(r.out.find("ftpput: log-in failed: 534 Certificate not trusted: "), std::string::npos)
                << c.name << "\n"
                << r.out;
            EXPECT_EQ(r.out.find("> USER"), std::string::npos) << c.name << "\n" << r.out;
        }
    }
}

// The host of the address is read once, as an address only in its usual
// form: "127.1", "2130706433" and "0177.0.0.1" would reach 127.0.0.1 while
// the certificate was checked against nothing or 177.0.0.1. The server's
// certificate is valid for 127.0.0.1 and trusted through the CA file.
TEST(FtpPut, OtherAddressFormsAreRefusedWithTheReason)
{
    const TlsTestCerts* certs = nullptr;
    try {
        certs = &TestCerts();
    } catch (const std::exception& e) {
        GTEST_SKIP() << e.what();
    }
    std::string why;
    auto server = StartVsftpd(why, FtpServerTls{FtpTlsMode::Explicit, certs->signedByCa});
    if (!server)
        GTEST_SKIP() << why;
    LocalDir local("parcelo-ftpput");
    const std::string a = local.Write("form.bin", "form");
    for (const char* host : {"127.1", "2130706433", "0177.0.0.1"}) {
        Result r =
            RunFtpputWithErrors({"--tls-cafile", certs->caFile, "--timeout", "20", std::string("ftpes://") + host,
                                 server->PortText(), server->User(), server->Password(), server->UploadDir(), a});
        EXPECT_EQ(r.status, 1) << host << "\n" << r.out;
        EXPECT_NE(r.out.find("ftpput: log-in failed: 500 ESocketException: DNS lookup: '" + std::string(host) +
                             "' is not an IPv4 address in the usual form: write four decimal numbers"),
                  std::string::npos)
            << host << "\n"
            << r.out;
        EXPECT_EQ(r.out.find("> AUTH TLS"), std::string::npos) << host << "\n" << r.out;
        EXPECT_EQ(ReadFile(server->StoredPath("form.bin")), "") << host;
    }
}

// The ftpput driver as scripts use it: its exit status, its output and the
// files it stores.
#include "support/LocalDir.h"
#include "support/FtpRealServers.h"
#include "support/RunProgram.h"

#include <gtest/gtest.h>

#include <unistd.h>

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

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
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

    // A missing file fails, the others are still stored.
    Result r = RunFtpput(
        {server->Host(), server->PortText(), server->User(), server->Password(), server->UploadDir(), missing, good});
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.out.find("! 426 Unable to open local file " + missing), std::string::npos) << r.out;
    EXPECT_EQ(ReadFile(server->StoredPath("good.bin")), "good");

    // No such directory.
    r = RunFtpput({server->Host(), server->PortText(), server->User(), server->Password(), "nowhere", good});
    EXPECT_EQ(r.status, 1) << r.out;

    // The root of the anonymous user cannot be written to.
    r = RunFtpput({server->Host(), server->PortText(), server->User(), server->Password(), "", good});
    EXPECT_EQ(r.status, 1) << r.out;
}

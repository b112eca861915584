// Exact dialogues on IPv6: EPSV and EPRT on an IPv6 control connection,
// strict reading of the 229 reply, the peer rule for active connections,
// host names that resolve to IPv6 (or fail to resolve).
#include "support/FtpTestClient.h"
#include "net/WSocket.h"
#include "support/FtpScriptServer.h"
#include "support/TestFiles.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;
using Commands = std::vector<std::string>;
using Family = FtpScriptServer::Family;

namespace {

// Names answered by the test table instead of the system.
struct TestHosts {
    explicit TestHosts(const std::vector<std::pair<std::string, std::vector<std::string>>>& table)
    {
        winsock::WSASetTestHostTable(table);
    }
    ~TestHosts() { winsock::WSASetTestHostTable({}); }
};

// The server's half of one store: the data command's reply (EPSV opens a
// listener, EPRT is connected to), STOR, the bytes, 226.
void ServeStore(FtpScriptSession& s, std::string& received)
{
    std::string command;
    ASSERT_TRUE(s.ReadCommand(command));
    const bool passive = command == "EPSV";
    s.Reply(passive ? s.OpenExtendedPassive() : "200 EPRT command successful");
    std::string stor;
    ASSERT_TRUE(s.ReadCommand(stor));
    ASSERT_TRUE(passive ? s.AcceptData() : s.ConnectActive(command));
    s.Reply("150 Opening data connection");
    received = s.ReceiveAllData();
    s.CloseData();
    s.Reply("226 Transfer complete");
}

void Prepare(FtpTestClient& ftp, const FtpScriptServer& server, const std::string& host, bool passive)
{
    Prepare(ftp, server);
    ftp.SetHostName(host);
    ftp.SetPassive(passive);
}

} // namespace

// On an IPv6 control connection the data connection is set up with EPSV or
// EPRT, whichever way the address is written or the name resolves.
TEST(FtpIPv6Dialogue, DataConnectionsUseEpsvAndEprt)
{
    TestHosts hosts({{"v6only.test", {"::1"}}, {"v4down.test", {"127.0.0.3", "::1"}}});
    const struct {
        const char* host;
        bool passive;
    } cases[] = {
        {"::1", true},         {"::1", false},         {"[::1]", true},       {"ftp://[::1]/", false},
        {"v6only.test", true}, {"v6only.test", false}, {"v4down.test", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.host) + (c.passive ? " passive" : " active"));
        std::string received;
        FtpScriptServer server(
            [&received](FtpScriptSession& s) {
                LogIn(s);
                ServeStore(s, received);
                s.WaitForClose();
            },
            Family::IPv6);
        TempFile file(std::string(70000, 'x') + "end");
        FtpTestClient ftp;
        Prepare(ftp, server, c.host, c.passive);
        ASSERT_TRUE(ftp.Connect()) << ftp.ErrorMessage();
        ftp.SetLocalFileName(file.path);
        ftp.SetHostFileName("remote.bin");
        EXPECT_TRUE(ftp.StoreFile()) << ftp.ErrorMessage();
        ftp.Abort();
        const Commands commands = server.Join();
        ASSERT_EQ(4u, commands.size());
        if (c.passive) {
            EXPECT_EQ("EPSV", commands[2]);
        } else {
            EXPECT_EQ(0u, commands[2].rfind("EPRT |2|::1|", 0)) << commands[2];
            EXPECT_EQ('|', commands[2].back());
        }
        EXPECT_EQ("STOR remote.bin", commands[3]);
        EXPECT_EQ(std::string(70000, 'x') + "end", received);
    }
}

// A 229 reply is read strictly: "(|||port|)" with one delimiter throughout
// and empty address fields; anything else fails the transfer before STOR,
// as a bad PASV reply does.
TEST(FtpIPv6Dialogue, BadEpsvRepliesFailTheTransfer)
{
    // (The reading itself has its table in FtpReplyTest.)
    const char* replies[] = {
        "229 Entering Extended Passive Mode (|||0|)",
        "229 Entering Extended Passive Mode (|2|::1|2000|)",
        "229 Entering Extended Passive Mode (|||2000)",
        "227 Entering Passive Mode (127,0,0,1,195,80)",
    };
    for (const char* reply : replies) {
        SCOPED_TRACE(reply);
        FtpScriptServer server(
            [reply](FtpScriptSession& s) {
                LogIn(s);
                s.Answer(reply);
                s.WaitForClose();
            },
            Family::IPv6);
        TempFile file("data");
        FtpTestClient ftp;
        Prepare(ftp, server, "::1", true);
        ASSERT_TRUE(ftp.Connect());
        ftp.SetLocalFileName(file.path);
        ftp.SetHostFileName("a.bin");
        EXPECT_FALSE(ftp.StoreFile());
        EXPECT_EQ(std::string("426 No data port in the EPSV reply: ") + reply, ftp.ErrorMessage());
        ftp.Abort();
        const Commands commands = server.Join();
        ASSERT_EQ(3u, commands.size());
        EXPECT_EQ("EPSV", commands[2]);
    }
}

// An active data connection from anyone but the control connection's peer
// (here 127.0.0.1, arriving on the IPv6 listener as a v4-mapped address)
// is closed; the server's own connection from ::1 then carries the data.
TEST(FtpIPv6Dialogue, EprtConnectionFromAnotherAddressIsRefused)
{
    std::string received;
    std::string strangerGot = "(not run)";
    FtpScriptServer server(
        [&](FtpScriptSession& s) {
            LogIn(s);
            const std::string eprt = s.Answer("200 EPRT command successful");
            std::string stor;
            ASSERT_TRUE(s.ReadCommand(stor));
            const int stranger = FtpScriptSession::ConnectFrom(eprt, "127.0.0.1");
            ASSERT_GE(stranger, 0);
            strangerGot = s.ReadToEnd(stranger);
            ::close(stranger);
            ASSERT_TRUE(s.ConnectActive(eprt));
            s.Reply("150 Opening data connection");
            received = s.ReceiveAllData();
            s.CloseData();
            s.Reply("226 Transfer complete");
            s.WaitForClose();
        },
        Family::IPv6);
    TempFile file("the data");
    FtpTestClient ftp;
    Prepare(ftp, server, "::1", false);
    ASSERT_TRUE(ftp.Connect());
    ftp.SetLocalFileName(file.path);
    ftp.SetHostFileName("a.bin");
    EXPECT_TRUE(ftp.StoreFile()) << ftp.ErrorMessage();
    ftp.Abort();
    server.Join();
    EXPECT_EQ("", strangerGot);
    EXPECT_EQ("the data", received);
    EXPECT_TRUE(ftp.Displayed("! Data connection from ::ffff:127.0.0.1 refused"));
}

// A name that does not resolve says so in words, with the number after;
// nothing is connected.
TEST(FtpIPv6Dialogue, ANameThatDoesNotResolveSaysSo)
{
    TestHosts hosts({{"noaddress.test", std::vector<std::string>{}}});
    const struct {
        const char* host;
        std::string response;
    } cases[] = {
        {"noaddress.test", "500 Host name has no address: noaddress.test (error #11004)"},
        {"ftpes://noaddress.test/", "500 Host name has no address: noaddress.test (error #11004)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.host);
        FtpTestClient ftp;
        ftp.SetHostName(c.host);
        ftp.SetPort("21");
        ftp.SetUserName("bob");
        ftp.SetPassWord("secret");
        EXPECT_FALSE(ftp.Connect());
        EXPECT_EQ(c.response, ftp.LastResponse());
    }
    // The system's own answer for a name that does not exist.
    FtpTestClient ftp;
    ftp.SetHostName("no-such-host.invalid");
    ftp.SetPort("21");
    EXPECT_FALSE(ftp.Connect());
    EXPECT_EQ(0u, ftp.LastResponse().rfind("500 Host name ", 0)) << ftp.LastResponse();
    EXPECT_NE(std::string::npos, ftp.LastResponse().find(": no-such-host.invalid (error #110")) << ftp.LastResponse();
}

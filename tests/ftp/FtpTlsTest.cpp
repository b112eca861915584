// FTP over TLS against the scripted server: the address prefixes, the
// AUTH TLS dialogue and its failures, the certificate trust decision, and
// TLS data connections that end badly.
#include "FtpTestClient.h"
#include "support/FtpScriptServer.h"
#include "support/TlsTestCerts.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

using Commands = std::vector<std::string>;

namespace {

void Prepare(FtpTestClient& ftp, const FtpScriptServer& server, const std::string& prefix)
{
    ftp.SetHostName(prefix + "127.0.0.1");
    ftp.SetPort(server.PortText());
    ftp.SetUserName("bob");
    ftp.SetPassWord("secret");
}

bool DisplayedStart(const FtpTestClient& ftp, const std::string& start)
{
    return std::any_of(ftp.displayed.begin(), ftp.displayed.end(),
                       [&](const std::string& l) { return l.rfind(start, 0) == 0; });
}

} // namespace

// --- the address prefixes ------------------------------------------------------

TEST(FtpTlsAddress, PrefixSaysTheSecurityAndIsTakenOffTheHost)
{
    struct Case {
        const char* text;
        TFtpSecurity security;
        const char* host;
    };
    const Case cases[] = {
        {"ftp.example.org", TFtpSecurity::None, "ftp.example.org"},
        {"ftp://ftp.example.org", TFtpSecurity::None, "ftp.example.org"},
        {"ftpes://ftp.example.org", TFtpSecurity::Explicit, "ftp.example.org"},
        {"ftps://ftp.example.org", TFtpSecurity::Implicit, "ftp.example.org"},
        {"FTPES://Ftp.Example.org/", TFtpSecurity::Explicit, "Ftp.Example.org"},
        {"FtpS://127.0.0.1", TFtpSecurity::Implicit, "127.0.0.1"},
        {"ftp://host//", TFtpSecurity::None, "host/"},
        {"127.0.0.1/", TFtpSecurity::None, "127.0.0.1"},
        {"sftp://host", TFtpSecurity::None, "sftp://host"},
        {"ftpes:/host", TFtpSecurity::None, "ftpes:/host"},
        {"ftps://", TFtpSecurity::Implicit, ""},
        {"", TFtpSecurity::None, ""},
    };
    for (const Case& c : cases) {
        const TFtpAddress a = FtpSplitAddress(c.text);
        EXPECT_EQ(a.security, c.security) << c.text;
        EXPECT_EQ(a.host, c.host) << c.text;
    }
}

// --- plain sessions send what they always sent ---------------------------------

class FtpPlainPrefix : public ::testing::TestWithParam<const char*> { };

TEST_P(FtpPlainPrefix, LogInSendsNoTlsCommands)
{
    FtpScriptServer server([](FtpScriptSession& s) {
        s.Reply("220 Scripted server ready");
        s.Answer("331 Password required");
        s.Answer("230 Logged in");
        s.WaitForClose();
    });
    FtpTestClient ftp;
    Prepare(ftp, server, GetParam());

    ASSERT_TRUE(ftp.Connect()) << ftp.ErrorMessage();
    EXPECT_EQ(ftp.Security(), TFtpSecurity::None);
    EXPECT_FALSE(DisplayedStart(ftp, "! TLS"));
    ftp.Abort();
    EXPECT_EQ(server.Join(), (Commands{"USER bob", "PASS secret"}));
}

INSTANTIATE_TEST_SUITE_P(Addresses, FtpPlainPrefix, ::testing::Values("", "ftp://", "FTP://"), [](const auto& info) {
    return std::string(*info.param ? "FtpScheme" : "BareHost") + (std::string(info.param) == "FTP://" ? "Upper" : "");
});

// --- explicit TLS refused or tampered with ---------------------------------------

TEST(FtpTls, ServerRefusingAuthFailsTheLogInWithoutSendingUser)
{
    FtpScriptServer server([](FtpScriptSession& s) {
        s.Reply("220 Scripted server ready");
        s.Answer("502 Command not implemented");
        s.WaitForClose();
    });
    FtpTestClient ftp;
    Prepare(ftp, server, "ftpes://");

    EXPECT_FALSE(ftp.Connect());
    EXPECT_EQ(ftp.Security(), TFtpSecurity::Explicit);
    EXPECT_EQ(ftp.ErrorMessage(), "502 Command not implemented");
    EXPECT_EQ(ftp.StatusCode(), 502);
    EXPECT_TRUE(ftp.Displayed("! The server does not offer TLS (AUTH TLS refused); nothing was sent in clear"));
    EXPECT_FALSE(ftp.Connected());
    EXPECT_EQ(ftp.State(), ftpStReady);
    EXPECT_EQ(server.Join(), (Commands{"AUTH TLS"}));
}

TEST(FtpTls, BytesInClearBehindThe234FailTheLogIn)
{
    FtpScriptServer server([](FtpScriptSession& s) {
        s.Reply("220 Scripted server ready");
        std::string line;
        s.ReadCommand(line);
        // A forged reply in clear behind the 234, in the same segment.
        s.Send("234 Go ahead\r\n230 Logged in\r\n");
        s.WaitForClose();
    });
    FtpTestClient ftp;
    Prepare(ftp, server, "ftpes://");

    EXPECT_FALSE(ftp.Connect());
    EXPECT_EQ(ftp.ErrorMessage(), "534 Data in clear after the 234 reply to AUTH TLS; connection closed");
    EXPECT_FALSE(ftp.Connected());
    EXPECT_EQ(server.Join(), (Commands{"AUTH TLS"}));
}

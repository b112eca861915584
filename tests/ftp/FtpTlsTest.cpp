// FTP over TLS against the scripted server: the address prefixes, the
// AUTH TLS dialogue and its failures, the certificate trust decision, and
// TLS data connections that end badly.
#include "support/FtpTestClient.h"
#include "support/FtpScriptServer.h"
#include "support/LocalDir.h"
#include "support/TlsTestCerts.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>

using Commands = std::vector<std::string>;

namespace {

void Prepare(FtpTestClient& ftp, const FtpScriptServer& server, const std::string& prefix)
{
    Prepare(ftp, server);
    ftp.SetHostName(prefix + "127.0.0.1");
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

INSTANTIATE_TEST_SUITE_P(Addresses, FtpPlainPrefix, ::testing::Values("", "ftp://", "FTP://"), [](const auto& test) {
    return std::string(*test.param ? "FtpScheme" : "BareHost") + (std::string(test.param) == "FTP://" ? "Upper" : "");
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

// --- TLS sessions against the scripted server ----------------------------------------

namespace {

const TlsTestCerts* Certs()
{
    try {
        return &TestCerts();
    } catch (const std::exception&) {
        return nullptr;
    }
}

// The server's side up to a secured control connection: the greeting and
// AUTH TLS for explicit TLS, the handshake at once for implicit TLS.
bool SecureControl(FtpScriptSession& s, bool implicit, const TlsCertPair& cert)
{
    if (implicit) {
        if (!s.StartTlsControl(cert))
            return false;
        s.Reply("220 Scripted TLS server ready");
        return true;
    }
    s.Reply("220 Scripted server ready");
    std::string line;
    if (!s.ReadCommand(line))
        return false;
    s.Reply("234 Proceed with negotiation");
    return s.StartTlsControl(cert);
}

// The rest of a secured log-in: USER, PASS, PBSZ, PROT.
void SecuredLogIn(FtpScriptSession& s)
{
    s.Answer("331 Password required");
    s.Answer("230 Logged in");
    s.Answer("200 PBSZ=0");
    s.Answer("200 Protection level set to P");
}

const Commands SecuredLogInCommands = {"AUTH TLS", "USER bob", "PASS secret", "PBSZ 0", "PROT P"};

std::string Colons(const std::string& hex)
{
    std::string out;
    for (size_t i = 0; i < hex.size(); i += 2)
        out += (out.empty() ? "" : ":") + hex.substr(i, 2);
    for (auto& c : out)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return out;
}

} // namespace

class FtpTlsBrokenHandshake : public ::testing::TestWithParam<int> { };

// Each fails the log-in cleanly, before the time-out, without USER.
TEST_P(FtpTlsBrokenHandshake, FailsTheLogInWithoutSendingUser)
{
    const int which = GetParam();
    FtpScriptServer server([which](FtpScriptSession& s) {
        if (which == 2) {
            s.CutHandshake(); // implicit TLS: the first handshake is cut
            return;
        }
        s.Reply("220 Scripted server ready");
        std::string line;
        s.ReadCommand(line);
        s.Reply("234 Proceed with negotiation");
        if (which == 0) {
            s.CutHandshake();
            return;
        }
        // Plain text where the server's handshake should be. The read
        // gives the client's hello time to leave first (it ends at a line
        // end in the hello or after a second).
        s.SetReadTimeout(1);
        s.ReadCommand(line);
        s.Send("500 This is not TLS at all\r\n");
        s.SetReadTimeout(20);
        s.WaitForClose();
    });
    FtpTestClient ftp;
    Prepare(ftp, server, which == 2 ? "ftps://" : "ftpes://");

    EXPECT_FALSE(ftp.Connect());
    EXPECT_EQ(ftp.ErrorMessage().rfind("534 TLS handshake failed: ", 0), 0u) << ftp.ErrorMessage();
    EXPECT_NE(ftp.ErrorMessage(), "426 Timeout");
    EXPECT_TRUE(DisplayedStart(ftp, "! 534 TLS handshake failed: "));
    EXPECT_FALSE(ftp.Connected());
    EXPECT_EQ(ftp.State(), ftpStReady);
    for (const auto& c : server.Join())
        EXPECT_NE(c.rfind("USER", 0), 0u) << c;
}

std::string BrokenHandshakeName(const ::testing::TestParamInfo<int>& info)
{
    return info.param == 0 ? "CutAfterAuth" : info.param == 1 ? "PlainTextAfterAuth" : "CutImplicit";
}

INSTANTIATE_TEST_SUITE_P(Cases, FtpTlsBrokenHandshake, ::testing::Values(0, 1, 2), BrokenHandshakeName);

struct TrustCase {
    const char* name;
    bool implicit;
    enum Cert { SignedByCa, SelfSigned, OtherSelfSigned } presented;
    bool caFile;
    bool rememberSelfSigned; // TlsFingerprint set to the self-signed one's
    enum Handler { None, Yes, No } handler;
    bool accepted;
    const char* how; // end of the "! TLS: ..." line
    bool asked;
};

class FtpTlsTrust : public ::testing::TestWithParam<TrustCase> { };

TEST_P(FtpTlsTrust, CertificateIsAcceptedOrTheLogInFails)
{
    const TrustCase& c = GetParam();
    const TlsTestCerts* certs = Certs();
    if (!certs)
        GTEST_SKIP() << "no test certificates (openssl missing?)";
    const TlsCertPair& cert = c.presented == TrustCase::SignedByCa   ? certs->signedByCa
                              : c.presented == TrustCase::SelfSigned ? certs->selfSigned
                                                                     : certs->otherSelfSigned;
    FtpScriptServer server([&c, &cert](FtpScriptSession& s) {
        if (!SecureControl(s, c.implicit, cert))
            return;
        if (c.accepted)
            SecuredLogIn(s);
        s.WaitForClose();
    });
    FtpTestClient ftp;
    Prepare(ftp, server, c.implicit ? "ftps://" : "ftpes://");
    if (c.caFile)
        ftp.SetTlsCaFile(certs->caFile);
    if (c.rememberSelfSigned)
        ftp.SetTlsFingerprint(Colons(certs->selfSigned.fingerprint)); // as a user would paste it
    int asked = 0;
    TFtpCertificateQuestion question;
    if (c.handler != TrustCase::None)
        ftp.OnVerifyCertificate = [&](TObject*, const TFtpCertificateQuestion& q, bool& trust) {
            ++asked;
            question = q;
            trust = c.handler == TrustCase::Yes;
        };

    const bool connected = ftp.Connect();
    EXPECT_EQ(connected, c.accepted) << ftp.ErrorMessage();
    EXPECT_EQ(asked, c.asked ? 1 : 0);
    if (c.asked) {
        EXPECT_EQ(question.host, "127.0.0.1");
        EXPECT_EQ(question.peer.fingerprint, cert.fingerprint);
        EXPECT_FALSE(question.peer.verified);
        EXPECT_EQ(question.rememberedFingerprint,
                  c.rememberSelfSigned ? Colons(certs->selfSigned.fingerprint) : std::string());
    }
    if (c.accepted) {
        EXPECT_TRUE(ftp.Displayed("! TLS: " + ftp.TlsPeer().protocol + ", " + ftp.TlsPeer().cipher + ", " + c.how))
            << ftp.displayed.size();
        if (c.handler == TrustCase::Yes) {
            EXPECT_EQ(ftp.TlsFingerprint(), cert.fingerprint);
        }
        ftp.Abort();
        Commands expected = SecuredLogInCommands;
        if (c.implicit)
            expected.erase(expected.begin());
        EXPECT_EQ(server.Join(), expected);
    } else {
        EXPECT_EQ(ftp.ErrorMessage(), "534 Certificate not trusted: " + ftp.TlsPeer().verifyError);
        EXPECT_FALSE(ftp.TlsPeer().verifyError.empty());
        EXPECT_TRUE(DisplayedStart(ftp, "! Certificate of 127.0.0.1 not trusted: "));
        EXPECT_FALSE(ftp.Connected());
        EXPECT_EQ(server.Join(), c.implicit ? Commands{} : Commands{"AUTH TLS"});
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FtpTlsTrust,
    ::testing::Values(TrustCase{"VerifiedWithCaFile", false, TrustCase::SignedByCa, true, false, TrustCase::No, true,
                                "certificate verified", false},
                      TrustCase{"VerifiedWithCaFileImplicit", true, TrustCase::SignedByCa, true, false, TrustCase::No,
                                true, "certificate verified", false},
                      TrustCase{"RememberedFingerprintAcceptedSilently", false, TrustCase::SelfSigned, false, true,
                                TrustCase::No, true, "certificate trusted by its remembered fingerprint", false},
                      TrustCase{"ChangedCertificateAskedAndTrusted", false, TrustCase::OtherSelfSigned, false, true,
                                TrustCase::Yes, true, "certificate trusted by the user", true},
                      TrustCase{"UnknownCertificateRefusedByTheHandler", false, TrustCase::SelfSigned, false, false,
                                TrustCase::No, false, "", true},
                      TrustCase{"UnknownCertificateRefusedByTheHandlerImplicit", true, TrustCase::SelfSigned, false,
                                false, TrustCase::No, false, "", true},
                      TrustCase{"UnknownCertificateWithoutHandler", false, TrustCase::SelfSigned, false, false,
                                TrustCase::None, false, "", false},
                      TrustCase{"SelfSignedWithAnUnrelatedCaFile", false, TrustCase::SelfSigned, true, false,
                                TrustCase::None, false, "", false}),
    [](const auto& test) { return std::string(test.param.name); });

TEST(FtpTls, AnAnswerThatTakesLongerThanTheTimeoutDoesNotTimeTheLogInOut)
{
    // The question box waits for the user; a log-in whose time-out ran on
    // meanwhile would fail right after a Yes.
    const TlsTestCerts* certs = Certs();
    if (!certs)
        GTEST_SKIP() << "no test certificates (openssl missing?)";
    FtpScriptServer server([certs](FtpScriptSession& s) {
        if (!SecureControl(s, false, certs->selfSigned))
            return;
        SecuredLogIn(s);
        s.WaitForClose();
    });
    FtpTestClient ftp;
    Prepare(ftp, server, "ftpes://");
    ftp.SetTimeout(1);
    ftp.OnVerifyCertificate = [](TObject*, const TFtpCertificateQuestion&, bool& trust) {
        // The user reads the box for longer than the time-out (a modal box
        // runs the message loop meanwhile).
        const DWORD start = GetTickCount();
        while (GetTickCount() - start < 1500) {
            ProcessMessages();
            WaitMessage(50);
        }
        trust = true;
    };
    EXPECT_TRUE(ftp.Connect()) << ftp.ErrorMessage();
    ftp.Abort();
    EXPECT_EQ(server.Join(), SecuredLogInCommands);
}

struct DataCase {
    const char* name;
    bool closeNotify;  // the server ends the listing with close_notify
    const char* error; // empty: the listing succeeds
};

class FtpTlsListing : public ::testing::TestWithParam<DataCase> { };

TEST_P(FtpTlsListing, ListingEndsAsItsDataConnectionEnds)
{
    const DataCase& c = GetParam();
    const TlsTestCerts* certs = Certs();
    if (!certs)
        GTEST_SKIP() << "no test certificates (openssl missing?)";
    bool resumed = false;
    FtpScriptServer server([&](FtpScriptSession& s) {
        if (!SecureControl(s, false, certs->selfSigned))
            return;
        SecuredLogIn(s);
        s.SetDataTls(certs->selfSigned);
        s.Answer(s.OpenPassive());
        std::string line;
        s.ReadCommand(line);
        s.Reply("150 Here comes the listing");
        if (s.AcceptData()) {
            resumed = s.DataSessionResumed();
            s.SendData("-rw-r--r-- 1 ftp ftp 5 Dec 10 08:00 alpha.txt\r\n");
            s.CloseData(c.closeNotify);
        }
        s.Reply("226 Directory send OK");
        s.WaitForClose();
    });
    FtpTestClient ftp;
    Prepare(ftp, server, "ftpes://");
    ftp.SetTlsFingerprint(certs->selfSigned.fingerprint);
    ftp.SetPassive(true);
    ASSERT_TRUE(ftp.Connect()) << ftp.ErrorMessage();
    std::vector<std::string> lines;
    ftp.SetDisplayFileFlag(true);
    ftp.OnDisplayFile = [&lines](TObject*, std::string& l) { lines.push_back(l); };

    const bool listed = ftp.ListDir();
    if (*c.error) {
        EXPECT_FALSE(listed);
        EXPECT_EQ(ftp.ErrorMessage(), c.error);
        EXPECT_TRUE(ftp.Displayed(std::string("! ") + c.error));
    } else {
        EXPECT_TRUE(listed) << ftp.ErrorMessage();
        EXPECT_EQ(lines, (std::vector<std::string>{"-rw-r--r-- 1 ftp ftp 5 Dec 10 08:00 alpha.txt"}));
        EXPECT_TRUE(resumed);
    }
    ftp.Abort();
    server.Join();
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FtpTlsListing,
    ::testing::Values(DataCase{"EndedWithCloseNotify", true, ""},
                      DataCase{"EndedWithoutCloseNotify", false,
                               "426 Data connection closed without TLS close_notify: LIST data may be incomplete"}),
    [](const auto& test) { return std::string(test.param.name); });

TEST(FtpTls, StoreEndsItsDataWithCloseNotifyBeforeTheFinalReply)
{
    const TlsTestCerts* certs = Certs();
    if (!certs)
        GTEST_SKIP() << "no test certificates (openssl missing?)";
    std::string received;
    bool closeNotify = false, resumed = false;
    FtpScriptServer server([&](FtpScriptSession& s) {
        if (!SecureControl(s, false, certs->selfSigned))
            return;
        SecuredLogIn(s);
        s.SetDataTls(certs->selfSigned);
        s.Answer(s.OpenPassive());
        std::string line;
        s.ReadCommand(line);
        s.Reply("150 Ok to send data");
        if (s.AcceptData()) {
            resumed = s.DataSessionResumed();
            received = s.ReceiveAllData();
            closeNotify = s.DataCloseNotifyReceived();
        }
        s.Reply("226 Transfer complete");
        s.WaitForClose();
    });
    const std::string data(100000, 'x');
    const std::string path = (std::filesystem::temp_directory_path() / "parcelo-tls-store.bin").string();
    std::ofstream(path, std::ios::binary) << data;
    FtpTestClient ftp;
    Prepare(ftp, server, "ftpes://");
    ftp.SetTlsFingerprint(certs->selfSigned.fingerprint);
    ftp.SetPassive(true);
    ASSERT_TRUE(ftp.Connect()) << ftp.ErrorMessage();
    ftp.SetLocalFileName(path);
    ftp.SetHostFileName("stored.bin");
    std::int64_t last = -1;
    ftp.OnProgress = [&last](TObject*, std::int64_t count, bool&) { last = count; };

    EXPECT_TRUE(ftp.StoreFile()) << ftp.ErrorMessage();
    EXPECT_EQ(last, static_cast<std::int64_t>(data.size()));
    ftp.Abort();
    server.Join();
    std::filesystem::remove(path);
    EXPECT_TRUE(received == data) << received.size();
    EXPECT_TRUE(closeNotify);
    EXPECT_TRUE(resumed);
}

TEST(FtpTls, UnreadableCaFileFailsTheOpenBeforeAnythingIsSent)
{
    FtpTestClient ftp;
    ftp.SetHostName("ftpes://127.0.0.1");
    ftp.SetPort("1"); // never reached: the open fails before the connect
    ftp.SetUserName("bob");
    ftp.SetPassWord("secret");
    ftp.SetTlsCaFile("/nonexistent/parcelo-ca.pem");

    EXPECT_FALSE(ftp.Connect());
    EXPECT_EQ(ftp.ErrorMessage().rfind("500 ESocketException: TLS: cannot read the authorities in "
                                       "/nonexistent/parcelo-ca.pem",
                                       0),
              0u)
        << ftp.ErrorMessage();
    EXPECT_TRUE(DisplayedStart(ftp, "! 500 ESocketException: TLS: "));
    EXPECT_FALSE(ftp.Connected());
    EXPECT_EQ(ftp.State(), ftpStReady);
}

// --- a selection in one session -------------------------------------------------------

namespace {

// One file of a scripted store over TLS: the server's side of PASV or PORT,
// STOR, 150 and the data connection, which must resume a session of this
// log-in, as vsftpd and proftpd demand by default; one that does not is
// refused with vsftpd's reply. What arrived is appended to `received`.
void ServeTlsStore(FtpScriptSession& s, bool passive, std::vector<std::string>& received, std::vector<bool>& resumed)
{
    std::string line;
    if (passive) {
        s.Answer(s.OpenPassive());
        s.ReadCommand(line);
        s.Reply("150 Ok to send data.");
        if (!s.AcceptData()) {
            s.Reply("425 Failed to establish connection.");
            return;
        }
    } else {
        std::string port;
        s.ReadCommand(port);
        s.Reply("200 PORT command successful.");
        s.ReadCommand(line);
        s.Reply("150 Ok to send data.");
        if (!s.ConnectActive(port)) {
            s.Reply("425 Failed to establish connection.");
            return;
        }
    }
    resumed.push_back(s.DataSessionResumed());
    if (!s.DataSessionResumed()) {
        s.CloseData();
        s.Reply("522 SSL connection failed: session reuse required");
        return;
    }
    received.push_back(s.ReceiveAllData());
    s.Reply("226 Transfer complete.");
}

struct SelectionCase {
    const char* name;
    bool implicit;
    bool passive;
    int controlTickets; // tickets after each handshake; -1: OpenSSL's default
    int dataTickets;
    bool distinctTickets; // enough tickets come for each file to get its own
};

class FtpTlsSelection : public ::testing::TestWithParam<SelectionCase> { };

} // namespace

TEST_P(FtpTlsSelection, EveryFileOfASelectionGoesUpInOneSession)
{
    const SelectionCase& c = GetParam();
    const TlsTestCerts* certs = Certs();
    if (!certs)
        GTEST_SKIP() << "no test certificates (openssl missing?)";
    constexpr int Files = 4;
    std::vector<std::string> received;
    std::vector<bool> resumed;
    std::vector<std::string> offered;
    FtpScriptServer server([&](FtpScriptSession& s) {
        s.SetTicketCounts(c.controlTickets, c.dataTickets);
        if (!SecureControl(s, c.implicit, certs->selfSigned))
            return;
        SecuredLogIn(s);
        s.SetDataTls(certs->selfSigned);
        for (int i = 0; i < Files; ++i)
            ServeTlsStore(s, c.passive, received, resumed);
        offered = s.OfferedTickets();
        s.WaitForClose();
    });
    LocalDir dir;
    FtpTestClient ftp;
    Prepare(ftp, server, c.implicit ? "ftps://" : "ftpes://");
    ftp.SetTlsFingerprint(certs->selfSigned.fingerprint);
    ftp.SetPassive(c.passive);
    ASSERT_TRUE(ftp.Connect()) << ftp.ErrorMessage();
    std::vector<std::string> sent;
    for (int i = 0; i < Files; ++i) {
        sent.push_back(std::string(static_cast<std::size_t>(i) * 20000 + 1, static_cast<char>('a' + i)));
        ftp.SetLocalFileName(dir.Write("f" + std::to_string(i), sent.back()));
        ftp.SetHostFileName("f" + std::to_string(i));
        EXPECT_TRUE(ftp.StoreFile()) << "file " << i << ": " << ftp.ErrorMessage();
    }
    ftp.Abort();
    server.Join();
    EXPECT_EQ(resumed, std::vector<bool>(Files, true));
    EXPECT_TRUE(received == sent);
    ASSERT_EQ(offered.size(), static_cast<std::size_t>(Files));
    for (int i = 0; i < Files; ++i) {
        EXPECT_FALSE(offered[i].empty()) << "file " << i << " offered no ticket";
        for (int j = 0; c.distinctTickets && j < i; ++j)
            EXPECT_NE(offered[i], offered[j]) << "files " << j << " and " << i << " offered the same ticket";
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, FtpTlsSelection,
                         ::testing::Values(SelectionCase{"ExplicitPassive", false, true, -1, -1, true},
                                           SelectionCase{"ExplicitActive", false, false, -1, -1, true},
                                           SelectionCase{"ImplicitPassive", true, true, -1, -1, true},
                                           SelectionCase{"ImplicitActive", true, false, -1, -1, true},
                                           SelectionCase{"NoTicketOnDataConnections", false, true, 4, 0, true},
                                           SelectionCase{"SeveralTicketsOnEveryConnection", false, false, 3, 3, true},
                                           SelectionCase{"OneTicketInAllOfferedAgain", false, true, 1, 0, false}),
                         [](const auto& test) { return std::string(test.param.name); });

TEST(FtpTls, RefusedDataConnectionsFailTheirFilesWithTheServersReply)
{
    // The server forgets its sessions after the first file (and again
    // after the second): no later data connection can resume, and each is
    // refused as vsftpd refuses it.
    // Each of those files fails with the server's reply (not with the
    // reply of an earlier command), nothing of them counts as stored, and
    // the session goes on.
    const TlsTestCerts* certs = Certs();
    if (!certs)
        GTEST_SKIP() << "no test certificates (openssl missing?)";
    std::vector<std::string> received;
    std::vector<bool> resumed;
    FtpScriptServer server([&](FtpScriptSession& s) {
        if (!SecureControl(s, false, certs->selfSigned))
            return;
        SecuredLogIn(s);
        s.SetDataTls(certs->selfSigned);
        ServeTlsStore(s, true, received, resumed);
        // Before each later file: the tickets of a refused connection may
        // or may not have reached the client.
        s.ForgetTlsSessions();
        ServeTlsStore(s, true, received, resumed);
        s.ForgetTlsSessions();
        ServeTlsStore(s, true, received, resumed);
        s.Answer("250 Directory successfully changed.");
        s.WaitForClose();
    });
    LocalDir dir;
    FtpTestClient ftp;
    Prepare(ftp, server, "ftpes://");
    ftp.SetTlsFingerprint(certs->selfSigned.fingerprint);
    ftp.SetPassive(true);
    ASSERT_TRUE(ftp.Connect()) << ftp.ErrorMessage();
    std::vector<bool> stored;
    std::vector<std::string> errors;
    for (const char* name : {"a", "b", "c"}) {
        ftp.SetLocalFileName(dir.Write(name, std::string(50000, name[0])));
        ftp.SetHostFileName(name);
        stored.push_back(ftp.StoreFile());
        errors.push_back(stored.back() ? "" : ftp.ErrorMessage());
    }
    ftp.SetHostDirName("pub");
    EXPECT_TRUE(ftp.ChangeDir()) << ftp.ErrorMessage();
    EXPECT_EQ(ftp.LastResponse(), "250 Directory successfully changed.");
    ftp.Abort();
    const Commands commands = server.Join();
    EXPECT_EQ(stored, (std::vector<bool>{true, false, false}));
    EXPECT_EQ(resumed, (std::vector<bool>{true, false, false}));
    const std::string refused = "522 SSL connection failed: session reuse required";
    EXPECT_EQ(errors, (std::vector<std::string>{"", refused, refused}));
    EXPECT_TRUE(received == std::vector<std::string>{std::string(50000, 'a')});
    const Commands tail(commands.end() - 7, commands.end());
    EXPECT_EQ(tail, (Commands{"PASV", "STOR a", "PASV", "STOR b", "PASV", "STOR c", "CWD pub"}));
}

TEST(FtpTls, DataCertificateThatDiffersFailsItsFileAndTheDialogueStaysInStep)
{
    // STOR goes out with the passive connect; the reply to it comes after
    // the client has refused the data connection's certificate. The next
    // PASV must read a 227, not that reply.
    const TlsTestCerts* certs = Certs();
    if (!certs)
        GTEST_SKIP() << "no test certificates (openssl missing?)";
    std::string second;
    FtpScriptServer server([&](FtpScriptSession& s) {
        if (!SecureControl(s, false, certs->selfSigned))
            return;
        SecuredLogIn(s);
        std::string line;
        // A data connection that resumed would prove the server by its
        // ticket; one that cannot must show the control connection's
        // certificate.
        s.ForgetTlsSessions();
        s.SetDataTls(certs->otherSelfSigned);
        s.Answer(s.OpenPassive());
        s.ReadCommand(line);
        s.Reply("150 Ok to send data.");
        if (s.AcceptData())
            (void)s.ReceiveAllData();
        s.Reply("426 Failure reading network stream.");
        s.SetDataTls(certs->selfSigned);
        s.Answer(s.OpenPassive());
        s.ReadCommand(line);
        s.Reply("150 Ok to send data.");
        if (s.AcceptData())
            second = s.ReceiveAllData();
        s.Reply("226 Transfer complete.");
        s.WaitForClose();
    });
    LocalDir dir;
    FtpTestClient ftp;
    Prepare(ftp, server, "ftpes://");
    ftp.SetTlsFingerprint(certs->selfSigned.fingerprint);
    ftp.SetPassive(true);
    ASSERT_TRUE(ftp.Connect()) << ftp.ErrorMessage();
    ftp.SetLocalFileName(dir.Write("a", "first"));
    ftp.SetHostFileName("a");
    EXPECT_FALSE(ftp.StoreFile());
    EXPECT_EQ(ftp.ErrorMessage(), "426 Failure reading network stream.");
    EXPECT_TRUE(ftp.Displayed("! 426 The data connection's certificate differs from the control connection's"));
    ftp.SetLocalFileName(dir.Write("b", "second"));
    ftp.SetHostFileName("b");
    EXPECT_TRUE(ftp.StoreFile()) << ftp.ErrorMessage();
    ftp.Abort();
    server.Join();
    EXPECT_EQ(second, "second");
}

// --- data and control streams that a third party writes into ---------------------------

namespace {

// A record of application data that no key decrypts, and a fatal alert in
// clear (unexpected_message): what someone on the path can write.
const std::string ForgedRecord = std::string("\x17\x03\x03\x00\x20", 5) + std::string(32, '\x5a');
const std::string ClearAlert = std::string("\x15\x03\x03\x00\x02\x02\x0a", 7);

struct StreamCase {
    const char* name;
    bool store;         // the store's data connection, else a listing's
    const char* forged; // written into the data connection before its bare end
    // (A store's data connection carries no payload from the server: a bare
    // end after the whole file is left to the final reply.)
};

class FtpTlsCutStream : public ::testing::TestWithParam<StreamCase> { };

} // namespace

TEST_P(FtpTlsCutStream, DataThatDoesNotEndWithCloseNotifyFails)
{
    const StreamCase& c = GetParam();
    const std::string forged = c.forged == std::string("record")  ? ForgedRecord
                               : c.forged == std::string("alert") ? ClearAlert
                                                                  : std::string();
    const TlsTestCerts* certs = Certs();
    if (!certs)
        GTEST_SKIP() << "no test certificates (openssl missing?)";
    FtpScriptServer server([&](FtpScriptSession& s) {
        if (!SecureControl(s, false, certs->selfSigned))
            return;
        SecuredLogIn(s);
        s.SetDataTls(certs->selfSigned);
        s.Answer(s.OpenPassive());
        std::string line;
        s.ReadCommand(line);
        s.Reply("150 Ok");
        if (s.AcceptData()) {
            if (!c.store)
                for (int i = 0; i < 5; ++i)
                    s.SendData("drwxr-xr-x 2 ftp ftp 4096 Dec 10 08:00 dir" + std::to_string(i) + "\r\n");
            s.SendRawData(forged);
            if (c.store)
                (void)s.ReceiveAllData();
            s.CloseData(false);
        }
        s.Reply("226 Transfer complete.");
        s.WaitForClose();
    });
    LocalDir dir;
    FtpTestClient ftp;
    Prepare(ftp, server, "ftpes://");
    ftp.SetTlsFingerprint(certs->selfSigned.fingerprint);
    ftp.SetPassive(true);
    ASSERT_TRUE(ftp.Connect()) << ftp.ErrorMessage();
    bool ok;
    if (c.store) {
        ftp.SetLocalFileName(dir.Write("a", std::string(300000, 's')));
        ftp.SetHostFileName("a");
        ok = ftp.StoreFile();
    } else {
        ftp.SetDisplayFileFlag(true);
        ok = ftp.ListDir();
    }
    EXPECT_FALSE(ok);
    EXPECT_EQ(ftp.ErrorMessage().substr(0, 4), "426 ") << ftp.ErrorMessage();
    ftp.Abort();
    server.Join();
}

INSTANTIATE_TEST_SUITE_P(Cases, FtpTlsCutStream,
                         ::testing::Values(StreamCase{"ListingForgedRecord", false, "record"},
                                           StreamCase{"ListingClearAlert", false, "alert"},
                                           StreamCase{"ListingBareEnd", false, ""},
                                           StreamCase{"StoreForgedRecord", true, "record"},
                                           StreamCase{"StoreClearAlert", true, "alert"}),
                         [](const auto& test) { return std::string(test.param.name); });

TEST(FtpTls, GarbageOnTheControlConnectionEndsTheSessionWithATlsError)
{
    const TlsTestCerts* certs = Certs();
    if (!certs)
        GTEST_SKIP() << "no test certificates (openssl missing?)";
    FtpScriptServer server([&](FtpScriptSession& s) {
        if (!SecureControl(s, false, certs->selfSigned))
            return;
        SecuredLogIn(s);
        std::string line;
        s.ReadCommand(line);
        s.SendRawControl(ForgedRecord);
        s.WaitForClose();
    });
    FtpTestClient ftp;
    Prepare(ftp, server, "ftpes://");
    ftp.SetTlsFingerprint(certs->selfSigned.fingerprint);
    ASSERT_TRUE(ftp.Connect()) << ftp.ErrorMessage();
    ftp.SetHostDirName("incoming");
    EXPECT_FALSE(ftp.ChangeDir());
    EXPECT_EQ(ftp.ErrorMessage().rfind("426 TLS error on the control connection: ", 0), 0u) << ftp.ErrorMessage();
    EXPECT_FALSE(ftp.Connected());
    server.Join();
}

// --- the server's identity: which address is checked ----------------------------------

// "127.1", "2130706433" and "0177.0.0.1" reach 127.0.0.1 through the usual
// address readers, while a certificate check would take them for no
// address at all or for 177.0.0.1. Refused before anything is sent, with
// the reason, plain or secured (the scripted server presents a
// certificate that is valid for 127.0.0.1: a session would be "verified").
TEST(FtpTlsIdentity, OtherAddressFormsAreRefusedBeforeAnyConnection)
{
    const TlsTestCerts* certs = Certs();
    if (!certs)
        GTEST_SKIP() << "no test certificates (openssl missing?)";
    for (const char* address : {"ftpes://127.1", "ftpes://127.0.1", "ftpes://2130706433", "ftpes://0177.0.0.1",
                                "ftps://127.1", "ftp://0177.0.0.1", "0x7f.0.0.1"}) {
        SCOPED_TRACE(address);
        const bool implicit = std::string(address).rfind("ftps://", 0) == 0;
        FtpScriptServer server([&](FtpScriptSession& s) {
            if (!SecureControl(s, implicit, certs->signedByCa))
                return;
            SecuredLogIn(s);
            s.WaitForClose();
        });
        FtpTestClient ftp;
        Prepare(ftp, server, "");
        ftp.SetHostName(address);
        ftp.SetTlsCaFile(certs->caFile);

        EXPECT_FALSE(ftp.Connect());
        const std::string host = FtpSplitAddress(address).host;
        const std::string expected = "500 ESocketException: DNS lookup: '" + host +
                                     "' is not an IPv4 address in the usual form: write four decimal numbers from 0 "
                                     "to 255 without leading zeros, such as 192.0.2.1 (short, octal and hexadecimal "
                                     "forms are refused because programs read them differently)";
        EXPECT_EQ(ftp.ErrorMessage(), expected);
        EXPECT_TRUE(ftp.Displayed("! " + expected));
        EXPECT_FALSE(DisplayedStart(ftp, "! TLS"));
        EXPECT_FALSE(ftp.Connected());
        EXPECT_EQ(ftp.State(), ftpStReady);
        EXPECT_TRUE(server.Commands().empty());
        EXPECT_FALSE(server.Finished());
    }
}

// The address 127.0.0.1 against a certificate that an authority the client trusts
// issued for another address: checked as the address connected to, and
// refused.
TEST(FtpTlsIdentity, TheAddressConnectedToIsTheAddressChecked)
{
    const TlsTestCerts* certs = Certs();
    if (!certs)
        GTEST_SKIP() << "no test certificates (openssl missing?)";
    FtpScriptServer server([&](FtpScriptSession& s) {
        if (SecureControl(s, false, certs->otherAddress))
            s.WaitForClose();
    });
    FtpTestClient ftp;
    Prepare(ftp, server, "ftpes://");
    ftp.SetTlsCaFile(certs->caFile);

    EXPECT_FALSE(ftp.Connect());
    EXPECT_EQ(ftp.ErrorMessage(), "534 Certificate not trusted: IP address mismatch");
    EXPECT_EQ(ftp.TlsPeer().fingerprint, certs->otherAddress.fingerprint);
    EXPECT_FALSE(ftp.Connected());
    EXPECT_EQ(server.Join(), Commands{"AUTH TLS"});
}

// --- a pinned fingerprint (ftpput's --tls-fingerprint) ----------------------------------

struct PinCase {
    const char* name;
    bool pinned;
    enum Cert { SignedByCa, SelfSigned } presented;
    enum Pin { PinPresented, PinOther } pin;
    bool accepted;
    const char* how; // the end of the "! TLS: ..." line, or the reason of the refusal
};

void PrintTo(const PinCase& c, std::ostream* os)
{
    *os << c.name;
}

class FtpTlsPinned : public ::testing::TestWithParam<PinCase> { };

TEST_P(FtpTlsPinned, TheFingerprintDecidesEvenWhenAnAuthorityVouches)
{
    const PinCase& c = GetParam();
    const TlsTestCerts* certs = Certs();
    if (!certs)
        GTEST_SKIP() << "no test certificates (openssl missing?)";
    const TlsCertPair& cert = c.presented == PinCase::SignedByCa ? certs->signedByCa : certs->selfSigned;
    FtpScriptServer server([&](FtpScriptSession& s) {
        if (!SecureControl(s, false, cert))
            return;
        if (c.accepted)
            SecuredLogIn(s);
        s.WaitForClose();
    });
    FtpTestClient ftp;
    Prepare(ftp, server, "ftpes://");
    ftp.SetTlsCaFile(certs->caFile);
    ftp.SetTlsFingerprint(
        Colons(c.pin == PinCase::PinPresented ? cert.fingerprint : certs->otherSelfSigned.fingerprint));
    ftp.SetTlsFingerprintPinned(c.pinned);
    int asked = 0;
    ftp.OnVerifyCertificate = [&](TObject*, const TFtpCertificateQuestion&, bool& trust) {
        ++asked;
        trust = true;
    };

    EXPECT_EQ(ftp.Connect(), c.accepted) << ftp.ErrorMessage();
    EXPECT_EQ(asked, 0) << "a pinned fingerprint asks nobody; a verified certificate neither";
    if (c.accepted) {
        EXPECT_TRUE(ftp.Displayed("! TLS: " + ftp.TlsPeer().protocol + ", " + ftp.TlsPeer().cipher + ", " + c.how));
        ftp.Abort();
        EXPECT_EQ(server.Join(), SecuredLogInCommands);
    } else {
        EXPECT_EQ(ftp.ErrorMessage(), std::string("534 Certificate not trusted: ") + c.how);
        EXPECT_TRUE(ftp.Displayed("! Certificate of 127.0.0.1 not trusted: " + std::string(c.how) +
                                  " (SHA-256 fingerprint " + Colons(cert.fingerprint) + ")"));
        EXPECT_FALSE(ftp.Connected());
        EXPECT_EQ(server.Join(), Commands{"AUTH TLS"});
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FtpTlsPinned,
    ::testing::Values(PinCase{"VerifiedButAnotherFingerprintPinned", true, PinCase::SignedByCa, PinCase::PinOther,
                              false, "its SHA-256 fingerprint is not the pinned one"},
                      PinCase{"SelfSignedAndAnotherFingerprintPinned", true, PinCase::SelfSigned, PinCase::PinOther,
                              false, "its SHA-256 fingerprint is not the pinned one"},
                      PinCase{"VerifiedAndPinned", true, PinCase::SignedByCa, PinCase::PinPresented, true,
                              "certificate verified and matches the pinned fingerprint"},
                      PinCase{"SelfSignedAndPinned", true, PinCase::SelfSigned, PinCase::PinPresented, true,
                              "certificate matches the pinned fingerprint"},
                      // The window's remembered fingerprint is no pin: a certificate that
                      // verifies is accepted, whatever was remembered.
                      PinCase{"RememberedNotPinnedVerifiedAccepted", false, PinCase::SignedByCa, PinCase::PinOther,
                              true, "certificate verified"}),
    [](const auto& test) { return std::string(test.param.name); });

// Which settings an open session still serves: one log-in against the
// scripted server, then each change of the client's settings on its own.
// Where and how the control connection was made, and who logged in, count;
// what only shapes transfers does not; the TLS trust settings count for a
// secured session alone.

#include "support/FtpTestClient.h"
#include "net/SslContext.h"
#include "support/FtpScriptServer.h"
#include "support/TlsTestCerts.h"

#include <gtest/gtest.h>

#include <cctype>
#include <functional>

namespace {

struct Change {
    const char* label;
    std::function<void(FtpTestClient&)> apply;
    bool serves;
};

std::string UpperWithColons(const std::string& hex)
{
    std::string out;
    for (size_t i = 0; i < hex.size(); i += 2)
        out += (out.empty() ? "" : ":") + hex.substr(i, 2);
    for (char& c : out)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return out;
}

// The settings the session was opened with (the fingerprint as the client
// keeps it after the log-in), and the socket's SOCKS settings untouched.
void SetBaseline(FtpTestClient& ftp, const std::string& address, const std::string& port)
{
    ftp.SetHostName(address);
    ftp.SetPort(port);
    ftp.SetUserName("bob");
    ftp.SetPassWord("secret");
    ftp.SetTlsCaFile("");
    ftp.SetTlsFingerprint(TestCerts().selfSigned.fingerprint);
    ftp.SetPassive(false);
    ftp.SetBinary(true);
    ftp.ControlSocket()->SetSocksServer("");
}

void ExpectEach(FtpTestClient& ftp, const std::string& address, const std::string& port,
                const std::vector<Change>& changes)
{
    for (const Change& change : changes) {
        SetBaseline(ftp, address, port);
        change.apply(ftp);
        EXPECT_EQ(ftp.SessionServesSettings(), change.serves) << change.label;
    }
    SetBaseline(ftp, address, port);
}

// What every session shares: the rest of the address and the log-in.
std::vector<Change> ConnectionChanges()
{
    return {
        {"nothing changed", [](FtpTestClient&) {}, true},
        {"passive mode", [](FtpTestClient& f) { f.SetPassive(true); }, true},
        {"transfer type", [](FtpTestClient& f) { f.SetBinary(false); }, true},
        {"another port", [](FtpTestClient& f) { f.SetPort("21"); }, false},
        {"another user", [](FtpTestClient& f) { f.SetUserName("alice"); }, false},
        {"another password", [](FtpTestClient& f) { f.SetPassWord("secret2"); }, false},
        {"another host", [](FtpTestClient& f) { f.SetHostName("localhost"); }, false},
        {"a SOCKS server", [](FtpTestClient& f) { f.ControlSocket()->SetSocksServer("127.0.0.1"); }, false},
    };
}

TEST(FtpSessionIdentity, SecuredSessionServesOnlyItsOwnSettings)
{
    const TlsCertPair& cert = TestCerts().selfSigned;
    FtpScriptServer server([&cert](FtpScriptSession& s) {
        s.Reply("220 ready");
        s.Answer("234 go ahead");
        if (!s.StartTlsControl(cert))
            return;
        s.Answer("331 password please");
        s.Answer("230 logged in");
        s.Answer("200 PBSZ=0");
        s.Answer("200 PROT P");
        s.WaitForClose();
    });
    FtpTestClient ftp;
    SetBaseline(ftp, "ftpes://127.0.0.1", server.PortText());
    // No fingerprint remembered: the user trusts the certificate during the
    // log-in, and the session is trusted by its fingerprint from then on.
    ftp.SetTlsFingerprint("");
    ftp.OnVerifyCertificate = [](TObject*, const TFtpCertificateQuestion&, bool& trust) { trust = true; };
    ASSERT_TRUE(ftp.Connect()) << ftp.ErrorMessage();
    ASSERT_EQ(ftp.TlsFingerprint(), cert.fingerprint);

    std::vector<Change> changes = ConnectionChanges();
    const std::vector<Change> secured = {
        {"the prefix in capitals, a closing slash", [](FtpTestClient& f) { f.SetHostName("FTPES://127.0.0.1/"); },
         true},
        {"the fingerprint as a user pastes it",
         [&cert](FtpTestClient& f) { f.SetTlsFingerprint(UpperWithColons(cert.fingerprint)); }, true},
        {"plain FTP", [](FtpTestClient& f) { f.SetHostName("127.0.0.1"); }, false},
        {"ftp:// prefix", [](FtpTestClient& f) { f.SetHostName("ftp://127.0.0.1"); }, false},
        {"implicit TLS", [](FtpTestClient& f) { f.SetHostName("ftps://127.0.0.1"); }, false},
        // A profile that has not trusted this certificate (another profile
        // name, say) would be asked on a log-in of its own.
        {"no fingerprint trusted", [](FtpTestClient& f) { f.SetTlsFingerprint(""); }, false},
        {"another certificate trusted",
         [](FtpTestClient& f) { f.SetTlsFingerprint(TestCerts().otherSelfSigned.fingerprint); }, false},
        {"other authorities", [](FtpTestClient& f) { f.SetTlsCaFile(TestCerts().caFile); }, false},
    };
    changes.insert(changes.end(), secured.begin(), secured.end());
    ExpectEach(ftp, "ftpes://127.0.0.1", server.PortText(), changes);

    // A closed session serves nothing, whatever the settings.
    ftp.Abort();
    EXPECT_FALSE(ftp.SessionServesSettings());
    server.Join();
}

TEST(FtpSessionIdentity, PlainSessionIgnoresTheTrustSettings)
{
    FtpScriptServer server([](FtpScriptSession& s) {
        s.Reply("220 ready");
        s.Answer("331 password please");
        s.Answer("230 logged in");
        s.WaitForClose();
    });
    FtpTestClient ftp;
    SetBaseline(ftp, "127.0.0.1", server.PortText());
    ASSERT_TRUE(ftp.Connect()) << ftp.ErrorMessage();

    std::vector<Change> changes = ConnectionChanges();
    const std::vector<Change> plain = {
        {"ftp:// prefix", [](FtpTestClient& f) { f.SetHostName("ftp://127.0.0.1"); }, true},
        {"no fingerprint", [](FtpTestClient& f) { f.SetTlsFingerprint(""); }, true},
        {"other authorities", [](FtpTestClient& f) { f.SetTlsCaFile(TestCerts().caFile); }, true},
        {"explicit TLS", [](FtpTestClient& f) { f.SetHostName("ftpes://127.0.0.1"); }, false},
        {"implicit TLS", [](FtpTestClient& f) { f.SetHostName("ftps://127.0.0.1"); }, false},
    };
    changes.insert(changes.end(), plain.begin(), plain.end());
    ExpectEach(ftp, "127.0.0.1", server.PortText(), changes);
    ftp.Abort();
    server.Join();
}

} // namespace

// The TLS side of the test servers themselves, checked with reference
// clients (curl and Python's ftplib) before the project's own client is
// tested against them: the test certificates, vsftpd, pyftpdlib and
// proftpd with explicit and implicit TLS and pure-ftpd with explicit TLS,
// in passive and active mode, and the scripted server's TLS calls.
#include "support/FtpRealServers.h"
#include "support/FtpScriptServer.h"
#include "support/LocalDir.h"
#include "support/TestFiles.h"
#include "support/RunProgram.h"
#include "support/TlsTestCerts.h"

#include <gtest/gtest.h>

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

namespace {

const char* const curl = "/usr/bin/curl";
const char* const python = "/usr/bin/python3";

// Bytes that a dropped or repeated block would change: each 4-byte group
// holds its own offset.
std::string CountingBytes(size_t size)
{
    std::string data(size, '\0');
    for (size_t i = 0; i < size; ++i)
        data[i] = static_cast<char>((i / 4) >> (8 * (i % 4)));
    return data;
}

bool HasLine(const std::string& out, const std::string& line)
{
    std::istringstream in(out);
    std::string l;
    while (std::getline(in, l))
        if (l == line)
            return true;
    return false;
}

const char* ModeName(FtpTlsMode mode)
{
    switch (mode) {
    case FtpTlsMode::None: return "none";
    case FtpTlsMode::Explicit: return "explicit";
    case FtpTlsMode::Implicit: return "implicit";
    }
    return "?";
}

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

std::unique_ptr<FtpRealServer> Start(Kind kind, FtpTlsMode mode, std::string& why)
{
    FtpServerTls tls{mode, TestCerts().signedByCa};
    switch (kind) {
    case Kind::Vsftpd: return StartVsftpd(why, tls);
    case Kind::Pyftpdlib: return StartPyftpdlib(why, 0, tls);
    case Kind::PureFtpd: return StartPureFtpd(why, tls);
    case Kind::Proftpd: return StartProftpd(why, tls);
    }
    return nullptr;
}

// Runs tests/support/FtpTlsClient.py against 127.0.0.1:port; its data
// connections resume the control connection's TLS session unless resume
// is false.
ProgramResult RunReferenceClient(FtpTlsMode mode, bool passive, const std::string& port, const std::string& user,
                                 const std::string& password, const std::vector<std::string>& command,
                                 bool resume = true)
{
    std::vector<std::string> args{std::string(PARCELO_TESTS_DIR) + "/support/FtpTlsClient.py"};
    if (!resume)
        args.push_back("--no-resume");
    args.insert(args.end(), {ModeName(mode), passive ? "passive" : "active", port, user, password, TestCerts().caFile});
    args.insert(args.end(), command.begin(), command.end());
    return RunProgram(python, args);
}

X509* ReadCertificate(const std::string& path)
{
    std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(path.c_str(), "r"), std::fclose);
    return file ? PEM_read_X509(file.get(), nullptr, nullptr, nullptr) : nullptr;
}

// Verifies certFile for host against caFile alone; returns OpenSSL's
// verdict (X509_V_OK when it holds).
int VerifyAgainst(const std::string& certFile, const std::string& caFile, const std::string& host)
{
    std::unique_ptr<X509, void (*)(X509*)> cert(ReadCertificate(certFile), X509_free);
    std::unique_ptr<X509_STORE, void (*)(X509_STORE*)> store(X509_STORE_new(), X509_STORE_free);
    std::unique_ptr<X509_STORE_CTX, void (*)(X509_STORE_CTX*)> ctx(X509_STORE_CTX_new(), X509_STORE_CTX_free);
    if (!cert || !store || !ctx || X509_STORE_load_file(store.get(), caFile.c_str()) != 1 ||
        X509_STORE_CTX_init(ctx.get(), store.get(), cert.get(), nullptr) != 1)
        return -1;
    X509_VERIFY_PARAM* param = X509_STORE_CTX_get0_param(ctx.get());
    if (host == "127.0.0.1")
        X509_VERIFY_PARAM_set1_ip_asc(param, host.c_str());
    else
        X509_VERIFY_PARAM_set1_host(param, host.c_str(), 0);
    X509_verify_cert(ctx.get());
    ERR_clear_error();
    return X509_STORE_CTX_get_error(ctx.get());
}

TEST(TlsTestCertsTest, CertificatesVerifyAsTheirNamesSay)
{
    const TlsTestCerts* certs = nullptr;
    try {
        certs = &TestCerts();
    } catch (const std::exception& e) {
        GTEST_SKIP() << e.what();
    }
    EXPECT_EQ(&TestCerts(), certs) << "made once per process";
    for (const char* host : {"127.0.0.1", "localhost"}) {
        SCOPED_TRACE(host);
        EXPECT_EQ(VerifyAgainst(certs->signedByCa.certFile, certs->caFile, host), X509_V_OK);
        EXPECT_EQ(VerifyAgainst(certs->selfSigned.certFile, certs->caFile, host),
                  X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT);
        EXPECT_STREQ(X509_verify_cert_error_string(X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT), "self-signed certificate");
        // Trusted as itself, a self-signed certificate holds: names and
        // dates are right, only the issuer is unknown.
        EXPECT_EQ(VerifyAgainst(certs->selfSigned.certFile, certs->selfSigned.certFile, host), X509_V_OK);
        EXPECT_EQ(VerifyAgainst(certs->otherSelfSigned.certFile, certs->selfSigned.certFile, host),
                  X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT);
    }
    EXPECT_NE(VerifyAgainst(certs->signedByCa.certFile, certs->caFile, "example.org"), X509_V_OK);

    // The fingerprint is the one the openssl command shows, without colons.
    for (const TlsCertPair* pair : {&certs->signedByCa, &certs->selfSigned, &certs->otherSelfSigned}) {
        ProgramResult shown =
            RunProgram("/usr/bin/openssl", {"x509", "-in", pair->certFile, "-noout", "-fingerprint", "-sha256"});
        std::string expected;
        for (char c : shown.out.substr(shown.out.find('=') + 1))
            if (std::isxdigit(static_cast<unsigned char>(c)))
                expected += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        EXPECT_EQ(pair->fingerprint, expected) << pair->certFile;
        EXPECT_EQ(pair->fingerprint.size(), 64u);
        EXPECT_TRUE(std::filesystem::exists(pair->keyFile)) << pair->keyFile;
    }
    EXPECT_NE(certs->selfSigned.fingerprint, certs->otherSelfSigned.fingerprint);
    EXPECT_NE(certs->signedByCa.fingerprint, certs->selfSigned.fingerprint);
}

struct ServerCase {
    Kind kind;
    FtpTlsMode mode;
    bool passive;
};

std::string CaseName(const testing::TestParamInfo<ServerCase>& info)
{
    const ServerCase& c = info.param;
    return std::string(KindName(c.kind)) + (c.mode == FtpTlsMode::Explicit ? "Explicit" : "Implicit") +
           (c.passive ? "Passive" : "Active");
}

class TlsRealServerTest : public testing::TestWithParam<ServerCase> { };

// Every server, both ways into TLS (pure-ftpd: explicit only), both data
// directions: a reference client uploads and lists; each data connection
// resumes the control connection's session (pure-ftpd resumes none: it
// serves a fresh session instead), and each server ends a listing with
// close_notify and answers the client's close_notify at the end of an
// upload.
TEST_P(TlsRealServerTest, ReferenceClientUploadsAndListsOverTls)
{
    const ServerCase& c = GetParam();
    std::string why;
    auto server = Start(c.kind, c.mode, why);
    if (!server)
        GTEST_SKIP() << why;
    EXPECT_EQ(server->TlsMode(), c.mode);
    LocalDir local;
    const std::string data = CountingBytes(3 * 1024 * 1024 + 123);
    const std::string file = local.Write("big.bin", data);

    ProgramResult put = RunReferenceClient(c.mode, c.passive, server->PortText(), server->User(), server->Password(),
                                           {"put", file, server->UploadDir() + "/big.bin"});
    EXPECT_EQ(put.status, 0) << put.out;
    const bool resumes = c.kind != Kind::PureFtpd;
    EXPECT_TRUE(HasLine(put.out, resumes ? "data-tls TLSv1.3 resumed=yes" : "data-tls TLSv1.3 resumed=no")) << put.out;
    EXPECT_TRUE(HasLine(put.out, "end close_notify")) << put.out;
    EXPECT_TRUE(ReadFile(server->StoredPath("big.bin")) == data) << "stored bytes differ";

    ProgramResult list = RunReferenceClient(c.mode, c.passive, server->PortText(), server->User(), server->Password(),
                                            {"list", server->UploadDir()});
    EXPECT_EQ(list.status, 0) << list.out;
    EXPECT_NE(list.out.find("big.bin"), std::string::npos) << list.out;
    EXPECT_TRUE(HasLine(list.out, "end close_notify")) << list.out;
}

INSTANTIATE_TEST_SUITE_P(Servers, TlsRealServerTest,
                         testing::Values(ServerCase{Kind::Vsftpd, FtpTlsMode::Explicit, true},
                                         ServerCase{Kind::Vsftpd, FtpTlsMode::Explicit, false},
                                         ServerCase{Kind::Vsftpd, FtpTlsMode::Implicit, true},
                                         ServerCase{Kind::Vsftpd, FtpTlsMode::Implicit, false},
                                         ServerCase{Kind::Pyftpdlib, FtpTlsMode::Explicit, true},
                                         ServerCase{Kind::Pyftpdlib, FtpTlsMode::Explicit, false},
                                         ServerCase{Kind::Pyftpdlib, FtpTlsMode::Implicit, true},
                                         ServerCase{Kind::Pyftpdlib, FtpTlsMode::Implicit, false},
                                         ServerCase{Kind::PureFtpd, FtpTlsMode::Explicit, true},
                                         ServerCase{Kind::PureFtpd, FtpTlsMode::Explicit, false},
                                         ServerCase{Kind::Proftpd, FtpTlsMode::Explicit, true},
                                         ServerCase{Kind::Proftpd, FtpTlsMode::Explicit, false},
                                         ServerCase{Kind::Proftpd, FtpTlsMode::Implicit, true},
                                         ServerCase{Kind::Proftpd, FtpTlsMode::Implicit, false}),
                         CaseName);

// vsftpd keeps its default require_ssl_reuse: a data connection that does
// not resume the control connection's session is refused after its
// handshake.
TEST(TlsRealServerRuleTest, VsftpdRefusesDataThatDoesNotResumeTheSession)
{
    std::string why;
    auto server = Start(Kind::Vsftpd, FtpTlsMode::Explicit, why);
    if (!server)
        GTEST_SKIP() << why;
    ProgramResult r = RunReferenceClient(FtpTlsMode::Explicit, true, server->PortText(), server->User(),
                                         server->Password(), {"list", server->UploadDir()}, false);
    EXPECT_NE(r.status, 0) << r.out;
    EXPECT_TRUE(HasLine(r.out, "data-tls TLSv1.3 resumed=no")) << r.out;
    EXPECT_NE(r.out.find("522 SSL connection failed: session reuse required"), std::string::npos) << r.out;
}

// proftpd's mod_tls at its defaults demands the same, and says so in its
// TLS log.
TEST(TlsRealServerRuleTest, ProftpdRefusesDataThatDoesNotResumeTheSession)
{
    std::string why;
    auto server = Start(Kind::Proftpd, FtpTlsMode::Explicit, why);
    if (!server)
        GTEST_SKIP() << why;
    ProgramResult r = RunReferenceClient(FtpTlsMode::Explicit, true, server->PortText(), server->User(),
                                         server->Password(), {"list", server->UploadDir()}, false);
    EXPECT_NE(r.status, 0) << r.out;
    EXPECT_NE(server->Log().find("client did not reuse TLS session, rejecting data connection"), std::string::npos)
        << server->Log();
}

// pure-ftpd does not: a data connection with a fresh session is served.
TEST(TlsRealServerRuleTest, PureFtpdServesDataThatDoesNotResumeTheSession)
{
    std::string why;
    auto server = Start(Kind::PureFtpd, FtpTlsMode::Explicit, why);
    if (!server)
        GTEST_SKIP() << why;
    ProgramResult r = RunReferenceClient(FtpTlsMode::Explicit, true, server->PortText(), server->User(),
                                         server->Password(), {"list", server->UploadDir()}, false);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(HasLine(r.out, "data-tls TLSv1.3 resumed=no")) << r.out;
}

// Implicit TLS where it is not offered fails with a reason, not a server
// that speaks something else.
TEST(TlsRealServerRuleTest, PureFtpdHasNoImplicitTls)
{
    std::string why;
    EXPECT_EQ(Start(Kind::PureFtpd, FtpTlsMode::Implicit, why), nullptr);
    EXPECT_EQ(why, "pure-ftpd offers explicit TLS only");
}

// curl as the second reference client, within limits of Debian 12's curl:
// it fails every active FTP-over-TLS transfer, so passive mode only; it
// closes an upload's data connection over the server's unread TLS 1.3
// session ticket, and the reset that follows now and then cuts off the
// upload's tail (vsftpd then answers 426), so TLS 1.2 only. And vsftpd
// only: curl starts the data connection's handshake before it sends the
// transfer command, and pyftpdlib drops a data connection that speaks
// before that command.
TEST(TlsRealServerCurlTest, CurlUploadsToVsftpdOverTls)
{
    if (::access(curl, X_OK) != 0)
        GTEST_SKIP() << "curl is not installed";
    for (FtpTlsMode mode : {FtpTlsMode::Explicit, FtpTlsMode::Implicit}) {
        SCOPED_TRACE(ModeName(mode));
        std::string why;
        auto server = Start(Kind::Vsftpd, mode, why);
        if (!server)
            GTEST_SKIP() << why;
        LocalDir local;
        const std::string data = CountingBytes(1024 * 1024 + 7);
        const std::string file = local.Write("curl.bin", data);
        const std::string scheme = mode == FtpTlsMode::Implicit ? "ftps://" : "ftp://";
        std::vector<std::string> args{
            "-sS", "--cacert", TestCerts().caFile, "-u", server->User() + ":" + server->Password(), "-T", file};
        args.insert(args.end(), {"--tls-max", "1.2"});
        if (mode == FtpTlsMode::Explicit)
            args.push_back("--ssl-reqd");
        args.push_back(scheme + "127.0.0.1:" + server->PortText() + "/" + server->UploadDir() + "/");
        ProgramResult r = RunProgram(curl, args);
        EXPECT_EQ(r.status, 0) << r.out;
        EXPECT_TRUE(ReadFile(server->StoredPath("curl.bin")) == data) << "stored bytes differ";
    }
}

// With TLS required, neither a plain log-in nor a plain data connection
// after a protected log-in gets a file stored.
TEST(TlsRealServerCurlTest, PlainLogInAndPlainDataAreRefused)
{
    if (::access(curl, X_OK) != 0)
        GTEST_SKIP() << "curl is not installed";
    struct Row {
        const char* what;
        std::vector<std::string> options;
    };
    const Row rows[] = {
        {"plain log-in", {}},
        {"protected log-in, plain data", {"--ftp-ssl-control"}},
    };
    for (Kind kind : {Kind::Vsftpd, Kind::Pyftpdlib}) {
        std::string why;
        auto server = Start(kind, FtpTlsMode::Explicit, why);
        if (!server)
            GTEST_SKIP() << why;
        LocalDir local;
        const std::string file = local.Write("plain.bin", "plain bytes");
        for (const Row& row : rows) {
            SCOPED_TRACE(server->Name() + ": " + row.what);
            std::vector<std::string> args{
                "-sS", "--cacert", TestCerts().caFile, "-u", server->User() + ":" + server->Password(), "-T", file};
            args.insert(args.end(), row.options.begin(), row.options.end());
            args.push_back("ftp://127.0.0.1:" + server->PortText() + "/" + server->UploadDir() + "/");
            ProgramResult r = RunProgram(curl, args);
            EXPECT_NE(r.status, 0);
            EXPECT_FALSE(std::filesystem::exists(server->StoredPath("plain.bin")));
        }
    }
}

// The scripted server's TLS calls, driven by the reference client.

// The log-in and PROT P part of a dialogue, after TLS is up.
void ScriptLogIn(FtpScriptSession& s)
{
    s.Answer("331 Password please.");
    s.Answer("230 Logged in.");
    s.Answer("200 PBSZ=0");
    s.Answer("200 Protection set to Private");
    s.Answer("200 Binary it is.");
}

// An upload over explicit TLS; the server tells whether the client's data
// connection resumed the control session, both when it did and when not.
TEST(FtpScriptTlsTest, ExplicitUploadReportsResumptionAndCloseNotify)
{
    const TlsCertPair cert = TestCerts().signedByCa;
    const std::string data = CountingBytes(2 * 1024 * 1024 + 5);
    for (bool resume : {true, false}) {
        SCOPED_TRACE(resume ? "resuming client" : "client with a fresh data session");
        std::string received;
        bool resumed = !resume, closeNotify = false, tlsStarted = false;
        FtpScriptServer server([&](FtpScriptSession& s) {
            s.Reply("220 Scripted.");
            s.Answer("234 Go ahead.");
            tlsStarted = s.StartTlsControl(cert);
            if (!tlsStarted)
                return;
            ScriptLogIn(s);
            s.Answer(s.OpenPassive());
            s.SetDataTls(cert);
            s.Answer("150 Send it.");
            if (!s.AcceptData())
                return;
            resumed = s.DataSessionResumed();
            received = s.ReceiveAllData();
            closeNotify = s.DataCloseNotifyReceived();
            s.CloseData();
            s.Reply("226 Stored.");
            s.Answer("221 Bye.");
        });
        LocalDir local;
        ProgramResult r = RunReferenceClient(FtpTlsMode::Explicit, true, server.PortText(), "user", "pass",
                                             {"put", local.Write("up.bin", data), "up.bin"}, resume);
        auto commands = server.Join();
        EXPECT_EQ(r.status, 0) << r.out;
        EXPECT_TRUE(tlsStarted);
        EXPECT_TRUE(received == data) << "received " << received.size() << " bytes";
        EXPECT_EQ(resumed, resume);
        EXPECT_TRUE(closeNotify);
        EXPECT_TRUE(HasLine(r.out, "end close_notify")) << r.out;
        EXPECT_EQ(commands, (std::vector<std::string>{"AUTH TLS", "USER user", "PASS pass", "PBSZ 0", "PROT P",
                                                      "TYPE I", "PASV", "STOR up.bin", "QUIT"}));
    }
}

// Implicit TLS and active mode; the listing ends with or without
// close_notify as the script says, and the client can tell.
TEST(FtpScriptTlsTest, ImplicitActiveListingEndsAsScripted)
{
    const TlsCertPair cert = TestCerts().signedByCa;
    for (bool closeNotify : {true, false}) {
        SCOPED_TRACE(closeNotify ? "close_notify" : "bare close");
        FtpScriptServer server([&](FtpScriptSession& s) {
            if (!s.StartTlsControl(cert))
                return;
            s.Reply("220 Scripted, implicitly.");
            ScriptLogIn(s);
            const std::string port = s.Answer("200 PORT taken.");
            s.SetDataTls(cert);
            s.Answer("150 Here it comes.");
            if (!s.ConnectActive(port))
                return;
            s.SendData("-rw-r--r-- 1 ftp ftp 5 Dec 10 08:00 one.txt\r\n");
            s.CloseData(closeNotify);
            s.Reply("226 Listed.");
            s.Answer("221 Bye.");
        });
        ProgramResult r =
            RunReferenceClient(FtpTlsMode::Implicit, false, server.PortText(), "user", "pass", {"list", "/"});
        server.Join();
        EXPECT_EQ(r.status, 0) << r.out;
        EXPECT_TRUE(HasLine(r.out, "data-tls TLSv1.3 resumed=yes")) << r.out;
        EXPECT_NE(r.out.find("one.txt"), std::string::npos) << r.out;
        EXPECT_TRUE(HasLine(r.out, closeNotify ? "end close_notify" : "end no-close_notify")) << r.out;
    }
}

TEST(FtpScriptTlsTest, CutHandshakeFailsTheClientsConnect)
{
    FtpScriptServer server([](FtpScriptSession& s) { s.CutHandshake(); });
    ProgramResult r = RunReferenceClient(FtpTlsMode::Implicit, true, server.PortText(), "user", "pass", {"list", "/"});
    server.Join();
    EXPECT_TRUE(server.Finished());
    EXPECT_NE(r.status, 0) << r.out;
    EXPECT_EQ(r.out.rfind("error ", 0), 0u) << r.out;
}

} // namespace

// The socket's TLS layer against a blocking OpenSSL server on 127.0.0.1:
// handshake events and their order, what the peer check finds, payload
// both ways paced by the data-sent event, close_notify in both directions,
// resumption, and peers that break the protocol.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "net/SslContext.h"
#include "net/WSocket.h"
#include "tests/net/LoopUtil.h"
#include "tests/net/TlsPeer.h"

namespace {

std::string Pattern(size_t n)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i)
        s[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
    return s;
}

// A client socket and a record of what its events said.
struct Client {
    TWSocket socket;
    std::vector<std::string> events;
    std::string received;
    WORD closeError = 0xFFFF;
    bool closed = false;
    std::function<void()> onReceived;

    explicit Client(const std::string& port, bool tlsAtConnect = true)
    {
        socket.SetAddr("127.0.0.1");
        socket.SetPort(port);
        socket.SetProto("tcp");
        socket.SetSslEnable(tlsAtConnect);
        socket.SetSslServerName("localhost");
        socket.OnSslHandshakeDone = [this](TObject*, WORD e) { events.push_back("handshake " + std::to_string(e)); };
        socket.OnSessionConnected = [this](TObject*, WORD e) { events.push_back("connected " + std::to_string(e)); };
        socket.OnDataAvailable = [this](TObject*, WORD) {
            char buf[2048];
            int n = socket.Receive(buf, sizeof buf);
            if (n > 0)
                received.append(buf, static_cast<size_t>(n));
            if (n > 0 && onReceived)
                onReceived();
        };
        socket.OnSessionClosed = [this](TObject*, WORD e) {
            closed = true;
            closeError = e;
        };
    }

    // Sends data in 1514-byte pieces, each after the last was handed over.
    void SendPaced(const std::string& data)
    {
        size_t at = 0;
        bool done = false;
        auto next = [this, &data, &at, &done](TObject*, WORD) {
            if (at >= data.size()) {
                done = true;
                return;
            }
            size_t n = std::min<size_t>(1514, data.size() - at);
            socket.Send(data.data() + at, static_cast<int>(n));
            at += n;
        };
        socket.OnDataSent = next;
        next(nullptr, 0);
        ASSERT_TRUE(PumpUntil([&] { return done; }));
        socket.OnDataSent = nullptr;
    }
};

std::shared_ptr<TSslContext> CaContext()
{
    return std::make_shared<TSslContext>(tlspeer::TestPki().caFile);
}

} // namespace

TEST(WSocketTls, HandshakeThenConnectedThenPayloadBothWaysAndCloseNotify)
{
    const std::string upload = Pattern(300000);
    std::string serverGot;
    bool serverClean = false;
    tlspeer::Server server(tlspeer::TestPki().signedByCa, [&](tlspeer::Connection& c) {
        ASSERT_TRUE(c.StartTls());
        c.Write("hello from the server");
        serverGot = c.ReadAll(&serverClean);
        c.SendCloseNotify();
    });
    Client client(server.PortText());
    client.socket.SetSslContext(CaContext());
    client.socket.Connect();
    ASSERT_TRUE(PumpUntil([&] { return client.events.size() >= 2; }));
    EXPECT_EQ((std::vector<std::string>{"handshake 0", "connected 0"}), client.events);
    const TSslPeerInfo& peer = client.socket.SslPeer();
    EXPECT_TRUE(peer.verified) << peer.verifyError;
    EXPECT_EQ(tlspeer::TestPki().signedByCa.fingerprint, peer.fingerprint);
    EXPECT_NE(std::string::npos, peer.subject.find("localhost"));
    EXPECT_NE(std::string::npos, peer.issuer.find("Parcelo test authority"));
    EXPECT_EQ("TLSv1.3", peer.protocol);
    EXPECT_FALSE(peer.cipher.empty());
    EXPECT_FALSE(peer.notAfter.empty());

    ASSERT_TRUE(PumpUntil([&] { return client.received == "hello from the server"; }));
    client.SendPaced(upload);
    // Everything handed over is eventually acknowledged, counted in payload.
    ASSERT_TRUE(PumpUntil([&] { return client.socket.UnackedSendBytes() == 0; }));
    client.socket.ShutDown(1);
    ASSERT_TRUE(PumpUntil([&] { return client.closed; }));
    server.Join();
    EXPECT_TRUE(serverClean) << "the server saw no close_notify";
    EXPECT_EQ(upload.size(), serverGot.size());
    EXPECT_TRUE(upload == serverGot);
    EXPECT_EQ(0, client.closeError);
}

TEST(WSocketTls, PeerCheckFindings)
{
    struct Case {
        const char* name;
        bool selfSigned;
        bool caContext;
        const char* serverName;
        bool verified;
        const char* errorPart;
    };
    const Case cases[] = {
        {"signed, trusted, name matches", false, true, "localhost", true, ""},
        {"address checked as an address", false, true, "127.0.0.1", true, ""},
        {"name mismatch", false, true, "example.invalid", false, "mismatch"},
        {"self-signed", true, true, "localhost", false, "self-signed"},
        {"authority not trusted", false, false, "localhost", false, "verify"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const tlspeer::Identity& id = c.selfSigned ? tlspeer::TestPki().selfSigned : tlspeer::TestPki().signedByCa;
        tlspeer::Server server(id, [](tlspeer::Connection& conn) {
            if (conn.StartTls())
                conn.ReadAll();
        });
        Client client(server.PortText());
        client.socket.SetSslServerName(c.serverName);
        if (c.caContext)
            client.socket.SetSslContext(CaContext());
        client.socket.Connect();
        ASSERT_TRUE(PumpUntil([&] { return client.events.size() >= 2; }));
        EXPECT_EQ("connected 0", client.events[1]);
        EXPECT_EQ(c.verified, client.socket.SslPeer().verified);
        EXPECT_NE(std::string::npos, client.socket.SslPeer().verifyError.find(c.errorPart))
            << client.socket.SslPeer().verifyError;
        EXPECT_EQ(id.fingerprint, client.socket.SslPeer().fingerprint);
        client.socket.Close();
    }
}

TEST(WSocketTls, ExplicitUpgradeAfterPlainLinesAndResumedSecondConnection)
{
    TSslSession session;
    bool secondResumed = false;
    std::string secondGot;
    tlspeer::Server server(
        tlspeer::TestPki().signedByCa,
        [&, n = 0](tlspeer::Connection& c) mutable {
            if (n++ == 0) {
                c.Write("220 plain greeting\r\n");
                EXPECT_EQ("AUTH TLS\r\n", c.ReadPlainLine());
                c.Write("234 go ahead\r\n");
                ASSERT_TRUE(c.StartTls());
                c.Write("331 over TLS\r\n");
            } else {
                ASSERT_TRUE(c.StartTls());
                secondResumed = c.Resumed();
                secondGot = c.ReadAll();
            }
        },
        2);
    auto context = CaContext();
    Client control(server.PortText(), false);
    control.socket.SetSslContext(context);
    control.socket.Connect();
    ASSERT_TRUE(PumpUntil([&] { return control.received == "220 plain greeting\r\n"; }));
    control.socket.SendStr("AUTH TLS\r\n");
    ASSERT_TRUE(PumpUntil([&] { return control.received.find("234 go ahead\r\n") != std::string::npos; }));
    // The session is taken with the first reply over TLS: the server
    // closes right after it.
    control.onReceived = [&] {
        if (!session && control.received.find("331 over TLS\r\n") != std::string::npos) {
            EXPECT_TRUE(control.socket.SslActive());
            session = control.socket.SslSession();
        }
    };
    control.socket.StartSslHandshake();
    ASSERT_TRUE(PumpUntil([&] { return control.received.find("331 over TLS\r\n") != std::string::npos; }));
    EXPECT_EQ((std::vector<std::string>{"connected 0", "handshake 0"}), control.events);
    ASSERT_TRUE(session != nullptr);

    // A second connection resumes the first one's session; payload sent
    // before its handshake is complete waits and arrives whole.
    Client data(server.PortText());
    data.socket.SetSslContext(context);
    data.socket.SetSslResumeSession(session);
    data.socket.Connect();
    ASSERT_TRUE(PumpUntil([&] { return data.events.size() >= 2; }));
    EXPECT_TRUE(data.socket.SslPeer().resumed);
    data.socket.SendStr("resumed payload");
    data.socket.ShutDown(1);
    ASSERT_TRUE(PumpUntil([&] { return data.closed; }));
    control.socket.Close();
    server.Join();
    EXPECT_TRUE(secondResumed);
    EXPECT_EQ("resumed payload", secondGot);
}

TEST(WSocketTls, BrokenPeersFailCleanly)
{
    struct Case {
        const char* name;
        std::function<void(tlspeer::Connection&)> script;
        WORD handshake;
        WORD closeError;
    };
    const Case cases[] = {
        {"plain text instead of a handshake",
         [](tlspeer::Connection& c) {
             c.Write("220 this is not TLS at all\r\n");
             c.ReadAll();
         },
         WSocketSslHandshakeFailed, WSocketSslHandshakeFailed},
        {"closed halfway through the handshake",
         [](tlspeer::Connection& c) {
             char hello[64];
             (void)!read(c.Fd(), hello, sizeof hello);
             c.Close();
         },
         WSocketSslHandshakeFailed, WSocketSslHandshakeFailed},
        {"closed without close_notify after payload",
         [](tlspeer::Connection& c) {
             if (c.StartTls())
                 c.Write("cut short");
             c.Close();
         },
         0, WSocketSslTruncated},
        {"closed with close_notify after payload",
         [](tlspeer::Connection& c) {
             if (c.StartTls())
                 c.Write("complete");
             c.SendCloseNotify();
             c.Close();
         },
         0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        tlspeer::Server server(tlspeer::TestPki().signedByCa, c.script);
        Client client(server.PortText());
        client.socket.SetSslContext(CaContext());
        client.socket.Connect();
        ASSERT_TRUE(PumpUntil([&] { return client.closed; }));
        ASSERT_GE(client.events.size(), 2u);
        EXPECT_EQ("handshake " + std::to_string(c.handshake), client.events[0]);
        EXPECT_EQ("connected " + std::to_string(c.handshake), client.events[1]);
        EXPECT_EQ(c.closeError, client.closeError);
        if (c.handshake != 0) {
            EXPECT_FALSE(client.socket.SslErrorText().empty());
        }
        EXPECT_EQ(wsClosed, client.socket.State());
        server.Join();
    }
}

TEST(WSocketTls, ThePeersCloseNotifyEndsTheConnectionAndIsAnswered)
{
    // The peer ends its payload with close_notify and then waits for ours
    // before it closes: the socket must not wait for an end of stream that
    // the peer will not send first.
    bool answered = false;
    tlspeer::Server server(tlspeer::TestPki().signedByCa, [&](tlspeer::Connection& c) {
        ASSERT_TRUE(c.StartTls());
        c.Write("the whole listing");
        c.SendCloseNotify();
        c.ReadAll(&answered);
    });
    Client client(server.PortText());
    client.socket.SetSslContext(CaContext());
    client.socket.Connect();
    ASSERT_TRUE(PumpUntil([&] { return client.closed; }));
    EXPECT_EQ("the whole listing", client.received);
    EXPECT_EQ(0, client.closeError);
    EXPECT_TRUE(client.socket.SslPeerClosed());
    EXPECT_EQ(wsClosed, client.socket.State());
    server.Join();
    EXPECT_TRUE(answered) << "the peer got no close_notify back";
}

// ---- the server's identity ---------------------------------------------------------

// Every connection checks the server's identity against the name or the
// address it was given, read as the resolver reads it, or it does not
// start. The server presents a certificate that an authority the client
// trusts issued for another server (other.example, 177.0.0.1, ::1), on
// 127.0.0.1: a missing or misread check would call it verified.
TEST(WSocketTls, IdentityIsCheckedAsTheResolverReadsTheNameOrTheHandshakeFails)
{
    struct Case {
        std::string serverName;
        bool starts;           // the handshake runs (else it fails before any byte)
        bool verified;         // if it runs
        const char* errorPart; // in verifyError, or in SslErrorText when it does not start
        const char* sni;       // the server name the server saw
    };
    const std::string tooLong = std::string(300, 'a') + ".example";
    const Case cases[] = {
        // Other spellings of 127.0.0.1: refused, never checked as some
        // other address or not at all.
        {"127.1", false, false, "is not an IPv4 address in the usual form", ""},
        {"127.0.1", false, false, "is not an IPv4 address in the usual form", ""},
        {"2130706433", false, false, "is not an IPv4 address in the usual form", ""},
        {"0177.0.0.1", false, false, "is not an IPv4 address in the usual form", ""},
        {"0x7f.0.0.1", false, false, "is not an IPv4 address in the usual form", ""},
        // The address connected to, against a certificate for another one.
        {"127.0.0.1", true, false, "IP address mismatch", ""},
        {"177.0.0.1", true, true, "", ""},
        // IPv6 literals are addresses too, checked as such and not sent as
        // SNI.
        {"::1", true, true, "", ""},
        {"0:0::1", true, true, "", ""},
        {"::2", true, false, "IP address mismatch", ""},
        // In brackets (as in an address typed with a prefix), the same.
        {"[::1]", true, true, "", ""},
        {"[::2]", true, false, "IP address mismatch", ""},
        {"other.example", true, true, "", "other.example"},
        {"Other.Example.", true, true, "", "Other.Example"},
        {"localhost", true, false, "hostname mismatch", "localhost"},
        // No check can be set up: no handshake.
        {"", false, false, "no server name or address", ""},
        {"[127.0.0.1]", false, false, "only an IPv6 address goes in brackets", ""},
        {tooLong, false, false, "(SNI)", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("server name '" + c.serverName.substr(0, 40) + "'");
        std::string sni = "(no handshake)";
        tlspeer::Server server(tlspeer::TestPki().otherAddress, [&](tlspeer::Connection& conn) {
            if (conn.StartTls()) {
                sni = conn.ServerName();
                conn.ReadAll();
            }
        });
        Client client(server.PortText());
        client.socket.SetSslServerName(c.serverName);
        client.socket.SetSslContext(CaContext());
        client.socket.Connect();
        ASSERT_TRUE(PumpUntil([&] { return client.events.size() >= 2; }));
        if (!c.starts) {
            EXPECT_EQ((std::vector<std::string>{"handshake 12101", "connected 12101"}), client.events);
            EXPECT_NE(std::string::npos, client.socket.SslErrorText().find(c.errorPart))
                << client.socket.SslErrorText();
            EXPECT_FALSE(client.socket.SslPeer().verified);
            EXPECT_TRUE(client.socket.SslPeer().fingerprint.empty()) << "no certificate came";
            ASSERT_TRUE(PumpUntil([&] { return client.socket.State() == wsClosed; }));
            server.Join();
            EXPECT_EQ("(no handshake)", sni);
            continue;
        }
        EXPECT_EQ((std::vector<std::string>{"handshake 0", "connected 0"}), client.events);
        EXPECT_EQ(c.verified, client.socket.SslPeer().verified) << client.socket.SslPeer().verifyError;
        EXPECT_NE(std::string::npos, client.socket.SslPeer().verifyError.find(c.errorPart))
            << client.socket.SslPeer().verifyError;
        EXPECT_EQ(tlspeer::TestPki().otherAddress.fingerprint, client.socket.SslPeer().fingerprint);
        client.socket.Close();
        server.Join();
        EXPECT_EQ(c.sni, sni);
    }
}

// ---- hardening -------------------------------------------------------------------

// A server that asks for a new handshake in the middle of the connection
// (TLS 1.2), to present another certificate: the client refuses, the
// connection ends, and nothing the server sends after its request arrives.
TEST(WSocketTls, RenegotiationRequestedByTheServerIsRefused)
{
    tlspeer::Connection::Renegotiation outcome = tlspeer::Connection::Renegotiation::Failed;
    bool sentAfter = false;
    tlspeer::ServerOptions tls12;
    tls12.tls12Only = true;
    tlspeer::Server server(
        tlspeer::TestPki().signedByCa,
        [&](tlspeer::Connection& c) {
            ASSERT_TRUE(c.StartTls());
            c.Write("before");
            outcome = c.Renegotiate(tlspeer::TestPki().selfSigned);
            if (outcome == tlspeer::Connection::Renegotiation::Completed)
                sentAfter = c.Write("after the new handshake");
            c.ReadAll();
        },
        1, tls12);
    Client client(server.PortText());
    client.socket.SetSslContext(CaContext());
    std::vector<int> receiveErrors;
    client.socket.OnDataAvailable = [&](TObject*, WORD) {
        char buf[2048];
        const int n = client.socket.Receive(buf, sizeof buf);
        if (n > 0)
            client.received.append(buf, static_cast<size_t>(n));
        else if (n < 0 && client.socket.LastError() != winsock::WSAEWOULDBLOCK)
            receiveErrors.push_back(client.socket.LastError());
    };
    client.socket.Connect();
    ASSERT_TRUE(PumpUntil([&] { return client.events.size() >= 2; }));
    EXPECT_EQ("TLSv1.2", client.socket.SslPeer().protocol);
    EXPECT_TRUE(client.socket.SslPeer().verified);
    // The connection fails: the client's refusal ends it at the server,
    // whose alert ends it here.
    ASSERT_TRUE(PumpUntil([&] { return client.closed || !receiveErrors.empty(); }, 10000));
    ASSERT_TRUE(PumpUntil([&] { return client.closed; }, 10000));
    server.Join();
    EXPECT_EQ(tlspeer::Connection::Renegotiation::RefusedByClient, outcome);
    EXPECT_FALSE(sentAfter);
    EXPECT_EQ("before", client.received);
    EXPECT_EQ(std::vector<int>{WSocketSslProtocolError}, receiveErrors);
    // The certificate checked is still the one of the first handshake.
    EXPECT_EQ(tlspeer::TestPki().signedByCa.fingerprint, client.socket.SslPeer().fingerprint);
}

// TLS 1.2 only with forward secrecy (ECDHE) and authenticated encryption
// (GCM, ChaCha20-Poly1305); TLS 1.3 as OpenSSL offers it.
TEST(WSocketTls, OnlyEcdheWithAeadSuitesUnderTls12)
{
    struct Case {
        const char* serverSuites; // empty: TLS 1.3
        bool rsaKey;
        bool accepted;
    };
    const Case cases[] = {
        {"ECDHE-ECDSA-AES128-GCM-SHA256", false, true},
        {"ECDHE-ECDSA-AES256-GCM-SHA384", false, true},
        {"ECDHE-ECDSA-CHACHA20-POLY1305", false, true},
        {"ECDHE-RSA-AES128-GCM-SHA256", true, true},
        {"ECDHE-RSA-CHACHA20-POLY1305", true, true},
        // CBC with SHA-1 or SHA-2.
        {"ECDHE-ECDSA-AES128-SHA", false, false},
        {"ECDHE-ECDSA-AES256-SHA384", false, false},
        {"ECDHE-RSA-AES128-SHA", true, false},
        // No forward secrecy: the RSA key exchange, even with GCM.
        {"AES128-GCM-SHA256", true, false},
        {"AES256-SHA256", true, false},
        // Finite-field Diffie-Hellman.
        {"DHE-RSA-AES128-GCM-SHA256", true, false},
        {"", false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(*c.serverSuites ? c.serverSuites : "TLS 1.3");
        tlspeer::ServerOptions options;
        options.tls12Only = *c.serverSuites != '\0';
        options.ciphers = c.serverSuites;
        const tlspeer::Identity& id = c.rsaKey ? tlspeer::TestPki().rsaSignedByCa : tlspeer::TestPki().signedByCa;
        tlspeer::Server server(
            id,
            [](tlspeer::Connection& conn) {
                if (conn.StartTls())
                    conn.ReadAll();
            },
            1, options);
        Client client(server.PortText());
        client.socket.SetSslContext(CaContext());
        client.socket.Connect();
        ASSERT_TRUE(PumpUntil([&] { return client.events.size() >= 2; }));
        if (c.accepted) {
            EXPECT_EQ("handshake 0", client.events[0]) << client.socket.SslErrorText();
            EXPECT_EQ(*c.serverSuites ? c.serverSuites : std::string("TLS_AES_256_GCM_SHA384"),
                      client.socket.SslPeer().cipher);
        } else {
            EXPECT_EQ("handshake 12101", client.events[0]) << client.socket.SslPeer().cipher;
        }
        client.socket.Close();
        server.Join();
    }
}

// ---- what the certificate says, as shown --------------------------------------------

// A subject written to break the line it is shown on: every control, line
// or paragraph separator and direction override comes escaped, visibly.
TEST(WSocketTls, CertificateTextsComeWithEveryBreakEscaped)
{
    tlspeer::Server server(tlspeer::TestPki().lineBreaking, [](tlspeer::Connection& conn) {
        if (conn.StartTls())
            conn.ReadAll();
    });
    Client client(server.PortText());
    client.socket.SetSslContext(CaContext());
    client.socket.Connect();
    ASSERT_TRUE(PumpUntil([&] { return client.events.size() >= 2; }));
    ASSERT_EQ("handshake 0", client.events[0]);
    const std::string subject = client.socket.SslPeer().subject;
    client.socket.Close();
    server.Join();

    EXPECT_EQ("O = Parcelo tests, CN = localhost\\u2028SHA-256: 00:11\\u2029Trust\\u0085it\\u000Anow\\u000Dback"
              "\\u0009tab\\u007F\\u202Eevil\\\\end",
              subject);
    for (const char* raw : {"\xe2\x80\xa8", "\xe2\x80\xa9", "\xc2\x85", "\xe2\x80\xae"})
        EXPECT_EQ(std::string::npos, subject.find(raw));
    for (char c : subject)
        EXPECT_GE(static_cast<unsigned char>(c), 0x20) << subject;
}

TEST(SslVisibleText, EscapesBreaksControlsInvisiblesAndBrokenUtf8Only)
{
    struct Row {
        std::string in, out;
    };
    const std::vector<Row> rows = {
        {"plain text, with \\ and \"quotes\"", "plain text, with \\ and \"quotes\""},
        {"caf\xc3\xa9 \xe6\x97\xa5\xe6\x9c\xac \xf0\x9f\x94\x92",
         "caf\xc3\xa9 \xe6\x97\xa5\xe6\x9c\xac \xf0\x9f\x94\x92"},
        {std::string("a\0b", 3), "a\\u0000b"},
        {"a\r\nb\tc\x1b[31m", "a\\u000D\\u000Ab\\u0009c\\u001B[31m"},
        {"\x7f\xc2\x80\xc2\x85\xc2\x9f\xc2\xa0", "\\u007F\\u0080\\u0085\\u009F\xc2\xa0"},
        {"\xe2\x80\xa8\xe2\x80\xa9", "\\u2028\\u2029"},
        {"\xe2\x80\x8b\xe2\x80\x8f\xe2\x80\xaa\xe2\x80\xae\xe2\x81\xa6\xe2\x81\xa9\xef\xbb\xbf\xd8\x9c",
         "\\u200B\\u200F\\u202A\\u202E\\u2066\\u2069\\uFEFF\\u061C"},
        {"\xf3\xa0\x80\x81", "\\U000E0001"},
        // Not UTF-8: a stray continuation byte, a cut sequence, an overlong
        // form, a surrogate, a value above U+10FFFF.
        {"\x80", "\\x80"},
        {"a\xe2\x80", "a\\xE2\\x80"},
        {"\xc0\xaf", "\\xC0\\xAF"},
        {"\xed\xa0\x80", "\\xED\\xA0\\x80"},
        {"\xf4\x90\x80\x80", "\\xF4\\x90\\x80\\x80"},
        {"", ""},
    };
    for (const Row& r : rows)
        EXPECT_EQ(r.out, SslVisibleText(r.in)) << r.in;
}

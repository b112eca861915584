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

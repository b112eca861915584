// The socket core: connections, events, close rules, property setters.
#include <gtest/gtest.h>

#include <fcntl.h>

#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "LoopUtil.h"
#include "PosixPeer.h"
#include "net/WSocket.h"

namespace {

// A TWSocket listening on 127.0.0.1 with a port chosen by the system.
struct Listener {
    TWSocket sock;
    int port = 0;
    Listener()
    {
        sock.SetAddr("127.0.0.1");
        sock.SetPort("0");
        sock.Listen();
        winsock::sockaddr_in sin{};
        int len = sizeof sin;
        EXPECT_EQ(0, sock.GetSockName(sin, len));
        port = winsock::ntohs(sin.sin_port);
    }
};

void Target(TWSocket& s, int port)
{
    s.SetAddr("127.0.0.1");
    s.SetPort(std::to_string(port));
}

// A port with nobody listening: bound, then closed.
int FreePort()
{
    int port = 0;
    int fd = peer::Listen(port);
    peer::Close(fd);
    return port;
}

std::string ExceptionText(const std::function<void()>& f)
{
    try {
        f();
    } catch (const ESocketException& e) {
        return e.what();
    }
    return "(no exception)";
}

TEST(WSocketConnect, ConnectAcceptDupAndExchangeBothWays)
{
    // Declared before the sockets: their destructors still report the
    // change to wsClosed.
    std::string atServer, atClient;
    int connected = 0, serverSent = 0, clientSent = 0;
    std::vector<std::string> clientStates;
    Listener l;
    TWSocket server;
    TWSocket client;
    l.sock.OnSessionAvailable = [&](TObject*, WORD err) {
        EXPECT_EQ(0, err);
        server.Dup(l.sock.Accept());
    };
    server.OnDataAvailable = [&](TObject*, WORD) { atServer += server.ReceiveStr(); };
    server.OnDataSent = [&](TObject*, WORD err) {
        EXPECT_EQ(0, err);
        ++serverSent;
    };
    client.OnChangeState = [&](TObject*, TSocketState from, TSocketState to) {
        clientStates.push_back(std::string(ToString(from)) + ">" + ToString(to));
    };
    client.OnSessionConnected = [&](TObject* sender, WORD err) {
        EXPECT_EQ(&client, sender);
        EXPECT_EQ(0, err);
        ++connected;
        client.SendStr("hello server");
    };
    client.OnDataSent = [&](TObject*, WORD) { ++clientSent; };
    client.OnDataAvailable = [&](TObject*, WORD) { atClient += client.ReceiveStr(); };
    Target(client, l.port);
    client.Connect();
    EXPECT_EQ(wsConnecting, client.State());
    ASSERT_TRUE(PumpUntil([&] { return atServer == "hello server"; }));
    EXPECT_EQ(1, connected);
    EXPECT_EQ(wsConnected, server.State());
    // The first FD_WRITE after Dup fires OnDataSent with nothing queued.
    EXPECT_EQ(1, serverSent);
    server.SendStr("hello client");
    ASSERT_TRUE(PumpUntil([&] { return atClient == "hello client" && serverSent == 2; }));
    EXPECT_EQ("127.0.0.1", server.PeerAddr());
    EXPECT_EQ(std::to_string(l.port), client.PeerPort());
    EXPECT_EQ(0, server.ReadCount()) << "ReceiveStr does not count";
    EXPECT_EQ((std::vector<std::string>{"wsClosed>wsOpened", "wsOpened>wsConnecting", "wsConnecting>wsConnected"}),
              clientStates);
    // The first FD_WRITE after connect, then the drained "hello server".
    EXPECT_EQ(2, clientSent);
}

TEST(WSocketConnect, AHeadlessProgramRunsAConversationWithRunMessageLoopAlone)
{
    std::string atClient;
    Listener l;
    TWSocket server, client;
    l.sock.OnSessionAvailable = [&](TObject*, WORD) { server.Dup(l.sock.Accept()); };
    server.OnDataAvailable = [&](TObject*, WORD) {
        if (server.ReceiveStr() == "ping")
            server.SendStr("pong");
    };
    server.OnSessionClosed = [&](TObject*, WORD) { PostQuitMessage(7); };
    client.OnSessionConnected = [&](TObject*, WORD) { client.SendStr("ping"); };
    client.OnDataAvailable = [&](TObject*, WORD) {
        atClient += client.ReceiveStr();
        if (atClient == "pong")
            client.Close();
    };
    Target(client, l.port);
    client.Connect();
    EXPECT_EQ(7, RunMessageLoop());
    SetTerminating(false);
    EXPECT_EQ("pong", atClient);
    EXPECT_EQ(wsClosed, server.State());
}

TEST(WSocketConnect, RefusedConnectReportsTheErrorThenClosesOnce)
{
    TWSocket client;
    std::vector<std::string> events;
    client.OnSessionConnected = [&](TObject*, WORD err) {
        events.push_back("connected " + std::to_string(err));
        EXPECT_EQ(wsConnected, client.State());
    };
    client.OnSessionClosed = [&](TObject*, WORD err) { events.push_back("closed " + std::to_string(err)); };
    Target(client, FreePort());
    client.Connect();
    ASSERT_TRUE(PumpUntil([&] { return events.size() >= 2; }));
    PumpPending();
    EXPECT_EQ((std::vector<std::string>{"connected 10061", "closed 0"}), events);
    EXPECT_EQ(wsClosed, client.State());
    EXPECT_EQ(INVALID_SOCKET, client.HSocket());
}

TEST(WSocketConnect, AHandlerThatConnectsElsewhereAfterARefusalKeepsItsNewConnection)
{
    Listener l;
    TWSocket client;
    std::vector<std::string> events;
    client.OnSessionConnected = [&](TObject*, WORD err) {
        events.push_back("connected " + std::to_string(err));
        if (err != 0) {
            client.Close();
            Target(client, l.port);
            client.Connect();
        }
    };
    client.OnSessionClosed = [&](TObject*, WORD err) { events.push_back("closed " + std::to_string(err)); };
    Target(client, FreePort());
    client.Connect();
    ASSERT_TRUE(PumpUntil([&] { return events.size() >= 3; }));
    PumpPending();
    EXPECT_EQ((std::vector<std::string>{"connected 10061", "closed 0", "connected 0"}), events);
    EXPECT_EQ(wsConnected, client.State());
    client.OnSessionClosed = nullptr;
}

TEST(WSocketConnect, PeerClosingWithDataUnreadDeliversTheDataBeforeTheClose)
{
    int port = 0;
    int lfd = peer::Listen(port);
    TWSocket client;
    std::string got;
    std::vector<std::string> order;
    client.OnDataAvailable = [&](TObject*, WORD) {
        char buf[100]; // small reads: several rounds
        int n = client.Receive(buf, sizeof buf);
        if (n > 0) {
            got.append(buf, static_cast<size_t>(n));
            if (order.empty() || order.back() != "data")
                order.push_back("data");
        }
    };
    int closed = 0;
    client.OnSessionClosed = [&](TObject*, WORD err) {
        EXPECT_EQ(0, err);
        ++closed;
        order.push_back("closed");
    };
    Target(client, port);
    client.Connect();
    int fd = peer::Accept(lfd);
    std::string payload(50000, 'x');
    for (size_t i = 0; i < payload.size(); ++i)
        payload[i] = static_cast<char>('a' + i % 26);
    ASSERT_TRUE(peer::SendAll(fd, payload));
    peer::Close(fd); // before the client has read anything
    ASSERT_TRUE(PumpUntil([&] { return closed > 0; }));
    PumpPending();
    EXPECT_EQ(payload, got);
    EXPECT_EQ(1, closed);
    ASSERT_FALSE(order.empty());
    EXPECT_EQ("closed", order.back());
    EXPECT_EQ(wsClosed, client.State());
    peer::Close(lfd);
}

TEST(WSocketConnect, UnreadDataWithoutHandlerIsDrainedAndDiscarded)
{
    int port = 0;
    int lfd = peer::Listen(port);
    TWSocket client;
    bool connected = false;
    client.OnSessionConnected = [&](TObject*, WORD) { connected = true; };
    Target(client, port);
    client.Connect();
    int fd = peer::Accept(lfd);
    ASSERT_TRUE(PumpUntil([&] { return connected; }));
    ASSERT_TRUE(peer::SendAll(fd, std::string(5000, 'z')));
    ASSERT_TRUE(PumpUntil([&] { return client.GetRcvdCount() == 0 && client.State() == wsConnected; }));
    // Nothing left unread, and the connection lives on.
    PumpPending();
    EXPECT_EQ(0, client.GetRcvdCount());
    EXPECT_EQ(wsConnected, client.State());
    peer::Close(fd);
    peer::Close(lfd);
}

TEST(WSocketConnect, AHandlerThatLeavesDataUnreadDoesNotFreezeTheLoop)
{
    int port = 0;
    int lfd = peer::Listen(port);
    TWSocket client;
    int calls = 0;
    bool connected = false;
    client.OnSessionConnected = [&](TObject*, WORD) { connected = true; };
    client.OnDataAvailable = [&](TObject*, WORD) { ++calls; };
    Target(client, port);
    client.Connect();
    int fd = peer::Accept(lfd);
    ASSERT_TRUE(PumpUntil([&] { return connected; }));
    peer::SendAll(fd, "unread");
    ASSERT_TRUE(PumpUntil([&] { return calls > 0; }));
    // Other messages still get their turn while the data waits.
    int other = 0;
    HWND h = AllocateHWnd([&](HWND, UINT, WPARAM, LPARAM) -> LRESULT {
        ++other;
        return 0;
    });
    PostMessage(h, WM_USER, 0, 0);
    ASSERT_TRUE(PumpUntil([&] { return other == 1; }));
    EXPECT_GT(calls, 1) << "offered again while unread";
    std::string got;
    client.OnDataAvailable = [&](TObject*, WORD) { got += client.ReceiveStr(); };
    ASSERT_TRUE(PumpUntil([&] { return got == "unread"; }));
    DestroyWindow(h);
    peer::Close(fd);
    peer::Close(lfd);
}

TEST(WSocketClose, CloseFiresSessionClosedOnceAndClosingAgainDoesNothing)
{
    Listener l;
    TWSocket server, client;
    l.sock.OnSessionAvailable = [&](TObject*, WORD) { server.Dup(l.sock.Accept()); };
    int closed = 0, changes = 0;
    bool connected = false;
    client.OnSessionConnected = [&](TObject*, WORD) { connected = true; };
    client.OnSessionClosed = [&](TObject*, WORD err) {
        EXPECT_EQ(0, err);
        ++closed;
    };
    Target(client, l.port);
    client.Connect();
    ASSERT_TRUE(PumpUntil([&] { return connected && server.State() == wsConnected; }));
    client.OnChangeState = [&](TObject*, TSocketState, TSocketState) { ++changes; };
    client.Close();
    EXPECT_EQ(1, closed);
    EXPECT_EQ(1, changes);
    client.Close();
    client.Abort();
    PumpPending();
    EXPECT_EQ(1, closed);
    EXPECT_EQ(1, changes);
    // Addr and Port keep their text but must be assigned again.
    EXPECT_EQ("127.0.0.1", client.Addr());
    EXPECT_EQ(std::to_string(l.port), client.Port());
    EXPECT_EQ("Connect: No Port Specified", ExceptionText([&] { client.Connect(); }));
}

TEST(WSocketClose, ServerSideSeesThePeerCloseOnce)
{
    Listener l;
    TWSocket server, client;
    l.sock.OnSessionAvailable = [&](TObject*, WORD) { server.Dup(l.sock.Accept()); };
    int closed = 0;
    server.OnSessionClosed = [&](TObject*, WORD err) {
        EXPECT_EQ(0, err);
        ++closed;
    };
    Target(client, l.port);
    client.Connect();
    ASSERT_TRUE(PumpUntil([&] { return server.State() == wsConnected && client.State() == wsConnected; }));
    client.Close();
    ASSERT_TRUE(PumpUntil([&] { return server.State() == wsClosed; }));
    PumpPending();
    EXPECT_EQ(1, closed);
}

TEST(WSocketClose, AHandlerThatClosesDuringThePeersCloseGetsOneClosedEvent)
{
    // The peer sends 100 bytes and closes before the client looks. The
    // client reads one byte per call, so the first read notice takes 32 and
    // the close notice delivers the rest; the handler acts on the last byte
    // (inside the close notice) or on the closed event itself.
    struct Case {
        const char* name;
        const char* onLastByte; // "", "close", "abort", "reconnect"
        const char* onClosed;   // "", "close", "reconnect"
    };
    const Case cases[] = {
        {"Close on the last byte", "close", ""},
        {"Abort on the last byte", "abort", ""},
        {"Close and connect again on the last byte", "reconnect", ""},
        {"Close from the closed event", "", "close"},
        {"Close and connect again from the closed event", "", "reconnect"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        int port = 0;
        int lfd = peer::Listen(port);
        TWSocket client;
        int connected = 0, closed = 0;
        std::string got;
        auto act = [&](const std::string& what) {
            if (what == "close" || what == "reconnect")
                client.Close();
            else if (what == "abort")
                client.Abort();
            if (what == "reconnect") {
                Target(client, port);
                client.Connect();
            }
        };
        client.OnSessionConnected = [&](TObject*, WORD) { ++connected; };
        client.OnDataAvailable = [&](TObject*, WORD) {
            char b;
            if (client.Receive(&b, 1) == 1) {
                got += b;
                if (got.size() == 100)
                    act(c.onLastByte);
            }
        };
        client.OnSessionClosed = [&](TObject*, WORD) {
            ++closed;
            act(c.onClosed);
        };
        Target(client, port);
        client.Connect();
        int fd = peer::Accept(lfd);
        ASSERT_TRUE(PumpUntil([&] { return connected == 1; }));
        ASSERT_TRUE(peer::SendAll(fd, std::string(100, 'd')));
        peer::Close(fd);
        ASSERT_TRUE(PumpUntil([&] { return closed > 0; }));
        bool again = std::string(c.onLastByte) == "reconnect" || std::string(c.onClosed) == "reconnect";
        int fd2 = again ? peer::Accept(lfd) : -1;
        if (again) {
            ASSERT_TRUE(PumpUntil([&] { return connected == 2; }));
        }
        PumpPending();
        EXPECT_EQ(1, closed);
        EXPECT_EQ(100u, got.size());
        // A connection made by the handler is not closed by the old notice.
        EXPECT_EQ(again ? wsConnected : wsClosed, client.State());
        client.OnSessionClosed = nullptr;
        if (again)
            peer::Close(fd2);
        peer::Close(lfd);
    }
}

TEST(WSocketClose, GracefulCloseDeliversWhatTheSystemStillHolds)
{
    // With the default linger (on, 0 seconds) a close would reset the
    // connection and drop the bytes still in the send buffer.
    int port = 0;
    int lfd = peer::Listen(port);
    TWSocket client;
    bool sent = false;
    client.OnSessionConnected = [&](TObject*, WORD) {
        int big = 4 << 20;
        winsock::setsockopt(client.HSocket(), winsock::SOL_SOCKET, winsock::SO_SNDBUF,
                            reinterpret_cast<const char*>(&big), sizeof big);
        std::string data(1 << 20, 'q');
        client.Send(data.data(), static_cast<int>(data.size()));
    };
    client.OnDataSent = [&](TObject*, WORD) { sent = client.AllSent(); };
    Target(client, port);
    client.Connect();
    int fd = peer::Accept(lfd);
    ASSERT_TRUE(PumpUntil([&] { return sent; }));
    client.Close();
    EXPECT_EQ(1 << 20, peer::ReadAll(fd));
    peer::Close(fd);
    peer::Close(lfd);
}

TEST(WSocketLifetime, SocketDestroyedInsideItsOwnHandlerIsNeverTouchedAgain)
{
    // Each handler deletes the socket; ASan reports any later access, and
    // no further event may fire.
    struct Case {
        const char* name;
        std::function<void(TWSocket*, std::function<void()>)> arm;
    };
    std::vector<Case> cases = {
        {"OnSessionConnected",
         [](TWSocket* s, std::function<void()> kill) { s->OnSessionConnected = [kill](TObject*, WORD) { kill(); }; }},
        {"OnChangeState to connected",
         [](TWSocket* s, std::function<void()> kill) {
             s->OnChangeState = [kill](TObject*, TSocketState, TSocketState to) {
                 if (to == wsConnected)
                     kill();
             };
         }},
        {"OnDataSent",
         [](TWSocket* s, std::function<void()> kill) { s->OnDataSent = [kill](TObject*, WORD) { kill(); }; }},
        {"OnDataAvailable",
         [](TWSocket* s, std::function<void()> kill) { s->OnDataAvailable = [kill](TObject*, WORD) { kill(); }; }},
        {"OnSessionClosed",
         [](TWSocket* s, std::function<void()> kill) {
             s->OnDataAvailable = [s](TObject*, WORD) { s->ReceiveStr(); };
             s->OnSessionClosed = [kill](TObject*, WORD) { kill(); };
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        int port = 0;
        int lfd = peer::Listen(port);
        auto* s = new TWSocket();
        bool dead = false;
        auto kill = [&] {
            ASSERT_FALSE(dead);
            dead = true;
            delete s;
        };
        c.arm(s, kill);
        Target(*s, port);
        s->Connect();
        int fd = peer::Accept(lfd);
        peer::SendAll(fd, "some data");
        peer::Close(fd);
        ASSERT_TRUE(PumpUntil([&] { return dead; }));
        PumpPending();
        peer::Close(lfd);
    }
}

TEST(WSocketLifetime, SocketDestroyedWithMessagesQueuedGetsNoneOfThem)
{
    Listener l;
    auto* client = new TWSocket();
    int calls = 0;
    client->OnSessionConnected = [&](TObject*, WORD) { ++calls; };
    client->OnDataSent = [&](TObject*, WORD) { ++calls; };
    Target(*client, l.port);
    client->Connect();
    // Let the readiness become queued messages without dispatching them.
    WaitMessage(200);
    ASSERT_GT(PendingMessageCount(), 0u);
    delete client;
    PumpPending();
    EXPECT_EQ(0, calls);
}

TEST(WSocketLifetime, LateNotificationsOfAClosedHandleDoNotReachTheNextConnection)
{
    // Linux hands the next socket the same descriptor number at once.
    Listener l;
    TWSocket client;
    int connected = 0, sent = 0;
    client.OnSessionConnected = [&](TObject*, WORD) { ++connected; };
    client.OnDataSent = [&](TObject*, WORD) { ++sent; };
    Target(client, l.port);
    client.Connect();
    SOCKET first = client.HSocket();
    WaitMessage(200); // FD_CONNECT and FD_WRITE queued, not dispatched
    client.Close();
    Target(client, l.port);
    client.Connect();
    EXPECT_EQ(first, client.HSocket());
    ASSERT_TRUE(PumpUntil([&] { return connected > 0; }));
    PumpPending();
    EXPECT_EQ(1, connected);
    EXPECT_EQ(1, sent);
}

TEST(WSocketErrors, AcceptOnASocketThatIsNotListening)
{
    TWSocket s;
    EXPECT_EQ("Error 10022 in function not a listening socket\r\nInvalid argument",
              ExceptionText([&] { EXPECT_EQ(INVALID_SOCKET, s.Accept()); }));
    EXPECT_EQ(10022, s.LastError());
    int errors = 0;
    s.OnError = [&](TObject*) { ++errors; };
    EXPECT_EQ(INVALID_SOCKET, s.Accept());
    EXPECT_EQ(1, errors);
}

TEST(WSocketErrors, ListenOnAPortInUseReportsAndLeaksNoHandle)
{
    Listener l;
    int before = winsock::OpenSocketCount();
    TWSocket second;
    Target(second, l.port);
    EXPECT_EQ("Error 10048 in function Bind\r\nAddress already in use", ExceptionText([&] { second.Listen(); }));
    EXPECT_EQ(before, winsock::OpenSocketCount());
    EXPECT_EQ(wsClosed, second.State());
}

TEST(WSocketErrors, ListenWithoutItsPropertiesNamesWhatIsMissing)
{
    TWSocket s;
    EXPECT_EQ("Error 10022 in function listen: port not assigned\r\nInvalid argument",
              ExceptionText([&] { s.Listen(); }));
    s.SetPort("0");
    EXPECT_EQ("Error 10022 in function listen: address not assigned\r\nInvalid argument",
              ExceptionText([&] { s.Listen(); }));
    s.SetProto("");
    EXPECT_EQ("Error 10022 in function listen: protocol not assigned\r\nInvalid argument",
              ExceptionText([&] { s.Listen(); }));
}

TEST(WSocketErrors, ConnectChecksInOrderAndPrefixesResolutionErrors)
{
    TWSocket s;
    EXPECT_EQ("Connect: No Port Specified", ExceptionText([&] { s.Connect(); }));
    s.SetPort("21");
    EXPECT_EQ("Connect: No IP Address Specified", ExceptionText([&] { s.Connect(); }));
    s.SetAddr("256.1.1.1");
    EXPECT_EQ("connect: WSocketResolveHost: '256.1.1.1' is not an IPv4 address in the usual form: write four "
              "decimal numbers from 0 to 255 without leading zeros, such as 192.0.2.1 (short, octal and "
              "hexadecimal forms are refused because programs read them differently)",
              ExceptionText([&] { s.Connect(); }));
    s.SetProto("");
    EXPECT_EQ("Connect: No Protocol Specified", ExceptionText([&] { s.Connect(); }));
    EXPECT_EQ(wsClosed, s.State());
    EXPECT_EQ(INVALID_SOCKET, s.HSocket());
}

TEST(WSocketErrors, ConnectWhileConnectedIsRefused)
{
    Listener l;
    TWSocket client;
    Target(client, l.port);
    client.Connect();
    EXPECT_EQ("Connect: Socket already in use", ExceptionText([&] { client.Connect(); }));
}

TEST(WSocketErrors, DupOfNoHandleIsAnError)
{
    TWSocket s;
    EXPECT_EQ("Error 10022 in function Dup\r\nInvalid argument", ExceptionText([&] { s.Dup(INVALID_SOCKET); }));
    EXPECT_EQ("Error 10022 in function Dup\r\nInvalid argument", ExceptionText([&] { s.Dup(0); }));
}

TEST(WSocketErrors, HandlerExceptionAbortsTheSocketUnlessTheBgHandlerKeepsIt)
{
    for (bool keep : {false, true}) {
        SCOPED_TRACE(keep ? "kept" : "aborted");
        Listener l;
        TWSocket client;
        int bg = 0;
        client.OnSessionConnected = [&](TObject*, WORD) { throw std::runtime_error("handler failed"); };
        client.OnBgException = [&](TObject*, const std::exception& e, bool& canClose) {
            EXPECT_STREQ("handler failed", e.what());
            ++bg;
            canClose = !keep;
        };
        Target(client, l.port);
        client.Connect();
        ASSERT_TRUE(PumpUntil([&] { return bg > 0; }));
        EXPECT_EQ(keep ? wsConnected : wsClosed, client.State());
    }
}

TEST(WSocketProperties, SettersFollowTheClosedRule)
{
    Listener l;
    TWSocket s;
    Target(s, l.port);
    s.Connect();
    // Same value while open: accepted silently; another value: refused.
    s.SetAddr("127.0.0.1");
    s.SetPort(std::to_string(l.port));
    s.SetProto("tcp");
    struct Row {
        const char* text;
        std::function<void()> set;
    };
    std::vector<Row> rows = {
        {"Cannot change Addr if not closed", [&] { s.SetAddr("127.0.0.2"); }},
        {"Cannot change Port if not closed", [&] { s.SetPort("21"); }},
        {"Cannot change Proto if not closed", [&] { s.SetProto("udp"); }},
        {"Cannot change LocalPort if not closed", [&] { s.SetLocalPort("0"); }},
    };
    for (const Row& r : rows)
        EXPECT_EQ(r.text, ExceptionText(r.set));
    EXPECT_EQ("127.0.0.1", s.Addr());
    EXPECT_EQ("tcp", s.Proto());
}

TEST(WSocketProperties, ClosedSettersTrimAndEmptyUnassigns)
{
    TWSocket s;
    s.SetAddr(" \t127.0.0.1\r\n");
    EXPECT_EQ("127.0.0.1", s.Addr());
    s.SetLocalPort(" 0 ");
    EXPECT_EQ(" 0 ", s.LocalPort()) << "stored as given";
    s.SetPort("  ");
    EXPECT_EQ("", s.Port());
    EXPECT_EQ("Connect: No Port Specified", ExceptionText([&] { s.Connect(); }));
}

TEST(WSocketProperties, SendFlagsAndDefaults)
{
    TWSocket s;
    EXPECT_EQ(wsSendNormal, s.SendFlags());
    s.SetSendFlags(wsSendUrgent);
    EXPECT_EQ(wsSendUrgent, s.SendFlags());
    EXPECT_EQ("Invalid SendFlags", ExceptionText([&] { s.SetSendFlags(static_cast<TSocketSendFlags>(7)); }));
    EXPECT_EQ(wsSendUrgent, s.SendFlags());
    EXPECT_EQ("tcp", s.Proto());
    EXPECT_EQ("0", s.LocalPort());
    EXPECT_EQ(wsLingerOn, s.LingerOnOff());
    EXPECT_EQ(0, s.LingerTimeout());
    EXPECT_EQ(60, s.FlushTimeout());
    EXPECT_EQ(1514, s.BufSize());
    EXPECT_EQ(wsClosed, s.State());
    EXPECT_EQ("Cannot set linger option at this time", ExceptionText([&] { s.SetLingerOption(); }));
    s.SetLingerOnOff(wsLingerNoSet);
    s.SetLingerOption(); // leaves the system default alone: no report
}

TEST(WSocketReceive, ZeroSizedReceiveReturnsZero)
{
    TWSocket s;
    char buf[1];
    EXPECT_EQ(0, s.Receive(buf, 0));
}

TEST(WSocketReceive, PauseHoldsNotificationsAndResumeBringsThemBack)
{
    int port = 0;
    int lfd = peer::Listen(port);
    TWSocket client;
    std::string got;
    bool connected = false;
    client.OnSessionConnected = [&](TObject*, WORD) { connected = true; };
    client.OnDataAvailable = [&](TObject*, WORD) { got += client.ReceiveStr(); };
    Target(client, port);
    client.Connect();
    int fd = peer::Accept(lfd);
    ASSERT_TRUE(PumpUntil([&] { return connected; }));
    EXPECT_EQ(0, client.Pause());
    peer::SendAll(fd, "held");
    WaitMessage(100);
    PumpPending();
    EXPECT_EQ("", got);
    EXPECT_EQ(0, client.Resume());
    ASSERT_TRUE(PumpUntil([&] { return got == "held"; }));
    peer::Close(fd);
    peer::Close(lfd);
}

TEST(WSocketResources, ThousandsOfSocketsLeaveTheDescriptorCountAsItWas)
{
    MessageQueueFd(); // the queue's own descriptors exist from its first use
    int before = peer::OpenDescriptorCount();
    int socketsBefore = winsock::OpenSocketCount();
    Listener l;
    for (int i = 0; i < 300; ++i) {
        TWSocket server, client;
        l.sock.OnSessionAvailable = [&](TObject*, WORD) { server.Dup(l.sock.Accept()); };
        Target(client, l.port);
        client.Connect();
        ASSERT_TRUE(PumpUntil([&] { return client.State() == wsConnected && server.State() == wsConnected; }));
        if (i % 2)
            client.Close();
        else
            server.Abort();
    }
    for (int i = 0; i < 3000; ++i) {
        TWSocket s;
        s.SetAddr("127.0.0.1");
        s.SetPort("0");
        s.Listen();
        if (i % 3 == 0)
            s.Close(); // the rest are closed by the destructor
    }
    l.sock.Close();
    PumpPending();
    EXPECT_EQ(socketsBefore, winsock::OpenSocketCount());
    EXPECT_EQ(before, peer::OpenDescriptorCount());
}

TEST(WSocketResources, WinsockStopsWithTheLastSocketAndStartsAgain)
{
    ASSERT_EQ(0, TCustomWSocket::InstanceCount());
    {
        TWSocket s;
        EXPECT_EQ(1, TCustomWSocket::InstanceCount());
        s.SetAddr("127.0.0.1");
        s.SetPort("0");
        s.Listen();
        EXPECT_TRUE(winsock::WSAIsStarted());
    }
    EXPECT_EQ(0, TCustomWSocket::InstanceCount());
    EXPECT_FALSE(winsock::WSAIsStarted());
    TWSocket again;
    again.SetAddr("127.0.0.1");
    again.SetPort("0");
    again.Listen();
    EXPECT_TRUE(winsock::WSAIsStarted());
}

TEST(WSocketOwnership, OwnedSocketsGoWithTheirOwnerWithoutClosedEvents)
{
    auto* owner = new TComponent(nullptr);
    Listener l;
    auto* s = new TWSocket(owner);
    int closed = 0;
    s->OnSessionClosed = [&](TObject*, WORD) { ++closed; };
    Target(*s, l.port);
    s->Connect();
    ASSERT_TRUE(PumpUntil([&] { return s->State() == wsConnected; }));
    EXPECT_EQ(1u, owner->Components().size());
    delete owner;
    PumpPending();
    EXPECT_EQ(0, closed);
    EXPECT_EQ(0, TCustomWSocket::InstanceCount() - 1); // only the listener
}

} // namespace

namespace {

// A client connected to a plain peer socket, for the close and pause cases.
struct PeerConnection {
    int lfd = -1;
    int fd = -1;
    TWSocket& client;
    explicit PeerConnection(TWSocket& c) : client(c)
    {
        int port = 0;
        lfd = peer::Listen(port);
        Target(client, port);
        client.Connect();
        fd = peer::Accept(lfd);
        EXPECT_TRUE(PumpUntil([&] { return client.State() == wsConnected; }));
    }
    ~PeerConnection()
    {
        if (fd >= 0)
            peer::Close(fd);
        peer::Close(lfd);
    }
};

} // namespace

TEST(WSocketClose, APeerResetIsReportedWithItsErrorAndAnOrderlyCloseWithNone)
{
    struct Case {
        const char* name;
        bool reset;
        bool dataFirst; // the peer sends something before it goes
        bool handler;   // OnDataAvailable assigned
        bool midRead;   // the reset comes while the handler reads: it
                        // reads on until the receive fails
        WORD error;
    } cases[] = {
        {"reset", true, false, true, false, 10054},
        {"reset after data", true, true, true, false, 10054},
        {"reset, nobody reads", true, true, false, false, 10054},
        {"reset while the handler reads", true, true, true, true, 10054},
        {"orderly close", false, false, true, false, 0},
        {"orderly close after data", false, true, true, false, 0},
        {"orderly close while the handler reads", false, true, true, true, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TWSocket client;
        std::vector<int> closes;
        std::string got;
        int* peerFd = nullptr;
        std::vector<int> receiveErrors;
        if (c.handler && !c.midRead)
            client.OnDataAvailable = [&](TObject*, WORD) { got += client.ReceiveStr(); };
        if (c.midRead) {
            client.OnDataAvailable = [&](TObject*, WORD) {
                if (*peerFd >= 0) {
                    if (c.reset) {
                        peer::ResetClose(*peerFd);
                    } else {
                        peer::Close(*peerFd);
                    }
                    *peerFd = -1;
                }
                char buf[64];
                int n;
                while ((n = client.Receive(buf, sizeof buf)) > 0)
                    got.append(buf, static_cast<size_t>(n));
                if (n < 0)
                    receiveErrors.push_back(client.LastError());
            };
        }
        client.OnSessionClosed = [&](TObject*, WORD err) { closes.push_back(err); };
        PeerConnection p(client);
        peerFd = &p.fd;
        if (c.midRead) {
            ASSERT_TRUE(peer::SendAll(p.fd, "bye"));
            ASSERT_TRUE(PumpUntil([&] { return !closes.empty(); }));
            PumpPending();
            EXPECT_EQ("bye", got);
            if (c.reset) {
                EXPECT_EQ(std::vector<int>{10054}, receiveErrors);
            }
            EXPECT_EQ(std::vector<int>{c.error}, closes);
            continue;
        }
        if (c.dataFirst) {
            ASSERT_TRUE(peer::SendAll(p.fd, "bye"));
            if (c.handler) {
                ASSERT_TRUE(PumpUntil([&] { return got == "bye"; }));
            }
        }
        if (c.reset)
            peer::ResetClose(p.fd);
        else
            peer::Close(p.fd);
        p.fd = -1;
        ASSERT_TRUE(PumpUntil([&] { return !closes.empty(); }));
        PumpPending();
        EXPECT_EQ(std::vector<int>{c.error}, closes);
        EXPECT_EQ(wsClosed, client.State());
    }
}

TEST(WSocketClose, CloseWithALingerTimeDoesNotHoldTheThreadAndStillDeliversWhatTheSystemHolds)
{
    TWSocket client;
    PeerConnection p(client);
    client.SetLingerOnOff(wsLingerOn);
    client.SetLingerTimeout(60);
    client.SetLingerOption();
    // More than the system buffers take while the peer does not read.
    std::string block(8 << 20, '\0');
    for (size_t i = 0; i < block.size(); ++i)
        block[i] = static_cast<char>('a' + i % 23);
    client.Send(block.data(), static_cast<int>(block.size()));
    ASSERT_FALSE(client.AllSent());

    // The peer starts reading only once Close has returned. (The guard only
    // keeps a Close that blocks from hanging the run: it ends the block by
    // reading, and the order then shows the fault.)
    std::mutex m;
    std::condition_variable cv;
    bool closeReturned = false;
    bool readBeforeReturn = false;
    std::string got;
    long long result = 0;
    int fd = p.fd;
    p.fd = -1;
    std::thread reader([&] {
        {
            std::unique_lock lock(m);
            if (!cv.wait_for(lock, std::chrono::seconds(20), [&] { return closeReturned; }))
                readBeforeReturn = true;
        }
        result = peer::ReadAll(fd, &got);
        peer::Close(fd);
    });
    client.Close();
    {
        std::lock_guard lock(m);
        closeReturned = true;
    }
    cv.notify_all();
    reader.join();
    EXPECT_FALSE(readBeforeReturn) << "Close waited for the peer";
    EXPECT_EQ(wsClosed, client.State());
    // What the system had taken arrives whole and in order, with an
    // orderly end (no reset).
    ASSERT_GT(result, 0);
    EXPECT_EQ(static_cast<long long>(got.size()), result);
    EXPECT_EQ(0, block.compare(0, got.size(), got));
}

// Records the socket notices that reach the window, and pauses itself when
// the notice named by pauseOn arrives, before handling it: as if something
// dispatched just before it had called Pause while it was queued.
class NoticeSpy : public TWSocket {
public:
    std::vector<WORD> notices;
    WORD pauseOn = 0;

protected:
    LRESULT WndProc(UINT Msg, WPARAM wParam, LPARAM lParam) override
    {
        if (Msg == WM_ASYNCSELECT) {
            notices.push_back(LOWORD(lParam));
            if (LOWORD(lParam) & pauseOn) {
                pauseOn = 0;
                EXPECT_EQ(0, Pause());
            }
        }
        return TWSocket::WndProc(Msg, wParam, lParam);
    }
};

TEST(WSocketReceive, ConnectAndCloseNoticesThatArriveWhilePausedComeWithResume)
{
    auto seen = [](const std::vector<WORD>& notices, WORD event) {
        for (WORD n : notices)
            if (n & event)
                return true;
        return false;
    };
    {
        SCOPED_TRACE("connect");
        int port = 0;
        int lfd = peer::Listen(port);
        NoticeSpy client;
        client.pauseOn = winsock::FD_CONNECT;
        std::vector<std::string> events;
        client.OnSessionConnected = [&](TObject*, WORD err) { events.push_back("connected " + std::to_string(err)); };
        Target(client, port);
        client.Connect();
        int fd = peer::Accept(lfd);
        ASSERT_TRUE(PumpUntil([&] { return seen(client.notices, winsock::FD_CONNECT); }));
        PumpPending();
        EXPECT_TRUE(client.Paused());
        EXPECT_TRUE(events.empty());
        EXPECT_EQ(wsConnecting, client.State());
        EXPECT_EQ(0, client.Resume());
        ASSERT_TRUE(PumpUntil([&] { return !events.empty(); }));
        EXPECT_EQ(std::vector<std::string>{"connected 0"}, events);
        EXPECT_EQ(wsConnected, client.State());
        peer::Close(fd);
        peer::Close(lfd);
    }
    {
        SCOPED_TRACE("close");
        NoticeSpy client;
        std::string got;
        std::vector<int> closes;
        client.OnDataAvailable = [&](TObject*, WORD) { got += client.ReceiveStr(); };
        client.OnSessionClosed = [&](TObject*, WORD err) { closes.push_back(err); };
        PeerConnection p(client);
        PumpPending();
        client.notices.clear();
        client.pauseOn = winsock::FD_READ | winsock::FD_CLOSE;
        ASSERT_TRUE(peer::SendAll(p.fd, "last words"));
        peer::ResetClose(p.fd);
        p.fd = -1;
        ASSERT_TRUE(PumpUntil([&] { return seen(client.notices, winsock::FD_CLOSE); }));
        PumpPending();
        EXPECT_TRUE(client.Paused());
        EXPECT_TRUE(closes.empty());
        EXPECT_EQ(0, client.Resume());
        ASSERT_TRUE(PumpUntil([&] { return !closes.empty(); }));
        PumpPending();
        EXPECT_EQ("last words", got);
        EXPECT_EQ(std::vector<int>{10054}, closes);
        EXPECT_EQ(wsClosed, client.State());
    }
}

TEST(WSocketErrors, AFailedListenOrDupKeepsNoDescriptor)
{
    {
        SCOPED_TRACE("Listen on a socket that is already listening");
        Listener l;
        int sockets = winsock::OpenSocketCount();
        int descriptors = peer::OpenDescriptorCount();
        std::string text = ExceptionText([&] { l.sock.Listen(); });
        EXPECT_EQ("listen: Socket already in use", text);
        EXPECT_EQ(sockets, winsock::OpenSocketCount());
        EXPECT_EQ(descriptors, peer::OpenDescriptorCount());
        EXPECT_EQ(wsListening, l.sock.State());
    }
    {
        SCOPED_TRACE("Dup of a descriptor it cannot take over");
        // A socket descriptor opened outside the component: selecting on it
        // fails, and the descriptor, handed over with Dup, must not stay
        // open behind the socket's back.
        int port = 0;
        int lfd = peer::Listen(port);
        int fd = peer::Connect(port);
        int accepted = peer::Accept(lfd);
        TWSocket s;
        int errors = 0;
        s.OnError = [&](TObject*) { ++errors; };
        s.Dup(fd);
        EXPECT_EQ(1, errors);
        EXPECT_EQ(wsClosed, s.State());
        EXPECT_EQ(INVALID_SOCKET, s.HSocket());
        EXPECT_EQ(-1, ::fcntl(fd, F_GETFD)) << "the descriptor is still open";
        peer::Close(accepted);
        peer::Close(lfd);
    }
}

// Claims to have received whatever was asked for, without a peer.
class BigReader : public TWSocket {
protected:
    int DoRecv(void*, int BufferSize, int) override { return BufferSize; }
};

TEST(WSocketReceive, TheReceivedByteCountGoesPast2GiB)
{
    BigReader s;
    char buf[1];
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(INT32_MAX, s.Receive(buf, INT32_MAX));
    EXPECT_EQ(3LL * INT32_MAX, s.ReadCount());
}

TEST(WSocketSend, AStringLongerThanOneSendCanTakeIsRefusedNotDropped)
{
    // Needs a little over 2 GiB for the string itself.
    long long availableKb = 0;
    if (FILE* f = std::fopen("/proc/meminfo", "r")) {
        char line[256];
        while (std::fgets(line, sizeof line, f))
            if (std::sscanf(line, "MemAvailable: %lld kB", &availableKb) == 1)
                break;
        std::fclose(f);
    }
    if (availableKb < 6LL * 1024 * 1024)
        GTEST_SKIP() << "needs 6 GiB of free memory";
    TWSocket client;
    PeerConnection p(client);
    std::string huge(static_cast<size_t>(INT32_MAX) + 1, 'h');
    std::string text = ExceptionText([&] { EXPECT_EQ(-1, client.SendStr(huge)); });
    EXPECT_EQ("SendStr: 2147483648 bytes are more than one send can take (at most 2147483647)", text);
    EXPECT_EQ(10040, client.LastError());
    EXPECT_EQ(0u, client.BufferCount());
    EXPECT_EQ(wsConnected, client.State());
}

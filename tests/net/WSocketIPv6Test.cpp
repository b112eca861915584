// IPv6 in the socket component: lookups that give both families, the
// connect and listen on ::1, and ConnectAny's fallback from an address that
// fails or does not answer to the next one.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "LoopUtil.h"
#include "PosixPeer.h"
#include "net/WSocket.h"

namespace {

// Names answered by the test table instead of the system (no name on this
// machine is sure to resolve to ::1 only).
struct TestHosts {
    explicit TestHosts(const std::vector<std::pair<std::string, std::vector<std::string>>>& table)
    {
        winsock::WSASetTestHostTable(table);
    }
    ~TestHosts() { winsock::WSASetTestHostTable({}); }
};

struct Lookup {
    TWSocket s;
    std::vector<int> done;
    Lookup()
    {
        s.OnDnsLookupDone = [this](TObject*, WORD err) { done.push_back(err); };
    }
};

TEST(WSocketIPv6, LookupsGiveBothFamiliesInTheSystemsOrder)
{
    TestHosts hosts({{"both.test", {"::1", "127.0.0.1"}},
                     {"v6only.test", {"0:0::1"}},
                     {"v4first.test", {"127.0.0.1", "::1", "127.0.0.1"}}});
    const struct {
        const char* name;
        std::vector<std::string> results;
    } cases[] = {
        {"both.test", {"::1", "127.0.0.1"}},
        {"v6only.test", {"::1"}},
        {"v4first.test", {"127.0.0.1", "::1"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Lookup l;
        l.s.DnsLookup(c.name);
        ASSERT_TRUE(PumpUntil([&] { return !l.done.empty(); }));
        EXPECT_EQ(std::vector<int>{0}, l.done);
        EXPECT_EQ(c.results, l.s.DnsResultList());
        EXPECT_EQ(c.results.front(), l.s.DnsResult());
    }
}

TEST(WSocketIPv6, ABracketedAddressIsItsOwnResult)
{
    Lookup l;
    l.s.DnsLookup("[0:0::1]");
    EXPECT_EQ(std::vector<int>{0}, l.done);
    EXPECT_EQ("::1", l.s.DnsResult());
}

TEST(WSocketIPv6, LookupErrorsAreTextedInWordsWithTheNumberAfter)
{
    const struct {
        int error;
        const char* text;
    } cases[] = {
        {11001, "Host name not found: ftp.example.invalid (error #11001)"},
        {11004, "Host name has no address: ftp.example.invalid (error #11004)"},
        {11002, "Host name lookup failed for now (no answer from the name server): ftp.example.invalid "
                "(error #11002)"},
        {11003, "Host name lookup failed: ftp.example.invalid (error #11003)"},
        {10055, "Host name lookup failed: No buffer space available: ftp.example.invalid (error #10055)"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.text, WSocketLookupErrorText("ftp.example.invalid", c.error));
}

// A listener and a client on ::1, through the component on both sides: the
// addresses read back are IPv6 ones.
TEST(WSocketIPv6, ConnectAndAcceptOnTheIPv6Loopback)
{
    TWSocket listener;
    listener.SetAddr("::1");
    listener.SetPort("0");
    listener.Listen();
    ASSERT_EQ(wsListening, listener.State());
    winsock::sockaddr_storage bound{};
    int len = sizeof bound;
    ASSERT_EQ(0, listener.GetSockName(bound, len));
    EXPECT_EQ("::1", WSocketAddrText(bound));
    const std::uint16_t port = WSocketAddrPort(bound);

    SOCKET accepted = INVALID_SOCKET;
    listener.OnSessionAvailable = [&](TObject*, WORD) { accepted = listener.Accept(); };
    TWSocket client;
    WORD connected = 0xFFFF;
    client.OnSessionConnected = [&](TObject*, WORD e) { connected = e; };
    client.SetAddr("[::1]");
    client.SetPort(std::to_string(port));
    client.Connect();
    ASSERT_TRUE(PumpUntil([&] { return connected != 0xFFFF && accepted != INVALID_SOCKET; }));
    EXPECT_EQ(0, connected);
    EXPECT_EQ(winsock::AF_INET6, client.AddrFamily());
    EXPECT_EQ("::1", client.GetPeerAddr());
    EXPECT_EQ(std::to_string(port), client.GetPeerPort());
    EXPECT_EQ("::1", WSocketAddrText(listener.RemoteSockAddr()));
    winsock::closesocket(accepted);
}

// ConnectAny: the first address is refused, does not answer (a listener
// whose queue is full drops the connect) or answers; the socket ends up on
// the first address that answers, with one OnSessionConnected.
TEST(WSocketIPv6, ConnectAnyFallsBackToTheNextAddress)
{
    int port = 0;
    const int v6 = peer::ListenOn("::1", port);
    ASSERT_GE(v6, 0);
    // The address 127.0.0.2 on the same port: a listener with room for one waiting
    // connection, taken by a filler, so the next connect gets no answer.
    int silentPort = port;
    const int silent = peer::ListenOn("127.0.0.2", silentPort, 0);
    if (silent < 0) {
        peer::Close(v6);
        GTEST_SKIP() << "cannot listen on 127.0.0.2:" << port;
    }
    const int filler = peer::ConnectTo("127.0.0.2", port);
    ASSERT_GE(filler, 0);

    const struct {
        const char* what;
        std::vector<std::string> addresses;
        WORD error;       // of OnSessionConnected
        std::string peer; // the address connected to
    } cases[] = {
        {"refused first", {"127.0.0.3", "::1"}, 0, "::1"},
        {"silent first", {"127.0.0.2", "::1"}, 0, "::1"},
        {"refused, silent, then answering", {"127.0.0.3", "127.0.0.2", "::1"}, 0, "::1"},
        {"the first answers", {"::1", "127.0.0.3"}, 0, "::1"},
        {"all refused", {"127.0.0.3", "127.0.0.4"}, 10061, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TWSocket s;
        std::vector<WORD> outcomes;
        s.OnSessionConnected = [&](TObject*, WORD e) { outcomes.push_back(e); };
        s.SetProto("tcp");
        s.SetPort(std::to_string(port));
        s.ConnectAny(c.addresses);
        ASSERT_TRUE(PumpUntil([&] { return !outcomes.empty(); }));
        PumpPending();
        EXPECT_EQ(std::vector<WORD>{c.error}, outcomes);
        if (c.error == 0) {
            EXPECT_EQ(wsConnected, s.State());
            EXPECT_EQ(c.peer, s.Addr());
            EXPECT_EQ(c.peer, s.GetPeerAddr());
            std::string from;
            const int fd = peer::Accept(v6, from);
            ASSERT_GE(fd, 0);
            EXPECT_EQ("::1", from);
            // The connection works: bytes get across.
            EXPECT_EQ(5, s.SendStr("hello"));
            s.Close();
            std::string got;
            peer::ReadAll(fd, &got);
            EXPECT_EQ("hello", got);
            peer::Close(fd);
        } else {
            EXPECT_EQ(wsClosed, s.State());
        }
    }
    peer::Close(filler);
    peer::Close(silent);
    peer::Close(v6);
}

// A close while the attempts are in flight ends them all: no connection
// is made later and no event fires.
TEST(WSocketIPv6, CloseStopsTheAttempts)
{
    int port = 0;
    const int v6 = peer::ListenOn("::1", port);
    ASSERT_GE(v6, 0);
    int silentPort = port;
    const int silent = peer::ListenOn("127.0.0.2", silentPort, 0);
    if (silent < 0) {
        peer::Close(v6);
        GTEST_SKIP() << "cannot listen on 127.0.0.2:" << port;
    }
    const int filler = peer::ConnectTo("127.0.0.2", port);
    ASSERT_GE(filler, 0);
    const int sockets = winsock::OpenSocketCount();
    {
        TWSocket s;
        int events = 0;
        s.OnSessionConnected = [&](TObject*, WORD) { ++events; };
        s.SetPort(std::to_string(port));
        s.ConnectAny({"127.0.0.2", "::1"});
        EXPECT_EQ(wsConnecting, s.State());
        s.Close();
        EXPECT_EQ(wsClosed, s.State());
        EXPECT_EQ(sockets, winsock::OpenSocketCount());
        PumpPending();
        EXPECT_EQ(0, events);
    }
    peer::Close(filler);
    peer::Close(silent);
    peer::Close(v6);
}

// A handler that destroys the socket while an attempt is being prepared
// (its local port cannot be bound, and OnError deletes the socket): the
// attempt's handle is closed and nothing of the socket is touched after
// the handler (the sanitizer build catches a write into the freed object).
TEST(WSocketIPv6, ConnectAnySurvivesDestructionWhilePreparingAnAttempt)
{
    int port = 0;
    const int listener = peer::ListenOn("127.0.0.1", port);
    ASSERT_GE(listener, 0);
    const int sockets = winsock::OpenSocketCount();
    int errors = 0;
    auto* s = new TWSocket;
    // The handler is the socket's: nothing of it is touched after the delete.
    s->OnError = [&](TObject*) {
        ++errors;
        TWSocket* victim = s;
        s = nullptr;
        delete victim;
    };
    s->SetPort(std::to_string(port));
    // The listener holds the port: binding it as the local port fails.
    s->SetLocalPort(std::to_string(port));
    s->ConnectAny({"127.0.0.1", "::1"});
    EXPECT_EQ(nullptr, s);
    EXPECT_EQ(1, errors);
    EXPECT_EQ(sockets, winsock::OpenSocketCount());
    PumpPending();
    EXPECT_EQ(1, errors);
    delete s;
    peer::Close(listener);
}

} // namespace

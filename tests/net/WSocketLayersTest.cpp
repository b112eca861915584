// The line layer and the wait layer.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "LoopUtil.h"
#include "PosixPeer.h"
#include "net/WSocket.h"

namespace {

// Counts the rounds of a wait: each round pumps messages once.
class CountingSocket : public TWSocket {
public:
    int pumps = 0;
    void MessagePump() override
    {
        ++pumps;
        TWSocket::MessagePump();
    }
};

struct PeerPair {
    int lfd = -1;
    int fd = -1;
    CountingSocket client;
    PeerPair()
    {
        int port = 0;
        lfd = peer::Listen(port);
        client.SetAddr("127.0.0.1");
        client.SetPort(std::to_string(port));
        client.Connect();
        fd = peer::Accept(lfd);
        EXPECT_TRUE(PumpUntil([&] { return client.State() == wsConnected; }));
    }
    ~PeerPair()
    {
        if (fd >= 0)
            peer::Close(fd);
        peer::Close(lfd);
    }
};

TEST(WSocketLineMode, LinesAreCutAtLineEndAndAPartialLastLineComesWithTheClose)
{
    PeerPair p;
    std::vector<std::string> lines;
    int closed = 0;
    p.client.SetLineMode(true);
    p.client.OnDataAvailable = [&](TObject*, WORD) { lines.push_back(p.client.ReceiveStr()); };
    p.client.OnSessionClosed = [&](TObject*, WORD) { ++closed; };
    peer::SendAll(p.fd, "first\r\nsec");
    ASSERT_TRUE(PumpUntil([&] { return lines.size() == 1; }));
    peer::SendAll(p.fd, "ond\r\nthird\r\nlast");
    peer::Close(p.fd);
    p.fd = -1;
    ASSERT_TRUE(PumpUntil([&] { return closed > 0; }));
    EXPECT_EQ((std::vector<std::string>{"first\r\n", "second\r\n", "third\r\n", "last"}), lines);
    EXPECT_EQ(1, closed);
}

TEST(WSocketLineMode, SwitchingLineModeOffRedeliversHeldBytesAndEnds)
{
    PeerPair p;
    std::vector<std::string> got;
    p.client.SetLineMode(true);
    p.client.OnDataAvailable = [&](TObject*, WORD) { got.push_back(p.client.ReceiveStr()); };
    peer::SendAll(p.fd, "line\r\npartial");
    ASSERT_TRUE(PumpUntil([&] { return got.size() == 1 && p.client.HeldCount() == 7; }));
    p.client.SetLineMode(false);
    ASSERT_TRUE(PumpUntil([&] { return got.size() == 2; }));
    EXPECT_EQ("partial", got[1]);
    EXPECT_EQ(0, p.client.HeldCount());
    // A handler that reads nothing does not make the re-delivery spin.
    p.client.SetLineMode(true);
    peer::SendAll(p.fd, "stuck");
    ASSERT_TRUE(PumpUntil([&] { return p.client.HeldCount() == 5; }));
    int calls = 0;
    p.client.OnDataAvailable = [&](TObject*, WORD) { ++calls; };
    p.client.SetLineMode(false);
    WaitMessage(50);
    PumpPending();
    EXPECT_EQ(1, calls);
    EXPECT_EQ(5, p.client.HeldCount());
}

TEST(WSocketWait, WaitUntilDoneReturnsWhenTheFlagIsSet)
{
    PeerPair p;
    bool flag = false;
    std::string got;
    p.client.OnDataAvailable = [&](TObject*, WORD) {
        got += p.client.ReceiveStr();
        flag = got == "ping";
    };
    int r = p.client.Synchronize([&] { peer::SendAll(p.fd, "ping"); }, flag);
    EXPECT_EQ(0, r);
    EXPECT_EQ("ping", got);
}

TEST(WSocketWait, ATimedOutWaitIdlesInsteadOfSpinningThroughItsLastMillisecond)
{
    PeerPair p;
    bool flag = false;
    p.client.SetTimeout(300);
    p.client.pumps = 0;
    EXPECT_EQ(WSOCKET_WAIT_TIMEOUT, p.client.WaitUntilDone(flag));
    // A busy loop would pump hundreds of thousands of times in 300 ms.
    EXPECT_LT(p.client.pumps, 30);
    EXPECT_GE(p.client.pumps, 1);
}

TEST(WSocketWait, TerminatingEndsTheWait)
{
    PeerPair p;
    bool flag = false;
    SetTerminating(true);
    EXPECT_EQ(WSOCKET_WAIT_TIMEOUT, p.client.WaitUntilDone(flag));
    SetTerminating(false);
    // WM_QUIT taken by the socket's own loop sets Terminated.
    p.client.SetMultiThreaded(true);
    PostQuitMessage(0);
    SetTerminating(false);  // only the message itself is left to say it
    EXPECT_EQ(WSOCKET_WAIT_TIMEOUT, p.client.WaitUntilDone(flag));
    EXPECT_TRUE(p.client.Terminated());
    SetTerminating(false);
}

} // namespace

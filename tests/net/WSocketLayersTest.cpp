// The line layer and the wait layer.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <thread>
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

TEST(WSocketLineMode, LineEditingExpandsTabsAndAppliesBackspacesWithoutLosingTheLineEnd)
{
    struct Case {
        const char* name;
        std::vector<std::string> reads; // what the peer sends, one read each
        std::vector<std::string> lines;
    } cases[] = {
        {"tabs at the start", {"\t\t\tab\r\n"}, {std::string(24, ' ') + "ab\r\n"}},
        {"tab to the next multiple of 8", {"x\tb\r\n"}, {"x" + std::string(7, ' ') + "b\r\n"}},
        {"a line of tabs", {std::string(40, '\t') + "\r\n"}, {std::string(320, ' ') + "\r\n"}},
        {"backspaces", {"abc\b\bd\r\n"}, {"ad\r\n"}},
        {"more backspaces than bytes", {"\b\bz\r\n"}, {"z\r\n"}},
        {"backspaces into an earlier read", {"abcdef", "\b\b\b\b\b\b\bX\r\n"}, {"X\r\n"}},
        {"backspaces into an earlier read, then more", {"abcdefghij", "\b\b\b\b\b\b\bX\r\nmore"}, {"abcX\r\n"}},
        {"a tab after a line in the same read", {"a\r\n\tb\r\n"}, {"a\r\n", std::string(8, ' ') + "b\r\n"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        PeerPair p;
        std::vector<std::string> lines;
        p.client.SetLineMode(true);
        p.client.SetLineEdit(true);
        p.client.OnDataAvailable = [&](TObject*, WORD) { lines.push_back(p.client.ReceiveStr()); };
        for (const std::string& piece : c.reads) {
            peer::SendAll(p.fd, piece);
            ASSERT_TRUE(PumpUntil([&] { return p.client.RcvdCount() == 0; }));
            PumpPending();
        }
        EXPECT_EQ(c.lines, lines);
    }
}

TEST(WSocketLineMode, ManyLinesInOneReadAllArriveInOrder)
{
    PeerPair p;
    std::string stream;
    for (int i = 0; i < 20000; ++i)
        stream += "line " + std::to_string(i) + "\r\n";
    std::vector<std::string> lines;
    p.client.SetLineMode(true);
    p.client.OnDataAvailable = [&](TObject*, WORD) { lines.push_back(p.client.ReceiveStr()); };
    std::thread sender([&] { peer::SendAll(p.fd, stream); });
    ASSERT_TRUE(PumpUntil([&] { return lines.size() == 20000; }));
    sender.join();
    for (int i : {0, 1, 9999, 19999})
        EXPECT_EQ("line " + std::to_string(i) + "\r\n", lines[static_cast<size_t>(i)]);
    EXPECT_EQ(0, p.client.HeldCount());
}

TEST(WSocketLineMode, AStreamWithoutLineEndsStaysBoundedAndLosesNothing)
{
    PeerPair p;
    // No line end in 1 MiB, then one.
    std::string stream(1 << 20, 'q');
    for (size_t i = 0; i < stream.size(); ++i)
        stream[i] = static_cast<char>('a' + i % 26);
    stream += "\r\n";
    std::string got;
    std::vector<size_t> pieces;
    int tooLong = 0;
    int mostHeld = 0;
    p.client.SetLineMode(true);
    p.client.OnLineTooLong = [&](TObject*) { ++tooLong; };
    p.client.OnDataAvailable = [&](TObject*, WORD) {
        mostHeld = std::max(mostHeld, p.client.HeldCount());
        std::string s = p.client.ReceiveStr();
        pieces.push_back(s.size());
        got += s;
    };
    std::thread sender([&] { peer::SendAll(p.fd, stream); });
    ASSERT_TRUE(PumpUntil([&] { return got.size() == stream.size(); }));
    sender.join();
    EXPECT_EQ(stream, got);
    EXPECT_GT(tooLong, 0);
    // Held: under the limit plus one read's worth.
    EXPECT_LT(mostHeld, 2 * 65536);
    EXPECT_LT(p.client.HeldCount(), 65536);
    EXPECT_GT(pieces.size(), 1u);
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
    SetTerminating(false); // only the message itself is left to say it
    EXPECT_EQ(WSOCKET_WAIT_TIMEOUT, p.client.WaitUntilDone(flag));
    EXPECT_TRUE(p.client.Terminated());
    SetTerminating(false);
}

} // namespace

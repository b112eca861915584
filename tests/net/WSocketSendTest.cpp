// The send queue: blocks, pacing by OnDataSent, errors while sending.
#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "LoopUtil.h"
#include "PosixPeer.h"
#include "net/WSocket.h"

namespace {

TEST(TBufferBlock, WritePeekRemoveKeepTheirInvariants)
{
    TBuffer b(10);
    EXPECT_EQ(10, b.Size());
    EXPECT_EQ(6, b.Write("abcdef", 6));
    EXPECT_EQ(4, b.Write("ghijkl", 6)) << "only what fits";
    EXPECT_EQ(0, b.Write("x", 1)) << "full";
    int len = 0;
    const char* p = b.Peek(len);
    ASSERT_EQ(10, len);
    EXPECT_EQ("abcdefghij", std::string(p, static_cast<size_t>(len)));
    EXPECT_EQ(3, b.Remove(3));
    p = b.Peek(len);
    EXPECT_EQ("defghij", std::string(p, static_cast<size_t>(len)));
    EXPECT_EQ(7, b.Remove(100));
    // Emptied: both counts back to 0, the block is reused from its start.
    EXPECT_EQ(0, b.RdCount());
    EXPECT_EQ(0, b.WrCount());
    EXPECT_EQ(nullptr, b.Peek(len));
    EXPECT_EQ(0, len);
    EXPECT_EQ(0, b.Remove(1));
    EXPECT_EQ(10, b.Write("0123456789", 10));
}

TEST(TBufferBlock, NonPositiveSizesMeanTheDefaultAndResizingKeepsTheData)
{
    for (int size : {0, -5}) {
        TBuffer b(size);
        EXPECT_EQ(1514, b.Size());
    }
    TBuffer b(4);
    b.Write("abcd", 4);
    b.SetBufSize(8);
    EXPECT_EQ(8, b.Size());
    int len = 0;
    const char* p = b.Peek(len);
    EXPECT_EQ("abcd", std::string(p, static_cast<size_t>(len)));
    EXPECT_EQ(4, b.Write("efgh", 4));
}

// A client connected to a plain peer.
struct Connected {
    int lfd = -1;
    int fd = -1;
    TWSocket client;
    int dataSent = 0;
    bool sendReturned = true;
    bool sentInsideSend = false;
    Connected()
    {
        int port = 0;
        lfd = peer::Listen(port);
        bool up = false;
        client.OnSessionConnected = [&up](TObject*, WORD) { up = true; };
        client.OnDataSent = [this](TObject*, WORD err) {
            EXPECT_EQ(0, err);
            ++dataSent;
            if (!sendReturned)
                sentInsideSend = true;
        };
        client.SetAddr("127.0.0.1");
        client.SetPort(std::to_string(port));
        client.Connect();
        fd = peer::Accept(lfd);
        EXPECT_TRUE(PumpUntil([&] { return up && dataSent == 1; }));
        dataSent = 0;
        client.OnSessionConnected = nullptr;
    }
    ~Connected()
    {
        if (fd >= 0)
            peer::Close(fd);
        peer::Close(lfd);
    }
    int Send(const std::string& data)
    {
        sendReturned = false;
        int r = client.Send(data.data(), static_cast<int>(data.size()));
        sendReturned = true;
        return r;
    }
};

TEST(WSocketSend, SendWhenNotConnectedFailsWithTheReport)
{
    TWSocket s;
    int changes = 0;
    s.OnChangeState = [&](TObject*, TSocketState, TSocketState to) {
        EXPECT_EQ(wsClosed, to);
        ++changes;
    };
    std::string text;
    int result = 0;
    try {
        result = s.Send("x", 1);
    } catch (const ESocketException& e) {
        text = e.what();
    }
    EXPECT_EQ("Error 10057 in function Send\r\nSocket is not connected", text);
    EXPECT_EQ(10057, s.LastError());
    EXPECT_EQ(wsClosed, s.State());
    EXPECT_EQ(INVALID_SOCKET, s.HSocket());
    EXPECT_EQ(1, changes);
    s.OnError = [](TObject*) {};
    EXPECT_EQ(-1, s.Send("x", 1));
    EXPECT_EQ(0, result);
}

TEST(WSocketSend, AWholeSendFiresDataSentOnceAfterSendReturned)
{
    Connected c;
    EXPECT_EQ(5, c.Send("hello"));
    EXPECT_EQ(0, c.dataSent);
    ASSERT_TRUE(PumpUntil([&] { return c.dataSent > 0; }));
    PumpPending();
    EXPECT_EQ(1, c.dataSent);
    EXPECT_FALSE(c.sentInsideSend);
}

TEST(WSocketSend, ZeroBytesQueueNothingAndFlushStillReturns)
{
    Connected c;
    EXPECT_EQ(0, c.Send(""));
    EXPECT_EQ(0u, c.client.BufferCount());
    c.client.Flush(); // would wait for ever if nothing-queued never counted as sent
    EXPECT_TRUE(c.client.AllSent());
    ASSERT_TRUE(PumpUntil([&] { return c.dataSent > 0; }));
    EXPECT_EQ(1, c.dataSent);
}

TEST(WSocketSend, APeerThatStopsReadingGetsEverythingInOrderWithOneDataSent)
{
    Connected c;
    std::string data(6 << 20, '\0');
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<char>(i * 7 + i / 1514);
    EXPECT_EQ(static_cast<int>(data.size()), c.Send(data));
    // What the system did not take waits in 1514-byte blocks.
    ASSERT_FALSE(c.client.AllSent());
    size_t blocks = c.client.BufferCount();
    EXPECT_GT(blocks, 100u);
    EXPECT_LE(blocks, data.size() / 1514 + 1);
    WaitMessage(50);
    PumpPending();
    EXPECT_EQ(0, c.dataSent) << "fired before the last byte went out";

    std::string got;
    std::thread reader([&] { peer::ReadAll(c.fd, &got); });
    ASSERT_TRUE(PumpUntil([&] { return c.dataSent > 0; }, 60000));
    PumpPending();
    EXPECT_EQ(1, c.dataSent);
    EXPECT_FALSE(c.sentInsideSend);
    EXPECT_LE(c.client.BufferCount(), 1u) << "one emptied block is kept";
    c.client.Close();
    reader.join();
    EXPECT_TRUE(got == data) << "received " << got.size() << " of " << data.size() << " bytes, or out of order";
}

TEST(WSocketSend, FlushWaitsUntilTheQueueHasDrained)
{
    Connected c;
    std::string data(16 << 20, 'f'); // more than the system buffers
    long long got = 0;
    c.Send(data);
    ASSERT_FALSE(c.client.AllSent());
    std::thread reader([&] { got = peer::ReadAll(c.fd); });
    c.client.Flush();
    EXPECT_TRUE(c.client.AllSent());
    c.client.Close();
    reader.join();
    EXPECT_EQ(static_cast<long long>(data.size()), got);
}

TEST(WSocketSend, AResetPeerClosesTheSocketBeforeSendReturns)
{
    Connected c;
    std::vector<std::string> events;
    c.client.OnSessionClosed = [&](TObject*, WORD err) {
        events.push_back("closed " + std::to_string(err) + (c.sendReturned ? " after" : " inside"));
    };
    peer::ResetClose(c.fd);
    c.fd = -1;
    std::string data(4000, 'r');
    EXPECT_EQ(4000, c.Send(data)) << "Send still returns Len";
    EXPECT_EQ(wsClosed, c.client.State());
    PumpPending();
    EXPECT_EQ((std::vector<std::string>{"closed 10054 inside"}), events);
}

} // namespace

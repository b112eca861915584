// The socket inside a running Qt application (offscreen).
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QTimer>

#include <string>

#include "PosixPeer.h"
#include "net/WSocket.h"
#include "platform/qt/QtMessagePump.h"

namespace {

class CountingSocket : public TWSocket {
public:
    int pumps = 0;
    void MessagePump() override
    {
        ++pumps;
        TWSocket::MessagePump();
    }
};

TEST(QtLoop, AConversationRunsInsideTheApplicationsEventLoop)
{
    TWSocket listener, server, client;
    listener.SetAddr("127.0.0.1");
    listener.SetPort("0");
    listener.Listen();
    winsock::sockaddr_in sin{};
    int len = sizeof sin;
    listener.GetSockName(sin, len);
    listener.OnSessionAvailable = [&](TObject*, WORD) { server.Dup(listener.Accept()); };
    std::string atServer, atClient;
    server.OnDataAvailable = [&](TObject*, WORD) {
        atServer += server.ReceiveStr();
        if (atServer == "question")
            server.SendStr("answer");
    };
    client.OnSessionConnected = [&](TObject*, WORD err) {
        EXPECT_EQ(0, err);
        client.SendStr("question");
    };
    client.OnDataAvailable = [&](TObject*, WORD) {
        atClient += client.ReceiveStr();
        if (atClient == "answer")
            QCoreApplication::exit(0);
    };
    QTimer::singleShot(0, [&] {
        client.SetAddr("127.0.0.1");
        client.SetPort(std::to_string(winsock::ntohs(sin.sin_port)));
        client.Connect();
    });
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, [] { QCoreApplication::exit(1); });
    guard.start(20000);
    EXPECT_EQ(0, QCoreApplication::exec()) << "the conversation did not finish";
    // Leaving exec() marks the application as terminating; the next test
    // runs in the same process.
    EXPECT_TRUE(IsTerminating());
    SetTerminating(false);
    EXPECT_EQ("question", atServer);
    EXPECT_EQ("answer", atClient);
}

TEST(QtLoop, ASynchronousWaitKeepsQtEventsFlowingAndIdles)
{
    int port = 0;
    int lfd = peer::Listen(port);
    CountingSocket client;
    client.SetAddr("127.0.0.1");
    client.SetPort(std::to_string(port));
    bool up = false;
    client.OnSessionConnected = [&](TObject*, WORD) { up = true; };
    client.SetTimeout(20000);
    EXPECT_EQ(0, client.Synchronize([&] { client.Connect(); }, up));
    int fd = peer::Accept(lfd);
    // A Qt timer sets the flag while the wait pumps: Qt's events run inside.
    bool done = false;
    QTimer::singleShot(300, [&] { done = true; });
    client.pumps = 0;
    EXPECT_EQ(0, client.Synchronize([] {}, done));
    EXPECT_TRUE(done);
    EXPECT_EQ(wsConnected, client.State());
    // Waiting 300 ms takes a handful of rounds, not a busy loop.
    EXPECT_LT(client.pumps, 30);
    peer::Close(fd);
    peer::Close(lfd);
}

// Destroys itself from a Qt timer armed by its first message pump: the
// timer fires inside the idle wait that follows, as any Qt event may.
class DestroyedWhileWaiting : public TWSocket {
public:
    bool* destroyed = nullptr;
    bool armed = false;
    ~DestroyedWhileWaiting() override { *destroyed = true; }
    void MessagePump() override
    {
        TWSocket::MessagePump();
        if (!armed) {
            armed = true;
            QTimer::singleShot(0, [this] { delete this; });
        }
    }
};

TEST(QtLoop, ASocketDestroyedDuringTheIdleWaitOfFlushOrWaitUntilDoneIsNotTouchedAgain)
{
    for (bool flush : {true, false}) {
        SCOPED_TRACE(flush ? "Flush" : "WaitUntilDone");
        int port = 0;
        int lfd = peer::Listen(port);
        bool destroyed = false;
        auto* sock = new DestroyedWhileWaiting;
        sock->destroyed = &destroyed;
        sock->SetAddr("127.0.0.1");
        sock->SetPort(std::to_string(port));
        bool up = false;
        sock->OnSessionConnected = [&](TObject*, WORD) { up = true; };
        sock->SetTimeout(20000);
        sock->armed = true; // not while connecting
        ASSERT_EQ(0, sock->Synchronize([&] { sock->Connect(); }, up));
        int fd = peer::Accept(lfd);
        sock->armed = false;
        if (flush) {
            // The peer does not read: the queue cannot drain, Flush waits.
            std::string block(8 << 20, 'f');
            sock->Send(block.data(), static_cast<int>(block.size()));
            ASSERT_FALSE(sock->AllSent());
            sock->Flush();
        } else {
            bool never = false;
            sock->SetTimeout(0);
            EXPECT_EQ(WSOCKET_WAIT_TIMEOUT, sock->WaitUntilDone(never));
        }
        EXPECT_TRUE(destroyed);
        peer::Close(fd);
        peer::Close(lfd);
    }
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QtMessagePump pump;
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

#include <gtest/gtest.h>

#include <string>

#include "net/WSocket.h"
#include "LoopUtil.h"

namespace {

// A listener on 127.0.0.1 with a port chosen by the system.
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

TEST(WSocketConnect, ConnectAcceptDupAndExchangeBothWays)
{
    Listener l;
    TWSocket server;
    TWSocket client;
    std::string atServer, atClient;
    int connected = 0, serverSent = 0;
    l.sock.OnSessionAvailable = [&](TObject*, WORD err) {
        EXPECT_EQ(0, err);
        server.Dup(l.sock.Accept());
    };
    server.OnDataAvailable = [&](TObject*, WORD) { atServer += server.ReceiveStr(); };
    server.OnDataSent = [&](TObject*, WORD) { ++serverSent; };
    client.OnSessionConnected = [&](TObject*, WORD err) {
        EXPECT_EQ(0, err);
        ++connected;
        client.SendStr("hello server");
    };
    client.OnDataAvailable = [&](TObject*, WORD) { atClient += client.ReceiveStr(); };
    client.SetAddr("127.0.0.1");
    client.SetPort(std::to_string(l.port));
    client.Connect();
    EXPECT_EQ(wsConnecting, client.State());
    ASSERT_TRUE(PumpUntil([&] { return atServer == "hello server"; }));
    EXPECT_EQ(1, connected);
    EXPECT_EQ(wsConnected, server.State());
    server.SendStr("hello client");
    ASSERT_TRUE(PumpUntil([&] { return atClient == "hello client"; }));
    EXPECT_EQ("127.0.0.1", server.PeerAddr());
    EXPECT_EQ(std::to_string(l.port), client.PeerPort());
}

} // namespace

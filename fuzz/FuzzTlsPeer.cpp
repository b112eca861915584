// The socket's TLS layer against a peer that answers the handshake with
// arbitrary bytes on 127.0.0.1.
//
// Input: byte 0 is a seed for the sizes of the pieces the peer writes;
// byte 1 bit 0 says whether payload is sent before the handshake ends;
// the rest is what the peer sends after it has read the client's hello.
// Each input runs on a fresh connection; the peer writes its bytes in
// pieces and closes.
//
// Checked: the handshake event fires exactly once, and so does the connect
// event, with the same code; a failed handshake leaves the socket closed
// with a reason; the closed event fires once; nothing hangs.
#include <cstddef>
#include <cstdint>
#include <string>

#include "FuzzPeer.h"
#include "FuzzPump.h"
#include "net/SslContext.h"
#include "net/WSocket.h"
#include "platform/Messages.h"

namespace {

fuzzpump::Listening Peer;

void Fail(const char* what)
{
    fuzzpump::Fail("fuzz_tls_peer", what);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    Peer = fuzzpump::ListenOrFail("fuzz_tls_peer");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 2 || size > 2 + 40000)
        return 0;
    std::uint32_t seed = data[0] * 2654435761u + 1;
    const bool earlyPayload = data[1] & 1;
    const std::string stream(reinterpret_cast<const char*>(data + 2), size - 2);
    static auto context = std::make_shared<TSslContext>();

    TWSocket sock;
    int handshakes = 0, connects = 0, closes = 0;
    WORD handshakeError = 0, connectError = 0;
    sock.SetSslEnable(true);
    sock.SetSslContext(context);
    sock.SetSslServerName("localhost");
    sock.OnSslHandshakeDone = [&](TObject*, WORD e) {
        ++handshakes;
        handshakeError = e;
    };
    sock.OnSessionConnected = [&](TObject*, WORD e) {
        ++connects;
        connectError = e;
    };
    sock.OnDataAvailable = [&](TObject*, WORD) {
        char buf[4096];
        (void)sock.Receive(buf, sizeof buf);
    };
    sock.OnSessionClosed = [&](TObject*, WORD) { ++closes; };
    sock.SetAddr("127.0.0.1");
    sock.SetPort(std::to_string(Peer.port));
    sock.Connect();
    int fd = fuzzpeer::Accept(Peer.fd);
    if (fd < 0)
        Fail("accept");
    fuzzpump::PumpUntil("fuzz_tls_peer", [&] { return sock.State() == wsConnected; });
    if (earlyPayload)
        sock.SendStr("USER anonymous\r\n");
    // The client's hello comes first; what it says does not matter here.
    fuzzpump::PumpUntil("fuzz_tls_peer", [&] { return fuzzpeer::Drain(fd) > 0; });

    std::size_t pos = 0;
    while (pos < stream.size() && sock.State() == wsConnected) {
        seed = seed * 1103515245u + 12345u;
        std::size_t n = 1 + (seed >> 16) % 1500;
        if (n > stream.size() - pos)
            n = stream.size() - pos;
        if (!fuzzpeer::SendAll(fd, stream.data() + pos, n))
            break;
        pos += n;
        ProcessMessages();
    }
    fuzzpeer::Close(fd);
    fuzzpump::PumpUntil("fuzz_tls_peer", [&] { return closes > 0; });
    ProcessMessages();

    if (handshakes > 1 || connects != 1)
        Fail("the handshake or connect event fired more than once or not at all");
    if (handshakes == 1 && handshakeError != connectError)
        Fail("the handshake and connect events disagree");
    if (connectError != 0 && sock.SslErrorText().empty())
        Fail("a failed handshake without a reason");
    if (closes != 1)
        Fail("the closed event did not fire exactly once");
    if (sock.State() != wsClosed)
        Fail("the socket is not closed after the peer's close");
    return 0;
}

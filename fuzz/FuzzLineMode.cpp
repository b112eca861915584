// The socket's line mode, against a peer on 127.0.0.1.
//
// Input: byte 0 configures the socket (bit 0: line editing, bits 1-2: the
// line end, bit 3: a small line limit); byte 1 is a seed for the sizes of
// the pieces the peer writes; the rest is the stream. Each input runs on a
// fresh connection (the socket connects to a plain peer); the peer writes
// the stream in pieces, waits until the socket has read each piece, and
// closes.
//
// Checked: without editing, the pieces delivered put together are exactly
// the stream; every delivered piece holds the line end only at its end, and
// a piece without a line end is either the last one or one cut at the line
// limit; the bytes held never exceed the limit by more than one read. With
// editing, the same line-end rule holds and nothing is delivered that the
// stream did not make room for (a tab grows a line by at most 8 bytes).
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "FuzzPeer.h"
#include "net/WSocket.h"
#include "FuzzPump.h"
#include "platform/Messages.h"

namespace {

fuzzpump::Listening Peer;

void Fail(const char* what)
{
    fuzzpump::Fail("fuzz_line_mode", what);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // The socket connects to the peer: the peer closes first, and its side
    // of each finished connection waits out TIME_WAIT on the one listening
    // port, instead of using up the ephemeral ports.
    Peer = fuzzpump::ListenOrFail("fuzz_line_mode");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 2 || size > 2 + 20000)
        return 0;
    const bool edit = data[0] & 1;
    static const char* const ends[] = {"\r\n", "\n", "END", "\r"};
    const std::string lineEnd = ends[(data[0] >> 1) & 3];
    const int limit = (data[0] & 8) ? 64 : 0;
    std::uint32_t seed = data[1] * 2654435761u + 1;
    const std::string stream(reinterpret_cast<const char*>(data + 2), size - 2);

    TWSocket sock;
    std::vector<std::string> pieces;
    bool closed = false;
    sock.SetLineMode(true);
    sock.SetLineEnd(lineEnd);
    sock.SetLineEdit(edit);
    if (limit > 0)
        sock.SetLineLimit(limit);
    sock.OnDataAvailable = [&](TObject*, WORD) {
        std::string s = sock.ReceiveStr();
        if (!s.empty())
            pieces.push_back(std::move(s));
    };
    sock.OnSessionClosed = [&](TObject*, WORD) { closed = true; };
    sock.SetAddr("127.0.0.1");
    sock.SetPort(std::to_string(Peer.port));
    sock.Connect();
    int fd = fuzzpeer::Accept(Peer.fd);
    if (fd < 0)
        Fail("accept");
    fuzzpump::PumpUntil("fuzz_line_mode", [&] { return sock.State() == wsConnected; });

    std::size_t pos = 0;
    while (pos < stream.size()) {
        seed = seed * 1103515245u + 12345u;
        std::size_t n = 1 + (seed >> 16) % 97;
        if (n > stream.size() - pos)
            n = stream.size() - pos;
        if (!fuzzpeer::SendAll(fd, stream.data() + pos, n))
            Fail("send");
        pos += n;
        fuzzpump::PumpUntil("fuzz_line_mode", [&] { return sock.State() != wsConnected || sock.RcvdCount() <= 0; });
        ProcessMessages();
        // After a read, what stays held is a partial line under the limit.
        if (sock.HeldCount() >= sock.LineLimit())
            Fail("line mode holds more than its limit");
    }
    fuzzpeer::Close(fd);
    fuzzpump::PumpUntil("fuzz_line_mode", [&] { return closed; });

    std::string joined;
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        const std::string& p = pieces[i];
        const auto at = p.find(lineEnd);
        const bool endsWithLineEnd =
            p.size() >= lineEnd.size() && p.compare(p.size() - lineEnd.size(), lineEnd.size(), lineEnd) == 0;
        if (at != std::string::npos && at + lineEnd.size() != p.size())
            Fail("a delivered line holds its line end inside");
        if (!endsWithLineEnd && i + 1 != pieces.size() &&
            static_cast<int>(p.size() + lineEnd.size()) - 1 < sock.LineLimit())
            Fail("a line without its line end before the last");
        joined += p;
    }
    if (!edit && joined != stream)
        Fail("the lines put together are not the stream");
    if (edit && joined.size() > stream.size() * 8)
        Fail("editing grew the stream beyond its tabs");
    return 0;
}

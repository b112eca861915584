// Reply assembly of the FTP client's control connection, driven through the
// client's public requests against an in-process server on 127.0.0.1.
//
// Input: byte 0 chooses the options (bit 0: accept bare LF) and bytes 1-2
// the split position; the rest is what the server answers to PWD. The same
// answer is played twice on fresh connections: once in one write, once
// split in two writes that the client reads separately. The lines the
// client reports (OnResponse) must be the same both times, none may hold a
// line feed, and the connection must end in both cases (the server closes
// after its answer).
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "FuzzPeer.h"
#include "ftp/Ftpcli.h"
#include "FuzzPump.h"
#include "platform/Messages.h"

namespace {

fuzzpump::Listening Peer;

void Fail(const char* what)
{
    fuzzpump::Fail("fuzz_ftp_replies", what);
}

// A client that has closed (a line too long) makes the rest moot.
void WriteAll(int fd, const char* p, std::size_t n)
{
    fuzzpeer::SendAll(fd, p, n);
}

std::vector<std::string> Play(TFtpOptions options, const std::string& answer, std::size_t split)
{
    std::vector<std::string> lines;
    TCustomFtpCli cli;
    cli.SetHostName("127.0.0.1");
    cli.SetPort(std::to_string(Peer.port));
    cli.SetOptions(options);
    bool done = false;
    int error = -1;
    cli.OnRequestDone = [&](TObject*, TFtpRequest, std::uint16_t e) {
        done = true;
        error = e;
    };
    cli.OnResponse = [&](TObject*) { lines.push_back(cli.LastResponse()); };

    cli.StartOpen();
    int fd = fuzzpeer::Accept(Peer.fd);
    if (fd < 0)
        Fail("accept");
    const char greeting[] = "220 ready\r\n";
    WriteAll(fd, greeting, sizeof greeting - 1);
    fuzzpump::PumpUntil("fuzz_ftp_replies", [&] { return done; });
    if (error != 0)
        Fail("open failed");
    lines.clear();

    done = false;
    cli.StartPrintDir();
    // The command line, then the answer.
    const std::string command = fuzzpeer::ReadLine(fd, 64);
    if (command != "PWD\r\n")
        Fail("unexpected command");
    TWSocket* control = cli.ControlSocket();
    WriteAll(fd, answer.data(), split);
    // Let the client take the first part on its own.
    fuzzpump::PumpUntil("fuzz_ftp_replies",
                        [&] { return control->State() != wsConnected || control->RcvdCount() <= 0; });
    WriteAll(fd, answer.data() + split, answer.size() - split);
    fuzzpeer::Close(fd);
    fuzzpump::PumpUntil("fuzz_ftp_replies", [&] { return control->State() == wsClosed && done; });
    return lines;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    Peer = fuzzpump::ListenOrFail("fuzz_ftp_replies");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 3 || size > 3 + 6000)
        return 0;
    const TFtpOptions options = (data[0] & 1) ? ftpAcceptLF : 0;
    const std::string answer(reinterpret_cast<const char*>(data + 3), size - 3);
    const std::size_t split = (static_cast<std::size_t>(data[1]) << 8 | data[2]) % (answer.size() + 1);

    const auto whole = Play(options, answer, answer.size());
    const auto parts = Play(options, answer, split);
    if (whole != parts)
        Fail("the lines depend on how the answer was split");
    for (const auto& line : whole) {
        // Cut at the first LF, a line holds none; either way trailing CR
        // and LF are gone.
        if (options && line.find('\n') != std::string::npos)
            Fail("a reported line holds a line feed");
        if (!line.empty() && (line.back() == '\r' || line.back() == '\n'))
            Fail("a reported line keeps its line end");
    }
    return 0;
}

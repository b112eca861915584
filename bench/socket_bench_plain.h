// The plain side of the socket benchmark: a sink and the reference senders,
// on POSIX sockets (kept apart from the Winsock names, whose headers clash).
#pragma once

#include <cstdint>

namespace plain {

struct Sink {
    int port = 0;
    // Starts a thread that accepts one connection and reads it to the end
    // with 64 KiB reads.
    void Start();
    // Waits for the end of stream; returns the bytes received.
    std::uint64_t Join();
    int listenFd = -1;
    void* thread = nullptr;
    std::uint64_t received = 0;
};

// Sends `total` bytes in blocking send calls of `chunk` bytes to the port.
// Returns the bytes sent.
std::uint64_t BlockingSend(int port, std::uint64_t total, int chunk);

// CPU seconds (user + system) used by the calling thread so far.
double ThreadCpuSeconds();
double WallSeconds();

} // namespace plain

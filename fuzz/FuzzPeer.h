// Plain POSIX sockets on 127.0.0.1 playing the other end in the fuzz
// targets. Kept apart from the Winsock names (their headers clash), so this
// header declares only plain ints.
#pragma once

#include <cstddef>
#include <string>

namespace fuzzpeer {

// A listening socket on 127.0.0.1; the port is chosen by the system.
int Listen(int& port);
int Accept(int listenFd);
// A connection to 127.0.0.1:port, with Nagle's delay off.
int Connect(int port);
void NoDelay(int fd);
// Sends everything; false when the other end has gone.
bool SendAll(int fd, const char* data, std::size_t size);
// Reads one line (up to and including LF, at most `max` bytes).
std::string ReadLine(int fd, std::size_t max);
// Reads whatever has arrived, without waiting; returns the byte count.
std::size_t Drain(int fd);
void Close(int fd);

} // namespace fuzzpeer

// Plain blocking POSIX sockets on 127.0.0.1 playing the other end of a
// connection in tests. Kept apart from the Winsock names (their headers
// clash), so this header declares only plain ints.
#pragma once

#include <string>

namespace peer {

// A listening socket on 127.0.0.1 with a port chosen by the system.
int Listen(int& port);
int Accept(int listenFd);
int Connect(int port);
// Reads until end of stream; returns the byte count, or -errno on an error
// (after what was read). With `into`, keeps the bytes.
long long ReadAll(int fd, std::string* into = nullptr);
// Sends everything; false on an error.
bool SendAll(int fd, const std::string& data);
// Closes with a reset (zero linger): the other end sees 10054.
void ResetClose(int fd);
void Close(int fd);
// Open descriptors of this process.
int OpenDescriptorCount();

} // namespace peer

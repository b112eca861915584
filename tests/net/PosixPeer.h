// Plain blocking POSIX sockets on 127.0.0.1 playing the other end of a
// connection in tests. Kept apart from the Winsock names (their headers
// clash), so this header declares only plain ints.
#pragma once

#include <string>

namespace peer {

// A listening socket on 127.0.0.1 with a port chosen by the system.
int Listen(int& port);
// A listening socket on a loopback address of either family ("127.0.0.2",
// "::1"); port 0 picks one (written back). -1 when it cannot bind.
int ListenOn(const std::string& address, int& port, int backlog = 16);
// A blocking connect to a loopback address of either family; -1 on failure.
int ConnectTo(const std::string& address, int port);
int Accept(int listenFd);
// Accepts and gives the peer's address in text form.
int Accept(int listenFd, std::string& peerAddress);
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

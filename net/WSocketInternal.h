// Helpers shared by the socket component's source files.
#pragma once

#include <cstdint>
#include <string>

#include "net/WSocket.h"

namespace wsocket_internal {

// Removes leading and trailing bytes 0 to 32.
std::string Trim(const std::string& s);

// Starts Winsock on the first platform call after a socket object exists;
// stops it when the last socket object is destroyed.
void LoadWinsock();
void UnloadWinsock();

// The socket address of an address read by WSocketReadHost (port 0).
winsock::sockaddr_storage AddrOf(const THostText& Host);
// Sets the port (host order) of an IPv4 or IPv6 socket address.
void SetAddrPort(winsock::sockaddr_storage& Addr, std::uint16_t Port);

} // namespace wsocket_internal

// Helpers shared by the socket component's source files.
#pragma once

#include <string>

namespace wsocket_internal {

// Removes leading and trailing bytes 0 to 32.
std::string Trim(const std::string& s);

// Starts Winsock on the first platform call after a socket object exists;
// stops it when the last socket object is destroyed.
void LoadWinsock();
void UnloadWinsock();

} // namespace wsocket_internal

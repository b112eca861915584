// POSIX socket calls for the askpass tests, in a file of their own: the
// client's headers use the socket component's Winsock names, which the
// POSIX socket headers would clash with.
#pragma once

#include <string>

// A TCP listener on 127.0.0.1 that accepts (the kernel does) and never
// speaks: a log-in to it waits. -1 on failure.
int ListenSilently(int& port);
// A connection to the local socket at path, -1 on failure.
int ConnectLocal(const std::string& path);
// Sends data, then shuts the sending side down.
bool SendAndShut(int fd, const std::string& data);

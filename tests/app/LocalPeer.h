// Plain local-socket steps of the hand-over tests, apart from the window's
// headers (whose socket names are Winsock's).
#pragma once

#include <QByteArray>
#include <string>

// Leaves a socket file at `path` that nobody listens on, as a program that
// crashed leaves it.
[[nodiscard]] bool MakeStaleSocket(const std::string& path);

// In a child of the test: becomes user and group 65534, connects to `path`
// and sends `message`. Exit codes: 0 turned away without an answer, 10 the
// user could not be changed, 11 no connection, 12 answered.
[[nodiscard]] int HandOverAsAnotherUser(const std::string& path, const QByteArray& message);

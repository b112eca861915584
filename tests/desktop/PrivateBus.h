#pragma once
// The session bus the desktop tests run on (tests/desktop/PrivateBusMain.cpp).

#include <string>

// Why the private bus could not be had; empty when it is up.
const std::string& PrivateBusProblem();

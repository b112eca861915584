// Test helpers: run the message loop until a condition holds, or until
// what is pending now is handled.
#pragma once

#include "platform/Messages.h"
#include "support/PumpUntil.h"

// Processes whatever is pending now (several passes, so that messages
// posted by handlers are handled too).
inline void PumpPending()
{
    for (int i = 0; i < 8; ++i)
        ProcessMessages();
}

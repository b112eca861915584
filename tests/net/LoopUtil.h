// Test helpers: run the message loop until a condition holds.
#pragma once

#include <functional>

#include "platform/Messages.h"

// Processes messages, idling in WaitMessage, until done() is true. The
// guard only keeps a broken test from hanging the run; it is not a timing
// assertion.
inline bool PumpUntil(const std::function<bool()>& done, DWORD guardMs = 20000)
{
    DWORD start = GetTickCount();
    while (!done()) {
        if (GetTickCount() - start > guardMs)
            return false;
        ProcessMessages();
        if (done())
            break;
        WaitMessage(100);
    }
    return true;
}

// Processes whatever is pending now (several passes, so that messages
// posted by handlers are handled too).
inline void PumpPending()
{
    for (int i = 0; i < 8; ++i)
        ProcessMessages();
}

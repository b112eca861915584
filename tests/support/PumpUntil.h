// Runs the message loop until a condition holds.
#pragma once

#include <functional>

#include "platform/Messages.h"

// Processes messages, idling in WaitMessage, until done() is true; returns
// done(). The guard only keeps a broken test from hanging the run; it is not
// a timing assertion.
inline bool PumpUntil(const std::function<bool()>& done, DWORD guardMs = 20000)
{
    const DWORD start = GetTickCount();
    while (!done()) {
        if (GetTickCount() - start > guardMs)
            return false;
        ProcessMessages();
        if (done())
            break;
        WaitMessage(20);
    }
    return true;
}

// Pumping the message queue in the fuzz targets that talk to a peer.
#pragma once

#include "FuzzPeer.h"

#include <cstdio>
#include <cstdlib>

#include "platform/Messages.h"

namespace fuzzpump {

// Reports a finding of `target` and stops the run as a crash.
[[noreturn]] inline void Fail(const char* target, const char* what)
{
    std::fprintf(stderr, "%s: %s\n", target, what);
    std::abort();
}

// The listening socket on 127.0.0.1 that a target's connections come to,
// opened once from LLVMFuzzerInitialize; a target that cannot listen stops.
struct Listening {
    int fd = -1;
    int port = 0;
};

inline Listening ListenOrFail(const char* target)
{
    Listening l;
    l.fd = fuzzpeer::Listen(l.port);
    if (l.fd < 0)
        Fail(target, "listen");
    return l;
}

// Pumps messages until done() holds. A dialogue that stops moving is a
// finding (a hang), reported as a crash.
template <class F> void PumpUntil(const char* target, F done)
{
    for (int rounds = 0; !done(); ++rounds) {
        if (rounds > 20000)
            Fail(target, "the dialogue stopped moving");
        ProcessMessages();
        if (!done())
            WaitMessage(50);
    }
}

} // namespace fuzzpump

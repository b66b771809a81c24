// The runtime library's string helpers for the rest of the platform.
#pragma once

#include <cstring>
#include <functional>
#include <thread>
#ifndef _WIN32
#include <pthread.h>
#include <signal.h>
#endif

#include "platform/host/kernel.h"

namespace host::rtl {

// Unit i of a counted string, read byte-wise: a string may lie at any
// alignment in an image's buffer.
inline WCHAR CharAt(PCUNICODE_STRING s, size_t i) {
    WCHAR c;
    std::memcpy(&c, (const char*)s->Buffer + 2 * i, 2);
    return c;
}

// Starts a thread of the platform's own (the lazy closer, the lease watcher),
// which runs for the rest of the process and takes no signal sent to the
// process: a stop asked for with SIGTERM must reach a thread that waits for
// one. Faults are still its own, so that the loader's handler sees them.
inline void StartServiceThread(std::function<void()> body) {
#ifndef _WIN32
    sigset_t blocked, previous;
    ::sigfillset(&blocked);
    for (const int fault : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS}) {
        ::sigdelset(&blocked, fault);
    }
    ::pthread_sigmask(SIG_BLOCK, &blocked, &previous);  // the new thread's mask
    std::thread(std::move(body)).detach();
    ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
#else
    std::thread(std::move(body)).detach();
#endif
}

}  // namespace host::rtl

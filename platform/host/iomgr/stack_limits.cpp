// IoGetStackLimits: the calling thread's stack, as the kernel knows it.
#include <pthread.h>

#include "platform/host/kernel.h"

namespace {

struct StackBounds {
    bool known = false;
    ULONG_PTR low = 0;
    ULONG_PTR high = 0;
};
thread_local StackBounds tStack;

}  // namespace

extern "C" {

VOID NTAPI IoGetStackLimits(PULONG_PTR LowLimit, PULONG_PTR HighLimit) {
    StackBounds& t = tStack;
    if (!t.known) {
        pthread_attr_t attr;
        void* base = nullptr;
        size_t size = 0;
        if (pthread_getattr_np(pthread_self(), &attr) == 0) {
            pthread_attr_getstack(&attr, &base, &size);
            pthread_attr_destroy(&attr);
        }
        t.low = (ULONG_PTR)base;
        t.high = (ULONG_PTR)base + size;
        t.known = true;
    }
    *LowLimit = t.low;
    *HighLimit = t.high;
}

}  // extern "C"

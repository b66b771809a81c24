// The kernel: dispatcher objects, interrupt request levels, residency and
// the interlocked intrinsics. The routines are in platform/imports.inc.
#pragma once

#include "platform/host/kernel/base.h"

// Dispatcher objects (used by the stream context). The host keeps its own
// state in them, in the x64 Windows sizes: the image allocates and embeds
// them by its own sizeof.
struct KEVENT {
    alignas(8) UCHAR Opaque[24];
};
typedef KEVENT* PKEVENT;
struct KMUTEX {
    alignas(8) UCHAR Opaque[56];
};
static_assert(sizeof(KEVENT) == 24 && sizeof(KMUTEX) == 56, "x64 layout");
typedef KMUTEX* PKMUTEX;
enum EVENT_TYPE { NotificationEvent, SynchronizationEvent };
enum KWAIT_REASON { Executive = 0, UserRequest = 6 };
typedef KEVENT* PRKEVENT;
typedef KMUTEX* PRKMUTEX;
#define IO_NO_INCREMENT 0

// Interrupt request levels. The host raises a thread's level only where
// Windows does for the driver (paging I/O, the lazy closer's teardown).
typedef UCHAR KIRQL;
#define PASSIVE_LEVEL 0
#define APC_LEVEL 1
#define DISPATCH_LEVEL 2

// Residency (PONTOR_PAGED, PONTOR_INIT, PONTOR_PAGED_DATA) is the Windows
// image's; host code is always resident. PAGED_CODE() still checks the
// level, as a checked kernel does: pageable code runs at APC_LEVEL at most.
#define PONTOR_PAGED
#define PONTOR_INIT
#define PONTOR_PAGED_DATA
namespace host {
void CheckPagedCode(const char* routine);
}
#define PAGED_CODE() ::host::CheckPagedCode(__FUNCTION__)
#define PONTOR_DEPRECATED_CALL(statement) statement

// Interlocked operations are compiler intrinsics on Windows.
inline LONG InterlockedExchange(LONG volatile* Target, LONG Value) {
    return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedCompareExchange(LONG volatile* Destination, LONG Exchange, LONG Comparand) {
    __atomic_compare_exchange_n(Destination, &Comparand, Exchange, false, __ATOMIC_SEQ_CST,
                                __ATOMIC_SEQ_CST);
    return Comparand;
}
inline LONG InterlockedIncrement(LONG volatile* Addend) {
    return __atomic_add_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedDecrement(LONG volatile* Addend) {
    return __atomic_sub_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}
inline LONG ReadAcquire(LONG const volatile* Source) {
    return __atomic_load_n(Source, __ATOMIC_ACQUIRE);
}
inline LONG ReadNoFence(LONG const volatile* Source) {
    return __atomic_load_n(Source, __ATOMIC_RELAXED);
}

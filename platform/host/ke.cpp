// Kernel dispatcher objects, critical regions, stack bounds and MDL mapping.
// Events and mutexes live inside the caller's KEVENT/KMUTEX storage as plain
// state; every wait blocks on one platform-wide condition variable, which is
// simple and plenty for the handful of threads a test runs.
#include <pthread.h>

#include <chrono>
#include <cstring>
#include <list>

#include "platform/host/internal.h"

namespace host {
namespace {

constexpr ULONG kEventMagic = 0x45764B48;  // "HKvE"
constexpr ULONG kMutexMagic = 0x78744B48;  // "HKtx"

struct Dispatcher {
    ULONG magic;
    LONG type;    // EVENT_TYPE of an event
    LONG signal;  // events: 0 or 1; mutexes: 1 when free
    LONG recursion;
    const void* owner;  // the owning thread of a mutex
};
static_assert(sizeof(Dispatcher) <= sizeof(KEVENT) && sizeof(Dispatcher) <= sizeof(KMUTEX));

std::mutex gWaitMutex;
std::condition_variable gWaitChanged;

// Cancellable waits blocked now; cancelling sets their flag.
struct Waiter {
    bool cancelled = false;
};
std::list<Waiter*> gCancellable;  // under gWaitMutex

struct Faults {
    uint64_t mdlMappings = 0;
    uint64_t failMdlMapping = 0;
    uint64_t cancellableWaits = 0;
    uint64_t cancelWait = 0;
};
Faults gFaults;  // under gWaitMutex

struct ThreadState {
    int criticalRegions = 0;
    int mutexes = 0;
    bool stackKnown = false;
    ULONG_PTR stackLow = 0;
    ULONG_PTR stackHigh = 0;
};
thread_local ThreadState tThread;

const void* CurrentThread() { return &tThread; }

// A contract violation found while the wait lock is held, reported once the
// lock is released (declare it before the lock).
struct Deferred {
    std::string what;
    ~Deferred() {
        if (!what.empty()) {
            detail::BugCheck(what);
        }
    }
};

Dispatcher* AsDispatcher(PVOID object, const char* routine, Deferred* report) {
    auto* d = (Dispatcher*)object;
    if (d == nullptr || (d->magic != kEventMagic && d->magic != kMutexMagic)) {
        report->what = std::string(routine) + ": not an initialised event or mutex";
        return nullptr;
    }
    return d;
}

Dispatcher* AsEvent(PRKEVENT event, const char* routine, Deferred* report) {
    auto* d = (Dispatcher*)event;
    if (d == nullptr || d->magic != kEventMagic) {
        report->what = std::string(routine) + ": not an initialised event";
        return nullptr;
    }
    return d;
}

Dispatcher* AsMutex(PRKMUTEX mutex, const char* routine, Deferred* report) {
    auto* d = (Dispatcher*)mutex;
    if (d == nullptr || d->magic != kMutexMagic) {
        report->what = std::string(routine) + ": not an initialised mutex";
        return nullptr;
    }
    return d;
}

bool Available(const Dispatcher* d) {
    if (d->magic == kMutexMagic) {
        return d->signal > 0 || d->owner == CurrentThread();
    }
    return d->signal != 0;
}

void Acquire(Dispatcher* d) {
    if (d->magic == kMutexMagic) {
        d->owner = CurrentThread();
        d->signal--;
        d->recursion++;
        tThread.mutexes++;
    } else if (d->type == SynchronizationEvent) {
        d->signal = 0;
    }
}

// The deadline of a kernel time-out: null waits forever, negative values are
// relative in 100 ns units, positive ones absolute system time.
std::chrono::steady_clock::time_point Deadline(PLARGE_INTEGER timeout) {
    const auto now = std::chrono::steady_clock::now();
    LONGLONG relative = timeout->QuadPart;
    if (relative > 0) {
        const LONGLONG unixEpoch = 116444736000000000LL;
        const auto since = std::chrono::system_clock::now().time_since_epoch();
        const LONGLONG nowSystem =
            unixEpoch + std::chrono::duration_cast<std::chrono::nanoseconds>(since).count() / 100;
        relative = nowSystem - relative;
        if (relative > 0) {
            relative = 0;
        }
    }
    return now + std::chrono::nanoseconds(-relative * 100);
}

// Waits for one object; a cancellable wait also ends when its waiter is
// cancelled.
NTSTATUS Wait(PVOID object, PLARGE_INTEGER timeout, Waiter* waiter, const char* routine) {
    Deferred report;
    std::unique_lock<std::mutex> lock(gWaitMutex);
    Dispatcher* d = AsDispatcher(object, routine, &report);
    if (d == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (waiter != nullptr) {
        gCancellable.push_back(waiter);
    }
    NTSTATUS status = STATUS_SUCCESS;
    const bool forever = timeout == nullptr;
    const auto deadline = forever ? std::chrono::steady_clock::time_point() : Deadline(timeout);
    while (!Available(d)) {
        if (waiter != nullptr && waiter->cancelled) {
            status = STATUS_CANCELLED;
            break;
        }
        if (forever) {
            gWaitChanged.wait(lock);
        } else if (gWaitChanged.wait_until(lock, deadline) == std::cv_status::timeout &&
                   !Available(d)) {
            status = STATUS_TIMEOUT;
            break;
        }
    }
    if (status == STATUS_SUCCESS) {
        Acquire(d);
    }
    if (waiter != nullptr) {
        gCancellable.remove(waiter);
    }
    return status;
}

}  // namespace

namespace detail {

void ResetIoFaultsOfKernel() {
    std::lock_guard<std::mutex> lock(gWaitMutex);
    gFaults = Faults();
}

ThreadBalance CurrentBalance() { return {tThread.criticalRegions, tThread.mutexes}; }

void CheckBalance(const ThreadBalance& before, const char* callback) {
    if (tThread.criticalRegions != before.criticalRegions) {
        BugCheck(std::string(callback) + " returned with " +
                 std::to_string(tThread.criticalRegions - before.criticalRegions) +
                 " critical region(s) not left");
    }
    if (tThread.mutexes != before.mutexes) {
        BugCheck(std::string(callback) + " returned holding " +
                 std::to_string(tThread.mutexes - before.mutexes) + " mutex acquisition(s)");
    }
}

}  // namespace detail

void FailMdlMapping(uint64_t nth) {
    std::lock_guard<std::mutex> lock(gWaitMutex);
    gFaults.failMdlMapping = nth;
}

void CancelWait(uint64_t nth) {
    std::lock_guard<std::mutex> lock(gWaitMutex);
    gFaults.cancelWait = nth;
}

size_t BlockedCancellableWaits() {
    std::lock_guard<std::mutex> lock(gWaitMutex);
    return gCancellable.size();
}

void CancelBlockedWaits() {
    std::lock_guard<std::mutex> lock(gWaitMutex);
    for (Waiter* w : gCancellable) {
        w->cancelled = true;
    }
    gWaitChanged.notify_all();
}

int CriticalRegionDepth() { return tThread.criticalRegions; }
int MutexesHeld() { return tThread.mutexes; }

}  // namespace host

using host::Dispatcher;

extern "C" {

VOID NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
    std::lock_guard<std::mutex> lock(host::gWaitMutex);
    std::memset(Event, 0, sizeof(*Event));
    auto* d = (Dispatcher*)Event;
    d->magic = host::kEventMagic;
    d->type = Type;
    d->signal = State ? 1 : 0;
}

LONG NTAPI KeSetEvent(PRKEVENT Event, KPRIORITY, BOOLEAN) {
    host::Deferred report;
    std::lock_guard<std::mutex> lock(host::gWaitMutex);
    Dispatcher* d = host::AsEvent(Event, "KeSetEvent", &report);
    if (d == nullptr) {
        return 0;
    }
    const LONG previous = d->signal;
    d->signal = 1;
    host::gWaitChanged.notify_all();
    return previous;
}

VOID NTAPI KeClearEvent(PRKEVENT Event) { KeResetEvent(Event); }

LONG NTAPI KeResetEvent(PRKEVENT Event) {
    host::Deferred report;
    std::lock_guard<std::mutex> lock(host::gWaitMutex);
    Dispatcher* d = host::AsEvent(Event, "KeResetEvent", &report);
    if (d == nullptr) {
        return 0;
    }
    const LONG previous = d->signal;
    d->signal = 0;
    return previous;
}

LONG NTAPI KeReadStateEvent(PRKEVENT Event) {
    host::Deferred report;
    std::lock_guard<std::mutex> lock(host::gWaitMutex);
    Dispatcher* d = host::AsEvent(Event, "KeReadStateEvent", &report);
    return d == nullptr ? 0 : d->signal;
}

VOID NTAPI KeInitializeMutex(PRKMUTEX Mutex, ULONG) {
    std::lock_guard<std::mutex> lock(host::gWaitMutex);
    std::memset(Mutex, 0, sizeof(*Mutex));
    auto* d = (Dispatcher*)Mutex;
    d->magic = host::kMutexMagic;
    d->signal = 1;
}

LONG NTAPI KeReleaseMutex(PRKMUTEX Mutex, BOOLEAN) {
    host::Deferred report;
    std::lock_guard<std::mutex> lock(host::gWaitMutex);
    Dispatcher* d = host::AsMutex(Mutex, "KeReleaseMutex", &report);
    if (d == nullptr) {
        return 0;
    }
    if (d->owner != host::CurrentThread() || d->recursion == 0) {
        report.what = "KeReleaseMutex: mutex not owned by the calling thread";
        return 0;
    }
    const LONG previous = d->signal;
    d->signal++;
    host::tThread.mutexes--;
    if (--d->recursion == 0) {
        d->owner = nullptr;
        host::gWaitChanged.notify_all();
    }
    return previous;
}

LONG NTAPI KeReadStateMutex(PRKMUTEX Mutex) {
    host::Deferred report;
    std::lock_guard<std::mutex> lock(host::gWaitMutex);
    Dispatcher* d = host::AsMutex(Mutex, "KeReadStateMutex", &report);
    return d == nullptr ? 0 : d->signal;
}

NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON, KPROCESSOR_MODE, BOOLEAN,
                                     PLARGE_INTEGER Timeout) {
    return host::Wait(Object, Timeout, nullptr, "KeWaitForSingleObject");
}

NTSTATUS FLTAPI FltCancellableWaitForSingleObject(PVOID Object, PLARGE_INTEGER Timeout,
                                                  PFLT_CALLBACK_DATA CallbackData) {
    {
        std::lock_guard<std::mutex> lock(host::gWaitMutex);
        const uint64_t nth = ++host::gFaults.cancellableWaits;
        if (CallbackData != nullptr && nth == host::gFaults.cancelWait) {
            return STATUS_CANCELLED;
        }
    }
    if (CallbackData == nullptr) {
        return host::Wait(Object, Timeout, nullptr, "FltCancellableWaitForSingleObject");
    }
    host::Waiter waiter;
    return host::Wait(Object, Timeout, &waiter, "FltCancellableWaitForSingleObject");
}

VOID NTAPI KeEnterCriticalRegion(VOID) { host::tThread.criticalRegions++; }

VOID NTAPI KeLeaveCriticalRegion(VOID) {
    if (host::tThread.criticalRegions == 0) {
        host::detail::BugCheck("KeLeaveCriticalRegion: not in a critical region");
        return;
    }
    host::tThread.criticalRegions--;
}

VOID NTAPI IoGetStackLimits(PULONG_PTR LowLimit, PULONG_PTR HighLimit) {
    host::ThreadState& t = host::tThread;
    if (!t.stackKnown) {
        pthread_attr_t attr;
        void* base = nullptr;
        size_t size = 0;
        if (pthread_getattr_np(pthread_self(), &attr) == 0) {
            pthread_attr_getstack(&attr, &base, &size);
            pthread_attr_destroy(&attr);
        }
        t.stackLow = (ULONG_PTR)base;
        t.stackHigh = (ULONG_PTR)base + size;
        t.stackKnown = true;
    }
    *LowLimit = t.stackLow;
    *HighLimit = t.stackHigh;
}

PVOID NTAPI MmMapLockedPagesSpecifyCache(PMDL MemoryDescriptorList, KPROCESSOR_MODE,
                                         MEMORY_CACHING_TYPE, PVOID, ULONG BugCheckOnFailure,
                                         ULONG) {
    PMDL mdl = MemoryDescriptorList;
    bool fail;
    {
        std::lock_guard<std::mutex> lock(host::gWaitMutex);
        fail = ++host::gFaults.mdlMappings == host::gFaults.failMdlMapping;
    }
    if (fail) {
        if (BugCheckOnFailure) {
            host::detail::BugCheck("MmMapLockedPagesSpecifyCache: no system PTEs left");
        }
        return nullptr;
    }
    if (!(mdl->MdlFlags & (MDL_PAGES_LOCKED | MDL_SOURCE_IS_NONPAGED_POOL))) {
        host::detail::BugCheck("MmMapLockedPagesSpecifyCache: the MDL's pages are not locked");
        return nullptr;
    }
    mdl->MappedSystemVa = MmGetMdlVirtualAddress(mdl);
    mdl->MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA;
    return mdl->MappedSystemVa;
}

}  // extern "C"

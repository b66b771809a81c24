// Kernel dispatcher objects (events and mutexes), waits, critical regions and
// the kernel's checks around driver callbacks. Events and mutexes live inside
// the caller's KEVENT/KMUTEX storage as plain state, guarded by one of a set
// of locks chosen by the object's address, so that waits on different
// objects (two streams' mutexes, say) never share a lock.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <list>
#include <mutex>

#include "platform/host/faults/internal.h"
#include "platform/host/ke/internal.h"

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
// The signal is written under the object's shard lock but also read without
// it, by a waiter spinning before it sleeps, so both go through atomics.
LONG Signal(const Dispatcher* d) { return __atomic_load_n(&d->signal, __ATOMIC_RELAXED); }
void SetSignal(Dispatcher* d, LONG signal) {
    __atomic_store_n(&d->signal, signal, __ATOMIC_RELAXED);
}
static_assert(sizeof(Dispatcher) <= sizeof(KEVENT) && sizeof(Dispatcher) <= sizeof(KMUTEX));

// The lock and condition of the objects that hash to it.
struct alignas(64) WaitShard {
    std::mutex mutex;
    std::condition_variable changed;
};
constexpr size_t kWaitShards = 64;
WaitShard gShards[kWaitShards];

WaitShard& ShardOf(const void* object) {
    const uint64_t k = (uint64_t)(uintptr_t)object >> 3;
    return gShards[(k * 0x9E3779B97F4A7C15ull) >> 58];
}

// Cancellable waits blocked now; cancelling sets their flag under the lock
// of the object waited on.
struct Waiter {
    WaitShard* shard = nullptr;
    bool cancelled = false;
};
std::mutex gCancellableMutex;  // taken before a shard's lock, never after
std::list<Waiter*> gCancellable;

struct ThreadState {
    int criticalRegions = 0;
    int mutexes = 0;
};
thread_local ThreadState tThread;

const void* CurrentThread() { return &tThread; }

// A contract violation found while the wait lock is held, reported once the
// lock is released (declare it before the lock).
struct Deferred {
    std::string what;
    ~Deferred() {
        if (!what.empty()) {
            ke::BugCheck(what);
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
        return Signal(d) > 0 || d->owner == CurrentThread();
    }
    return Signal(d) != 0;
}

void Acquire(Dispatcher* d) {
    if (d->magic == kMutexMagic) {
        d->owner = CurrentThread();
        SetSignal(d, Signal(d) - 1);
        d->recursion++;
        tThread.mutexes++;
    } else if (d->type == SynchronizationEvent) {
        SetSignal(d, 0);
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

// Spins until the object is signalled (a mutex is free) or the time is up.
// The driver holds a stream's mutex across two reads of the file below,
// shorter than a sleep and the wake-up after it, which on a virtual machine
// also wakes an idle processor.
void SpinWhileUnavailable(const Dispatcher* d, std::chrono::steady_clock::time_point until) {
    for (unsigned i = 1; Signal(d) <= 0; i++) {
#if defined(__x86_64__) || defined(__i386__)
        __builtin_ia32_pause();
#endif
        if (i % 64 == 0 && std::chrono::steady_clock::now() >= until) {
            return;
        }
    }
}

// Waits for one object; a cancellable wait also ends when its waiter is
// cancelled.
NTSTATUS Wait(PVOID object, PLARGE_INTEGER timeout, Waiter* waiter, const char* routine) {
    Deferred report;
    WaitShard& shard = ShardOf(object);
    if (waiter != nullptr) {
        waiter->shard = &shard;
        std::lock_guard<std::mutex> lock(gCancellableMutex);
        gCancellable.push_back(waiter);
    }
    struct Unlist {
        Waiter* waiter;
        ~Unlist() {
            if (waiter != nullptr) {
                std::lock_guard<std::mutex> lock(gCancellableMutex);
                gCancellable.remove(waiter);
            }
        }
    } unlist{waiter};
    std::unique_lock<std::mutex> lock(shard.mutex);
    Dispatcher* d = AsDispatcher(object, routine, &report);
    if (d == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS status = STATUS_SUCCESS;
    const bool forever = timeout == nullptr;
    const auto deadline = forever ? std::chrono::steady_clock::time_point() : Deadline(timeout);
    if (!Available(d) && (waiter == nullptr || !waiter->cancelled)) {
        const auto spin = std::chrono::steady_clock::now() + std::chrono::microseconds(20);
        const auto until = forever ? spin : std::min(spin, deadline);
        if (until > std::chrono::steady_clock::now()) {  // not a poll
            lock.unlock();
            SpinWhileUnavailable(d, until);
            lock.lock();
        }
    }
    while (!Available(d)) {
        if (waiter != nullptr && waiter->cancelled) {
            status = STATUS_CANCELLED;
            break;
        }
        if (forever) {
            shard.changed.wait(lock);
        } else if (shard.changed.wait_until(lock, deadline) == std::cv_status::timeout &&
                   !Available(d)) {
            status = STATUS_TIMEOUT;
            break;
        }
    }
    if (status == STATUS_SUCCESS) {
        Acquire(d);
    }
    return status;
}

}  // namespace

namespace ke {

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

NTSTATUS WaitForObject(PVOID object, PLARGE_INTEGER timeout, bool cancellable,
                       const char* routine) {
    if (!cancellable) {
        return Wait(object, timeout, nullptr, routine);
    }
    Waiter waiter;
    return Wait(object, timeout, &waiter, routine);
}

}  // namespace ke

size_t BlockedCancellableWaits() {
    std::lock_guard<std::mutex> lock(gCancellableMutex);
    return gCancellable.size();
}

void CancelBlockedWaits() {
    std::lock_guard<std::mutex> lock(gCancellableMutex);
    for (Waiter* w : gCancellable) {
        std::lock_guard<std::mutex> shard(w->shard->mutex);
        w->cancelled = true;
        w->shard->changed.notify_all();
    }
}

int CriticalRegionDepth() { return tThread.criticalRegions; }
int MutexesHeld() { return tThread.mutexes; }

}  // namespace host

using host::Dispatcher;

extern "C" {

VOID NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
    std::lock_guard<std::mutex> lock(host::ShardOf(Event).mutex);
    std::memset(Event, 0, sizeof(*Event));
    auto* d = (Dispatcher*)Event;
    d->magic = host::kEventMagic;
    d->type = Type;
    host::SetSignal(d, State ? 1 : 0);
}

LONG NTAPI KeSetEvent(PRKEVENT Event, KPRIORITY, BOOLEAN) {
    host::Deferred report;
    host::WaitShard& shard = host::ShardOf(Event);
    std::lock_guard<std::mutex> lock(shard.mutex);
    Dispatcher* d = host::AsEvent(Event, "KeSetEvent", &report);
    if (d == nullptr) {
        return 0;
    }
    const LONG previous = host::Signal(d);
    host::SetSignal(d, 1);
    shard.changed.notify_all();
    return previous;
}

VOID NTAPI KeClearEvent(PRKEVENT Event) { KeResetEvent(Event); }

LONG NTAPI KeResetEvent(PRKEVENT Event) {
    host::Deferred report;
    host::WaitShard& shard = host::ShardOf(Event);
    std::lock_guard<std::mutex> lock(shard.mutex);
    Dispatcher* d = host::AsEvent(Event, "KeResetEvent", &report);
    if (d == nullptr) {
        return 0;
    }
    const LONG previous = host::Signal(d);
    host::SetSignal(d, 0);
    return previous;
}

LONG NTAPI KeReadStateEvent(PRKEVENT Event) {
    host::Deferred report;
    host::WaitShard& shard = host::ShardOf(Event);
    std::lock_guard<std::mutex> lock(shard.mutex);
    Dispatcher* d = host::AsEvent(Event, "KeReadStateEvent", &report);
    return d == nullptr ? 0 : host::Signal(d);
}

VOID NTAPI KeInitializeMutex(PRKMUTEX Mutex, ULONG) {
    std::lock_guard<std::mutex> lock(host::ShardOf(Mutex).mutex);
    std::memset(Mutex, 0, sizeof(*Mutex));
    auto* d = (Dispatcher*)Mutex;
    d->magic = host::kMutexMagic;
    host::SetSignal(d, 1);
}

LONG NTAPI KeReleaseMutex(PRKMUTEX Mutex, BOOLEAN) {
    host::Deferred report;
    host::WaitShard& shard = host::ShardOf(Mutex);
    std::lock_guard<std::mutex> lock(shard.mutex);
    Dispatcher* d = host::AsMutex(Mutex, "KeReleaseMutex", &report);
    if (d == nullptr) {
        return 0;
    }
    if (d->owner != host::CurrentThread() || d->recursion == 0) {
        report.what = "KeReleaseMutex: mutex not owned by the calling thread";
        return 0;
    }
    const LONG previous = host::Signal(d);
    host::SetSignal(d, previous + 1);
    host::tThread.mutexes--;
    if (--d->recursion == 0) {
        d->owner = nullptr;
        shard.changed.notify_all();
    }
    return previous;
}

LONG NTAPI KeReadStateMutex(PRKMUTEX Mutex) {
    host::Deferred report;
    host::WaitShard& shard = host::ShardOf(Mutex);
    std::lock_guard<std::mutex> lock(shard.mutex);
    Dispatcher* d = host::AsMutex(Mutex, "KeReadStateMutex", &report);
    return d == nullptr ? 0 : host::Signal(d);
}

NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON, KPROCESSOR_MODE, BOOLEAN,
                                     PLARGE_INTEGER Timeout) {
    return host::Wait(Object, Timeout, nullptr, "KeWaitForSingleObject");
}

VOID NTAPI KeEnterCriticalRegion(VOID) { host::tThread.criticalRegions++; }

VOID NTAPI KeLeaveCriticalRegion(VOID) {
    if (host::tThread.criticalRegions == 0) {
        host::ke::BugCheck("KeLeaveCriticalRegion: not in a critical region");
        return;
    }
    host::tThread.criticalRegions--;
}

}  // extern "C"

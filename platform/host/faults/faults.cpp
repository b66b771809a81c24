// Fault injection: every armed fault and every count it is measured by, so
// that one ResetFaults() clears them all. The points are asked on the read
// path, so each is an atomic counter compared with its armed value, never a
// lock.
#include <array>
#include <atomic>
#include <mutex>
#include <string>

#include "platform/host/faults/internal.h"

namespace host {
namespace {

// Allocation attempts per tag since the reset: a fixed open-addressed table
// (slot keys are tag + 1, 0 for free), claimed lock-free. Drivers use a
// handful of tags; a table that fills counts the rest in one slot.
class TagCounts {
public:
    uint64_t Next(ULONG tag) { return Slot(tag).count.fetch_add(1) + 1; }
    void Reset() {
        for (Entry& e : entries_) {
            e.count = 0;
        }
    }

private:
    struct Entry {
        std::atomic<uint64_t> key{0};
        std::atomic<uint64_t> count{0};
    };
    static constexpr size_t kSlots = 256;
    Entry& Slot(ULONG tag) {
        const uint64_t key = (uint64_t)tag + 1;
        size_t at = (size_t)((key * 0x9E3779B97F4A7C15ull) >> 56);
        for (size_t probe = 0; probe < kSlots; probe++, at = (at + 1) % kSlots) {
            uint64_t seen = entries_[at].key.load(std::memory_order_acquire);
            if (seen == 0 && entries_[at].key.compare_exchange_strong(seen, key)) {
                return entries_[at];
            }
            if (seen == key) {
                return entries_[at];
            }
        }
        return entries_[0];
    }
    std::array<Entry, kSlots> entries_;
};

// A fault armed for the nth event of its kind (0: none), with what it does.
template <class T>
struct Armed {
    std::atomic<uint64_t> nth{0};
    std::atomic<T> with{};
    void Arm(uint64_t n, T value) {
        with = value;
        nth = n;
    }
    bool Fires(uint64_t count) const {
        const uint64_t armed = nth.load();
        return armed != 0 && count == armed;
    }
};

struct Faults {
    std::atomic<bool> injected{false};
    // Pool.
    std::atomic<uint64_t> allocations{0};
    Armed<bool> failAllocation;
    Armed<ULONG> failAllocationOfTag;  // with the tag
    TagCounts allocationsOfTag;
    // FltReadFile.
    std::atomic<uint64_t> reads{0};
    Armed<NTSTATUS> failRead;
    Armed<ULONG> shortenRead;
    // Creates.
    std::atomic<uint64_t> creates{0};
    Armed<NTSTATUS> failCreate;
    // Filter Manager routines, by FltRoutine.
    static constexpr size_t kRoutines = (size_t)FltRoutine::ParseFileNameInformation + 1;
    std::atomic<uint64_t> routineCalls[kRoutines] = {};
    Armed<NTSTATUS> failRoutine[kRoutines];
    // Kernel.
    std::atomic<uint64_t> mdlMappings{0};
    Armed<bool> failMdlMapping;
    std::atomic<uint64_t> cancellableWaits{0};
    Armed<bool> cancelWait;
    // Access faults.
    std::atomic<const char*> accessBegin{nullptr};
    std::atomic<size_t> accessLength{0};
    // Hooks.
    std::mutex hookMutex;
    std::atomic<bool> anyHook{false};
    std::function<void()> hooks[2];
};

Faults& State() {
    static Faults* faults = new Faults();
    return *faults;
}

}  // namespace

void ResetFaults() {
    Faults& f = State();
    f.injected = false;
    f.allocations = 0;
    f.failAllocation.nth = 0;
    f.failAllocationOfTag.nth = 0;
    f.allocationsOfTag.Reset();
    f.reads = 0;
    f.failRead.nth = 0;
    f.shortenRead.nth = 0;
    f.creates = 0;
    f.failCreate.nth = 0;
    for (size_t i = 0; i < Faults::kRoutines; i++) {
        f.routineCalls[i] = 0;
        f.failRoutine[i].nth = 0;
    }
    f.mdlMappings = 0;
    f.failMdlMapping.nth = 0;
    f.cancellableWaits = 0;
    f.cancelWait.nth = 0;
    f.accessLength = 0;
    std::lock_guard<std::mutex> lock(f.hookMutex);
    for (auto& hook : f.hooks) {
        hook = nullptr;
    }
    f.anyHook = false;
}

bool FaultInjected() { return State().injected; }

void FailAllocation(uint64_t nth) { State().failAllocation.Arm(nth, true); }
void FailAllocationOfTag(ULONG tag, uint64_t nth) { State().failAllocationOfTag.Arm(nth, tag); }

uint64_t PoolAllocationCount() { return State().allocations; }

void FailRead(uint64_t nth, NTSTATUS status) { State().failRead.Arm(nth, status); }
void ShortenRead(uint64_t nth, ULONG bytes) { State().shortenRead.Arm(nth, bytes); }

uint64_t ReadCount() { return State().reads; }

void FailCreate(uint64_t nth, NTSTATUS status) { State().failCreate.Arm(nth, status); }

uint64_t CreateCount() { return State().creates; }

void FailRoutine(FltRoutine routine, uint64_t nth, NTSTATUS status) {
    State().failRoutine[(size_t)routine].Arm(nth, status);
}

void FailMdlMapping(uint64_t nth) { State().failMdlMapping.Arm(nth, true); }
void CancelWait(uint64_t nth) { State().cancelWait.Arm(nth, true); }

void ArmAccessFault(const void* begin, size_t length) {
    Faults& f = State();
    f.accessLength = 0;
    f.accessBegin = (const char*)begin;
    f.accessLength = length;
}

void SetHook(HookPoint point, std::function<void()> hook) {
    Faults& f = State();
    std::lock_guard<std::mutex> lock(f.hookMutex);
    f.hooks[(int)point] = std::move(hook);
    f.anyHook = f.hooks[0] || f.hooks[1];
}

namespace faults {

bool NextAllocationFails(ULONG tag) {
    Faults& f = State();
    const uint64_t nth = ++f.allocations;
    const uint64_t nthOfTag = f.allocationsOfTag.Next(tag);
    if (f.failAllocation.Fires(nth) ||
        (tag == f.failAllocationOfTag.with.load() && f.failAllocationOfTag.Fires(nthOfTag))) {
        f.injected = true;
        return true;
    }
    return false;
}

bool NextReadFails(NTSTATUS* fail, ULONG* limit) {
    Faults& f = State();
    const uint64_t nth = ++f.reads;
    if (f.failRead.Fires(nth)) {
        f.injected = true;
        *fail = f.failRead.with;
        return true;
    }
    if (f.shortenRead.Fires(nth)) {
        f.injected = true;
        *limit = f.shortenRead.with;
    }
    return false;
}

bool NextCreateFails(NTSTATUS* status) {
    Faults& f = State();
    if (f.failCreate.Fires(++f.creates)) {
        *status = f.failCreate.with;
        return true;
    }
    return false;
}

bool NextRoutineFails(FltRoutine routine, NTSTATUS* status) {
    Faults& f = State();
    const size_t i = (size_t)routine;
    if (f.failRoutine[i].Fires(++f.routineCalls[i])) {
        f.injected = true;
        *status = f.failRoutine[i].with;
        return true;
    }
    return false;
}

bool NextMdlMappingFails() {
    Faults& f = State();
    return f.failMdlMapping.Fires(++f.mdlMappings);
}

bool NextCancellableWaitCancelled() {
    Faults& f = State();
    return f.cancelWait.Fires(++f.cancellableWaits);
}

void RunHook(HookPoint point) {
    Faults& f = State();
    if (!f.anyHook) {
        return;
    }
    std::function<void()> hook;
    {
        std::lock_guard<std::mutex> lock(f.hookMutex);
        hook = f.hooks[(int)point];
    }
    if (hook) {
        hook();
    }
}

void CheckAccess(const void* destination, size_t length) {
    Faults& f = State();
    const size_t armed = f.accessLength.load();
    const char* begin = f.accessBegin.load();
    const char* d = (const char*)destination;
    if (armed != 0 && length != 0 && d < begin + armed && begin < d + length) {
        throw AccessViolation{d < begin ? begin : d};
    }
}

}  // namespace faults
}  // namespace host

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

struct Faults {
    std::atomic<bool> injected{false};
    // Pool.
    std::atomic<uint64_t> allocations{0};
    std::atomic<uint64_t> failAllocation{0};
    std::atomic<ULONG> failTag{0};
    std::atomic<uint64_t> failAllocationOfTag{0};
    TagCounts allocationsOfTag;
    // FltReadFile.
    std::atomic<uint64_t> reads{0};
    std::atomic<uint64_t> failRead{0};
    std::atomic<NTSTATUS> failReadStatus{STATUS_SUCCESS};
    std::atomic<uint64_t> shortenRead{0};
    std::atomic<ULONG> shortenReadBytes{0};
    // Creates.
    std::atomic<uint64_t> creates{0};
    std::atomic<uint64_t> failCreate{0};
    std::atomic<NTSTATUS> failCreateStatus{STATUS_SUCCESS};
    // Kernel.
    std::atomic<uint64_t> mdlMappings{0};
    std::atomic<uint64_t> failMdlMapping{0};
    std::atomic<uint64_t> cancellableWaits{0};
    std::atomic<uint64_t> cancelWait{0};
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

// Whether the count just reached the armed value (0: not armed).
bool Fires(uint64_t count, const std::atomic<uint64_t>& armed) {
    const uint64_t nth = armed.load();
    return nth != 0 && count == nth;
}

}  // namespace

void ResetFaults() {
    Faults& f = State();
    f.injected = false;
    f.allocations = 0;
    f.failAllocation = 0;
    f.failTag = 0;
    f.failAllocationOfTag = 0;
    f.allocationsOfTag.Reset();
    f.reads = 0;
    f.failRead = 0;
    f.shortenRead = 0;
    f.creates = 0;
    f.failCreate = 0;
    f.failCreateStatus = STATUS_SUCCESS;
    f.mdlMappings = 0;
    f.failMdlMapping = 0;
    f.cancellableWaits = 0;
    f.cancelWait = 0;
    f.accessLength = 0;
    std::lock_guard<std::mutex> lock(f.hookMutex);
    for (auto& hook : f.hooks) {
        hook = nullptr;
    }
    f.anyHook = false;
}

bool FaultInjected() { return State().injected; }

void FailAllocation(uint64_t nth) { State().failAllocation = nth; }

void FailAllocationOfTag(ULONG tag, uint64_t nth) {
    State().failTag = tag;
    State().failAllocationOfTag = nth;
}

uint64_t PoolAllocationCount() { return State().allocations; }

void FailRead(uint64_t nth, NTSTATUS status) {
    State().failReadStatus = status;
    State().failRead = nth;
}

void ShortenRead(uint64_t nth, ULONG bytes) {
    State().shortenReadBytes = bytes;
    State().shortenRead = nth;
}

uint64_t ReadCount() { return State().reads; }

void FailCreate(uint64_t nth, NTSTATUS status) {
    State().failCreateStatus = status;
    State().failCreate = nth;
}

uint64_t CreateCount() { return State().creates; }

void FailMdlMapping(uint64_t nth) { State().failMdlMapping = nth; }

void CancelWait(uint64_t nth) { State().cancelWait = nth; }

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

namespace detail {

bool NextAllocationFails(ULONG tag) {
    Faults& f = State();
    const uint64_t nth = ++f.allocations;
    const uint64_t nthOfTag = f.allocationsOfTag.Next(tag);
    if (Fires(nth, f.failAllocation) ||
        (tag == f.failTag.load() && Fires(nthOfTag, f.failAllocationOfTag))) {
        f.injected = true;
        return true;
    }
    return false;
}

bool NextReadFails(NTSTATUS* fail, ULONG* limit) {
    Faults& f = State();
    const uint64_t nth = ++f.reads;
    if (Fires(nth, f.failRead)) {
        f.injected = true;
        *fail = f.failReadStatus;
        return true;
    }
    if (Fires(nth, f.shortenRead)) {
        f.injected = true;
        *limit = f.shortenReadBytes;
    }
    return false;
}

bool NextCreateFails(NTSTATUS* status) {
    Faults& f = State();
    if (Fires(++f.creates, f.failCreate)) {
        *status = f.failCreateStatus;
        return true;
    }
    return false;
}

bool NextMdlMappingFails() {
    Faults& f = State();
    return Fires(++f.mdlMappings, f.failMdlMapping);
}

bool NextCancellableWaitCancelled() {
    Faults& f = State();
    return Fires(++f.cancellableWaits, f.cancelWait);
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

}  // namespace detail
}  // namespace host

// Tagged pool with tracking and fault injection, the way Driver Verifier
// tracks a driver's allocations.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <new>

#include "platform/host/internal.h"

namespace host {
namespace {

constexpr size_t kAlignment = 512;
constexpr unsigned char kPoison = 0xCD;

struct PoolState {
    std::mutex mutex;
    std::map<const void*, Allocation> live;
    size_t limit = 1u << 30;
    uint64_t attempts = 0;
    std::map<ULONG, uint64_t> attemptsOfTag;
    uint64_t failNth = 0;
    ULONG failTag = 0;
    uint64_t failNthOfTag = 0;
    uint64_t reads = 0;
    uint64_t failReadNth = 0;
    NTSTATUS failReadStatus = STATUS_SUCCESS;
    uint64_t shortenReadNth = 0;
    ULONG shortenReadBytes = 0;
    bool injected = false;
    BugCheckHandler bugCheck;
};

PoolState& State() {
    static PoolState* state = new PoolState();
    return *state;
}

std::string TagText(ULONG tag) {
    std::string text;
    for (int i = 0; i < 4; i++) {
        const char c = (char)((tag >> (8 * i)) & 0xFF);
        text += (c >= 0x20 && c < 0x7F) ? c : '?';
    }
    return text;
}

// Who allocated a block, so that a free by the wrong routine is caught.
enum class Owner { Ex, FltAligned, Platform };

const char* FreeRoutine(Owner owner) {
    switch (owner) {
    case Owner::Ex: return "ExFreePoolWithTag";
    case Owner::FltAligned: return "FltFreePoolAlignedWithTag";
    case Owner::Platform: return "the Filter Manager";
    }
    return "?";
}

void* Allocate(SIZE_T size, ULONG tag, Owner owner) {
    PoolState& s = State();
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        const uint64_t nth = ++s.attempts;
        const uint64_t nthOfTag = ++s.attemptsOfTag[tag];
        if ((s.failNth != 0 && nth == s.failNth) ||
            (s.failNthOfTag != 0 && tag == s.failTag && nthOfTag == s.failNthOfTag)) {
            s.injected = true;
            return nullptr;
        }
        if (size > s.limit) {
            return nullptr;
        }
    }
    // Aligned new rather than posix_memalign: the Windows build of the tool
    // shares this pool.
    void* p = ::operator new(size == 0 ? 1 : size, std::align_val_t(kAlignment), std::nothrow);
    if (p == nullptr) {
        return nullptr;
    }
    std::memset(p, kPoison, size == 0 ? 1 : size);
    std::lock_guard<std::mutex> lock(s.mutex);
    s.live[p] = Allocation{p, size, tag, owner == Owner::FltAligned, owner == Owner::Platform};
    return p;
}

void Free(void* p, ULONG tag, Owner owner) {
    PoolState& s = State();
    std::unique_lock<std::mutex> lock(s.mutex);
    auto it = s.live.find(p);
    const char* routine = FreeRoutine(owner);
    if (it == s.live.end()) {
        lock.unlock();
        detail::BugCheck(std::string(routine) + ": " + (p ? "unknown or freed" : "null") +
                         " pointer, tag " + TagText(tag));
        return;
    }
    if (it->second.tag != tag) {
        const ULONG actual = it->second.tag;
        lock.unlock();
        detail::BugCheck(std::string(routine) + ": tag " + TagText(tag) +
                         " frees an allocation tagged " + TagText(actual));
        return;
    }
    const Owner allocatedBy = it->second.platform     ? Owner::Platform
                              : it->second.fltAligned ? Owner::FltAligned
                                                      : Owner::Ex;
    if (allocatedBy != owner) {
        lock.unlock();
        detail::BugCheck(std::string(routine) + ": frees an allocation owned by " +
                         FreeRoutine(allocatedBy) + ", tag " + TagText(tag));
        return;
    }
    std::memset(p, kPoison, it->second.size == 0 ? 1 : it->second.size);
    s.live.erase(it);
    lock.unlock();
    ::operator delete(p, std::align_val_t(kAlignment));
}

}  // namespace

namespace detail {

void* PlatformAllocate(size_t size, ULONG tag) { return Allocate(size, tag, Owner::Platform); }
void PlatformFree(void* p, ULONG tag) { Free(p, tag, Owner::Platform); }

void BugCheck(const std::string& what) {
    BugCheckHandler handler;
    {
        std::lock_guard<std::mutex> lock(State().mutex);
        handler = State().bugCheck;
    }
    if (handler) {
        handler(what);
        return;
    }
    std::fprintf(stderr, "BUGCHECK: %s\n", what.c_str());
    std::abort();
}

// Read fault injection lives with the pool's so that one reset clears all.
bool NextRead(NTSTATUS* fail, ULONG* limit) {
    PoolState& s = State();
    std::lock_guard<std::mutex> lock(s.mutex);
    const uint64_t nth = ++s.reads;
    if (s.failReadNth != 0 && nth == s.failReadNth) {
        s.injected = true;
        *fail = s.failReadStatus;
        return true;
    }
    if (s.shortenReadNth != 0 && nth == s.shortenReadNth) {
        s.injected = true;
        *limit = s.shortenReadBytes;
    }
    return false;
}

}  // namespace detail

size_t PoolOutstanding() {
    std::lock_guard<std::mutex> lock(State().mutex);
    return State().live.size();
}

size_t PoolOutstanding(ULONG tag) {
    std::lock_guard<std::mutex> lock(State().mutex);
    size_t n = 0;
    for (const auto& [address, allocation] : State().live) {
        n += allocation.tag == tag;
    }
    return n;
}

std::vector<Allocation> PoolAllocations() {
    std::lock_guard<std::mutex> lock(State().mutex);
    std::vector<Allocation> all;
    for (const auto& [address, allocation] : State().live) {
        all.push_back(allocation);
    }
    return all;
}

uint64_t PoolAllocationCount() {
    std::lock_guard<std::mutex> lock(State().mutex);
    return State().attempts;
}

void SetPoolAllocationLimit(size_t bytes) {
    std::lock_guard<std::mutex> lock(State().mutex);
    State().limit = bytes;
}

void SetBugCheckHandler(BugCheckHandler handler) {
    std::lock_guard<std::mutex> lock(State().mutex);
    State().bugCheck = std::move(handler);
}

void ResetFaults() {
    detail::ResetIoFaults();
    PoolState& s = State();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.attempts = 0;
    s.attemptsOfTag.clear();
    s.failNth = s.failNthOfTag = 0;
    s.failTag = 0;
    s.reads = 0;
    s.failReadNth = s.shortenReadNth = 0;
    s.injected = false;
}

void FailAllocation(uint64_t nth) {
    std::lock_guard<std::mutex> lock(State().mutex);
    State().failNth = nth;
}

void FailAllocationOfTag(ULONG tag, uint64_t nth) {
    std::lock_guard<std::mutex> lock(State().mutex);
    State().failTag = tag;
    State().failNthOfTag = nth;
}

void FailRead(uint64_t nth, NTSTATUS status) {
    std::lock_guard<std::mutex> lock(State().mutex);
    State().failReadNth = nth;
    State().failReadStatus = status;
}

void ShortenRead(uint64_t nth, ULONG bytes) {
    std::lock_guard<std::mutex> lock(State().mutex);
    State().shortenReadNth = nth;
    State().shortenReadBytes = bytes;
}

uint64_t ReadCount() {
    std::lock_guard<std::mutex> lock(State().mutex);
    return State().reads;
}

bool FaultInjected() {
    std::lock_guard<std::mutex> lock(State().mutex);
    return State().injected;
}

}  // namespace host

extern "C" {

PVOID FLTAPI FltAllocatePoolAlignedWithTag(PFLT_INSTANCE, POOL_TYPE, SIZE_T NumberOfBytes,
                                           ULONG Tag) {
    return host::Allocate(NumberOfBytes, Tag, host::Owner::FltAligned);
}

VOID FLTAPI FltFreePoolAlignedWithTag(PFLT_INSTANCE, PVOID Buffer, ULONG Tag) {
    host::Free(Buffer, Tag, host::Owner::FltAligned);
}

PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE, SIZE_T NumberOfBytes, ULONG Tag) {
    return host::Allocate(NumberOfBytes, Tag, host::Owner::Ex);
}

VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag) { host::Free(P, Tag, host::Owner::Ex); }

}  // extern "C"

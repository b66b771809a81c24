// Tagged pool with tracking, the way Driver Verifier tracks a driver's
// allocations. Live blocks are kept in shards chosen by address, each with a
// lock of its own, so that allocations and frees on different threads do not
// meet on one lock; the counts per tag are exact, summed over the shards.
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#if defined(__has_include)
#if __has_include(<sanitizer/asan_interface.h>)
#include <sanitizer/asan_interface.h>
#endif
#endif
#ifndef ASAN_POISON_MEMORY_REGION
#define ASAN_POISON_MEMORY_REGION(address, size) ((void)(address), (void)(size))
#define ASAN_UNPOISON_MEMORY_REGION(address, size) ((void)(address), (void)(size))
#endif

#include "platform/host/faults/internal.h"
#include "platform/host/ke/internal.h"
#include "platform/host/pool/internal.h"
#include "platform/host/rtl/sharded_map.h"

namespace host {
namespace {

using pool::PoolOwner;

constexpr size_t kAlignment = 512;
constexpr unsigned char kPoison = 0xCD;

struct PoolState {
    rtl::ShardedMap<Allocation> blocks;  // the live ones
    std::atomic<size_t> limit{1u << 30};
    std::atomic<size_t> bytes{0};  // granted and not yet freed
    std::atomic<size_t> peak{0};   // the most bytes outstanding since the last reset
};

// Some large blocks freed are kept for the next allocation of the same size:
// under the sanitizers every large allocation is otherwise fresh pages, and
// the fuzzers allocate megabytes per input. What is kept is bounded in bytes,
// not in blocks, so that a process which once read a large BAT (a mount that
// bound a 64 TiB image) gives that memory back. A kept block stays filled
// with the poison byte and poisoned for AddressSanitizer, so a use after free
// is still caught.
constexpr size_t kKeptAtLeast = 64 << 10;
constexpr size_t kKeptBytes = 8 << 20;  // in all
std::mutex gKeptLock;
auto& gKept = *new std::vector<std::pair<void*, size_t>>();  // under gKeptLock, oldest first
size_t gKeptTotal = 0;                                       // under gKeptLock

void* Reuse(size_t size) {
    std::lock_guard<std::mutex> lock(gKeptLock);
    for (auto it = gKept.begin(); it != gKept.end(); ++it) {
        if (it->second == size) {
            void* p = it->first;
            gKept.erase(it);
            gKeptTotal -= size;
            ASAN_UNPOISON_MEMORY_REGION(p, size);
            return p;
        }
    }
    return nullptr;
}

// The oldest kept blocks make room, so that blocks of sizes no longer asked
// for (a damaged image's region lengths) do not hold the budget. A block
// larger than the whole budget is given back at once.
void Keep(void* p, size_t size) {
    std::vector<std::pair<void*, size_t>> evicted;
    {
        std::lock_guard<std::mutex> lock(gKeptLock);
        if (size <= kKeptBytes) {
            while (gKeptTotal + size > kKeptBytes) {
                evicted.push_back(gKept.front());
                gKeptTotal -= gKept.front().second;
                gKept.erase(gKept.begin());
            }
            ASAN_POISON_MEMORY_REGION(p, size);
            gKept.emplace_back(p, size);
            gKeptTotal += size;
            p = nullptr;
        }
    }
    for (const auto& [block, bytes] : evicted) {
        ASAN_UNPOISON_MEMORY_REGION(block, bytes);
        ::operator delete(block, std::align_val_t(kAlignment));
    }
    if (p != nullptr) {
        ::operator delete(p, std::align_val_t(kAlignment));
    }
}

// Small blocks freed on a thread are kept for that thread's next allocation
// of the same size: every read of a stub allocates and frees a few bytes of
// BAT entries, and an aligned allocation from the C library costs as much as
// the rest of the request's platform work. Per thread, so that two readers
// share no lock here; poisoned like the large ones.
constexpr size_t kCachedAtMost = 4096;
struct SmallCache {
    std::pair<void*, size_t> slots[4] = {};
    ~SmallCache() {
        for (auto& [p, size] : slots) {
            if (p != nullptr) {
                ASAN_UNPOISON_MEMORY_REGION(p, size);
                ::operator delete(p, std::align_val_t(kAlignment));
            }
        }
    }
};
thread_local SmallCache tSmall;

void* TakeSmall(size_t size) {
    for (auto& slot : tSmall.slots) {
        if (slot.first != nullptr && slot.second == size) {
            void* p = slot.first;
            slot.first = nullptr;
            ASAN_UNPOISON_MEMORY_REGION(p, size);
            return p;
        }
    }
    return nullptr;
}

bool KeepSmall(void* p, size_t size) {
    if (size > kCachedAtMost) {
        return false;
    }
    for (auto& slot : tSmall.slots) {
        if (slot.first == nullptr) {
            ASAN_POISON_MEMORY_REGION(p, size);
            slot = {p, size};
            return true;
        }
    }
    return false;
}

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

const char* FreeRoutine(PoolOwner owner) {
    switch (owner) {
        case PoolOwner::Ex: return "ExFreePoolWithTag";
        case PoolOwner::FltAligned: return "FltFreePoolAlignedWithTag";
        case PoolOwner::Platform: return "the Filter Manager";
    }
    return "?";
}

PoolOwner OwnerOf(const Allocation& a) {
    return a.platform ? PoolOwner::Platform : a.fltAligned ? PoolOwner::FltAligned : PoolOwner::Ex;
}

}  // namespace

namespace pool {

void* PoolAllocate(size_t size, ULONG tag, PoolOwner owner) {
    PoolState& s = State();
    if (faults::NextAllocationFails(tag) || size > s.limit.load()) {
        return nullptr;
    }
    // Aligned new rather than posix_memalign: the Windows build of the tool
    // shares this pool.
    const size_t bytes = size == 0 ? 1 : size;
    void* p = bytes >= kKeptAtLeast ? Reuse(bytes) : TakeSmall(bytes);
    if (p == nullptr) {
        p = ::operator new(bytes, std::align_val_t(kAlignment), std::nothrow);
        if (p == nullptr) {
            return nullptr;
        }
        std::memset(p, kPoison, bytes);
    }
    s.blocks.Insert(
        p, Allocation{p, size, tag, owner == PoolOwner::FltAligned, owner == PoolOwner::Platform});
    const size_t now = s.bytes += size;
    for (size_t peak = s.peak.load(); now > peak && !s.peak.compare_exchange_weak(peak, now);) {
    }
    return p;
}

void PoolFree(void* p, ULONG tag, PoolOwner owner) {
    const char* routine = FreeRoutine(owner);
    std::string misuse;
    size_t size = 0;
    const bool found = State().blocks.With(p, [&](const Allocation& a, auto erase) {
        if (a.tag != tag) {
            misuse = std::string(routine) + ": tag " + TagText(tag) +
                     " frees an allocation tagged " + TagText(a.tag);
        } else if (OwnerOf(a) != owner) {
            misuse = std::string(routine) + ": frees an allocation owned by " +
                     FreeRoutine(OwnerOf(a)) + ", tag " + TagText(tag);
        } else {
            size = a.size;
            erase();
        }
    });
    if (!found) {
        ke::BugCheck(std::string(routine) + ": " + (p ? "unknown or freed" : "null") +
                     " pointer, tag " + TagText(tag));
        return;
    }
    if (!misuse.empty()) {
        ke::BugCheck(misuse);
        return;
    }
    State().bytes -= size;
    const size_t bytes = size == 0 ? 1 : size;
    std::memset(p, kPoison, bytes);
    if (bytes >= kKeptAtLeast) {
        Keep(p, bytes);
    } else if (!KeepSmall(p, bytes)) {
        ::operator delete(p, std::align_val_t(kAlignment));
    }
}

}  // namespace pool

size_t PoolOutstanding() {
    size_t n = 0;
    State().blocks.ForEach([&](const Allocation&) { n++; });
    return n;
}

size_t PoolOutstanding(ULONG tag) {
    size_t n = 0;
    State().blocks.ForEach([&](const Allocation& a) { n += a.tag == tag; });
    return n;
}

std::vector<Allocation> PoolAllocations() {
    std::vector<Allocation> all;
    State().blocks.ForEach([&](const Allocation& a) { all.push_back(a); });
    return all;
}

void SetPoolAllocationLimit(size_t bytes) { State().limit = bytes; }

size_t PoolAllocationLimit() { return State().limit.load(); }

size_t PoolPeakBytes() { return State().peak; }

void ResetPoolPeak() { State().peak = State().bytes.load(); }

}  // namespace host

extern "C" {

PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE, SIZE_T NumberOfBytes, ULONG Tag) {
    return host::pool::PoolAllocate(NumberOfBytes, Tag, host::pool::PoolOwner::Ex);
}

VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag) {
    host::pool::PoolFree(P, Tag, host::pool::PoolOwner::Ex);
}

}  // extern "C"

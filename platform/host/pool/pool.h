// The tagged pool's accounting, as Driver Verifier's pool tracking sees it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/host/kernel.h"

namespace host {

struct Allocation {
    const void* address;
    size_t size;
    ULONG tag;
    bool fltAligned;  // from FltAllocatePoolAlignedWithTag
    bool platform;    // the Filter Manager's: a context or name information
};
size_t PoolOutstanding();  // allocations not yet freed
size_t PoolOutstanding(ULONG tag);
std::vector<Allocation> PoolAllocations();
// The largest single allocation the pool grants; larger requests fail as a
// real non-paged pool would. Default 1 GiB.
void SetPoolAllocationLimit(size_t bytes);
size_t PoolAllocationLimit();
// The most bytes outstanding at once since ResetPoolPeak (or the start), as
// a test measures what one operation costs the pool at its height.
size_t PoolPeakBytes();
void ResetPoolPeak();

}  // namespace host

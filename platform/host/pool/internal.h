// The pool's allocators, by the routine family that must free each block.
#pragma once

#include <cstddef>

#include "platform/host/pool/pool.h"

namespace host::pool {

enum class PoolOwner { Ex, FltAligned, Platform };
void* PoolAllocate(size_t size, ULONG tag, PoolOwner owner);
void PoolFree(void* p, ULONG tag, PoolOwner owner);

// Memory the Filter Manager owns (contexts, name information): tracked under
// its tag, freed by neither of the driver's free routines.
inline void* PlatformAllocate(size_t size, ULONG tag) {
    return PoolAllocate(size, tag, PoolOwner::Platform);
}
inline void PlatformFree(void* p, ULONG tag) { PoolFree(p, tag, PoolOwner::Platform); }

}  // namespace host::pool

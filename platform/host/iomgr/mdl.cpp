// MmMapLockedPagesSpecifyCache: the system address of the locked pages an
// MDL the I/O manager built describes.
#include "platform/host/faults/internal.h"
#include "platform/host/ke/internal.h"

extern "C" {

PVOID NTAPI MmMapLockedPagesSpecifyCache(PMDL MemoryDescriptorList, KPROCESSOR_MODE,
                                         MEMORY_CACHING_TYPE, PVOID, ULONG BugCheckOnFailure,
                                         ULONG) {
    PMDL mdl = MemoryDescriptorList;
    if (host::faults::NextMdlMappingFails()) {
        if (BugCheckOnFailure) {
            host::ke::BugCheck("MmMapLockedPagesSpecifyCache: no system PTEs left");
        }
        return nullptr;
    }
    if (!(mdl->MdlFlags & (MDL_PAGES_LOCKED | MDL_SOURCE_IS_NONPAGED_POOL))) {
        host::ke::BugCheck("MmMapLockedPagesSpecifyCache: the MDL's pages are not locked");
        return nullptr;
    }
    mdl->MappedSystemVa = MmGetMdlVirtualAddress(mdl);
    mdl->MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA;
    return mdl->MappedSystemVa;
}

}  // extern "C"

// Memory descriptor lists (the mapping routine is in platform/imports.inc).
#pragma once

#include "platform/host/kernel/base.h"

struct MDL {
    MDL* Next;
    CSHORT Size;
    CSHORT MdlFlags;
    PEPROCESS Process;
    PVOID MappedSystemVa;
    PVOID StartVa;
    ULONG ByteCount;
    ULONG ByteOffset;
};
typedef MDL* PMDL;
static_assert(sizeof(MDL) == 48, "x64 layout");
static_assert(offsetof(MDL, MappedSystemVa) == 24, "x64 layout");
static_assert(offsetof(MDL, ByteCount) == 40, "x64 layout");
#define MDL_MAPPED_TO_SYSTEM_VA 0x0001
#define MDL_PAGES_LOCKED 0x0002
#define MDL_SOURCE_IS_NONPAGED_POOL 0x0004
#define MDL_PARTIAL 0x0010
#define MDL_IO_SPACE 0x0800
#define MmGetMdlVirtualAddress(Mdl) ((PVOID)((PCHAR)((Mdl)->StartVa) + (Mdl)->ByteOffset))
#define MmGetMdlByteCount(Mdl) ((Mdl)->ByteCount)

enum MEMORY_CACHING_TYPE { MmNonCached = 0, MmCached = 1, MmWriteCombined = 2 };
enum MM_PAGE_PRIORITY { LowPagePriority = 0, NormalPagePriority = 16, HighPagePriority = 32 };
#define MdlMappingNoWrite 0x80000000
#define MdlMappingNoExecute 0x40000000
#define MmGetSystemAddressForMdlSafe(MDL, PRIORITY)                              \
    (((MDL)->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL)) \
         ? ((MDL)->MappedSystemVa)                                               \
         : (MmMapLockedPagesSpecifyCache((MDL), KernelMode, MmCached, NULL, FALSE, (PRIORITY))))

// The runtime library's records and the host-only routines the Windows
// kit has as macros (RtlCopyMemory, RtlZeroMemory); the exported routines
// are in platform/imports.inc.
#pragma once

#include "platform/host/kernel/base.h"

extern "C" {
VOID NTAPI RtlCopyMemory(VOID* Destination, const VOID* Source, SIZE_T Length);
VOID NTAPI RtlZeroMemory(VOID* Destination, SIZE_T Length);
}

struct RTL_BITMAP {
    ULONG SizeOfBitMap;  // bits
    PULONG Buffer;
};
typedef RTL_BITMAP* PRTL_BITMAP;
#define RtlCheckBit(h, b) RtlTestBit((h), (b))

// Debug output (DbgPrintEx).
#define DPFLTR_IHVDRIVER_ID 77
#define DPFLTR_ERROR_LEVEL 0

// What the host exports to a loaded driver image under the names of
// ntoskrnl.exe and FLTMGR.SYS: its own kernel and Filter Manager routines,
// which already use the Microsoft convention, and the C runtime routines the
// kernel exports, wrapped, since the host's C library uses the System V one.
#include <cstring>

#include "platform/host/faults/internal.h"
#include "platform/host/ke/internal.h"
#include "platform/host/loader/loader.h"
#include "platform/host/loader/seh.h"

namespace host {
namespace {

// The C runtime's memory routines, which write a caller's buffer: a write
// into a range armed by host::ArmAccessFault raises an access violation, as
// RtlZeroMemory and RtlCopyMemory do for the host build. The loader enters
// them through the dispatcher's thunk, which turns that into a structured
// exception in the image.
PONTOR_MS_ABI void* Memcpy(void* destination, const void* source, size_t length) {
    detail::CheckAccess(destination, length);
    return memcpy(destination, source, length);
}
PONTOR_MS_ABI void* Memmove(void* destination, const void* source, size_t length) {
    detail::CheckAccess(destination, length);
    return memmove(destination, source, length);
}
PONTOR_MS_ABI void* Memset(void* destination, int value, size_t length) {
    detail::CheckAccess(destination, length);
    return memset(destination, value, length);
}
PONTOR_MS_ABI int Memcmp(const void* a, const void* b, size_t length) {
    return memcmp(a, b, length);
}

#define NTOS(name) \
    { "ntoskrnl.exe", #name, (void*)&name }
#define FLT(name) \
    { "FLTMGR.SYS", #name, (void*)&name }

const ImageExport kExports[] = {
    // ntoskrnl.exe
    NTOS(ExAllocatePoolWithTag),
    NTOS(ExFreePoolWithTag),
    NTOS(ObfDereferenceObject),
    NTOS(RtlInitUnicodeString),
    NTOS(RtlCopyUnicodeString),
    NTOS(RtlCompareUnicodeString),
    NTOS(RtlCompareMemory),
    NTOS(RtlInitializeBitMap),
    NTOS(RtlTestBit),
    NTOS(DbgPrint),
    NTOS(DbgPrintEx),
    NTOS(KeInitializeEvent),
    NTOS(KeSetEvent),
    NTOS(KeClearEvent),
    NTOS(KeResetEvent),
    NTOS(KeReadStateEvent),
    NTOS(KeInitializeMutex),
    NTOS(KeReleaseMutex),
    NTOS(KeReadStateMutex),
    NTOS(KeWaitForSingleObject),
    NTOS(KeEnterCriticalRegion),
    NTOS(KeLeaveCriticalRegion),
    NTOS(KeGetCurrentIrql),
    NTOS(IoGetStackLimits),
    NTOS(MmMapLockedPagesSpecifyCache),
    {"ntoskrnl.exe", "memcpy", (void*)&Memcpy},
    {"ntoskrnl.exe", "memmove", (void*)&Memmove},
    {"ntoskrnl.exe", "memset", (void*)&Memset},
    {"ntoskrnl.exe", "memcmp", (void*)&Memcmp},
    {"ntoskrnl.exe", "__C_specific_handler", (void*)&seh::CSpecificHandler},
    // FLTMGR.SYS
    FLT(FltRegisterFilter),
    FLT(FltStartFiltering),
    FLT(FltUnregisterFilter),
    FLT(FltAllocateContext),
    FLT(FltSetStreamContext),
    FLT(FltGetStreamContext),
    FLT(FltDeleteStreamContext),
    FLT(FltReferenceContext),
    FLT(FltReleaseContext),
    FLT(FltDeleteContext),
    FLT(FltGetFileNameInformation),
    FLT(FltParseFileNameInformation),
    FLT(FltReferenceFileNameInformation),
    FLT(FltReleaseFileNameInformation),
    FLT(FltParseFileName),
    FLT(FltGetVolumeGuidName),
    FLT(FltGetEcpListFromCallbackData),
    FLT(FltFindExtraCreateParameter),
    FLT(FltCreateFileEx),
    FLT(FltClose),
    FLT(FltReadFile),
    FLT(FltQueryInformationFile),
    FLT(FltCancelFileOpen),
    FLT(FltAllocatePoolAlignedWithTag),
    FLT(FltFreePoolAlignedWithTag),
    FLT(FltCancellableWaitForSingleObject),
    FLT(FltSetCallbackDataDirty),
    FLT(FltClearCallbackDataDirty),
    FLT(FltIsCallbackDataDirty),
};

}  // namespace

std::span<const ImageExport> ImageExports() { return kExports; }

}  // namespace host

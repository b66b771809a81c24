// What the host exports to a loaded driver image under the names of
// ntoskrnl.exe and FLTMGR.SYS: its own kernel and Filter Manager routines,
// which already use the Microsoft convention, and the C runtime routines the
// kernel exports, wrapped, since the host's C library uses the System V one.
#include <cstring>

#include "platform/host/ke/internal.h"
#include "platform/host/loader/loader.h"

namespace host {
namespace {

PONTOR_MS_ABI void* Memcpy(void* destination, const void* source, size_t length) {
    return memcpy(destination, source, length);
}
PONTOR_MS_ABI void* Memmove(void* destination, const void* source, size_t length) {
    return memmove(destination, source, length);
}
PONTOR_MS_ABI void* Memset(void* destination, int value, size_t length) {
    return memset(destination, value, length);
}
PONTOR_MS_ABI int Memcmp(const void* a, const void* b, size_t length) {
    return memcmp(a, b, length);
}

// The language handler of the image's __try scopes. The host does not
// dispatch structured exceptions into an image (a fault there ends the
// process), so the kernel's handler is never legitimately reached.
PONTOR_MS_ABI int CSpecificHandler(void*, void*, void*, void*) {
    detail::BugCheck(
        "__C_specific_handler: exception dispatch into a driver image is not supported");
    return 1;  // ExceptionContinueSearch
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
    {"ntoskrnl.exe", "__C_specific_handler", (void*)&CSpecificHandler},
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

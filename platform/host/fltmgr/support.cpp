// The Filter Manager's wrappers over kernel services: pool aligned for an
// instance's device, and waits that end when the request is cancelled.
#include "platform/host/faults/internal.h"
#include "platform/host/ke/internal.h"
#include "platform/host/pool/internal.h"

extern "C" {

PVOID FLTAPI FltAllocatePoolAlignedWithTag(PFLT_INSTANCE, POOL_TYPE, SIZE_T NumberOfBytes,
                                           ULONG Tag) {
    return host::pool::PoolAllocate(NumberOfBytes, Tag, host::pool::PoolOwner::FltAligned);
}

VOID FLTAPI FltFreePoolAlignedWithTag(PFLT_INSTANCE, PVOID Buffer, ULONG Tag) {
    host::pool::PoolFree(Buffer, Tag, host::pool::PoolOwner::FltAligned);
}

NTSTATUS FLTAPI FltCancellableWaitForSingleObject(PVOID Object, PLARGE_INTEGER Timeout,
                                                  PFLT_CALLBACK_DATA CallbackData) {
    host::ke::CheckIrql(APC_LEVEL, "FltCancellableWaitForSingleObject");
    if (host::faults::NextCancellableWaitCancelled() && CallbackData != nullptr) {
        return STATUS_CANCELLED;
    }
    return host::ke::WaitForObject(Object, Timeout, CallbackData != nullptr,
                                   "FltCancellableWaitForSingleObject");
}

}  // extern "C"

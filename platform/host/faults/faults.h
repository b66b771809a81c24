// Every fault the platform can inject, counted from the last ResetFaults(),
// which clears them all.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "platform/host/kernel.h"

namespace host {

void ResetFaults();
bool FaultInjected();  // whether an armed fault has fired

// ---- Pool ----
void FailAllocation(uint64_t nth);                  // the nth allocation (1-based) fails
void FailAllocationOfTag(ULONG tag, uint64_t nth);  // the nth allocation of that tag fails
uint64_t PoolAllocationCount();                     // allocations attempted

// ---- FltReadFile ----
void FailRead(uint64_t nth, NTSTATUS status);  // the nth FltReadFile returns status
void ShortenRead(uint64_t nth, ULONG bytes);   // the nth FltReadFile moves at most bytes
uint64_t ReadCount();                          // FltReadFile calls

// ---- Creates ----
// The nth create (1-based) that reaches a file system, through the I/O
// manager or FltCreateFileEx, fails there with status.
void FailCreate(uint64_t nth, NTSTATUS status);
uint64_t CreateCount();

// ---- Filter Manager routines ----
// The nth call (1-based) of the routine fails with status and changes
// nothing: no context is attached, no name handed back, none parsed.
enum class FltRoutine {
    RegisterFilter,
    StartFiltering,
    GetVolumeGuidName,
    GetStreamContext,
    SetStreamContext,
    GetFileNameInformation,
    ParseFileNameInformation,  // the last
};
void FailRoutine(FltRoutine routine, uint64_t nth, NTSTATUS status);

// ---- Kernel ----
// The nth MmMapLockedPagesSpecifyCache returns null.
void FailMdlMapping(uint64_t nth);
// The nth FltCancellableWaitForSingleObject returns STATUS_CANCELLED at
// once, as when the thread's I/O is cancelled before the wait.
void CancelWait(uint64_t nth);

// ---- Access faults ----
// A write into the armed range, from RtlZeroMemory, RtlCopyMemory or
// FltReadFile, raises host::AccessViolation (declared in kernel.h), as
// Windows raises an access violation.
void ArmAccessFault(const void* begin, size_t length);  // one range; length 0 disarms

// ---- Hooks ----
// Let a test order racing threads deterministically. Each runs on the thread
// that reaches the point, with no platform lock held.
enum class HookPoint {
    SetStreamContext,  // on entry to FltSetStreamContext
    PostCreate,        // after the file system opened the file, before the post-create callbacks
};
void SetHook(HookPoint point, std::function<void()> hook);  // empty clears

}  // namespace host

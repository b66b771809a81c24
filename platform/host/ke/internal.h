// The kernel's services to the rest of the platform.
#pragma once

#include <string>

#include "platform/host/ke/ke.h"

namespace host::detail {

// Pool misuse and other contract violations a checked kernel would stop on.
void BugCheck(const std::string& what);

// Kernel checks around a driver callback: a callback must return with the
// critical regions and mutexes it entered released.
struct ThreadBalance {
    int criticalRegions;
    int mutexes;
};
ThreadBalance CurrentBalance();
void CheckBalance(const ThreadBalance& before, const char* callback);

// KeWaitForSingleObject; a cancellable wait (FltCancellableWaitForSingleObject
// with callback data) also ends, with STATUS_CANCELLED, when cancelled.
NTSTATUS WaitForObject(PVOID object, PLARGE_INTEGER timeout, bool cancellable, const char* routine);

}  // namespace host::detail

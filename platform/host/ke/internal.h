// The kernel's services to the rest of the platform.
#pragma once

#include <string>

#include "platform/host/ke/ke.h"

namespace host::ke {

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

// What the platform is doing on this thread, for the hazards it tolerates.
enum class Activity { None, PagingIo, ContextCleanup };
// Raises the thread's IRQL to at least level for a scope, as Windows runs
// paging I/O and the lazy closer's teardown at APC_LEVEL.
class IrqlScope {
public:
    IrqlScope(KIRQL level, Activity activity);
    ~IrqlScope();
    IrqlScope(const IrqlScope&) = delete;
    IrqlScope& operator=(const IrqlScope&) = delete;

private:
    KIRQL irql_;
    Activity activity_;
};
// A routine Windows allows up to maximum: above it a bug check, or a
// warning for a hazard the driver must accept.
void CheckIrql(KIRQL maximum, const char* routine);

}  // namespace host::ke

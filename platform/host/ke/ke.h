// The kernel's checks and the calling thread's kernel state, for tests.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/host/kernel.h"

namespace host {

// Pool misuse (wrong tag, double free, unknown pointer, wrong free routine)
// and the other contract violations a checked kernel or Driver Verifier stops
// on (a callback returning inside a critical region, a context referenced
// after unload, ...) are bug checks. By default it aborts with a message; a
// test may count them.
using BugCheckHandler = std::function<void(std::string_view what)>;
void SetBugCheckHandler(BugCheckHandler handler);  // empty: abort

int CriticalRegionDepth();  // KeEnterCriticalRegion minus KeLeaveCriticalRegion
int MutexesHeld();          // KMUTEXes the thread owns (recursion counted)

// Threads blocked in FltCancellableWaitForSingleObject now; cancelling
// makes each of them return STATUS_CANCELLED.
size_t BlockedCancellableWaits();
void CancelBlockedWaits();

// The calling thread's IRQL (KeGetCurrentIrql) is PASSIVE_LEVEL unless the
// platform raised it: paging I/O reaches the filters at APC_LEVEL, and the
// lazy closer tears streams down there. A routine Windows allows only at a
// lower level bug-checks; the hazards that the driver's required behaviour
// brings (docs/windows.md) are recorded as warnings instead.
class RaisedIrql {  // for tests: the thread at level until the scope ends
public:
    explicit RaisedIrql(KIRQL level);
    ~RaisedIrql();
    RaisedIrql(const RaisedIrql&) = delete;
    RaisedIrql& operator=(const RaisedIrql&) = delete;

private:
    KIRQL saved_;
};
std::vector<std::string> IrqlWarnings();
void ClearIrqlWarnings();

}  // namespace host

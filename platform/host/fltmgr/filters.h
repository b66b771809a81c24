// What the Filter Manager offers the rest of the host about a driver's
// filters: the loader's unload and detach (as fltmc asks them of FltMgr),
// and reclaiming the records of filters and instances that are gone.
#pragma once

#include "platform/host/fs/fs.h"
#include "platform/host/kernel.h"

namespace host {

// Frees the records of unregistered filters and torn-down instances, which
// are kept while a file object or a request may still name them. Only for a
// host at rest, no request in flight, as a program that loads a driver for
// every input is between inputs; with a host file or a context of theirs
// still open it frees nothing. Returns how many records went.
size_t ReclaimRetired();

}  // namespace host

namespace host::fltmgr {

PFLT_FILTER FilterOf(PDRIVER_OBJECT driver);  // the first filter it registered, or null
PFLT_INSTANCE InstanceOf(PDRIVER_OBJECT driver, const Volume& volume);  // or null
// Unregisters the filters the driver left registered; how many there were.
size_t UnregisterFilters(PDRIVER_OBJECT driver);
// Calls the first filter's unload callback and, unless it refuses a
// non-mandatory unload, unregisters the driver's filters (*unloaded).
NTSTATUS UnloadFilters(PDRIVER_OBJECT driver, FLT_FILTER_UNLOAD_FLAGS flags, bool* unloaded);
// Query teardown, then teardown with FLTFL_INSTANCE_TEARDOWN_MANUAL.
NTSTATUS DetachInstance(PFLT_INSTANCE instance);

}  // namespace host::fltmgr

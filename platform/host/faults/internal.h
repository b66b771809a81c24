// The injection points, each asked where its operation happens.
#pragma once

#include <cstddef>

#include "platform/host/faults/faults.h"

namespace host::faults {

bool NextAllocationFails(ULONG tag);               // counts the attempt
bool NextReadFails(NTSTATUS* fail, ULONG* limit);  // FltReadFile's failure or limit
bool NextCreateFails(NTSTATUS* status);
bool NextRoutineFails(FltRoutine routine, NTSTATUS* status);
bool NextMdlMappingFails();
bool NextCancellableWaitCancelled();
void RunHook(HookPoint point);
// Raises host::AccessViolation for a write into the armed range.
void CheckAccess(const void* destination, size_t length);

}  // namespace host::faults

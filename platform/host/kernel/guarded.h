// Guarded calls: the host's stand-ins for the driver's __try blocks.
#pragma once

#include "platform/host/kernel/rtl.h"
#include "platform/host/kernel/status.h"

// The exception the host raises where Windows raises an access violation
// (a write into a range armed by host::ArmAccessFault). It unwinds through
// driver frames as a structured exception does on Windows.
namespace host {
struct AccessViolation {
    const void* address;
};
}  // namespace host

// Runs Body, then Release, whether Body returns or an exception passes
// through it; the exception then goes on to the caller. On Windows this is
// __try/__finally (structured exceptions do not run destructors); the host
// raises access faults as a C++ exception and unwinds the same way. Callers
// keep only trivially destructible locals in the frames Body runs in.
typedef NTSTATUS (*PONTOR_GUARDED_BODY)(PVOID Context);
typedef VOID (*PONTOR_GUARDED_RELEASE)(PVOID Context);
inline NTSTATUS PontorCallGuarded(PONTOR_GUARDED_BODY Body, PONTOR_GUARDED_RELEASE Release,
                                  PVOID Context) {
    NTSTATUS status;
    try {
        status = Body(Context);
    } catch (...) {
        Release(Context);
        throw;
    }
    Release(Context);
    return status;
}

// Runs Body under an exception handler: Body's status, or the code of an
// exception raised inside it (STATUS_ACCESS_VIOLATION). On Windows this is
// __try/__except(EXCEPTION_EXECUTE_HANDLER) returning GetExceptionCode().
inline NTSTATUS PontorCallExcept(PONTOR_GUARDED_BODY Body, PVOID Context) {
    try {
        return Body(Context);
    } catch (const host::AccessViolation&) {
        return STATUS_ACCESS_VIOLATION;
    }
}

// Copies Length bytes under an exception handler: STATUS_SUCCESS, or the
// code of the exception the copy raised.
inline NTSTATUS PontorCopyGuarded(PVOID Destination, const VOID* Source, SIZE_T Length) {
    try {
        RtlCopyMemory(Destination, Source, Length);
    } catch (const host::AccessViolation&) {
        return STATUS_ACCESS_VIOLATION;
    }
    return STATUS_SUCCESS;
}

// The Windows kernel and Filter Manager names the driver uses. With the
// Windows Driver Kit this is <fltKernel.h>; the cross build here uses
// mingw-w64's DDK headers, which have no Filter Manager header, and takes
// the one the host platform also uses (../fltmgr.h). Driver code reaches
// this header only through platform.h.
#pragma once

#if defined(_MSC_VER)

#include <fltKernel.h>

#else  // mingw-w64

// mingw declares the mapping priority as the old enumeration; the kernel
// takes a ULONG so that MdlMapping* flags can be or-ed in. Its declaration
// is moved out of the way and the ULONG one given below.
#define MmMapLockedPagesSpecifyCache PontorMingwMmMapLockedPagesSpecifyCache
// winnt.h and wdm.h both carry these two inline; keep one of each.
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset
#include <ntifs.h>
#undef MmMapLockedPagesSpecifyCache

#include <stddef.h>

extern "C" NTKERNELAPI PVOID NTAPI MmMapLockedPagesSpecifyCache(
    PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode, MEMORY_CACHING_TYPE CacheType,
    PVOID RequestedAddress, ULONG BugCheckOnFailure, ULONG Priority);

#ifndef MdlMappingNoExecute
#define MdlMappingNoExecute 0x40000000
#endif

// winnt.h's version assigns the parameter to itself, which clang flags.
#undef UNREFERENCED_PARAMETER
#define UNREFERENCED_PARAMETER(P) ((void)(P))

// Windows 10 WDK inline reads that mingw's wdm.h lacks; x64 loads already
// acquire, so these only keep the compiler from reordering.
FORCEINLINE LONG ReadAcquire(LONG const volatile* Source) {
    return __atomic_load_n(Source, __ATOMIC_ACQUIRE);
}
FORCEINLINE LONG ReadNoFence(LONG const volatile* Source) {
    return __atomic_load_n(Source, __ATOMIC_RELAXED);
}

// What ../fltmgr.h expects of the platform and mingw's headers lack.
#ifndef FLTAPI
#define FLTAPI NTAPI
#endif
typedef struct _KTRANSACTION* PKTRANSACTION;

#include "../fltmgr.h"

#endif

// Residency: PONTOR_PAGED puts a routine in PAGE (pageable), PONTOR_INIT in
// INIT (discarded once DriverEntry has returned), PONTOR_PAGED_DATA constant
// data in PAGERO (pageable). Each routine in PAGE begins with PAGED_CODE().
#if defined(_MSC_VER)
#pragma section("PAGERO", read)
#define PONTOR_PAGED __declspec(code_seg("PAGE"))
#define PONTOR_INIT __declspec(code_seg("INIT"))
#define PONTOR_PAGED_DATA __declspec(allocate("PAGERO"))
#else
#define PONTOR_PAGED __attribute__((section("PAGE")))
#define PONTOR_INIT __attribute__((section("INIT")))
#define PONTOR_PAGED_DATA __attribute__((section("PAGERO")))
#endif

// A statement that calls a routine the kit marks deprecated (C4996), warned
// about nowhere else.
#if defined(_MSC_VER)
#define PONTOR_DEPRECATED_CALL(statement)                                \
    __pragma(warning(push)) __pragma(warning(disable : 4996)) statement; \
    __pragma(warning(pop))
#else
#define PONTOR_DEPRECATED_CALL(statement) statement
#endif

// Wide literals are UTF-16 on both platforms: wchar_t here, char16_t on the
// host.
#define PONTOR_WIDE(s) L##s

// ---- Guarded calls ----
// Runs Body, then Release, whether Body returns or a structured exception
// passes through it; the exception then goes on to the caller. Destructors
// do not run when an SEH exception unwinds a frame, so the release is a
// __finally and Body's frames hold only trivially destructible locals.
typedef NTSTATUS (*PONTOR_GUARDED_BODY)(PVOID Context);
typedef VOID (*PONTOR_GUARDED_RELEASE)(PVOID Context);
inline NTSTATUS PontorCallGuarded(PONTOR_GUARDED_BODY Body, PONTOR_GUARDED_RELEASE Release,
                                  PVOID Context) {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    __try {
        status = Body(Context);
    } __finally {
        Release(Context);
    }
    return status;
}

// Runs Body under an exception handler: Body's status, or the code of an
// exception raised inside it. The code is taken in the filter, where every
// compiler and dispatcher provide it; inside the handler block it depends
// on the dispatcher passing it in a register.
inline NTSTATUS PontorCallExcept(PONTOR_GUARDED_BODY Body, PVOID Context) {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    __try {
        status = Body(Context);
    } __except (status = GetExceptionCode(), EXCEPTION_EXECUTE_HANDLER) {
    }
    return status;
}

// Copies Length bytes under an exception handler: STATUS_SUCCESS, or the
// code of the exception the copy raised (a bad caller buffer). The copy is
// a call of its own so that the fault is raised in a callee frame, which
// every compiler's __try covers, rather than in an inlined move.
__declspec(noinline) inline VOID
    PontorCopyUnguarded(PVOID Destination, const VOID* Source, SIZE_T Length) {
    RtlCopyMemory(Destination, Source, Length);
}
inline NTSTATUS PontorCopyGuarded(PVOID Destination, const VOID* Source, SIZE_T Length) {
    NTSTATUS status = STATUS_SUCCESS;
    __try {
        PontorCopyUnguarded(Destination, Source, Length);
    } __except (status = GetExceptionCode(), EXCEPTION_EXECUTE_HANDLER) {
    }
    return status;
}

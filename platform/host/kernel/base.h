// The types, conventions and records every kernel component uses. Types
// keep the x64 Windows widths (LLP64: LONG and ULONG are 32 bits, where the
// host's long is 64; WCHAR is UTF-16, where the host's wchar_t is 32 bits,
// so wchar_t never appears here).
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <string.h>

// SAL annotations carry no meaning on the host.
#define _In_
#define _In_opt_
#define _Out_
#define _Out_opt_
#define _Inout_
#define _Inout_opt_
#define _In_reads_bytes_(n)
#define _Out_writes_bytes_(n)
#define _Out_writes_bytes_to_(n, m)
#define _Outptr_
#define _Outptr_result_maybenull_
#define _IRQL_requires_max_(l)
#define _Must_inspect_result_
#define _Success_(x)
#define _Function_class_(x)
#define UNREFERENCED_PARAMETER(p) ((void)(p))

// One calling convention at the boundary: every kernel and Filter Manager
// routine, and every callback the driver registers, uses the Microsoft x64
// convention, so the host build and the Windows image (loader.h) call and
// are called alike. x64 Windows has no other (__fastcall and __cdecl are it):
// the variadic DbgPrint and DbgPrintEx use it too.
#define PONTOR_MS_ABI __attribute__((ms_abi))
#define FLTAPI PONTOR_MS_ABI
#define NTAPI PONTOR_MS_ABI
#define FASTCALL PONTOR_MS_ABI

typedef void VOID;
typedef void* PVOID;
typedef const void* PCVOID;
typedef unsigned char UCHAR, *PUCHAR, BOOLEAN, *PBOOLEAN;
typedef char CHAR, *PCHAR;
typedef const char* PCSTR;
typedef short CSHORT;
typedef unsigned short USHORT, *PUSHORT;
typedef int32_t LONG, *PLONG;
typedef uint32_t ULONG, *PULONG;
typedef int64_t LONGLONG, *PLONGLONG;
typedef uint64_t ULONGLONG, *PULONGLONG;
typedef uint32_t UINT32;
typedef uint64_t UINT64;
typedef size_t SIZE_T;
typedef uintptr_t ULONG_PTR;
typedef ULONG ACCESS_MASK;
typedef char16_t WCHAR, *PWCH, *PWSTR;
typedef const char16_t* PCWSTR;
typedef LONG NTSTATUS;
typedef PVOID HANDLE, *PHANDLE;

#define TRUE 1
#define FALSE 0

#define NT_SUCCESS(s) (((NTSTATUS)(s)) >= 0)

// Wide literals: UTF-16 on both platforms (wchar_t on Windows, char16_t here).
#define PONTOR_WIDE(s) u##s

union LARGE_INTEGER {
    struct {
        ULONG LowPart;
        LONG HighPart;
    };
    LONGLONG QuadPart;
};
typedef LARGE_INTEGER* PLARGE_INTEGER;

struct UNICODE_STRING {
    USHORT Length;         // bytes, no terminator counted
    USHORT MaximumLength;  // bytes
    PWCH Buffer;
};
typedef UNICODE_STRING* PUNICODE_STRING;
typedef const UNICODE_STRING* PCUNICODE_STRING;
static_assert(sizeof(UNICODE_STRING) == 16, "x64 layout");

#define POINTER_ALIGNMENT __attribute__((aligned(8)))
#define FlagOn(_F, _SF) ((_F) & (_SF))
#define BooleanFlagOn(F, SF) ((BOOLEAN)(((F) & (SF)) != 0))
#define SetFlag(_F, _SF) ((_F) |= (_SF))
#define ClearFlag(_F, _SF) ((_F) &= ~(_SF))
#define Add2Ptr(P, I) ((PVOID)((PUCHAR)(P) + (I)))

typedef char CCHAR;
typedef CCHAR KPROCESSOR_MODE;
enum MODE { KernelMode, UserMode, MaximumMode };
typedef LONG KPRIORITY;
typedef ULONG DEVICE_TYPE;
typedef ULONG_PTR* PULONG_PTR;
typedef struct _ETHREAD* PETHREAD;
typedef struct _EPROCESS* PEPROCESS;
typedef struct _ERESOURCE* PERESOURCE;
typedef struct _ECP_LIST ECP_LIST, *PECP_LIST;
typedef struct _KTRANSACTION* PKTRANSACTION;

struct LIST_ENTRY {
    LIST_ENTRY* Flink;
    LIST_ENTRY* Blink;
};
typedef LIST_ENTRY* PLIST_ENTRY;

struct GUID {
    ULONG Data1;
    USHORT Data2;
    USHORT Data3;
    UCHAR Data4[8];
};
typedef GUID* LPGUID;
typedef const GUID* LPCGUID;
static_assert(sizeof(GUID) == 16, "x64 layout");

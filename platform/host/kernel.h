// The Windows kernel and Filter Manager names the driver uses, declared for
// the Linux host. Driver code reaches this header only through platform.h.
// Types keep the x64 Windows widths (LLP64: ULONG is 32 bits).
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

#define FLTAPI
#define NTAPI
#define FASTCALL

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

// NTSTATUS values the driver and the host use.
#define STATUS_SUCCESS ((NTSTATUS)0x00000000L)
#define STATUS_PENDING ((NTSTATUS)0x00000103L)
#define STATUS_BUFFER_OVERFLOW ((NTSTATUS)0x80000005L)
#define STATUS_STOPPED_ON_SYMLINK ((NTSTATUS)0x8000002DL)
#define STATUS_UNSUCCESSFUL ((NTSTATUS)0xC0000001L)
#define STATUS_NOT_IMPLEMENTED ((NTSTATUS)0xC0000002L)
#define STATUS_INVALID_HANDLE ((NTSTATUS)0xC0000008L)
#define STATUS_INVALID_PARAMETER ((NTSTATUS)0xC000000DL)
#define STATUS_NO_SUCH_FILE ((NTSTATUS)0xC000000FL)
#define STATUS_INVALID_DEVICE_REQUEST ((NTSTATUS)0xC0000010L)
#define STATUS_END_OF_FILE ((NTSTATUS)0xC0000011L)
#define STATUS_UNRECOGNIZED_MEDIA ((NTSTATUS)0xC0000014L)
#define STATUS_ACCESS_DENIED ((NTSTATUS)0xC0000022L)
#define STATUS_BUFFER_TOO_SMALL ((NTSTATUS)0xC0000023L)
#define STATUS_OBJECT_NAME_INVALID ((NTSTATUS)0xC0000033L)
#define STATUS_OBJECT_NAME_NOT_FOUND ((NTSTATUS)0xC0000034L)
#define STATUS_OBJECT_PATH_INVALID ((NTSTATUS)0xC0000039L)
#define STATUS_OBJECT_PATH_NOT_FOUND ((NTSTATUS)0xC000003AL)
#define STATUS_OBJECT_PATH_SYNTAX_BAD ((NTSTATUS)0xC000003BL)
#define STATUS_SHARING_VIOLATION ((NTSTATUS)0xC0000043L)
#define STATUS_UNKNOWN_REVISION ((NTSTATUS)0xC0000058L)
#define STATUS_INSUFFICIENT_RESOURCES ((NTSTATUS)0xC000009AL)
#define STATUS_DEVICE_NOT_READY ((NTSTATUS)0xC00000A3L)
#define STATUS_FILE_IS_A_DIRECTORY ((NTSTATUS)0xC00000BAL)
#define STATUS_NOT_SUPPORTED ((NTSTATUS)0xC00000BBL)
#define STATUS_IO_DEVICE_ERROR ((NTSTATUS)0xC0000185L)
#define STATUS_NOT_A_DIRECTORY ((NTSTATUS)0xC0000103L)
#define STATUS_CANCELLED ((NTSTATUS)0xC0000120L)
#define STATUS_NOT_FOUND ((NTSTATUS)0xC0000225L)
#define STATUS_ACCESS_VIOLATION ((NTSTATUS)0xC0000005L)
#define STATUS_FLT_CONTEXT_ALREADY_DEFINED ((NTSTATUS)0xC01C0002L)
#define STATUS_FLT_DO_NOT_ATTACH ((NTSTATUS)0xC01C000FL)

// Pool.
enum POOL_TYPE { NonPagedPool = 0, PagedPool = 1, NonPagedPoolNx = 512 };

// Filter Manager objects are opaque to the driver.
typedef struct _FLT_FILTER* PFLT_FILTER;
typedef struct _FLT_INSTANCE* PFLT_INSTANCE;
typedef struct _FLT_VOLUME* PFLT_VOLUME;
typedef struct _DEVICE_OBJECT* PDEVICE_OBJECT;
typedef struct _FILE_OBJECT FILE_OBJECT, *PFILE_OBJECT;

// The file object fields the driver may look at come first; the host's own
// bookkeeping follows and is never touched by driver code.
#define FO_SYNCHRONOUS_IO 0x00000002
#define FO_VOLUME_OPEN 0x00400000

struct _FILE_OBJECT {
    CSHORT Type;
    CSHORT Size;
    ULONG Flags;
    UNICODE_STRING FileName;
    LARGE_INTEGER CurrentByteOffset;
    PVOID FsContext;
    PVOID FsContext2;
    struct HostFileObject* Host;
};

struct FLT_RELATED_OBJECTS {
    USHORT Size;
    USHORT TransactionContext;
    PFLT_FILTER Filter;
    PFLT_VOLUME Volume;
    PFLT_INSTANCE Instance;
    PFILE_OBJECT FileObject;
    PVOID Transaction;
};
typedef FLT_RELATED_OBJECTS* PFLT_RELATED_OBJECTS;
typedef const FLT_RELATED_OBJECTS* PCFLT_RELATED_OBJECTS;
static_assert(sizeof(FLT_RELATED_OBJECTS) == 48, "x64 layout");

extern "C" {

PVOID FLTAPI FltAllocatePoolAlignedWithTag(PFLT_INSTANCE Instance, POOL_TYPE PoolType,
                                           SIZE_T NumberOfBytes, ULONG Tag);
VOID FLTAPI FltFreePoolAlignedWithTag(PFLT_INSTANCE Instance, PVOID Buffer, ULONG Tag);
PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);
VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag);

// Reads.
#define FLTFL_IO_OPERATION_NON_CACHED 0x00000001
#define FLTFL_IO_OPERATION_PAGING 0x00000002
#define FLTFL_IO_OPERATION_DO_NOT_UPDATE_BYTE_OFFSET 0x00000004
#define FLTFL_IO_OPERATION_SYNCHRONOUS_PAGING 0x00000008

typedef VOID(FLTAPI* PFLT_COMPLETED_ASYNC_IO_CALLBACK)(struct FLT_CALLBACK_DATA* CallbackData,
                                                        PVOID Context);

NTSTATUS FLTAPI FltReadFile(PFLT_INSTANCE InitiatingInstance, PFILE_OBJECT FileObject,
                            PLARGE_INTEGER ByteOffset, ULONG Length, PVOID Buffer, ULONG Flags,
                            PULONG BytesRead, PFLT_COMPLETED_ASYNC_IO_CALLBACK CallbackRoutine,
                            PVOID CallbackContext);

// Opens.
struct OBJECT_ATTRIBUTES {
    ULONG Length;
    HANDLE RootDirectory;
    PUNICODE_STRING ObjectName;
    ULONG Attributes;
    PVOID SecurityDescriptor;
    PVOID SecurityQualityOfService;
};
typedef OBJECT_ATTRIBUTES* POBJECT_ATTRIBUTES;
static_assert(sizeof(OBJECT_ATTRIBUTES) == 48, "x64 layout");

#define OBJ_INHERIT 0x00000002L
#define OBJ_CASE_INSENSITIVE 0x00000040L
#define OBJ_OPENIF 0x00000080L
#define OBJ_KERNEL_HANDLE 0x00000200L

#define InitializeObjectAttributes(p, n, a, r, s) \
    do {                                          \
        (p)->Length = sizeof(OBJECT_ATTRIBUTES);  \
        (p)->RootDirectory = (r);                 \
        (p)->Attributes = (a);                    \
        (p)->ObjectName = (n);                    \
        (p)->SecurityDescriptor = (s);            \
        (p)->SecurityQualityOfService = NULL;     \
    } while (0)

struct IO_STATUS_BLOCK {
    union {
        NTSTATUS Status;
        PVOID Pointer;
    };
    ULONG_PTR Information;
};
typedef IO_STATUS_BLOCK* PIO_STATUS_BLOCK;

#define DELETE 0x00010000L
#define SYNCHRONIZE 0x00100000L
#define GENERIC_READ 0x80000000L
#define GENERIC_WRITE 0x40000000L
#define FILE_READ_DATA 0x0001
#define FILE_WRITE_DATA 0x0002
#define FILE_APPEND_DATA 0x0004
#define FILE_READ_ATTRIBUTES 0x0080
#define FILE_WRITE_ATTRIBUTES 0x0100

#define FILE_ATTRIBUTE_NORMAL 0x00000080
#define FILE_SHARE_READ 0x00000001
#define FILE_SHARE_WRITE 0x00000002
#define FILE_SHARE_DELETE 0x00000004

#define FILE_SUPERSEDE 0x00000000
#define FILE_OPEN 0x00000001
#define FILE_CREATE 0x00000002
#define FILE_OPEN_IF 0x00000003

#define FILE_DIRECTORY_FILE 0x00000001
#define FILE_SYNCHRONOUS_IO_ALERT 0x00000010
#define FILE_SYNCHRONOUS_IO_NONALERT 0x00000020
#define FILE_NON_DIRECTORY_FILE 0x00000040
#define FILE_RANDOM_ACCESS 0x00000800

#define IO_STOP_ON_SYMLINK 0x00000008

NTSTATUS FLTAPI FltCreateFileEx(PFLT_FILTER Filter, PFLT_INSTANCE Instance, PHANDLE FileHandle,
                                PFILE_OBJECT* FileObject, ACCESS_MASK DesiredAccess,
                                POBJECT_ATTRIBUTES ObjectAttributes,
                                PIO_STATUS_BLOCK IoStatusBlock, PLARGE_INTEGER AllocationSize,
                                ULONG FileAttributes, ULONG ShareAccess, ULONG CreateDisposition,
                                ULONG CreateOptions, PVOID EaBuffer, ULONG EaLength, ULONG Flags);
NTSTATUS FLTAPI FltClose(HANDLE FileHandle);
VOID FASTCALL ObfDereferenceObject(PVOID Object);
#define ObDereferenceObject(o) ObfDereferenceObject(o)

NTSTATUS FLTAPI FltParseFileName(PCUNICODE_STRING FileName, PUNICODE_STRING Extension,
                                 PUNICODE_STRING Stream, PUNICODE_STRING FinalComponent);

// Strings and memory. The host routines read counted strings byte-wise, so a
// string lying at an odd offset of an image buffer is read correctly.
VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString);
VOID NTAPI RtlCopyUnicodeString(PUNICODE_STRING DestinationString,
                                PCUNICODE_STRING SourceString);
LONG NTAPI RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                   BOOLEAN CaseInSensitive);
SIZE_T NTAPI RtlCompareMemory(const VOID* Source1, const VOID* Source2, SIZE_T Length);
VOID NTAPI RtlCopyMemory(VOID* Destination, const VOID* Source, SIZE_T Length);
VOID NTAPI RtlZeroMemory(VOID* Destination, SIZE_T Length);

struct RTL_BITMAP {
    ULONG SizeOfBitMap;  // bits
    PULONG Buffer;
};
typedef RTL_BITMAP* PRTL_BITMAP;
VOID NTAPI RtlInitializeBitMap(PRTL_BITMAP BitMapHeader, PULONG BitMapBuffer, ULONG SizeOfBitMap);
BOOLEAN NTAPI RtlTestBit(PRTL_BITMAP BitMapHeader, ULONG BitNumber);
#define RtlCheckBit(h, b) RtlTestBit((h), (b))

// Debug output.
#define DPFLTR_IHVDRIVER_ID 77
#define DPFLTR_ERROR_LEVEL 0
ULONG DbgPrint(PCSTR Format, ...);
ULONG DbgPrintEx(ULONG ComponentId, ULONG Level, PCSTR Format, ...);

}  // extern "C"

// Paged code checks are assertions of the execution level; the host runs
// everything at passive level.
#define PAGED_CODE() ((void)0)

// ---- Guarded calls ----
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

// ---- Dispatcher objects and names (used by the stream context) ----
// The host initialises these in place; their layout never crosses to Windows.
struct KEVENT {
    alignas(16) UCHAR Opaque[128];
};
typedef KEVENT* PKEVENT;
struct KMUTEX {
    alignas(16) UCHAR Opaque[128];
};
typedef KMUTEX* PKMUTEX;

typedef USHORT FLT_FILE_NAME_PARSED_FLAGS;
typedef ULONG FLT_FILE_NAME_OPTIONS;
struct FLT_FILE_NAME_INFORMATION {
    USHORT Size;
    FLT_FILE_NAME_PARSED_FLAGS NamesParsed;
    FLT_FILE_NAME_OPTIONS Format;
    UNICODE_STRING Name;
    UNICODE_STRING Volume;
    UNICODE_STRING Share;
    UNICODE_STRING Extension;
    UNICODE_STRING Stream;
    UNICODE_STRING FinalComponent;
    UNICODE_STRING ParentDir;
};
typedef FLT_FILE_NAME_INFORMATION* PFLT_FILE_NAME_INFORMATION;
static_assert(sizeof(FLT_FILE_NAME_INFORMATION) == 120, "x64 layout");

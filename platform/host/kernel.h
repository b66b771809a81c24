// The Windows kernel names the driver uses, declared for the Linux host,
// then the Filter Manager's (../fltmgr.h, shared with the cross build).
// Driver code reaches this header only through platform.h.
// Types keep the x64 Windows widths (LLP64: LONG and ULONG are 32 bits,
// where the host's long is 64; WCHAR is UTF-16, where the host's wchar_t is
// 32 bits, so wchar_t never appears here).
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

// NTSTATUS values the driver and the host use.
#define STATUS_SUCCESS ((NTSTATUS)0x00000000L)
#define STATUS_PENDING ((NTSTATUS)0x00000103L)
#define STATUS_REPARSE ((NTSTATUS)0x00000104L)
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
#define STATUS_INVALID_INFO_CLASS ((NTSTATUS)0xC0000003L)
#define STATUS_INFO_LENGTH_MISMATCH ((NTSTATUS)0xC0000004L)
#define STATUS_OBJECT_TYPE_MISMATCH ((NTSTATUS)0xC0000024L)
#define STATUS_OBJECT_NAME_COLLISION ((NTSTATUS)0xC0000035L)
#define STATUS_MUTANT_NOT_OWNED ((NTSTATUS)0xC0000046L)
#define STATUS_DELETE_PENDING ((NTSTATUS)0xC0000056L)
#define STATUS_DISK_FULL ((NTSTATUS)0xC000007FL)
#define STATUS_INVALID_USER_BUFFER ((NTSTATUS)0xC00000E8L)
#define STATUS_FILE_CLOSED ((NTSTATUS)0xC0000128L)
#define STATUS_INVALID_DEVICE_STATE ((NTSTATUS)0xC0000184L)
#define STATUS_TIMEOUT ((NTSTATUS)0x00000102L)
#define STATUS_FLT_CONTEXT_ALREADY_DEFINED ((NTSTATUS)0xC01C0002L)
#define STATUS_FLT_DISALLOW_FAST_IO ((NTSTATUS)0xC01C0004L)
#define STATUS_FLT_NOT_INITIALIZED ((NTSTATUS)0xC01C0007L)
#define STATUS_FLT_DELETING_OBJECT ((NTSTATUS)0xC01C000BL)
#define STATUS_FLT_DO_NOT_ATTACH ((NTSTATUS)0xC01C000FL)
#define STATUS_FLT_DO_NOT_DETACH ((NTSTATUS)0xC01C0010L)
#define STATUS_FLT_CONTEXT_ALLOCATION_NOT_FOUND ((NTSTATUS)0xC01C0016L)
#define STATUS_FLT_INVALID_CONTEXT_REGISTRATION ((NTSTATUS)0xC01C0017L)
#define STATUS_FLT_CONTEXT_ALREADY_LINKED ((NTSTATUS)0xC01C001CL)

// Pool.
enum POOL_TYPE { NonPagedPool = 0, PagedPool = 1, NonPagedPoolNx = 512 };

typedef struct _DEVICE_OBJECT* PDEVICE_OBJECT;
typedef struct _FILE_OBJECT FILE_OBJECT, *PFILE_OBJECT;

// The file object has the x64 Windows layout, so that the Windows image reads
// its fields where the kernel keeps them; the host's own bookkeeping follows
// the Windows fields and is never touched by driver code.
#define FO_SYNCHRONOUS_IO 0x00000002
#define FO_NO_INTERMEDIATE_BUFFERING 0x00000008
#define FO_VOLUME_OPEN 0x00400000

struct _FILE_OBJECT {
    CSHORT Type;
    CSHORT Size;
    PDEVICE_OBJECT DeviceObject;
    PVOID Vpb;
    PVOID FsContext;
    PVOID FsContext2;
    PVOID SectionObjectPointer;
    PVOID PrivateCacheMap;
    NTSTATUS FinalStatus;
    struct _FILE_OBJECT* RelatedFileObject;
    BOOLEAN LockOperation;
    BOOLEAN DeletePending;
    BOOLEAN ReadAccess;
    BOOLEAN WriteAccess;
    BOOLEAN DeleteAccess;
    BOOLEAN SharedRead;
    BOOLEAN SharedWrite;
    BOOLEAN SharedDelete;
    ULONG Flags;
    UNICODE_STRING FileName;
    LARGE_INTEGER CurrentByteOffset;
    ULONG Waiters;
    ULONG Busy;
    PVOID LastLock;
    UCHAR Lock[24];   // KEVENT
    UCHAR Event[24];  // KEVENT
    PVOID CompletionContext;
    ULONG_PTR IrpListLock;
    PVOID IrpList[2];  // LIST_ENTRY
    PVOID FileObjectExtension;
    // Host only, past the end of the Windows record.
    struct HostFileObject* Host;
};
static_assert(offsetof(_FILE_OBJECT, FsContext) == 24, "x64 layout");
static_assert(offsetof(_FILE_OBJECT, Flags) == 80, "x64 layout");
static_assert(offsetof(_FILE_OBJECT, FileName) == 88, "x64 layout");
static_assert(offsetof(_FILE_OBJECT, CurrentByteOffset) == 104, "x64 layout");
static_assert(offsetof(_FILE_OBJECT, Host) == 216, "x64 layout: the Windows record is 216 bytes");

extern "C" {

PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);
VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag);

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
static_assert(sizeof(IO_STATUS_BLOCK) == 16, "x64 layout");

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

VOID FASTCALL ObfDereferenceObject(PVOID Object);
#define ObDereferenceObject(o) ObfDereferenceObject(o)

// Strings and memory. The host routines read counted strings byte-wise, so a
// string lying at an odd offset of an image buffer is read correctly.
VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString);
VOID NTAPI RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString);
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
// Variadic, in the Microsoft convention: the host reads the arguments with
// __builtin_ms_va_list.
ULONG PONTOR_MS_ABI DbgPrint(PCSTR Format, ...);
ULONG PONTOR_MS_ABI DbgPrintEx(ULONG ComponentId, ULONG Level, PCSTR Format, ...);

}  // extern "C"

// Residency (PONTOR_PAGED, PONTOR_INIT, PONTOR_PAGED_DATA) is the Windows
// image's; host code is always resident. PAGED_CODE() still checks the
// level, as a checked kernel does: pageable code runs at APC_LEVEL at most.
#define PONTOR_PAGED
#define PONTOR_INIT
#define PONTOR_PAGED_DATA
namespace host {
void CheckPagedCode(const char* routine);
}
#define PAGED_CODE() ::host::CheckPagedCode(__FUNCTION__)
#define PONTOR_DEPRECATED_CALL(statement) statement

// The exception the host raises where Windows raises an access violation
// (a write into a range armed by host::ArmAccessFault). It unwinds through
// driver frames as a structured exception does on Windows.
namespace host {
struct AccessViolation {
    const void* address;
};
}  // namespace host

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

// ---- Dispatcher objects (used by the stream context) ----
// The host keeps its own state in them, in the x64 Windows sizes: the image
// allocates and embeds them by its own sizeof.
struct KEVENT {
    alignas(8) UCHAR Opaque[24];
};
typedef KEVENT* PKEVENT;
struct KMUTEX {
    alignas(8) UCHAR Opaque[56];
};
static_assert(sizeof(KEVENT) == 24 && sizeof(KMUTEX) == 56, "x64 layout");
typedef KMUTEX* PKMUTEX;

// ---- I/O manager ----
// Declared with the WDK's names, field order and x64 widths; where a record
// crosses between the driver and the platform its offsets are pinned below.
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

// Device types and control codes.
#define FILE_DEVICE_CD_ROM_FILE_SYSTEM 0x00000003
#define FILE_DEVICE_DISK 0x00000007
#define FILE_DEVICE_DISK_FILE_SYSTEM 0x00000008
#define FILE_DEVICE_FILE_SYSTEM 0x00000009
#define FILE_DEVICE_NETWORK_FILE_SYSTEM 0x00000014
#define METHOD_BUFFERED 0
#define METHOD_IN_DIRECT 1
#define METHOD_OUT_DIRECT 2
#define METHOD_NEITHER 3
#define FILE_ANY_ACCESS 0
#define FILE_READ_ACCESS 0x0001
#define FILE_WRITE_ACCESS 0x0002
#define IRP_MJ_MAXIMUM_FUNCTION_COUNT 28
#define CTL_CODE(DeviceType, Function, Method, Access) \
    (((DeviceType) << 16) | ((Access) << 14) | ((Function) << 2) | (Method))

// Driver objects, in the x64 Windows layout.
typedef NTSTATUS NTAPI DRIVER_INITIALIZE(struct DRIVER_OBJECT* DriverObject,
                                         PUNICODE_STRING RegistryPath);
typedef DRIVER_INITIALIZE* PDRIVER_INITIALIZE;
struct DRIVER_OBJECT {
    CSHORT Type;
    CSHORT Size;
    PDEVICE_OBJECT DeviceObject;
    ULONG Flags;
    PVOID DriverStart;
    ULONG DriverSize;
    PVOID DriverSection;
    PVOID DriverExtension;
    UNICODE_STRING DriverName;
    PUNICODE_STRING HardwareDatabase;
    PVOID FastIoDispatch;
    PDRIVER_INITIALIZE DriverInit;
    PVOID DriverStartIo;
    PVOID DriverUnload;
    PVOID MajorFunction[IRP_MJ_MAXIMUM_FUNCTION_COUNT];
};
typedef DRIVER_OBJECT* PDRIVER_OBJECT;
static_assert(offsetof(DRIVER_OBJECT, DriverName) == 56, "x64 layout");
static_assert(sizeof(DRIVER_OBJECT) == 336, "x64 layout");

// Major and minor functions.
#define IRP_MJ_CREATE 0x00
#define IRP_MJ_CREATE_NAMED_PIPE 0x01
#define IRP_MJ_CLOSE 0x02
#define IRP_MJ_READ 0x03
#define IRP_MJ_WRITE 0x04
#define IRP_MJ_QUERY_INFORMATION 0x05
#define IRP_MJ_SET_INFORMATION 0x06
#define IRP_MJ_QUERY_EA 0x07
#define IRP_MJ_SET_EA 0x08
#define IRP_MJ_FLUSH_BUFFERS 0x09
#define IRP_MJ_QUERY_VOLUME_INFORMATION 0x0a
#define IRP_MJ_SET_VOLUME_INFORMATION 0x0b
#define IRP_MJ_DIRECTORY_CONTROL 0x0c
#define IRP_MJ_FILE_SYSTEM_CONTROL 0x0d
#define IRP_MJ_DEVICE_CONTROL 0x0e
#define IRP_MJ_INTERNAL_DEVICE_CONTROL 0x0f
#define IRP_MJ_SHUTDOWN 0x10
#define IRP_MJ_LOCK_CONTROL 0x11
#define IRP_MJ_CLEANUP 0x12
#define IRP_MJ_CREATE_MAILSLOT 0x13
#define IRP_MJ_QUERY_SECURITY 0x14
#define IRP_MJ_SET_SECURITY 0x15
#define IRP_MJ_POWER 0x16
#define IRP_MJ_SYSTEM_CONTROL 0x17
#define IRP_MJ_DEVICE_CHANGE 0x18
#define IRP_MJ_QUERY_QUOTA 0x19
#define IRP_MJ_SET_QUOTA 0x1a
#define IRP_MJ_PNP 0x1b
#define IRP_MJ_MAXIMUM_FUNCTION 0x1b

#define IRP_MN_NORMAL 0x00
#define IRP_MN_DPC 0x01
#define IRP_MN_MDL 0x02
#define IRP_MN_COMPLETE 0x04
#define IRP_MN_COMPRESSED 0x08
#define IRP_MN_MDL_DPC (IRP_MN_MDL | IRP_MN_DPC)
#define IRP_MN_COMPLETE_MDL (IRP_MN_COMPLETE | IRP_MN_MDL)
#define IRP_MN_COMPLETE_MDL_DPC (IRP_MN_COMPLETE_MDL | IRP_MN_DPC)
#define IRP_MN_USER_FS_REQUEST 0x00
#define IRP_MN_MOUNT_VOLUME 0x01
#define IRP_MN_VERIFY_VOLUME 0x02
#define IRP_MN_LOAD_FILE_SYSTEM 0x03
#define IRP_MN_KERNEL_CALL 0x04

// IrpFlags.
#define IRP_NOCACHE 0x00000001
#define IRP_PAGING_IO 0x00000002
#define IRP_SYNCHRONOUS_API 0x00000004
#define IRP_SYNCHRONOUS_PAGING_IO 0x00000040

// OperationFlags (the stack location's flags).
#define SL_FORCE_ACCESS_CHECK 0x01
#define SL_OPEN_PAGING_FILE 0x02
#define SL_OPEN_TARGET_DIRECTORY 0x04
#define SL_STOP_ON_SYMLINK 0x08
#define SL_CASE_SENSITIVE 0x80
#define SL_KEY_SPECIFIED 0x01
#define SL_WRITE_THROUGH 0x04

// More access rights, dispositions, options and create results.
#define READ_CONTROL 0x00020000L
#define FILE_READ_EA 0x0008
#define FILE_WRITE_EA 0x0010
#define FILE_EXECUTE 0x0020
#define GENERIC_EXECUTE 0x20000000L
#define GENERIC_ALL 0x10000000L
#define MAXIMUM_ALLOWED 0x02000000L
#define FILE_OVERWRITE 0x00000004
#define FILE_OVERWRITE_IF 0x00000005
#define FILE_MAXIMUM_DISPOSITION 0x00000005
#define FILE_WRITE_THROUGH 0x00000002
#define FILE_SEQUENTIAL_ONLY 0x00000004
#define FILE_NO_INTERMEDIATE_BUFFERING 0x00000008
#define FILE_DELETE_ON_CLOSE 0x00001000
#define FILE_OPEN_REPARSE_POINT 0x00200000
#define FILE_SUPERSEDED 0x00000000
#define FILE_OPENED 0x00000001
#define FILE_CREATED 0x00000002
#define FILE_OVERWRITTEN 0x00000003
#define FILE_EXISTS 0x00000004
#define FILE_DOES_NOT_EXIST 0x00000005
#define FILE_ATTRIBUTE_READONLY 0x00000001
#define FILE_ATTRIBUTE_HIDDEN 0x00000002
#define FILE_ATTRIBUTE_SYSTEM 0x00000004
#define FILE_ATTRIBUTE_DIRECTORY 0x00000010
#define FILE_ATTRIBUTE_ARCHIVE 0x00000020

struct IO_SECURITY_CONTEXT {
    PVOID SecurityQos;  // PSECURITY_QUALITY_OF_SERVICE
    PVOID AccessState;  // PACCESS_STATE
    ACCESS_MASK DesiredAccess;
    ULONG FullCreateOptions;
};
typedef IO_SECURITY_CONTEXT* PIO_SECURITY_CONTEXT;
static_assert(sizeof(IO_SECURITY_CONTEXT) == 24, "x64 layout");
static_assert(offsetof(IO_SECURITY_CONTEXT, DesiredAccess) == 16, "x64 layout");

// Memory descriptor lists.
struct MDL {
    MDL* Next;
    CSHORT Size;
    CSHORT MdlFlags;
    PEPROCESS Process;
    PVOID MappedSystemVa;
    PVOID StartVa;
    ULONG ByteCount;
    ULONG ByteOffset;
};
typedef MDL* PMDL;
static_assert(sizeof(MDL) == 48, "x64 layout");
static_assert(offsetof(MDL, MappedSystemVa) == 24, "x64 layout");
static_assert(offsetof(MDL, ByteCount) == 40, "x64 layout");
#define MDL_MAPPED_TO_SYSTEM_VA 0x0001
#define MDL_PAGES_LOCKED 0x0002
#define MDL_SOURCE_IS_NONPAGED_POOL 0x0004
#define MDL_PARTIAL 0x0010
#define MDL_IO_SPACE 0x0800
#define MmGetMdlVirtualAddress(Mdl) ((PVOID)((PCHAR)((Mdl)->StartVa) + (Mdl)->ByteOffset))
#define MmGetMdlByteCount(Mdl) ((Mdl)->ByteCount)

enum MEMORY_CACHING_TYPE { MmNonCached = 0, MmCached = 1, MmWriteCombined = 2 };
enum MM_PAGE_PRIORITY { LowPagePriority = 0, NormalPagePriority = 16, HighPagePriority = 32 };
#define MdlMappingNoWrite 0x80000000
#define MdlMappingNoExecute 0x40000000
#define MmGetSystemAddressForMdlSafe(MDL, PRIORITY)                              \
    (((MDL)->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL)) \
         ? ((MDL)->MappedSystemVa)                                               \
         : (MmMapLockedPagesSpecifyCache((MDL), KernelMode, MmCached, NULL, FALSE, (PRIORITY))))

// File information classes and the records the driver reads or rewrites.
enum FILE_INFORMATION_CLASS {
    FileDirectoryInformation = 1,
    FileFullDirectoryInformation,  // 2
    FileBothDirectoryInformation,  // 3
    FileBasicInformation,          // 4
    FileStandardInformation,       // 5
    FileInternalInformation,       // 6
    FileEaInformation,             // 7
    FileAccessInformation,         // 8
    FileNameInformation,           // 9
    FileRenameInformation,         // 10
    FileLinkInformation,           // 11
    FileNamesInformation,          // 12
    FileDispositionInformation,    // 13
    FilePositionInformation,       // 14
    FileFullEaInformation,         // 15
    FileModeInformation,           // 16
    FileAlignmentInformation,      // 17
    FileAllInformation,            // 18
    FileAllocationInformation,     // 19
    FileEndOfFileInformation,      // 20
    FileAlternateNameInformation,  // 21
    FileStreamInformation,         // 22
    FilePipeInformation,           // 23
    FilePipeLocalInformation,      // 24
    FilePipeRemoteInformation,     // 25
    FileMailslotQueryInformation,  // 26
    FileMailslotSetInformation,    // 27
    FileCompressionInformation,    // 28
    FileObjectIdInformation,       // 29
    FileCompletionInformation,     // 30
    FileMoveClusterInformation,    // 31
    FileQuotaInformation,          // 32
    FileReparsePointInformation,   // 33
    FileNetworkOpenInformation,    // 34
    FileAttributeTagInformation,   // 35
    FileMaximumInformation = 76
};
typedef FILE_INFORMATION_CLASS* PFILE_INFORMATION_CLASS;

struct FILE_BASIC_INFORMATION {
    LARGE_INTEGER CreationTime;
    LARGE_INTEGER LastAccessTime;
    LARGE_INTEGER LastWriteTime;
    LARGE_INTEGER ChangeTime;
    ULONG FileAttributes;
};
struct FILE_STANDARD_INFORMATION {
    LARGE_INTEGER AllocationSize;
    LARGE_INTEGER EndOfFile;
    ULONG NumberOfLinks;
    BOOLEAN DeletePending;
    BOOLEAN Directory;
};
struct FILE_INTERNAL_INFORMATION {
    LARGE_INTEGER IndexNumber;
};
struct FILE_EA_INFORMATION {
    ULONG EaSize;
};
struct FILE_ACCESS_INFORMATION {
    ACCESS_MASK AccessFlags;
};
struct FILE_POSITION_INFORMATION {
    LARGE_INTEGER CurrentByteOffset;
};
struct FILE_MODE_INFORMATION {
    ULONG Mode;
};
struct FILE_ALIGNMENT_INFORMATION {
    ULONG AlignmentRequirement;
};
struct FILE_NAME_INFORMATION {
    ULONG FileNameLength;  // bytes
    WCHAR FileName[1];
};
struct FILE_ALL_INFORMATION {
    FILE_BASIC_INFORMATION BasicInformation;
    FILE_STANDARD_INFORMATION StandardInformation;
    FILE_INTERNAL_INFORMATION InternalInformation;
    FILE_EA_INFORMATION EaInformation;
    FILE_ACCESS_INFORMATION AccessInformation;
    FILE_POSITION_INFORMATION PositionInformation;
    FILE_MODE_INFORMATION ModeInformation;
    FILE_ALIGNMENT_INFORMATION AlignmentInformation;
    FILE_NAME_INFORMATION NameInformation;
};
struct FILE_END_OF_FILE_INFORMATION {
    LARGE_INTEGER EndOfFile;
};
struct FILE_STREAM_INFORMATION {
    ULONG NextEntryOffset;
    ULONG StreamNameLength;  // bytes
    LARGE_INTEGER StreamSize;
    LARGE_INTEGER StreamAllocationSize;
    WCHAR StreamName[1];
};
struct FILE_NETWORK_OPEN_INFORMATION {
    LARGE_INTEGER CreationTime;
    LARGE_INTEGER LastAccessTime;
    LARGE_INTEGER LastWriteTime;
    LARGE_INTEGER ChangeTime;
    LARGE_INTEGER AllocationSize;
    LARGE_INTEGER EndOfFile;
    ULONG FileAttributes;
};
struct FILE_ATTRIBUTE_TAG_INFORMATION {
    ULONG FileAttributes;
    ULONG ReparseTag;
};
typedef FILE_BASIC_INFORMATION* PFILE_BASIC_INFORMATION;
typedef FILE_STANDARD_INFORMATION* PFILE_STANDARD_INFORMATION;
typedef FILE_ALL_INFORMATION* PFILE_ALL_INFORMATION;
typedef FILE_END_OF_FILE_INFORMATION* PFILE_END_OF_FILE_INFORMATION;
typedef FILE_STREAM_INFORMATION* PFILE_STREAM_INFORMATION;
typedef FILE_NETWORK_OPEN_INFORMATION* PFILE_NETWORK_OPEN_INFORMATION;
typedef FILE_NAME_INFORMATION* PFILE_NAME_INFORMATION;
static_assert(sizeof(FILE_BASIC_INFORMATION) == 40, "x64 layout");
static_assert(sizeof(FILE_STANDARD_INFORMATION) == 24, "x64 layout");
static_assert(offsetof(FILE_STANDARD_INFORMATION, EndOfFile) == 8, "x64 layout");
static_assert(offsetof(FILE_STANDARD_INFORMATION, NumberOfLinks) == 16, "x64 layout");
static_assert(offsetof(FILE_STANDARD_INFORMATION, Directory) == 21, "x64 layout");
static_assert(sizeof(FILE_ALL_INFORMATION) == 104, "x64 layout");
static_assert(offsetof(FILE_ALL_INFORMATION, StandardInformation) == 40, "x64 layout");
static_assert(offsetof(FILE_ALL_INFORMATION, InternalInformation) == 64, "x64 layout");
static_assert(offsetof(FILE_ALL_INFORMATION, PositionInformation) == 80, "x64 layout");
static_assert(offsetof(FILE_ALL_INFORMATION, NameInformation) == 96, "x64 layout");
static_assert(sizeof(FILE_END_OF_FILE_INFORMATION) == 8, "x64 layout");
static_assert(sizeof(FILE_STREAM_INFORMATION) == 32, "x64 layout");
static_assert(offsetof(FILE_STREAM_INFORMATION, StreamSize) == 8, "x64 layout");
static_assert(offsetof(FILE_STREAM_INFORMATION, StreamAllocationSize) == 16, "x64 layout");
static_assert(offsetof(FILE_STREAM_INFORMATION, StreamName) == 24, "x64 layout");
static_assert(sizeof(FILE_NETWORK_OPEN_INFORMATION) == 56, "x64 layout");
static_assert(offsetof(FILE_NETWORK_OPEN_INFORMATION, AllocationSize) == 32, "x64 layout");
static_assert(offsetof(FILE_NETWORK_OPEN_INFORMATION, EndOfFile) == 40, "x64 layout");
static_assert(offsetof(FILE_NETWORK_OPEN_INFORMATION, FileAttributes) == 48, "x64 layout");
static_assert(sizeof(FILE_NAME_INFORMATION) == 8, "x64 layout");

// ---- Filter Manager ----
// FLTAPI and the kernel types above are all it needs.
#include "../fltmgr.h"

// Dispatcher objects.
enum EVENT_TYPE { NotificationEvent, SynchronizationEvent };
enum KWAIT_REASON { Executive = 0, UserRequest = 6 };
typedef KEVENT* PRKEVENT;
typedef KMUTEX* PRKMUTEX;
#define IO_NO_INCREMENT 0

extern "C" {

// Events and mutexes.
VOID NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State);
LONG NTAPI KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait);
VOID NTAPI KeClearEvent(PRKEVENT Event);
LONG NTAPI KeResetEvent(PRKEVENT Event);
LONG NTAPI KeReadStateEvent(PRKEVENT Event);
VOID NTAPI KeInitializeMutex(PRKMUTEX Mutex, ULONG Level);
LONG NTAPI KeReleaseMutex(PRKMUTEX Mutex, BOOLEAN Wait);
LONG NTAPI KeReadStateMutex(PRKMUTEX Mutex);
NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason,
                                     KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                     PLARGE_INTEGER Timeout);
VOID NTAPI KeEnterCriticalRegion(VOID);
VOID NTAPI KeLeaveCriticalRegion(VOID);

// Interrupt request levels. The host raises a thread's level only where
// Windows does for the driver (paging I/O, the lazy closer's teardown).
typedef UCHAR KIRQL;
#define PASSIVE_LEVEL 0
#define APC_LEVEL 1
#define DISPATCH_LEVEL 2
KIRQL NTAPI KeGetCurrentIrql(VOID);

// The current thread's stack: [LowLimit, HighLimit).
VOID NTAPI IoGetStackLimits(PULONG_PTR LowLimit, PULONG_PTR HighLimit);

// MDLs.
PVOID NTAPI MmMapLockedPagesSpecifyCache(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode,
                                         MEMORY_CACHING_TYPE CacheType, PVOID RequestedAddress,
                                         ULONG BugCheckOnFailure, ULONG Priority);

}  // extern "C"

// Interlocked operations are compiler intrinsics on Windows.
inline LONG InterlockedExchange(LONG volatile* Target, LONG Value) {
    return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedCompareExchange(LONG volatile* Destination, LONG Exchange, LONG Comparand) {
    __atomic_compare_exchange_n(Destination, &Comparand, Exchange, false, __ATOMIC_SEQ_CST,
                                __ATOMIC_SEQ_CST);
    return Comparand;
}
inline LONG InterlockedIncrement(LONG volatile* Addend) {
    return __atomic_add_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedDecrement(LONG volatile* Addend) {
    return __atomic_sub_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}
inline LONG ReadAcquire(LONG const volatile* Source) {
    return __atomic_load_n(Source, __ATOMIC_ACQUIRE);
}
inline LONG ReadNoFence(LONG const volatile* Source) {
    return __atomic_load_n(Source, __ATOMIC_RELAXED);
}

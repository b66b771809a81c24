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

// ---- Filter Manager and I/O manager ----
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
#define CTL_CODE(DeviceType, Function, Method, Access) \
    (((DeviceType) << 16) | ((Access) << 14) | ((Function) << 2) | (Method))

// Driver objects.
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
};
typedef DRIVER_OBJECT* PDRIVER_OBJECT;
typedef NTSTATUS DRIVER_INITIALIZE(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
typedef DRIVER_INITIALIZE* PDRIVER_INITIALIZE;

// Major and minor functions. The negative codes are the Filter Manager's
// names for fast I/O and file-system filter callbacks.
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
#define IRP_MJ_ACQUIRE_FOR_SECTION_SYNCHRONIZATION ((UCHAR)-1)
#define IRP_MJ_RELEASE_FOR_SECTION_SYNCHRONIZATION ((UCHAR)-2)
#define IRP_MJ_ACQUIRE_FOR_MOD_WRITE ((UCHAR)-3)
#define IRP_MJ_RELEASE_FOR_MOD_WRITE ((UCHAR)-4)
#define IRP_MJ_ACQUIRE_FOR_CC_FLUSH ((UCHAR)-5)
#define IRP_MJ_RELEASE_FOR_CC_FLUSH ((UCHAR)-6)
#define IRP_MJ_QUERY_OPEN ((UCHAR)-7)
#define IRP_MJ_FAST_IO_CHECK_IF_POSSIBLE ((UCHAR)-13)
#define IRP_MJ_NETWORK_QUERY_OPEN ((UCHAR)-14)
#define IRP_MJ_MDL_READ ((UCHAR)-15)
#define IRP_MJ_MDL_READ_COMPLETE ((UCHAR)-16)
#define IRP_MJ_PREPARE_MDL_WRITE ((UCHAR)-17)
#define IRP_MJ_MDL_WRITE_COMPLETE ((UCHAR)-18)
#define IRP_MJ_VOLUME_MOUNT ((UCHAR)-19)
#define IRP_MJ_VOLUME_DISMOUNT ((UCHAR)-20)
#define IRP_MJ_OPERATION_END ((UCHAR)0x80)

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
#define MmGetSystemAddressForMdlSafe(MDL, PRIORITY)                                       \
    (((MDL)->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL))         \
         ? ((MDL)->MappedSystemVa)                                                        \
         : (MmMapLockedPagesSpecifyCache((MDL), KernelMode, MmCached, NULL, FALSE,        \
                                         (PRIORITY))))

// File information classes and the records the driver reads or rewrites.
enum FILE_INFORMATION_CLASS {
    FileDirectoryInformation = 1,
    FileFullDirectoryInformation,    // 2
    FileBothDirectoryInformation,    // 3
    FileBasicInformation,            // 4
    FileStandardInformation,         // 5
    FileInternalInformation,         // 6
    FileEaInformation,               // 7
    FileAccessInformation,           // 8
    FileNameInformation,             // 9
    FileRenameInformation,           // 10
    FileLinkInformation,             // 11
    FileNamesInformation,            // 12
    FileDispositionInformation,      // 13
    FilePositionInformation,         // 14
    FileFullEaInformation,           // 15
    FileModeInformation,             // 16
    FileAlignmentInformation,        // 17
    FileAllInformation,              // 18
    FileAllocationInformation,       // 19
    FileEndOfFileInformation,        // 20
    FileAlternateNameInformation,    // 21
    FileStreamInformation,           // 22
    FilePipeInformation,             // 23
    FilePipeLocalInformation,        // 24
    FilePipeRemoteInformation,       // 25
    FileMailslotQueryInformation,    // 26
    FileMailslotSetInformation,      // 27
    FileCompressionInformation,      // 28
    FileObjectIdInformation,         // 29
    FileCompletionInformation,       // 30
    FileMoveClusterInformation,      // 31
    FileQuotaInformation,            // 32
    FileReparsePointInformation,     // 33
    FileNetworkOpenInformation,      // 34
    FileAttributeTagInformation,     // 35
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

// Operation parameters, as the Filter Manager presents them.
union FLT_PARAMETERS {
    struct {
        PIO_SECURITY_CONTEXT SecurityContext;
        ULONG Options;  // low 24 bits: create options; high 8 bits: disposition
        USHORT POINTER_ALIGNMENT FileAttributes;
        USHORT ShareAccess;
        ULONG POINTER_ALIGNMENT EaLength;
        PVOID EaBuffer;
        LARGE_INTEGER AllocationSize;
    } Create;
    struct {
        ULONG Length;
        ULONG POINTER_ALIGNMENT Key;
        LARGE_INTEGER ByteOffset;
        PVOID ReadBuffer;
        PMDL MdlAddress;
    } Read;
    struct {
        ULONG Length;
        ULONG POINTER_ALIGNMENT Key;
        LARGE_INTEGER ByteOffset;
        PVOID WriteBuffer;
        PMDL MdlAddress;
    } Write;
    struct {
        ULONG Length;
        FILE_INFORMATION_CLASS POINTER_ALIGNMENT FileInformationClass;
        PVOID InfoBuffer;
    } QueryFileInformation;
    struct {
        ULONG Length;
        FILE_INFORMATION_CLASS POINTER_ALIGNMENT FileInformationClass;
        PFILE_OBJECT ParentOfTarget;
        union {
            struct {
                BOOLEAN ReplaceIfExists;
                BOOLEAN AdvanceOnly;
            };
            ULONG ClusterCount;
            HANDLE DeleteHandle;
        };
        PVOID InfoBuffer;
    } SetFileInformation;
    union {
        struct {
            PVOID Vpb;
            PDEVICE_OBJECT DeviceObject;
        } VerifyVolume;
        struct {
            ULONG OutputBufferLength;
            ULONG POINTER_ALIGNMENT InputBufferLength;
            ULONG POINTER_ALIGNMENT FsControlCode;
        } Common;
        struct {
            ULONG OutputBufferLength;
            ULONG POINTER_ALIGNMENT InputBufferLength;
            ULONG POINTER_ALIGNMENT FsControlCode;
            PVOID InputBuffer;
            PVOID OutputBuffer;
            PMDL OutputMdlAddress;
        } Neither;
        struct {
            ULONG OutputBufferLength;
            ULONG POINTER_ALIGNMENT InputBufferLength;
            ULONG POINTER_ALIGNMENT FsControlCode;
            PVOID SystemBuffer;  // input on the way down, output on the way up
        } Buffered;
        struct {
            ULONG OutputBufferLength;
            ULONG POINTER_ALIGNMENT InputBufferLength;
            ULONG POINTER_ALIGNMENT FsControlCode;
            PVOID InputSystemBuffer;
            PVOID OutputBuffer;
            PMDL OutputMdlAddress;
        } Direct;
    } FileSystemControl;
    struct {
        PLARGE_INTEGER EndingOffset;
        PERESOURCE* ResourceToRelease;
    } AcquireForModifiedPageWriter;
    struct {
        PERESOURCE ResourceToRelease;
    } ReleaseForModifiedPageWriter;
    struct {
        LARGE_INTEGER FileOffset;
        ULONG POINTER_ALIGNMENT Length;
        ULONG POINTER_ALIGNMENT Key;
        PMDL* MdlChain;
    } MdlRead;
    struct {
        PMDL MdlChain;
    } MdlReadComplete;
    struct {
        LARGE_INTEGER FileOffset;
        ULONG POINTER_ALIGNMENT Length;
        ULONG POINTER_ALIGNMENT Key;
        PMDL* MdlChain;
    } PrepareMdlWrite;
    struct {
        LARGE_INTEGER FileOffset;
        PMDL MdlChain;
    } MdlWriteComplete;
    struct {
        PVOID Argument1;
        PVOID Argument2;
        PVOID Argument3;
        PVOID Argument4;
        PVOID Argument5;
        LARGE_INTEGER Argument6;
    } Others;
};
typedef FLT_PARAMETERS* PFLT_PARAMETERS;
static_assert(sizeof(FLT_PARAMETERS) == 48, "x64 layout");
static_assert(offsetof(FLT_PARAMETERS, Create.Options) == 8, "x64 layout");
static_assert(offsetof(FLT_PARAMETERS, Create.FileAttributes) == 16, "x64 layout");
static_assert(offsetof(FLT_PARAMETERS, Create.ShareAccess) == 18, "x64 layout");
static_assert(offsetof(FLT_PARAMETERS, Create.EaLength) == 24, "x64 layout");
static_assert(offsetof(FLT_PARAMETERS, Create.AllocationSize) == 40, "x64 layout");
static_assert(offsetof(FLT_PARAMETERS, Read.Key) == 8, "x64 layout");
static_assert(offsetof(FLT_PARAMETERS, Read.ByteOffset) == 16, "x64 layout");
static_assert(offsetof(FLT_PARAMETERS, Read.ReadBuffer) == 24, "x64 layout");
static_assert(offsetof(FLT_PARAMETERS, Read.MdlAddress) == 32, "x64 layout");
static_assert(offsetof(FLT_PARAMETERS, Write.WriteBuffer) == 24, "x64 layout");
static_assert(offsetof(FLT_PARAMETERS, QueryFileInformation.FileInformationClass) == 8,
              "x64 layout");
static_assert(offsetof(FLT_PARAMETERS, QueryFileInformation.InfoBuffer) == 16, "x64 layout");
static_assert(offsetof(FLT_PARAMETERS, FileSystemControl.Buffered.InputBufferLength) == 8,
              "x64 layout");
static_assert(offsetof(FLT_PARAMETERS, FileSystemControl.Buffered.FsControlCode) == 16,
              "x64 layout");
static_assert(offsetof(FLT_PARAMETERS, FileSystemControl.Buffered.SystemBuffer) == 24,
              "x64 layout");
static_assert(offsetof(FLT_PARAMETERS, PrepareMdlWrite.Length) == 8, "x64 layout");

struct FLT_IO_PARAMETER_BLOCK {
    ULONG IrpFlags;
    UCHAR MajorFunction;
    UCHAR MinorFunction;
    UCHAR OperationFlags;
    UCHAR Reserved;
    PFILE_OBJECT TargetFileObject;
    PFLT_INSTANCE TargetInstance;
    FLT_PARAMETERS Parameters;
};
typedef FLT_IO_PARAMETER_BLOCK* PFLT_IO_PARAMETER_BLOCK;
static_assert(offsetof(FLT_IO_PARAMETER_BLOCK, MajorFunction) == 4, "x64 layout");
static_assert(offsetof(FLT_IO_PARAMETER_BLOCK, TargetFileObject) == 8, "x64 layout");
static_assert(offsetof(FLT_IO_PARAMETER_BLOCK, Parameters) == 24, "x64 layout");

typedef ULONG FLT_CALLBACK_DATA_FLAGS;
#define FLTFL_CALLBACK_DATA_REISSUE_MASK 0x0000FFFF
#define FLTFL_CALLBACK_DATA_IRP_OPERATION 0x00000001
#define FLTFL_CALLBACK_DATA_FAST_IO_OPERATION 0x00000002
#define FLTFL_CALLBACK_DATA_FS_FILTER_OPERATION 0x00000004
#define FLTFL_CALLBACK_DATA_SYSTEM_BUFFER 0x00000008
#define FLTFL_CALLBACK_DATA_GENERATED_IO 0x00010000
#define FLTFL_CALLBACK_DATA_REISSUED_IO 0x00020000
#define FLTFL_CALLBACK_DATA_DRAINING_IO 0x00040000
#define FLTFL_CALLBACK_DATA_POST_OPERATION 0x00080000
#define FLTFL_CALLBACK_DATA_NEW_SYSTEM_BUFFER 0x00100000
#define FLTFL_CALLBACK_DATA_DIRTY 0x80000000

struct FLT_CALLBACK_DATA {
    FLT_CALLBACK_DATA_FLAGS Flags;
    PETHREAD const Thread;
    PFLT_IO_PARAMETER_BLOCK const Iopb;
    IO_STATUS_BLOCK IoStatus;
    struct _FLT_TAG_DATA_BUFFER* TagData;
    union {
        struct {
            LIST_ENTRY QueueLinks;
            PVOID QueueContext[2];
        };
        PVOID FilterContext[4];
    };
    KPROCESSOR_MODE RequestorMode;
};
typedef FLT_CALLBACK_DATA* PFLT_CALLBACK_DATA;
static_assert(sizeof(FLT_CALLBACK_DATA) == 88, "x64 layout");
static_assert(offsetof(FLT_CALLBACK_DATA, Iopb) == 16, "x64 layout");
static_assert(offsetof(FLT_CALLBACK_DATA, IoStatus) == 24, "x64 layout");
static_assert(offsetof(FLT_CALLBACK_DATA, RequestorMode) == 80, "x64 layout");

#define FLT_IS_IRP_OPERATION(Data) (FlagOn((Data)->Flags, FLTFL_CALLBACK_DATA_IRP_OPERATION))
#define FLT_IS_FASTIO_OPERATION(Data) \
    (FlagOn((Data)->Flags, FLTFL_CALLBACK_DATA_FAST_IO_OPERATION))
#define FLT_IS_FS_FILTER_OPERATION(Data) \
    (FlagOn((Data)->Flags, FLTFL_CALLBACK_DATA_FS_FILTER_OPERATION))

// Operation callbacks.
enum FLT_PREOP_CALLBACK_STATUS {
    FLT_PREOP_SUCCESS_WITH_CALLBACK = 0,
    FLT_PREOP_SUCCESS_NO_CALLBACK = 1,
    FLT_PREOP_PENDING = 2,
    FLT_PREOP_DISALLOW_FASTIO = 3,
    FLT_PREOP_COMPLETE = 4,
    FLT_PREOP_SYNCHRONIZE = 5,
    FLT_PREOP_DISALLOW_FSFILTER_IO = 6
};
enum FLT_POSTOP_CALLBACK_STATUS {
    FLT_POSTOP_FINISHED_PROCESSING = 0,
    FLT_POSTOP_MORE_PROCESSING_REQUIRED = 1,
    FLT_POSTOP_DISALLOW_FSFILTER_IO = 2
};
typedef FLT_PREOP_CALLBACK_STATUS* PFLT_PREOP_CALLBACK_STATUS;
typedef FLT_POSTOP_CALLBACK_STATUS* PFLT_POSTOP_CALLBACK_STATUS;

typedef ULONG FLT_POST_OPERATION_FLAGS;
#define FLTFL_POST_OPERATION_DRAINING 0x00000001

typedef FLT_PREOP_CALLBACK_STATUS(FLTAPI* PFLT_PRE_OPERATION_CALLBACK)(
    PFLT_CALLBACK_DATA Data, PCFLT_RELATED_OBJECTS FltObjects, PVOID* CompletionContext);
typedef FLT_POSTOP_CALLBACK_STATUS(FLTAPI* PFLT_POST_OPERATION_CALLBACK)(
    PFLT_CALLBACK_DATA Data, PCFLT_RELATED_OBJECTS FltObjects, PVOID CompletionContext,
    FLT_POST_OPERATION_FLAGS Flags);

typedef ULONG FLT_OPERATION_REGISTRATION_FLAGS;
#define FLTFL_OPERATION_REGISTRATION_SKIP_PAGING_IO 0x00000001
#define FLTFL_OPERATION_REGISTRATION_SKIP_CACHED_IO 0x00000002
#define FLTFL_OPERATION_REGISTRATION_SKIP_NON_DASD_IO 0x00000004
#define FLTFL_OPERATION_REGISTRATION_SKIP_NON_CACHED_NON_PAGING_IO 0x00000008

struct FLT_OPERATION_REGISTRATION {
    UCHAR MajorFunction;
    FLT_OPERATION_REGISTRATION_FLAGS Flags;
    PFLT_PRE_OPERATION_CALLBACK PreOperation;
    PFLT_POST_OPERATION_CALLBACK PostOperation;
    PVOID Reserved1;
};
typedef FLT_OPERATION_REGISTRATION* PFLT_OPERATION_REGISTRATION;
static_assert(sizeof(FLT_OPERATION_REGISTRATION) == 32, "x64 layout");

// Contexts.
typedef PVOID PFLT_CONTEXT;
#define NULL_CONTEXT ((PFLT_CONTEXT)NULL)
typedef USHORT FLT_CONTEXT_TYPE;
#define FLT_VOLUME_CONTEXT 0x0001
#define FLT_INSTANCE_CONTEXT 0x0002
#define FLT_FILE_CONTEXT 0x0004
#define FLT_STREAM_CONTEXT 0x0008
#define FLT_STREAMHANDLE_CONTEXT 0x0010
#define FLT_TRANSACTION_CONTEXT 0x0020
#define FLT_SECTION_CONTEXT 0x0040
#define FLT_CONTEXT_END 0xffff
#define FLT_VARIABLE_SIZED_CONTEXTS ((SIZE_T)-1)

typedef VOID(FLTAPI* PFLT_CONTEXT_CLEANUP_CALLBACK)(PFLT_CONTEXT Context,
                                                    FLT_CONTEXT_TYPE ContextType);
typedef PVOID(FLTAPI* PFLT_CONTEXT_ALLOCATE_CALLBACK)(POOL_TYPE PoolType, SIZE_T Size,
                                                     FLT_CONTEXT_TYPE ContextType);
typedef VOID(FLTAPI* PFLT_CONTEXT_FREE_CALLBACK)(PVOID Pool, FLT_CONTEXT_TYPE ContextType);
typedef USHORT FLT_CONTEXT_REGISTRATION_FLAGS;
#define FLTFL_CONTEXT_REGISTRATION_NO_EXACT_SIZE_MATCH 0x0001

struct FLT_CONTEXT_REGISTRATION {
    FLT_CONTEXT_TYPE ContextType;
    FLT_CONTEXT_REGISTRATION_FLAGS Flags;
    PFLT_CONTEXT_CLEANUP_CALLBACK ContextCleanupCallback;
    SIZE_T Size;
    ULONG PoolTag;
    PFLT_CONTEXT_ALLOCATE_CALLBACK ContextAllocateCallback;
    PFLT_CONTEXT_FREE_CALLBACK ContextFreeCallback;
    PVOID Reserved1;
};
typedef FLT_CONTEXT_REGISTRATION* PFLT_CONTEXT_REGISTRATION;
static_assert(sizeof(FLT_CONTEXT_REGISTRATION) == 56, "x64 layout");

enum FLT_SET_CONTEXT_OPERATION {
    FLT_SET_CONTEXT_REPLACE_IF_EXISTS,
    FLT_SET_CONTEXT_KEEP_IF_EXISTS
};

// Instances, volumes and the filter's own lifetime.
enum FLT_FILESYSTEM_TYPE {
    FLT_FSTYPE_UNKNOWN,
    FLT_FSTYPE_RAW,
    FLT_FSTYPE_NTFS,
    FLT_FSTYPE_FAT,
    FLT_FSTYPE_CDFS,
    FLT_FSTYPE_UDFS,
    FLT_FSTYPE_LANMAN,
    FLT_FSTYPE_WEBDAV,
    FLT_FSTYPE_RDPDR,
    FLT_FSTYPE_NFS,
    FLT_FSTYPE_MS_NETWARE,
    FLT_FSTYPE_NETWARE,
    FLT_FSTYPE_BSUDF,
    FLT_FSTYPE_MUP,
    FLT_FSTYPE_RSFX,
    FLT_FSTYPE_ROXIO_UDF1,
    FLT_FSTYPE_ROXIO_UDF2,
    FLT_FSTYPE_ROXIO_UDF3,
    FLT_FSTYPE_TACIT,
    FLT_FSTYPE_FS_REC,
    FLT_FSTYPE_INCD,
    FLT_FSTYPE_INCD_FAT,
    FLT_FSTYPE_EXFAT,
    FLT_FSTYPE_PSFS,
    FLT_FSTYPE_GPFS,
    FLT_FSTYPE_NPFS,
    FLT_FSTYPE_MSFS,
    FLT_FSTYPE_CSVFS,
    FLT_FSTYPE_REFS,
    FLT_FSTYPE_OPENAFS
};
typedef FLT_FILESYSTEM_TYPE* PFLT_FILESYSTEM_TYPE;

typedef ULONG FLT_INSTANCE_SETUP_FLAGS;
#define FLTFL_INSTANCE_SETUP_AUTOMATIC_ATTACHMENT 0x00000001
#define FLTFL_INSTANCE_SETUP_MANUAL_ATTACHMENT 0x00000002
#define FLTFL_INSTANCE_SETUP_NEWLY_MOUNTED_VOLUME 0x00000004
#define FLTFL_INSTANCE_SETUP_DETACHED_VOLUME 0x00000008
typedef ULONG FLT_INSTANCE_QUERY_TEARDOWN_FLAGS;
typedef ULONG FLT_INSTANCE_TEARDOWN_FLAGS;
#define FLTFL_INSTANCE_TEARDOWN_MANUAL 0x00000001
#define FLTFL_INSTANCE_TEARDOWN_FILTER_UNLOAD 0x00000002
#define FLTFL_INSTANCE_TEARDOWN_MANDATORY_FILTER_UNLOAD 0x00000004
#define FLTFL_INSTANCE_TEARDOWN_VOLUME_DISMOUNT 0x00000008
#define FLTFL_INSTANCE_TEARDOWN_INTERNAL_ERROR 0x00000010
typedef ULONG FLT_FILTER_UNLOAD_FLAGS;
#define FLTFL_FILTER_UNLOAD_MANDATORY 0x00000001

typedef NTSTATUS(FLTAPI* PFLT_FILTER_UNLOAD_CALLBACK)(FLT_FILTER_UNLOAD_FLAGS Flags);
typedef NTSTATUS(FLTAPI* PFLT_INSTANCE_SETUP_CALLBACK)(PCFLT_RELATED_OBJECTS FltObjects,
                                                       FLT_INSTANCE_SETUP_FLAGS Flags,
                                                       DEVICE_TYPE VolumeDeviceType,
                                                       FLT_FILESYSTEM_TYPE VolumeFilesystemType);
typedef NTSTATUS(FLTAPI* PFLT_INSTANCE_QUERY_TEARDOWN_CALLBACK)(
    PCFLT_RELATED_OBJECTS FltObjects, FLT_INSTANCE_QUERY_TEARDOWN_FLAGS Flags);
typedef VOID(FLTAPI* PFLT_INSTANCE_TEARDOWN_CALLBACK)(PCFLT_RELATED_OBJECTS FltObjects,
                                                      FLT_INSTANCE_TEARDOWN_FLAGS Reason);
// Name-provider, transaction and section callbacks: the driver registers none.
typedef NTSTATUS(FLTAPI* PFLT_GENERATE_FILE_NAME)(PFLT_INSTANCE, PFILE_OBJECT,
                                                  PFLT_CALLBACK_DATA, FLT_FILE_NAME_OPTIONS,
                                                  PBOOLEAN, PVOID);
typedef NTSTATUS(FLTAPI* PFLT_NORMALIZE_NAME_COMPONENT)(PFLT_INSTANCE, PCUNICODE_STRING, USHORT,
                                                        PCUNICODE_STRING, PVOID, ULONG, ULONG,
                                                        PVOID*);
typedef VOID(FLTAPI* PFLT_NORMALIZE_CONTEXT_CLEANUP)(PVOID*);
typedef NTSTATUS(FLTAPI* PFLT_TRANSACTION_NOTIFICATION_CALLBACK)(PCFLT_RELATED_OBJECTS,
                                                                 PFLT_CONTEXT, ULONG);
typedef NTSTATUS(FLTAPI* PFLT_NORMALIZE_NAME_COMPONENT_EX)(PFLT_INSTANCE, PFILE_OBJECT,
                                                           PCUNICODE_STRING, USHORT,
                                                           PCUNICODE_STRING, PVOID, ULONG,
                                                           ULONG, PVOID*);
typedef NTSTATUS(FLTAPI* PFLT_SECTION_CONFLICT_NOTIFICATION_CALLBACK)(PFLT_INSTANCE,
                                                                      PFLT_CONTEXT,
                                                                      PFLT_CALLBACK_DATA);

#define FLT_REGISTRATION_VERSION_0200 0x0200
#define FLT_REGISTRATION_VERSION_0201 0x0201
#define FLT_REGISTRATION_VERSION_0202 0x0202
#define FLT_REGISTRATION_VERSION_0203 0x0203
#define FLT_REGISTRATION_VERSION FLT_REGISTRATION_VERSION_0203
typedef ULONG FLT_REGISTRATION_FLAGS;
#define FLTFL_REGISTRATION_DO_NOT_SUPPORT_SERVICE_STOP 0x00000001
#define FLTFL_REGISTRATION_SUPPORT_NPFS_MSFS 0x00000002

struct FLT_REGISTRATION {
    USHORT Size;
    USHORT Version;
    FLT_REGISTRATION_FLAGS Flags;
    const FLT_CONTEXT_REGISTRATION* ContextRegistration;
    const FLT_OPERATION_REGISTRATION* OperationRegistration;
    PFLT_FILTER_UNLOAD_CALLBACK FilterUnloadCallback;
    PFLT_INSTANCE_SETUP_CALLBACK InstanceSetupCallback;
    PFLT_INSTANCE_QUERY_TEARDOWN_CALLBACK InstanceQueryTeardownCallback;
    PFLT_INSTANCE_TEARDOWN_CALLBACK InstanceTeardownStartCallback;
    PFLT_INSTANCE_TEARDOWN_CALLBACK InstanceTeardownCompleteCallback;
    PFLT_GENERATE_FILE_NAME GenerateFileNameCallback;
    PFLT_NORMALIZE_NAME_COMPONENT NormalizeNameComponentCallback;
    PFLT_NORMALIZE_CONTEXT_CLEANUP NormalizeContextCleanupCallback;
    PFLT_TRANSACTION_NOTIFICATION_CALLBACK TransactionNotificationCallback;
    PFLT_NORMALIZE_NAME_COMPONENT_EX NormalizeNameComponentExCallback;
    PFLT_SECTION_CONFLICT_NOTIFICATION_CALLBACK SectionNotificationCallback;
};
typedef FLT_REGISTRATION* PFLT_REGISTRATION;
static_assert(sizeof(FLT_REGISTRATION) == 112, "x64 layout");
static_assert(offsetof(FLT_REGISTRATION, ContextRegistration) == 8, "x64 layout");
static_assert(offsetof(FLT_REGISTRATION, InstanceTeardownCompleteCallback) == 56, "x64 layout");

// File names.
#define FLT_FILE_NAME_NORMALIZED 0x01
#define FLT_FILE_NAME_OPENED 0x02
#define FLT_FILE_NAME_SHORT 0x03
#define FLT_FILE_NAME_QUERY_DEFAULT 0x0100
#define FLT_FILE_NAME_QUERY_CACHE_ONLY 0x0200
#define FLT_FILE_NAME_QUERY_FILESYSTEM_ONLY 0x0300
#define FLT_FILE_NAME_QUERY_ALWAYS_ALLOW_CACHE_LOOKUP 0x0400
#define FLT_FILE_NAME_REQUEST_FROM_CURRENT_PROVIDER 0x01000000
#define FLT_FILE_NAME_DO_NOT_CACHE 0x02000000
#define FLTFL_FILE_NAME_PARSED_FINAL_COMPONENT 0x0001
#define FLTFL_FILE_NAME_PARSED_EXTENSION 0x0002
#define FLTFL_FILE_NAME_PARSED_STREAM 0x0004
#define FLTFL_FILE_NAME_PARSED_PARENT_DIR 0x0008

// Dispatcher objects.
enum EVENT_TYPE { NotificationEvent, SynchronizationEvent };
enum KWAIT_REASON { Executive = 0, UserRequest = 6 };
typedef KEVENT* PRKEVENT;
typedef KMUTEX* PRKMUTEX;
#define IO_NO_INCREMENT 0

extern "C" {

// Registration and filtering.
NTSTATUS FLTAPI FltRegisterFilter(PDRIVER_OBJECT Driver, const FLT_REGISTRATION* Registration,
                                  PFLT_FILTER* RetFilter);
NTSTATUS FLTAPI FltStartFiltering(PFLT_FILTER Filter);
VOID FLTAPI FltUnregisterFilter(PFLT_FILTER Filter);

// Contexts: one reference per successful allocate or get, dropped by release.
NTSTATUS FLTAPI FltAllocateContext(PFLT_FILTER Filter, FLT_CONTEXT_TYPE ContextType,
                                   SIZE_T ContextSize, POOL_TYPE PoolType,
                                   PFLT_CONTEXT* ReturnedContext);
NTSTATUS FLTAPI FltSetStreamContext(PFLT_INSTANCE Instance, PFILE_OBJECT FileObject,
                                    FLT_SET_CONTEXT_OPERATION Operation,
                                    PFLT_CONTEXT NewContext, PFLT_CONTEXT* OldContext);
NTSTATUS FLTAPI FltGetStreamContext(PFLT_INSTANCE Instance, PFILE_OBJECT FileObject,
                                    PFLT_CONTEXT* Context);
NTSTATUS FLTAPI FltDeleteStreamContext(PFLT_INSTANCE Instance, PFILE_OBJECT FileObject,
                                       PFLT_CONTEXT* OldContext);
VOID FLTAPI FltReferenceContext(PFLT_CONTEXT Context);
VOID FLTAPI FltReleaseContext(PFLT_CONTEXT Context);
VOID FLTAPI FltDeleteContext(PFLT_CONTEXT Context);

// Names.
NTSTATUS FLTAPI FltGetFileNameInformation(PFLT_CALLBACK_DATA CallbackData,
                                          FLT_FILE_NAME_OPTIONS NameOptions,
                                          PFLT_FILE_NAME_INFORMATION* FileNameInformation);
NTSTATUS FLTAPI FltParseFileNameInformation(PFLT_FILE_NAME_INFORMATION FileNameInformation);
VOID FLTAPI FltReferenceFileNameInformation(PFLT_FILE_NAME_INFORMATION FileNameInformation);
VOID FLTAPI FltReleaseFileNameInformation(PFLT_FILE_NAME_INFORMATION FileNameInformation);
NTSTATUS FLTAPI FltGetVolumeGuidName(PFLT_VOLUME Volume, PUNICODE_STRING VolumeGuidName,
                                     PULONG BufferSizeNeeded);

// Extra create parameters.
NTSTATUS FLTAPI FltGetEcpListFromCallbackData(PFLT_FILTER Filter,
                                              PFLT_CALLBACK_DATA CallbackData,
                                              PECP_LIST* EcpList);
NTSTATUS FLTAPI FltFindExtraCreateParameter(PFLT_FILTER Filter, PECP_LIST EcpList,
                                            LPCGUID EcpType, PVOID* EcpContext,
                                            ULONG* EcpContextSize);

// Operations issued by the filter below itself.
NTSTATUS FLTAPI FltQueryInformationFile(PFLT_INSTANCE Instance, PFILE_OBJECT FileObject,
                                        PVOID FileInformation, ULONG Length,
                                        FILE_INFORMATION_CLASS FileInformationClass,
                                        PULONG LengthReturned);
VOID FLTAPI FltCancelFileOpen(PFLT_INSTANCE Instance, PFILE_OBJECT FileObject);
NTSTATUS FLTAPI FltCancellableWaitForSingleObject(PVOID Object, PLARGE_INTEGER Timeout,
                                                  PFLT_CALLBACK_DATA CallbackData);

// Callback data.
VOID FLTAPI FltSetCallbackDataDirty(PFLT_CALLBACK_DATA Data);
VOID FLTAPI FltClearCallbackDataDirty(PFLT_CALLBACK_DATA Data);
BOOLEAN FLTAPI FltIsCallbackDataDirty(PFLT_CALLBACK_DATA Data);

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
inline LONG InterlockedCompareExchange(LONG volatile* Destination, LONG Exchange,
                                       LONG Comparand) {
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

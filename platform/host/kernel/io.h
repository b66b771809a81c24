// The I/O manager: file and driver objects, requests' functions and flags,
// access rights and create options, and the file information records, with
// the WDK's names, field order and x64 widths; where a record crosses
// between the driver and the platform its offsets are pinned.
#pragma once

#include "platform/host/kernel/base.h"

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

struct IO_STATUS_BLOCK {
    union {
        NTSTATUS Status;
        PVOID Pointer;
    };
    ULONG_PTR Information;
};
typedef IO_STATUS_BLOCK* PIO_STATUS_BLOCK;
static_assert(sizeof(IO_STATUS_BLOCK) == 16, "x64 layout");

// Access rights.
#define DELETE 0x00010000L
#define SYNCHRONIZE 0x00100000L
#define GENERIC_READ 0x80000000L
#define GENERIC_WRITE 0x40000000L
#define FILE_READ_DATA 0x0001
#define FILE_WRITE_DATA 0x0002
#define FILE_APPEND_DATA 0x0004
#define FILE_READ_ATTRIBUTES 0x0080
#define FILE_WRITE_ATTRIBUTES 0x0100
#define READ_CONTROL 0x00020000L
#define FILE_READ_EA 0x0008
#define FILE_WRITE_EA 0x0010
#define FILE_EXECUTE 0x0020
#define GENERIC_EXECUTE 0x20000000L
#define GENERIC_ALL 0x10000000L
#define MAXIMUM_ALLOWED 0x02000000L

// File attributes.
#define FILE_ATTRIBUTE_READONLY 0x00000001
#define FILE_ATTRIBUTE_HIDDEN 0x00000002
#define FILE_ATTRIBUTE_SYSTEM 0x00000004
#define FILE_ATTRIBUTE_DIRECTORY 0x00000010
#define FILE_ATTRIBUTE_ARCHIVE 0x00000020
#define FILE_ATTRIBUTE_NORMAL 0x00000080

// Sharing.
#define FILE_SHARE_READ 0x00000001
#define FILE_SHARE_WRITE 0x00000002
#define FILE_SHARE_DELETE 0x00000004

// Create dispositions.
#define FILE_SUPERSEDE 0x00000000
#define FILE_OPEN 0x00000001
#define FILE_CREATE 0x00000002
#define FILE_OPEN_IF 0x00000003
#define FILE_OVERWRITE 0x00000004
#define FILE_OVERWRITE_IF 0x00000005
#define FILE_MAXIMUM_DISPOSITION 0x00000005

// Create options.
#define FILE_DIRECTORY_FILE 0x00000001
#define FILE_SYNCHRONOUS_IO_ALERT 0x00000010
#define FILE_SYNCHRONOUS_IO_NONALERT 0x00000020
#define FILE_NON_DIRECTORY_FILE 0x00000040
#define FILE_RANDOM_ACCESS 0x00000800
#define FILE_WRITE_THROUGH 0x00000002
#define FILE_SEQUENTIAL_ONLY 0x00000004
#define FILE_NO_INTERMEDIATE_BUFFERING 0x00000008
#define FILE_DELETE_ON_CLOSE 0x00001000
#define FILE_OPEN_REPARSE_POINT 0x00200000

// Create results.
#define FILE_SUPERSEDED 0x00000000
#define FILE_OPENED 0x00000001
#define FILE_CREATED 0x00000002
#define FILE_OVERWRITTEN 0x00000003
#define FILE_EXISTS 0x00000004
#define FILE_DOES_NOT_EXIST 0x00000005

#define IO_STOP_ON_SYMLINK 0x00000008

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

struct IO_SECURITY_CONTEXT {
    PVOID SecurityQos;  // PSECURITY_QUALITY_OF_SERVICE
    PVOID AccessState;  // PACCESS_STATE
    ACCESS_MASK DesiredAccess;
    ULONG FullCreateOptions;
};
typedef IO_SECURITY_CONTEXT* PIO_SECURITY_CONTEXT;
static_assert(sizeof(IO_SECURITY_CONTEXT) == 24, "x64 layout");
static_assert(offsetof(IO_SECURITY_CONTEXT, DesiredAccess) == 16, "x64 layout");

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

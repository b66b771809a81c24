// The Filter Manager (FLTMGR.SYS): its records, constants, callback types
// and routines (declared from the driver's import list, imports.inc), with
// the names, field order and x64 layouts of Microsoft's reference. One
// declaration serves both builds that have no <fltKernel.h>: the host
// platform, whose kernel.h declares the kernel types first and implements
// these routines, and the mingw-w64 cross build, whose kernel.h includes
// this after <ntifs.h>. Each of those headers defines FLTAPI (and
// PKTRANSACTION where its kernel lacks it) before including this one.
#pragma once

#include <stddef.h>

// Opaque objects.
typedef struct _FLT_FILTER* PFLT_FILTER;
typedef struct _FLT_INSTANCE* PFLT_INSTANCE;
typedef struct _FLT_VOLUME* PFLT_VOLUME;
typedef PVOID PFLT_CONTEXT;
#define NULL_CONTEXT ((PFLT_CONTEXT)NULL)

// Major functions beyond the IRP ones: the Filter Manager's names for fast
// I/O and file-system filter callbacks.
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
static_assert(sizeof(FLT_IO_PARAMETER_BLOCK) == 72, "x64 layout");

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
#define FLT_IS_FASTIO_OPERATION(Data) (FlagOn((Data)->Flags, FLTFL_CALLBACK_DATA_FAST_IO_OPERATION))
#define FLT_IS_FS_FILTER_OPERATION(Data) \
    (FlagOn((Data)->Flags, FLTFL_CALLBACK_DATA_FS_FILTER_OPERATION))

struct FLT_RELATED_OBJECTS {
    USHORT Size;
    USHORT TransactionContext;
    PFLT_FILTER Filter;
    PFLT_VOLUME Volume;
    PFLT_INSTANCE Instance;
    PFILE_OBJECT FileObject;
    PKTRANSACTION Transaction;
};
typedef FLT_RELATED_OBJECTS* PFLT_RELATED_OBJECTS;
typedef const FLT_RELATED_OBJECTS* PCFLT_RELATED_OBJECTS;
static_assert(sizeof(FLT_RELATED_OBJECTS) == 48, "x64 layout");
static_assert(offsetof(FLT_RELATED_OBJECTS, Instance) == 24, "x64 layout");

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

// File names.
typedef ULONG FLT_FILE_NAME_OPTIONS;
#define FLT_FILE_NAME_NORMALIZED 0x01
#define FLT_FILE_NAME_OPENED 0x02
#define FLT_FILE_NAME_SHORT 0x03
#define FLT_FILE_NAME_QUERY_DEFAULT 0x0100
#define FLT_FILE_NAME_QUERY_CACHE_ONLY 0x0200
#define FLT_FILE_NAME_QUERY_FILESYSTEM_ONLY 0x0300
#define FLT_FILE_NAME_QUERY_ALWAYS_ALLOW_CACHE_LOOKUP 0x0400
#define FLT_FILE_NAME_REQUEST_FROM_CURRENT_PROVIDER 0x01000000
#define FLT_FILE_NAME_DO_NOT_CACHE 0x02000000
typedef USHORT FLT_FILE_NAME_PARSED_FLAGS;
#define FLTFL_FILE_NAME_PARSED_FINAL_COMPONENT 0x0001
#define FLTFL_FILE_NAME_PARSED_EXTENSION 0x0002
#define FLTFL_FILE_NAME_PARSED_STREAM 0x0004
#define FLTFL_FILE_NAME_PARSED_PARENT_DIR 0x0008

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
static_assert(offsetof(FLT_FILE_NAME_INFORMATION, ParentDir) == 104, "x64 layout");

// Name-provider, transaction and section callbacks: the driver registers none.
typedef NTSTATUS(FLTAPI* PFLT_GENERATE_FILE_NAME)(PFLT_INSTANCE, PFILE_OBJECT, PFLT_CALLBACK_DATA,
                                                  FLT_FILE_NAME_OPTIONS, PBOOLEAN, PVOID);
typedef NTSTATUS(FLTAPI* PFLT_NORMALIZE_NAME_COMPONENT)(PFLT_INSTANCE, PCUNICODE_STRING, USHORT,
                                                        PCUNICODE_STRING, PVOID, ULONG, ULONG,
                                                        PVOID*);
typedef VOID(FLTAPI* PFLT_NORMALIZE_CONTEXT_CLEANUP)(PVOID*);
typedef NTSTATUS(FLTAPI* PFLT_TRANSACTION_NOTIFICATION_CALLBACK)(PCFLT_RELATED_OBJECTS,
                                                                 PFLT_CONTEXT, ULONG);
typedef NTSTATUS(FLTAPI* PFLT_NORMALIZE_NAME_COMPONENT_EX)(PFLT_INSTANCE, PFILE_OBJECT,
                                                           PCUNICODE_STRING, USHORT,
                                                           PCUNICODE_STRING, PVOID, ULONG, ULONG,
                                                           PVOID*);
typedef NTSTATUS(FLTAPI* PFLT_SECTION_CONFLICT_NOTIFICATION_CALLBACK)(PFLT_INSTANCE, PFLT_CONTEXT,
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

// I/O the filter issues below itself.
#define FLTFL_IO_OPERATION_NON_CACHED 0x00000001
#define FLTFL_IO_OPERATION_PAGING 0x00000002
#define FLTFL_IO_OPERATION_DO_NOT_UPDATE_BYTE_OFFSET 0x00000004
#define FLTFL_IO_OPERATION_SYNCHRONOUS_PAGING 0x00000008

typedef VOID(FLTAPI* PFLT_COMPLETED_ASYNC_IO_CALLBACK)(PFLT_CALLBACK_DATA CallbackData,
                                                       PFLT_CONTEXT Context);

// The routines, declared from the driver's import list.
#define PONTOR_DECLARE_NTOSKRNL(declaration)
#define PONTOR_DECLARE_FLTMGR(declaration) declaration
#include "declare_imports.h"

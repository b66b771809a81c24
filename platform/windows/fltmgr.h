// The Filter Manager (FLTMGR.SYS) as far as Pontor uses it, for builds
// against mingw-w64's DDK headers, which have no Filter Manager header.
// Written from Microsoft's published reference of each type and routine:
// same names, field order and types, so the driver reads as it does against
// the Windows Driver Kit. x64 only. Included by kernel.h after <ntifs.h>.
#pragma once

#ifndef FLTAPI
#define FLTAPI NTAPI
#endif

// Opaque objects.
typedef struct _FLT_FILTER* PFLT_FILTER;
typedef struct _FLT_INSTANCE* PFLT_INSTANCE;
typedef struct _FLT_VOLUME* PFLT_VOLUME;
typedef PVOID PFLT_CONTEXT;
typedef struct _KTRANSACTION* PKTRANSACTION;  // not in mingw's headers

// ---- Operations ----
// Major functions beyond the IRP ones: fast I/O and file-system
// notifications the Filter Manager presents as operations.
#define IRP_MJ_ACQUIRE_FOR_MOD_WRITE ((UCHAR)-3)
#define IRP_MJ_ACQUIRE_FOR_CC_FLUSH ((UCHAR)-5)
#define IRP_MJ_PREPARE_MDL_WRITE ((UCHAR)-17)
#define IRP_MJ_OPERATION_END ((UCHAR)0x80)

// FLT_CALLBACK_DATA.Flags
typedef ULONG FLT_CALLBACK_DATA_FLAGS;
#define FLTFL_CALLBACK_DATA_FAST_IO_OPERATION 0x00000002
#define FLT_IS_FASTIO_OPERATION(Data) \
    (((Data)->Flags & FLTFL_CALLBACK_DATA_FAST_IO_OPERATION) != 0)

// The request-specific parameters of the operations Pontor looks into. The
// union keeps its full x64 size through the generic Others member.
union FLT_PARAMETERS {
    struct {
        PIO_SECURITY_CONTEXT SecurityContext;
        ULONG Options;
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
    union {
        struct {
            ULONG OutputBufferLength;
            ULONG POINTER_ALIGNMENT InputBufferLength;
            ULONG POINTER_ALIGNMENT FsControlCode;
        } Common;
        struct {
            ULONG OutputBufferLength;
            ULONG POINTER_ALIGNMENT InputBufferLength;
            ULONG POINTER_ALIGNMENT FsControlCode;
            PVOID SystemBuffer;
        } Buffered;
    } FileSystemControl;
    struct {
        PVOID Argument1;
        PVOID Argument2;
        PVOID Argument3;
        PVOID Argument4;
        PVOID Argument5;
        LARGE_INTEGER Argument6;
    } Others;
};

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

struct FLT_CALLBACK_DATA {
    FLT_CALLBACK_DATA_FLAGS Flags;
    PETHREAD Thread;
    PFLT_IO_PARAMETER_BLOCK Iopb;
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

struct FLT_RELATED_OBJECTS {
    USHORT Size;
    USHORT TransactionContext;
    PFLT_FILTER Filter;
    PFLT_VOLUME Volume;
    PFLT_INSTANCE Instance;
    PFILE_OBJECT FileObject;
    PKTRANSACTION Transaction;
};
typedef const FLT_RELATED_OBJECTS* PCFLT_RELATED_OBJECTS;

// ---- Callbacks ----
enum FLT_PREOP_CALLBACK_STATUS {
    FLT_PREOP_SUCCESS_WITH_CALLBACK = 0,
    FLT_PREOP_SUCCESS_NO_CALLBACK = 1,
    FLT_PREOP_DISALLOW_FASTIO = 3,
    FLT_PREOP_COMPLETE = 4,
};
enum FLT_POSTOP_CALLBACK_STATUS {
    FLT_POSTOP_FINISHED_PROCESSING = 0,
};
typedef ULONG FLT_POST_OPERATION_FLAGS;

typedef FLT_PREOP_CALLBACK_STATUS(FLTAPI* PFLT_PRE_OPERATION_CALLBACK)(
    PFLT_CALLBACK_DATA Data, PCFLT_RELATED_OBJECTS FltObjects, PVOID* CompletionContext);
typedef FLT_POSTOP_CALLBACK_STATUS(FLTAPI* PFLT_POST_OPERATION_CALLBACK)(
    PFLT_CALLBACK_DATA Data, PCFLT_RELATED_OBJECTS FltObjects, PVOID CompletionContext,
    FLT_POST_OPERATION_FLAGS Flags);

typedef ULONG FLT_FILTER_UNLOAD_FLAGS;
typedef NTSTATUS(FLTAPI* PFLT_FILTER_UNLOAD_CALLBACK)(FLT_FILTER_UNLOAD_FLAGS Flags);

// The instance setup is told the volume's file system; Pontor decides by the
// device type alone.
enum FLT_FILESYSTEM_TYPE {
    FLT_FSTYPE_UNKNOWN,
};

typedef ULONG FLT_INSTANCE_SETUP_FLAGS;
typedef NTSTATUS(FLTAPI* PFLT_INSTANCE_SETUP_CALLBACK)(PCFLT_RELATED_OBJECTS FltObjects,
                                                       FLT_INSTANCE_SETUP_FLAGS Flags,
                                                       DEVICE_TYPE VolumeDeviceType,
                                                       FLT_FILESYSTEM_TYPE VolumeFilesystemType);

typedef ULONG FLT_INSTANCE_QUERY_TEARDOWN_FLAGS;
typedef NTSTATUS(FLTAPI* PFLT_INSTANCE_QUERY_TEARDOWN_CALLBACK)(
    PCFLT_RELATED_OBJECTS FltObjects, FLT_INSTANCE_QUERY_TEARDOWN_FLAGS Flags);

typedef ULONG FLT_INSTANCE_TEARDOWN_FLAGS;
typedef VOID(FLTAPI* PFLT_INSTANCE_TEARDOWN_CALLBACK)(PCFLT_RELATED_OBJECTS FltObjects,
                                                      FLT_INSTANCE_TEARDOWN_FLAGS Reason);

// ---- Contexts ----
typedef USHORT FLT_CONTEXT_TYPE;
#define FLT_STREAM_CONTEXT 0x0008
#define FLT_CONTEXT_END 0xffff

typedef VOID(FLTAPI* PFLT_CONTEXT_CLEANUP_CALLBACK)(PFLT_CONTEXT Context,
                                                    FLT_CONTEXT_TYPE ContextType);
typedef PVOID(FLTAPI* PFLT_CONTEXT_ALLOCATE_CALLBACK)(POOL_TYPE PoolType, SIZE_T Size,
                                                      FLT_CONTEXT_TYPE ContextType);
typedef VOID(FLTAPI* PFLT_CONTEXT_FREE_CALLBACK)(PVOID Pool, FLT_CONTEXT_TYPE ContextType);

enum FLT_SET_CONTEXT_OPERATION {
    FLT_SET_CONTEXT_REPLACE_IF_EXISTS,
    FLT_SET_CONTEXT_KEEP_IF_EXISTS,
};

// ---- Registration ----
typedef USHORT FLT_CONTEXT_REGISTRATION_FLAGS;

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

typedef ULONG FLT_OPERATION_REGISTRATION_FLAGS;

struct FLT_OPERATION_REGISTRATION {
    UCHAR MajorFunction;
    FLT_OPERATION_REGISTRATION_FLAGS Flags;
    PFLT_PRE_OPERATION_CALLBACK PreOperation;
    PFLT_POST_OPERATION_CALLBACK PostOperation;
    PVOID Reserved1;
};

typedef ULONG FLT_REGISTRATION_FLAGS;

#define FLT_REGISTRATION_VERSION_0203 0x0203
#define FLT_REGISTRATION_VERSION FLT_REGISTRATION_VERSION_0203

// The name-provider, transaction and section callbacks are never registered
// by Pontor; they stay pointer-sized slots.
typedef PVOID PFLT_GENERATE_FILE_NAME;
typedef PVOID PFLT_NORMALIZE_NAME_COMPONENT;
typedef PVOID PFLT_NORMALIZE_CONTEXT_CLEANUP;
typedef PVOID PFLT_TRANSACTION_NOTIFICATION_CALLBACK;
typedef PVOID PFLT_NORMALIZE_NAME_COMPONENT_EX;
typedef PVOID PFLT_SECTION_CONFLICT_NOTIFICATION_CALLBACK;

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

// ---- Names ----
typedef ULONG FLT_FILE_NAME_OPTIONS;
#define FLT_FILE_NAME_NORMALIZED 0x01
#define FLT_FILE_NAME_QUERY_DEFAULT 0x0100

typedef USHORT FLT_FILE_NAME_PARSED_FLAGS;

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

// ---- I/O through an instance ----
#define FLTFL_IO_OPERATION_PAGING 0x00000002
#define FLTFL_IO_OPERATION_DO_NOT_UPDATE_BYTE_OFFSET 0x00000004

typedef VOID(FLTAPI* PFLT_COMPLETED_ASYNC_IO_CALLBACK)(PFLT_CALLBACK_DATA CallbackData,
                                                        PFLT_CONTEXT Context);

// The x64 layouts Microsoft documents.
static_assert(sizeof(FLT_PARAMETERS) == 48, "x64 layout");
static_assert(offsetof(FLT_PARAMETERS, Create.Options) == 8, "x64 layout");
static_assert(offsetof(FLT_PARAMETERS, Create.FileAttributes) == 16, "x64 layout");
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
static_assert(offsetof(FLT_IO_PARAMETER_BLOCK, MajorFunction) == 4, "x64 layout");
static_assert(offsetof(FLT_IO_PARAMETER_BLOCK, TargetFileObject) == 8, "x64 layout");
static_assert(offsetof(FLT_IO_PARAMETER_BLOCK, Parameters) == 24, "x64 layout");
static_assert(sizeof(FLT_IO_PARAMETER_BLOCK) == 72, "x64 layout");
static_assert(offsetof(FLT_CALLBACK_DATA, Iopb) == 16, "x64 layout");
static_assert(offsetof(FLT_CALLBACK_DATA, IoStatus) == 24, "x64 layout");
static_assert(offsetof(FLT_CALLBACK_DATA, RequestorMode) == 80, "x64 layout");
static_assert(sizeof(FLT_CALLBACK_DATA) == 88, "x64 layout");
static_assert(sizeof(FLT_RELATED_OBJECTS) == 48, "x64 layout");
static_assert(offsetof(FLT_RELATED_OBJECTS, Instance) == 24, "x64 layout");
static_assert(sizeof(FLT_FILE_NAME_INFORMATION) == 120, "x64 layout");
static_assert(offsetof(FLT_FILE_NAME_INFORMATION, ParentDir) == 104, "x64 layout");
static_assert(sizeof(FLT_CONTEXT_REGISTRATION) == 56, "x64 layout");
static_assert(sizeof(FLT_OPERATION_REGISTRATION) == 32, "x64 layout");
static_assert(sizeof(FLT_REGISTRATION) == 112, "x64 layout");

extern "C" {

// Registration.
NTSTATUS FLTAPI FltRegisterFilter(PDRIVER_OBJECT Driver, const FLT_REGISTRATION* Registration,
                                  PFLT_FILTER* RetFilter);
NTSTATUS FLTAPI FltStartFiltering(PFLT_FILTER Filter);
VOID FLTAPI FltUnregisterFilter(PFLT_FILTER Filter);

// Contexts.
NTSTATUS FLTAPI FltAllocateContext(PFLT_FILTER Filter, FLT_CONTEXT_TYPE ContextType,
                                   SIZE_T ContextSize, POOL_TYPE PoolType,
                                   PFLT_CONTEXT* ReturnedContext);
NTSTATUS FLTAPI FltSetStreamContext(PFLT_INSTANCE Instance, PFILE_OBJECT FileObject,
                                    FLT_SET_CONTEXT_OPERATION Operation, PFLT_CONTEXT NewContext,
                                    PFLT_CONTEXT* OldContext);
NTSTATUS FLTAPI FltGetStreamContext(PFLT_INSTANCE Instance, PFILE_OBJECT FileObject,
                                    PFLT_CONTEXT* Context);
VOID FLTAPI FltReleaseContext(PFLT_CONTEXT Context);

// Names.
NTSTATUS FLTAPI FltGetFileNameInformation(PFLT_CALLBACK_DATA CallbackData,
                                          FLT_FILE_NAME_OPTIONS NameOptions,
                                          PFLT_FILE_NAME_INFORMATION* FileNameInformation);
NTSTATUS FLTAPI FltParseFileNameInformation(PFLT_FILE_NAME_INFORMATION FileNameInformation);
VOID FLTAPI FltReleaseFileNameInformation(PFLT_FILE_NAME_INFORMATION FileNameInformation);
NTSTATUS FLTAPI FltParseFileName(PCUNICODE_STRING FileName, PUNICODE_STRING Extension,
                                 PUNICODE_STRING Stream, PUNICODE_STRING FinalComponent);
NTSTATUS FLTAPI FltGetVolumeGuidName(PFLT_VOLUME Volume, PUNICODE_STRING VolumeGuidName,
                                     PULONG BufferSizeNeeded);

// Extra create parameters.
NTSTATUS FLTAPI FltGetEcpListFromCallbackData(PFLT_FILTER Filter,
                                              PFLT_CALLBACK_DATA CallbackData,
                                              PECP_LIST* EcpList);
NTSTATUS FLTAPI FltFindExtraCreateParameter(PFLT_FILTER Filter, PECP_LIST EcpList,
                                            LPCGUID EcpType, PVOID* EcpContext,
                                            ULONG* EcpContextSize);

// Files below the filter.
NTSTATUS FLTAPI FltCreateFileEx(PFLT_FILTER Filter, PFLT_INSTANCE Instance, PHANDLE FileHandle,
                                PFILE_OBJECT* FileObject, ACCESS_MASK DesiredAccess,
                                POBJECT_ATTRIBUTES ObjectAttributes,
                                PIO_STATUS_BLOCK IoStatusBlock, PLARGE_INTEGER AllocationSize,
                                ULONG FileAttributes, ULONG ShareAccess, ULONG CreateDisposition,
                                ULONG CreateOptions, PVOID EaBuffer, ULONG EaLength, ULONG Flags);
NTSTATUS FLTAPI FltClose(HANDLE FileHandle);
NTSTATUS FLTAPI FltReadFile(PFLT_INSTANCE InitiatingInstance, PFILE_OBJECT FileObject,
                            PLARGE_INTEGER ByteOffset, ULONG Length, PVOID Buffer, ULONG Flags,
                            PULONG BytesRead, PFLT_COMPLETED_ASYNC_IO_CALLBACK CallbackRoutine,
                            PVOID CallbackContext);
NTSTATUS FLTAPI FltQueryInformationFile(PFLT_INSTANCE Instance, PFILE_OBJECT FileObject,
                                        PVOID FileInformation, ULONG Length,
                                        FILE_INFORMATION_CLASS FileInformationClass,
                                        PULONG LengthReturned);
VOID FLTAPI FltCancelFileOpen(PFLT_INSTANCE Instance, PFILE_OBJECT FileObject);

// Pool aligned for an instance's device.
PVOID FLTAPI FltAllocatePoolAlignedWithTag(PFLT_INSTANCE Instance, POOL_TYPE PoolType,
                                           SIZE_T NumberOfBytes, ULONG Tag);
VOID FLTAPI FltFreePoolAlignedWithTag(PFLT_INSTANCE Instance, PVOID Buffer, ULONG Tag);

// Operations in flight.
NTSTATUS FLTAPI FltCancellableWaitForSingleObject(PVOID Object, PLARGE_INTEGER Timeout,
                                                  PFLT_CALLBACK_DATA CallbackData);
VOID FLTAPI FltSetCallbackDataDirty(PFLT_CALLBACK_DATA Data);

}  // extern "C"

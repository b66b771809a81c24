// The operation callbacks: recognising stubs on create, redirecting their
// reads, reporting their served size, refusing modifications and answering
// the header query.
#include "filter/filter.h"

namespace {

// Creates carrying this extra create parameter are never stubs.
const GUID kSkipCreateEcp = {
    0x4248BE44, 0x647F, 0x488F, {0x8B, 0xE5, 0xA0, 0x8A, 0xAF, 0x70, 0xF0, 0x28}};

const UNICODE_STRING kStubExtension = {8, 8, (PWCH)PONTOR_WIDE("vmdk")};

// FileAllInformation is rewritten only in buffers of at least this many
// bytes: the basic and standard records that lead it.
constexpr ULONG kAllInformationMinimum = 64;

// A file object on the current thread's stack belongs to a nested internal
// open of the file system, not to an application.
BOOLEAN IsOnCurrentStack(PFILE_OBJECT FileObject) {
    ULONG_PTR low = 0;
    ULONG_PTR high = 0;
    IoGetStackLimits(&low, &high);
    return (ULONG_PTR)FileObject >= low && (ULONG_PTR)FileObject < high;
}

BOOLEAN CarriesSkipEcp(PCFLT_RELATED_OBJECTS FltObjects, PFLT_CALLBACK_DATA Data) {
    PECP_LIST ecpList = NULL;
    if (!NT_SUCCESS(FltGetEcpListFromCallbackData(FltObjects->Filter, Data, &ecpList)) ||
        ecpList == NULL) {
        return FALSE;
    }
    return NT_SUCCESS(
        FltFindExtraCreateParameter(FltObjects->Filter, ecpList, &kSkipCreateEcp, NULL, NULL));
}

// The attached context of a freshly opened stream, or a new one attached
// now. Another create may attach first; its context is then adopted.
NTSTATUS FindOrAttachContext(PFLT_CALLBACK_DATA Data, PCFLT_RELATED_OBJECTS FltObjects,
                             PontorContextReference* Attached) {
    NTSTATUS status = Attached->Acquire(FltObjects);
    if (status != STATUS_NOT_FOUND) {
        if (!NT_SUCCESS(status)) {
            PONTOR_LOG_AS("PontorPostCreate", "FltGetStreamContext failed with status 0x%x\n",
                          status);
        }
        return status;
    }

    StreamContext* created = NULL;
    status = PontorCreateStreamContext(FltObjects->Filter, &created);
    if (!NT_SUCCESS(status)) {
        PONTOR_LOG_AS("PontorPostCreate", "PontorCreateStreamContext failed with status 0x%x\n",
                      status);
        return status;
    }
    PontorContextReference fresh(created);
    status = PontorGetFileName(Data, &created->FileNameInfo);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    PFLT_CONTEXT existing = NULL;
    status = FltSetStreamContext(FltObjects->Instance, FltObjects->FileObject,
                                 FLT_SET_CONTEXT_KEEP_IF_EXISTS, created, &existing);
    if (status == STATUS_FLT_CONTEXT_ALREADY_DEFINED) {
        Attached->Reset((StreamContext*)existing);
        return STATUS_SUCCESS;
    }
    if (!NT_SUCCESS(status)) {
        PONTOR_LOG_AS("PontorPostCreate", "FltSetStreamContext failed with status 0x%x\n", status);
        return status;
    }
    // The allocation's reference now stands for this create's.
    Attached->Reset(fresh.Detach());
    return STATUS_SUCCESS;
}

// Binds the stream under the gate, on the first create that finds it
// unbound. The binding create is refused if it asked for write access.
VOID BindOnce(PFLT_CALLBACK_DATA Data, PCFLT_RELATED_OBJECTS FltObjects, StreamContext* Context) {
    if (PontorIsBound(Context)) {
        return;
    }
    PFLT_FILE_NAME_INFORMATION name = Context->FileNameInfo;
    PONTOR_LOG_AS("PontorPostCreate", "Initializing VMDK file %wZ.\n", &name->Name);
    Context->Instance = FltObjects->Instance;
    if (!NT_SUCCESS(PontorParseHeader(FltObjects, Context))) {
        // The open goes on on the plain stub; the next open tries again.
        return;
    }
    InterlockedExchange(&Context->Initialized, 1);
    if (FlagOn(Data->Iopb->Parameters.Create.SecurityContext->DesiredAccess, FILE_WRITE_DATA)) {
        PONTOR_LOG_AS("PontorPostCreate", "Denying write access to %wZ.", &name->Name);
        FltCancelFileOpen(FltObjects->Instance, FltObjects->FileObject);
        Data->IoStatus.Information = 0;
        Data->IoStatus.Status = STATUS_ACCESS_DENIED;
    } else {
        PONTOR_LOG_AS("PontorPostCreate", "Filtering access to %wZ.\n", &name->Name);
    }
}

struct ReadCall {
    PCFLT_RELATED_OBJECTS FltObjects;
    StreamContext* Context;
    ULONGLONG Offset;
    ULONG Length;
    PVOID Destination;
    ULONG BytesRead;
};

NTSTATUS ReadVirtualDisk(PVOID Call) {
    ReadCall* call = (ReadCall*)Call;
    return VhdxProcessRead(call->FltObjects, call->Context, call->Context->VhdxContext,
                           call->Offset, call->Length, call->Destination, &call->BytesRead);
}

// Completes the operation's status and information, marked as changed.
VOID Complete(PFLT_CALLBACK_DATA Data, NTSTATUS Status, ULONG_PTR Information) {
    Data->IoStatus.Status = Status;
    Data->IoStatus.Information = Information;
    FltSetCallbackDataDirty(Data);
}

// Whether the caller's buffer holds a record of Size bytes.
BOOLEAN Holds(PVOID Buffer, ULONG Length, SIZE_T Size) { return Buffer != NULL && Length >= Size; }

}  // namespace

NTSTATUS PontorGetFileName(PFLT_CALLBACK_DATA Data, PFLT_FILE_NAME_INFORMATION* NameInfo) {
    *NameInfo = NULL;
    PFLT_FILE_NAME_INFORMATION name = NULL;
    NTSTATUS status = FltGetFileNameInformation(
        Data, FLT_FILE_NAME_NORMALIZED | FLT_FILE_NAME_QUERY_DEFAULT, &name);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = FltParseFileNameInformation(name);
    if (!NT_SUCCESS(status)) {
        PONTOR_LOG("FltParseFileNameInformation failed with status 0x%x\n", status);
        FltReleaseFileNameInformation(name);
        return status;
    }
    *NameInfo = name;
    return STATUS_SUCCESS;
}

FLT_PREOP_CALLBACK_STATUS PontorPreCreate(PFLT_CALLBACK_DATA Data, PCFLT_RELATED_OBJECTS FltObjects,
                                          PVOID* CompletionContext) {
    UNREFERENCED_PARAMETER(CompletionContext);
    PONTOR_TRACE("Entered\n");

    // Opens that cannot be of a stub pass untouched.
    if (IsOnCurrentStack(FltObjects->FileObject)) {
        return FLT_PREOP_SUCCESS_NO_CALLBACK;
    }
    if (FlagOn(Data->Iopb->Parameters.Create.Options, FILE_DIRECTORY_FILE)) {
        return FLT_PREOP_SUCCESS_NO_CALLBACK;
    }
    if (FlagOn(Data->Iopb->OperationFlags, SL_OPEN_TARGET_DIRECTORY | SL_OPEN_PAGING_FILE)) {
        return FLT_PREOP_SUCCESS_NO_CALLBACK;
    }
    if (FlagOn(FltObjects->FileObject->Flags, FO_VOLUME_OPEN)) {
        return FLT_PREOP_SUCCESS_NO_CALLBACK;
    }
    if (CarriesSkipEcp(FltObjects, Data)) {
        return FLT_PREOP_SUCCESS_NO_CALLBACK;
    }
    PFLT_FILE_NAME_INFORMATION name = NULL;
    if (!NT_SUCCESS(PontorGetFileName(Data, &name))) {
        return FLT_PREOP_SUCCESS_NO_CALLBACK;
    }
    const BOOLEAN candidate = RtlCompareUnicodeString(&name->Extension, &kStubExtension, TRUE) == 0;
    FltReleaseFileNameInformation(name);
    return candidate ? FLT_PREOP_SUCCESS_WITH_CALLBACK : FLT_PREOP_SUCCESS_NO_CALLBACK;
}

FLT_POSTOP_CALLBACK_STATUS PontorPostCreate(PFLT_CALLBACK_DATA Data,
                                            PCFLT_RELATED_OBJECTS FltObjects,
                                            PVOID CompletionContext,
                                            FLT_POST_OPERATION_FLAGS Flags) {
    UNREFERENCED_PARAMETER(CompletionContext);
    UNREFERENCED_PARAMETER(Flags);

    if (!NT_SUCCESS(Data->IoStatus.Status)) {
        return FLT_POSTOP_FINISHED_PROCESSING;
    }
    // Too small to hold a stub's header.
    FILE_STANDARD_INFORMATION standard;
    NTSTATUS status =
        FltQueryInformationFile(FltObjects->Instance, FltObjects->FileObject, &standard,
                                sizeof(standard), FileStandardInformation, NULL);
    if (!NT_SUCCESS(status) || standard.EndOfFile.QuadPart < PONTOR_STUB_READ_SIZE) {
        return FLT_POSTOP_FINISHED_PROCESSING;
    }

    PontorContextReference context;
    if (!NT_SUCCESS(FindOrAttachContext(Data, FltObjects, &context))) {
        return FLT_POSTOP_FINISHED_PROCESSING;
    }

    // The gate admits one binder at a time; in a critical region so that its
    // holder cannot be suspended while other creates wait.
    KeEnterCriticalRegion();
    status = FltCancellableWaitForSingleObject(context->InitEvent, NULL, Data);
    if (!NT_SUCCESS(status)) {
        FltCancelFileOpen(FltObjects->Instance, FltObjects->FileObject);
        Data->IoStatus.Information = 0;
        Data->IoStatus.Status = status;
    } else {
        BindOnce(Data, FltObjects, context.Get());
        KeSetEvent(context->InitEvent, IO_NO_INCREMENT, FALSE);
    }
    KeLeaveCriticalRegion();
    return FLT_POSTOP_FINISHED_PROCESSING;
}

FLT_PREOP_CALLBACK_STATUS PontorPreRead(PFLT_CALLBACK_DATA Data, PCFLT_RELATED_OBJECTS FltObjects,
                                        PVOID* CompletionContext) {
    UNREFERENCED_PARAMETER(CompletionContext);

    PontorContextReference context;
    if (!NT_SUCCESS(context.Acquire(FltObjects))) {
        return FLT_PREOP_SUCCESS_NO_CALLBACK;
    }
    PontorMutexHold hold(&context->Mutex);
    if (!PontorIsBound(context.Get())) {
        return FLT_PREOP_SUCCESS_NO_CALLBACK;
    }
    Data->IoStatus.Information = 0;
    // Cached reads come back as IRPs, which are served below.
    if (FLT_IS_FASTIO_OPERATION(Data)) {
        return FLT_PREOP_DISALLOW_FASTIO;
    }
    // No cache-manager MDLs: the served bytes are not in the cache.
    if (FlagOn(Data->Iopb->MinorFunction, IRP_MN_COMPLETE | IRP_MN_MDL)) {
        Complete(Data, STATUS_INVALID_DEVICE_REQUEST, 0);
        return FLT_PREOP_COMPLETE;
    }
    context->Instance = FltObjects->Instance;
    const NTSTATUS status = PontorProcessRead(Data, FltObjects, context.Get());
    if (!NT_SUCCESS(status)) {
        PONTOR_LOG("PontorPreRead (%wZ) failed with status 0x%x\n", &context->FileNameInfo->Name,
                   status);
    }
    return FLT_PREOP_COMPLETE;
}

NTSTATUS PontorProcessRead(PFLT_CALLBACK_DATA Data, PCFLT_RELATED_OBJECTS FltObjects,
                           StreamContext* Context) {
    Data->IoStatus.Information = 0;

    ReadCall call;
    call.FltObjects = FltObjects;
    call.Context = Context;
    call.Offset = (ULONGLONG)Data->Iopb->Parameters.Read.ByteOffset.QuadPart;
    call.Length = Data->Iopb->Parameters.Read.Length;
    call.BytesRead = 0;
    PMDL mdl = Data->Iopb->Parameters.Read.MdlAddress;
    if (mdl != NULL) {
        call.Destination =
            MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority | MdlMappingNoExecute);
        if (call.Destination == NULL) {
            Complete(Data, STATUS_INSUFFICIENT_RESOURCES, 0);
            return STATUS_INSUFFICIENT_RESOURCES;
        }
    } else {
        call.Destination = Data->Iopb->Parameters.Read.ReadBuffer;
        if (call.Destination == NULL) {
            Complete(Data, STATUS_INVALID_PARAMETER, 0);
            return STATUS_INVALID_PARAMETER;
        }
    }

    // The destination may be an application's buffer: a fault writing it
    // fails this read, never the system.
    NTSTATUS status = PontorCallExcept(ReadVirtualDisk, &call);
    if (status == STATUS_ACCESS_VIOLATION) {
        call.BytesRead = 0;
    }
    if (call.BytesRead != call.Length) {
        PONTOR_LOG("PontorProcessRead bytes read 0x%x. Bytes requested 0x%x\n", call.BytesRead,
                   call.Length);
    }
    Complete(Data, status, call.BytesRead);
    return status;
}

FLT_POSTOP_CALLBACK_STATUS PontorPostQueryInformation(PFLT_CALLBACK_DATA Data,
                                                      PCFLT_RELATED_OBJECTS FltObjects,
                                                      PVOID CompletionContext,
                                                      FLT_POST_OPERATION_FLAGS Flags) {
    UNREFERENCED_PARAMETER(CompletionContext);
    UNREFERENCED_PARAMETER(Flags);

    PontorContextReference context;
    if (!NT_SUCCESS(context.Acquire(FltObjects)) || !PontorIsBound(context.Get())) {
        return FLT_POSTOP_FINISHED_PROCESSING;
    }
    // The reference held keeps the cleanup, and so the child record, away.
    const LONGLONG size = (LONGLONG)context->VhdxContext->DataSize;
    PVOID buffer = Data->Iopb->Parameters.QueryFileInformation.InfoBuffer;
    const ULONG length = Data->Iopb->Parameters.QueryFileInformation.Length;

    // Each class is rewritten only when the caller's buffer holds its record.
    switch (Data->Iopb->Parameters.QueryFileInformation.FileInformationClass) {
        case FileStandardInformation:
            if (Holds(buffer, length, sizeof(FILE_STANDARD_INFORMATION))) {
                FILE_STANDARD_INFORMATION* standard = (FILE_STANDARD_INFORMATION*)buffer;
                standard->EndOfFile.QuadPart = size;
                standard->AllocationSize.QuadPart = size;
                Complete(Data, STATUS_SUCCESS, sizeof(FILE_STANDARD_INFORMATION));
            }
            break;
        case FileAllInformation:
            // The rest of the file system's answer, its status and length stand.
            if (Holds(buffer, length, kAllInformationMinimum)) {
                FILE_ALL_INFORMATION* all = (FILE_ALL_INFORMATION*)buffer;
                all->StandardInformation.EndOfFile.QuadPart = size;
                all->StandardInformation.AllocationSize.QuadPart = size;
                FltSetCallbackDataDirty(Data);
            }
            break;
        case FileEndOfFileInformation:
            if (Holds(buffer, length, sizeof(FILE_END_OF_FILE_INFORMATION))) {
                ((FILE_END_OF_FILE_INFORMATION*)buffer)->EndOfFile.QuadPart = size;
                Complete(Data, STATUS_SUCCESS, sizeof(FILE_END_OF_FILE_INFORMATION));
            }
            break;
        case FileStreamInformation:
            // The first entry, the unnamed data stream; its allocation stays.
            if (Holds(buffer, length, sizeof(FILE_STREAM_INFORMATION))) {
                ((FILE_STREAM_INFORMATION*)buffer)->StreamSize.QuadPart = size;
                Complete(Data, STATUS_SUCCESS, sizeof(FILE_STREAM_INFORMATION));
            }
            break;
        case FileNetworkOpenInformation:
            if (Holds(buffer, length, sizeof(FILE_NETWORK_OPEN_INFORMATION))) {
                FILE_NETWORK_OPEN_INFORMATION* open = (FILE_NETWORK_OPEN_INFORMATION*)buffer;
                open->EndOfFile.QuadPart = size;
                open->AllocationSize.QuadPart = size;
                Complete(Data, STATUS_SUCCESS, sizeof(FILE_NETWORK_OPEN_INFORMATION));
            }
            break;
        default: break;
    }
    return FLT_POSTOP_FINISHED_PROCESSING;
}

FLT_PREOP_CALLBACK_STATUS PontorPreWrite(PFLT_CALLBACK_DATA Data, PCFLT_RELATED_OBJECTS FltObjects,
                                         PVOID* CompletionContext) {
    UNREFERENCED_PARAMETER(CompletionContext);

    PontorContextReference context;
    if (!NT_SUCCESS(context.Acquire(FltObjects))) {
        return FLT_PREOP_SUCCESS_NO_CALLBACK;
    }
    PontorMutexHold hold(&context->Mutex);
    if (!PontorIsBound(context.Get())) {
        return FLT_PREOP_SUCCESS_NO_CALLBACK;
    }
    if (FLT_IS_FASTIO_OPERATION(Data)) {
        return FLT_PREOP_DISALLOW_FASTIO;
    }
    // IRP writes, paging writes included, and the acquire notifications.
    Complete(Data, STATUS_ACCESS_DENIED, 0);
    return FLT_PREOP_COMPLETE;
}

FLT_PREOP_CALLBACK_STATUS PontorPreFileSystemControl(PFLT_CALLBACK_DATA Data,
                                                     PCFLT_RELATED_OBJECTS FltObjects,
                                                     PVOID* CompletionContext) {
    UNREFERENCED_PARAMETER(CompletionContext);
    PONTOR_TRACE("Entered\n");

    Data->IoStatus.Information = 0;
    if (Data->Iopb->Parameters.FileSystemControl.Common.FsControlCode != FSCTL_GET_STUB_HEADER) {
        return FLT_PREOP_SUCCESS_NO_CALLBACK;
    }
    if (FLT_IS_FASTIO_OPERATION(Data)) {
        return FLT_PREOP_DISALLOW_FASTIO;
    }
    // The private code never reaches the file system.
    PontorContextReference context;
    NTSTATUS status = context.Acquire(FltObjects);
    if (!NT_SUCCESS(status)) {
        Data->IoStatus.Status = status;
        return FLT_PREOP_COMPLETE;
    }
    PVOID output = Data->Iopb->Parameters.FileSystemControl.Buffered.SystemBuffer;
    if (!PontorIsBound(context.Get())) {
        Data->IoStatus.Status = STATUS_DEVICE_NOT_READY;
    } else if (Data->Iopb->Parameters.FileSystemControl.Buffered.OutputBufferLength <
                   PONTOR_STUB_HEADER_SIZE ||
               output == NULL) {
        Data->IoStatus.Status = STATUS_INVALID_PARAMETER;
    } else {
        status = PontorCopyGuarded(output, context->StubHeader, PONTOR_STUB_HEADER_SIZE);
        if (NT_SUCCESS(status)) {
            Complete(Data, STATUS_SUCCESS, PONTOR_STUB_HEADER_SIZE);
        } else {
            Data->IoStatus.Status = status;
            Data->IoStatus.Information = 0;
        }
    }
    return FLT_PREOP_COMPLETE;
}

FLT_PREOP_CALLBACK_STATUS PontorPreCleanup(PFLT_CALLBACK_DATA Data,
                                           PCFLT_RELATED_OBJECTS FltObjects,
                                           PVOID* CompletionContext) {
    UNREFERENCED_PARAMETER(Data);
    UNREFERENCED_PARAMETER(CompletionContext);

    if (IsOnCurrentStack(FltObjects->FileObject)) {
        return FLT_PREOP_SUCCESS_NO_CALLBACK;
    }
    PontorContextReference context;
    if (!NT_SUCCESS(context.Acquire(FltObjects))) {
        return FLT_PREOP_SUCCESS_NO_CALLBACK;
    }
    // The chain stays until the stream goes; this only notes the close.
    if (PontorIsBound(context.Get()) && context->FileNameInfo != NULL) {
        PONTOR_LOG("%wZ\n", &context->FileNameInfo->Name);
    }
    return FLT_PREOP_SUCCESS_NO_CALLBACK;
}

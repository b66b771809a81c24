// The Filter Manager's own file I/O below an instance: FltCreateFileEx,
// FltReadFile, FltQueryInformationFile and FltClose, for every file layer.
#include <algorithm>
#include <cstring>
#include <mutex>
#include <set>

#include "platform/host/faults/internal.h"
#include "platform/host/fltmgr/dispatch.h"
#include "platform/host/ke/internal.h"

namespace host {
namespace {

std::mutex gHandlesMutex;
std::set<HANDLE> gHandles;  // kernel handles from FltCreateFileEx

// The outputs cleared and the object name copied out;
// STATUS_INVALID_PARAMETER when an argument that every create needs is
// missing.
NTSTATUS BeginCreateFile(PHANDLE FileHandle, PFILE_OBJECT* FileObject,
                         POBJECT_ATTRIBUTES ObjectAttributes, std::u16string* name) {
    if (FileObject != nullptr) {
        *FileObject = nullptr;
    }
    if (FileHandle == nullptr || ObjectAttributes == nullptr ||
        ObjectAttributes->ObjectName == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *FileHandle = nullptr;
    PCUNICODE_STRING objectName = ObjectAttributes->ObjectName;
    name->assign(objectName->Length / 2, u'\0');
    if (!name->empty()) {
        std::memcpy(name->data(), objectName->Buffer, name->size() * 2);
    }
    return STATUS_SUCCESS;
}

// The read FltReadFile issues below `through`: generated I/O, in kernel
// mode, cached unless the flags or the file object say otherwise.
NTSTATUS ReadBelow(_FLT_INSTANCE* through, PFILE_OBJECT fo, LONGLONG offset, ULONG length,
                   void* buffer, ULONG flags, ULONG_PTR* information) {
    const bool paging = flags & FLTFL_IO_OPERATION_PAGING;
    const bool update = (fo->Flags & FO_SYNCHRONOUS_IO) && !paging &&
                        !(flags & FLTFL_IO_OPERATION_DO_NOT_UPDATE_BYTE_OFFSET);
    const bool nonCached =
        (flags & FLTFL_IO_OPERATION_NON_CACHED) || (fo->Flags & FO_NO_INTERMEDIATE_BUFFERING);
    fltmgr::Request r(FLTFL_CALLBACK_DATA_IRP_OPERATION | FLTFL_CALLBACK_DATA_GENERATED_IO,
                      KernelMode, IRP_MJ_READ, fo);
    r.iopb.IrpFlags = (paging ? IRP_PAGING_IO | IRP_NOCACHE : 0) | (nonCached ? IRP_NOCACHE : 0);
    r.iopb.Parameters.Read.Length = length;
    r.iopb.Parameters.Read.ByteOffset.QuadPart = offset;
    r.iopb.Parameters.Read.ReadBuffer = buffer;
    fltmgr::DispatchBelow(r, through, [&](fltmgr::Request& q) {
        auto& read = q.iopb.Parameters.Read;
        q.data.IoStatus.Status =
            fs::Read(fo, q.iopb.IrpFlags, read.ByteOffset.QuadPart, read.Length, read.ReadBuffer,
                     update, &q.data.IoStatus.Information);
    });
    *information = r.data.IoStatus.Information;
    return r.data.IoStatus.Status;
}

NTSTATUS QueryBelow(_FLT_INSTANCE* through, PFILE_OBJECT fo, FILE_INFORMATION_CLASS fileClass,
                    void* buffer, ULONG length, ULONG_PTR* information) {
    fltmgr::Request r(FLTFL_CALLBACK_DATA_IRP_OPERATION | FLTFL_CALLBACK_DATA_GENERATED_IO,
                      KernelMode, IRP_MJ_QUERY_INFORMATION, fo);
    r.iopb.Parameters.QueryFileInformation.Length = length;
    r.iopb.Parameters.QueryFileInformation.FileInformationClass = fileClass;
    r.iopb.Parameters.QueryFileInformation.InfoBuffer = buffer;
    fltmgr::DispatchBelow(r, through, [&](fltmgr::Request& q) {
        auto& query = q.iopb.Parameters.QueryFileInformation;
        q.data.IoStatus.Status =
            fs::QueryInformation(fo, query.FileInformationClass, query.InfoBuffer, query.Length,
                                 &q.data.IoStatus.Information);
    });
    *information = r.data.IoStatus.Information;
    return r.data.IoStatus.Status;
}

}  // namespace
}  // namespace host

extern "C" {

NTSTATUS FLTAPI FltCreateFileEx(PFLT_FILTER, PFLT_INSTANCE Instance, PHANDLE FileHandle,
                                PFILE_OBJECT* FileObject, ACCESS_MASK DesiredAccess,
                                POBJECT_ATTRIBUTES ObjectAttributes, PIO_STATUS_BLOCK IoStatusBlock,
                                PLARGE_INTEGER, ULONG, ULONG ShareAccess, ULONG CreateDisposition,
                                ULONG CreateOptions, PVOID, ULONG, ULONG Flags) {
    host::ke::CheckIrql(PASSIVE_LEVEL, "FltCreateFileEx");
    auto finish = [&](NTSTATUS status, ULONG_PTR information) {
        if (IoStatusBlock != nullptr) {
            IoStatusBlock->Status = status;
            IoStatusBlock->Information = information;
        }
        return status;
    };
    std::u16string name;
    const NTSTATUS begun = host::BeginCreateFile(FileHandle, FileObject, ObjectAttributes, &name);
    if (!NT_SUCCESS(begun)) {
        return finish(begun, 0);
    }
    PFILE_OBJECT fo;
    ULONG_PTR information;
    const NTSTATUS status = host::iomgr::CreateBelow(
        Instance, name, DesiredAccess, ObjectAttributes->Attributes, ShareAccess, CreateDisposition,
        CreateOptions, (Flags & IO_STOP_ON_SYMLINK) ? SL_STOP_ON_SYMLINK : 0, KernelMode, &fo,
        &information);
    if (!NT_SUCCESS(status)) {
        return finish(status, information);
    }
    {
        std::lock_guard<std::mutex> lock(host::gHandlesMutex);
        host::gHandles.insert(fo);
    }
    if (FileObject != nullptr) {
        fo->Host->references++;
        *FileObject = fo;
    }
    *FileHandle = fo;
    return finish(status, information);
}

NTSTATUS FLTAPI FltClose(HANDLE FileHandle) {
    host::ke::CheckIrql(PASSIVE_LEVEL, "FltClose");
    {
        std::lock_guard<std::mutex> lock(host::gHandlesMutex);
        if (host::gHandles.erase(FileHandle) == 0) {
            host::ke::BugCheck("FltClose: invalid handle");
            return STATUS_INVALID_HANDLE;
        }
    }
    auto fo = (PFILE_OBJECT)FileHandle;
    host::iomgr::CleanupFileObject(fo, fo->Host->flt.openedThrough);
    host::iomgr::DereferenceFileObject(fo);
    return STATUS_SUCCESS;
}

NTSTATUS FLTAPI FltReadFile(PFLT_INSTANCE InitiatingInstance, PFILE_OBJECT FileObject,
                            PLARGE_INTEGER ByteOffset, ULONG Length, PVOID Buffer, ULONG Flags,
                            PULONG BytesRead, PFLT_COMPLETED_ASYNC_IO_CALLBACK CallbackRoutine,
                            PVOID) {
    host::ke::CheckIrql(APC_LEVEL, "FltReadFile");
    if (BytesRead != nullptr) {
        *BytesRead = 0;
    }
    if (FileObject == nullptr || FileObject->Host == nullptr || FileObject->FsContext2 == nullptr) {
        host::ke::BugCheck("FltReadFile: not an open file object");
        return STATUS_INVALID_PARAMETER;
    }
    if (CallbackRoutine != nullptr) {
        return STATUS_NOT_SUPPORTED;  // the driver reads synchronously only
    }
    LONGLONG offset;
    if (ByteOffset != nullptr) {
        offset = ByteOffset->QuadPart;
    } else if (FileObject->Flags & FO_SYNCHRONOUS_IO) {
        offset = FileObject->CurrentByteOffset.QuadPart;
    } else {
        return STATUS_INVALID_PARAMETER;
    }
    if (offset < 0) {
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS injected = STATUS_SUCCESS;
    ULONG limit = Length;
    if (host::faults::NextReadFails(&injected, &limit)) {
        return injected;
    }
    ULONG_PTR done = 0;
    NTSTATUS status;
    try {
        status = host::ReadBelow(InitiatingInstance, FileObject, offset, std::min(limit, Length),
                                 Buffer, Flags, &done);
    } catch (const host::AccessViolation&) {
        // A file system catches the fault writing a bad buffer and fails the
        // read with this status; nothing raises through FltReadFile's caller.
        status = STATUS_INVALID_USER_BUFFER;
        done = 0;
    }
    if (BytesRead != nullptr) {
        *BytesRead = (ULONG)done;
    }
    return status;
}

NTSTATUS FLTAPI FltQueryInformationFile(PFLT_INSTANCE Instance, PFILE_OBJECT FileObject,
                                        PVOID FileInformation, ULONG Length,
                                        FILE_INFORMATION_CLASS FileInformationClass,
                                        PULONG LengthReturned) {
    host::ke::CheckIrql(PASSIVE_LEVEL, "FltQueryInformationFile");
    if (LengthReturned != nullptr) {
        *LengthReturned = 0;
    }
    if (Instance == nullptr || FileObject == nullptr || FileObject->Host == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    // A file object the file system never opened (a create that ended in
    // STATUS_REPARSE, say) is refused as NTFS refuses an unopened one.
    if (FileObject->FsContext2 == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    ULONG_PTR information = 0;
    const NTSTATUS status = host::QueryBelow(Instance, FileObject, FileInformationClass,
                                             FileInformation, Length, &information);
    if (LengthReturned != nullptr) {
        *LengthReturned = (ULONG)information;
    }
    return status;
}

}  // extern "C"

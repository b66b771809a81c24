// The application's requests (NtCreateFile, NtReadFile, NtWriteFile,
// NtQueryInformationFile, NtFsControlFile, and the memory and cache managers'
// write-related operations), and the creates, reads and queries the Filter
// Manager issues below an instance: each builds the FLT_CALLBACK_DATA of one
// operation and dispatches it through the volume's instances to the file
// system.
#include <algorithm>
#include <cstring>

#include "platform/host/fltmgr/dispatch.h"

namespace host {

using fltmgr::Dispatch;
using fltmgr::DispatchBelow;
using fltmgr::Outcome;
using fltmgr::Request;

namespace {

IoResult Result(const Request& r) { return {r.data.IoStatus.Status, r.data.IoStatus.Information}; }

// The generic rights mapped to the file rights, as the I/O manager maps
// them before any filter sees the create. MAXIMUM_ALLOWED stays as it is:
// the file system resolves it when it checks the access.
ACCESS_MASK MapGenericAccess(ACCESS_MASK a) {
    constexpr ACCESS_MASK kAll = 0x001F01FF;  // FILE_ALL_ACCESS
    if (a & GENERIC_ALL) {
        a |= kAll;
    }
    if (a & GENERIC_READ) {
        a |= READ_CONTROL | FILE_READ_DATA | FILE_READ_ATTRIBUTES | FILE_READ_EA | SYNCHRONIZE;
    }
    if (a & GENERIC_WRITE) {
        a |= READ_CONTROL | FILE_WRITE_DATA | FILE_WRITE_ATTRIBUTES | FILE_WRITE_EA |
             FILE_APPEND_DATA | SYNCHRONIZE;
    }
    if (a & GENERIC_EXECUTE) {
        a |= READ_CONTROL | FILE_READ_ATTRIBUTES | FILE_EXECUTE | SYNCHRONIZE;
    }
    return a & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
}

// The create of an initialised file object, through the instances below
// `through`. On failure the file object holds no host file.
NTSTATUS CreateFileObject(_FLT_INSTANCE* through, PFILE_OBJECT fo, const fs::CreateParameters& p,
                          ULONG fileAttributes, const std::vector<GUID>& extraCreateParameters,
                          KPROCESSOR_MODE mode, ULONG_PTR* information) {
    FltFileObject& h = fo->Host->flt;
    _ECP_LIST ecps;
    ecps.types = extraCreateParameters;
    h.ecpList = ecps.types.empty() ? nullptr : &ecps;
    h.caseInsensitive = p.caseInsensitive;
    h.openedThrough = through;
    h.inCreate = true;
    if (p.volumeOpen) {
        fo->Flags |= FO_VOLUME_OPEN;
    }
    if (p.options & FILE_NO_INTERMEDIATE_BUFFERING) {
        fo->Flags |= FO_NO_INTERMEDIATE_BUFFERING;
    }
    IO_SECURITY_CONTEXT security = {nullptr, nullptr, p.access, p.options};
    Request r(FLTFL_CALLBACK_DATA_IRP_OPERATION, mode, IRP_MJ_CREATE, fo);
    r.iopb.OperationFlags = p.operationFlags;
    r.iopb.Parameters.Create.SecurityContext = &security;
    r.iopb.Parameters.Create.Options = (p.disposition << 24) | (p.options & 0x00FFFFFF);
    r.iopb.Parameters.Create.FileAttributes = (USHORT)fileAttributes;
    r.iopb.Parameters.Create.ShareAccess = (USHORT)p.shareAccess;
    DispatchBelow(r, through, [&](Request& q) {
        ULONG_PTR info = 0;
        q.data.IoStatus.Status = fs::Create(fo->Host->volume, fo, p, &info);
        q.data.IoStatus.Information = info;
    });
    h.inCreate = false;
    h.ecpList = nullptr;
    const NTSTATUS status = r.data.IoStatus.Status;
    *information = r.data.IoStatus.Information;
    const bool opened = fo->FsContext2 != nullptr;
    if (opened && h.cancelled) {
        // FltCancelFileOpen: the file system closes what it opened.
        if (NT_SUCCESS(status)) {
            ke::BugCheck("FltCancelFileOpen without a failure status for the create");
        }
        fs::Cleanup(fo);
        fltmgr::ReleaseDetached(fs::Close(fo));
        return status;
    }
    if (opened && !NT_SUCCESS(status)) {
        ke::BugCheck("a post-create failed an open without FltCancelFileOpen");
    }
    if (status == STATUS_REPARSE && !opened) {
        // The I/O manager would reparse to the link's target; the host
        // follows no link, as one could lead off the volume.
        *information = 0;
        return STATUS_ACCESS_DENIED;
    }
    if (!opened && NT_SUCCESS(status)) {
        ke::BugCheck("a create completed with success that no file system opened");
    }
    return status;
}

NTSTATUS ParseCreate(const std::u16string& name, Volume::Impl** volume, std::u16string* rest) {
    *volume = fs::FindVolume(name);
    if (*volume == nullptr) {
        return STATUS_OBJECT_PATH_NOT_FOUND;
    }
    *rest = name.substr((*volume)->deviceName.size());
    return STATUS_SUCCESS;
}

fs::CreateParameters Parameters(const std::u16string& rest, ACCESS_MASK access, ULONG attributes,
                                ULONG share, ULONG disposition, ULONG options, UCHAR flags) {
    fs::CreateParameters p;
    p.path = rest;
    p.access = MapGenericAccess(access);
    p.shareAccess = share;
    p.disposition = disposition;
    p.options = options;
    p.operationFlags = flags;
    p.caseInsensitive = (attributes & OBJ_CASE_INSENSITIVE) && !(flags & SL_CASE_SENSITIVE);
    p.volumeOpen = rest.empty();
    return p;
}

bool Synchronous(PFILE_OBJECT fo) { return (fo->Flags & FO_SYNCHRONOUS_IO) != 0; }
bool Unbuffered(PFILE_OBJECT fo) { return (fo->Flags & FO_NO_INTERMEDIATE_BUFFERING) != 0; }

// The MDL the I/O manager builds over a locked buffer.
MDL DescribeBuffer(const void* buffer, ULONG length, CSHORT flags) {
    MDL mdl = {};
    mdl.Size = sizeof(MDL);
    mdl.MdlFlags = flags;
    mdl.StartVa = (PVOID)((ULONG_PTR)buffer & ~(ULONG_PTR)0xFFF);
    mdl.ByteOffset = (ULONG)((ULONG_PTR)buffer & 0xFFF);
    mdl.ByteCount = length;
    if (flags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL)) {
        mdl.MappedSystemVa = (PVOID)buffer;
    }
    return mdl;
}

ULONG IrpFlagsOf(IoPath path, PFILE_OBJECT fo) {
    const ULONG synchronous = Synchronous(fo) ? IRP_SYNCHRONOUS_API : 0;
    switch (path) {
        case IoPath::NonCached: return IRP_NOCACHE | synchronous;
        case IoPath::Paging: return IRP_PAGING_IO | IRP_NOCACHE | IRP_SYNCHRONOUS_PAGING_IO;
        default: return (Unbuffered(fo) ? IRP_NOCACHE : 0) | synchronous;
    }
}

UCHAR MinorOf(IoPath path) {
    return path == IoPath::Mdl           ? IRP_MN_MDL
           : path == IoPath::MdlComplete ? IRP_MN_COMPLETE_MDL
                                         : IRP_MN_NORMAL;
}

}  // namespace

namespace iomgr {

NTSTATUS CreateBelow(_FLT_INSTANCE* through, const std::u16string& name, ACCESS_MASK access,
                     ULONG attributes, ULONG shareAccess, ULONG disposition, ULONG options,
                     UCHAR operationFlags, KPROCESSOR_MODE mode, PFILE_OBJECT* fileObject,
                     ULONG_PTR* information) {
    *fileObject = nullptr;
    *information = 0;
    Volume::Impl* volume;
    std::u16string rest;
    NTSTATUS status = ParseCreate(name, &volume, &rest);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (through != nullptr && through->volume != volume) {
        return STATUS_INVALID_PARAMETER;  // an instance opens on its own volume only
    }
    const bool synchronous = options & (FILE_SYNCHRONOUS_IO_ALERT | FILE_SYNCHRONOUS_IO_NONALERT);
    PFILE_OBJECT fo = NewFileObject(volume, rest, synchronous);
    const fs::CreateParameters p =
        Parameters(rest, access, attributes, shareAccess, disposition, options, operationFlags);
    status = CreateFileObject(through, fo, p, FILE_ATTRIBUTE_NORMAL, {}, mode, information);
    if (!NT_SUCCESS(status)) {
        FreeFileObject(fo);
        return status;
    }
    *fileObject = fo;
    return status;
}

}  // namespace iomgr

// ---- Requests ----

IoResult Create(const CreateRequest& request, Handle* handle) {
    if (handle != nullptr) {
        handle->Close();
    }
    Volume::Impl* volume;
    std::u16string rest;
    NTSTATUS status = ParseCreate(request.name, &volume, &rest);
    if (!NT_SUCCESS(status)) {
        return {status, 0};
    }
    const fs::CreateParameters p =
        Parameters(rest, request.desiredAccess, request.objectAttributes, request.shareAccess,
                   request.disposition, request.createOptions, request.operationFlags);
    const bool synchronous =
        request.createOptions & (FILE_SYNCHRONOUS_IO_ALERT | FILE_SYNCHRONOUS_IO_NONALERT);
    ULONG_PTR information = 0;
    if (request.fileObjectOnStack) {
        FILE_OBJECT onStack;
        iomgr::InitFileObject(&onStack, volume, rest, synchronous);
        onStack.Host->onStack = true;
        status =
            CreateFileObject(nullptr, &onStack, p, request.fileAttributes,
                             request.extraCreateParameters, request.requestorMode, &information);
        if (NT_SUCCESS(status)) {
            iomgr::CleanupFileObject(&onStack, nullptr);
            iomgr::DereferenceFileObject(&onStack);
        } else {
            iomgr::FreeFileObject(&onStack);
        }
        return {status, information};
    }
    PFILE_OBJECT fo = iomgr::NewFileObject(volume, rest, synchronous);
    status = CreateFileObject(nullptr, fo, p, request.fileAttributes, request.extraCreateParameters,
                              request.requestorMode, &information);
    if (!NT_SUCCESS(status)) {
        iomgr::FreeFileObject(fo);
        return {status, information};
    }
    if (handle != nullptr) {
        handle->fileObject_ = fo;
    } else {
        Handle closer;
        closer.fileObject_ = fo;
    }
    return {status, information};
}

IoResult Open(const Volume& volume, std::string_view relative, Handle* handle,
              ACCESS_MASK desiredAccess) {
    CreateRequest request;
    request.name = volume.NtName(relative);
    request.desiredAccess = desiredAccess;
    return Create(request, handle);
}

namespace {

// What the I/O manager settles before a read or write reaches the stack:
// the handle, its access, the offset; and a synchronous file object's lock,
// held for the whole request, as its file object lock serialises its I/O.
struct IoStart {
    NTSTATUS status = STATUS_SUCCESS;
    PFILE_OBJECT fo = nullptr;
    bool synchronous = false;
    LONGLONG offset = 0;
    std::unique_lock<std::mutex> lock;
};

IoStart BeginIo(const Handle& handle, IoPath path, ACCESS_MASK needed,
                std::optional<LONGLONG> offset, ULONG length) {
    IoStart start;
    start.fo = handle.FileObject();
    if (start.fo == nullptr) {
        start.status = STATUS_INVALID_HANDLE;
        return start;
    }
    start.synchronous = Synchronous(start.fo);
    if (path != IoPath::Paging && !(fs::GrantedAccess(start.fo) & needed)) {
        start.status = STATUS_ACCESS_DENIED;
        return start;
    }
    if (!offset && !start.synchronous) {
        start.status = STATUS_INVALID_PARAMETER;
        return start;
    }
    if (start.synchronous) {
        start.lock = std::unique_lock<std::mutex>(start.fo->Host->lock);
    }
    start.offset = offset ? *offset : start.fo->CurrentByteOffset.QuadPart;
    // An unbuffered handle moves whole sectors only: refused before any
    // filter sees the request.
    if (path != IoPath::Paging && Unbuffered(start.fo) &&
        !fs::SectorAligned(start.fo->Host->volume, start.offset, length)) {
        start.status = STATUS_INVALID_PARAMETER;
    }
    return start;
}

// A read or a write: one routine, as the two requests' parameters share one
// layout (FLT_PARAMETERS' Read and Write) and differ only in the access they
// need and the file system's routine that moves the bytes.
IoResult Transfer(const Handle& handle, UCHAR major, void* buffer, ULONG length,
                  std::optional<LONGLONG> requestedOffset, IoPath path, ULONG key,
                  CSHORT mdlFlags) {
    static_assert(
        offsetof(FLT_PARAMETERS, Read.ReadBuffer) == offsetof(FLT_PARAMETERS, Write.WriteBuffer) &&
        offsetof(FLT_PARAMETERS, Read.MdlAddress) == offsetof(FLT_PARAMETERS, Write.MdlAddress));
    const bool read = major == IRP_MJ_READ;
    const IoStart start =
        BeginIo(handle, path, read ? FILE_READ_DATA : FILE_WRITE_DATA | FILE_APPEND_DATA,
                requestedOffset, length);
    if (!NT_SUCCESS(start.status)) {
        return {start.status, 0};
    }
    PFILE_OBJECT fo = start.fo;
    const LONGLONG offset = start.offset;
    const bool update = start.synchronous && path != IoPath::Paging;
    auto fsTransfer = [&](Request& q) {
        auto& p = q.iopb.Parameters.Read;  // Write's too
        if (q.iopb.MinorFunction == IRP_MN_COMPLETE_MDL) {
            q.data.IoStatus.Status = STATUS_SUCCESS;  // the lent pages go back
            q.data.IoStatus.Information = 0;
            return;
        }
        // An MDL transfer carries no buffer: the pages lent are the caller's
        // buffer, read into or filled from.
        void* data = q.iopb.MinorFunction == IRP_MN_MDL ? buffer : p.ReadBuffer;
        ULONG_PTR& information = q.data.IoStatus.Information;
        q.data.IoStatus.Status = read ? fs::Read(fo, q.iopb.IrpFlags, p.ByteOffset.QuadPart,
                                                 p.Length, data, update, &information)
                                      : fs::Write(fo, q.iopb.IrpFlags, p.ByteOffset.QuadPart,
                                                  p.Length, data, update, &information);
    };
    // No fast I/O on an unbuffered handle: the file system is not caching it.
    if (path == IoPath::Cached && !Unbuffered(fo)) {
        Request fast(FLTFL_CALLBACK_DATA_FAST_IO_OPERATION, UserMode, major, fo);
        fast.iopb.Parameters.Read.Length = length;
        fast.iopb.Parameters.Read.Key = key;
        fast.iopb.Parameters.Read.ByteOffset.QuadPart = offset;
        fast.iopb.Parameters.Read.ReadBuffer = buffer;
        if (DispatchBelow(fast, fo->Host->flt.openedThrough, fsTransfer) == Outcome::Done) {
            return Result(fast);
        }
    }
    Request r(FLTFL_CALLBACK_DATA_IRP_OPERATION, UserMode, major, fo);
    r.iopb.IrpFlags = IrpFlagsOf(path, fo);
    r.iopb.MinorFunction = MinorOf(path);
    auto& p = r.iopb.Parameters.Read;  // Write's too
    p.Length = length;
    p.Key = key;
    p.ByteOffset.QuadPart = offset;
    MDL mdl = DescribeBuffer(buffer, length, mdlFlags);
    if (path == IoPath::Paging) {
        p.ReadBuffer = buffer;
        p.MdlAddress = &mdl;
    } else if (path == IoPath::MdlComplete) {
        p.MdlAddress = &mdl;
    } else if (path != IoPath::Mdl) {
        p.ReadBuffer = buffer;
    }
    DispatchBelow(r, fo->Host->flt.openedThrough, fsTransfer);
    return Result(r);
}

}  // namespace

IoResult Read(const Handle& handle, const ReadRequest& request) {
    return Transfer(handle, IRP_MJ_READ, request.buffer, request.length, request.offset,
                    request.path, request.key, request.mdlFlags);
}

IoResult Write(const Handle& handle, const WriteRequest& request) {
    return Transfer(handle, IRP_MJ_WRITE, const_cast<void*>(request.buffer), request.length,
                    request.offset, request.path, request.key, request.mdlFlags);
}

IoResult QueryInformation(const Handle& handle, FILE_INFORMATION_CLASS fileInformationClass,
                          void* buffer, ULONG length) {
    PFILE_OBJECT fo = handle.FileObject();
    if (fo == nullptr) {
        return {STATUS_INVALID_HANDLE, 0};
    }
    Request r(FLTFL_CALLBACK_DATA_IRP_OPERATION, UserMode, IRP_MJ_QUERY_INFORMATION, fo);
    r.iopb.Parameters.QueryFileInformation.Length = length;
    r.iopb.Parameters.QueryFileInformation.FileInformationClass = fileInformationClass;
    r.iopb.Parameters.QueryFileInformation.InfoBuffer = buffer;
    DispatchBelow(r, fo->Host->flt.openedThrough, [&](Request& q) {
        auto& query = q.iopb.Parameters.QueryFileInformation;
        q.data.IoStatus.Status =
            fs::QueryInformation(fo, query.FileInformationClass, query.InfoBuffer, query.Length,
                                 &q.data.IoStatus.Information);
    });
    return Result(r);
}

IoResult FileSystemControl(const Handle& handle, const FsControlRequest& request) {
    PFILE_OBJECT fo = handle.FileObject();
    if (fo == nullptr) {
        return {STATUS_INVALID_HANDLE, 0};
    }
    std::vector<UCHAR> system;
    const ULONG size = std::max(request.inputLength, request.outputLength);
    if (!request.nullSystemBuffer && size != 0) {
        system.assign(size, 0);
        if (request.input != nullptr) {
            std::memcpy(system.data(), request.input, request.inputLength);
        }
    }
    Request r(FLTFL_CALLBACK_DATA_IRP_OPERATION, UserMode, IRP_MJ_FILE_SYSTEM_CONTROL, fo);
    r.iopb.MinorFunction = IRP_MN_USER_FS_REQUEST;
    auto& buffered = r.iopb.Parameters.FileSystemControl.Buffered;
    buffered.OutputBufferLength = request.outputLength;
    buffered.InputBufferLength = request.inputLength;
    buffered.FsControlCode = request.code;
    buffered.SystemBuffer = system.empty() ? nullptr : system.data();
    DispatchBelow(r, fo->Host->flt.openedThrough, [&](Request& q) {
        q.data.IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;  // no control code is known here
        q.data.IoStatus.Information = 0;
    });
    const NTSTATUS status = r.data.IoStatus.Status;
    if ((NT_SUCCESS(status) || status == STATUS_BUFFER_OVERFLOW) && request.output != nullptr &&
        !system.empty()) {
        const size_t n = std::min<size_t>(r.data.IoStatus.Information, request.outputLength);
        std::memcpy(request.output, system.data(), n);
    }
    return Result(r);
}

IoResult AcquireForModWrite(const Handle& handle, LONGLONG endingOffset) {
    PFILE_OBJECT fo = handle.FileObject();
    if (fo == nullptr) {
        return {STATUS_INVALID_HANDLE, 0};
    }
    LARGE_INTEGER ending;
    ending.QuadPart = endingOffset;
    PERESOURCE resource = nullptr;
    Request r(FLTFL_CALLBACK_DATA_FS_FILTER_OPERATION, KernelMode, IRP_MJ_ACQUIRE_FOR_MOD_WRITE,
              fo);
    r.iopb.Parameters.AcquireForModifiedPageWriter.EndingOffset = &ending;
    r.iopb.Parameters.AcquireForModifiedPageWriter.ResourceToRelease = &resource;
    auto grant = [](Request& q) { q.data.IoStatus = {}; };
    DispatchBelow(r, fo->Host->flt.openedThrough, grant);
    if (NT_SUCCESS(r.data.IoStatus.Status)) {
        Request release(FLTFL_CALLBACK_DATA_FS_FILTER_OPERATION, KernelMode,
                        IRP_MJ_RELEASE_FOR_MOD_WRITE, fo);
        release.iopb.Parameters.ReleaseForModifiedPageWriter.ResourceToRelease = resource;
        DispatchBelow(release, fo->Host->flt.openedThrough, grant);
    }
    return Result(r);
}

IoResult AcquireForCcFlush(const Handle& handle) {
    PFILE_OBJECT fo = handle.FileObject();
    if (fo == nullptr) {
        return {STATUS_INVALID_HANDLE, 0};
    }
    auto grant = [](Request& q) { q.data.IoStatus = {}; };
    Request r(FLTFL_CALLBACK_DATA_FS_FILTER_OPERATION, KernelMode, IRP_MJ_ACQUIRE_FOR_CC_FLUSH, fo);
    DispatchBelow(r, fo->Host->flt.openedThrough, grant);
    if (NT_SUCCESS(r.data.IoStatus.Status)) {
        Request release(FLTFL_CALLBACK_DATA_FS_FILTER_OPERATION, KernelMode,
                        IRP_MJ_RELEASE_FOR_CC_FLUSH, fo);
        DispatchBelow(release, fo->Host->flt.openedThrough, grant);
    }
    return Result(r);
}

IoResult PrepareMdlWrite(const Handle& handle, LONGLONG offset, ULONG length) {
    PFILE_OBJECT fo = handle.FileObject();
    if (fo == nullptr) {
        return {STATUS_INVALID_HANDLE, 0};
    }
    if (!(fs::GrantedAccess(fo) & (FILE_WRITE_DATA | FILE_APPEND_DATA))) {
        return {STATUS_ACCESS_DENIED, 0};
    }
    // The file system lends pages for the caller to fill; nothing is written yet.
    auto lend = [](Request& q) {
        q.data.IoStatus.Status = STATUS_SUCCESS;
        q.data.IoStatus.Information = q.iopb.MajorFunction == IRP_MJ_WRITE
                                          ? q.iopb.Parameters.Write.Length
                                          : q.iopb.Parameters.PrepareMdlWrite.Length;
    };
    PMDL chain = nullptr;
    Request fast(FLTFL_CALLBACK_DATA_FAST_IO_OPERATION, KernelMode, IRP_MJ_PREPARE_MDL_WRITE, fo);
    fast.iopb.Parameters.PrepareMdlWrite.FileOffset.QuadPart = offset;
    fast.iopb.Parameters.PrepareMdlWrite.Length = length;
    fast.iopb.Parameters.PrepareMdlWrite.MdlChain = &chain;
    if (DispatchBelow(fast, fo->Host->flt.openedThrough, lend) == Outcome::Done) {
        return Result(fast);
    }
    Request r(FLTFL_CALLBACK_DATA_IRP_OPERATION, KernelMode, IRP_MJ_WRITE, fo);
    r.iopb.MinorFunction = IRP_MN_MDL;
    r.iopb.Parameters.Write.Length = length;
    r.iopb.Parameters.Write.ByteOffset.QuadPart = offset;
    DispatchBelow(r, fo->Host->flt.openedThrough, lend);
    return Result(r);
}

}  // namespace host

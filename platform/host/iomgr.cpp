// The I/O manager and the Filter Manager's dispatch: every request becomes
// one FLT_CALLBACK_DATA that passes the pre-operation callbacks from the top
// of the volume's instance stack down, the file system, then the
// post-operation callbacks from the bottom up.
#include <cstring>
#include <set>

#include "platform/host/internal.h"

namespace host {
namespace {

struct IoFaults {
    uint64_t creates = 0;
    uint64_t failCreate = 0;
    NTSTATUS failCreateStatus = STATUS_SUCCESS;
    std::function<void()> hooks[2];
};
std::mutex gFaultsMutex;
IoFaults gFaults;

std::mutex gHandlesMutex;
std::set<HANDLE> gHandles;  // kernel handles from FltCreateFileEx

thread_local char tThreadToken;

// One operation's callback data.
struct Request {
    FLT_IO_PARAMETER_BLOCK iopb{};
    FLT_CALLBACK_DATA data;
    Request(ULONG flags, KPROCESSOR_MODE mode, UCHAR major, PFILE_OBJECT fo)
        : data{flags, (PETHREAD)&tThreadToken, &iopb, {}, nullptr, {}, mode} {
        iopb.MajorFunction = major;
        iopb.TargetFileObject = fo;
    }
    Request(const Request&) = delete;
};

FLT_RELATED_OBJECTS Related(_FLT_INSTANCE* instance, PFILE_OBJECT fo) {
    FLT_RELATED_OBJECTS related = {};
    related.Size = sizeof(related);
    related.Filter = instance->filter;
    related.Volume = &instance->volume->fltVolume;
    related.Instance = instance;
    related.FileObject = fo;
    return related;
}

// Whether a registration's flags skip this read or write.
bool Skipped(FLT_OPERATION_REGISTRATION_FLAGS flags, const Request& r) {
    const UCHAR major = r.iopb.MajorFunction;
    if (major != IRP_MJ_READ && major != IRP_MJ_WRITE) {
        return false;
    }
    const bool paging = r.iopb.IrpFlags & IRP_PAGING_IO;
    const bool nonCached = r.iopb.IrpFlags & IRP_NOCACHE;
    return ((flags & FLTFL_OPERATION_REGISTRATION_SKIP_PAGING_IO) && paging) ||
           ((flags & FLTFL_OPERATION_REGISTRATION_SKIP_CACHED_IO) && !paging && !nonCached) ||
           ((flags & FLTFL_OPERATION_REGISTRATION_SKIP_NON_CACHED_NON_PAGING_IO) && nonCached &&
            !paging);
}

enum class Outcome { Done, FastIoDisallowed };

// Runs one request through the instances (top first) and the file system.
template <class FileSystem>
Outcome Dispatch(Request& r, const std::vector<_FLT_INSTANCE*>& instances, FileSystem&& fs) {
    struct Post {
        _FLT_INSTANCE* instance;
        PFLT_POST_OPERATION_CALLBACK callback;
        PVOID context;
    };
    std::vector<Post> posts;
    const UCHAR major = r.iopb.MajorFunction;
    PFILE_OBJECT fo = r.iopb.TargetFileObject;
    bool completed = false;
    bool disallowed = false;
    for (_FLT_INSTANCE* instance : instances) {
        _FLT_FILTER* filter = instance->filter;
        PFLT_PRE_OPERATION_CALLBACK pre = filter->pre[major];
        PFLT_POST_OPERATION_CALLBACK post = filter->post[major];
        if ((pre == nullptr && post == nullptr) || Skipped(filter->operationFlags[major], r)) {
            continue;
        }
        r.iopb.TargetInstance = instance;
        FLT_PREOP_CALLBACK_STATUS result = FLT_PREOP_SUCCESS_WITH_CALLBACK;
        PVOID context = nullptr;
        if (pre != nullptr) {
            const FLT_RELATED_OBJECTS related = Related(instance, fo);
            FLT_IO_PARAMETER_BLOCK before;
            std::memcpy(&before, &r.iopb, sizeof(before));
            const detail::ThreadBalance balance = detail::CurrentBalance();
            result = pre(&r.data, &related, &context);
            detail::CheckBalance(balance, "a pre-operation callback");
            if (result != FLT_PREOP_COMPLETE && !FltIsCallbackDataDirty(&r.data) &&
                std::memcmp(&before, &r.iopb, sizeof(before)) != 0) {
                detail::BugCheck(
                    "a pre-operation callback changed the parameters without "
                    "FltSetCallbackDataDirty");
            }
        }
        switch (result) {
            case FLT_PREOP_SUCCESS_WITH_CALLBACK:
            case FLT_PREOP_SYNCHRONIZE:  // every request is synchronous here
                if (post != nullptr) {
                    posts.push_back({instance, post, context});
                }
                break;
            case FLT_PREOP_SUCCESS_NO_CALLBACK: break;
            case FLT_PREOP_COMPLETE: completed = true; break;
            case FLT_PREOP_DISALLOW_FASTIO:
                if (!FLT_IS_FASTIO_OPERATION(&r.data)) {
                    detail::BugCheck(
                        "FLT_PREOP_DISALLOW_FASTIO returned for a request that is not fast I/O");
                    completed = true;
                    break;
                }
                disallowed = true;
                break;
            default:
                detail::BugCheck("pre-operation result " + std::to_string((int)result) +
                                 " (pending requests are not modelled)");
                completed = true;
                break;
        }
        if (completed || disallowed) {
            break;
        }
    }
    if (disallowed) {
        r.data.IoStatus.Status = STATUS_FLT_DISALLOW_FAST_IO;
        r.data.IoStatus.Information = 0;
    } else if (!completed) {
        fs(r);
        if (major == IRP_MJ_CREATE && fo->Host->opened) {
            detail::RunHook(HookPoint::PostCreate);
        }
    }
    r.data.Flags |= FLTFL_CALLBACK_DATA_POST_OPERATION;
    for (auto it = posts.rbegin(); it != posts.rend(); ++it) {
        r.iopb.TargetInstance = it->instance;
        const FLT_RELATED_OBJECTS related = Related(it->instance, fo);
        const detail::ThreadBalance balance = detail::CurrentBalance();
        const FLT_POSTOP_CALLBACK_STATUS result = it->callback(&r.data, &related, it->context, 0);
        detail::CheckBalance(balance, "a post-operation callback");
        if (result != FLT_POSTOP_FINISHED_PROCESSING) {
            detail::BugCheck("post-operation result " + std::to_string((int)result) +
                             " (deferred completion is not modelled)");
        }
    }
    return disallowed ? Outcome::FastIoDisallowed : Outcome::Done;
}

// Runs a request through the instances below `through` on the file's volume.
template <class FileSystem>
Outcome DispatchBelow(Request& r, _FLT_INSTANCE* through, FileSystem&& fs) {
    const std::vector<_FLT_INSTANCE*> instances =
        detail::AcquireInstances(r.iopb.TargetFileObject->Host->volume, through);
    const Outcome outcome = Dispatch(r, instances, fs);
    detail::ReleaseInstances(instances);
    return outcome;
}

IoResult Result(const Request& r) { return {r.data.IoStatus.Status, r.data.IoStatus.Information}; }

ACCESS_MASK MapGenericAccess(ACCESS_MASK a) {
    constexpr ACCESS_MASK kAll = 0x001F01FF;  // FILE_ALL_ACCESS
    if (a & (GENERIC_ALL | MAXIMUM_ALLOWED)) {
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
    return a & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL | MAXIMUM_ALLOWED);
}

// The create of an initialised file object, through the instances below
// `through`. On failure the file object holds no host file.
NTSTATUS CreateFileObject(_FLT_INSTANCE* through, PFILE_OBJECT fo,
                          const detail::CreateParameters& p, ULONG fileAttributes,
                          const std::vector<GUID>& extraCreateParameters, KPROCESSOR_MODE mode,
                          ULONG_PTR* information) {
    HostFileObject* h = fo->Host;
    _ECP_LIST ecps;
    ecps.types = extraCreateParameters;
    h->ecpList = ecps.types.empty() ? nullptr : &ecps;
    h->caseInsensitive = p.caseInsensitive;
    h->openedThrough = through;
    h->inCreate = true;
    if (p.volumeOpen) {
        fo->Flags |= FO_VOLUME_OPEN;
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
        q.data.IoStatus.Status = detail::FsCreate(fo, p, &info);
        q.data.IoStatus.Information = info;
    });
    h->inCreate = false;
    h->ecpList = nullptr;
    const NTSTATUS status = r.data.IoStatus.Status;
    *information = r.data.IoStatus.Information;
    if (h->opened && h->cancelled) {
        // FltCancelFileOpen: the file system closes what it opened.
        if (NT_SUCCESS(status)) {
            detail::BugCheck("FltCancelFileOpen without a failure status for the create");
        }
        detail::FsCleanup(fo);
        detail::ReleaseDetached(detail::FsClose(fo));
        h->opened = false;
        return status;
    }
    if (h->opened && !NT_SUCCESS(status)) {
        detail::BugCheck("a post-create failed an open without FltCancelFileOpen");
    }
    if (!h->opened && NT_SUCCESS(status)) {
        detail::BugCheck("a create completed with success that no file system opened");
    }
    return status;
}

NTSTATUS ParseCreate(const std::u16string& name, Volume::Impl** volume, std::u16string* rest) {
    *volume = detail::FindVolume(name);
    if (*volume == nullptr) {
        return STATUS_OBJECT_PATH_NOT_FOUND;
    }
    *rest = name.substr((*volume)->deviceName.size());
    return STATUS_SUCCESS;
}

detail::CreateParameters Parameters(const std::u16string& rest, ACCESS_MASK access,
                                    ULONG attributes, ULONG share, ULONG disposition, ULONG options,
                                    UCHAR flags) {
    detail::CreateParameters p;
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

ULONG IrpFlagsOf(IoPath path, bool synchronous) {
    switch (path) {
        case IoPath::NonCached: return IRP_NOCACHE | (synchronous ? IRP_SYNCHRONOUS_API : 0);
        case IoPath::Paging: return IRP_PAGING_IO | IRP_NOCACHE | IRP_SYNCHRONOUS_PAGING_IO;
        default: return synchronous ? IRP_SYNCHRONOUS_API : 0;
    }
}

UCHAR MinorOf(IoPath path) {
    return path == IoPath::Mdl           ? IRP_MN_MDL
           : path == IoPath::MdlComplete ? IRP_MN_COMPLETE_MDL
                                         : IRP_MN_NORMAL;
}

}  // namespace

// ---- Fault injection and hooks ----

void FailCreate(uint64_t nth, NTSTATUS status) {
    std::lock_guard<std::mutex> lock(gFaultsMutex);
    gFaults.failCreate = nth;
    gFaults.failCreateStatus = status;
}

uint64_t CreateCount() {
    std::lock_guard<std::mutex> lock(gFaultsMutex);
    return gFaults.creates;
}

void SetHook(HookPoint point, std::function<void()> hook) {
    std::lock_guard<std::mutex> lock(gFaultsMutex);
    gFaults.hooks[(int)point] = std::move(hook);
}

namespace detail {

void ResetIoFaults() {
    {
        std::lock_guard<std::mutex> lock(gFaultsMutex);
        gFaults = IoFaults();
    }
    ResetIoFaultsOfKernel();
}

bool NextCreateFails(NTSTATUS* status) {
    std::lock_guard<std::mutex> lock(gFaultsMutex);
    if (++gFaults.creates == gFaults.failCreate) {
        *status = gFaults.failCreateStatus;
        return true;
    }
    return false;
}

void RunHook(HookPoint point) {
    std::function<void()> hook;
    {
        std::lock_guard<std::mutex> lock(gFaultsMutex);
        hook = gFaults.hooks[(int)point];
    }
    if (hook) {
        hook();
    }
}

NTSTATUS ReadBelow(_FLT_INSTANCE* through, PFILE_OBJECT fo, LONGLONG offset, ULONG length,
                   void* buffer, ULONG flags, ULONG_PTR* information) {
    const bool paging = flags & FLTFL_IO_OPERATION_PAGING;
    const bool update =
        Synchronous(fo) && !paging && !(flags & FLTFL_IO_OPERATION_DO_NOT_UPDATE_BYTE_OFFSET);
    const std::vector<_FLT_INSTANCE*> instances = AcquireInstances(fo->Host->volume, through);
    if (instances.empty()) {
        return FsRead(fo, offset, length, buffer, update, information);
    }
    Request r(FLTFL_CALLBACK_DATA_IRP_OPERATION | FLTFL_CALLBACK_DATA_GENERATED_IO, KernelMode,
              IRP_MJ_READ, fo);
    r.iopb.IrpFlags = (paging ? IRP_PAGING_IO | IRP_NOCACHE : 0) |
                      ((flags & FLTFL_IO_OPERATION_NON_CACHED) ? IRP_NOCACHE : 0);
    r.iopb.Parameters.Read.Length = length;
    r.iopb.Parameters.Read.ByteOffset.QuadPart = offset;
    r.iopb.Parameters.Read.ReadBuffer = buffer;
    Dispatch(r, instances, [&](Request& q) {
        auto& read = q.iopb.Parameters.Read;
        q.data.IoStatus.Status = FsRead(fo, read.ByteOffset.QuadPart, read.Length, read.ReadBuffer,
                                        update, &q.data.IoStatus.Information);
    });
    ReleaseInstances(instances);
    *information = r.data.IoStatus.Information;
    return r.data.IoStatus.Status;
}

NTSTATUS QueryBelow(_FLT_INSTANCE* through, PFILE_OBJECT fo, FILE_INFORMATION_CLASS fileClass,
                    void* buffer, ULONG length, ULONG_PTR* information) {
    Request r(FLTFL_CALLBACK_DATA_IRP_OPERATION | FLTFL_CALLBACK_DATA_GENERATED_IO, KernelMode,
              IRP_MJ_QUERY_INFORMATION, fo);
    r.iopb.Parameters.QueryFileInformation.Length = length;
    r.iopb.Parameters.QueryFileInformation.FileInformationClass = fileClass;
    r.iopb.Parameters.QueryFileInformation.InfoBuffer = buffer;
    DispatchBelow(r, through, [&](Request& q) {
        auto& query = q.iopb.Parameters.QueryFileInformation;
        q.data.IoStatus.Status =
            FsQueryInformation(fo, query.FileInformationClass, query.InfoBuffer, query.Length,
                               &q.data.IoStatus.Information);
    });
    *information = r.data.IoStatus.Information;
    return r.data.IoStatus.Status;
}

void CleanupFileObject(PFILE_OBJECT fo, _FLT_INSTANCE* through) {
    Request r(FLTFL_CALLBACK_DATA_IRP_OPERATION, KernelMode, IRP_MJ_CLEANUP, fo);
    DispatchBelow(r, through, [&](Request& q) {
        FsCleanup(fo);
        q.data.IoStatus.Status = STATUS_SUCCESS;
    });
}

void DereferenceFileObject(PFILE_OBJECT fo) {
    if (fo == nullptr || fo->Host == nullptr) {
        BugCheck("ObfDereferenceObject: not a file object");
        return;
    }
    const long left = --fo->Host->references;
    if (left > 0) {
        return;
    }
    if (left < 0) {
        BugCheck("ObfDereferenceObject: a file object dereferenced once too often");
        return;
    }
    std::vector<ContextRecord*> detached;
    if (fo->Host->volume == nullptr) {
        detached = FsClose(fo);
    } else {
        Request r(FLTFL_CALLBACK_DATA_IRP_OPERATION, KernelMode, IRP_MJ_CLOSE, fo);
        const std::vector<_FLT_INSTANCE*> instances =
            AcquireInstances(fo->Host->volume, fo->Host->openedThrough);
        Dispatch(r, instances, [&](Request& q) {
            detached = FsClose(fo);
            q.data.IoStatus.Status = STATUS_SUCCESS;
        });
        ReleaseInstances(instances);
        if (fo->Host->fd >= 0) {
            BugCheck("a filter completed IRP_MJ_CLOSE: the file system never saw the close");
            detached = FsClose(fo);
        }
    }
    ReleaseDetached(detached);
    FreeFileObject(fo);
}

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
    const CreateParameters p =
        Parameters(rest, access, attributes, shareAccess, disposition, options, operationFlags);
    status = CreateFileObject(through, fo, p, FILE_ATTRIBUTE_NORMAL, {}, mode, information);
    if (!NT_SUCCESS(status)) {
        FreeFileObject(fo);
        return status;
    }
    *fileObject = fo;
    return status;
}

}  // namespace detail

// ---- Handles ----

Handle::~Handle() { Close(); }

Handle::Handle(Handle&& other) noexcept : fileObject_(other.fileObject_) {
    other.fileObject_ = nullptr;
}

Handle& Handle::operator=(Handle&& other) noexcept {
    if (this != &other) {
        Close();
        fileObject_ = other.fileObject_;
        other.fileObject_ = nullptr;
    }
    return *this;
}

IoResult Handle::Close() {
    PFILE_OBJECT fo = fileObject_;
    if (fo == nullptr) {
        return {STATUS_SUCCESS, 0};
    }
    fileObject_ = nullptr;
    detail::CleanupFileObject(fo, fo->Host->openedThrough);
    detail::DereferenceFileObject(fo);
    return {STATUS_SUCCESS, 0};
}

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
    const detail::CreateParameters p =
        Parameters(rest, request.desiredAccess, request.objectAttributes, request.shareAccess,
                   request.disposition, request.createOptions, request.operationFlags);
    const bool synchronous =
        request.createOptions & (FILE_SYNCHRONOUS_IO_ALERT | FILE_SYNCHRONOUS_IO_NONALERT);
    ULONG_PTR information = 0;
    if (request.fileObjectOnStack) {
        FILE_OBJECT onStack;
        detail::InitFileObject(&onStack, volume, rest, synchronous);
        onStack.Host->onStack = true;
        status =
            CreateFileObject(nullptr, &onStack, p, request.fileAttributes,
                             request.extraCreateParameters, request.requestorMode, &information);
        if (NT_SUCCESS(status)) {
            detail::CleanupFileObject(&onStack, nullptr);
            detail::DereferenceFileObject(&onStack);
        } else {
            detail::FreeFileObject(&onStack);
        }
        return {status, information};
    }
    PFILE_OBJECT fo = detail::NewFileObject(volume, rest, synchronous);
    status = CreateFileObject(nullptr, fo, p, request.fileAttributes, request.extraCreateParameters,
                              request.requestorMode, &information);
    if (!NT_SUCCESS(status)) {
        detail::FreeFileObject(fo);
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

IoStart BeginIo(const Handle& handle, IoPath path, ACCESS_MASK needed, std::optional<LONGLONG> offset) {
    IoStart start;
    start.fo = handle.FileObject();
    if (start.fo == nullptr) {
        start.status = STATUS_INVALID_HANDLE;
        return start;
    }
    start.synchronous = Synchronous(start.fo);
    if (path != IoPath::Paging && !(start.fo->Host->grantedAccess & needed)) {
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
    return start;
}

}  // namespace

IoResult Read(const Handle& handle, const ReadRequest& request) {
    const IoStart start = BeginIo(handle, request.path, FILE_READ_DATA, request.offset);
    if (!NT_SUCCESS(start.status)) {
        return {start.status, 0};
    }
    PFILE_OBJECT fo = start.fo;
    const bool synchronous = start.synchronous;
    const LONGLONG offset = start.offset;
    const bool update = synchronous && request.path != IoPath::Paging;
    auto fsRead = [&](Request& q) {
        auto& read = q.iopb.Parameters.Read;
        if (q.iopb.MinorFunction == IRP_MN_COMPLETE_MDL) {
            q.data.IoStatus.Status = STATUS_SUCCESS;  // the lent pages go back
            q.data.IoStatus.Information = 0;
            return;
        }
        // An MDL read carries no buffer: the pages lent are the caller's buffer.
        void* to = q.iopb.MinorFunction == IRP_MN_MDL ? request.buffer : read.ReadBuffer;
        q.data.IoStatus.Status = detail::FsRead(fo, read.ByteOffset.QuadPart, read.Length, to,
                                                update, &q.data.IoStatus.Information);
    };
    if (request.path == IoPath::Cached) {
        Request fast(FLTFL_CALLBACK_DATA_FAST_IO_OPERATION, UserMode, IRP_MJ_READ, fo);
        fast.iopb.Parameters.Read.Length = request.length;
        fast.iopb.Parameters.Read.Key = request.key;
        fast.iopb.Parameters.Read.ByteOffset.QuadPart = offset;
        fast.iopb.Parameters.Read.ReadBuffer = request.buffer;
        if (DispatchBelow(fast, fo->Host->openedThrough, fsRead) == Outcome::Done) {
            return Result(fast);
        }
    }
    Request r(FLTFL_CALLBACK_DATA_IRP_OPERATION, UserMode, IRP_MJ_READ, fo);
    r.iopb.IrpFlags = IrpFlagsOf(request.path, synchronous);
    r.iopb.MinorFunction = MinorOf(request.path);
    r.iopb.Parameters.Read.Length = request.length;
    r.iopb.Parameters.Read.Key = request.key;
    r.iopb.Parameters.Read.ByteOffset.QuadPart = offset;
    MDL mdl = DescribeBuffer(request.buffer, request.length, request.mdlFlags);
    if (request.path == IoPath::Paging) {
        r.iopb.Parameters.Read.ReadBuffer = request.buffer;
        r.iopb.Parameters.Read.MdlAddress = &mdl;
    } else if (request.path == IoPath::MdlComplete) {
        r.iopb.Parameters.Read.MdlAddress = &mdl;
    } else if (request.path != IoPath::Mdl) {
        r.iopb.Parameters.Read.ReadBuffer = request.buffer;
    }
    DispatchBelow(r, fo->Host->openedThrough, fsRead);
    return Result(r);
}

IoResult Write(const Handle& handle, const WriteRequest& request) {
    const IoStart start =
        BeginIo(handle, request.path, FILE_WRITE_DATA | FILE_APPEND_DATA, request.offset);
    if (!NT_SUCCESS(start.status)) {
        return {start.status, 0};
    }
    PFILE_OBJECT fo = start.fo;
    const bool synchronous = start.synchronous;
    const LONGLONG offset = start.offset;
    const bool paging = request.path == IoPath::Paging;
    auto fsWrite = [&](Request& q) {
        auto& write = q.iopb.Parameters.Write;
        if (q.iopb.MinorFunction == IRP_MN_COMPLETE_MDL) {
            q.data.IoStatus.Status = STATUS_SUCCESS;
            q.data.IoStatus.Information = 0;
            return;
        }
        // An MDL write's pages are filled by the caller: here, from its buffer.
        const void* from = q.iopb.MinorFunction == IRP_MN_MDL ? request.buffer : write.WriteBuffer;
        q.data.IoStatus.Status =
            detail::FsWrite(fo, write.ByteOffset.QuadPart, write.Length, from, paging,
                            synchronous && !paging, &q.data.IoStatus.Information);
    };
    if (request.path == IoPath::Cached) {
        Request fast(FLTFL_CALLBACK_DATA_FAST_IO_OPERATION, UserMode, IRP_MJ_WRITE, fo);
        fast.iopb.Parameters.Write.Length = request.length;
        fast.iopb.Parameters.Write.Key = request.key;
        fast.iopb.Parameters.Write.ByteOffset.QuadPart = offset;
        fast.iopb.Parameters.Write.WriteBuffer = (PVOID)request.buffer;
        if (DispatchBelow(fast, fo->Host->openedThrough, fsWrite) == Outcome::Done) {
            return Result(fast);
        }
    }
    Request r(FLTFL_CALLBACK_DATA_IRP_OPERATION, UserMode, IRP_MJ_WRITE, fo);
    r.iopb.IrpFlags = IrpFlagsOf(request.path, synchronous);
    r.iopb.MinorFunction = MinorOf(request.path);
    r.iopb.Parameters.Write.Length = request.length;
    r.iopb.Parameters.Write.Key = request.key;
    r.iopb.Parameters.Write.ByteOffset.QuadPart = offset;
    MDL mdl = DescribeBuffer(request.buffer, request.length, request.mdlFlags);
    if (paging) {
        r.iopb.Parameters.Write.WriteBuffer = (PVOID)request.buffer;
        r.iopb.Parameters.Write.MdlAddress = &mdl;
    } else if (request.path == IoPath::MdlComplete) {
        r.iopb.Parameters.Write.MdlAddress = &mdl;
    } else if (request.path != IoPath::Mdl) {
        r.iopb.Parameters.Write.WriteBuffer = (PVOID)request.buffer;
    }
    DispatchBelow(r, fo->Host->openedThrough, fsWrite);
    return Result(r);
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
    DispatchBelow(r, fo->Host->openedThrough, [&](Request& q) {
        auto& query = q.iopb.Parameters.QueryFileInformation;
        q.data.IoStatus.Status =
            detail::FsQueryInformation(fo, query.FileInformationClass, query.InfoBuffer,
                                       query.Length, &q.data.IoStatus.Information);
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
    DispatchBelow(r, fo->Host->openedThrough, [&](Request& q) {
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
    DispatchBelow(r, fo->Host->openedThrough, grant);
    if (NT_SUCCESS(r.data.IoStatus.Status)) {
        Request release(FLTFL_CALLBACK_DATA_FS_FILTER_OPERATION, KernelMode,
                        IRP_MJ_RELEASE_FOR_MOD_WRITE, fo);
        release.iopb.Parameters.ReleaseForModifiedPageWriter.ResourceToRelease = resource;
        DispatchBelow(release, fo->Host->openedThrough, grant);
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
    DispatchBelow(r, fo->Host->openedThrough, grant);
    if (NT_SUCCESS(r.data.IoStatus.Status)) {
        Request release(FLTFL_CALLBACK_DATA_FS_FILTER_OPERATION, KernelMode,
                        IRP_MJ_RELEASE_FOR_CC_FLUSH, fo);
        DispatchBelow(release, fo->Host->openedThrough, grant);
    }
    return Result(r);
}

IoResult PrepareMdlWrite(const Handle& handle, LONGLONG offset, ULONG length) {
    PFILE_OBJECT fo = handle.FileObject();
    if (fo == nullptr) {
        return {STATUS_INVALID_HANDLE, 0};
    }
    if (!(fo->Host->grantedAccess & (FILE_WRITE_DATA | FILE_APPEND_DATA))) {
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
    if (DispatchBelow(fast, fo->Host->openedThrough, lend) == Outcome::Done) {
        return Result(fast);
    }
    Request r(FLTFL_CALLBACK_DATA_IRP_OPERATION, KernelMode, IRP_MJ_WRITE, fo);
    r.iopb.MinorFunction = IRP_MN_MDL;
    r.iopb.Parameters.Write.Length = length;
    r.iopb.Parameters.Write.ByteOffset.QuadPart = offset;
    DispatchBelow(r, fo->Host->openedThrough, lend);
    return Result(r);
}

}  // namespace host

extern "C" {

NTSTATUS FLTAPI FltCreateFileEx(PFLT_FILTER, PFLT_INSTANCE Instance, PHANDLE FileHandle,
                                PFILE_OBJECT* FileObject, ACCESS_MASK DesiredAccess,
                                POBJECT_ATTRIBUTES ObjectAttributes, PIO_STATUS_BLOCK IoStatusBlock,
                                PLARGE_INTEGER, ULONG, ULONG ShareAccess, ULONG CreateDisposition,
                                ULONG CreateOptions, PVOID, ULONG, ULONG Flags) {
    auto finish = [&](NTSTATUS status, ULONG_PTR information) {
        return host::detail::FinishCreateFile(IoStatusBlock, status, information);
    };
    std::u16string name;
    const NTSTATUS begun = host::detail::BeginCreateFile(FileHandle, FileObject, ObjectAttributes, &name);
    if (!NT_SUCCESS(begun)) {
        return finish(begun, 0);
    }
    PFILE_OBJECT fo;
    ULONG_PTR information;
    const NTSTATUS status = host::detail::CreateBelow(
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
    {
        std::lock_guard<std::mutex> lock(host::gHandlesMutex);
        if (host::gHandles.erase(FileHandle) == 0) {
            host::detail::BugCheck("FltClose: invalid handle");
            return STATUS_INVALID_HANDLE;
        }
    }
    auto fo = (PFILE_OBJECT)FileHandle;
    host::detail::CleanupFileObject(fo, fo->Host->openedThrough);
    host::detail::DereferenceFileObject(fo);
    return STATUS_SUCCESS;
}

VOID FASTCALL ObfDereferenceObject(PVOID Object) {
    host::detail::DereferenceFileObject((PFILE_OBJECT)Object);
}

NTSTATUS FLTAPI FltReadFile(PFLT_INSTANCE InitiatingInstance, PFILE_OBJECT FileObject,
                            PLARGE_INTEGER ByteOffset, ULONG Length, PVOID Buffer, ULONG Flags,
                            PULONG BytesRead, PFLT_COMPLETED_ASYNC_IO_CALLBACK CallbackRoutine,
                            PVOID) {
    if (BytesRead != nullptr) {
        *BytesRead = 0;
    }
    if (FileObject == nullptr || FileObject->Host == nullptr || FileObject->Host->fd < 0) {
        host::detail::BugCheck("FltReadFile: not an open file object");
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
    if (host::detail::NextRead(&injected, &limit)) {
        return injected;
    }
    ULONG_PTR done = 0;
    const NTSTATUS status = host::detail::ReadBelow(InitiatingInstance, FileObject, offset,
                                                    std::min(limit, Length), Buffer, Flags, &done);
    if (BytesRead != nullptr) {
        *BytesRead = (ULONG)done;
    }
    return status;
}

}  // extern "C"

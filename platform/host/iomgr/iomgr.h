// The I/O manager's requests, as an application's (or a kernel component's)
// calls make them.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/host/fs/fs.h"
#include "platform/host/kernel.h"

namespace host {

// Requests as an application's (or a kernel component's) calls make them:
// each builds the FLT_CALLBACK_DATA of one operation, runs the pre-operation
// callbacks of the instances on the file's volume from the top down, honours
// each result, performs the operation on the host file system, then runs
// the post-operation callbacks from the bottom up. Callbacks run on the
// calling thread. Every call is thread-safe and returns what the caller
// would see: the status and the information value.
//
// Lengths are not checked against per-class minimums as NtQueryInformationFile
// would: the requests are those a kernel-mode caller sends, so a short buffer
// reaches the filter and the file system, which answer as NTFS does.
struct IoResult {
    NTSTATUS status;
    ULONG_PTR information;
};

struct CreateRequest {
    std::u16string name = {};  // NT name beginning with a volume's device name
    ACCESS_MASK desiredAccess = GENERIC_READ | SYNCHRONIZE;
    ULONG shareAccess = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    ULONG disposition = FILE_OPEN;
    ULONG createOptions = FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE;
    ULONG fileAttributes = FILE_ATTRIBUTE_NORMAL;
    ULONG objectAttributes = OBJ_CASE_INSENSITIVE;  // OBJ_CASE_INSENSITIVE or 0
    // SL_OPEN_TARGET_DIRECTORY, SL_OPEN_PAGING_FILE, SL_STOP_ON_SYMLINK,
    // SL_CASE_SENSITIVE, as the stack location's flags.
    UCHAR operationFlags = 0;
    // Each becomes an extra create parameter of that type (with an empty
    // context) in the create's ECP list; none means no list.
    std::vector<GUID> extraCreateParameters = {};
    // The file object lives on the calling thread's stack, as those of
    // file-system-internal opens do. The open is closed again before Create
    // returns, so the handle stays empty.
    bool fileObjectOnStack = false;
    KPROCESSOR_MODE requestorMode = UserMode;
};

// An open handle to a file object. Closing it (Close or the destructor)
// sends IRP_MJ_CLEANUP through the filters, then drops the handle's
// reference; IRP_MJ_CLOSE follows when the file object's last reference
// goes, and the stream is torn down (its stream contexts deleted) when its
// last file object closes.
class Handle {
public:
    Handle() = default;
    ~Handle();
    Handle(Handle&& other) noexcept;
    Handle& operator=(Handle&& other) noexcept;
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;

    explicit operator bool() const { return fileObject_ != nullptr; }
    PFILE_OBJECT FileObject() const { return fileObject_; }
    IoResult Close();  // the cleanup's result; closing an empty handle does nothing

private:
    friend IoResult Create(const CreateRequest& request, Handle* handle);
    PFILE_OBJECT fileObject_ = nullptr;
};

// NtCreateFile. On success *handle owns the open (any earlier one is closed
// first); information is FILE_OPENED, FILE_CREATED, ... as the file system
// answered, or what a filter completed the create with.
IoResult Create(const CreateRequest& request, Handle* handle);
// Shorthand: opens volume-relative "dir/file" for the given access.
IoResult Open(const Volume& volume, std::string_view relative, Handle* handle,
              ACCESS_MASK desiredAccess = GENERIC_READ | SYNCHRONIZE);

// A stream that cached I/O reached stays, with its stream contexts, after
// its last file object closes, as NTFS keeps it while the cache holds it: a
// reopen finds the same stream. The lazy closer tears such streams down
// later, on its own thread at APC_LEVEL (every few seconds, or now: this
// returns once it has), and a volume's go with it.
void FlushLazyClose();

// While one lives, the closer makes no pass of its own, only the ones
// FlushLazyClose asks for: a test that reopens a cached stream does not
// depend on when the next pass would fall.
class LazyCloseHold {
public:
    LazyCloseHold();
    ~LazyCloseHold();
    LazyCloseHold(const LazyCloseHold&) = delete;
    LazyCloseHold& operator=(const LazyCloseHold&) = delete;
};

// How a read or write travels.
enum class IoPath {
    Cached,       // fast I/O first; an IRP when a filter refuses it (FLT_PREOP_DISALLOW_FASTIO)
    Irp,          // a cached IRP only
    NonCached,    // IRP_NOCACHE
    Paging,       // IRP_PAGING_IO | IRP_NOCACHE | IRP_SYNCHRONOUS_PAGING_IO, buffer behind an MDL
    Mdl,          // IRP_MN_MDL: the file system lends its own pages (copied into the buffer)
    MdlComplete,  // IRP_MN_COMPLETE_MDL: the pages are handed back
};

struct ReadRequest {
    void* buffer = nullptr;  // may be null: the request then carries no buffer
    ULONG length = 0;
    // None: the current byte offset of a synchronous handle (others fail
    // with STATUS_INVALID_PARAMETER), as NtReadFile without ByteOffset.
    std::optional<LONGLONG> offset = std::nullopt;
    IoPath path = IoPath::Irp;
    ULONG key = 0;
    // For IoPath::Paging: the MDL's flags. The default describes locked
    // pages not yet mapped to system space, which a filter maps with
    // MmMapLockedPagesSpecifyCache; MDL_MAPPED_TO_SYSTEM_VA or
    // MDL_SOURCE_IS_NONPAGED_POOL describe a buffer that needs no mapping.
    CSHORT mdlFlags = MDL_PAGES_LOCKED;
};
IoResult Read(const Handle& handle, const ReadRequest& request);

struct WriteRequest {
    const void* buffer = nullptr;
    ULONG length = 0;
    std::optional<LONGLONG> offset =
        std::nullopt;  // none: the current byte offset of a synchronous handle
    IoPath path = IoPath::Irp;
    ULONG key = 0;
    CSHORT mdlFlags = MDL_PAGES_LOCKED;
};
// Needs a handle opened with FILE_WRITE_DATA or FILE_APPEND_DATA
// (STATUS_ACCESS_DENIED before any filter sees it otherwise).
IoResult Write(const Handle& handle, const WriteRequest& request);

// IRP_MJ_QUERY_INFORMATION into the caller's buffer.
IoResult QueryInformation(const Handle& handle, FILE_INFORMATION_CLASS fileInformationClass,
                          void* buffer, ULONG length);

// IRP_MJ_FILE_SYSTEM_CONTROL, IRP_MN_USER_FS_REQUEST, for METHOD_BUFFERED
// codes: the system buffer is as large as the larger of the two lengths,
// holds the input on the way down, and the first information bytes of it
// (at most outputLength) are copied to output on success. Codes the file
// system does not know fail with STATUS_INVALID_DEVICE_REQUEST.
struct FsControlRequest {
    ULONG code = 0;
    const void* input = nullptr;
    ULONG inputLength = 0;
    void* output = nullptr;
    ULONG outputLength = 0;
    bool nullSystemBuffer = false;  // no system buffer whatever the lengths
};
IoResult FileSystemControl(const Handle& handle, const FsControlRequest& request);

// The write-related operations the memory manager and cache manager issue.
// The two acquires are file-system filter operations; when they succeed the
// matching release follows. PrepareMdlWrite is a fast I/O operation; refused
// with FLT_PREOP_DISALLOW_FASTIO it is retried as an IRP_MJ_WRITE with
// IRP_MN_MDL. The file system grants each without writing anything.
IoResult AcquireForModWrite(const Handle& handle, LONGLONG endingOffset);
IoResult AcquireForCcFlush(const Handle& handle);
IoResult PrepareMdlWrite(const Handle& handle, LONGLONG offset, ULONG length);

}  // namespace host

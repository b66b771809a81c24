// The host platform's own interface, for tests and tools: volumes, fault
// injection, pool accounting, the debug sink. Driver code never includes it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>
#include <cstdarg>

#include "platform/host/kernel.h"

namespace host {

// Status names as the platform spells them ("STATUS_END_OF_FILE"); an unknown
// value gives "0x...".
std::string StatusName(NTSTATUS status);

// UTF-8 <-> UTF-16 for test and tool code.
std::u16string Utf16(std::string_view utf8);
std::string Utf8(std::u16string_view utf16);
std::string Utf8(PCUNICODE_STRING s);

// ---- Pool ----
struct Allocation {
    const void* address;
    size_t size;
    ULONG tag;
    bool fltAligned;  // from FltAllocatePoolAlignedWithTag
    bool platform;    // the Filter Manager's: a context or name information
};
size_t PoolOutstanding();            // allocations not yet freed
size_t PoolOutstanding(ULONG tag);
std::vector<Allocation> PoolAllocations();
uint64_t PoolAllocationCount();      // allocations attempted since the last ResetFaults()
// The largest single allocation the pool grants; larger requests fail as a
// real non-paged pool would. Default 1 GiB.
void SetPoolAllocationLimit(size_t bytes);

// Pool misuse (wrong tag, double free, unknown pointer, wrong free routine)
// and the other contract violations a checked kernel or Driver Verifier stops
// on (a callback returning inside a critical region, a context referenced
// after unload, ...) are bug checks. By default it aborts with a message; a test may count them.
using BugCheckHandler = std::function<void(std::string_view what)>;
void SetBugCheckHandler(BugCheckHandler handler);  // empty: abort

// ---- Fault injection (counted from the last ResetFaults()) ----
void ResetFaults();
void FailAllocation(uint64_t nth);                  // the nth allocation (1-based) fails
void FailAllocationOfTag(ULONG tag, uint64_t nth);  // the nth allocation of that tag fails
void FailRead(uint64_t nth, NTSTATUS status);       // the nth FltReadFile returns status
void ShortenRead(uint64_t nth, ULONG bytes);        // the nth FltReadFile moves at most bytes
uint64_t ReadCount();                               // FltReadFile calls since ResetFaults()
bool FaultInjected();                               // whether an armed fault has fired

// ---- Access faults ----
// A write into the armed range, from RtlZeroMemory, RtlCopyMemory or
// FltReadFile, raises host::AccessViolation (declared in kernel.h), as
// Windows raises an access violation.
void ArmAccessFault(const void* begin, size_t length);  // one range; length 0 disarms

// ---- Debug output ----
struct DebugLine {
    bool ex;  // DbgPrintEx (else DbgPrint)
    ULONG component;
    ULONG level;
    std::string text;
};
// Formats with the platform's conversions (%wZ, %I64d, %I64x, %I64X, %llx,
// %016llx, %x, %d, %u, %s, %ws, %c, %p, %%), LLP64 widths: %lx is 32 bits.
std::string FormatDebug(const char* format, va_list args);
using DebugSink = std::function<void(const DebugLine&)>;
void SetDebugSink(DebugSink sink);  // empty: discard

// Captures every debug line while alive.
class DebugCapture {
public:
    DebugCapture();
    ~DebugCapture();
    DebugCapture(const DebugCapture&) = delete;
    DebugCapture& operator=(const DebugCapture&) = delete;
    std::vector<DebugLine> Lines() const;
    std::vector<std::string> Texts() const;  // text of every line, in order
    bool Contains(std::string_view text) const;
    void Clear();

private:
    mutable std::mutex mutex_;
    std::vector<DebugLine> lines_;
    DebugSink previous_;  // restored when the capture ends
};

// ---- Volumes ----
// The device type a volume's instances are offered with.
enum class DeviceType : ULONG {
    Disk = FILE_DEVICE_DISK_FILE_SYSTEM,
    CdRom = FILE_DEVICE_CD_ROM_FILE_SYSTEM,
    NetworkFileSystem = FILE_DEVICE_NETWORK_FILE_SYSTEM,
};

// A host directory served as a volume: \Device\HarddiskVolumeN (or
// \Device\Mup\serverN for a network file system). Names beneath it are NT
// names, resolved beneath the root only. Mounting offers the volume to every
// filter that is filtering (instance setup with
// FLTFL_INSTANCE_SETUP_NEWLY_MOUNTED_VOLUME); destroying it tears their
// instances down (FLTFL_INSTANCE_TEARDOWN_VOLUME_DISMOUNT). Close every
// handle on a volume before destroying it.
class Volume {
public:
    // fileSystem FLT_FSTYPE_UNKNOWN means NTFS for a disk, CDFS for a CD-ROM
    // and LANMAN for a network file system.
    explicit Volume(std::filesystem::path root, DeviceType type = DeviceType::Disk,
                    FLT_FILESYSTEM_TYPE fileSystem = FLT_FSTYPE_UNKNOWN);
    ~Volume();
    Volume(const Volume&) = delete;
    Volume& operator=(const Volume&) = delete;

    const std::filesystem::path& Root() const;
    DeviceType Type() const;
    FLT_FILESYSTEM_TYPE FileSystemType() const;
    std::u16string DeviceName() const;   // \Device\HarddiskVolume3
    std::u16string GuidName() const;     // \??\Volume{...}
    std::u16string NtName(std::string_view relative) const;  // DeviceName + "\" + relative with '\'
    // An instance of no filter on this volume: opens, reads and queries
    // through it reach the file system directly. For tools and tests that
    // call the driver's routines without loading it.
    PFLT_INSTANCE Instance() const;
    PFLT_VOLUME FltVolume() const;

    struct Impl;
    Impl* Get() const { return impl_; }

private:
    Impl* impl_;
};

// Host file descriptors held by open file objects.
size_t OpenFileCount();

// Opens a host file as a file object for reading (no volume), as the tool and
// tests do for images outside any volume. Release with ObDereferenceObject.
NTSTATUS OpenHostFile(const std::filesystem::path& path, PFILE_OBJECT* fileObject);

// ---- Loading a driver ----
// Loads a driver as the service control manager does: runs DriverEntry with
// a fresh driver object. Each filter the driver registers and starts is
// offered every mounted volume, and every volume mounted later, through its
// instance setup callback; a volume whose setup fails (STATUS_FLT_DO_NOT_ATTACH
// for a network file system, say) gets no instance.
class Driver {
public:
    explicit Driver(PDRIVER_INITIALIZE entry);
    // Unloads with FLTFL_FILTER_UNLOAD_MANDATORY if still loaded.
    ~Driver();
    Driver(const Driver&) = delete;
    Driver& operator=(const Driver&) = delete;

    NTSTATUS EntryStatus() const;  // what DriverEntry returned; failed means not loaded
    bool Loaded() const;
    // Calls the filter's unload callback, in which the driver calls
    // FltUnregisterFilter; that tears down every instance (teardown-start,
    // the stream contexts of the instance deleted, teardown-complete), so
    // every context cleanup runs once its last reference is released. A
    // failure from the callback refuses a non-mandatory unload and leaves
    // the driver loaded. A filter without an unload callback cannot be
    // unloaded (STATUS_INVALID_DEVICE_REQUEST). Returns the callback's status.
    NTSTATUS Unload(FLT_FILTER_UNLOAD_FLAGS flags = 0);
    PDRIVER_OBJECT Object();
    PFLT_FILTER Filter() const;                        // the first filter registered, or null
    PFLT_INSTANCE InstanceOn(const Volume& volume) const;  // its instance there, or null
    // Detaches the filter from a volume as "fltmc detach" does: query
    // teardown (a failure refuses the detach and is returned; a filter
    // without the callback refuses with STATUS_FLT_DO_NOT_DETACH), then
    // teardown with FLTFL_INSTANCE_TEARDOWN_MANUAL. STATUS_NOT_FOUND when
    // the filter has no instance there.
    NTSTATUS Detach(const Volume& volume);

private:
    DRIVER_OBJECT object_{};
    NTSTATUS entryStatus_ = STATUS_UNSUCCESSFUL;
    bool loaded_ = false;
};

// ---- The I/O manager ----
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
    std::optional<LONGLONG> offset = std::nullopt;  // none: the current byte offset of a synchronous handle
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

// ---- I/O fault injection (cleared by ResetFaults) ----
// The nth create (1-based) that reaches a file system, through the I/O
// manager or FltCreateFileEx, fails there with status.
void FailCreate(uint64_t nth, NTSTATUS status);
uint64_t CreateCount();
// The nth MmMapLockedPagesSpecifyCache returns null.
void FailMdlMapping(uint64_t nth);
// The nth FltCancellableWaitForSingleObject returns STATUS_CANCELLED at
// once, as when the thread's I/O is cancelled before the wait.
void CancelWait(uint64_t nth);
// Threads blocked in FltCancellableWaitForSingleObject now; cancelling
// makes each of them return STATUS_CANCELLED.
size_t BlockedCancellableWaits();
void CancelBlockedWaits();

// Hooks that let a test order racing threads deterministically. Each runs on
// the thread that reaches the point, with no platform lock held.
enum class HookPoint {
    SetStreamContext,  // on entry to FltSetStreamContext
    PostCreate,        // after the file system opened the file, before the post-create callbacks
};
void SetHook(HookPoint point, std::function<void()> hook);  // empty clears

// ---- Kernel state of the calling thread ----
int CriticalRegionDepth();  // KeEnterCriticalRegion minus KeLeaveCriticalRegion
int MutexesHeld();          // KMUTEXes the thread owns (recursion counted)

}  // namespace host

// Host-private objects behind the opaque Filter Manager and kernel handles,
// and the seams between the platform's parts: the Filter Manager
// (fltmgr.cpp), the I/O manager (iomgr.cpp), the file system (files.cpp) and
// the kernel (ke.cpp, pool.cpp).
#pragma once

#include <sys/types.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "platform/host/host.h"

struct HostStream;
struct ContextRecord;

// A registered filter. Records are kept until the process ends, so a stale
// handle is caught by its state instead of reading freed memory.
struct _FLT_FILTER {
    PDRIVER_OBJECT driver = nullptr;
    unsigned sequence = 0;  // registration order: earlier filters sit higher
    FLT_REGISTRATION registration{};
    std::vector<FLT_CONTEXT_REGISTRATION> contexts;
    PFLT_PRE_OPERATION_CALLBACK pre[256] = {};
    PFLT_POST_OPERATION_CALLBACK post[256] = {};
    FLT_OPERATION_REGISTRATION_FLAGS operationFlags[256] = {};
    bool filtering = false;
    bool unregistered = false;
};

// An instance: a filter attached to a volume, or the volume's bare instance
// (filter null) through which requests reach the file system directly.
struct _FLT_INSTANCE {
    host::Volume::Impl* volume = nullptr;
    _FLT_FILTER* filter = nullptr;
    int active = 0;            // operations inside its callbacks (under the platform lock)
    bool tearingDown = false;  // no longer offered new operations
};

struct _FLT_VOLUME {
    host::Volume::Impl* volume;
};

struct host::Volume::Impl {
    std::filesystem::path root;
    DeviceType type;
    FLT_FILESYSTEM_TYPE fileSystem;
    unsigned number;
    std::u16string deviceName;
    std::u16string guidName;
    _FLT_VOLUME fltVolume;
    _FLT_INSTANCE instance;                 // the bare instance
    std::vector<_FLT_INSTANCE*> instances;  // filter instances, top of the stack first
};

namespace host::detail {

// Fills in what a volume's type and number imply: its file system when none
// was given, \Device\HarddiskVolumeN (or \Device\Mup\serverN), its volume
// GUID name, and its bare Filter Manager objects.
inline void NameVolume(Volume::Impl* volume, FLT_FILESYSTEM_TYPE fileSystem) {
    const bool network = volume->type == DeviceType::NetworkFileSystem;
    if (fileSystem == FLT_FSTYPE_UNKNOWN) {
        fileSystem = network                              ? FLT_FSTYPE_LANMAN
                     : volume->type == DeviceType::CdRom ? FLT_FSTYPE_CDFS
                                                          : FLT_FSTYPE_NTFS;
    }
    volume->fileSystem = fileSystem;
    const std::string n = std::to_string(volume->number);
    volume->deviceName =
        Utf16(network ? "\\Device\\Mup\\server" + n : "\\Device\\HarddiskVolume" + n);
    char guid[64];
    std::snprintf(guid, sizeof guid, "\\??\\Volume{%08x-0000-4000-8000-%012x}", volume->number,
                  volume->number);
    volume->guidName = Utf16(guid);
    volume->fltVolume.volume = volume;
    volume->instance.volume = volume;
}

// The start of FltCreateFileEx in every file layer: the outputs cleared and
// the object name copied out; STATUS_INVALID_PARAMETER when an argument that
// every create needs is missing.
inline NTSTATUS BeginCreateFile(PHANDLE FileHandle, PFILE_OBJECT* FileObject,
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

// The end of FltCreateFileEx: the I/O status block, where there is one.
inline NTSTATUS FinishCreateFile(PIO_STATUS_BLOCK IoStatusBlock, NTSTATUS status,
                                 ULONG_PTR information) {
    if (IoStatusBlock != nullptr) {
        IoStatusBlock->Status = status;
        IoStatusBlock->Information = information;
    }
    return status;
}

}  // namespace host::detail

// Extra create parameters of one create.
struct _ECP_LIST {
    std::vector<GUID> types;
    UCHAR emptyContext[8] = {};
};

// One file's data stream on a volume: every file object opened on the same
// host file (device and inode) shares it, as file objects share an SCB.
struct HostStream {
    host::Volume::Impl* volume = nullptr;
    dev_t device = 0;
    ino_t inode = 0;
    int fileObjects = 0;  // file objects not yet closed
    // Share access of the handles not yet cleaned up (IoCheckShareAccess).
    int opens = 0, readers = 0, writers = 0, deleters = 0;
    int sharedRead = 0, sharedWrite = 0, sharedDelete = 0;
    std::vector<ContextRecord*> contexts;  // stream contexts, one per instance at most
};

struct HostFileObject {
    int fd = -1;
    std::atomic<long> references{1};
    std::filesystem::path path;
    std::u16string name;            // FILE_OBJECT.FileName: the path on the volume
    std::u16string openedName;      // device name + the path as the caller gave it
    std::u16string normalizedName;  // device name + the path as stored on disk
    host::Volume::Impl* volume = nullptr;
    HostStream* stream = nullptr;
    // Requests on this file object start below this instance: null for an
    // open from the top of the stack; the bare instance reaches the file
    // system directly.
    _FLT_INSTANCE* openedThrough = nullptr;
    ACCESS_MASK grantedAccess = 0;
    ULONG shareAccess = 0;
    bool shareCounted = false;  // counted in the stream's share access until cleanup
    bool directory = false;
    bool onStack = false;
    bool cancelled = false;        // FltCancelFileOpen from a post-create
    std::mutex lock;               // serialises a synchronous file object's I/O
    bool inCreate = false;         // between the create's first pre-op and its last post-op
    bool opened = false;           // the file system opened it (else: before or in pre-create)
    bool caseInsensitive = true;   // how the create resolves its name
    _ECP_LIST* ecpList = nullptr;  // during the create only
};

namespace host::detail {

// Pool misuse and other contract violations a checked kernel would stop on.
void BugCheck(const std::string& what);

// The platform's structural lock: volumes, instances, streams, contexts.
// Never held while a driver callback runs.
std::mutex& Lock();
std::condition_variable& LockCondition();  // instance rundown

// Memory the Filter Manager owns (contexts, name information): tracked by the
// pool under its tag, freed by neither of the driver's free routines.
void* PlatformAllocate(size_t size, ULONG tag);
void PlatformFree(void* p, ULONG tag);

// Raises host::AccessViolation for a write into the armed range.
void CheckAccess(const void* destination, size_t length);

// Volumes: every mounted one, and the filters' instances on them.
std::vector<Volume::Impl*> Volumes();
void AttachFilters(Volume::Impl* volume);
void DetachFilters(Volume::Impl* volume);

// Counts the file objects' host descriptors.
void FileOpened();
void FileClosed();

// Fault injection state of the I/O manager and kernel, cleared by
// ResetFaults.
void ResetIoFaults();
void ResetIoFaultsOfKernel();
bool NextCreateFails(NTSTATUS* status);
bool NextRead(NTSTATUS* fail, ULONG* limit);  // FltReadFile's injected failure or limit
void RunHook(HookPoint point);

// Kernel checks around a driver callback: a callback must return with the
// critical regions and mutexes it entered released.
struct ThreadBalance {
    int criticalRegions;
    int mutexes;
};
ThreadBalance CurrentBalance();
void CheckBalance(const ThreadBalance& before, const char* callback);

// Instances on a volume below `through` (all of them for null, none for the
// bare instance), each marked active; ReleaseInstances ends the activity.
std::vector<_FLT_INSTANCE*> AcquireInstances(Volume::Impl* volume, _FLT_INSTANCE* through);
void ReleaseInstances(const std::vector<_FLT_INSTANCE*>& instances);

// Stream lifetime: a file object's close drops its stream; the last one
// detaches the stream's contexts (returned, to be released without the lock).
std::vector<ContextRecord*> DetachStreamContexts(HostStream* stream);
void ReleaseDetached(const std::vector<ContextRecord*>& contexts);

// ---- The file system below every filter ----
struct CreateParameters {
    std::u16string path;  // on the volume: "" for the volume itself, else "\a\b"
    ACCESS_MASK access;   // generic rights mapped
    ULONG shareAccess;
    ULONG disposition;
    ULONG options;
    UCHAR operationFlags;
    bool caseInsensitive;
    bool volumeOpen;
};
// Opens or creates the file for an initialised file object; information is
// FILE_OPENED, FILE_CREATED, ... Resolves beneath the volume root only.
NTSTATUS FsCreate(PFILE_OBJECT fileObject, const CreateParameters& parameters,
                  ULONG_PTR* information);
// Resolves a name as far as it exists, for names asked before the open: the
// stored spelling of every existing component, the rest as given.
NTSTATUS FsNormalize(Volume::Impl* volume, const std::u16string& path, bool caseInsensitive,
                     std::u16string* normalized);
NTSTATUS FsRead(PFILE_OBJECT fileObject, LONGLONG offset, ULONG length, void* buffer,
                bool updateOffset, ULONG_PTR* information);
NTSTATUS FsWrite(PFILE_OBJECT fileObject, LONGLONG offset, ULONG length, const void* buffer,
                 bool paging, bool updateOffset, ULONG_PTR* information);
NTSTATUS FsQueryInformation(PFILE_OBJECT fileObject, FILE_INFORMATION_CLASS fileClass, void* buffer,
                            ULONG length, ULONG_PTR* information);
void FsCleanup(PFILE_OBJECT fileObject);
// Closes the host file and drops the stream; returns the contexts of a stream
// that went away.
std::vector<ContextRecord*> FsClose(PFILE_OBJECT fileObject);

// File objects: allocated with one reference; FreeFileObject after close.
PFILE_OBJECT NewFileObject(Volume::Impl* volume, std::u16string name, bool synchronous);
void InitFileObject(PFILE_OBJECT fileObject, Volume::Impl* volume, std::u16string name,
                    bool synchronous);
void FreeFileObject(PFILE_OBJECT fileObject);
Volume::Impl* FindVolume(std::u16string_view name);  // by device-name prefix

// ---- The I/O manager's paths the Filter Manager's own calls take ----
// A create below `through`, as FltCreateFileEx issues it.
NTSTATUS CreateBelow(_FLT_INSTANCE* through, const std::u16string& name, ACCESS_MASK access,
                     ULONG attributes, ULONG shareAccess, ULONG disposition, ULONG options,
                     UCHAR operationFlags, KPROCESSOR_MODE mode, PFILE_OBJECT* fileObject,
                     ULONG_PTR* information);
NTSTATUS ReadBelow(_FLT_INSTANCE* through, PFILE_OBJECT fileObject, LONGLONG offset, ULONG length,
                   void* buffer, ULONG flags, ULONG_PTR* information);
NTSTATUS QueryBelow(_FLT_INSTANCE* through, PFILE_OBJECT fileObject,
                    FILE_INFORMATION_CLASS fileClass, void* buffer, ULONG length,
                    ULONG_PTR* information);
// Handle close and last dereference, with their callbacks.
void CleanupFileObject(PFILE_OBJECT fileObject, _FLT_INSTANCE* through);
void DereferenceFileObject(PFILE_OBJECT fileObject);

}  // namespace host::detail

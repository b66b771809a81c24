// The one volume record, streams, and the file system's entry points for the
// I/O manager.
#pragma once

#include <atomic>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/host/fltmgr/internal.h"
#include "platform/host/fs/fs.h"
#include "platform/host/fs/layer.h"

struct ContextRecord;

struct host::Volume::Impl {
    std::unique_ptr<fs::FileLayer> layer;
    std::filesystem::path root;
    DeviceType type;
    FLT_FILESYSTEM_TYPE fileSystem;
    unsigned number;
    std::u16string deviceName;
    std::u16string guidName;
    ULONG sectorSize = 0;  // bytes per sector the device enforces; 0: none (Volume::SetSectorSize)
    _FLT_VOLUME fltVolume;
    _FLT_INSTANCE instance;           // the bare instance
    detail::InstanceStack instances;  // filter instances
};

namespace host::fs {

// One file's data stream on a volume: every file object opened on the same
// file (device and index) shares it, as file objects share an SCB.
struct Stream {
    Volume::Impl* volume = nullptr;
    uint64_t device = 0;
    uint64_t index = 0;
    std::atomic<int> fileObjects{0};  // not yet closed; changed under the structural lock
    // Share access of the handles not yet cleaned up (IoCheckShareAccess),
    // under the structural lock.
    int opens = 0, readers = 0, writers = 0, deleters = 0;
    int sharedRead = 0, sharedWrite = 0, sharedDelete = 0;
    // Stream contexts, one per instance at most. Looked up under this lock
    // alone; changed under the structural lock too.
    std::mutex contextLock;
    std::vector<ContextRecord*> contexts;
    // Cached I/O reached the file system: the cache then holds the stream
    // past its last file object, until the lazy closer lets it go.
    std::atomic<bool> cached{false};
    bool awaitingLazyClose = false;  // under the structural lock
};

// ---- Names (names.cpp) ----
// NTFS's rules for a volume-relative name "\a\b": components separated by
// '\', a trailing separator allowed; an empty, "." or ".." component, a
// control character or one of "*/:<>?| is an invalid name, except a final
// "::$DATA", the default data stream (the only stream these volumes have).
// "" and "\" give no components.
NTSTATUS SplitName(std::u16string_view path, std::vector<std::u16string>* components);
// Comparison without regard to case, as the volume's upcase table makes it
// for the characters the platform knows (ASCII and Latin-1, as Rtl does).
bool EqualNoCase(std::u16string_view a, std::u16string_view b);

// The build's own layer over a host directory: POSIX on Linux, Win32 on
// Windows.
std::unique_ptr<FileLayer> NewHostLayer(const std::filesystem::path& root);

}  // namespace host::fs

namespace host::detail {

std::vector<Volume::Impl*> Volumes();
Volume::Impl* FindVolume(std::u16string_view name);  // by device-name prefix

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
// Closes the file and drops the stream; returns the contexts of a stream
// that went away. A stream the cache holds (cached I/O reached it) that
// carries contexts outlives its last file object, until the lazy closer.
std::vector<ContextRecord*> FsClose(PFILE_OBJECT fileObject);
void FsNoteCachedIo(PFILE_OBJECT fileObject);
// Tears down the streams that only the cache still holds (on one volume, or
// on all for null); returns their contexts, detached, to be released.
std::vector<ContextRecord*> FsTearDownCachedStreams(Volume::Impl* volume);
// The lazy closer's worker: woken when a stream waits for it.
void WakeLazyCloser();

}  // namespace host::detail

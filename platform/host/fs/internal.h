// The file system's records: the volume (a VCB), the stream every file
// object of one file shares (an SCB, on FsContext) and each open's own (a CCB,
// on FsContext2); its entry points for the layers above, which send it their
// requests as a file system's dispatch routines receive IRPs.
#pragma once

#include <atomic>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/host/fs/fs.h"
#include "platform/host/fs/layer.h"

struct host::Volume::Impl {
    std::unique_ptr<fs::FileLayer> layer;
    std::filesystem::path root;
    DeviceType type;
    FLT_FILESYSTEM_TYPE fileSystem;
    unsigned number;
    std::u16string deviceName;
    std::u16string guidName;
    ULONG sectorSize = 0;  // bytes per sector the device enforces; 0: none (Volume::SetSectorSize)
    // The Filter Manager's volume, attached above this one as its device
    // attaches above a file system's volume device.
    PFLT_VOLUME attached = nullptr;
};

namespace host::fs {

struct Stream;

// What a filter attaches to a stream, as FSRTL_PER_STREAM_CONTEXT is: the
// stream it is attached to, changed under the structural lock and the
// stream's context lock.
struct PerStreamContext {
    std::atomic<Stream*> stream{nullptr};
};

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
    // Filters' per-stream contexts, as the advanced FCB header keeps them.
    // Looked up under this lock alone; changed under the structural lock too.
    std::mutex contextLock;
    std::vector<PerStreamContext*> contexts;
    // Cached I/O reached the file system: the cache then holds the stream
    // past its last file object, until the lazy closer lets it go.
    std::atomic<bool> cached{false};
    bool awaitingLazyClose = false;  // under the structural lock
};

// One open of a file by a file object (a CCB), from the create to the close.
struct Ccb {
    Volume::Impl* volume = nullptr;
    File* file = nullptr;
    ACCESS_MASK grantedAccess = 0;  // MAXIMUM_ALLOWED resolved
    ULONG shareAccess = 0;
    bool shareCounted = false;  // counted in the stream's share access until cleanup
    bool directory = false;
    std::u16string normalizedName;  // device name + the path as stored on disk
};

inline Stream* StreamOf(PFILE_OBJECT fileObject) { return (Stream*)fileObject->FsContext; }
inline Ccb* CcbOf(PFILE_OBJECT fileObject) { return (Ccb*)fileObject->FsContext2; }

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

// The platform's structural lock: volumes, streams, share access, where
// filters' contexts are attached, and the Filter Manager's filters and
// instances. Kept here, in the lowest component, so that every component
// above may take it. Never held while a driver callback runs, and not taken
// on the read path.
std::mutex& Lock();

// Mounted volumes. A volume is named as it is made, and mounted (found by
// name, offered to filters) once the layers above have attached to it.
Volume::Impl* NewVolume(std::unique_ptr<FileLayer> layer, std::filesystem::path root,
                        DeviceType type, FLT_FILESYSTEM_TYPE fileSystem);
void MountVolume(Volume::Impl* volume);
void DismountVolume(Volume::Impl* volume);
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
// Opens or creates the file on the volume for a file object that has no open
// yet, hanging the stream on FsContext and the open on FsContext2;
// information is FILE_OPENED, FILE_CREATED, ... Resolves beneath the volume
// root only.
NTSTATUS Create(Volume::Impl* volume, PFILE_OBJECT fileObject, const CreateParameters& parameters,
                ULONG_PTR* information);
// Resolves a name as far as it exists, for names asked before the open: the
// stored spelling of every existing component, the rest as given.
NTSTATUS Normalize(Volume::Impl* volume, const std::u16string& path, bool caseInsensitive,
                   std::u16string* normalized);
// A transfer of whole sectors of the volume, in offset and length, as
// non-cached and paging I/O must be.
bool SectorAligned(const Volume::Impl* volume, LONGLONG offset, ULONG length);
// IRP_MJ_READ and IRP_MJ_WRITE with the request's IRP flags: non-cached and
// paging transfers must be sector-aligned (else STATUS_INVALID_PARAMETER);
// a cached one puts the stream in the cache; a paging write never extends
// the file.
NTSTATUS Read(PFILE_OBJECT fileObject, ULONG irpFlags, LONGLONG offset, ULONG length, void* buffer,
              bool updateOffset, ULONG_PTR* information);
NTSTATUS Write(PFILE_OBJECT fileObject, ULONG irpFlags, LONGLONG offset, ULONG length,
               const void* buffer, bool updateOffset, ULONG_PTR* information);
NTSTATUS QueryInformation(PFILE_OBJECT fileObject, FILE_INFORMATION_CLASS fileClass, void* buffer,
                          ULONG length, ULONG_PTR* information);
// The access the open was granted; 0 for a file object the file system
// has not opened.
ACCESS_MASK GrantedAccess(PFILE_OBJECT fileObject);
void Cleanup(PFILE_OBJECT fileObject);
// Closes the file and drops the stream; returns the contexts of a stream
// that went away, detached, to be released. A stream the cache holds (cached
// I/O reached it) that carries contexts outlives its last file object, until
// the lazy closer.
std::vector<PerStreamContext*> Close(PFILE_OBJECT fileObject);
// Tears down the streams that only the cache still holds (on one volume, or
// on all for null); returns their contexts, detached, to be released.
std::vector<PerStreamContext*> TearDownCachedStreams(Volume::Impl* volume);

}  // namespace host::fs

namespace host::iomgr {
// The cache manager's lazy closer, which the file system wakes when a stream
// waits for it, as it calls the cache manager's routines.
void WakeLazyCloser();
}  // namespace host::iomgr

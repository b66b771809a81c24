// File objects, and the I/O manager's paths that the Filter Manager's own
// calls take.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "platform/host/fltmgr/internal.h"
#include "platform/host/iomgr/iomgr.h"

// The I/O manager's own part of a file object, after its Windows fields:
// what the file system keeps hangs on FsContext and FsContext2.
struct HostFileObject {
    std::atomic<long> references{1};
    std::u16string name;  // FILE_OBJECT.FileName: the path on the volume
    host::Volume::Impl* volume = nullptr;
    bool onStack = false;
    std::mutex lock;    // serialises a synchronous file object's I/O
    FltFileObject flt;  // the Filter Manager's record
};

namespace host::iomgr {

// File objects: allocated with one reference; FreeFileObject after close.
PFILE_OBJECT NewFileObject(Volume::Impl* volume, std::u16string name, bool synchronous);
void InitFileObject(PFILE_OBJECT fileObject, Volume::Impl* volume, std::u16string name,
                    bool synchronous);
void FreeFileObject(PFILE_OBJECT fileObject);

// A create below `through`, as FltCreateFileEx issues it.
NTSTATUS CreateBelow(_FLT_INSTANCE* through, const std::u16string& name, ACCESS_MASK access,
                     ULONG attributes, ULONG shareAccess, ULONG disposition, ULONG options,
                     UCHAR operationFlags, KPROCESSOR_MODE mode, PFILE_OBJECT* fileObject,
                     ULONG_PTR* information);
// Handle close and last dereference, with their callbacks.
void CleanupFileObject(PFILE_OBJECT fileObject, _FLT_INSTANCE* through);
void DereferenceFileObject(PFILE_OBJECT fileObject);

}  // namespace host::iomgr

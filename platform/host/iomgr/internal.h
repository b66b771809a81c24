// File objects, and the I/O manager's paths that the Filter Manager's own
// calls take.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "platform/host/fs/internal.h"
#include "platform/host/iomgr/iomgr.h"

// Extra create parameters of one create.
struct _ECP_LIST {
    std::vector<GUID> types;
    UCHAR emptyContext[8] = {};
};

struct HostFileObject {
    host::fs::File* file = nullptr;  // the file system's open, null when none
    std::atomic<long> references{1};
    std::u16string name;            // FILE_OBJECT.FileName: the path on the volume
    std::u16string openedName;      // device name + the path as the caller gave it
    std::u16string normalizedName;  // device name + the path as stored on disk
    host::Volume::Impl* volume = nullptr;
    host::fs::Stream* stream = nullptr;
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

}  // namespace host::detail

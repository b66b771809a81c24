// The file system below every filter, as NTFS answers, over each volume's
// file layer: names checked and split once, streams shared by the file
// objects of one file, share access, reads and writes with NTFS's
// end-of-file rules, and the information classes.
#include <algorithm>
#include <cstring>
#include <map>
#include <tuple>

#include "platform/host/faults/internal.h"
#include "platform/host/fs/internal.h"

namespace host {
namespace {

using StreamKey = std::tuple<Volume::Impl*, uint64_t, uint64_t>;
auto& gStreams = *new std::map<StreamKey, fs::Stream*>();  // under fs::Lock()
// Streams no file object holds that wait for the lazy closer, under fs::Lock().
auto& gCachedStreams = *new std::vector<fs::Stream*>();
std::atomic<size_t> gOpenFiles{0};

// IoCheckShareAccess and IoSetShareAccess over a stream, under the lock.
bool ShareAccessAllowed(fs::Stream* s, ACCESS_MASK access, ULONG share, bool* counted) {
    const bool read = access & (FILE_READ_DATA | FILE_EXECUTE);
    const bool write = access & (FILE_WRITE_DATA | FILE_APPEND_DATA);
    const bool del = access & DELETE;
    *counted = false;
    if (!read && !write && !del) {
        return true;
    }
    const bool shareRead = share & FILE_SHARE_READ;
    const bool shareWrite = share & FILE_SHARE_WRITE;
    const bool shareDelete = share & FILE_SHARE_DELETE;
    if (s->opens != 0 &&
        ((read && s->sharedRead < s->opens) || (write && s->sharedWrite < s->opens) ||
         (del && s->sharedDelete < s->opens) || (s->readers != 0 && !shareRead) ||
         (s->writers != 0 && !shareWrite) || (s->deleters != 0 && !shareDelete))) {
        return false;
    }
    s->opens++;
    s->readers += read;
    s->writers += write;
    s->deleters += del;
    s->sharedRead += shareRead;
    s->sharedWrite += shareWrite;
    s->sharedDelete += shareDelete;
    *counted = true;
    return true;
}

void RemoveShareAccess(fs::Stream* s, ACCESS_MASK access, ULONG share) {
    s->opens--;
    s->readers -= (access & (FILE_READ_DATA | FILE_EXECUTE)) != 0;
    s->writers -= (access & (FILE_WRITE_DATA | FILE_APPEND_DATA)) != 0;
    s->deleters -= (access & DELETE) != 0;
    s->sharedRead -= (share & FILE_SHARE_READ) != 0;
    s->sharedWrite -= (share & FILE_SHARE_WRITE) != 0;
    s->sharedDelete -= (share & FILE_SHARE_DELETE) != 0;
}

// Attaches an open file to its stream (for all but a volume open) and its
// file object; closes it on failure.
NTSTATUS Attach(Volume::Impl* volume, PFILE_OBJECT fo, fs::File* file,
                const std::u16string& normalized, ACCESS_MASK access, ULONG share, bool stream) {
    fs::FileLayer& layer = *volume->layer;
    fs::FileFacts facts;
    const NTSTATUS described = layer.Describe(file, &facts);
    if (!NT_SUCCESS(described)) {
        layer.Close(file);
        return described;
    }
    auto ccb = std::make_unique<fs::Ccb>();
    if (stream) {
        std::lock_guard<std::mutex> lock(fs::Lock());
        const StreamKey key{volume, facts.device, facts.index};
        fs::Stream*& s = gStreams[key];
        if (s == nullptr) {
            s = new fs::Stream();
            s->volume = volume;
            s->device = facts.device;
            s->index = facts.index;
        }
        bool counted = false;
        if (!ShareAccessAllowed(s, access, share, &counted)) {
            if (s->fileObjects == 0) {
                delete s;
                gStreams.erase(key);
            }
            layer.Close(file);
            return STATUS_SHARING_VIOLATION;
        }
        s->fileObjects++;
        fo->FsContext = s;
        ccb->shareCounted = counted;
    }
    ccb->volume = volume;
    ccb->file = file;
    ccb->directory = facts.directory;
    ccb->normalizedName = volume->deviceName + (normalized.empty() ? u"\\" : normalized);
    ccb->grantedAccess = access;
    ccb->shareAccess = share;
    fo->FsContext2 = ccb.release();
    gOpenFiles++;
    return STATUS_SUCCESS;
}

// A stream's contexts as it goes, detached, for their owners to release
// (FsRtlTeardownPerStreamContexts); the structural lock held.
std::vector<fs::PerStreamContext*> TearDownContexts(fs::Stream* s) {
    std::lock_guard<std::mutex> lock(s->contextLock);
    std::vector<fs::PerStreamContext*> detached = std::move(s->contexts);
    s->contexts.clear();
    for (fs::PerStreamContext* c : detached) {
        c->stream = nullptr;
    }
    return detached;
}

ULONG Attributes(const fs::FileFacts& f) {
    ULONG a = f.directory ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
    if (f.readOnly) {
        a |= FILE_ATTRIBUTE_READONLY;
    }
    return a;
}

void FillBasic(const fs::FileFacts& f, FILE_BASIC_INFORMATION* b) {
    b->CreationTime.QuadPart = f.creationTime;
    b->LastAccessTime.QuadPart = f.lastAccessTime;
    b->LastWriteTime.QuadPart = f.lastWriteTime;
    b->ChangeTime.QuadPart = f.changeTime;
    b->FileAttributes = Attributes(f);
}

void FillStandard(const fs::FileFacts& f, FILE_STANDARD_INFORMATION* s) {
    s->AllocationSize.QuadPart = (LONGLONG)f.allocation;
    s->EndOfFile.QuadPart = f.directory ? 0 : (LONGLONG)f.size;
    s->NumberOfLinks = f.links;
    s->DeletePending = FALSE;
    s->Directory = f.directory ? TRUE : FALSE;
}

// Copies a name into a variable-length record: as much as fits, with
// STATUS_BUFFER_OVERFLOW when not all did.
NTSTATUS CopyName(const std::u16string& name, void* to, ULONG room, ULONG* copied) {
    const ULONG bytes = (ULONG)(name.size() * sizeof(char16_t));
    *copied = std::min(bytes, room);
    std::memcpy(to, name.data(), *copied);
    return *copied < bytes ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

// What every read and write meets first: a non-cached or paging transfer
// that is not sector-aligned is refused before the file is touched, and a
// cached one puts the stream in the cache.
bool BeginTransfer(PFILE_OBJECT fo, ULONG irpFlags, LONGLONG offset, ULONG length) {
    if (irpFlags & (IRP_NOCACHE | IRP_PAGING_IO)) {
        return fs::SectorAligned(fs::CcbOf(fo)->volume, offset, length);
    }
    if (fs::Stream* s = fs::StreamOf(fo)) {
        s->cached = true;
    }
    return true;
}

}  // namespace

size_t OpenFileCount() { return gOpenFiles.load(); }

namespace fs {

bool SectorAligned(const Volume::Impl* volume, LONGLONG offset, ULONG length) {
    const ULONG sector = volume->sectorSize;
    return sector == 0 || ((ULONGLONG)offset % sector == 0 && length % sector == 0);
}

NTSTATUS Normalize(Volume::Impl* volume, const std::u16string& path, bool caseInsensitive,
                   std::u16string* normalized) {
    if (path.empty() || path == u"\\") {
        *normalized = volume->deviceName + u"\\";
        return STATUS_SUCCESS;
    }
    std::vector<std::u16string> components;
    NTSTATUS status = fs::SplitName(path, &components);
    if (NT_SUCCESS(status) && components.empty()) {
        status = STATUS_OBJECT_NAME_INVALID;
    }
    std::u16string resolved;
    if (NT_SUCCESS(status)) {
        status = volume->layer->Normalize(components, caseInsensitive, &resolved);
    }
    if (!NT_SUCCESS(status) && status != STATUS_STOPPED_ON_SYMLINK) {
        return status;
    }
    *normalized = volume->deviceName + (NT_SUCCESS(status) ? resolved : path);
    return STATUS_SUCCESS;
}

NTSTATUS Create(Volume::Impl* volume, PFILE_OBJECT fo, const CreateParameters& p,
                ULONG_PTR* information) {
    *information = 0;
    NTSTATUS injected;
    if (faults::NextCreateFails(&injected)) {
        return injected;
    }
    fs::FileLayer& layer = *volume->layer;
    if (p.disposition > FILE_MAXIMUM_DISPOSITION) {
        return STATUS_INVALID_PARAMETER;
    }
    if (p.volumeOpen) {
        fs::File* root = nullptr;
        const NTSTATUS status = layer.OpenRoot(&root);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        *information = FILE_OPENED;
        return Attach(volume, fo, root, u"", p.access, p.shareAccess, false);
    }
    fs::OpenRequest request;
    NTSTATUS status = fs::SplitName(p.path, &request.components);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (request.components.empty()) {
        return STATUS_OBJECT_NAME_INVALID;  // the root is opened as the volume
    }
    // MAXIMUM_ALLOWED is resolved here: every right the file grants, so a
    // read-only file leaves out the rights to change it.
    const bool maximum = p.access & MAXIMUM_ALLOWED;
    constexpr ACCESS_MASK kAll = 0x001F01FF;  // FILE_ALL_ACCESS
    constexpr ACCESS_MASK kChanges =
        FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA | FILE_WRITE_ATTRIBUTES | DELETE;
    request.access = maximum ? (p.access & ~MAXIMUM_ALLOWED) | kAll : p.access;
    request.shareAccess = p.shareAccess;
    request.disposition = p.disposition;
    request.options = p.options;
    request.caseInsensitive = p.caseInsensitive;
    // A link is answered here, as NTFS answers it: without SL_STOP_ON_SYMLINK
    // it goes back to the I/O manager to reparse, the file object unopened.
    request.stopOnSymlink = true;
    request.targetDirectory = (p.operationFlags & SL_OPEN_TARGET_DIRECTORY) != 0;
    fs::Opened opened;
    status = layer.Open(request, &opened);
    if (maximum && status == STATUS_ACCESS_DENIED) {
        request.access &= ~kChanges;
        status = layer.Open(request, &opened);
    }
    if (status == STATUS_STOPPED_ON_SYMLINK && !(p.operationFlags & SL_STOP_ON_SYMLINK)) {
        return STATUS_REPARSE;
    }
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status =
        Attach(volume, fo, opened.file, opened.normalized, request.access, p.shareAccess, true);
    *information = NT_SUCCESS(status) ? opened.information : 0;
    return status;
}

NTSTATUS Read(PFILE_OBJECT fo, ULONG irpFlags, LONGLONG offset, ULONG length, void* buffer,
              bool updateOffset, ULONG_PTR* information) {
    *information = 0;
    const fs::Ccb* h = fs::CcbOf(fo);
    if (!BeginTransfer(fo, irpFlags, offset, length)) {
        return STATUS_INVALID_PARAMETER;
    }
    if (h->directory) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (length == 0) {
        return STATUS_SUCCESS;
    }
    if (offset < 0) {
        return STATUS_INVALID_PARAMETER;
    }
    if (buffer == nullptr) {
        return STATUS_INVALID_USER_BUFFER;
    }
    // No size query first: a layer's read comes back empty only at or beyond
    // the end, so the end-of-file answer costs nothing on the common path.
    ULONG done = 0;
    fs::FileLayer& layer = *h->volume->layer;
    const NTSTATUS status =
        (irpFlags & (IRP_NOCACHE | IRP_PAGING_IO))
            ? layer.Read(h->file, (uint64_t)offset, length, buffer, &done)
            : layer.ReadCached(h->file, (uint64_t)offset, length, buffer, &done);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (done == 0) {
        return STATUS_END_OF_FILE;
    }
    // The fault a write into an armed range raises on Windows.
    faults::CheckAccess(buffer, done);
    *information = done;
    if (updateOffset) {
        fo->CurrentByteOffset.QuadPart = offset + done;
    }
    return STATUS_SUCCESS;
}

NTSTATUS Write(PFILE_OBJECT fo, ULONG irpFlags, LONGLONG offset, ULONG length, const void* buffer,
               bool updateOffset, ULONG_PTR* information) {
    *information = 0;
    const fs::Ccb* h = fs::CcbOf(fo);
    if (!BeginTransfer(fo, irpFlags, offset, length)) {
        return STATUS_INVALID_PARAMETER;
    }
    const bool paging = irpFlags & IRP_PAGING_IO;
    if (h->directory) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (length == 0) {
        return STATUS_SUCCESS;
    }
    if (buffer == nullptr) {
        return STATUS_INVALID_USER_BUFFER;
    }
    fs::FileLayer& layer = *h->volume->layer;
    fs::FileFacts facts;
    if (!NT_SUCCESS(layer.Describe(h->file, &facts))) {
        return STATUS_IO_DEVICE_ERROR;
    }
    const LONGLONG size = (LONGLONG)facts.size;
    if (offset == -1) {  // FILE_WRITE_TO_END_OF_FILE
        offset = size;
    }
    if (offset < 0) {
        return STATUS_INVALID_PARAMETER;
    }
    if (paging) {
        // Paging writes never extend a file: what lies past the end is dropped.
        if (offset >= size) {
            return STATUS_SUCCESS;
        }
        length = (ULONG)std::min<LONGLONG>(length, size - offset);
    }
    ULONG done = 0;
    const NTSTATUS status = layer.Write(h->file, (uint64_t)offset, length, buffer, &done);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    *information = done;
    if (updateOffset) {
        fo->CurrentByteOffset.QuadPart = offset + done;
    }
    return STATUS_SUCCESS;
}

NTSTATUS QueryInformation(PFILE_OBJECT fo, FILE_INFORMATION_CLASS fileClass, void* buffer,
                          ULONG length, ULONG_PTR* information) {
    *information = 0;
    const fs::Ccb* h = fs::CcbOf(fo);
    fs::FileFacts st;
    if (!NT_SUCCESS(h->volume->layer->Describe(h->file, &st))) {
        return STATUS_IO_DEVICE_ERROR;
    }
    const std::u16string name = h->normalizedName.size() > h->volume->deviceName.size()
                                    ? h->normalizedName.substr(h->volume->deviceName.size())
                                    : u"\\";
    // The fixed part of each class must fit; the variable part is cut to the
    // buffer with STATUS_BUFFER_OVERFLOW.
    auto fixed = [&](ULONG size) {
        if (length < size) {
            return false;
        }
        if (buffer == nullptr) {
            return false;
        }
        faults::CheckAccess(buffer, size);
        std::memset(buffer, 0, size);
        return true;
    };
    switch (fileClass) {
        case FileBasicInformation:
            if (!fixed(sizeof(FILE_BASIC_INFORMATION))) {
                return STATUS_INFO_LENGTH_MISMATCH;
            }
            FillBasic(st, (FILE_BASIC_INFORMATION*)buffer);
            *information = sizeof(FILE_BASIC_INFORMATION);
            return STATUS_SUCCESS;
        case FileStandardInformation:
            if (!fixed(sizeof(FILE_STANDARD_INFORMATION))) {
                return STATUS_INFO_LENGTH_MISMATCH;
            }
            FillStandard(st, (FILE_STANDARD_INFORMATION*)buffer);
            *information = sizeof(FILE_STANDARD_INFORMATION);
            return STATUS_SUCCESS;
        case FileInternalInformation:
            if (!fixed(sizeof(FILE_INTERNAL_INFORMATION))) {
                return STATUS_INFO_LENGTH_MISMATCH;
            }
            ((FILE_INTERNAL_INFORMATION*)buffer)->IndexNumber.QuadPart = (LONGLONG)st.index;
            *information = sizeof(FILE_INTERNAL_INFORMATION);
            return STATUS_SUCCESS;
        case FilePositionInformation:
            if (!fixed(sizeof(FILE_POSITION_INFORMATION))) {
                return STATUS_INFO_LENGTH_MISMATCH;
            }
            ((FILE_POSITION_INFORMATION*)buffer)->CurrentByteOffset = fo->CurrentByteOffset;
            *information = sizeof(FILE_POSITION_INFORMATION);
            return STATUS_SUCCESS;
        case FileNameInformation: {
            const ULONG head = offsetof(FILE_NAME_INFORMATION, FileName);
            if (!fixed(head)) {
                return STATUS_INFO_LENGTH_MISMATCH;
            }
            auto* n = (FILE_NAME_INFORMATION*)buffer;
            n->FileNameLength = (ULONG)(name.size() * sizeof(char16_t));
            ULONG copied;
            const NTSTATUS status = CopyName(name, n->FileName, length - head, &copied);
            *information = head + copied;
            return status;
        }
        case FileAllInformation: {
            const ULONG head = offsetof(FILE_ALL_INFORMATION, NameInformation.FileName);
            if (!fixed(head)) {
                return STATUS_INFO_LENGTH_MISMATCH;
            }
            auto* all = (FILE_ALL_INFORMATION*)buffer;
            FillBasic(st, &all->BasicInformation);
            FillStandard(st, &all->StandardInformation);
            all->InternalInformation.IndexNumber.QuadPart = (LONGLONG)st.index;
            all->AccessInformation.AccessFlags = h->grantedAccess;
            all->PositionInformation.CurrentByteOffset = fo->CurrentByteOffset;
            all->ModeInformation.Mode =
                (fo->Flags & FO_SYNCHRONOUS_IO) ? FILE_SYNCHRONOUS_IO_NONALERT : 0;
            all->NameInformation.FileNameLength = (ULONG)(name.size() * sizeof(char16_t));
            ULONG copied;
            const NTSTATUS status =
                CopyName(name, all->NameInformation.FileName, length - head, &copied);
            *information = head + copied;
            return status;
        }
        case FileStreamInformation: {
            if (h->directory) {
                return STATUS_SUCCESS;  // a directory has no data stream
            }
            const ULONG head = offsetof(FILE_STREAM_INFORMATION, StreamName);
            if (!fixed(head)) {
                return STATUS_BUFFER_TOO_SMALL;
            }
            auto* s = (FILE_STREAM_INFORMATION*)buffer;
            const std::u16string stream = u"::$DATA";
            s->StreamNameLength = (ULONG)(stream.size() * sizeof(char16_t));
            s->StreamSize.QuadPart = (LONGLONG)st.size;
            s->StreamAllocationSize.QuadPart = (LONGLONG)st.allocation;
            ULONG copied;
            const NTSTATUS status = CopyName(stream, s->StreamName, length - head, &copied);
            *information = head + copied;
            return status;
        }
        case FileNetworkOpenInformation: {
            if (!fixed(sizeof(FILE_NETWORK_OPEN_INFORMATION))) {
                return STATUS_INFO_LENGTH_MISMATCH;
            }
            auto* n = (FILE_NETWORK_OPEN_INFORMATION*)buffer;
            FILE_BASIC_INFORMATION b;
            FillBasic(st, &b);
            n->CreationTime = b.CreationTime;
            n->LastAccessTime = b.LastAccessTime;
            n->LastWriteTime = b.LastWriteTime;
            n->ChangeTime = b.ChangeTime;
            n->AllocationSize.QuadPart = (LONGLONG)st.allocation;
            n->EndOfFile.QuadPart = st.directory ? 0 : (LONGLONG)st.size;
            n->FileAttributes = b.FileAttributes;
            *information = sizeof(FILE_NETWORK_OPEN_INFORMATION);
            return STATUS_SUCCESS;
        }
        case FileAttributeTagInformation:
            if (!fixed(sizeof(FILE_ATTRIBUTE_TAG_INFORMATION))) {
                return STATUS_INFO_LENGTH_MISMATCH;
            }
            ((FILE_ATTRIBUTE_TAG_INFORMATION*)buffer)->FileAttributes = Attributes(st);
            *information = sizeof(FILE_ATTRIBUTE_TAG_INFORMATION);
            return STATUS_SUCCESS;
        default:
            // NTFS answers no other class here, FileEndOfFileInformation included
            // (a class for setting only).
            return STATUS_INVALID_PARAMETER;
    }
}

ACCESS_MASK GrantedAccess(PFILE_OBJECT fo) {
    const fs::Ccb* ccb = fs::CcbOf(fo);
    return ccb != nullptr ? ccb->grantedAccess : 0;
}

void Cleanup(PFILE_OBJECT fo) {
    fs::Ccb* ccb = fs::CcbOf(fo);
    std::lock_guard<std::mutex> lock(Lock());
    if (ccb != nullptr && ccb->shareCounted) {
        RemoveShareAccess(fs::StreamOf(fo), ccb->grantedAccess, ccb->shareAccess);
        ccb->shareCounted = false;
    }
}

std::vector<fs::PerStreamContext*> Close(PFILE_OBJECT fo) {
    std::vector<fs::PerStreamContext*> detached;
    const std::unique_ptr<fs::Ccb> ccb(fs::CcbOf(fo));
    if (ccb == nullptr) {
        return detached;
    }
    fo->FsContext2 = nullptr;
    ccb->volume->layer->Close(ccb->file);
    gOpenFiles--;
    std::lock_guard<std::mutex> lock(Lock());
    fs::Stream* s = fs::StreamOf(fo);
    if (ccb->shareCounted) {
        RemoveShareAccess(s, ccb->grantedAccess, ccb->shareAccess);
    }
    if (s != nullptr) {
        fo->FsContext = nullptr;
        if (--s->fileObjects == 0) {
            if (s->cached && !s->contexts.empty()) {
                if (!s->awaitingLazyClose) {
                    s->awaitingLazyClose = true;
                    gCachedStreams.push_back(s);
                }
                iomgr::WakeLazyCloser();
            } else {
                detached = TearDownContexts(s);
                gStreams.erase({s->volume, s->device, s->index});
                delete s;
            }
        }
    }
    return detached;
}

std::vector<fs::PerStreamContext*> TearDownCachedStreams(Volume::Impl* volume) {
    std::vector<fs::PerStreamContext*> detached;
    std::lock_guard<std::mutex> lock(Lock());
    std::erase_if(gCachedStreams, [&](fs::Stream* s) {
        if (volume != nullptr && s->volume != volume) {
            return false;
        }
        s->awaitingLazyClose = false;
        if (s->fileObjects == 0) {  // else reopened: it waits again after its next close
            std::vector<fs::PerStreamContext*> contexts = TearDownContexts(s);
            detached.insert(detached.end(), contexts.begin(), contexts.end());
            gStreams.erase({s->volume, s->device, s->index});
            delete s;
        }
        return true;
    });
    return detached;
}

}  // namespace fs
}  // namespace host

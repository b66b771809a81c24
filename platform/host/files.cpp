// The file system below every filter: volumes over host directories, names
// resolved beneath the volume root, streams shared by file objects, and
// reads, writes and queries that answer as NTFS does.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <tuple>

#include "platform/host/internal.h"

namespace host {
namespace {

std::vector<Volume::Impl*>& gVolumes = *new std::vector<Volume::Impl*>();  // under detail::Lock()
unsigned gNextVolume = 1;
auto& gStreams = *new std::map<std::tuple<Volume::Impl*, dev_t, ino_t>, HostStream*>();  // likewise
std::atomic<size_t> gOpenFiles{0};


char16_t Upcase(char16_t c) { return (c >= u'a' && c <= u'z') ? (char16_t)(c - 32) : c; }

bool EqualNoCase(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); i++) {
        if (Upcase(a[i]) != Upcase(b[i])) {
            return false;
        }
    }
    return true;
}

// Finds the entry of dir whose name matches component: exactly first, then
// without regard to case when asked.
bool FindEntry(int dir, const std::string& component, bool caseInsensitive, std::string* found) {
    struct stat st;
    if (::fstatat(dir, component.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
        *found = component;
        return true;
    }
    if (!caseInsensitive) {
        return false;
    }
    const int copy = ::openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (copy < 0) {
        return false;
    }
    DIR* d = ::fdopendir(copy);
    if (d == nullptr) {
        ::close(copy);
        return false;
    }
    const std::u16string wanted = Utf16(component);
    bool ok = false;
    while (dirent* e = ::readdir(d)) {
        if (EqualNoCase(Utf16(e->d_name), wanted)) {
            *found = e->d_name;
            ok = true;
            break;
        }
    }
    ::closedir(d);
    return ok;
}

NTSTATUS StatusOfErrno(int error) {
    switch (error) {
        case ENOENT: return STATUS_OBJECT_NAME_NOT_FOUND;
        case ENOTDIR: return STATUS_OBJECT_PATH_NOT_FOUND;
        case EACCES:
        case EPERM:
        case EROFS: return STATUS_ACCESS_DENIED;
        case EISDIR: return STATUS_FILE_IS_A_DIRECTORY;
        case EEXIST: return STATUS_OBJECT_NAME_COLLISION;
        case ENOSPC: return STATUS_DISK_FULL;
        case ENOMEM: return STATUS_INSUFFICIENT_RESOURCES;
        default: return STATUS_IO_DEVICE_ERROR;
    }
}

// A name resolved beneath a volume root: the directory that holds its last
// component (open), that component's stored spelling if it exists.
struct Resolved {
    int parent = -1;
    std::string last;  // stored spelling, or as given when missing
    bool exists = false;
    struct stat st = {};
    std::u16string normalized;  // "\a\b" with the stored spelling of what exists
    std::filesystem::path path;
    ~Resolved() {
        if (parent >= 0) {
            ::close(parent);
        }
    }
};

// Splits "\a\b" into components. A trailing separator is allowed; an empty,
// "." or ".." component, a '/' or a NUL is an invalid name; so is a ':'
// other than a final "::$DATA" (the only stream this file system has).
NTSTATUS Split(const std::u16string& path, std::vector<std::u16string>* components) {
    size_t at = 0;
    while (at < path.size()) {
        if (path[at] != u'\\') {
            return STATUS_OBJECT_NAME_INVALID;
        }
        const size_t end = std::min(path.find(u'\\', at + 1), path.size());
        std::u16string component = path.substr(at + 1, end - at - 1);
        const bool last = end == path.size();
        if (component.empty() && last && !components->empty()) {
            break;
        }
        if (last && component.size() > 7 &&
            EqualNoCase(component.substr(component.size() - 7), u"::$DATA")) {
            component.resize(component.size() - 7);
        }
        if (component.empty() || component == u"." || component == u".." ||
            component.find_first_of(std::u16string_view(u"/\0:", 3)) != std::u16string::npos) {
            return STATUS_OBJECT_NAME_INVALID;
        }
        components->push_back(std::move(component));
        at = end;
    }
    return STATUS_SUCCESS;
}

// Symbolic links are never followed: with SL_STOP_ON_SYMLINK the open stops
// as on Windows; without it the link could lead outside the volume, so it is
// refused as well.
NTSTATUS Resolve(Volume::Impl* volume, const std::u16string& path, bool caseInsensitive,
                 bool stopOnSymlink, Resolved* r) {
    std::vector<std::u16string> components;
    NTSTATUS status = Split(path, &components);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (components.empty()) {
        return STATUS_OBJECT_NAME_INVALID;  // the root is opened as the volume
    }
    r->parent = ::open(volume->root.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (r->parent < 0) {
        return StatusOfErrno(errno);
    }
    r->path = volume->root;
    for (size_t i = 0; i < components.size(); i++) {
        const bool last = i + 1 == components.size();
        const std::string given = Utf8(components[i]);
        std::string found;
        if (!FindEntry(r->parent, given, caseInsensitive, &found)) {
            if (!last) {
                return STATUS_OBJECT_PATH_NOT_FOUND;
            }
            r->last = given;
            r->normalized += u"\\" + components[i];
            r->path /= given;
            return STATUS_SUCCESS;
        }
        struct stat st;
        if (::fstatat(r->parent, found.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            return StatusOfErrno(errno);
        }
        if (S_ISLNK(st.st_mode)) {
            return stopOnSymlink ? STATUS_STOPPED_ON_SYMLINK : STATUS_ACCESS_DENIED;
        }
        r->normalized += u"\\" + Utf16(found);
        r->path /= found;
        if (last) {
            r->last = found;
            r->exists = true;
            r->st = st;
            return STATUS_SUCCESS;
        }
        if (!S_ISDIR(st.st_mode)) {
            return STATUS_OBJECT_PATH_NOT_FOUND;
        }
        const int next =
            ::openat(r->parent, found.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (next < 0) {
            return StatusOfErrno(errno);
        }
        ::close(r->parent);
        r->parent = next;
    }
    return STATUS_SUCCESS;
}

// IoCheckShareAccess and IoSetShareAccess over a stream, under the lock.
bool ShareAccessAllowed(HostStream* s, ACCESS_MASK access, ULONG share, bool* counted) {
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

void RemoveShareAccess(HostStream* s, ACCESS_MASK access, ULONG share) {
    s->opens--;
    s->readers -= (access & (FILE_READ_DATA | FILE_EXECUTE)) != 0;
    s->writers -= (access & (FILE_WRITE_DATA | FILE_APPEND_DATA)) != 0;
    s->deleters -= (access & DELETE) != 0;
    s->sharedRead -= (share & FILE_SHARE_READ) != 0;
    s->sharedWrite -= (share & FILE_SHARE_WRITE) != 0;
    s->sharedDelete -= (share & FILE_SHARE_DELETE) != 0;
}

// Attaches an open host file to its stream and its file object.
NTSTATUS Attach(PFILE_OBJECT fo, int fd, const std::filesystem::path& path,
                const std::u16string& normalized, ACCESS_MASK access, ULONG share, bool stream) {
    HostFileObject* h = fo->Host;
    struct stat st;
    if (::fstat(fd, &st) != 0) {
        ::close(fd);
        return StatusOfErrno(errno);
    }
    if (stream) {
        std::lock_guard<std::mutex> lock(detail::Lock());
        HostStream*& s = gStreams[{h->volume, st.st_dev, st.st_ino}];
        if (s == nullptr) {
            s = new HostStream();
            s->volume = h->volume;
            s->device = st.st_dev;
            s->inode = st.st_ino;
        }
        bool counted = false;
        if (!ShareAccessAllowed(s, access, share, &counted)) {
            if (s->fileObjects == 0) {
                gStreams.erase({h->volume, st.st_dev, st.st_ino});
                delete s;
            }
            ::close(fd);
            return STATUS_SHARING_VIOLATION;
        }
        s->fileObjects++;
        h->stream = s;
        h->shareCounted = counted;
    }
    h->fd = fd;
    h->path = path;
    h->directory = S_ISDIR(st.st_mode);
    h->normalizedName = h->volume->deviceName + (normalized.empty() ? u"\\" : normalized);
    h->openedName = h->volume->deviceName + h->name;
    h->grantedAccess = access;
    h->shareAccess = share;
    h->opened = true;
    fo->FsContext = h->stream;
    detail::FileOpened();
    return STATUS_SUCCESS;
}

LONGLONG FileTime(const struct timespec& t) {
    return ((LONGLONG)t.tv_sec + 11644473600LL) * 10000000LL + t.tv_nsec / 100;
}

ULONG Attributes(const struct stat& st) {
    ULONG a = S_ISDIR(st.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
    if (!(st.st_mode & S_IWUSR)) {
        a |= FILE_ATTRIBUTE_READONLY;
    }
    return a;
}

void FillBasic(const struct stat& st, FILE_BASIC_INFORMATION* b) {
    b->CreationTime.QuadPart = FileTime(st.st_mtim);
    b->LastAccessTime.QuadPart = FileTime(st.st_atim);
    b->LastWriteTime.QuadPart = FileTime(st.st_mtim);
    b->ChangeTime.QuadPart = FileTime(st.st_ctim);
    b->FileAttributes = Attributes(st);
}

void FillStandard(const struct stat& st, FILE_STANDARD_INFORMATION* s) {
    s->AllocationSize.QuadPart = (LONGLONG)st.st_blocks * 512;
    s->EndOfFile.QuadPart = S_ISDIR(st.st_mode) ? 0 : st.st_size;
    s->NumberOfLinks = (ULONG)st.st_nlink;
    s->DeletePending = FALSE;
    s->Directory = S_ISDIR(st.st_mode) ? TRUE : FALSE;
}

// Copies a name into a variable-length record: as much as fits, with
// STATUS_BUFFER_OVERFLOW when not all did.
NTSTATUS CopyName(const std::u16string& name, void* to, ULONG room, ULONG* copied) {
    const ULONG bytes = (ULONG)(name.size() * sizeof(char16_t));
    *copied = std::min(bytes, room);
    std::memcpy(to, name.data(), *copied);
    return *copied < bytes ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

}  // namespace

// ---- Volumes ----

Volume::Volume(std::filesystem::path root, DeviceType type, FLT_FILESYSTEM_TYPE fileSystem)
    : impl_(new Impl()) {
    impl_->root = std::move(root);
    impl_->type = type;
    {
        std::lock_guard<std::mutex> lock(detail::Lock());
        impl_->number = gNextVolume++;
        gVolumes.push_back(impl_);
    }
    detail::NameVolume(impl_, fileSystem);
    detail::AttachFilters(impl_);
}

Volume::~Volume() {
    detail::DetachFilters(impl_);
    {
        std::lock_guard<std::mutex> lock(detail::Lock());
        std::erase(gVolumes, impl_);
    }
    delete impl_;
}

const std::filesystem::path& Volume::Root() const { return impl_->root; }
DeviceType Volume::Type() const { return impl_->type; }
FLT_FILESYSTEM_TYPE Volume::FileSystemType() const { return impl_->fileSystem; }
std::u16string Volume::DeviceName() const { return impl_->deviceName; }
std::u16string Volume::GuidName() const { return impl_->guidName; }
PFLT_INSTANCE Volume::Instance() const { return &impl_->instance; }
PFLT_VOLUME Volume::FltVolume() const { return &impl_->fltVolume; }

std::u16string Volume::NtName(std::string_view relative) const {
    std::u16string name = impl_->deviceName;
    std::u16string rest = Utf16(relative);
    for (char16_t& c : rest) {
        if (c == u'/') {
            c = u'\\';
        }
    }
    if (rest.empty() || rest[0] != u'\\') {
        name += u'\\';
    }
    return name + rest;
}

size_t OpenFileCount() { return gOpenFiles.load(); }

NTSTATUS OpenHostFile(const std::filesystem::path& path, PFILE_OBJECT* fileObject) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return StatusOfErrno(errno);
    }
    PFILE_OBJECT fo = detail::NewFileObject(nullptr, Utf16(path.string()), true);
    fo->Host->fd = fd;
    fo->Host->path = path;
    fo->Host->opened = true;
    fo->Host->grantedAccess = FILE_READ_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
    detail::FileOpened();
    *fileObject = fo;
    return STATUS_SUCCESS;
}

namespace detail {

void FileOpened() { gOpenFiles++; }
void FileClosed() { gOpenFiles--; }

std::vector<Volume::Impl*> Volumes() {
    std::lock_guard<std::mutex> lock(Lock());
    return gVolumes;
}

Volume::Impl* FindVolume(std::u16string_view name) {
    std::lock_guard<std::mutex> lock(Lock());
    for (Volume::Impl* v : gVolumes) {
        const std::u16string& device = v->deviceName;
        if (name.size() >= device.size() && EqualNoCase(name.substr(0, device.size()), device) &&
            (name.size() == device.size() || name[device.size()] == u'\\')) {
            return v;
        }
    }
    return nullptr;
}

void InitFileObject(PFILE_OBJECT fo, Volume::Impl* volume, std::u16string name, bool synchronous) {
    std::memset((void*)fo, 0, sizeof(*fo));
    fo->Type = 5;  // IO_TYPE_FILE
    fo->Size = sizeof(FILE_OBJECT);
    fo->Flags = synchronous ? FO_SYNCHRONOUS_IO : 0;
    fo->Host = new HostFileObject();
    fo->Host->name = std::move(name);
    fo->Host->volume = volume;
    fo->FileName.Buffer = fo->Host->name.data();
    fo->FileName.Length = fo->FileName.MaximumLength = (USHORT)(fo->Host->name.size() * 2);
}

PFILE_OBJECT NewFileObject(Volume::Impl* volume, std::u16string name, bool synchronous) {
    auto* fo = new FILE_OBJECT();
    InitFileObject(fo, volume, std::move(name), synchronous);
    return fo;
}

void FreeFileObject(PFILE_OBJECT fo) {
    const bool onStack = fo->Host->onStack;
    delete fo->Host;
    fo->Host = nullptr;
    if (!onStack) {
        delete fo;
    }
}

NTSTATUS FsNormalize(Volume::Impl* volume, const std::u16string& path, bool caseInsensitive,
                     std::u16string* normalized) {
    if (path.empty() || path == u"\\") {
        *normalized = volume->deviceName + u"\\";
        return STATUS_SUCCESS;
    }
    Resolved r;
    const NTSTATUS status = Resolve(volume, path, caseInsensitive, true, &r);
    if (!NT_SUCCESS(status) && status != STATUS_STOPPED_ON_SYMLINK) {
        return status;
    }
    *normalized = volume->deviceName + (NT_SUCCESS(status) ? r.normalized : path);
    return STATUS_SUCCESS;
}

NTSTATUS FsCreate(PFILE_OBJECT fo, const CreateParameters& p, ULONG_PTR* information) {
    *information = 0;
    NTSTATUS injected;
    if (NextCreateFails(&injected)) {
        return injected;
    }
    HostFileObject* h = fo->Host;
    const bool wantsWrite = p.access & (FILE_WRITE_DATA | FILE_APPEND_DATA);
    if (p.disposition > FILE_MAXIMUM_DISPOSITION) {
        return STATUS_INVALID_PARAMETER;
    }
    if (p.volumeOpen) {
        const int fd = ::open(h->volume->root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0) {
            return StatusOfErrno(errno);
        }
        *information = FILE_OPENED;
        return Attach(fo, fd, h->volume->root, u"", p.access, p.shareAccess, false);
    }
    Resolved r;
    NTSTATUS status = Resolve(h->volume, p.path, p.caseInsensitive,
                              (p.operationFlags & SL_STOP_ON_SYMLINK) != 0, &r);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (p.operationFlags & SL_OPEN_TARGET_DIRECTORY) {
        // The directory that would hold the name; the information says
        // whether the name itself exists.
        const int fd = ::openat(r.parent, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0) {
            return StatusOfErrno(errno);
        }
        *information = r.exists ? FILE_EXISTS : FILE_DOES_NOT_EXIST;
        const std::u16string parent = r.normalized.substr(0, r.normalized.rfind(u'\\'));
        return Attach(fo, fd, r.path.parent_path(), parent, p.access, p.shareAccess, true);
    }
    int fd;
    if (r.exists) {
        const bool directory = S_ISDIR(r.st.st_mode);
        if (p.disposition == FILE_CREATE) {
            return STATUS_OBJECT_NAME_COLLISION;
        }
        if (directory && (p.options & FILE_NON_DIRECTORY_FILE)) {
            return STATUS_FILE_IS_A_DIRECTORY;
        }
        if (!directory && (p.options & FILE_DIRECTORY_FILE)) {
            return STATUS_NOT_A_DIRECTORY;
        }
        const bool overwrite = p.disposition == FILE_OVERWRITE ||
                               p.disposition == FILE_OVERWRITE_IF ||
                               p.disposition == FILE_SUPERSEDE;
        if (directory && overwrite) {
            return STATUS_INVALID_PARAMETER;
        }
        // A read-only file refuses writers, whoever the host user is.
        if (!directory && (wantsWrite || overwrite) && !(r.st.st_mode & S_IWUSR)) {
            return STATUS_ACCESS_DENIED;
        }
        int flags =
            directory ? O_RDONLY | O_DIRECTORY : (wantsWrite || overwrite ? O_RDWR : O_RDONLY);
        if (overwrite) {
            flags |= O_TRUNC;
        }
        fd = ::openat(r.parent, r.last.c_str(), flags | O_NOFOLLOW | O_CLOEXEC);
        *information = p.disposition == FILE_SUPERSEDE ? FILE_SUPERSEDED
                       : overwrite                     ? FILE_OVERWRITTEN
                                                       : FILE_OPENED;
    } else {
        if (p.disposition == FILE_OPEN || p.disposition == FILE_OVERWRITE) {
            return STATUS_OBJECT_NAME_NOT_FOUND;
        }
        if (p.options & FILE_DIRECTORY_FILE) {
            if (::mkdirat(r.parent, r.last.c_str(), 0755) != 0) {
                return StatusOfErrno(errno);
            }
            fd =
                ::openat(r.parent, r.last.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        } else {
            fd = ::openat(r.parent, r.last.c_str(),
                          O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        }
        *information = FILE_CREATED;
    }
    if (fd < 0) {
        *information = 0;
        return StatusOfErrno(errno);
    }
    status = Attach(fo, fd, r.path, r.normalized, p.access, p.shareAccess, true);
    if (!NT_SUCCESS(status)) {
        *information = 0;
    }
    return status;
}

NTSTATUS FsRead(PFILE_OBJECT fo, LONGLONG offset, ULONG length, void* buffer, bool updateOffset,
                ULONG_PTR* information) {
    *information = 0;
    HostFileObject* h = fo->Host;
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
    // No size query first: a regular file's pread returns 0 only at or
    // beyond its end, so the end-of-file answer costs nothing on the common
    // path.
    ULONG done = 0;
    while (done < length) {
        const ssize_t got =
            ::pread(h->fd, (char*)buffer + done, length - done, (off_t)(offset + done));
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            return STATUS_IO_DEVICE_ERROR;
        }
        if (got == 0) {
            break;
        }
        done += (ULONG)got;
    }
    if (done == 0) {
        return STATUS_END_OF_FILE;
    }
    // The fault a write into an armed range raises on Windows.
    CheckAccess(buffer, done);
    *information = done;
    if (updateOffset) {
        fo->CurrentByteOffset.QuadPart = offset + done;
    }
    return STATUS_SUCCESS;
}

NTSTATUS FsWrite(PFILE_OBJECT fo, LONGLONG offset, ULONG length, const void* buffer, bool paging,
                 bool updateOffset, ULONG_PTR* information) {
    *information = 0;
    HostFileObject* h = fo->Host;
    if (h->directory) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (length == 0) {
        return STATUS_SUCCESS;
    }
    if (buffer == nullptr) {
        return STATUS_INVALID_USER_BUFFER;
    }
    struct stat st;
    if (::fstat(h->fd, &st) != 0) {
        return STATUS_IO_DEVICE_ERROR;
    }
    if (offset == -1) {  // FILE_WRITE_TO_END_OF_FILE
        offset = st.st_size;
    }
    if (offset < 0) {
        return STATUS_INVALID_PARAMETER;
    }
    if (paging) {
        // Paging writes never extend a file: what lies past the end is dropped.
        if (offset >= st.st_size) {
            return STATUS_SUCCESS;
        }
        length = (ULONG)std::min<LONGLONG>(length, st.st_size - offset);
    }
    ULONG done = 0;
    while (done < length) {
        const ssize_t put =
            ::pwrite(h->fd, (const char*)buffer + done, length - done, (off_t)(offset + done));
        if (put < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno == EBADF ? STATUS_ACCESS_DENIED : StatusOfErrno(errno);
        }
        done += (ULONG)put;
    }
    *information = done;
    if (updateOffset) {
        fo->CurrentByteOffset.QuadPart = offset + done;
    }
    return STATUS_SUCCESS;
}

NTSTATUS FsQueryInformation(PFILE_OBJECT fo, FILE_INFORMATION_CLASS fileClass, void* buffer,
                            ULONG length, ULONG_PTR* information) {
    *information = 0;
    HostFileObject* h = fo->Host;
    struct stat st;
    if (::fstat(h->fd, &st) != 0) {
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
        CheckAccess(buffer, size);
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
            ((FILE_INTERNAL_INFORMATION*)buffer)->IndexNumber.QuadPart = (LONGLONG)st.st_ino;
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
            all->InternalInformation.IndexNumber.QuadPart = (LONGLONG)st.st_ino;
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
            s->StreamSize.QuadPart = st.st_size;
            s->StreamAllocationSize.QuadPart = (LONGLONG)st.st_blocks * 512;
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
            n->AllocationSize.QuadPart = (LONGLONG)st.st_blocks * 512;
            n->EndOfFile.QuadPart = S_ISDIR(st.st_mode) ? 0 : st.st_size;
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

void FsCleanup(PFILE_OBJECT fo) {
    HostFileObject* h = fo->Host;
    std::lock_guard<std::mutex> lock(Lock());
    if (h->shareCounted) {
        RemoveShareAccess(h->stream, h->grantedAccess, h->shareAccess);
        h->shareCounted = false;
    }
}

std::vector<ContextRecord*> FsClose(PFILE_OBJECT fo) {
    HostFileObject* h = fo->Host;
    std::vector<ContextRecord*> detached;
    if (h->fd >= 0) {
        ::close(h->fd);
        h->fd = -1;
        FileClosed();
    }
    std::lock_guard<std::mutex> lock(Lock());
    if (h->shareCounted) {
        RemoveShareAccess(h->stream, h->grantedAccess, h->shareAccess);
        h->shareCounted = false;
    }
    if (HostStream* s = h->stream) {
        h->stream = nullptr;
        fo->FsContext = nullptr;
        if (--s->fileObjects == 0) {
            detached = DetachStreamContexts(s);
            gStreams.erase({s->volume, s->device, s->inode});
            delete s;
        }
    }
    return detached;
}

}  // namespace detail
}  // namespace host

// Volumes, opens beneath a volume root, and reads that answer as NTFS does.
#include <dirent.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <cstdio>
#include <map>
#include <mutex>
#include <set>
#include <vector>

#include "platform/host/internal.h"

namespace host {
namespace detail {
bool NextRead(NTSTATUS* fail, ULONG* limit);
void CheckAccess(const void* destination, size_t length);
}  // namespace detail

namespace {

std::mutex gVolumesMutex;
std::vector<Volume::Impl*> gVolumes;
unsigned gNextVolume = 1;

std::mutex gHandlesMutex;
std::set<HANDLE> gHandles;
std::atomic<size_t> gOpenFiles{0};

std::u16string Ascii16(const std::string& s) { return std::u16string(s.begin(), s.end()); }

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

std::u16string FromCounted(PCUNICODE_STRING s) {
    std::u16string out(s->Length / 2, u'\0');
    if (!out.empty()) {
        std::memcpy(out.data(), s->Buffer, out.size() * 2);
    }
    return out;
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
    case EPERM: return STATUS_ACCESS_DENIED;
    case EISDIR: return STATUS_FILE_IS_A_DIRECTORY;
    case ENOMEM: return STATUS_INSUFFICIENT_RESOURCES;
    default: return STATUS_IO_DEVICE_ERROR;
    }
}

PFILE_OBJECT NewFileObject(int fd, std::filesystem::path path, std::u16string name,
                           Volume::Impl* volume, bool synchronous) {
    auto* fo = new FILE_OBJECT();
    std::memset(fo, 0, sizeof(*fo));
    fo->Type = 5;  // IO_TYPE_FILE
    fo->Size = sizeof(FILE_OBJECT);
    fo->Flags = synchronous ? FO_SYNCHRONOUS_IO : 0;
    fo->Host = new HostFileObject();
    fo->Host->fd = fd;
    fo->Host->path = std::move(path);
    fo->Host->name = std::move(name);
    fo->Host->volume = volume;
    fo->FileName.Buffer = fo->Host->name.data();
    fo->FileName.Length = fo->FileName.MaximumLength = (USHORT)(fo->Host->name.size() * 2);
    gOpenFiles++;
    return fo;
}

void Reference(PFILE_OBJECT fo) { fo->Host->references++; }

}  // namespace

Volume::Volume(std::filesystem::path root, DeviceType type, FLT_FILESYSTEM_TYPE fileSystem)
    : impl_(new Impl()) {
    impl_->root = std::move(root);
    impl_->type = type;
    if (fileSystem == FLT_FSTYPE_UNKNOWN) {
        fileSystem = type == DeviceType::NetworkFileSystem ? FLT_FSTYPE_LANMAN
                     : type == DeviceType::CdRom           ? FLT_FSTYPE_CDFS
                                                           : FLT_FSTYPE_NTFS;
    }
    impl_->fileSystem = fileSystem;
    {
        std::lock_guard<std::mutex> lock(gVolumesMutex);
        impl_->number = gNextVolume++;
        gVolumes.push_back(impl_);
    }
    const std::string n = std::to_string(impl_->number);
    impl_->deviceName = Ascii16(type == DeviceType::NetworkFileSystem ? "\\Device\\Mup\\server" + n
                                                                      : "\\Device\\HarddiskVolume" + n);
    char guid[64];
    std::snprintf(guid, sizeof guid, "\\??\\Volume{%08x-0000-4000-8000-%012x}", impl_->number,
                  impl_->number);
    impl_->guidName = Ascii16(guid);
    impl_->fltVolume.volume = impl_;
    impl_->instance.volume = impl_;
}

Volume::~Volume() {
    {
        std::lock_guard<std::mutex> lock(gVolumesMutex);
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
    *fileObject = NewFileObject(fd, path, Utf16(path.string()), nullptr, true);
    return STATUS_SUCCESS;
}

}  // namespace host

using host::Volume;

extern "C" {

NTSTATUS FLTAPI FltCreateFileEx(PFLT_FILTER, PFLT_INSTANCE Instance, PHANDLE FileHandle,
                                PFILE_OBJECT* FileObject, ACCESS_MASK DesiredAccess,
                                POBJECT_ATTRIBUTES ObjectAttributes,
                                PIO_STATUS_BLOCK IoStatusBlock, PLARGE_INTEGER, ULONG, ULONG,
                                ULONG CreateDisposition, ULONG CreateOptions, PVOID, ULONG,
                                ULONG Flags) {
    using namespace host;
    auto finish = [&](NTSTATUS status) {
        if (IoStatusBlock != nullptr) {
            IoStatusBlock->Status = status;
            IoStatusBlock->Information = NT_SUCCESS(status) ? 1 /* FILE_OPENED */ : 0;
        }
        return status;
    };
    if (FileHandle == nullptr || ObjectAttributes == nullptr ||
        ObjectAttributes->ObjectName == nullptr) {
        return finish(STATUS_INVALID_PARAMETER);
    }
    if (CreateDisposition != FILE_OPEN) {
        return finish(STATUS_NOT_IMPLEMENTED);
    }
    const std::u16string name = FromCounted(ObjectAttributes->ObjectName);

    // The volume whose device name prefixes the path.
    Volume::Impl* volume = nullptr;
    {
        std::lock_guard<std::mutex> lock(gVolumesMutex);
        for (Volume::Impl* v : gVolumes) {
            const std::u16string& device = v->deviceName;
            if (name.size() >= device.size() &&
                EqualNoCase(std::u16string_view(name).substr(0, device.size()), device) &&
                (name.size() == device.size() || name[device.size()] == u'\\')) {
                volume = v;
                break;
            }
        }
    }
    if (volume == nullptr) {
        return finish(STATUS_OBJECT_PATH_NOT_FOUND);
    }
    if (Instance != nullptr && Instance->volume != volume) {
        return finish(STATUS_INVALID_PARAMETER);  // an instance opens on its own volume only
    }

    std::vector<std::string> components;
    std::u16string rest = name.substr(volume->deviceName.size());
    size_t at = 0;
    while (at < rest.size()) {
        if (rest[at] != u'\\') {
            return finish(STATUS_OBJECT_NAME_INVALID);
        }
        const size_t end = std::min(rest.find(u'\\', at + 1), rest.size());
        const std::u16string component = rest.substr(at + 1, end - at - 1);
        if (component.empty() && end == rest.size() && !components.empty()) {
            break;  // a trailing separator
        }
        if (component.empty() || component == u"." || component == u".." ||
            component.find(u'/') != std::u16string::npos ||
            component.find(u'\0') != std::u16string::npos) {
            return finish(STATUS_OBJECT_NAME_INVALID);
        }
        components.push_back(Utf8(component));
        at = end;
    }

    const bool caseInsensitive = (ObjectAttributes->Attributes & OBJ_CASE_INSENSITIVE) != 0;
    int dir = ::open(volume->root.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) {
        return finish(StatusOfErrno(errno));
    }
    std::filesystem::path path = volume->root;
    for (size_t i = 0; i < components.size(); i++) {
        const bool last = i + 1 == components.size();
        std::string found;
        if (!FindEntry(dir, components[i], caseInsensitive, &found)) {
            ::close(dir);
            return finish(last ? STATUS_OBJECT_NAME_NOT_FOUND : STATUS_OBJECT_PATH_NOT_FOUND);
        }
        struct stat st;
        if (::fstatat(dir, found.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            ::close(dir);
            return finish(StatusOfErrno(errno));
        }
        // Links are never followed: with IO_STOP_ON_SYMLINK the open stops as
        // on Windows; without it the link would lead outside the volume's
        // resolution, so it is refused as well.
        if (S_ISLNK(st.st_mode)) {
            ::close(dir);
            return finish((Flags & IO_STOP_ON_SYMLINK) ? STATUS_STOPPED_ON_SYMLINK
                                                       : STATUS_ACCESS_DENIED);
        }
        path /= found;
        if (!last) {
            if (!S_ISDIR(st.st_mode)) {
                ::close(dir);
                return finish(STATUS_OBJECT_PATH_NOT_FOUND);
            }
            const int next = ::openat(dir, found.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            ::close(dir);
            if (next < 0) {
                return finish(StatusOfErrno(errno));
            }
            dir = next;
            continue;
        }
        if (S_ISDIR(st.st_mode) && (CreateOptions & FILE_NON_DIRECTORY_FILE)) {
            ::close(dir);
            return finish(STATUS_FILE_IS_A_DIRECTORY);
        }
        if (!S_ISDIR(st.st_mode) && (CreateOptions & FILE_DIRECTORY_FILE)) {
            ::close(dir);
            return finish(STATUS_NOT_A_DIRECTORY);
        }
        const bool write = (DesiredAccess & (GENERIC_WRITE | FILE_WRITE_DATA | FILE_APPEND_DATA)) != 0;
        int mode = S_ISDIR(st.st_mode) ? O_RDONLY | O_DIRECTORY : (write ? O_RDWR : O_RDONLY);
        const int fd = ::openat(dir, found.c_str(), mode | O_NOFOLLOW | O_CLOEXEC);
        ::close(dir);
        if (fd < 0) {
            return finish(StatusOfErrno(errno));
        }
        const bool synchronous =
            (CreateOptions & (FILE_SYNCHRONOUS_IO_ALERT | FILE_SYNCHRONOUS_IO_NONALERT)) != 0;
        PFILE_OBJECT fo = host::NewFileObject(fd, path, name, volume, synchronous);
        if (FileObject != nullptr) {
            host::Reference(fo);
            *FileObject = fo;
        }
        {
            std::lock_guard<std::mutex> lock(gHandlesMutex);
            gHandles.insert(fo);
        }
        *FileHandle = fo;
        return finish(STATUS_SUCCESS);
    }
    ::close(dir);
    return finish(STATUS_INVALID_PARAMETER);  // the volume root itself is a volume open
}

NTSTATUS FLTAPI FltClose(HANDLE FileHandle) {
    {
        std::lock_guard<std::mutex> lock(host::gHandlesMutex);
        if (host::gHandles.erase(FileHandle) == 0) {
            host::detail::BugCheck("FltClose: invalid handle");
            return STATUS_INVALID_HANDLE;
        }
    }
    ObfDereferenceObject(FileHandle);
    return STATUS_SUCCESS;
}

VOID FASTCALL ObfDereferenceObject(PVOID Object) {
    auto* fo = (PFILE_OBJECT)Object;
    if (fo == nullptr || fo->Host == nullptr) {
        host::detail::BugCheck("ObfDereferenceObject: not a file object");
        return;
    }
    if (--fo->Host->references == 0) {
        ::close(fo->Host->fd);
        host::gOpenFiles--;
        delete fo->Host;
        delete fo;
    }
}

NTSTATUS FLTAPI FltReadFile(PFLT_INSTANCE, PFILE_OBJECT FileObject, PLARGE_INTEGER ByteOffset,
                            ULONG Length, PVOID Buffer, ULONG Flags, PULONG BytesRead,
                            PFLT_COMPLETED_ASYNC_IO_CALLBACK CallbackRoutine, PVOID) {
    if (BytesRead != nullptr) {
        *BytesRead = 0;
    }
    if (FileObject == nullptr || FileObject->Host == nullptr) {
        host::detail::BugCheck("FltReadFile: not a file object");
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
    if (limit > Length) {
        limit = Length;
    }
    if (Length == 0) {
        return STATUS_SUCCESS;
    }
    // No size query first: a regular file's pread returns 0 only at or
    // beyond its end, so the end-of-file answer costs nothing on the common
    // path.
    ULONG done = 0;
    while (done < limit) {
        const ssize_t got =
            ::pread(FileObject->Host->fd, (char*)Buffer + done, limit - done, (off_t)(offset + done));
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
    if (done == 0 && limit != 0) {
        return STATUS_END_OF_FILE;
    }
    // The fault a write into an armed range raises on Windows.
    host::detail::CheckAccess(Buffer, done);
    if (BytesRead != nullptr) {
        *BytesRead = done;
    }
    const ULONG keep = FLTFL_IO_OPERATION_DO_NOT_UPDATE_BYTE_OFFSET | FLTFL_IO_OPERATION_PAGING;
    if (!(Flags & keep) && (FileObject->Flags & FO_SYNCHRONOUS_IO)) {
        FileObject->CurrentByteOffset.QuadPart = offset + done;
    }
    return STATUS_SUCCESS;
}

}  // extern "C"

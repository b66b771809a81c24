// The Windows build of the tool's file layer. On Linux, platform/host's
// files.cpp and iomgr.cpp serve volumes, opens and reads over POSIX files
// inside a whole I/O manager and filter stack. The Windows build of the tool
// needs only what the driver's parser and the tool call without loading the
// driver: directories as volumes, FltCreateFileEx of existing files for
// reading, FltReadFile with NTFS's end-of-file answers, FltClose and
// ObfDereferenceObject. Those are here, over win32.h; the rest of
// platform/host that is plain C++ (pool, debug output, Rtl routines, status
// names) is compiled for Windows as it is. This sits beside platform/host
// because it replaces a piece of it; the kernel-mode Windows build
// (platform/windows) has no part in it.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/host/internal.h"
#include "platform/host/win32/win32.h"

namespace host {
namespace {

std::atomic<unsigned> gNextVolume{1};

// The kernel handle and the file object of one open. The Win32 handle stays
// open until the kernel handle is closed and the last file object reference
// is dropped, as the object manager keeps a file open.
struct OpenFile {
    FILE_OBJECT fileObject = {};  // its FsContext points back here
    win32::FileHandle file = nullptr;
    long references = 1;  // the kernel handle's, and one per file object handed out
    bool handleOpen = true;
    std::u16string name;  // FILE_OBJECT.FileName: the path on the volume
};

// Every open, so that a stale or foreign handle or file object is a bug
// check rather than a wild pointer.
std::mutex gOpenMutex;
std::set<OpenFile*> gOpen;

OpenFile* OpenOf(PFILE_OBJECT fileObject) {
    std::lock_guard<std::mutex> lock(gOpenMutex);
    if (fileObject == nullptr) {
        return nullptr;
    }
    auto* open = (OpenFile*)fileObject->FsContext;
    return gOpen.count(open) != 0 && &open->fileObject == fileObject ? open : nullptr;
}

void Release(OpenFile* open) {
    {
        std::lock_guard<std::mutex> lock(gOpenMutex);
        if (--open->references > 0) {
            return;
        }
        gOpen.erase(open);
    }
    win32::Close(open->file);
    delete open;
}

bool EqualAsciiNoCase(std::u16string_view a, std::u16string_view b) {
    auto lower = [](char16_t c) { return c >= u'A' && c <= u'Z' ? (char16_t)(c + 32) : c; };
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [&](char16_t x, char16_t y) { return lower(x) == lower(y); });
}

// The components of a volume-relative name ("\dir\file"), refused where NTFS
// refuses them or where Win32 would read more into them: empty, "." and ".."
// components, characters no Windows file name holds (FindFirstFileExW would
// take some as wildcards), and ':', so that no stream but a file's data is
// named. A trailing separator is allowed.
NTSTATUS Split(std::u16string_view path, std::vector<std::wstring>* components) {
    constexpr std::u16string_view kNotInNames = u"<>:\"/|?*";
    for (size_t at = 0; at < path.size();) {
        if (path[at] != u'\\') {
            return STATUS_OBJECT_NAME_INVALID;
        }
        const size_t end = std::min(path.find(u'\\', at + 1), path.size());
        const std::u16string_view component = path.substr(at + 1, end - at - 1);
        if (component.empty() && end == path.size() && !components->empty()) {
            break;
        }
        if (component.empty() || component == u"." || component == u"..") {
            return STATUS_OBJECT_NAME_INVALID;
        }
        for (const char16_t c : component) {
            if (c < 0x20 || kNotInNames.find(c) != std::u16string_view::npos) {
                return STATUS_OBJECT_NAME_INVALID;
            }
        }
        components->emplace_back(component.begin(), component.end());
        at = end;
    }
    // The volume itself is no file this layer opens.
    return components->empty() ? STATUS_OBJECT_NAME_INVALID : STATUS_SUCCESS;
}

// The path of a file beneath a volume's root, each component examined on the
// way as IO_STOP_ON_SYMLINK asks: a link stops the open. Without that flag a
// link is refused all the same, as on the host, since it could lead off the
// volume. Names are matched as the file system matches them
// (case-insensitively on NTFS).
NTSTATUS Resolve(const Volume::Impl& volume, const std::vector<std::wstring>& components,
                 bool stopOnLink, std::filesystem::path* path) {
    std::error_code ignored;
    *path = win32::ExtendedLength(std::filesystem::absolute(volume.root, ignored));
    for (size_t i = 0; i < components.size(); i++) {
        const bool last = i + 1 == components.size();
        *path /= components[i];
        win32::EntryKind kind;
        if (const uint32_t failure = win32::Examine(*path, &kind)) {
            return win32::StatusOfError(failure);
        }
        switch (kind) {
        case win32::EntryKind::Missing:
            return last ? STATUS_OBJECT_NAME_NOT_FOUND : STATUS_OBJECT_PATH_NOT_FOUND;
        case win32::EntryKind::Link:
            return stopOnLink ? STATUS_STOPPED_ON_SYMLINK : STATUS_ACCESS_DENIED;
        case win32::EntryKind::Directory:
            if (last) {
                return STATUS_FILE_IS_A_DIRECTORY;
            }
            break;
        case win32::EntryKind::File:
            if (!last) {
                return STATUS_OBJECT_PATH_NOT_FOUND;
            }
            break;
        }
    }
    return STATUS_SUCCESS;
}

}  // namespace

// ---- Volumes: a directory each, named as the host names its volumes ----

Volume::Volume(std::filesystem::path root, DeviceType type, FLT_FILESYSTEM_TYPE fileSystem)
    : impl_(new Impl()) {
    impl_->root = std::move(root);
    impl_->type = type;
    impl_->number = gNextVolume++;
    detail::NameVolume(impl_, fileSystem);
}

Volume::~Volume() { delete impl_; }

const std::filesystem::path& Volume::Root() const { return impl_->root; }
DeviceType Volume::Type() const { return impl_->type; }
FLT_FILESYSTEM_TYPE Volume::FileSystemType() const { return impl_->fileSystem; }
std::u16string Volume::DeviceName() const { return impl_->deviceName; }
std::u16string Volume::GuidName() const { return impl_->guidName; }
PFLT_INSTANCE Volume::Instance() const { return &impl_->instance; }
PFLT_VOLUME Volume::FltVolume() const { return &impl_->fltVolume; }

std::u16string Volume::NtName(std::string_view relative) const {
    std::u16string rest = Utf16(relative);
    std::replace(rest.begin(), rest.end(), u'/', u'\\');
    return impl_->deviceName + (rest.empty() || rest[0] != u'\\' ? u"\\" : u"") + rest;
}

size_t OpenFileCount() {
    std::lock_guard<std::mutex> lock(gOpenMutex);
    return gOpen.size();
}

namespace detail {

void ResetIoFaults() {}  // this layer injects no I/O faults

}  // namespace detail
}  // namespace host

extern "C" {

NTSTATUS FLTAPI FltCreateFileEx(PFLT_FILTER, PFLT_INSTANCE Instance, PHANDLE FileHandle,
                                PFILE_OBJECT* FileObject, ACCESS_MASK DesiredAccess,
                                POBJECT_ATTRIBUTES ObjectAttributes, PIO_STATUS_BLOCK IoStatusBlock,
                                PLARGE_INTEGER, ULONG, ULONG ShareAccess, ULONG CreateDisposition,
                                ULONG CreateOptions, PVOID, ULONG, ULONG Flags) {
    auto finish = [&](NTSTATUS status, ULONG_PTR information) {
        return host::detail::FinishCreateFile(IoStatusBlock, status, information);
    };
    std::u16string name;
    const NTSTATUS begun = host::detail::BeginCreateFile(FileHandle, FileObject, ObjectAttributes, &name);
    if (!NT_SUCCESS(begun)) {
        return finish(begun, 0);
    }
    if (Instance == nullptr || Instance->volume == nullptr) {
        return finish(STATUS_INVALID_PARAMETER, 0);
    }
    // Existing files, for reading: all that the parser and the tool open.
    constexpr ACCESS_MASK kReadAccess =
        GENERIC_READ | SYNCHRONIZE | FILE_READ_DATA | FILE_READ_ATTRIBUTES | FILE_READ_EA | READ_CONTROL;
    if (CreateDisposition != FILE_OPEN || (DesiredAccess & ~kReadAccess) != 0 ||
        (CreateOptions & FILE_DIRECTORY_FILE) != 0) {
        return finish(STATUS_NOT_SUPPORTED, 0);
    }
    // An instance opens on its own volume only.
    const host::Volume::Impl& volume = *Instance->volume;
    const std::u16string& device = volume.deviceName;
    if (name.size() < device.size() || !host::EqualAsciiNoCase(std::u16string_view(name).substr(0, device.size()), device) ||
        (name.size() > device.size() && name[device.size()] != u'\\')) {
        return finish(STATUS_OBJECT_PATH_NOT_FOUND, 0);
    }
    const std::u16string rest = name.substr(device.size());
    std::vector<std::wstring> components;
    NTSTATUS status = host::Split(rest, &components);
    std::filesystem::path path;
    if (NT_SUCCESS(status)) {
        status = host::Resolve(volume, components, (Flags & IO_STOP_ON_SYMLINK) != 0, &path);
    }
    if (!NT_SUCCESS(status)) {
        return finish(status, 0);
    }
    auto* open = new host::OpenFile();
    if (const uint32_t failure = host::win32::OpenForReading(path, ShareAccess, &open->file)) {
        delete open;
        return finish(host::win32::StatusOfError(failure), 0);
    }
    open->name = rest;
    FILE_OBJECT& fo = open->fileObject;
    fo.Type = 5;  // IO_TYPE_FILE
    fo.Size = sizeof(FILE_OBJECT);
    fo.Flags = (CreateOptions & (FILE_SYNCHRONOUS_IO_ALERT | FILE_SYNCHRONOUS_IO_NONALERT)) ? FO_SYNCHRONOUS_IO : 0;
    fo.FileName.Buffer = open->name.data();
    fo.FileName.Length = fo.FileName.MaximumLength = (USHORT)(open->name.size() * 2);
    fo.FsContext = open;
    {
        std::lock_guard<std::mutex> lock(host::gOpenMutex);
        open->references += FileObject != nullptr;
        host::gOpen.insert(open);
    }
    if (FileObject != nullptr) {
        *FileObject = &fo;
    }
    *FileHandle = open;
    return finish(STATUS_SUCCESS, FILE_OPENED);
}

NTSTATUS FLTAPI FltClose(HANDLE FileHandle) {
    auto* open = (host::OpenFile*)FileHandle;
    bool valid;
    {
        std::lock_guard<std::mutex> lock(host::gOpenMutex);
        valid = host::gOpen.count(open) != 0 && open->handleOpen;
        if (valid) {
            open->handleOpen = false;
        }
    }
    if (!valid) {
        host::detail::BugCheck("FltClose: invalid handle");
        return STATUS_INVALID_HANDLE;
    }
    host::Release(open);
    return STATUS_SUCCESS;
}

VOID FASTCALL ObfDereferenceObject(PVOID Object) {
    host::OpenFile* open = host::OpenOf((PFILE_OBJECT)Object);
    if (open == nullptr) {
        host::detail::BugCheck("ObfDereferenceObject: not a referenced file object");
        return;
    }
    host::Release(open);
}

NTSTATUS FLTAPI FltReadFile(PFLT_INSTANCE, PFILE_OBJECT FileObject, PLARGE_INTEGER ByteOffset,
                            ULONG Length, PVOID Buffer, ULONG Flags, PULONG BytesRead,
                            PFLT_COMPLETED_ASYNC_IO_CALLBACK CallbackRoutine, PVOID) {
    if (BytesRead != nullptr) {
        *BytesRead = 0;
    }
    host::OpenFile* open = host::OpenOf(FileObject);
    if (open == nullptr) {
        host::detail::BugCheck("FltReadFile: not an open file object");
        return STATUS_INVALID_PARAMETER;
    }
    if (CallbackRoutine != nullptr) {
        return STATUS_NOT_SUPPORTED;  // the driver reads synchronously only
    }
    const bool synchronous = (FileObject->Flags & FO_SYNCHRONOUS_IO) != 0;
    LONGLONG offset;
    if (ByteOffset != nullptr) {
        offset = ByteOffset->QuadPart;
    } else if (synchronous) {
        offset = FileObject->CurrentByteOffset.QuadPart;
    } else {
        return STATUS_INVALID_PARAMETER;
    }
    if (offset < 0) {
        return STATUS_INVALID_PARAMETER;
    }
    if (Length == 0) {
        return STATUS_SUCCESS;
    }
    if (Buffer == nullptr) {
        return STATUS_INVALID_USER_BUFFER;
    }
    uint32_t done = 0;
    if (const uint32_t failure = host::win32::ReadAt(open->file, (uint64_t)offset, Length, Buffer, &done)) {
        return host::win32::StatusOfError(failure);
    }
    if (BytesRead != nullptr) {
        *BytesRead = done;
    }
    if (synchronous && !(Flags & (FLTFL_IO_OPERATION_DO_NOT_UPDATE_BYTE_OFFSET | FLTFL_IO_OPERATION_PAGING))) {
        FileObject->CurrentByteOffset.QuadPart = offset + done;
    }
    return STATUS_SUCCESS;
}

}  // extern "C"

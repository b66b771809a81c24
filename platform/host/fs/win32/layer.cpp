// The Win32 file layer, for the Windows build of the tool: a volume over a
// directory, opened through the extended-length form of its path so that
// Win32 reinterprets no component. The tool and the driver's parser only
// read existing files, so that is all this layer serves; every other open is
// STATUS_NOT_SUPPORTED. Names reach it checked and split by the shared rules
// (fs/names.cpp), and the kernel's own matching (case-insensitive on NTFS)
// finds them.
#include <filesystem>
#include <string>
#include <vector>

#include "platform/host/fs/internal.h"
#include "platform/host/fs/win32/win32.h"

namespace host::fs {
namespace {

struct Win32File : File {
    explicit Win32File(win32::FileHandle h) : handle(h) {}
    ~Win32File() override { win32::Close(handle); }
    const win32::FileHandle handle;
};

win32::FileHandle HandleOf(File* file) { return static_cast<Win32File*>(file)->handle; }

class Win32Layer : public FileLayer {
public:
    explicit Win32Layer(const std::filesystem::path& root) {
        std::error_code ignored;
        root_ = win32::ExtendedLength(std::filesystem::absolute(root, ignored));
    }

    // The volume itself is no file this layer opens.
    NTSTATUS OpenRoot(File**) override { return STATUS_OBJECT_NAME_INVALID; }

    NTSTATUS Open(const OpenRequest& request, Opened* opened) override {
        constexpr ACCESS_MASK kReadAccess =
            SYNCHRONIZE | FILE_READ_DATA | FILE_READ_ATTRIBUTES | FILE_READ_EA | READ_CONTROL;
        if (request.disposition != FILE_OPEN || (request.access & ~kReadAccess) != 0 ||
            (request.options & FILE_DIRECTORY_FILE) != 0 || request.targetDirectory) {
            return STATUS_NOT_SUPPORTED;
        }
        std::filesystem::path path;
        const NTSTATUS status = Resolve(request.components, request.stopOnSymlink, &path);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        win32::FileHandle handle;
        if (const uint32_t failure = win32::OpenForReading(path, request.shareAccess, &handle)) {
            return win32::StatusOfError(failure);
        }
        opened->file = new Win32File(handle);
        for (const std::u16string& c : request.components) {
            opened->normalized += u"\\" + c;
        }
        opened->information = FILE_OPENED;
        return STATUS_SUCCESS;
    }

    // The names as given: the Windows build has no filter to ask for them.
    NTSTATUS Normalize(const std::vector<std::u16string>& components, bool,
                       std::u16string* normalized) override {
        for (const std::u16string& c : components) {
            *normalized += u"\\" + c;
        }
        return STATUS_SUCCESS;
    }

    NTSTATUS Read(File* file, uint64_t offset, ULONG length, void* buffer, ULONG* done) override {
        uint32_t got = 0;
        const uint32_t failure = win32::ReadAt(HandleOf(file), offset, length, buffer, &got);
        *done = got;
        return failure == 0 || failure == win32::kErrorHandleEof ? STATUS_SUCCESS
                                                                 : win32::StatusOfError(failure);
    }

    NTSTATUS Write(File*, uint64_t, ULONG, const void*, ULONG* done) override {
        *done = 0;
        return STATUS_ACCESS_DENIED;  // every file is open for reading only
    }

    NTSTATUS Describe(File* file, FileFacts* facts) override {
        win32::FileDescription d;
        if (const uint32_t failure = win32::Describe(HandleOf(file), &d)) {
            return win32::StatusOfError(failure);
        }
        facts->directory = d.directory;
        facts->readOnly = d.readOnly;
        facts->size = d.directory ? 0 : d.size;
        facts->allocation = d.size;
        facts->links = d.links;
        facts->device = d.volumeSerial;
        facts->index = d.fileIndex;
        facts->creationTime = d.creationTime;
        facts->lastAccessTime = d.lastAccessTime;
        facts->lastWriteTime = facts->changeTime = d.lastWriteTime;
        return STATUS_SUCCESS;
    }

    void Close(File* file) override { delete file; }

private:
    // The path of a file beneath the root, each component examined on the
    // way as IO_STOP_ON_SYMLINK asks: a link stops the open. Without that
    // flag a link is refused all the same, as by the POSIX layer, since it
    // could lead off the volume.
    NTSTATUS Resolve(const std::vector<std::u16string>& components, bool stopOnLink,
                     std::filesystem::path* path) const {
        *path = root_;
        for (size_t i = 0; i < components.size(); i++) {
            const bool last = i + 1 == components.size();
            *path /= std::wstring(components[i].begin(), components[i].end());
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

    std::filesystem::path root_;
};

}  // namespace

std::unique_ptr<FileLayer> NewHostLayer(const std::filesystem::path& root) {
    return std::make_unique<Win32Layer>(root);
}

}  // namespace host::fs

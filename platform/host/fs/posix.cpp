// The POSIX file layer: a volume over a host directory, each name resolved
// component by component beneath the root with openat, never following a
// symbolic link, and matched without regard to case when the open asks.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>

#include "platform/host/fs/cached_views.h"
#include "platform/host/fs/internal.h"
#include "platform/host/rtl/rtl.h"

namespace host::fs {
namespace {

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
    ~Resolved() {
        if (parent >= 0) {
            ::close(parent);
        }
    }
};

// Symbolic links are never followed: with SL_STOP_ON_SYMLINK the open stops
// as on Windows; without it the link could lead outside the volume, so it is
// refused as well.
NTSTATUS Resolve(const std::filesystem::path& root, const std::vector<std::u16string>& components,
                 bool caseInsensitive, bool stopOnSymlink, Resolved* r) {
    r->parent = ::open(root.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (r->parent < 0) {
        return StatusOfErrno(errno);
    }
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

LONGLONG FileTime(const struct timespec& t) {
    return ((LONGLONG)t.tv_sec + 11644473600LL) * 10000000LL + t.tv_nsec / 100;
}

struct PosixFile : File {
    explicit PosixFile(int descriptor) : fd(descriptor), views(descriptor) {}
    ~PosixFile() override {
        views.reset();  // the lease goes with the descriptor
        ::close(fd);
    }
    const int fd;
    std::optional<CachedViews> views;
};

int Fd(File* file) { return static_cast<PosixFile*>(file)->fd; }

NTSTATUS Opened(int fd, File** file) {
    if (fd < 0) {
        return StatusOfErrno(errno);
    }
    *file = new PosixFile(fd);
    return STATUS_SUCCESS;
}

class PosixLayer : public FileLayer {
public:
    explicit PosixLayer(std::filesystem::path root) : root_(std::move(root)) {}

    NTSTATUS OpenRoot(File** file) override {
        return Opened(::open(root_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC), file);
    }

    NTSTATUS Open(const OpenRequest& p, fs::Opened* opened) override {
        Resolved r;
        NTSTATUS status = Resolve(root_, p.components, p.caseInsensitive, p.stopOnSymlink, &r);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        if (p.targetDirectory) {
            // The directory that would hold the name; the information says
            // whether the name itself exists.
            status =
                Opened(::openat(r.parent, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC), &opened->file);
            opened->information = r.exists ? FILE_EXISTS : FILE_DOES_NOT_EXIST;
            opened->normalized = r.normalized.substr(0, r.normalized.rfind(u'\\'));
            return status;
        }
        const bool directory = r.exists ? S_ISDIR(r.st.st_mode) : (p.options & FILE_DIRECTORY_FILE);
        const Disposition d = Decide(p, r.exists, directory, r.exists && !(r.st.st_mode & S_IWUSR));
        if (!NT_SUCCESS(d.status)) {
            return d.status;
        }
        int fd;
        if (r.exists) {
            int flags = directory ? O_RDONLY | O_DIRECTORY : (d.writable ? O_RDWR : O_RDONLY);
            if (d.overwrite) {
                flags |= O_TRUNC;
            }
            fd = ::openat(r.parent, r.last.c_str(), flags | O_NOFOLLOW | O_CLOEXEC);
        } else if (directory) {
            if (::mkdirat(r.parent, r.last.c_str(), 0755) != 0) {
                return StatusOfErrno(errno);
            }
            fd =
                ::openat(r.parent, r.last.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        } else {
            fd = ::openat(r.parent, r.last.c_str(),
                          O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        }
        opened->information = d.information;
        opened->normalized = r.normalized;
        return Opened(fd, &opened->file);
    }

    NTSTATUS Normalize(const std::vector<std::u16string>& components, bool caseInsensitive,
                       std::u16string* normalized) override {
        Resolved r;
        const NTSTATUS status = Resolve(root_, components, caseInsensitive, true, &r);
        *normalized = r.normalized;
        return status;
    }

    NTSTATUS Read(File* file, uint64_t offset, ULONG length, void* buffer, ULONG* done) override {
        *done = 0;
        while (*done < length) {
            const ssize_t got =
                ::pread(Fd(file), (char*)buffer + *done, length - *done, (off_t)(offset + *done));
            if (got < 0) {
                if (errno == EINTR) {
                    continue;
                }
                return STATUS_IO_DEVICE_ERROR;
            }
            if (got == 0) {
                break;
            }
            *done += (ULONG)got;
        }
        return STATUS_SUCCESS;
    }

    NTSTATUS ReadCached(File* file, uint64_t offset, ULONG length, void* buffer,
                        ULONG* done) override {
        if (length <= CachedViews::kLargestRead &&
            static_cast<PosixFile*>(file)->views->Copy(offset, length, buffer)) {
            *done = length;
            return STATUS_SUCCESS;
        }
        return Read(file, offset, length, buffer, done);
    }

    NTSTATUS Write(File* file, uint64_t offset, ULONG length, const void* buffer,
                   ULONG* done) override {
        *done = 0;
        while (*done < length) {
            const ssize_t put = ::pwrite(Fd(file), (const char*)buffer + *done, length - *done,
                                         (off_t)(offset + *done));
            if (put < 0) {
                if (errno == EINTR) {
                    continue;
                }
                return errno == EBADF ? STATUS_ACCESS_DENIED : StatusOfErrno(errno);
            }
            *done += (ULONG)put;
        }
        return STATUS_SUCCESS;
    }

    NTSTATUS Describe(File* file, FileFacts* facts) override {
        struct stat st;
        if (::fstat(Fd(file), &st) != 0) {
            return StatusOfErrno(errno);
        }
        facts->directory = S_ISDIR(st.st_mode);
        facts->readOnly = !(st.st_mode & S_IWUSR);
        facts->size = facts->directory ? 0 : (uint64_t)st.st_size;
        facts->allocation = (uint64_t)st.st_blocks * 512;
        facts->links = (uint32_t)st.st_nlink;
        facts->device = (uint64_t)st.st_dev;
        facts->index = (uint64_t)st.st_ino;
        facts->creationTime = FileTime(st.st_mtim);
        facts->lastAccessTime = FileTime(st.st_atim);
        facts->lastWriteTime = FileTime(st.st_mtim);
        facts->changeTime = FileTime(st.st_ctim);
        return STATUS_SUCCESS;
    }

    void Close(File* file) override { delete file; }

private:
    const std::filesystem::path root_;
};

}  // namespace

std::unique_ptr<FileLayer> NewHostLayer(const std::filesystem::path& root) {
    return std::make_unique<PosixLayer>(root);
}

}  // namespace host::fs

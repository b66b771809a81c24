// The tool's POSIX file access: HostFile (layout.h) and WriteFileAtomically
// (stub_file.h). tools/win32/files.cpp is the Windows counterpart.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "tools/cli.h"
#include "tools/layout.h"
#include "tools/stub_file.h"

namespace tool {

HostFile::~HostFile() { ::close(fd_); }

std::unique_ptr<HostFile> HostFile::Open(const std::filesystem::path& path, std::string* error) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        *error = std::strerror(errno);
        return nullptr;
    }
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        *error = S_ISDIR(st.st_mode) ? "Is a directory" : "not a regular file";
        ::close(fd);
        return nullptr;
    }
    return std::unique_ptr<HostFile>(new HostFile(fd, (uint64_t)st.st_size));
}

size_t HostFile::ReadAt(uint64_t offset, void* buffer, size_t length) const {
    uint8_t* out = (uint8_t*)buffer;
    size_t done = 0;
    while (done < length && offset + done < size_) {
        const ssize_t n = ::pread(fd_, out + done, length - done, (off_t)(offset + done));
        if (n <= 0) {
            if (n < 0 && errno == EINTR) {
                continue;
            }
            break;
        }
        done += (size_t)n;
    }
    std::memset(out + done, 0, length - done);
    return done;
}

void WriteFileAtomically(const std::filesystem::path& path, const std::vector<uint8_t>& bytes,
                         bool overwrite) {
    std::string temporary =
        (path.parent_path() / ("." + path.filename().string() + ".XXXXXX")).string();
    const int fd = ::mkstemp(temporary.data());
    if (fd < 0) {
        throw ToolError{path.parent_path().string(), ErrnoText(errno)};
    }
    auto fail = [&](int error) {
        ::unlink(temporary.c_str());
        throw ToolError{path.string(), ErrnoText(error)};
    };
    const mode_t mask = ::umask(0);
    ::umask(mask);
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            const int error = n < 0 ? errno : EIO;
            ::close(fd);
            fail(error);
        }
        done += (size_t)n;
    }
    if (::fchmod(fd, 0666 & ~mask) != 0 || ::fsync(fd) != 0) {
        const int error = errno;
        ::close(fd);
        fail(error);
    }
    if (::close(fd) != 0) {
        fail(errno);
    }
    if (overwrite) {
        if (::rename(temporary.c_str(), path.c_str()) != 0) {
            fail(errno);
        }
        return;
    }
    // No replacing: an existing file stays as it is.
    if (::renameat2(AT_FDCWD, temporary.c_str(), AT_FDCWD, path.c_str(), RENAME_NOREPLACE) == 0) {
        return;
    }
    int error = errno;
    if (error == EINVAL || error == ENOSYS) {
        // A file system without RENAME_NOREPLACE: a hard link refuses to replace too.
        if (::link(temporary.c_str(), path.c_str()) == 0) {
            ::unlink(temporary.c_str());
            return;
        }
        error = errno;
    }
    ::unlink(temporary.c_str());
    throw ToolError{path.string(), error == EEXIST ? "already exists (--overwrite replaces it)"
                                                   : ErrnoText(error)};
}

}  // namespace tool

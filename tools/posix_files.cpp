// The tool's POSIX file writing: WriteFileAtomically (stub_file.h). The
// reader's HostFile is in reader/host_file.cpp; tools/win32/files.cpp is the
// Windows counterpart of both.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "tools/cli.h"
#include "tools/stub_file.h"

namespace tool {

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

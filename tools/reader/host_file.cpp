// HostFile (layout.h) on POSIX. tools/win32/files.cpp is the Windows
// counterpart.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "tools/reader/layout.h"

namespace tool {

HostFile::~HostFile() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

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

}  // namespace tool

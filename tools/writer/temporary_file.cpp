#include "tools/writer/temporary_file.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "tools/cli.h"

namespace tool {

namespace {
constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGXFSZ};
char gPending[4096];  // the temporary file a terminating signal removes

void OnSignal(int signal) {
    if (gPending[0] != 0) {
        ::unlink(gPending);
    }
    ::signal(signal, SIG_DFL);
    ::raise(signal);
}
}  // namespace

TemporaryFile::TemporaryFile(const std::string& target) : target_(target) {
    const std::filesystem::path absolute = std::filesystem::absolute(target);
    directory_ = absolute.parent_path().string();
    std::string name =
        (absolute.parent_path() / ("." + absolute.filename().string() + ".XXXXXX")).string();
    if (name.size() >= sizeof gPending) {
        throw ToolError{target, ErrnoText(ENAMETOOLONG)};
    }
    fd_ = ::mkostemp(name.data(), O_CLOEXEC);
    if (fd_ < 0) {
        throw ToolError{target, ErrnoText(errno)};
    }
    name_ = name;
    std::memcpy(gPending, name.c_str(), name.size() + 1);
    // Signals the tool was started to ignore stay ignored: a write past the
    // file size limit is then an error like any other.
    struct sigaction action = {};
    action.sa_handler = OnSignal;
    for (int signal : kSignals) {
        struct sigaction old;
        if (::sigaction(signal, nullptr, &old) == 0 && old.sa_handler != SIG_IGN) {
            ::sigaction(signal, &action, nullptr);
            handled_.push_back(signal);
        }
    }
}

TemporaryFile::~TemporaryFile() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
    if (!committed_) {
        ::unlink(name_.c_str());
    }
    gPending[0] = 0;
    for (int signal : handled_) {
        ::signal(signal, SIG_DFL);
    }
}

void TemporaryFile::Commit() {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    if (::fchmod(fd_, 0666 & ~mask) != 0 || ::fsync(fd_) != 0) {
        throw ToolError{target_, ErrnoText(errno)};
    }
    const int closed = ::close(fd_);
    fd_ = -1;
    if (closed != 0 || ::rename(name_.c_str(), target_.c_str()) != 0) {
        throw ToolError{target_, ErrnoText(errno)};
    }
    committed_ = true;
    gPending[0] = 0;
    // The rename itself reaches the disk with the directory.
    const int directory = ::open(directory_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (directory >= 0) {
        ::fsync(directory);
        ::close(directory);
    }
}

void WriteFully(int fd, const void* data, size_t length, std::optional<uint64_t> offset,
                const std::string& name) {
    const uint8_t* p = (const uint8_t*)data;
    while (length > 0) {
        const ssize_t n = offset ? ::pwrite(fd, p, length, (off_t)*offset) : ::write(fd, p, length);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            throw ToolError{name, ErrnoText(n < 0 ? errno : EIO)};
        }
        p += n;
        length -= (size_t)n;
        if (offset) {
            *offset += (uint64_t)n;
        }
    }
}

}  // namespace tool

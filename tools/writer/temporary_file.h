// The one way the tool writes a new file: under a temporary name beside its
// destination, renamed into place when complete.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tool {

// A file built under a temporary name beside its destination, which appears
// there only through Commit, flushed to stable storage. Destroyed without a
// Commit, or when a terminating signal ends the tool, the temporary file is
// removed: nothing half-written is left. One at a time in a process.
class TemporaryFile {
public:
    explicit TemporaryFile(const std::string& target);  // throws ToolError
    ~TemporaryFile();
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;

    int fd() const { return fd_; }
    // Gives it the permissions a new file gets, flushes it and renames it
    // over the target, then flushes the directory. Throws ToolError.
    void Commit();

private:
    std::string target_, directory_, name_;
    std::vector<int> handled_;  // the signals whose handler removes it
    int fd_ = -1;
    bool committed_ = false;
};

// Writes all of data at offset, or at the file's position when there is no
// offset (a pipe), through short writes and interruptions. Throws ToolError
// naming name.
void WriteFully(int fd, const void* data, size_t length, std::optional<uint64_t> offset,
                const std::string& name);

}  // namespace tool

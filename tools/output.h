// Where served bytes go: stdout, or a file that appears whole or not at all.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tools/writer/temporary_file.h"

namespace tool {

class Output {
public:
    // "" or "-": stdout. Otherwise a temporary file beside path, renamed
    // over it by Commit. Sparse: runs of zeros become holes. Throws ToolError.
    Output(const std::string& path, bool sparse);
    // Without a Commit the temporary file is removed: nothing is left.
    ~Output();
    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;

    // Appends. Throws ToolError.
    void Write(const uint8_t* data, size_t length);
    // Writes at offset of a file; safe from several threads at once. The
    // file's size at Commit covers the furthest byte written. Throws ToolError.
    void WriteAt(const uint8_t* data, size_t length, uint64_t offset);
    // Sets a file's size before positional writes, so that they never extend
    // it. Throws ToolError.
    void Reserve(uint64_t size);
    void Commit();  // throws ToolError
    bool ToStdout() const { return path_.empty(); }

private:
    void WriteAll(const uint8_t* data, size_t length, uint64_t offset);

    std::string path_;  // the final name ("" for stdout)
    std::optional<TemporaryFile> file_;
    int fd_ = 1;
    bool sparse_;
    std::atomic<uint64_t> position_{0};  // appended so far, or the furthest byte written
};

// Shows progress on stderr when it is a terminal, at most ten times a second.
class Progress {
public:
    Progress(const char* what, uint64_t total);
    ~Progress();
    void Update(uint64_t done, bool force = false);

private:
    const char* what_;
    uint64_t total_;
    bool shown_;
    bool drawn_ = false;
    std::chrono::steady_clock::time_point last_{};
};

}  // namespace tool

#include "tools/output.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "tools/cli.h"

namespace tool {
namespace {

constexpr size_t kHoleUnit = 4096;  // a zero run this long and aligned becomes a hole

bool AllZero(const uint8_t* data, size_t length) {
    size_t i = 0;
    for (; i + 8 <= length; i += 8) {
        uint64_t word;
        __builtin_memcpy(&word, data + i, 8);
        if (word != 0) {
            return false;
        }
    }
    for (; i < length; i++) {
        if (data[i] != 0) {
            return false;
        }
    }
    return true;
}

}  // namespace

Output::Output(const std::string& path, bool sparse) : sparse_(sparse) {
    if (path.empty() || path == "-") {
        sparse_ = false;
        return;
    }
    if (std::filesystem::is_directory(path)) {
        throw ToolError{path, ErrnoText(EISDIR)};
    }
    path_ = path;
    file_.emplace(path);
    fd_ = file_->fd();
}

Output::~Output() = default;

void Output::WriteAll(const uint8_t* data, size_t length, uint64_t offset) {
    if (ToStdout()) {
        WriteFully(fd_, data, length, std::nullopt, "stdout");
    } else {
        WriteFully(fd_, data, length, offset, path_);
    }
}

void Output::Write(const uint8_t* data, size_t length) {
    if (ToStdout()) {
        WriteAll(data, length, 0);
        position_ += length;
    } else {
        WriteAt(data, length, position_);
    }
}

void Output::WriteAt(const uint8_t* data, size_t length, uint64_t offset) {
    if (sparse_) {
        // Non-zero stretches are written; aligned zero units are skipped.
        size_t pending = 0;  // start of the stretch not yet written
        for (size_t at = 0; at < length;) {
            const size_t unit =
                std::min(kHoleUnit - (size_t)((offset + at) % kHoleUnit), length - at);
            if (unit == kHoleUnit && AllZero(data + at, unit)) {
                WriteAll(data + pending, at - pending, offset + pending);
                pending = at + unit;
            }
            at += unit;
        }
        WriteAll(data + pending, length - pending, offset + pending);
    } else {
        WriteAll(data, length, offset);
    }
    const uint64_t end = offset + length;
    for (uint64_t seen = position_; seen < end && !position_.compare_exchange_weak(seen, end);) {
    }
}

void Output::Reserve(uint64_t size) {
    if (!ToStdout() && ::ftruncate(fd_, (off_t)size) != 0) {
        throw ToolError{path_, ErrnoText(errno)};
    }
}

void Output::Commit() {
    if (ToStdout()) {
        return;
    }
    // The size covers a hole at the end too.
    if (::ftruncate(fd_, (off_t)position_.load()) != 0) {
        throw ToolError{path_, ErrnoText(errno)};
    }
    file_->Commit();
}

Progress::Progress(const char* what, uint64_t total)
    : what_(what), total_(total), shown_(::isatty(2) != 0) {}

Progress::~Progress() {
    if (shown_ && drawn_) {
        std::fputs("\n", stderr);
    }
}

void Progress::Update(uint64_t done, bool force) {
    const auto now = std::chrono::steady_clock::now();
    if (!shown_ || (!force && now - last_ < std::chrono::milliseconds(100))) {
        return;
    }
    last_ = now;
    drawn_ = true;
    const unsigned percent = total_ ? (unsigned)(done * 100 / total_) : 100;
    char bar[32];
    std::memset(bar, ' ', 30);
    std::memset(bar, '=', percent * 30 / 100);
    bar[30] = 0;
    std::fprintf(stderr, "\rpontor: %s [%s] %3u%% %" PRIu64 "/%" PRIu64 " MiB", what_, bar, percent,
                 done >> 20, total_ >> 20);
}

}  // namespace tool

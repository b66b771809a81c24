// A progress bar on stderr for long work, shown only on a terminal.
#pragma once

#include <unistd.h>

#include <chrono>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace tool {

// Shows progress on a terminal, at most ten times a second.
class Progress {
public:
    Progress(const char* what, uint64_t total)
        : what_(what), total_(total), shown_(::isatty(2) != 0) {}
    ~Progress() {
        if (shown_ && drawn_) {
            std::fputs("\n", stderr);
        }
    }
    void Update(uint64_t done, bool force = false) {
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
        std::fprintf(stderr, "\rpontor: %s [%s] %3u%% %" PRIu64 "/%" PRIu64 " MiB", what_, bar,
                     percent, done >> 20, total_ >> 20);
    }

private:
    const char* what_;
    uint64_t total_;
    bool shown_;
    bool drawn_ = false;
    std::chrono::steady_clock::time_point last_{};
};

}  // namespace tool

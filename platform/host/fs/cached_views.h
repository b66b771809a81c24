// Cached reads of less than a page, copied from views of the file as the
// cache manager copies them on Windows instead of a system call each: a
// pread of a BAT entry's 8 bytes costs many times what their copy does.
//
// A view is only safe while the file cannot shrink beneath it (a truncated
// mapping faults). The views are therefore taken under a read lease, which
// the kernel breaks before anyone opens the file for writing or truncates
// it: the views are dropped, the lease given back, and reads go to the file
// again. Where no lease can be had (a file open for writing elsewhere, a
// file system without leases, a user who does not own the file), every read
// goes to the file.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>

namespace host::fs {

class CachedViews {
public:
    explicit CachedViews(int fd) : fd_(fd) {}
    ~CachedViews();  // before the descriptor closes
    CachedViews(const CachedViews&) = delete;
    CachedViews& operator=(const CachedViews&) = delete;

    // Copies length bytes at offset from a view; false when the read is the
    // file's to answer (no lease, not within one view, beyond the end as
    // leased, or a view not worth mapping).
    bool Copy(uint64_t offset, size_t length, void* buffer);

    // The largest read Copy takes.
    static constexpr size_t kLargestRead = 4095;

    // Drops the views and gives the lease back: the kernel is breaking it.
    void Revoke();

private:
    static constexpr uint64_t kViewBytes = 256 << 10;  // the cache manager's view size
    static constexpr int kViews = 8;
    // Short-lived opens (a size query, one header read) take no lease.
    static constexpr uint32_t kReadsBeforeLease = 16;

    enum State : int { kUntried, kAcquiring, kLeased, kOff };
    struct View {
        uint64_t base = 0;
        char* at = nullptr;  // null: the slot is free
        size_t bytes = 0;
        uint64_t lastUse = 0;
    };

    void Acquire();
    View* Find(uint64_t base);
    View* Map(uint64_t base);  // under mutex_
    bool WorthMapping() const;
    void UnmapAll();  // under mutex_

    const int fd_;
    std::atomic<int> state_{kUntried};
    std::atomic<uint32_t> smallReads_{0};
    std::mutex mutex_;
    uint64_t size_ = 0;  // the file's size under the lease, which keeps it
    View views_[kViews];
    uint64_t clock_ = 0, hits_ = 0, maps_ = 0;  // under mutex_
};

}  // namespace host::fs

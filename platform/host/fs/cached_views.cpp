#include "platform/host/fs/cached_views.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <thread>
#include <unordered_map>

#include "platform/host/rtl/internal.h"

namespace host::fs {
namespace {

// A child forked after leases were taken has no watcher: the kernel would
// tell its parent's, which may be gone. Its views are never used.
std::atomic<bool> gForked{false};

// The thread the kernel tells of lease breaks: each lease names it as the
// owner, with a real-time signal that carries the descriptor, which only
// this thread takes (blocked in it, read through a signalfd). It runs for
// the rest of the process.
class LeaseWatcher {
public:
    static LeaseWatcher& Get() {
        static LeaseWatcher* watcher = new LeaseWatcher();
        return *watcher;
    }

    // Takes a read lease on fd for views, or false.
    bool Lease(int fd, CachedViews* views) {
        if (tid_ <= 0) {
            return false;
        }
        std::lock_guard<std::mutex> lock(mutex_);
        f_owner_ex owner = {F_OWNER_TID, tid_};
        if (::fcntl(fd, F_SETSIG, Signal()) != 0 || ::fcntl(fd, F_SETOWN_EX, &owner) != 0 ||
            ::fcntl(fd, F_SETLEASE, F_RDLCK) != 0) {
            return false;
        }
        leased_[fd] = views;
        return true;
    }

    // After this, no break of fd's lease reaches views.
    void Forget(int fd, CachedViews* views) {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = leased_.find(fd);
        if (it != leased_.end() && it->second == views) {
            leased_.erase(it);
        }
    }

private:
    static int Signal() { return SIGRTMIN + 1; }

    LeaseWatcher() {
        ::pthread_atfork(nullptr, nullptr, [] { gForked = true; });
        std::unique_lock<std::mutex> lock(mutex_);
        rtl::StartServiceThread([this] { Run(); });
        started_.wait(lock, [this] { return tid_ != 0; });
    }

    void Run() {
        // Both are blocked, as every process signal is in a service thread.
        // An overflow of the signal queue is told with SIGIO: every lease
        // is then given back.
        sigset_t set;
        ::sigemptyset(&set);
        ::sigaddset(&set, Signal());
        ::sigaddset(&set, SIGIO);
        const int signals = ::signalfd(-1, &set, SFD_CLOEXEC);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            tid_ = signals >= 0 ? ::gettid() : -1;
        }
        started_.notify_all();
        if (signals < 0) {
            return;
        }
        for (;;) {
            signalfd_siginfo info;
            if (::read(signals, &info, sizeof info) != (ssize_t)sizeof info) {
                continue;
            }
            std::lock_guard<std::mutex> lock(mutex_);
            if ((int)info.ssi_signo == SIGIO) {
                for (const auto& [fd, views] : leased_) {
                    views->Revoke();
                }
                leased_.clear();
            } else if (auto it = leased_.find(info.ssi_fd); it != leased_.end()) {
                it->second->Revoke();
                leased_.erase(it);
            }
        }
    }

    std::mutex mutex_;
    std::condition_variable started_;
    pid_t tid_ = 0;                                 // -1: no watcher, no leases
    std::unordered_map<int, CachedViews*> leased_;  // by descriptor
};

}  // namespace

// Forget waits for a break the watcher is handling, which still uses this.
CachedViews::~CachedViews() {
    if (state_ != kUntried) {
        LeaseWatcher::Get().Forget(fd_, this);
    }
    std::lock_guard<std::mutex> lock(mutex_);
    UnmapAll();
}

bool CachedViews::Copy(uint64_t offset, size_t length, void* buffer) {
    const int state = state_.load(std::memory_order_acquire);
    if (gForked.load(std::memory_order_relaxed)) {
        return false;
    }
    if (state != kLeased) {
        if (state == kUntried && smallReads_.fetch_add(1) + 1 == kReadsBeforeLease) {
            Acquire();
        }
        return false;
    }
    const uint64_t base = offset & ~(kViewBytes - 1);
    if (length == 0 || length > kLargestRead || offset >= size_ || length > size_ - offset ||
        offset + length > base + kViewBytes) {
        return false;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (state_ != kLeased) {
        return false;
    }
    View* view = Find(base);
    if (view == nullptr) {
        if (!WorthMapping() || (view = Map(base)) == nullptr) {
            return false;
        }
    } else {
        hits_++;
    }
    std::memcpy(buffer, view->at + (offset - base), length);
    view->lastUse = ++clock_;
    return true;
}

// The lease first, then the size: the lease keeps the size from changing.
// No lock is held while the lease is taken, as the watcher takes mutex_ with
// its own held.
void CachedViews::Acquire() {
    int expected = kUntried;
    if (!state_.compare_exchange_strong(expected, kAcquiring)) {
        return;
    }
    struct stat st;
    if (!LeaseWatcher::Get().Lease(fd_, this)) {
        state_ = kOff;
        return;
    }
    const bool usable = ::fstat(fd_, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0;
    bool giveBack = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        expected = kAcquiring;  // a break may have come already
        if (usable) {
            size_ = (uint64_t)st.st_size;
            state_.compare_exchange_strong(expected, kLeased);
        } else {
            giveBack = state_.compare_exchange_strong(expected, kOff);
        }
    }
    if (giveBack) {
        LeaseWatcher::Get().Forget(fd_, this);
        ::fcntl(fd_, F_SETLEASE, F_UNLCK);
    }
}

void CachedViews::Revoke() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        state_ = kOff;
        UnmapAll();
    }
    ::fcntl(fd_, F_SETLEASE, F_UNLCK);
}

CachedViews::View* CachedViews::Find(uint64_t base) {
    for (View& view : views_) {
        if (view.at != nullptr && view.base == base) {
            return &view;
        }
    }
    return nullptr;
}

// A free slot's first, then the least recently used one's.
CachedViews::View* CachedViews::Map(uint64_t base) {
    View* slot =
        std::min_element(std::begin(views_), std::end(views_), [](const View& a, const View& b) {
            return (a.at != nullptr) < (b.at != nullptr) ||
                   ((a.at != nullptr) == (b.at != nullptr) && a.lastUse < b.lastUse);
        });
    if (slot->at != nullptr) {
        ::munmap(slot->at, slot->bytes);
        slot->at = nullptr;
    }
    const size_t bytes = (size_t)std::min(kViewBytes, size_ - base);
    void* at = ::mmap(nullptr, bytes, PROT_READ, MAP_SHARED, fd_, (off_t)base);
    if (at == MAP_FAILED) {
        return nullptr;
    }
    maps_++;
    *slot = View{base, (char*)at, bytes, 0};
    return slot;
}

// A view costs a mapping, a page fault and later an unmapping, several reads'
// worth: past the first few, one is mapped only while views keep being hit
// (a reader of the BAT of a huge disk at random would map one per read).
bool CachedViews::WorthMapping() const { return maps_ < kViews || hits_ >= 4 * maps_; }

void CachedViews::UnmapAll() {
    for (View& view : views_) {
        if (view.at != nullptr) {
            ::munmap(view.at, view.bytes);
            view.at = nullptr;
        }
    }
}

}  // namespace host::fs

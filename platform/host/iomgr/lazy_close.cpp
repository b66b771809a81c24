// The cache manager's lazy closer: a stream the cache still holds after its
// last file object closed is torn down later, on the closer's own thread at
// APC_LEVEL, with its stream contexts' cleanup; or when its volume goes.
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "platform/host/fltmgr/internal.h"
#include "platform/host/iomgr/iomgr.h"
#include "platform/host/ke/internal.h"
#include "platform/host/rtl/internal.h"

namespace host {
namespace {

// How long a stream may wait before the closer's next pass, unasked.
constexpr auto kPassInterval = std::chrono::seconds(5);

struct LazyCloser {
    std::mutex mutex;
    std::condition_variable changed;
    bool started = false;
    uint64_t asked = 0;   // passes asked for
    uint64_t passed = 0;  // passes finished, as asked at their start
    int holds = 0;        // LazyCloseHold objects alive
};

LazyCloser& Closer() {
    static LazyCloser* closer = new LazyCloser();
    return *closer;
}

void Pass() {
    const std::vector<fs::PerStreamContext*> contexts = fs::TearDownCachedStreams(nullptr);
    const ke::IrqlScope irql(APC_LEVEL, ke::Activity::None);
    fltmgr::ReleaseDetached(contexts);
}

void Run() {
    LazyCloser& c = Closer();
    std::unique_lock<std::mutex> lock(c.mutex);
    for (;;) {
        if (!c.changed.wait_for(lock, kPassInterval, [&] { return c.asked != c.passed; }) &&
            c.holds > 0) {
            continue;
        }
        const uint64_t asked = c.asked;
        lock.unlock();
        Pass();
        lock.lock();
        c.passed = asked;
        c.changed.notify_all();
    }
}

// Under the closer's lock.
void StartLocked(LazyCloser& c) {
    if (!c.started) {
        c.started = true;
        rtl::StartServiceThread(Run);
    }
}

}  // namespace

void FlushLazyClose() {
    LazyCloser& c = Closer();
    std::unique_lock<std::mutex> lock(c.mutex);
    StartLocked(c);
    const uint64_t target = ++c.asked;
    c.changed.notify_all();
    c.changed.wait(lock, [&] { return c.passed >= target; });
}

LazyCloseHold::LazyCloseHold() {
    LazyCloser& c = Closer();
    std::lock_guard<std::mutex> lock(c.mutex);
    c.holds++;
}

LazyCloseHold::~LazyCloseHold() {
    LazyCloser& c = Closer();
    std::lock_guard<std::mutex> lock(c.mutex);
    c.holds--;
}

namespace iomgr {

void WakeLazyCloser() {
    LazyCloser& c = Closer();
    std::lock_guard<std::mutex> lock(c.mutex);
    StartLocked(c);
}

}  // namespace iomgr
}  // namespace host

// Opens, reads and queries of stubs from many threads: races forced with the
// host's hooks, cancelled waits at the binding gate, and a free-for-all whose
// every read must still return the right bytes.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <random>
#include <thread>

#include "tests/filter/filter_fixture.h"

namespace filtertest {
namespace {

using namespace std::chrono_literals;
using vhdxtest::ImageSpec;

// Bounds a wait for another thread so that a broken driver fails the test
// instead of hanging it. Nothing is timed.
constexpr auto kPatience = 60s;

template <typename Predicate>
bool Eventually(Predicate predicate) {
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    while (!predicate()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

class Concurrency : public FilterTest {
protected:
    void SetUp() override {
        FilterTest::SetUp();
        PutDisk();
    }
    void TearDown() override {
        host::SetDebugSink(nullptr);
        FilterTest::TearDown();
    }
    void ExpectServed(const host::Handle& handle) {
        const ReadResult read = Read(handle, 5 * MiB + 100, 5000);
        EXPECT_EQ(read.status, STATUS_SUCCESS);
        EXPECT_EQ(read.bytes, vhdxtest::ExpectedBytes(DynamicSpec(), nullptr, 5 * MiB + 100, 5000));
    }
};

TEST_F(Concurrency, RacingOpensAttachOneContextAndBindOnce) {
    // Both creates reach FltSetStreamContext, each with a context of its
    // own, before either attaches it.
    std::mutex mutex;
    std::condition_variable arrivedTogether;
    int arrived = 0;
    bool stranded = false;
    host::SetHook(host::HookPoint::SetStreamContext, [&] {
        std::unique_lock<std::mutex> lock(mutex);
        arrived++;
        arrivedTogether.notify_all();
        if (!arrivedTogether.wait_for(lock, kPatience, [&] { return arrived >= 2; })) {
            stranded = true;
        }
    });
    host::DebugCapture capture;
    host::Handle first, second;
    host::IoResult firstResult{}, secondResult{};
    std::thread a([&] { firstResult = Open("disk.vmdk", &first); });
    std::thread b([&] { secondResult = Open("disk.vmdk", &second); });
    a.join();
    b.join();
    host::SetHook(host::HookPoint::SetStreamContext, nullptr);

    ASSERT_FALSE(stranded);
    EXPECT_EQ(arrived, 2);
    EXPECT_EQ(firstResult.status, STATUS_SUCCESS);
    EXPECT_EQ(secondResult.status, STATUS_SUCCESS);
    // The loser's context went with its event; one binding served both.
    EXPECT_EQ(host::PoolOutstanding(PONTOR_EVENT_TAG), 1u);
    EXPECT_EQ(CountLines(capture, Initializing("disk.vmdk")), 1u);
    ExpectServed(first);
    ExpectServed(second);
}

TEST_F(Concurrency, CancelledWaitFailsTheOpenAndLeavesTheGate) {
    host::Handle anchor;
    ASSERT_EQ(OpenQuietly("disk.vmdk", &anchor).status, STATUS_SUCCESS);
    host::DebugCapture capture;
    host::CancelWait(1);
    host::Handle cancelled;
    const host::IoResult result = Open("disk.vmdk", &cancelled);
    EXPECT_EQ(result.status, STATUS_CANCELLED);
    EXPECT_EQ(result.information, 0u);
    EXPECT_FALSE(cancelled);
    EXPECT_EQ(host::CriticalRegionDepth(), 0);
    EXPECT_EQ(CountLines(capture, Initializing("disk.vmdk")), 0u);

    // The same context binds on the next open.
    host::Handle next;
    ASSERT_EQ(Open("disk.vmdk", &next).status, STATUS_SUCCESS);
    EXPECT_EQ(CountLines(capture, Initializing("disk.vmdk")), 1u);
    ExpectServed(next);
}

TEST_F(Concurrency, WaitCancelledWhileAnotherBindsLeavesTheGateToOthers) {
    // The binder announces itself while it holds the gate; it is held there
    // until the second open, blocked at the gate, has been cancelled and has
    // returned.
    std::atomic<bool> binderAtGate{false};
    std::atomic<bool> waiterReturned{false};
    std::atomic<bool> orderBroken{false};
    const std::string initializing = Initializing("disk.vmdk");
    std::atomic<int> bindings{0};
    host::SetDebugSink([&](const host::DebugLine& line) {
        if (line.text != initializing) {
            return;
        }
        if (bindings++ != 0) {
            return;
        }
        binderAtGate = true;
        if (!Eventually([] { return host::BlockedCancellableWaits() == 1; })) {
            orderBroken = true;
            return;
        }
        host::CancelBlockedWaits();
        if (!Eventually([&] { return waiterReturned.load(); })) {
            orderBroken = true;
        }
    });

    host::Handle binder, waiter;
    host::IoResult binderResult{}, waiterResult{};
    std::thread a([&] { binderResult = Open("disk.vmdk", &binder); });
    ASSERT_TRUE(Eventually([&] { return binderAtGate.load(); }));
    std::thread b([&] {
        waiterResult = Open("disk.vmdk", &waiter);
        waiterReturned = true;
    });
    a.join();
    b.join();
    host::SetDebugSink(nullptr);

    EXPECT_FALSE(orderBroken);
    EXPECT_EQ(binderResult.status, STATUS_SUCCESS);
    EXPECT_EQ(waiterResult.status, STATUS_CANCELLED);
    EXPECT_FALSE(waiter);
    EXPECT_EQ(bindings, 1);

    // The gate is free: another open passes it without binding again.
    host::Handle later;
    std::atomic<bool> laterReturned{false};
    std::thread c([&] {
        EXPECT_EQ(Open("disk.vmdk", &later).status, STATUS_SUCCESS);
        laterReturned = true;
    });
    if (!Eventually([&] { return laterReturned.load(); })) {
        host::CancelBlockedWaits();
        ADD_FAILURE() << "the gate was left taken";
    }
    c.join();
    EXPECT_EQ(bindings, 1);
    ExpectServed(later);
}

// ---- Many threads, several stubs ----

struct ChaosCase {
    const char* name;
    bool anchored;  // streams kept alive throughout: each binds exactly once
    bool flushed;   // the lazy closer tears released streams down all along
};

class ManyThreads : public Concurrency, public ::testing::WithParamInterface<ChaosCase> {
protected:
    bool InMemory() const override { return true; }
};

TEST_P(ManyThreads, EveryReadReturnsTheRightBytes) {
    struct Stub {
        std::string file;
        ImageSpec child;
        std::optional<ImageSpec> parent;
        std::vector<uint8_t> disk;  // the whole virtual disk, as served
    };
    ImageSpec other = DynamicSpec();
    other.seed = 7;
    other.blocks[1] = vhdxtest::State::FullyPresent;
    std::vector<Stub> stubs = {
        {"a/disk.vmdk", ChildSpec(u"relative_path", u"base.vhdx"), ParentSpec(), {}},
        {"b/disk.vmdk", DynamicSpec(), std::nullopt, {}},
        {"c/disk.vmdk", other, std::nullopt, {}},
    };
    for (Stub& stub : stubs) {
        const std::string dir = stub.file.substr(0, 2);
        PutImage(dir + "image.vhdx", stub.child);
        if (stub.parent) {
            PutImage(dir + "base.vhdx", *stub.parent);
        }
        PutStub(stub.file, "image.vhdx");
        stub.disk =
            vhdxtest::ExpectedBytes(stub.child, stub.parent ? &*stub.parent : nullptr, 0, 8 * MiB);
    }
    std::vector<host::Handle> anchors(stubs.size());
    if (GetParam().anchored) {
        for (size_t i = 0; i < stubs.size(); i++) {
            ASSERT_EQ(OpenQuietly(stubs[i].file, &anchors[i]).status, STATUS_SUCCESS);
        }
    }

    host::DebugCapture capture;
    constexpr int kThreads = 8;
    constexpr int kRounds = 12;
    std::atomic<int> wrong{0};
    std::atomic<bool> done{false};
    std::thread closer([&] {
        while (GetParam().flushed && !done) {
            host::FlushLazyClose();
        }
    });
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; t++) {
        threads.emplace_back([&, t] {
            std::mt19937_64 random(t);
            for (int round = 0; round < kRounds; round++) {
                // Half the opens go to the first stub, the rest spread out.
                const Stub& stub = stubs[round % 2 == 0 ? 0 : random() % stubs.size()];
                host::Handle handle;
                if (Open(stub.file, &handle).status != STATUS_SUCCESS) {
                    wrong++;
                    continue;
                }
                for (int r = 0; r < 3; r++) {
                    const uint64_t offset = random() % (8 * MiB);
                    const ULONG length = (ULONG)(1 + random() % 65536);
                    const ReadResult read = Read(handle, offset, length);
                    const size_t end = std::min<size_t>(stub.disk.size(), offset + length);
                    if (read.status != STATUS_SUCCESS ||
                        !std::equal(read.bytes.begin(), read.bytes.end(),
                                    stub.disk.begin() + offset) ||
                        read.bytes.size() != end - offset) {
                        wrong++;
                    }
                }
                FILE_STANDARD_INFORMATION standard = {};
                host::QueryInformation(handle, FileStandardInformation, &standard,
                                       sizeof(standard));
                if (standard.EndOfFile.QuadPart != (LONGLONG)(8 * MiB)) {
                    wrong++;
                }
                if (QueryHeader(handle).status != STATUS_SUCCESS) {
                    wrong++;
                }
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    done = true;
    closer.join();

    EXPECT_EQ(wrong, 0);
    for (const Stub& stub : stubs) {
        const size_t bindings = CountLines(capture, Initializing(stub.file));
        if (GetParam().anchored) {
            EXPECT_EQ(bindings, 1u) << stub.file;
        } else {
            EXPECT_GE(bindings, 1u) << stub.file;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Filter, ManyThreads,
                         ::testing::Values(ChaosCase{"anchored", true, false},
                                           ChaosCase{"churn", false, false},
                                           ChaosCase{"lazyClose", false, true}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace filtertest

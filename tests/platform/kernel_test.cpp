// Kernel services: events, mutexes, cancellable waits, the pool's checks and
// the debug output's conversions. (MDLs are mapped, and fail to map, in the
// filter tests' paging reads, by the driver itself.)
#include <chrono>
#include <cstdarg>
#include <functional>
#include <thread>

#include "tests/platform/test_filter.h"

namespace platform_test {
namespace {

using Kernel = PlatformTest;

TEST_F(Kernel, SynchronizationEventAdmitsOneWaiterPerSignal) {
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, TRUE);
    LARGE_INTEGER poll = {};
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &poll), STATUS_SUCCESS);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &poll), STATUS_TIMEOUT);
    EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 0);

    KEVENT notification;
    KeInitializeEvent(&notification, NotificationEvent, FALSE);
    KeSetEvent(&notification, IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(KeWaitForSingleObject(&notification, Executive, KernelMode, FALSE, &poll),
              STATUS_SUCCESS);
    EXPECT_EQ(KeWaitForSingleObject(&notification, Executive, KernelMode, FALSE, &poll),
              STATUS_SUCCESS)
        << "a notification event stays signalled";

    // A blocked waiter is released by a signal from another thread.
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    std::thread setter([&] { KeSetEvent(&event, IO_NO_INCREMENT, FALSE); });
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    setter.join();
}

TEST_F(Kernel, MutexIsOwnedAndRecursive) {
    KMUTEX mutex;
    KeInitializeMutex(&mutex, 0);
    EXPECT_EQ(KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(host::MutexesHeld(), 2);
    std::thread other([&] {
        LARGE_INTEGER poll = {};
        EXPECT_EQ(KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, &poll),
                  STATUS_TIMEOUT);
        KeReleaseMutex(&mutex, FALSE);  // not the owner
    });
    other.join();
    EXPECT_EQ(TakeBugChecks().size(), 1u);
    KeReleaseMutex(&mutex, FALSE);
    KeReleaseMutex(&mutex, FALSE);
    EXPECT_EQ(host::MutexesHeld(), 0);
    EXPECT_EQ(KeReadStateMutex(&mutex), 1);
}

// Waiters spin before they sleep: a hand-off, whichever way it happens,
// still admits one thread at a time.
TEST_F(Kernel, ContendedMutexAdmitsOneThreadAtATime) {
    KMUTEX mutex;
    KeInitializeMutex(&mutex, 0);
    int inside = 0, overlaps = 0;
    long count = 0;
    auto work = [&] {
        for (int i = 0; i < 20000; i++) {
            KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr);
            overlaps += ++inside != 1;
            count++;
            if (i % 1000 == 0) {
                std::this_thread::sleep_for(std::chrono::microseconds(50));  // outlasts the spin
            }
            inside--;
            KeReleaseMutex(&mutex, FALSE);
        }
    };
    std::thread a(work), b(work);
    a.join();
    b.join();
    EXPECT_EQ(count, 40000);
    EXPECT_EQ(overlaps, 0);
    EXPECT_EQ(KeReadStateMutex(&mutex), 1);
}

TEST_F(Kernel, CancellableWaits) {
    KEVENT gate;
    KeInitializeEvent(&gate, SynchronizationEvent, FALSE);
    FLT_IO_PARAMETER_BLOCK iopb = {};
    FLT_CALLBACK_DATA data = {0, nullptr, &iopb, {}, nullptr, {}, KernelMode};

    host::CancelWait(1);
    EXPECT_EQ(FltCancellableWaitForSingleObject(&gate, nullptr, &data), STATUS_CANCELLED);

    // A wait already blocked is cancelled from outside; the gate stays closed.
    NTSTATUS blocked = STATUS_PENDING;
    std::thread waiter([&] { blocked = FltCancellableWaitForSingleObject(&gate, nullptr, &data); });
    while (host::BlockedCancellableWaits() == 0) {
        std::this_thread::yield();
    }
    host::CancelBlockedWaits();
    waiter.join();
    EXPECT_EQ(blocked, STATUS_CANCELLED);
    EXPECT_EQ(KeReadStateEvent(&gate), 0);

    KeSetEvent(&gate, IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(FltCancellableWaitForSingleObject(&gate, nullptr, &data), STATUS_SUCCESS);
    LARGE_INTEGER timeout;
    timeout.QuadPart = -10000;  // 1 ms
    EXPECT_EQ(FltCancellableWaitForSingleObject(&gate, &timeout, &data), STATUS_TIMEOUT);
}

TEST_F(Kernel, CriticalRegionsNest) {
    KeEnterCriticalRegion();
    KeEnterCriticalRegion();
    EXPECT_EQ(host::CriticalRegionDepth(), 2);
    KeLeaveCriticalRegion();
    KeLeaveCriticalRegion();
    KeLeaveCriticalRegion();
    EXPECT_EQ(TakeBugChecks().size(), 1u) << "leaving a region never entered";
}

TEST_F(Kernel, PoolMisuseIsABugCheck) {
    const ULONG tag = 'A' | ('B' << 8) | ('C' << 16) | ('D' << 24);
    struct Case {
        const char* what;
        std::function<void()> misuse;
    };
    for (const Case& c : std::vector<Case>{
             {"wrong tag",
              [&] {
                  void* p = ExAllocatePoolWithTag(NonPagedPoolNx, 16, tag);
                  ExFreePoolWithTag(p, tag + 1);
                  ExFreePoolWithTag(p, tag);
              }},
             {"double free",
              [&] {
                  void* p = FltAllocatePoolAlignedWithTag(nullptr, NonPagedPoolNx, 16, tag);
                  FltFreePoolAlignedWithTag(nullptr, p, tag);
                  FltFreePoolAlignedWithTag(nullptr, p, tag);
              }},
             {"other routine",
              [&] {
                  void* p = ExAllocatePoolWithTag(NonPagedPoolNx, 16, tag);
                  FltFreePoolAlignedWithTag(nullptr, p, tag);
                  ExFreePoolWithTag(p, tag);
              }},
         }) {
        c.misuse();
        EXPECT_EQ(TakeBugChecks().size(), 1u) << c.what;
    }
}

// Above its documented level a routine stops the system, whatever its
// arguments: PASSIVE_LEVEL ones at APC_LEVEL, pageable code above APC_LEVEL.
TEST_F(Kernel, IrqlAboveARoutinesLevelIsABugCheck) {
    struct Case {
        const char* routine;
        KIRQL level;
        std::function<void()> call;
        size_t bugChecks;
    };
    UNICODE_STRING empty = {};
    for (const Case& c : std::vector<Case>{
             {"FltCreateFileEx", APC_LEVEL,
              [] {
                  FltCreateFileEx(nullptr, nullptr, nullptr, nullptr, 0, nullptr, nullptr, nullptr,
                                  0, 0, 0, 0, nullptr, 0, 0);
              },
              1},
             {"FltQueryInformationFile", APC_LEVEL,
              [] {
                  FltQueryInformationFile(nullptr, nullptr, nullptr, 0, FileStandardInformation,
                                          nullptr);
              },
              1},
             {"FltParseFileName", APC_LEVEL,
              [&] { FltParseFileName(&empty, nullptr, nullptr, nullptr); }, 1},
             {"DbgPrintEx %wZ", APC_LEVEL, [&] { DbgPrintEx(77, 0, "%wZ\n", &empty); }, 1},
             {"DbgPrint %s", APC_LEVEL, [] { DbgPrint("%s %%S\n", "x"); }, 0},
             {"FltGetFileNameInformation", APC_LEVEL,
              [] { FltGetFileNameInformation(nullptr, 0, nullptr); }, 0},
             {"PAGED_CODE", APC_LEVEL, [] { PAGED_CODE(); }, 0},
             {"PAGED_CODE", DISPATCH_LEVEL, [] { PAGED_CODE(); }, 1},
         }) {
        {
            host::RaisedIrql raised(c.level);
            EXPECT_EQ(KeGetCurrentIrql(), c.level);
            c.call();
        }
        EXPECT_EQ(TakeBugChecks().size(), c.bugChecks) << c.routine << " at " << (int)c.level;
    }
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    EXPECT_TRUE(host::IrqlWarnings().empty());
}

std::string Format(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string out = host::FormatDebug(format, args);
    va_end(args);
    return out;
}

TEST(DebugFormat, WindowsConversions) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"\\Device\\HarddiskVolume1\\a.vmdk");
    EXPECT_EQ(Format("[%wZ]", &name), "[\\Device\\HarddiskVolume1\\a.vmdk]");
    EXPECT_EQ(Format("%I64x %I64X %I64d", 0x1234567890ULL, 0xABCDEFULL, -5LL),
              "1234567890 ABCDEF -5");
    EXPECT_EQ(Format("%llx|%016llx", 0xC0000000DULL, 0x1ULL), "c0000000d|0000000000000001");
    EXPECT_EQ(Format("0x%x %lx %u %d", 0xC000000Du, 0xFFFFFFFFu, 7u, -1),
              "0xc000000d ffffffff 7 -1");
    EXPECT_EQ(Format("%s %ws %c%%", "ascii", u"wide", 'z'), "ascii wide z%");
}

}  // namespace
}  // namespace platform_test

// Loading and unloading, instances on volumes, and the lifetime of stream
// contexts: one per stream, cleaned up exactly once after the last reference.
#include <thread>
#include <tuple>

#include "tests/platform/test_filter.h"

namespace platform_test {
namespace {

using Lines = std::vector<std::string>;

// Attaches a fresh context to the stream of every successful open, keeping
// one that is already there, as a minifilter's post-create does.
void AttachInPostCreate(std::atomic<int>* attached, std::atomic<int>* kept) {
    TheFilter().post = [=](PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS objects) {
        if (data->Iopb->MajorFunction != IRP_MJ_CREATE || !NT_SUCCESS(data->IoStatus.Status)) {
            return;
        }
        PFLT_CONTEXT fresh = nullptr;
        ASSERT_EQ(FltAllocateContext(objects->Filter, FLT_STREAM_CONTEXT, sizeof(StreamState),
                                     NonPagedPoolNx, &fresh),
                  STATUS_SUCCESS);
        PFLT_CONTEXT existing = nullptr;
        const NTSTATUS status =
            FltSetStreamContext(objects->Instance, objects->FileObject,
                                FLT_SET_CONTEXT_KEEP_IF_EXISTS, fresh, &existing);
        if (status == STATUS_SUCCESS) {
            (*attached)++;
        } else {
            EXPECT_EQ(status, STATUS_FLT_CONTEXT_ALREADY_DEFINED);
            EXPECT_NE(existing, nullptr);
            (*kept)++;
            FltReleaseContext(existing);
        }
        FltReleaseContext(fresh);
    };
}

class Lifecycle : public PlatformTest {
protected:
    void SetUp() override {
        PlatformTest::SetUp();
        WriteFile("a.bin", "a");
        WriteFile("b.bin", "b");
    }
};

TEST_F(Lifecycle, InstancesAttachToLocalVolumesOnly) {
    std::filesystem::create_directories(Path("net"));
    std::filesystem::create_directories(Path("later"));
    host::Volume network(Path("net"), host::DeviceType::NetworkFileSystem);
    Load();
    EXPECT_NE(driver_->InstanceOn(*volume_), nullptr);
    EXPECT_EQ(driver_->InstanceOn(network), nullptr);
    {
        host::Volume later(Path("later"), host::DeviceType::Disk, FLT_FSTYPE_EXFAT);
        EXPECT_NE(driver_->InstanceOn(later), nullptr) << "volumes mounted later are offered too";
    }
    EXPECT_EQ(TheFilter().Lines("setup"), (Lines{"setup 8", "setup 20", "setup 8"}));
    EXPECT_EQ(TheFilter().Lines("teardown"), (Lines{"teardown start 8", "teardown complete 8"}));
}

TEST_F(Lifecycle, ContextCleanupRunsOnceAfterTheStreamGoes) {
    Load();
    std::atomic<int> attached{0}, kept{0};
    AttachInPostCreate(&attached, &kept);
    host::Handle first, second, other;
    ASSERT_EQ(OpenFile("a.bin", &first).status, STATUS_SUCCESS);
    ASSERT_EQ(OpenFile("A.BIN", &second).status,
              STATUS_SUCCESS);  // same stream, another file object
    ASSERT_EQ(OpenFile("b.bin", &other).status, STATUS_SUCCESS);
    EXPECT_EQ(attached, 2);
    EXPECT_EQ(kept, 1);
    EXPECT_EQ(host::PoolOutstanding(kContextTag), 2u)
        << "contexts come from the pool with the registration's tag";

    PFLT_CONTEXT viaFirst, viaSecond;
    PFLT_INSTANCE instance = driver_->InstanceOn(*volume_);
    ASSERT_EQ(FltGetStreamContext(instance, first.FileObject(), &viaFirst), STATUS_SUCCESS);
    ASSERT_EQ(FltGetStreamContext(instance, second.FileObject(), &viaSecond), STATUS_SUCCESS);
    EXPECT_EQ(viaFirst, viaSecond);

    EXPECT_EQ(TheFilter().cleanups, 1) << "the second open's fresh context, released unattached";
    first.Close();
    EXPECT_EQ(TheFilter().cleanups, 1);
    second.Close();  // the stream goes, but two references remain
    EXPECT_EQ(TheFilter().cleanups, 1);
    FltReleaseContext(viaFirst);
    EXPECT_EQ(TheFilter().cleanups, 1);
    FltReleaseContext(viaSecond);
    EXPECT_EQ(TheFilter().cleanups, 2);
    other.Close();
    EXPECT_EQ(TheFilter().cleanups, 3);
    EXPECT_EQ(host::PoolOutstanding(kContextTag), 0u);
}

TEST_F(Lifecycle, StreamWithoutContext) {
    Load();
    host::Handle h;
    ASSERT_EQ(OpenFile("a.bin", &h).status, STATUS_SUCCESS);
    PFLT_CONTEXT context = &context;
    EXPECT_EQ(FltGetStreamContext(driver_->InstanceOn(*volume_), h.FileObject(), &context),
              STATUS_NOT_FOUND);
    EXPECT_EQ(context, nullptr);
}

TEST_F(Lifecycle, UnloadTearsDownInstancesAndTheirContexts) {
    Load();
    std::atomic<int> attached{0}, kept{0};
    AttachInPostCreate(&attached, &kept);
    host::Handle h;
    ASSERT_EQ(OpenFile("a.bin", &h).status, STATUS_SUCCESS);
    TheFilter().log.clear();
    EXPECT_EQ(driver_->Unload(), STATUS_SUCCESS);
    EXPECT_FALSE(driver_->Loaded());
    EXPECT_EQ(TheFilter().Log(),
              (Lines{"unload", "teardown start 2", "context cleanup", "teardown complete 2"}));
    // The file stays open and no longer passes the filter.
    char buffer[1];
    EXPECT_EQ(host::Read(h, {.buffer = buffer, .length = 1, .offset = 0}).status, STATUS_SUCCESS);
    EXPECT_EQ(TheFilter().Lines("pre").size(), 0u);
    // The filter's records stay while a file is open, and go once none is.
    EXPECT_EQ(host::ReclaimRetired(), 0u);
    h.Close();
    host::FlushLazyClose();
    EXPECT_GE(host::ReclaimRetired(), 2u);  // the filter and its instance at least
}

TEST_F(Lifecycle, ManualDetachAsksFirst) {
    Load();
    EXPECT_EQ(driver_->Detach(*volume_), STATUS_SUCCESS);
    EXPECT_EQ(driver_->InstanceOn(*volume_), nullptr);
    EXPECT_EQ(TheFilter().Lines("query"), (Lines{"query teardown"}));
    EXPECT_EQ(TheFilter().Lines("teardown complete"), (Lines{"teardown complete 1"}));
    EXPECT_EQ(driver_->Detach(*volume_), STATUS_NOT_FOUND);
}

TEST_F(Lifecycle, ContextStillReferencedAtUnloadIsCaught) {
    Load();
    PFLT_CONTEXT leaked;
    ASSERT_EQ(FltAllocateContext(TheFilter().handle, FLT_STREAM_CONTEXT, sizeof(StreamState),
                                 NonPagedPoolNx, &leaked),
              STATUS_SUCCESS);
    driver_.reset();
    EXPECT_EQ(TakeBugChecks().size(), 1u);
    FltReleaseContext(leaked);  // cleanup still runs once it is released
    EXPECT_EQ(TheFilter().cleanups, 1);
}

// What FltAllocateContext and FltSetStreamContext refuse.
TEST_F(Lifecycle, ContextArgumentsAreChecked) {
    Load();
    host::Handle h;
    ASSERT_EQ(OpenFile("a.bin", &h).status, STATUS_SUCCESS);
    PFLT_CONTEXT context;
    // Refusals allocate nothing: the failure armed here meets the third call.
    host::FailAllocationOfTag(kContextTag, 1);
    for (const auto& [type, size, status] :
         {std::tuple<FLT_CONTEXT_TYPE, SIZE_T, NTSTATUS>{FLT_STREAMHANDLE_CONTEXT, 8,
                                                         STATUS_FLT_CONTEXT_ALLOCATION_NOT_FOUND},
          {FLT_STREAM_CONTEXT, sizeof(StreamState) + 1, STATUS_FLT_CONTEXT_ALLOCATION_NOT_FOUND},
          {FLT_STREAM_CONTEXT, sizeof(StreamState), STATUS_INSUFFICIENT_RESOURCES},
          {FLT_STREAM_CONTEXT, sizeof(StreamState), STATUS_SUCCESS}}) {
        EXPECT_EQ(FltAllocateContext(TheFilter().handle, type, size, NonPagedPoolNx, &context),
                  status);
    }
    ASSERT_NE(context, nullptr);
    PFLT_INSTANCE instance = driver_->InstanceOn(*volume_);
    ASSERT_EQ(FltSetStreamContext(instance, h.FileObject(), FLT_SET_CONTEXT_KEEP_IF_EXISTS, context,
                                  nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(FltSetStreamContext(instance, h.FileObject(), FLT_SET_CONTEXT_KEEP_IF_EXISTS, context,
                                  nullptr),
              STATUS_FLT_CONTEXT_ALREADY_LINKED);
    // The driver's own free routines may not free a context.
    FltFreePoolAlignedWithTag(instance, context, kContextTag);
    EXPECT_EQ(TakeBugChecks().size(), 1u);
    FltReleaseContext(context);  // the allocation's reference
    FltReleaseContext(context);  // the attachment's is not the caller's to drop
    EXPECT_EQ(TakeBugChecks().size(), 1u);
    EXPECT_EQ(TheFilter().cleanups, 0);
}

TEST_F(Lifecycle, FailedDriverEntryLeavesNothingLoaded) {
    host::Driver failing([](PDRIVER_OBJECT driver, PUNICODE_STRING) NTAPI -> NTSTATUS {
        PFLT_FILTER filter;
        NTSTATUS status = FltRegisterFilter(driver, nullptr, &filter);
        EXPECT_EQ(status, STATUS_INVALID_PARAMETER);
        FLT_REGISTRATION bad = {};
        bad.Size = sizeof(bad);
        bad.Version = 0x0100;
        EXPECT_EQ(FltRegisterFilter(driver, &bad, &filter), STATUS_INVALID_PARAMETER);
        return STATUS_UNSUCCESSFUL;
    });
    EXPECT_EQ(failing.EntryStatus(), STATUS_UNSUCCESSFUL);
    EXPECT_FALSE(failing.Loaded());
}

// Many threads open, read, query and close one stream while the filter
// attaches its context; everything is cleaned up at the end.
TEST_F(Lifecycle, ConcurrentOpensReadsAndCloses) {
    Load();
    std::atomic<int> attached{0}, kept{0};
    AttachInPostCreate(&attached, &kept);
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; t++) {
        threads.emplace_back([&] {
            for (int i = 0; i < 50; i++) {
                host::Handle h;
                ASSERT_EQ(OpenFile(i % 2 ? "a.bin" : "b.bin", &h).status, STATUS_SUCCESS);
                char c = 0;
                ASSERT_EQ(host::Read(h, {.buffer = &c, .length = 1, .offset = 0}).status,
                          STATUS_SUCCESS);
                EXPECT_EQ(c, i % 2 ? 'a' : 'b');
                FILE_STANDARD_INFORMATION standard;
                EXPECT_EQ(
                    host::QueryInformation(h, FileStandardInformation, &standard, sizeof(standard))
                        .status,
                    STATUS_SUCCESS);
            }
        });
    }
    for (std::thread& t : threads) {
        t.join();
    }
    EXPECT_EQ(attached + kept, 400);
    host::FlushLazyClose();  // the reads put both streams in the cache
    EXPECT_EQ(TheFilter().cleanups, 400);
}

}  // namespace
}  // namespace platform_test

// Fault sweep: open, bind, read, query and close a differencing stub with the
// 1st, 2nd, 3rd ... allocation or image read failing (or coming back short),
// until a run injects nothing. Every run must give a documented outcome and
// leave the pool empty and every host file closed once the driver unloads.
#include <algorithm>

#include "tests/filter/filter_fixture.h"

namespace filtertest {
namespace {

using vhdxtest::ImageSpec;

enum class Fault { Allocation, ReadError, ShortRead };

struct FaultCase {
    const char* name;
    Fault fault;
};

// Ranges that reach every kind of block: present, from the parent, partially
// present (a few sectors), zero, and across the end of the served size.
struct Range {
    uint64_t offset;
    ULONG length;
};
constexpr Range kRanges[] = {
    {0, 4096}, {MiB + 1000, 4096}, {2 * MiB + 1000, 2000}, {3 * MiB, 512}, {8 * MiB - 512, 1024},
};

class FaultSweep : public FilterTest, public ::testing::WithParamInterface<FaultCase> {
protected:
    void SetUp() override {
        FilterTest::SetUp();
        Unload();  // each run loads its own driver
        PutImage("dir/child.vhdx", Child());
        PutImage("dir/base.vhdx", ParentSpec());
        PutStub("dir/disk.vmdk", "child.vhdx", 4096);
    }

    static ImageSpec Child() { return ChildSpec(u"relative_path", u"base.vhdx"); }

    kit::Fault Kind() const {
        switch (GetParam().fault) {
            case Fault::Allocation: return kit::AllocationFault();
            case Fault::ReadError: return kit::ReadFault();
            case Fault::ShortRead:
                // Longer than a BAT entry, shorter than any block or header.
                return {"short read", [](uint64_t n) { host::ShortenRead(n, 100); },
                        STATUS_UNRECOGNIZED_MEDIA};
        }
        return {};
    }

    // One open of the stub: either bound, serving the virtual disk (a read
    // may fail with the fault's status or, for short reads, end early with
    // correct bytes), or unbound, serving the stub's own bytes. exact: no
    // fault can happen any more, so it must be bound and whole.
    void OpenReadQueryClose(bool exact) {
        host::Handle handle;
        const host::IoResult opened = Open("dir/disk.vmdk", &handle);
        ASSERT_EQ(opened.status, STATUS_SUCCESS);
        const NTSTATUS header = QueryHeader(handle).status;
        // Unbound: a context that failed to bind, or none at all.
        ASSERT_TRUE(header == STATUS_SUCCESS ||
                    (!exact && (header == STATUS_DEVICE_NOT_READY || header == STATUS_NOT_FOUND)))
            << host::StatusName(header);
        const bool bound = header == STATUS_SUCCESS;

        const ImageSpec parent = ParentSpec();
        const std::vector<uint8_t> stub = HostBytes("dir/disk.vmdk");
        for (const Range& range : kRanges) {
            SCOPED_TRACE(range.offset);
            const ReadResult read = Read(handle, range.offset, range.length);
            if (!bound) {
                if (range.offset >= stub.size()) {
                    EXPECT_EQ(read.status, STATUS_END_OF_FILE);
                } else {
                    EXPECT_EQ(read.status, STATUS_SUCCESS);
                    EXPECT_EQ(read.bytes,
                              std::vector<uint8_t>(
                                  stub.begin() + range.offset,
                                  stub.begin() +
                                      std::min<size_t>(stub.size(), range.offset + range.length)));
                }
                continue;
            }
            const ULONG whole = (ULONG)std::min<uint64_t>(range.length, 8 * MiB - range.offset);
            if (!NT_SUCCESS(read.status)) {
                EXPECT_FALSE(exact) << host::StatusName(read.status);
                EXPECT_EQ(read.status, Kind().status);
                EXPECT_EQ(read.information, 0u);
                continue;
            }
            if (exact || GetParam().fault != Fault::ShortRead) {
                EXPECT_EQ(read.information, whole);
            } else {
                EXPECT_LE(read.information, whole);
            }
            EXPECT_EQ(read.bytes,
                      vhdxtest::ExpectedBytes(Child(), &parent, range.offset, read.information));
        }

        FILE_STANDARD_INFORMATION standard = {};
        ASSERT_EQ(
            host::QueryInformation(handle, FileStandardInformation, &standard, sizeof(standard))
                .status,
            STATUS_SUCCESS);
        EXPECT_EQ(standard.EndOfFile.QuadPart, bound ? (LONGLONG)(8 * MiB) : (LONGLONG)stub.size());
    }
};

TEST_P(FaultSweep, EveryFaultGivesADocumentedOutcomeAndLeaksNothing) {
    const uint64_t runs = kit::SweepFaults(Kind(), [&](const kit::Arm& arm) {
        {
            const auto driver = LoadDriver();
            // An open that never binds keeps the stream alive, so the second
            // open below retries the binding on the same context.
            host::Handle anchor;
            EXPECT_EQ(OpenQuietly("dir/disk.vmdk", &anchor).status, STATUS_SUCCESS);
            arm();
            OpenReadQueryClose(false);
            OpenReadQueryClose(host::FaultInjected());
        }
        EXPECT_EQ(host::OpenFileCount(), 0u);
        return STATUS_SUCCESS;
    });
    // The sweep reached past the binding and the reads.
    EXPECT_GT(runs, 20u);
}

INSTANTIATE_TEST_SUITE_P(Filter, FaultSweep,
                         ::testing::Values(FaultCase{"allocation", Fault::Allocation},
                                           FaultCase{"readError", Fault::ReadError},
                                           FaultCase{"shortRead", Fault::ShortRead}),
                         [](const auto& info) { return std::string(info.param.name); });

// One Filter Manager routine failing in the create path: the open goes on
// unfiltered with the routine's message, if it has one, nothing is left
// behind, and the next open binds.
struct RoutineCase {
    const char* name;
    host::FltRoutine routine;
    uint64_t nth;      // the pre-create asks for the name first, the post-create second
    const char* line;  // after "[PONTOR] "; empty: none
};

class RoutineFaults : public FilterTest, public ::testing::WithParamInterface<RoutineCase> {};

TEST_P(RoutineFaults, LeaveThePlainStubAndNothingBehind) {
    const RoutineCase& c = GetParam();
    PutDisk();
    host::DebugCapture capture;
    host::FailRoutine(c.routine, c.nth, STATUS_INSUFFICIENT_RESOURCES);
    {
        host::Handle handle;
        ASSERT_EQ(Open("disk.vmdk", &handle).status, STATUS_SUCCESS);
        EXPECT_EQ(Read(handle, 0, 2048).bytes, StubBytes("disk.vhdx"));
    }
    EXPECT_TRUE(host::FaultInjected());
    const std::vector<std::string> lines = fixture::DriverLines(capture);
    const std::string line = std::string("[PONTOR] ") + c.line;
    EXPECT_EQ(std::count(lines.begin(), lines.end(), line), *c.line ? 1 : 0);
    host::FlushLazyClose();
    EXPECT_EQ(host::PoolOutstanding(PONTOR_CONTEXT_TAG), 0u);

    host::Handle next;
    ASSERT_EQ(Open("disk.vmdk", &next).status, STATUS_SUCCESS);
    EXPECT_EQ(Read(next, 5 * MiB, 4096).bytes,
              vhdxtest::ExpectedBytes(DynamicSpec(), nullptr, 5 * MiB, 4096));
}

INSTANTIATE_TEST_SUITE_P(
    Filter, RoutineFaults,
    ::testing::Values(
        RoutineCase{"volumeGuidName", host::FltRoutine::GetVolumeGuidName, 1,
                    "PontorParseHeader: FltGetVolumeGuidName failed with status 0xc000009a\n"},
        RoutineCase{"getStreamContext", host::FltRoutine::GetStreamContext, 1,
                    "PontorPostCreate: FltGetStreamContext failed with status 0xc000009a\n"},
        RoutineCase{"setStreamContext", host::FltRoutine::SetStreamContext, 1,
                    "PontorPostCreate: FltSetStreamContext failed with status 0xc000009a\n"},
        RoutineCase{"nameInPreCreate", host::FltRoutine::GetFileNameInformation, 1, ""},
        RoutineCase{"nameInPostCreate", host::FltRoutine::GetFileNameInformation, 2, ""},
        RoutineCase{"parseInPreCreate", host::FltRoutine::ParseFileNameInformation, 1,
                    "PontorGetFileName: FltParseFileNameInformation failed with status "
                    "0xc000009a\n"},
        RoutineCase{"parseInPostCreate", host::FltRoutine::ParseFileNameInformation, 2,
                    "PontorGetFileName: FltParseFileNameInformation failed with status "
                    "0xc000009a\n"}),
    [](const auto& info) { return std::string(info.param.name); });

// A load the Filter Manager refuses fails with its status and leaves no
// filter registered (the host stops at one left behind).
TEST_F(FilterTest, RefusedLoadLeavesNoFilter) {
    Unload();
    for (const auto routine :
         {host::FltRoutine::RegisterFilter, host::FltRoutine::StartFiltering}) {
        host::ResetFaults();  // calls are counted from here
        host::FailRoutine(routine, 1, STATUS_INSUFFICIENT_RESOURCES);
        std::string error;
        EXPECT_EQ(host::ServingDriver::Load(DriverEntry, &error), nullptr);
        EXPECT_NE(error.find("INSUFFICIENT_RESOURCES"), std::string::npos) << error;
    }
}

}  // namespace
}  // namespace filtertest

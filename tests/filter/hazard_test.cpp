// The driver where Windows is harder on it than a kind host would be: paging
// reads at APC_LEVEL, streams that outlive their last handle, links that
// answer with STATUS_REPARSE, and volumes with 4096-byte sectors.
#include <filesystem>

#include "tests/filter/filter_fixture.h"

namespace filtertest {
namespace {

class Hazards : public FilterTest {
protected:
    void SetUp() override {
        FilterTest::SetUp();
        PutDisk();
    }
    static std::vector<uint8_t> Served(uint64_t offset, ULONG length) {
        return vhdxtest::ExpectedBytes(DynamicSpec(), nullptr, offset, length);
    }
    static std::string Warning(const char* routine) {
        return std::string(routine) + " at IRQL 1 (allowed up to 0)";
    }
};

TEST_F(Hazards, PagingReadsRunAtApcLevelAndOnlyTheirFailureMessageIsAHazard) {
    host::Handle handle;
    ASSERT_EQ(Open("disk.vmdk", &handle).status, STATUS_SUCCESS);
    const ReadResult served = Read(handle, 5 * MiB, 8192, host::IoPath::Paging);
    EXPECT_EQ(served.status, STATUS_SUCCESS);
    EXPECT_EQ(served.bytes, Served(5 * MiB, 8192));
    EXPECT_TRUE(host::IrqlWarnings().empty());

    EXPECT_EQ(Read(handle, 8 * MiB, 4096, host::IoPath::Paging).status, STATUS_END_OF_FILE);
    EXPECT_EQ(host::IrqlWarnings(),
              std::vector<std::string>{Warning("DbgPrintEx with a Unicode conversion")});
}

TEST_F(Hazards, ACachedStreamKeepsItsBindingUntilTheLazyCloserTearsItDown) {
    const host::LazyCloseHold hold;
    const size_t pool = host::PoolOutstanding();
    host::DebugCapture capture;
    for (int reopen = 0; reopen < 2; reopen++) {
        host::Handle handle;
        ASSERT_EQ(Open("disk.vmdk", &handle).status, STATUS_SUCCESS);
        EXPECT_EQ(Read(handle, 5 * MiB, 4096).bytes, Served(5 * MiB, 4096));
    }
    // The reopen found the stream cached, its context still bound.
    EXPECT_EQ(CountLines(capture, Initializing("disk.vmdk")), 1u);
    EXPECT_EQ(host::PoolOutstanding(PONTOR_CONTEXT_TAG), 1u);

    // Torn down on the closer's thread, at APC_LEVEL: the image is closed there.
    host::FlushLazyClose();
    EXPECT_EQ(host::PoolOutstanding(), pool);
    EXPECT_EQ(host::OpenFileCount(), 0u);
    EXPECT_EQ(host::IrqlWarnings(), std::vector<std::string>{Warning("FltClose")});

    host::Handle after;
    ASSERT_EQ(Open("disk.vmdk", &after).status, STATUS_SUCCESS);
    EXPECT_EQ(Read(after, 5 * MiB, 4096).bytes, Served(5 * MiB, 4096));
    EXPECT_EQ(CountLines(capture, Initializing("disk.vmdk")), 2u);
}

TEST_F(Hazards, ALinkOrJunctionIsNeverOpenedSoNothingBinds) {
    std::filesystem::create_symlink("disk.vmdk", HostPath("link.vmdk"));
    std::filesystem::create_directory_symlink(".", HostPath("junction"));
    const size_t pool = host::PoolOutstanding();
    for (const char* name : {"link.vmdk", "junction/disk.vmdk"}) {
        host::DebugCapture capture;
        host::Handle handle;
        // STATUS_REPARSE reached the post-create; the host follows no link.
        EXPECT_EQ(Open(name, &handle).status, STATUS_ACCESS_DENIED) << name;
        EXPECT_TRUE(fixture::DriverLines(capture).empty()) << name;
        EXPECT_EQ(host::PoolOutstanding(), pool) << name;
    }
}

TEST_F(Hazards, FourKiBSectorsServeBoundReadsButAnUnbufferedFirstOpenCannotBind) {
    Volume().SetSectorSize(4096);
    host::DebugCapture capture;
    host::Handle unbuffered;
    ASSERT_EQ(Create("disk.vmdk", &unbuffered,
                     {.createOptions = FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE |
                                       FILE_NO_INTERMEDIATE_BUFFERING})
                  .status,
              STATUS_SUCCESS);
    // The binding's 2048-byte read through this file object is not whole sectors.
    EXPECT_TRUE(HasLine(capture,
                        "[PONTOR] PontorParseHeader: FltReadFile failed with status 0xc000000d\n"));
    EXPECT_EQ(Read(unbuffered, 0, 4096).bytes, StubBytes("disk.vhdx"));
    EXPECT_EQ(Read(unbuffered, 512, 4096).status, STATUS_INVALID_PARAMETER);

    host::Handle buffered;
    ASSERT_EQ(Open("disk.vmdk", &buffered).status, STATUS_SUCCESS);
    EXPECT_EQ(CountLines(capture, Initializing("disk.vmdk")), 2u);
    for (const host::IoPath path : {host::IoPath::Irp, host::IoPath::Paging}) {
        EXPECT_EQ(Read(buffered, 5 * MiB + 4096, 8192, path).bytes, Served(5 * MiB + 4096, 8192));
    }
    EXPECT_EQ(Read(unbuffered, 5 * MiB, 4096).bytes, Served(5 * MiB, 4096));
}

}  // namespace
}  // namespace filtertest

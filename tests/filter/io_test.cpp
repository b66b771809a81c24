// What an application sees of a bound stub: reads of the virtual disk on
// every path, size queries, refused writes and the header query; and that an
// unbound stub is left to the file system.
#include <algorithm>
#include <cstring>
#include <iostream>
#include <map>

#include "platform/host/loader/seh.h"
#include "tests/filter/filter_fixture.h"

namespace filtertest {
namespace {

using host::IoPath;
using vhdxtest::ImageSpec;

// A differencing stub at dir/disk.vmdk (every block state, partial blocks
// included), an unbound stub of the same size beside it, and an ordinary file
// of the same bytes; all three names are as long, so that queries returning
// the name answer alike.
class BoundStub : public FilterTest {
protected:
    void SetUp() override {
        FilterTest::SetUp();
        PutImage("dir/child.vhdx", Child());
        PutImage("dir/base.vhdx", ParentSpec());
        PutStub("dir/disk.vmdk", "child.vhdx", 4096);
        PutFile("dir/free.vmdk", StubBytes("child.vhdx", 4096, kStubSignature ^ 1));
        PutFile("dir/plain.bin", StubBytes("child.vhdx", 4096));
        ASSERT_EQ(Open("dir/disk.vmdk", &stub_).status, STATUS_SUCCESS);
        ASSERT_EQ(Open("dir/free.vmdk", &unbound_).status, STATUS_SUCCESS);
        ASSERT_EQ(Open("dir/plain.bin", &plain_).status, STATUS_SUCCESS);
        ASSERT_EQ(QueryHeader(stub_).status, STATUS_SUCCESS);
    }
    void TearDown() override {
        stub_.Close();
        unbound_.Close();
        plain_.Close();
        FilterTest::TearDown();
    }
    static ImageSpec Child() { return ChildSpec(u"relative_path", u"base.vhdx"); }
    static std::vector<uint8_t> Expected(uint64_t offset, uint64_t length) {
        const ImageSpec parent = ParentSpec();
        return vhdxtest::ExpectedBytes(Child(), &parent, offset, length);
    }

    host::Handle stub_;
    host::Handle unbound_;
    host::Handle plain_;
};

// ---- Reads ----

struct ReadCase {
    const char* name;
    uint64_t offset;
    ULONG length;
    IoPath path;
    CSHORT mdlFlags;
    NTSTATUS status;
    ULONG produced;
};

class Reads : public BoundStub, public ::testing::WithParamInterface<ReadCase> {};

TEST_P(Reads, ServeTheVirtualDiskOrRefuse) {
    const ReadCase& c = GetParam();
    // Never a null buffer, not even for an empty read.
    std::vector<uint8_t> buffer(std::max<ULONG>(c.length, 1), 0xCC);
    const host::IoResult result = host::Read(stub_, {.buffer = buffer.data(),
                                                     .length = c.length,
                                                     .offset = (LONGLONG)c.offset,
                                                     .path = c.path,
                                                     .mdlFlags = c.mdlFlags});

    EXPECT_EQ(result.status, c.status);
    ASSERT_EQ(result.information, c.produced);
    buffer.resize(c.produced);
    EXPECT_EQ(buffer, Expected(c.offset, c.produced));
}

constexpr CSHORT kLocked = MDL_PAGES_LOCKED;
INSTANTIATE_TEST_SUITE_P(
    Filter, Reads,
    ::testing::Values(
        ReadCase{"firstBlock", 0, (ULONG)MiB, IoPath::Irp, kLocked, STATUS_SUCCESS, (ULONG)MiB},
        ReadCase{"fromParent", MiB + 512, 8192, IoPath::Irp, kLocked, STATUS_SUCCESS, 8192},
        ReadCase{"acrossBlocks", 2 * MiB - 512, 4096, IoPath::Irp, kLocked, STATUS_SUCCESS, 4096},
        ReadCase{"partialBlockUnaligned", 2 * MiB + 100, 3000, IoPath::NonCached, kLocked,
                 STATUS_SUCCESS, 3000},
        ReadCase{"zeroBlock", 3 * MiB, 4096, IoPath::Irp, kLocked, STATUS_SUCCESS, 4096},
        ReadCase{"pagingMappedHere", 0, 65536, IoPath::Paging, kLocked, STATUS_SUCCESS, 65536},
        ReadCase{"pagingSystemVa", 5 * MiB, 4096, IoPath::Paging, kLocked | MDL_MAPPED_TO_SYSTEM_VA,
                 STATUS_SUCCESS, 4096},
        ReadCase{"pagingNonPagedPool", 5 * MiB, 4096, IoPath::Paging, MDL_SOURCE_IS_NONPAGED_POOL,
                 STATUS_SUCCESS, 4096},
        ReadCase{"cachedRefusedAsFastIo", 5 * MiB - 4096, 8192, IoPath::Cached, kLocked,
                 STATUS_SUCCESS, 8192},
        ReadCase{"acrossTheEnd", 8 * MiB - 1000, 4096, IoPath::Irp, kLocked, STATUS_SUCCESS, 1000},
        ReadCase{"atTheEnd", 8 * MiB, 512, IoPath::Irp, kLocked, STATUS_END_OF_FILE, 0},
        ReadCase{"farBeyond", 1ULL << 40, 512, IoPath::Irp, kLocked, STATUS_END_OF_FILE, 0},
        ReadCase{"empty", 4096, 0, IoPath::Irp, kLocked, STATUS_SUCCESS, 0},
        ReadCase{"mdl", 0, 4096, IoPath::Mdl, kLocked, STATUS_INVALID_DEVICE_REQUEST, 0},
        ReadCase{"mdlComplete", 0, 4096, IoPath::MdlComplete, kLocked,
                 STATUS_INVALID_DEVICE_REQUEST, 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(BoundStub, ReadWithoutBufferIsInvalid) {
    const host::IoResult result = host::Read(stub_, {.length = 512, .offset = 0});
    EXPECT_EQ(result.status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(result.information, 0u);
}

TEST_F(BoundStub, UnmappableMdlFailsTheRead) {
    std::vector<uint8_t> buffer(4096);
    const host::ReadRequest request = {
        .buffer = buffer.data(), .length = 4096, .offset = 0, .path = IoPath::Paging};
    host::FailMdlMapping(1);
    const host::IoResult result = host::Read(stub_, request);
    EXPECT_EQ(result.status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(result.information, 0u);
    // The next mapping succeeds, and so does the same read.
    EXPECT_EQ(host::Read(stub_, request).status, STATUS_SUCCESS);
    EXPECT_EQ(buffer, Expected(0, 4096));
}

TEST_F(BoundStub, ReadsAtTheCurrentOffsetDoNotMoveIt) {
    std::vector<uint8_t> first(4096), second(4096);
    ASSERT_EQ(host::Read(stub_, {.buffer = first.data(), .length = 4096}).status, STATUS_SUCCESS);
    ASSERT_EQ(host::Read(stub_, {.buffer = second.data(), .length = 4096}).status, STATUS_SUCCESS);
    EXPECT_EQ(first, Expected(0, 4096));
    EXPECT_EQ(second, first);
}

// A caller's buffer that faults half way. Zeros are written by the driver
// itself, under its exception handler: the access violation passes through
// the read engine's __finally, which frees the BAT buffer, and fails the
// read with the exception's code. Data is read by the file system below,
// which fails the read with a status and raises nothing. On pontor.sys this
// runs the image's own __try/__except and __try/__finally.
struct BufferFault {
    const char* name;
    uint64_t offset;  // of the read of 8192 bytes, faulting from its 4096th
    NTSTATUS status;
};

class CallersBuffer : public BoundStub, public ::testing::WithParamInterface<BufferFault> {};

TEST_P(CallersBuffer, FaultFailsOnlyThatReadAndFreesItsBuffers) {
    const BufferFault& c = GetParam();
    std::vector<uint8_t> buffer(8192);
    const size_t pool = host::PoolOutstanding();
    host::ArmAccessFault(buffer.data() + 4096, 4096);
    const host::IoResult faulted =
        host::Read(stub_, {.buffer = buffer.data(), .length = 8192, .offset = c.offset});
    host::ArmAccessFault(nullptr, 0);
    EXPECT_EQ(faulted.status, c.status);
    if (c.status == STATUS_ACCESS_VIOLATION) {
        EXPECT_EQ(faulted.information, 0u);
    }
    EXPECT_EQ(host::MutexesHeld(), 0);
    EXPECT_EQ(host::PoolOutstanding(), pool);

    // The stream's lock and buffers were released: the next read is served.
    const ReadResult read = Read(stub_, c.offset, 8192);
    EXPECT_EQ(read.status, STATUS_SUCCESS);
    EXPECT_EQ(read.bytes, Expected(c.offset, 8192));
}

INSTANTIATE_TEST_SUITE_P(
    Filter, CallersBuffer,
    ::testing::Values(BufferFault{"zerosWrittenByTheDriver", 3 * MiB, STATUS_ACCESS_VIOLATION},
                      BufferFault{"dataReadBelow", 0, STATUS_INVALID_USER_BUFFER},
                      BufferFault{"partialBlockReadBelow", 2 * MiB, STATUS_INVALID_USER_BUFFER}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(BoundStub, UnboundStubReadsAsItsOwnBytes) {
    const ReadResult read = Read(unbound_, 0, 8192);
    EXPECT_EQ(read.status, STATUS_SUCCESS);
    EXPECT_EQ(read.bytes, HostBytes("dir/free.vmdk"));
    EXPECT_EQ(Read(unbound_, 4096, 512).status, STATUS_END_OF_FILE);
}

// ---- Size queries ----

struct SizeCase {
    const char* name;
    FILE_INFORMATION_CLASS infoClass;
    ULONG length;
    bool completed;     // status and information replaced by the filter
    ULONG information;  // when completed
    bool served;        // the size fields hold the served size
    // Where the size fields lie in the record; -1: none.
    int endOfFile;
    int allocationSize;
};

class SizeQueries : public BoundStub, public ::testing::WithParamInterface<SizeCase> {
protected:
    struct Answer {
        host::IoResult result;
        std::vector<uint8_t> buffer;
    };
    Answer Query(const host::Handle& handle) {
        Answer a{{}, std::vector<uint8_t>(GetParam().length, 0xCC)};
        a.result = host::QueryInformation(handle, GetParam().infoClass, a.buffer.data(),
                                          GetParam().length);
        return a;
    }
    static LONGLONG At(const std::vector<uint8_t>& buffer, int offset) {
        LONGLONG v;
        std::memcpy(&v, &buffer[offset], sizeof(v));
        return v;
    }
};

TEST_P(SizeQueries, ReportTheServedSizeWhereTheBufferHoldsTheRecord) {
    const SizeCase& c = GetParam();
    // The ordinary file of the same bytes shows what the file system answers.
    const Answer plain = Query(plain_);
    const Answer bound = Query(stub_);
    const Answer unbound = Query(unbound_);

    EXPECT_EQ(bound.result.status, c.completed ? STATUS_SUCCESS : plain.result.status);
    EXPECT_EQ(bound.result.information, c.completed ? c.information : plain.result.information);
    EXPECT_EQ(unbound.result.status, plain.result.status);
    EXPECT_EQ(unbound.result.information, plain.result.information);
    for (int field : {c.endOfFile, c.allocationSize}) {
        if (field < 0 || field + 8 > (int)c.length) {
            continue;
        }
        EXPECT_EQ(At(bound.buffer, field), c.served ? (LONGLONG)(8 * MiB) : At(plain.buffer, field))
            << "field at " << field;
        EXPECT_EQ(At(unbound.buffer, field), At(plain.buffer, field)) << "field at " << field;
    }
}

constexpr ULONG kAllLength = sizeof(FILE_ALL_INFORMATION) + 512;
INSTANTIATE_TEST_SUITE_P(
    Filter, SizeQueries,
    ::testing::Values(
        SizeCase{"standard", FileStandardInformation, 24, true, 24, true, 8, 0},
        SizeCase{"standardLarger", FileStandardInformation, 64, true, 24, true, 8, 0},
        SizeCase{"standardShort", FileStandardInformation, 23, false, 0, false, 8, 0},
        SizeCase{"all", FileAllInformation, kAllLength, false, 0, true, 48, 40},
        SizeCase{"allOf64", FileAllInformation, 64, false, 0, true, 48, 40},
        SizeCase{"allOf60", FileAllInformation, 60, false, 0, false, 48, 40},
        SizeCase{"endOfFile", FileEndOfFileInformation, 8, true, 8, true, 0, -1},
        SizeCase{"endOfFileShort", FileEndOfFileInformation, 7, false, 0, false, -1, -1},
        // The stream's allocation size is the file system's.
        SizeCase{"stream", FileStreamInformation, 256, true, 32, true, 8, -1},
        SizeCase{"streamAllocation", FileStreamInformation, 256, true, 32, false, -1, 16},
        SizeCase{"streamShort", FileStreamInformation, 31, false, 0, false, 8, 16},
        SizeCase{"networkOpen", FileNetworkOpenInformation, 56, true, 56, true, 40, 32},
        SizeCase{"networkOpenShort", FileNetworkOpenInformation, 55, false, 0, false, 40, 32},
        SizeCase{"basic", FileBasicInformation, 40, false, 0, false, -1, -1},
        SizeCase{"position", FilePositionInformation, 8, false, 0, false, 0, -1}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(FilterTest, ServedSizeIsTheVirtualDiskInWholeBlocks) {
    struct Case {
        uint64_t virtualSize;
        uint32_t blockSize;
        LONGLONG served;
    };
    const Case cases[] = {
        {10ULL << 30, 32 * MiB, 10LL << 30},
        {10 * MiB + 4096, (uint32_t)MiB, 11 * MiB},
        {10 * MiB, 32 * MiB, 32 * MiB},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.virtualSize);
        host::FlushLazyClose();  // else the cached stub still serves the last image
        ImageSpec shape;
        shape.virtualDiskSize = c.virtualSize;
        shape.blockSize = c.blockSize;
        PutImage("disk.vhdx", shape);
        PutStub("disk.vmdk", "disk.vhdx", 4096);
        host::Handle handle;
        ASSERT_EQ(Open("disk.vmdk", &handle).status, STATUS_SUCCESS);

        FILE_STANDARD_INFORMATION standard = {};
        // The other classes place the same size where SizeQueries checks.
        EXPECT_EQ(
            host::QueryInformation(handle, FileStandardInformation, &standard, sizeof(standard))
                .status,
            STATUS_SUCCESS);
        EXPECT_EQ(standard.EndOfFile.QuadPart, c.served);
        EXPECT_EQ(standard.AllocationSize.QuadPart, c.served);
        // A read of the last served byte succeeds; one past it is the end.
        EXPECT_EQ(Read(handle, (uint64_t)c.served - 1, 1).status, STATUS_SUCCESS);
        EXPECT_EQ(Read(handle, (uint64_t)c.served, 1).status, STATUS_END_OF_FILE);
    }
}

// ---- Modifications ----

struct WriteCase {
    const char* name;
    host::IoResult (*issue)(const host::Handle& handle);
};

host::IoResult WriteThrough(const host::Handle& handle, IoPath path) {
    static const std::vector<uint8_t> data(512, 0x5A);
    return host::Write(handle,
                       {.buffer = data.data(), .length = 512, .offset = 1024, .path = path});
}

class Modifications : public BoundStub, public ::testing::WithParamInterface<WriteCase> {};

TEST_P(Modifications, AreRefusedOnABoundStubAndReachTheFileSystemOtherwise) {
    // Later opens of a bound stream may ask for write access; their writes are refused.
    host::Handle writer;
    ASSERT_EQ(Open("dir/disk.vmdk", &writer, GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE).status,
              STATUS_SUCCESS);
    const host::IoResult refused = GetParam().issue(writer);
    EXPECT_EQ(refused.status, STATUS_ACCESS_DENIED);
    EXPECT_EQ(refused.information, 0u);
    EXPECT_EQ(HostBytes("dir/disk.vmdk"), StubBytes("child.vhdx", 4096));

    host::Handle plainWriter;
    ASSERT_EQ(
        Open("dir/free.vmdk", &plainWriter, GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE).status,
        STATUS_SUCCESS);
    EXPECT_TRUE(NT_SUCCESS(GetParam().issue(plainWriter).status));
}

INSTANTIATE_TEST_SUITE_P(
    Filter, Modifications,
    ::testing::Values(
        WriteCase{"write", [](const host::Handle& h) { return WriteThrough(h, IoPath::Irp); }},
        WriteCase{"cachedWrite",
                  [](const host::Handle& h) { return WriteThrough(h, IoPath::Cached); }},
        WriteCase{"nonCachedWrite",
                  [](const host::Handle& h) { return WriteThrough(h, IoPath::NonCached); }},
        WriteCase{"pagingWrite",
                  [](const host::Handle& h) { return WriteThrough(h, IoPath::Paging); }},
        WriteCase{"acquireForModWrite",
                  [](const host::Handle& h) { return host::AcquireForModWrite(h, 4096); }},
        WriteCase{"acquireForCcFlush",
                  [](const host::Handle& h) { return host::AcquireForCcFlush(h); }},
        WriteCase{"prepareMdlWrite",
                  [](const host::Handle& h) { return host::PrepareMdlWrite(h, 0, 4096); }}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- The header query ----

struct HeaderCase {
    const char* name;
    const char* file;  // opened under dir/
    ULONG outputLength;
    bool nullSystemBuffer;
    NTSTATUS status;
};

class HeaderQuery : public BoundStub, public ::testing::WithParamInterface<HeaderCase> {};

TEST_P(HeaderQuery, AnswersOnlyABoundStubWithRoomForTheHeader) {
    const HeaderCase& c = GetParam();
    PutFile("dir/tiny.vmdk", StubBytes("child.vhdx", 100));
    host::Handle handle;
    ASSERT_EQ(Open(std::string("dir/") + c.file, &handle).status, STATUS_SUCCESS);
    const HeaderResult header = QueryHeader(handle, c.outputLength, c.nullSystemBuffer);
    EXPECT_EQ(header.status, c.status);
    if (c.status != STATUS_SUCCESS) {
        EXPECT_EQ(header.information, 0u);
        return;
    }
    ASSERT_EQ(header.information, 4096u);
    std::vector<uint8_t> expected = StubBytes("child.vhdx", 2048);
    expected.resize(4096, 0);
    EXPECT_EQ(header.bytes, expected);
}

INSTANTIATE_TEST_SUITE_P(
    Filter, HeaderQuery,
    ::testing::Values(
        HeaderCase{"bound", "disk.vmdk", 4096, false, STATUS_SUCCESS},
        HeaderCase{"boundLargerBuffer", "disk.vmdk", 8192, false, STATUS_SUCCESS},
        HeaderCase{"boundShortBuffer", "disk.vmdk", 4095, false, STATUS_INVALID_PARAMETER},
        HeaderCase{"boundNoSystemBuffer", "disk.vmdk", 4096, true, STATUS_INVALID_PARAMETER},
        HeaderCase{"unbound", "free.vmdk", 4096, false, STATUS_DEVICE_NOT_READY},
        HeaderCase{"ordinaryFile", "plain.bin", 4096, false, STATUS_NOT_FOUND},
        HeaderCase{"tooSmallForAStub", "tiny.vmdk", 4096, false, STATUS_NOT_FOUND}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(BoundStub, OtherControlCodesReachTheFileSystem) {
    std::vector<uint8_t> output(64);
    const host::IoResult result = host::FileSystemControl(
        stub_, {.code = CTL_CODE(FILE_DEVICE_FILE_SYSTEM, 0xC8B, METHOD_BUFFERED, FILE_ANY_ACCESS),
                .output = output.data(),
                .outputLength = 64});
    EXPECT_EQ(result.status, STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(result.information, 0u);
}

// ---- Stack ----

// The stack under each host routine pontor.sys calls while a differencing
// stub is bound, read (a partial block and the parent under it) and closed:
// the routine's own use and all below it, and how deep the image's call sat
// under the request. docs/windows.md adds these to the image's own frames
// against the 24 KiB kernel stack.
TEST_F(FilterTest, StackOfTheHostRoutinesTheImageCalls) {
    if (!OnImage()) {
        GTEST_SKIP() << "measured on the image, whose imports the loader can enter by thunks";
    }
    PutImage("dir/child.vhdx", ChildSpec(u"relative_path", u"base.vhdx"));
    PutImage("dir/base.vhdx", ParentSpec());
    PutStub("dir/disk.vmdk", "child.vhdx");
    Unload();
    host::seh::MeasureStacks(true);
    {
        auto driver = LoadDriver();
        ASSERT_NE(driver, nullptr);
        host::Handle stub;
        host::seh::MarkStackTop();
        ASSERT_EQ(Open("dir/disk.vmdk", &stub).status, STATUS_SUCCESS);
        host::seh::MarkStackTop();
        EXPECT_EQ(Read(stub, 2 * MiB - 4096, 8192).status, STATUS_SUCCESS);
        host::seh::MarkStackTop();
        stub.Close();
    }
    const std::vector<host::seh::StackUse> used = host::seh::MeasuredStacks();
    host::seh::MeasureStacks(false);
    std::map<std::string, host::seh::StackUse> byRoutine;
    for (const host::seh::StackUse& use : used) {
        byRoutine[use.routine] = use;
        std::cout << "stack: " << use.routine << " called " << use.above
                  << " bytes under the request, using " << use.below << " below\n";
    }
    for (const char* routine : {"FltCreateFileEx", "FltReadFile", "FltAllocateContext",
                                "FltSetStreamContext", "FltGetStreamContext"}) {
        EXPECT_GT(byRoutine[routine].below, 0u) << routine << " was not measured";
    }
}

}  // namespace
}  // namespace filtertest

// Which opens the filter examines, what binding a stub finds, and what the
// binding open is told: driven only through the host I/O manager.
#include <algorithm>
#include <cstdlib>
#include <optional>
#include <set>

#include "tests/filter/filter_fixture.h"

namespace filtertest {
namespace {

using vhdxtest::ImageSpec;

constexpr GUID kOtherEcp = {
    0x4248BE44, 0x647F, 0x488F, {0x8B, 0xE5, 0xA0, 0x8A, 0xAF, 0x70, 0xF0, 0x29}};

// ---- Names and sizes ----

struct CandidateCase {
    const char* name;
    const char* file;
    size_t size;      // 0: a directory
    ULONG options;    // create options of the open
    NTSTATUS header;  // what the header query answers afterwards
};

class Candidates : public FilterTest, public ::testing::WithParamInterface<CandidateCase> {};

TEST_P(Candidates, OnlyVmdkNamesOfAtLeast2048BytesAreExamined) {
    const CandidateCase& c = GetParam();
    PutImage("disk.vhdx", DynamicSpec());
    if (c.size == 0) {
        std::filesystem::create_directories(HostPath(c.file));
    } else {
        PutStub(c.file, "disk.vhdx", c.size);
    }
    host::CreateRequest request;
    request.createOptions = c.options;
    host::Handle handle;
    ASSERT_EQ(Create(c.file, &handle, request).status, STATUS_SUCCESS);

    EXPECT_EQ(QueryHeader(handle).status, c.header);
    if (c.size != 0) {
        // Bound: the virtual disk; otherwise the file's own bytes.
        const ReadResult read = Read(handle, 0, 512);
        ASSERT_EQ(read.status, STATUS_SUCCESS);
        EXPECT_EQ(read.bytes, c.header == STATUS_SUCCESS
                                  ? vhdxtest::ExpectedBytes(DynamicSpec(), nullptr, 0, 512)
                                  : StubBytes("disk.vhdx", 512));
    }
}

constexpr ULONG kFileOptions = FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE;
INSTANTIATE_TEST_SUITE_P(
    Filter, Candidates,
    ::testing::Values(
        CandidateCase{"lower", "disk.vmdk", 2048, kFileOptions, STATUS_SUCCESS},
        CandidateCase{"mixed", "disk.VmDk", 4096, kFileOptions, STATUS_SUCCESS},
        CandidateCase{"backup", "disk.vmdk.bak", 2048, kFileOptions, STATUS_NOT_FOUND},
        CandidateCase{"noDot", "diskvmdk", 2048, kFileOptions, STATUS_NOT_FOUND},
        CandidateCase{"otherExtension", "disk.vmd", 2048, kFileOptions, STATUS_NOT_FOUND},
        CandidateCase{"oneByteShort", "small.vmdk", 2047, kFileOptions, STATUS_NOT_FOUND},
        CandidateCase{"directoryOpened", "dir.vmdk", 0,
                      FILE_SYNCHRONOUS_IO_NONALERT | FILE_DIRECTORY_FILE, STATUS_NOT_FOUND},
        CandidateCase{"directoryAnyOpen", "dir.vmdk", 0, FILE_SYNCHRONOUS_IO_NONALERT,
                      STATUS_NOT_FOUND}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- Opens that are let through before any name is looked at ----

struct PassCase {
    const char* name;
    void (*shape)(host::CreateRequest*);
    bool bound;
};

class CreateShapes : public FilterTest, public ::testing::WithParamInterface<PassCase> {};

TEST_P(CreateShapes, OnlyOrdinaryOpensBind) {
    PutDisk();
    host::CreateRequest request;
    GetParam().shape(&request);
    host::DebugCapture capture;
    host::Handle handle;
    const host::IoResult result = Create("disk.vmdk", &handle, request);

    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(CountLines(capture, Initializing("disk.vmdk")), GetParam().bound ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Filter, CreateShapes,
    ::testing::Values(
        PassCase{"plain", [](host::CreateRequest*) {}, true},
        PassCase{"kernelRequestor", [](host::CreateRequest* r) { r->requestorMode = KernelMode; },
                 true},
        PassCase{"otherEcp", [](host::CreateRequest* r) { r->extraCreateParameters = {kOtherEcp}; },
                 true},
        PassCase{"skipEcp",
                 [](host::CreateRequest* r) {
                     r->extraCreateParameters = {kOtherEcp, kSkipEcp};
                 },
                 false},
        PassCase{"pagingFile",
                 [](host::CreateRequest* r) { r->operationFlags = SL_OPEN_PAGING_FILE; }, false},
        PassCase{"targetDirectory",
                 [](host::CreateRequest* r) { r->operationFlags = SL_OPEN_TARGET_DIRECTORY; },
                 false},
        PassCase{"fileObjectOnStack", [](host::CreateRequest* r) { r->fileObjectOnStack = true; },
                 false}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- What binding finds ----

class Binding;

struct BindCase {
    const char* name;
    void (*layout)(Binding& test);  // writes dir/disk.vmdk and the images
    bool bound;
    const char* message;   // a line binding logs, "" for none; %s: the stub's NT name
    ImageSpec child = {};  // what a bound stub serves
    std::optional<ImageSpec> parent = std::nullopt;
};

class Binding : public FilterTest, public ::testing::WithParamInterface<BindCase> {
public:
    // Layouts call the fixture's protected helpers through these.
    void Image(const std::string& relative, const ImageSpec& shape) { PutImage(relative, shape); }
    void Stub(std::string_view imagePath) { PutStub("dir/disk.vmdk", imagePath); }
    void File(const std::string& relative, const std::vector<uint8_t>& bytes) {
        PutFile(relative, bytes);
    }
};

ImageSpec NestedParent() {
    ImageSpec shape = ChildSpec(u"relative_path", u"grand.vhdx");
    shape.seed = 4;
    return shape;
}

std::vector<uint8_t> CorruptImage(const ImageSpec& shape) {
    vhdxtest::Image image = vhdxtest::Build(shape);
    image.bytes[0x10000 + 100] ^= 0xFF;  // inside the first header copy
    return image.bytes;
}

constexpr char16_t kElsewhere[] =
    u"\\\\?\\Volume{26a21bda-a627-11d7-9931-806e6f6e6963}\\other\\base.vhdx";

TEST_P(Binding, BindsTheChainBesideTheStubOrLeavesThePlainFile) {
    const BindCase& c = GetParam();
    host::DebugCapture capture;
    c.layout(*this);
    host::Handle handle;
    ASSERT_EQ(Open("dir/disk.vmdk", &handle).status, STATUS_SUCCESS);

    const HeaderResult header = QueryHeader(handle);
    if (c.bound) {
        ASSERT_EQ(header.status, STATUS_SUCCESS);
        const ImageSpec* parent = c.parent ? &*c.parent : nullptr;
        for (uint64_t offset = 0; offset < 8 * MiB; offset += MiB) {
            const ReadResult read = Read(handle, offset, (ULONG)MiB);
            ASSERT_EQ(read.status, STATUS_SUCCESS) << offset;
            ASSERT_EQ(read.bytes, vhdxtest::ExpectedBytes(c.child, parent, offset, MiB))
                << "at " << offset;
        }
    } else {
        EXPECT_EQ(header.status, STATUS_DEVICE_NOT_READY);
        const ReadResult read = Read(handle, 0, 8192);
        EXPECT_EQ(read.status, STATUS_SUCCESS);
        EXPECT_EQ(read.bytes, HostBytes("dir/disk.vmdk"));
    }
    if (*c.message != '\0') {
        char line[512];
        std::snprintf(line, sizeof(line), c.message, NtName("dir/disk.vmdk").c_str());
        EXPECT_TRUE(HasLine(capture, line)) << line;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Filter, Binding,
    ::testing::Values(
        BindCase{"imageInSubdirectory",
                 [](Binding& t) {
                     t.Image("dir/images/disk.vhdx", DynamicSpec());
                     t.Stub("images\\disk.vhdx");
                 },
                 true, "[PONTOR] PontorPostCreate: Filtering access to %s.\n", DynamicSpec()},
        BindCase{"parentBesideStubNotWhereRelativePathSays",
                 [](Binding& t) {
                     t.Image("dir/child.vhdx",
                             ChildSpec(u"relative_path", u"..\\elsewhere\\base.vhdx"));
                     t.Image("dir/base.vhdx", ParentSpec());
                     ImageSpec decoy = ParentSpec();
                     decoy.seed = 9;
                     t.Image("elsewhere/base.vhdx", decoy);
                     t.Stub("child.vhdx");
                 },
                 true, "", ChildSpec(u"relative_path", u"..\\elsewhere\\base.vhdx"), ParentSpec()},
        BindCase{"parentBesideStubNotWhereVolumePathSays",
                 [](Binding& t) {
                     t.Image("dir/child.vhdx", ChildSpec(u"volume_path", kElsewhere));
                     t.Image("dir/base.vhdx", ParentSpec());
                     t.Stub("child.vhdx");
                 },
                 true, "", ChildSpec(u"volume_path", kElsewhere), ParentSpec()},
        BindCase{"nestedChain",
                 [](Binding& t) {
                     t.Image("dir/child.vhdx", ChildSpec(u"relative_path", u"base.vhdx"));
                     t.Image("dir/base.vhdx", NestedParent());
                     t.Image("dir/grand.vhdx", ParentSpec());
                     t.Stub("child.vhdx");
                 },
                 false,
                 "[PONTOR] PontorParseHeader: It is a nested differencing VHDX file and is not "
                 "supported.\n"},
        BindCase{"wrongSignature",
                 [](Binding& t) {
                     t.Image("dir/disk.vhdx", DynamicSpec());
                     t.File("dir/disk.vmdk", StubBytes("disk.vhdx", 2048, kStubSignature + 1));
                 },
                 false, ""},
        BindCase{"missingImage", [](Binding& t) { t.Stub("absent.vhdx"); }, false,
                 "[PONTOR] PontorParseHeader: PontorOpenFile failed with status 0xc0000034\n"},
        BindCase{"corruptImage",
                 [](Binding& t) {
                     t.File("dir/disk.vhdx", CorruptImage(DynamicSpec()));
                     t.Stub("disk.vhdx");
                 },
                 false,
                 "[PONTOR] PontorParseHeader: PontorParseHeader failed with status 0xc0000058\n"},
        BindCase{"missingParent",
                 [](Binding& t) {
                     t.Image("dir/child.vhdx", ChildSpec(u"relative_path", u"base.vhdx"));
                     t.Stub("child.vhdx");
                 },
                 false,
                 "[PONTOR] PontorParseHeader: PontorOpenFile for Parent VHDX failed with status "
                 "0xc0000034\n"},
        BindCase{"corruptParent",
                 [](Binding& t) {
                     t.Image("dir/child.vhdx", ChildSpec(u"relative_path", u"base.vhdx"));
                     t.File("dir/base.vhdx", CorruptImage(ParentSpec()));
                     t.Stub("child.vhdx");
                 },
                 false,
                 "[PONTOR] PontorParseHeader: PontorParseHeader for parent VHDX failed with "
                 "status 0xc0000058\n"},
        BindCase{"imageOutsideTheVolume",
                 [](Binding& t) {
                     t.Image("disk.vhdx", DynamicSpec());
                     t.Stub("..\\..\\disk.vhdx");
                 },
                 false, ""},
        BindCase{"pathWithoutTerminator",
                 [](Binding& t) {
                     t.Image("dir/disk.vhdx", DynamicSpec());
                     std::vector<uint8_t> stub = StubBytes("disk.vhdx", 4096);
                     // Image path characters to the 2048th byte; the zero after it is not read.
                     for (size_t i = 16; i < 2048; i++) {
                         stub[i] = 'a';
                     }
                     t.File("dir/disk.vmdk", stub);
                 },
                 false, "[PONTOR] PontorParseHeader: Image path of %s has no terminating zero\n"}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- The binding open's access ----

struct AccessCase {
    const char* name;
    ACCESS_MASK access;
    bool denied;
};

class BindingOpenAccess : public FilterTest, public ::testing::WithParamInterface<AccessCase> {};

TEST_P(BindingOpenAccess, OnlyWriteDataIsRefusedAndTheStreamStaysBound) {
    PutDisk();
    // An open that never binds keeps the stream, and so its context, alive.
    host::Handle anchor;
    ASSERT_EQ(OpenQuietly("disk.vmdk", &anchor).status, STATUS_SUCCESS);

    host::DebugCapture capture;
    host::Handle binder;
    const host::IoResult result = Open("disk.vmdk", &binder, GetParam().access);
    const std::string name = NtName("disk.vmdk");
    if (GetParam().denied) {
        EXPECT_EQ(result.status, STATUS_ACCESS_DENIED);
        EXPECT_EQ(result.information, 0u);
        EXPECT_FALSE(binder);
        EXPECT_TRUE(
            HasLine(capture, "[PONTOR] PontorPostCreate: Denying write access to " + name + "."));
    } else {
        EXPECT_EQ(result.status, STATUS_SUCCESS);
        EXPECT_TRUE(
            HasLine(capture, "[PONTOR] PontorPostCreate: Filtering access to " + name + ".\n"));
        // Whatever the open was granted, the stub is never written.
        const uint8_t byte = 0;
        EXPECT_EQ(host::Write(binder, {.buffer = &byte, .length = 1, .offset = 0}).status,
                  STATUS_ACCESS_DENIED);
        EXPECT_EQ(HostBytes("disk.vmdk"), StubBytes("disk.vhdx"));
    }

    // Bound once, whatever the binding open was told.
    host::Handle reader;
    ASSERT_EQ(Open("disk.vmdk", &reader).status, STATUS_SUCCESS);
    EXPECT_EQ(CountLines(capture, Initializing("disk.vmdk")), 1u);
    EXPECT_EQ(QueryHeader(reader).status, STATUS_SUCCESS);
    const ReadResult read = Read(reader, 5 * MiB, 4096);
    ASSERT_EQ(read.status, STATUS_SUCCESS);
    EXPECT_EQ(read.bytes, vhdxtest::ExpectedBytes(DynamicSpec(), nullptr, 5 * MiB, 4096));
}

INSTANTIATE_TEST_SUITE_P(
    Filter, BindingOpenAccess,
    ::testing::Values(
        AccessCase{"read", GENERIC_READ | SYNCHRONIZE, false},
        AccessCase{"writeData", FILE_READ_DATA | FILE_WRITE_DATA | SYNCHRONIZE, true},
        AccessCase{"appendOnly", FILE_READ_DATA | FILE_APPEND_DATA | SYNCHRONIZE, false},
        AccessCase{"writeAttributes", FILE_READ_DATA | FILE_WRITE_ATTRIBUTES | SYNCHRONIZE, false},
        // Generic rights are mapped before the filter sees them; MAXIMUM_ALLOWED
        // is left to the file system, so the filter sees no FILE_WRITE_DATA.
        AccessCase{"genericAll", GENERIC_ALL, true},
        AccessCase{"maximumAllowed", MAXIMUM_ALLOWED, false}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- Stub layout ----

TEST_F(FilterTest, StubOf2048BytesWhosePathEndsInItsLastTwoBytes) {
    // 1015 characters of path and its zero fill bytes 16 to 2047 exactly.
    std::string path;
    for (char letter : {'a', 'b', 'c', 'd'}) {
        path += std::string(200, letter) + "\\";
    }
    path += std::string(1015 - path.size() - 5, 'e') + ".vhdx";
    ASSERT_EQ(path.size(), 1015u);
    std::string hostPath = path;
    std::replace(hostPath.begin(), hostPath.end(), '\\', '/');
    PutImage(hostPath, DynamicSpec());
    const std::vector<uint8_t> stub = StubBytes(path, 2048);
    ASSERT_EQ(stub[2044], 'x');  // the path's last character; its zero is bytes 2046-2047
    PutFile("disk.vmdk", stub);

    host::Handle handle;
    ASSERT_EQ(Open("disk.vmdk", &handle).status, STATUS_SUCCESS);
    const HeaderResult header = QueryHeader(handle);
    ASSERT_EQ(header.status, STATUS_SUCCESS);
    ASSERT_EQ(header.information, 4096u);
    std::vector<uint8_t> expected = stub;
    expected.resize(4096, 0);
    EXPECT_EQ(header.bytes, expected);
    EXPECT_EQ(Read(handle, 0, 4096).bytes,
              vhdxtest::ExpectedBytes(DynamicSpec(), nullptr, 0, 4096));
}

// ---- Volumes ----

struct VolumeCase {
    const char* name;
    host::DeviceType type;
    FLT_FILESYSTEM_TYPE fileSystem;
    bool attached;
};

class Volumes : public FilterTest, public ::testing::WithParamInterface<VolumeCase> {};

TEST_P(Volumes, EveryLocalVolumeGetsAnInstanceNoNetworkOne) {
    const VolumeCase& c = GetParam();
    const kit::ScratchDir dir("pontor-vol");
    const std::filesystem::path& root = dir.Dir();
    vhdxtest::WriteFile(root / "disk.vhdx", vhdxtest::Build(DynamicSpec()).bytes);
    vhdxtest::WriteFile(root / "disk.vmdk", StubBytes("disk.vhdx"));
    {
        host::Volume volume(root, c.type, c.fileSystem);  // mounted while the driver runs
        EXPECT_EQ(Driver().InstanceOn(volume) != nullptr, c.attached);
        host::Handle handle;
        ASSERT_EQ(host::Open(volume, "disk.vmdk", &handle).status, STATUS_SUCCESS);
        // Without an instance the private code reaches the file system, which does not know it.
        EXPECT_EQ(QueryHeader(handle).status,
                  c.attached ? STATUS_SUCCESS : STATUS_INVALID_DEVICE_REQUEST);
        const ReadResult read = Read(handle, 0, 2048);
        EXPECT_EQ(read.bytes, c.attached ? vhdxtest::ExpectedBytes(DynamicSpec(), nullptr, 0, 2048)
                                         : StubBytes("disk.vhdx"));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Filter, Volumes,
    ::testing::Values(VolumeCase{"ntfs", host::DeviceType::Disk, FLT_FSTYPE_NTFS, true},
                      VolumeCase{"fat", host::DeviceType::Disk, FLT_FSTYPE_FAT, true},
                      VolumeCase{"optical", host::DeviceType::CdRom, FLT_FSTYPE_UNKNOWN, true},
                      VolumeCase{"network", host::DeviceType::NetworkFileSystem, FLT_FSTYPE_UNKNOWN,
                                 false}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- Unload ----

TEST_F(FilterTest, UnloadWithOpenHandlesFreesEverythingAndLeavesThePlainFile) {
    PutDisk();
    host::Handle handle;
    ASSERT_EQ(Open("disk.vmdk", &handle).status, STATUS_SUCCESS);
    ASSERT_EQ(QueryHeader(handle).status, STATUS_SUCCESS);

    Unload();
    EXPECT_EQ(host::PoolOutstanding(), 0u);
    EXPECT_EQ(host::OpenFileCount(), 1u);  // the application's handle, not the images
    EXPECT_EQ(Read(handle, 0, 2048).bytes, StubBytes("disk.vhdx"));
}

// ---- Trace mask and messages ----

class TraceMask : public FilterTest, public ::testing::WithParamInterface<ULONG> {};

TEST_P(TraceMask, GatesEveryEnteredTraceButNoFailureMessage) {
    PutDisk();
    PutStub("lost.vmdk", "absent.vhdx");
    Unload();
    host::DebugCapture capture;
    {
        std::unique_ptr<host::ServingDriver> serving = LoadDriver(GetParam());
        ASSERT_NE(serving, nullptr);
        host::Driver& driver = serving->Get();
        {
            host::Handle stub;
            host::Handle lost;
            ASSERT_EQ(Open("disk.vmdk", &stub).status, STATUS_SUCCESS);
            ASSERT_EQ(Open("lost.vmdk", &lost).status, STATUS_SUCCESS);
            EXPECT_EQ(QueryHeader(stub).status, STATUS_SUCCESS);
        }
        EXPECT_EQ(driver.Detach(Volume()), STATUS_SUCCESS);
        EXPECT_EQ(driver.Unload(), STATUS_SUCCESS);
    }
    gTraceFlags = 0;

    std::set<std::string> traces;
    for (const host::DebugLine& line : capture.Lines()) {
        if (line.ex) {
            EXPECT_EQ(line.component, 77u) << line.text;
            EXPECT_EQ(line.level, 0u) << line.text;
        } else {
            traces.insert(line.text);
        }
    }
    const std::set<std::string> entered = {
        "Pontor!DriverEntry: Entered\n",
        "Pontor!PontorInstanceSetup: Entered\n",
        "Pontor!PontorPreCreate: Entered\n",
        "Pontor!PontorPreFileSystemControl: Entered\n",
        "Pontor!PontorStreamContextCleanup: Entered\n",
        "Pontor!PontorInstanceQueryTeardown: Entered\n",
        "Pontor!PontorInstanceTeardownStart: Entered\n",
        "Pontor!PontorInstanceTeardownComplete: Entered\n",
        "Pontor!PontorUnload: Entered\n",
    };
    EXPECT_EQ(traces, GetParam() ? entered : std::set<std::string>());
    EXPECT_TRUE(HasLine(
        capture, "[PONTOR] PontorParseHeader: PontorOpenFile failed with status 0xc0000034\n"));
}

INSTANTIATE_TEST_SUITE_P(Filter, TraceMask, ::testing::Values(0u, 1u));

TEST_F(FilterTest, MessagesOfABoundStub) {
    PutDisk();
    PutStub("other.vmdk", "absent.vhdx");
    const std::string name = NtName("disk.vmdk");
    host::DebugCapture capture;
    {
        host::Handle handle;
        ASSERT_EQ(Open("disk.vmdk", &handle).status, STATUS_SUCCESS);
        EXPECT_EQ(Read(handle, 8 * MiB - 1000, 4096).information, 1000u);
        EXPECT_EQ(Read(handle, 8 * MiB, 512).status, STATUS_END_OF_FILE);
        host::Handle unbound;
        ASSERT_EQ(Open("other.vmdk", &unbound).status, STATUS_SUCCESS);
    }
    const std::vector<std::string> filterLines = [&] {
        std::vector<std::string> lines;
        for (const std::string& text : fixture::DriverLines(capture)) {
            if (text.rfind("[PONTOR] Pontor", 0) == 0 &&
                text.find("PontorParseHeader:") == std::string::npos) {
                lines.push_back(text);
            }
        }
        return lines;
    }();
    const std::vector<std::string> expected = {
        Initializing("disk.vmdk"),
        "[PONTOR] PontorPostCreate: Filtering access to " + name + ".\n",
        "[PONTOR] PontorProcessRead: PontorProcessRead bytes read 0x3e8. Bytes requested 0x1000\n",
        "[PONTOR] PontorProcessRead: PontorProcessRead bytes read 0x0. Bytes requested 0x200\n",
        "[PONTOR] PontorPreRead: PontorPreRead (" + name + ") failed with status 0xc0000011\n",
        Initializing("other.vmdk"),
        "[PONTOR] PontorPreCleanup: " + name + "\n",
    };
    EXPECT_EQ(filterLines, expected);
}

}  // namespace
}  // namespace filtertest

// pontor stub create: the stub names the image the way the binder resolves
// it, the descriptor beside it names the stub as VMware computes such a
// file, and every refusal leaves the directory as it was.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "tests/tools/tool_fixture.h"
#include "tools/vmdk_descriptor.h"

namespace {

using vhdxtest::ImageSpec;
using vhdxtest::State;
namespace fs = std::filesystem;
using kit::MiB;

ImageSpec Plain() {
    ImageSpec shape;
    shape.virtualDiskSize = 8 * MiB;
    shape.blocks = {{1, State::FullyPresent}};
    return shape;
}

ImageSpec Child(const std::u16string& parent) {
    ImageSpec shape = Plain();
    shape.hasParent = true;
    shape.parentLocator = tooltest::LocatorFor(parent);
    return shape;
}

void Write(const fs::path& path, const ImageSpec& shape) {
    fs::create_directories(path.parent_path());
    vhdxtest::WriteFile(path, vhdxtest::Build(shape).bytes);
}

// The image path a stub names, decoded from its bytes as the binder reads them.
std::string StoredPath(const std::vector<uint8_t>& stub) {
    std::string path;
    for (size_t i = 16; i + 1 < stub.size(); i += 2) {
        const uint16_t c = (uint16_t)(stub[i] | stub[i + 1] << 8);
        if (c == 0) {
            return path;
        }
        path += c == u'\\' ? '/' : (char)c;
    }
    ADD_FAILURE() << "no terminating zero in the first 2048 bytes";
    return path;
}

struct Made {
    const char* name;
    const char* images;      // created beneath the directory
    const char* args;        // after "stub create"
    std::string stub;        // where it must appear
    std::string image;       // what it must name
    std::string descriptor;  // where the descriptor must appear; empty: none
};

std::ostream& operator<<(std::ostream& out, const Made& c) { return out << c.name; }

class StubCreated : public fixture::DriverTest, public ::testing::WithParamInterface<Made> {};

TEST_P(StubCreated, NamesTheImageRelativeToItsDirectory) {
    const Made& c = GetParam();
    kit::ScratchDir dir;
    for (const std::string& image : tooltest::Words(c.images)) {
        Write(dir.File(image), Plain());
    }
    const std::vector<std::string> args = tooltest::Words(std::string("stub create ") + c.args);
    const tooltest::Run run = tooltest::Pontor(args, dir.Dir());
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.err, "");
    EXPECT_NE(run.out.find("serving 8388608 bytes"), std::string::npos) << run.out;

    const std::vector<uint8_t> stub = tooltest::ReadFile(dir.File(c.stub));
    ASSERT_EQ(stub.size(), 2048u);
    std::vector<std::string> written = {c.stub};
    if (!c.descriptor.empty()) {
        written.push_back(c.descriptor);
        const std::vector<uint8_t> text = tooltest::ReadFile(dir.File(c.descriptor));
        const std::string extent =
            "\nRW 16384 FLAT \"" + fs::path(c.stub).filename().string() + "\" 0\n";
        EXPECT_NE(std::string(text.begin(), text.end()).find(extent), std::string::npos);
        EXPECT_NE(run.out.find(c.descriptor + ": descriptor of"), std::string::npos) << run.out;
    } else if (std::string(c.args).find("--stub-only") == std::string::npos) {
        EXPECT_NE(run.out.find("no descriptor written"), std::string::npos) << run.out;
    }
    for (const std::string& file : tooltest::Words(c.images)) {
        written.push_back(file);
    }
    for (auto& file : written) {
        file = fs::path(file).begin()->string();  // what the directory lists
    }
    std::sort(written.begin(), written.end());
    written.erase(std::unique(written.begin(), written.end()), written.end());
    EXPECT_EQ(tooltest::ListDir(dir.Dir()), written);
    EXPECT_EQ(std::string(stub.begin(), stub.begin() + 8), std::string("qelvorn\0", 8));
    const fs::path named = dir.File(c.stub).parent_path() / StoredPath(stub);
    EXPECT_TRUE(fs::equivalent(named, dir.File(c.image))) << named;
    EXPECT_EQ(fs::status(dir.File(c.stub)).permissions() & fs::perms::owner_read,
              fs::perms::owner_read);
}

INSTANTIATE_TEST_SUITE_P(
    Stubs, StubCreated,
    ::testing::ValuesIn(std::vector<Made>{
        {"DefaultNames", "disk.vhdx", "disk.vhdx", "disk-flat.vmdk", "disk.vhdx", "disk.vmdk"},
        {"AvhdxExtension", "disk.AVHDX", "disk.AVHDX", "disk-flat.vmdk", "disk.AVHDX", "disk.vmdk"},
        {"NoExtension", "disk", "disk", "disk-flat.vmdk", "disk", "disk.vmdk"},
        {"StubOnly", "disk.vhdx", "--stub-only disk.vhdx", "disk.vmdk", "disk.vhdx", ""},
        {"ChosenName", "disk.vhdx", "disk.vhdx other.VMDK", "other.VMDK", "disk.vhdx", ""},
        {"ChosenFlatName", "disk.vhdx", "disk.vhdx other-FLAT.Vmdk", "other-FLAT.Vmdk", "disk.vhdx",
         "other.Vmdk"},
        {"ImageBelowTheStub", "images/2024/disk.vhdx", "images/2024/disk.vhdx disk-flat.vmdk",
         "disk-flat.vmdk", "images/2024/disk.vhdx", "disk.vmdk"},
        {"StubIntoADirectory", "sub/disk.vhdx", "sub/disk.vhdx sub", "sub/disk-flat.vmdk",
         "sub/disk.vhdx", "sub/disk.vmdk"},
        {"DottedPaths", "a/disk.vhdx", "./a/../a/disk.vhdx ./x/../a.vmdk", "a.vmdk", "a/disk.vhdx",
         ""},
    }),
    [](const auto& info) { return std::string(info.param.name); });

struct Refused {
    const char* name;
    std::function<void(const fs::path& dir)> setup;
    const char* args;  // after "stub create"
    int exitCode;
    std::string error;  // in the one line on stderr
};

std::ostream& operator<<(std::ostream& out, const Refused& c) { return out << c.name; }

void StaleImage(const fs::path& dir) {
    vhdxtest::ImageSpec shape = Plain();
    shape.log = vhdxtest::LogSpec{vhdxtest::Guid::Parse("{4C4F4747-0000-1111-2222-333344445555}"),
                                  {vhdxtest::LogEntry{}}};
    vhdxtest::WriteFile(dir / "disk.vhdx", vhdxtest::Build(shape).bytes);
}

class StubRefused : public fixture::DriverTest, public ::testing::WithParamInterface<Refused> {};

TEST_P(StubRefused, WithOneLineAndNothingWritten) {
    const Refused& c = GetParam();
    kit::ScratchDir dir;
    if (c.setup) {
        c.setup(dir.Dir());
    }
    const std::vector<std::string> before = tooltest::ListDir(dir.Dir());
    const std::vector<std::string> args = tooltest::Words(std::string("stub create ") + c.args);
    const tooltest::Run run = tooltest::Pontor(args, dir.Dir());
    EXPECT_EQ(run.exitCode, c.exitCode);
    EXPECT_EQ(run.out, "");
    ASSERT_FALSE(run.ErrLines().empty());
    const std::string last = run.ErrLines().back();
    EXPECT_EQ(last.rfind("pontor: ", 0), 0u) << last;
    EXPECT_NE(last.find(c.error), std::string::npos) << last;
    EXPECT_EQ(tooltest::ListDir(dir.Dir()), before);
}

INSTANTIATE_TEST_SUITE_P(
    Stubs, StubRefused,
    ::testing::ValuesIn(std::vector<Refused>{
        {"NoSuchImage", nullptr, "disk.vhdx", 1, "disk.vhdx: No such file or directory"},
        {"NotAnImage",
         [](const fs::path& d) {
             vhdxtest::WriteFile(d / "disk.vhdx", std::vector<uint8_t>(4096, 7));
         },
         "disk.vhdx", 1,
         "disk.vhdx: STATUS_UNKNOWN_REVISION (0xC0000058): cannot bind: Invalid "
         "VHDX_FILE_IDENTIFIER Signature"},
        {"ParentNotBesideTheStub",
         [](const fs::path& d) {
             Write(d / "sub/child.vhdx", Child(u"parent.vhdx"));
             Write(d / "sub/parent.vhdx", Plain());
         },
         "sub/child.vhdx child.vmdk", 1, "cannot bind: parent"},
        {"NestedChain",
         [](const fs::path& d) {
             Write(d / "child.vhdx", Child(u"middle.vhdx"));
             Write(d / "middle.vhdx", Child(u"base.vhdx"));
         },
         "child.vhdx", 1, "STATUS_UNRECOGNIZED_MEDIA (0xC0000014): cannot bind: It is a nested"},
        {"StaleLog", StaleImage, "disk.vhdx", 1,
         "no stub written (--force writes it anyway); on Windows, 'pontor replay IMAGE OUT' "
         "writes"},
        {"ExistingStub",
         [](const fs::path& d) {
             Write(d / "disk.vhdx", Plain());
             vhdxtest::WriteFile(d / "disk-flat.vmdk", {1, 2, 3});
         },
         "disk.vhdx", 1, "disk-flat.vmdk: already exists (--overwrite replaces it)"},
        {"ExistingDescriptor",
         [](const fs::path& d) {
             Write(d / "disk.vhdx", Plain());
             vhdxtest::WriteFile(d / "disk.vmdk", {1, 2, 3});
         },
         "disk.vhdx", 1, "disk.vmdk: already exists (--overwrite replaces it)"},
        {"DanglingLinkAsDescriptor",
         [](const fs::path& d) {
             Write(d / "disk.vhdx", Plain());
             fs::create_symlink("nowhere", d / "disk.vmdk");
         },
         "disk.vhdx", 1, "disk.vmdk: already exists"},
        {"UnknownAdapter", [](const fs::path& d) { Write(d / "disk.vhdx", Plain()); },
         "--adapter sata disk.vhdx", 2, "unknown adapter 'sata' (ide, buslogic, lsilogic"},
        {"AdapterWithoutDescriptor", [](const fs::path& d) { Write(d / "disk.vhdx", Plain()); },
         "--stub-only --adapter ide disk.vhdx", 2, "which --stub-only leaves out"},
        {"QuoteInTheStubsName", [](const fs::path& d) { Write(d / "disk.vhdx", Plain()); },
         "disk.vhdx a\"b-flat.vmdk", 2, "cannot name a file whose name holds '\"'"},
        {"NotAStubName", [](const fs::path& d) { Write(d / "disk.vhdx", Plain()); },
         "disk.vhdx disk.raw", 2, "disk.raw: a stub's name must end in .vmdk"},
        {"ImageOutsideTheStubsDirectory",
         [](const fs::path& d) { Write(d / "disk.vhdx", Plain()); }, "disk.vhdx sub/disk.vmdk", 2,
         "must lie in the stub's directory"},
        {"StubIsTheImage", [](const fs::path& d) { Write(d / "disk.vmdk", Plain()); },
         "--stub-only disk.vmdk", 2, "the stub would replace the image itself"},
        {"DescriptorIsTheImage", [](const fs::path& d) { Write(d / "disk.vmdk", Plain()); },
         "disk.vmdk", 2, "the descriptor would replace the image itself"},
        {"TooManyArguments", nullptr, "a b c", 2, "unexpected argument 'c'"},
    }),
    [](const auto& info) { return std::string(info.param.name); });

class StubCreate : public fixture::DriverTest {};

TEST_F(StubCreate, StubCreateWithForceWarnsAndWrites) {
    kit::ScratchDir dir;
    StaleImage(dir.Dir());
    const tooltest::Run run =
        tooltest::Pontor({"stub", "create", "--force", "disk.vhdx"}, dir.Dir());
    EXPECT_EQ(run.exitCode, 0);
    ASSERT_EQ(run.ErrLines().size(), 1u) << run.err;
    EXPECT_NE(run.err.find("warning: the log holds 1 entry"), std::string::npos) << run.err;
    EXPECT_EQ(tooltest::ReadFile(dir.File("disk-flat.vmdk")).size(), 2048u);
}

TEST_F(StubCreate, StubCreateOverwriteReplacesOnlyWhenAsked) {
    kit::ScratchDir dir;
    Write(dir.File("disk.vhdx"), Plain());
    vhdxtest::WriteFile(dir.File("disk.vmdk"), {1, 2, 3});
    EXPECT_EQ(tooltest::Pontor({"stub", "create", "disk.vhdx"}, dir.Dir()).exitCode, 1);
    EXPECT_EQ(tooltest::ReadFile(dir.File("disk.vmdk")), (std::vector<uint8_t>{1, 2, 3}));
    EXPECT_EQ(tooltest::ListDir(dir.Dir()), (std::vector<std::string>{"disk.vhdx", "disk.vmdk"}));
    EXPECT_EQ(tooltest::Pontor({"stub", "create", "--overwrite", "disk.vhdx"}, dir.Dir()).exitCode,
              0);
    EXPECT_EQ(tooltest::ReadFile(dir.File("disk-flat.vmdk")).size(), 2048u);
    EXPECT_LT(tooltest::ReadFile(dir.File("disk.vmdk")).size(), 2048u);
    EXPECT_EQ(tooltest::ListDir(dir.Dir()),
              (std::vector<std::string>{"disk-flat.vmdk", "disk.vhdx", "disk.vmdk"}));
}

// The whole descriptor of a builder-made image: its identities are the
// image's (page 83 data, data write GUID), its extent the served size.
TEST_F(StubCreate, DescriptorNamesTheStubWithTheImagesIdentity) {
    kit::ScratchDir dir;
    ImageSpec shape = Plain();
    shape.virtualDiskSize = 8 * MiB - 4096;  // served: rounded up to the whole block
    Write(dir.File("disk.vhdx"), shape);
    const tooltest::Run run =
        tooltest::Pontor({"stub", "create", "--adapter", "IDE", "disk.vhdx"}, dir.Dir());
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.ErrLines().size(), 0u);
    const std::vector<uint8_t> text = tooltest::ReadFile(dir.File("disk.vmdk"));
    EXPECT_EQ(std::string(text.begin(), text.end()),
              "# Disk DescriptorFile\n"
              "version=1\n"
              "encoding=\"UTF-8\"\n"
              "CID=66666666\n"
              "parentCID=ffffffff\n"
              "createType=\"monolithicFlat\"\n"
              "\n"
              "# Extent description\n"
              "RW 16384 FLAT \"disk-flat.vmdk\" 0\n"
              "\n"
              "# The Disk Data Base\n"
              "#DDB\n"
              "\n"
              "ddb.virtualHWVersion = \"4\"\n"
              "ddb.adapterType = \"ide\"\n"
              "ddb.geometry.cylinders = \"16\"\n"
              "ddb.geometry.heads = \"16\"\n"
              "ddb.geometry.sectors = \"63\"\n"
              "ddb.uuid.image = \"83838383-8383-8383-8383-838383838383\"\n"
              "ddb.uuid.parent = \"00000000-0000-0000-0000-000000000000\"\n"
              "ddb.uuid.modification = \"00000000-0000-0000-0000-000000000000\"\n"
              "ddb.uuid.parentmodification = \"00000000-0000-0000-0000-000000000000\"\n");
}

struct Chs {
    tool::Adapter adapter;
    uint64_t size;
    uint64_t cylinders;
    uint32_t heads, sectors;
};

// VMware's geometries: IDE's 16 heads of 63 sectors at any size; SCSI's
// BusLogic translation steps at 1 GiB and 2 GiB.
TEST(AdapterGeometry, IsVmwaresForEachAdapter) {
    using tool::Adapter;
    constexpr uint64_t GiB = 1024 * MiB;
    const Chs table[] = {
        {Adapter::Ide, 8 * MiB, 16, 16, 63},
        {Adapter::Ide, 100 * GiB, 208050, 16, 63},
        {Adapter::LsiLogic, 1 * MiB, 1, 64, 32},
        {Adapter::LsiLogic, GiB - MiB, 1023, 64, 32},
        {Adapter::BusLogic, GiB, 512, 128, 32},
        {Adapter::BusLogic, 2 * GiB - MiB, 1023, 128, 32},
        {Adapter::LegacyEsx, 2 * GiB, 261, 255, 63},
        {Adapter::LsiLogic, 100 * GiB, 13054, 255, 63},
    };
    for (const Chs& c : table) {
        const tool::DiskChs chs = tool::AdapterGeometry(c.adapter, c.size / 512);
        EXPECT_EQ(chs.cylinders, c.cylinders) << tool::AdapterName(c.adapter) << " " << c.size;
        EXPECT_EQ(chs.heads, c.heads) << tool::AdapterName(c.adapter) << " " << c.size;
        EXPECT_EQ(chs.sectorsPerTrack, c.sectors) << tool::AdapterName(c.adapter) << " " << c.size;
    }
}

}  // namespace

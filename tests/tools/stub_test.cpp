// pontor stub create: the stub names the image the way the binder resolves
// it, and every refusal leaves the directory as it was.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "tests/tools/tool_fixture.h"

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
    const char* images;  // created beneath the directory
    const char* args;    // after "stub create"
    std::string stub;    // where it must appear
    std::string image;   // what it must name
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
    EXPECT_EQ(std::string(stub.begin(), stub.begin() + 8), std::string("qelvorn\0", 8));
    const fs::path named = dir.File(c.stub).parent_path() / StoredPath(stub);
    EXPECT_TRUE(fs::equivalent(named, dir.File(c.image))) << named;
    EXPECT_EQ(fs::status(dir.File(c.stub)).permissions() & fs::perms::owner_read,
              fs::perms::owner_read);
}

INSTANTIATE_TEST_SUITE_P(
    Stubs, StubCreated,
    ::testing::ValuesIn(std::vector<Made>{
        {"DefaultName", "disk.vhdx", "disk.vhdx", "disk.vmdk", "disk.vhdx"},
        {"NoExtension", "disk", "disk", "disk.vmdk", "disk"},
        {"ChosenName", "disk.vhdx", "disk.vhdx other.VMDK", "other.VMDK", "disk.vhdx"},
        {"ImageBelowTheStub", "images/2024/disk.vhdx", "images/2024/disk.vhdx disk.vmdk",
         "disk.vmdk", "images/2024/disk.vhdx"},
        {"StubIntoADirectory", "sub/disk.vhdx", "sub/disk.vhdx sub", "sub/disk.vmdk",
         "sub/disk.vhdx"},
        {"DottedPaths", "a/disk.vhdx", "./a/../a/disk.vhdx ./x/../a.vmdk", "a.vmdk", "a/disk.vhdx"},
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
         "no stub written (--force writes it anyway); 'pontor replay IMAGE OUT' writes"},
        {"ExistingStub",
         [](const fs::path& d) {
             Write(d / "disk.vhdx", Plain());
             vhdxtest::WriteFile(d / "disk.vmdk", {1, 2, 3});
         },
         "disk.vhdx", 1, "disk.vmdk: already exists (--overwrite replaces it)"},
        {"NotAStubName", [](const fs::path& d) { Write(d / "disk.vhdx", Plain()); },
         "disk.vhdx disk.raw", 2, "disk.raw: a stub's name must end in .vmdk"},
        {"ImageOutsideTheStubsDirectory",
         [](const fs::path& d) { Write(d / "disk.vhdx", Plain()); }, "disk.vhdx sub/disk.vmdk", 2,
         "must lie in the stub's directory"},
        {"StubIsTheImage", [](const fs::path& d) { Write(d / "disk.vmdk", Plain()); }, "disk.vmdk",
         2, "would replace the image itself"},
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
    EXPECT_EQ(tooltest::ReadFile(dir.File("disk.vmdk")).size(), 2048u);
}

TEST_F(StubCreate, StubCreateOverwriteReplacesOnlyWhenAsked) {
    kit::ScratchDir dir;
    Write(dir.File("disk.vhdx"), Plain());
    vhdxtest::WriteFile(dir.File("disk.vmdk"), {1, 2, 3});
    EXPECT_EQ(tooltest::Pontor({"stub", "create", "disk.vhdx"}, dir.Dir()).exitCode, 1);
    EXPECT_EQ(tooltest::ReadFile(dir.File("disk.vmdk")), (std::vector<uint8_t>{1, 2, 3}));
    EXPECT_EQ(tooltest::Pontor({"stub", "create", "--overwrite", "disk.vhdx"}, dir.Dir()).exitCode,
              0);
    EXPECT_EQ(tooltest::ReadFile(dir.File("disk.vmdk")).size(), 2048u);
    EXPECT_EQ(tooltest::ListDir(dir.Dir()), (std::vector<std::string>{"disk.vhdx", "disk.vmdk"}));
}

}  // namespace

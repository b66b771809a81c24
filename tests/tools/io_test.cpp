// pontor read, cat, convert and header: the bytes come from the driver
// through the host I/O manager and are exactly what a correct reader serves;
// failures leave no output behind.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "tests/tools/tool_fixture.h"

namespace {

using kit::MiB;
using vhdxtest::ImageSpec;
using vhdxtest::State;

ImageSpec Parent() {
    ImageSpec shape;
    shape.virtualDiskSize = 12 * MiB + 4096;  // served: 13 MiB
    shape.seed = 4;
    for (uint64_t b = 0; b < 13; b++) {
        if (b != 9) {
            shape.blocks[b] = State::FullyPresent;
        }
    }
    return shape;
}

ImageSpec Child() {
    ImageSpec shape = Parent();
    shape.seed = 5;
    shape.hasParent = true;
    shape.parentLocator = tooltest::LocatorFor(u"parent.vhdx");
    shape.blocks = {{1, State::FullyPresent},
                    {2, State::PartiallyPresent},
                    {3, State::Zero},
                    {12, State::FullyPresent}};
    // Block 2 is sectors 4096..6143 of chunk 0: three of every seven here.
    shape.sectorBitmaps[0] = std::vector<uint8_t>(1 << 20, 0);
    for (uint64_t sector = 4096; sector < 6144; sector++) {
        if (sector % 7 < 3) {
            shape.sectorBitmaps[0][sector / 8] |= (uint8_t)(1 << (sector % 8));
        }
    }
    return shape;
}

constexpr uint64_t kServed = 13 * MiB;

class ServedBytes : public fixture::DriverTest {
protected:
    void SetUp() override {
        fixture::DriverTest::SetUp();
        vhdxtest::WriteFile(dir_.File("child.vhdx"), vhdxtest::Build(Child()).bytes);
        vhdxtest::WriteFile(dir_.File("parent.vhdx"), vhdxtest::Build(Parent()).bytes);
        ASSERT_EQ(
            tooltest::Pontor({"stub", "create", "--stub-only", "child.vhdx"}, dir_.Dir()).exitCode,
            0);
    }
    std::vector<uint8_t> Expected(uint64_t offset, uint64_t length) {
        const ImageSpec child = Child(), parent = Parent();
        return vhdxtest::ExpectedBytes(child, &parent, offset, length);
    }
    kit::ScratchDir dir_;
};

TEST_F(ServedBytes, CatAndConvertServeTheWholeDisk) {
    const std::vector<uint8_t> expected = Expected(0, kServed);
    const tooltest::Run cat = tooltest::Pontor({"cat", "child.vmdk"}, dir_.Dir());
    ASSERT_EQ(cat.exitCode, 0) << cat.err;
    EXPECT_TRUE(std::vector<uint8_t>(cat.out.begin(), cat.out.end()) == expected);

    ASSERT_EQ(tooltest::Pontor({"cat", "child.vmdk", "-o", "cat.raw"}, dir_.Dir()).exitCode, 0);
    EXPECT_TRUE(tooltest::ReadFile(dir_.File("cat.raw")) == expected);

    const tooltest::Run convert =
        tooltest::Pontor({"convert", "child.vmdk", "disk.raw"}, dir_.Dir());
    ASSERT_EQ(convert.exitCode, 0) << convert.err;
    EXPECT_EQ(convert.err, "") << "no progress bar off a terminal";
    EXPECT_TRUE(tooltest::ReadFile(dir_.File("disk.raw")) == expected);
    // Block 3 (zero) and block 9 (absent in both) are holes.
    struct stat st;
    ASSERT_EQ(::stat(dir_.File("disk.raw").c_str(), &st), 0);
    EXPECT_LE((uint64_t)st.st_blocks * 512, kServed - 2 * MiB);
}

struct Probe {
    uint64_t offset, length;
    std::string status;
    uint64_t information;
};

TEST_F(ServedBytes, ReadSendsOneRequestAndReportsItsStatus) {
    const Probe probes[] = {
        // The blocks a request meets are the driver tests' concern; here, what the tool reports.
        {2 * MiB + 1000, 3 * MiB, "0x00000000", 3 * MiB},  // partial, zero, parent blocks
        {kServed - 100, 1000, "0x00000000", 100},          // runs past the served size
        {kServed, 1, "0xC0000011", 0},                     // at it: end of file
        {kServed + MiB, 0, "0xC0000011", 0},
        {5 * MiB, 0, "0x00000000", 0},
    };
    for (const Probe& p : probes) {
        const tooltest::Run run =
            tooltest::Pontor({"read", "child.vmdk", "--offset", std::to_string(p.offset),
                              "--length", std::to_string(p.length), "--json"},
                             dir_.Dir());
        SCOPED_TRACE(std::to_string(p.offset) + "+" + std::to_string(p.length));
        EXPECT_EQ(run.exitCode, p.status == "0x00000000" ? 0 : 1);
        ASSERT_EQ(run.ErrLines().size(), 1u) << run.err;
        const std::string name = p.status == "0x00000000" ? "STATUS_SUCCESS" : "STATUS_END_OF_FILE";
        EXPECT_EQ(run.ErrLines()[0], "{\"status\":\"" + p.status + "\",\"name\":\"" + name +
                                         "\",\"information\":" + std::to_string(p.information) +
                                         "}");
        EXPECT_TRUE(std::vector<uint8_t>(run.out.begin(), run.out.end()) ==
                    Expected(p.offset, p.information));
    }
}

TEST_F(ServedBytes, HeaderIsTheStubsFirstHalfAndZeros) {
    const tooltest::Run text = tooltest::Pontor({"header", "child.vmdk"}, dir_.Dir());
    EXPECT_EQ(text.exitCode, 0);
    EXPECT_EQ(text.out,
              "signature:            qelvorn\nimage path:           child.vhdx\nheader:            "
              "   4096 bytes\n");
    const tooltest::Run raw = tooltest::Pontor({"header", "--raw", "child.vmdk"}, dir_.Dir());
    ASSERT_EQ(raw.out.size(), 4096u);
    std::vector<uint8_t> expected = tooltest::ReadFile(dir_.File("child.vmdk"));
    expected.resize(4096, 0);
    EXPECT_TRUE(std::vector<uint8_t>(raw.out.begin(), raw.out.end()) == expected);
}

struct Failing {
    const char* name;
    std::function<void(const std::filesystem::path&)> setup;
    const char* args;
    int exitCode;
    std::string error;  // in the one line on stderr
};

std::ostream& operator<<(std::ostream& out, const Failing& c) { return out << c.name; }

void BrokenChild(const std::filesystem::path& dir) {
    ImageSpec child = Child();
    child.sectorBitmaps.clear();  // block 2's sectors cannot be resolved
    vhdxtest::WriteFile(dir / "child.vhdx", vhdxtest::Build(child).bytes);
}

class IoRefuses : public ServedBytes, public ::testing::WithParamInterface<Failing> {};

TEST_P(IoRefuses, WithOneLineAndNoOutputFile) {
    const Failing& c = GetParam();
    if (c.setup) {
        c.setup(dir_.Dir());
    }
    const std::vector<std::string> before = tooltest::ListDir(dir_.Dir());
    const tooltest::Run run = tooltest::Pontor(tooltest::Words(c.args), dir_.Dir());
    EXPECT_EQ(run.exitCode, c.exitCode);
    EXPECT_EQ(run.out, "");
    ASSERT_EQ(run.ErrLines().size(), 1u) << run.err;
    EXPECT_NE(run.ErrLines()[0].find(c.error), std::string::npos) << run.ErrLines()[0];
    EXPECT_EQ(tooltest::ListDir(dir_.Dir()), before);
}

INSTANTIATE_TEST_SUITE_P(
    Commands, IoRefuses,
    ::testing::ValuesIn(std::vector<Failing>{
        {"CatUnboundStub",
         [](const std::filesystem::path& d) { std::filesystem::remove(d / "parent.vhdx"); },
         "cat child.vmdk -o out.raw", 1,
         "child.vmdk: STATUS_DEVICE_NOT_READY (0xC00000A3): the stub is not bound to an image: "
         "PontorParseHeader: PontorOpenFile for Parent VHDX failed with status 0xc0000034"},
        {"CatNotAStub", nullptr, "cat child.vhdx", 1,
         "child.vhdx: STATUS_NOT_FOUND (0xC0000225): not a stub"},
        {"ConvertFailsMidway", BrokenChild, "convert child.vmdk out.raw", 1,
         "STATUS_UNRECOGNIZED_MEDIA (0xC0000014): read of 2097152 bytes at offset 2097152"},
        {"ConvertOntoTheImage", nullptr, "convert child.vmdk child.vhdx", 2,
         "child.vhdx: is the stub or its image"},
        {"ConvertIntoADirectory",
         [](const std::filesystem::path& d) { std::filesystem::create_directory(d / "dir"); },
         "convert child.vmdk dir", 1, "dir: Is a directory"},
        {"HeaderOfAFileThatIsNoStub", nullptr, "header parent.vhdx", 1,
         "STATUS_NOT_FOUND (0xC0000225): not a stub"},
        {"ReadWithoutLength", nullptr, "read child.vmdk --offset 0", 2,
         "pontor: read: --offset and --length are both needed"},
        {"ReadTooLong", nullptr, "read child.vmdk --offset 0 --length 4G -o x", 2,
         "one request moves at most"},
        {"ReadFails", BrokenChild, "read child.vmdk --offset 2M --length 4096 -o x", 1,
         "STATUS_UNRECOGNIZED_MEDIA (0xC0000014): read of 4096 bytes at offset 2097152"},
        {"ReadOfNothing", nullptr, "read none.vmdk --offset 0 --length 1", 1,
         "none.vmdk: No such file or directory"},
    }),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace

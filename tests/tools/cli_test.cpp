// The pontor command line: help for every command, one-line errors with
// trustworthy exit codes for bad input, and the output of info, check and map.
#include <gtest/gtest.h>

#include "tests/tools/tool_fixture.h"
#include "tools/commands.h"

namespace {

using kit::MiB;
using vhdxtest::ImageSpec;
using vhdxtest::State;

TEST(PontorHelp, EveryCommandHasHelp) {
    for (const tool::Command& command : tool::Commands()) {
        std::vector<std::string> args;
        for (size_t at = 0, next; at != std::string::npos;
             at = next == std::string::npos ? next : next + 1) {
            next = std::string(command.shape.name).find(' ', at);
            args.push_back(std::string(command.shape.name).substr(at, next - at));
        }
        args.push_back("--help");
        const tooltest::Run run = tooltest::Pontor(args);
        EXPECT_EQ(run.exitCode, 0) << command.shape.name;
        EXPECT_EQ(run.out.rfind(std::string("usage: pontor ") + command.shape.name, 0), 0u)
            << run.out;
        EXPECT_NE(run.out.find("--verbose"), std::string::npos);
        EXPECT_EQ(run.err, "");
    }
    const tooltest::Run overview = tooltest::Pontor({"--help"});
    EXPECT_EQ(overview.exitCode, 0);
    for (const tool::Command& command : tool::Commands()) {
        EXPECT_NE(overview.out.find(std::string("  ") + command.shape.name + " "),
                  std::string::npos)
            << command.shape.name;
    }
}

struct BadInput {
    const char* name;
    const char* args;
    int exitCode;
    std::string error;  // the whole line on stderr, after "pontor: "
};

std::ostream& operator<<(std::ostream& out, const BadInput& c) { return out << c.name; }

class PontorRefuses : public fixture::DriverTest, public ::testing::WithParamInterface<BadInput> {};

TEST_P(PontorRefuses, WithOneLineAndItsExitCode) {
    const BadInput& c = GetParam();
    kit::ScratchDir dir;
    vhdxtest::WriteFile(dir.File("garbage.vhdx"), std::vector<uint8_t>(3 << 20, 0xA5));
    std::filesystem::create_directory(dir.File("folder.vhdx"));

    const tooltest::Run run = tooltest::Pontor(tooltest::Words(c.args), dir.Dir());
    EXPECT_EQ(run.exitCode, c.exitCode) << run.err;
    EXPECT_EQ(run.out, "");
    ASSERT_EQ(run.ErrLines().size(), 1u) << run.err;
    EXPECT_EQ(run.ErrLines()[0], "pontor: " + c.error);
}

INSTANTIATE_TEST_SUITE_P(
    Commands, PontorRefuses,
    ::testing::ValuesIn(std::vector<BadInput>{
        {"UnknownCommand", "frobnicate", 2, "unknown command 'frobnicate' (see 'pontor --help')"},
        {"GroupWithoutCommand", "stub", 2,
         "stub: missing command: create (see 'pontor stub --help')"},
        {"MissingImage", "info", 2, "info: missing IMAGE (see 'pontor info --help')"},
        {"ExtraArgument", "map a b", 2, "map: unexpected argument 'b' (see 'pontor map --help')"},
        {"UnknownLongOption", "check --jsn x", 2, "check: unknown option --jsn"},
        {"UnknownShortOption", "info -q x", 2, "info: unknown option -q"},
        {"FlagWithValue", "info --json=yes x", 2, "info: option --json takes no value"},
        {"TraceWithoutMask", "info x --trace", 2, "info: option --trace needs MASK"},
        {"TraceNotANumber", "info --trace lots x", 2, "info: --trace: not a byte count: 'lots'"},
        {"TraceTooWide", "info --trace 0x100000000 x", 2,
         "info: --trace: the mask is 32 bits: '0x100000000'"},
        // Usage is refused before the image is read.
        {"ReplayUnconfirmed", "replay garbage.vhdx --in-place", 2,
         "replay: --in-place rewrites garbage.vhdx; add --yes to confirm"},
        {"ReplayOntoItself", "replay garbage.vhdx ./garbage.vhdx", 2,
         "./garbage.vhdx: is IMAGE itself; choose another output, or --in-place --yes"},
        {"ReplayGarbage", "replay garbage.vhdx out.vhdx", 1,
         "garbage.vhdx: cannot replay: not a VHDX file (no \"vhdxfile\" signature)"},
        {"InfoNoSuchFile", "info none.vhdx", 1, "none.vhdx: No such file or directory"},
        {"InfoDirectory", "info folder.vhdx", 1, "folder.vhdx: Is a directory"},
        {"InfoGarbage", "info garbage.vhdx", 1,
         "garbage.vhdx: STATUS_UNKNOWN_REVISION (0xC0000058): Invalid VHDX_FILE_IDENTIFIER "
         "Signature"},
        {"MapGarbage", "map --json garbage.vhdx", 1,
         "garbage.vhdx: STATUS_UNKNOWN_REVISION (0xC0000058): Invalid VHDX_FILE_IDENTIFIER "
         "Signature"},
        {"CheckNoSuchFile", "check none.vhdx", 3, "none.vhdx: No such file or directory"},
    }),
    [](const auto& info) { return std::string(info.param.name); });

class PontorOutput : public fixture::DriverTest {
protected:
    void SetUp() override {
        fixture::DriverTest::SetUp();
        ImageSpec shape;
        shape.virtualDiskSize = 20 * MiB;
        shape.blocks = {{0, State::FullyPresent}, {1, State::FullyPresent}, {4, State::Zero}};
        vhdxtest::WriteFile(dir_.File("disk.vhdx"), vhdxtest::Build(shape).bytes);
    }
    kit::ScratchDir dir_;
};

// info shows geometry, headers and block counts, map the merged extents; both
// and check print JSON when asked.
TEST_F(PontorOutput, InfoAndMapLinesAndJson) {
    struct Case {
        const char* command;
        std::vector<std::string> lines;
    };
    for (const Case& c : {
             Case{"info",
                  {"served size:          20971520 bytes\n",
                   "header copy 1:        sequence 2 (current)\n",
                   "header copy 2:        sequence 1\n", "chunk ratio:          4096 blocks\n",
                   "block states:         17 not present, 1 zero, 2 fully present\n",
                   "sector bitmaps:       0 present\n",
                   "region:               BAT at 0x300000, 1048576 bytes, required\n"}},
             Case{"map",
                  {"0x0                0x200000           fully present      image      0x400000\n",
                   "0x400000           0x100000           zero               zeros      -\n"}},
             Case{"check", {}},
         }) {
        const tooltest::Run run = tooltest::Pontor({c.command, "disk.vhdx"}, dir_.Dir());
        ASSERT_EQ(run.exitCode, 0) << run.err;
        for (const std::string& line : c.lines) {
            EXPECT_NE(run.out.find(line), std::string::npos) << line << run.out;
        }
        const tooltest::Run json = tooltest::Pontor({c.command, "--json", "disk.vhdx"}, dir_.Dir());
        EXPECT_EQ(json.exitCode, 0) << c.command << json.err;
        EXPECT_TRUE(tooltest::IsJson(json.out)) << c.command << ": " << json.out;
    }
}

TEST_F(PontorOutput, VerboseShowsTheDriversDebugOutput) {
    const tooltest::Run quiet = tooltest::Pontor({"info", "disk.vhdx"}, dir_.Dir());
    EXPECT_EQ(quiet.err, "");
    const tooltest::Run verbose = tooltest::Pontor({"info", "-v", "disk.vhdx"}, dir_.Dir());
    EXPECT_EQ(verbose.out, quiet.out);
    EXPECT_NE(verbose.err.find("[PONTOR] VhdxParseMetadata: BlockSize = 1048576"),
              std::string::npos)
        << verbose.err;
}

TEST_F(PontorOutput, CheckExitStatusFollowsTheFindings) {
    const tooltest::Run clean = tooltest::Pontor({"check", "disk.vhdx"}, dir_.Dir());
    EXPECT_EQ(clean.exitCode, 0);
    EXPECT_EQ(clean.out, "disk.vhdx: no problems found\n");
    vhdxtest::Image damaged = vhdxtest::Build(ImageSpec{});
    tooltest::patch::Damage(damaged, tooltest::patch::kRegionTable[1]);
    vhdxtest::WriteFile(dir_.File("disk.vhdx"), damaged.bytes);
    const tooltest::Run dirty = tooltest::Pontor({"check", "disk.vhdx"}, dir_.Dir());
    EXPECT_EQ(dirty.exitCode, 1);
    EXPECT_EQ(
        dirty.out,
        "disk.vhdx: warning: region table copy 2 is damaged (bad checksum); readers use copy 1 "
        "[region-table-damaged]\ndisk.vhdx: 0 errors, 1 warning\n");
}

TEST_F(PontorOutput, OutputThatCannotBeWrittenFails) {
    if (!std::filesystem::exists("/dev/full")) {
        GTEST_SKIP() << "no /dev/full";
    }
    const int status = tooltest::Shell(std::string(PONTOR_BINARY) + " map " +
                                       dir_.File("disk.vhdx").string() + " >/dev/full 2>/dev/null");
    EXPECT_EQ(status, 1);
}

}  // namespace

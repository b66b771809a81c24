// pontor flatten on chains the builder writes, one to four images deep,
// against oracles that share no code with the tool: the builder's own
// resolution of the chain, the driver serving the output through a stub, and
// for a stand-alone output qemu-img check and convert and libvhdi's
// vhdimount. (libvhdi 20210425 serves a differencing chain as its base
// alone, even under a child that holds every block, so it reads no chain.)
#include <gtest/gtest.h>

#include <algorithm>

#include "tests/tools/tool_fixture.h"
#include "tools/cli.h"
#include "tools/writer/vhdx_writer.h"

namespace {

using kit::MiB;
using tooltest::Pontor;
using vhdxtest::ImageSpec;
using vhdxtest::State;

// What is wrong with the chain's deepest link, between image 1 and the base.
enum class Fault { None, Linkage, Size, SectorSize, Missing, Loop };

struct FlattenCase {
    const char* name;
    int depth;  // images in the chain
    bool keepParent;
    const char* blockSize;  // --block-size, or null
    Fault fault;
    const char* refusal;  // what the one-line error names; null: flatten succeeds
};

std::string Name(int level) { return "l" + std::to_string(level) + ".vhdx"; }

// Image `level` of a chain (0 the base) of 16 MiB: blocks in every state,
// shifted by level so that each block meets others above and below and
// some partially present blocks reach down to the base, odd levels with
// 2 MiB blocks, and sector runs that differ by level.
ImageSpec Level(int level, int depth, Fault fault) {
    static const State kStates[] = {
        State::Zero,      State::Unmapped,         State::FullyPresent, State::PartiallyPresent,
        State::Undefined, State::PartiallyPresent, State::NotPresent,   State::NotPresent};
    ImageSpec s;
    s.virtualDiskSize = (fault == Fault::Size && level == 0 ? 32 : 16) * MiB;
    s.seed = 100 + level;
    s.blockSize = (uint32_t)((level % 2 ? 2 : 1) * MiB);
    s.hasParent = level > 0 || (fault == Fault::Loop);
    const int parent = level > 0 ? level - 1 : depth - 1;
    if (s.hasParent) {
        s.parentLocator = tooltest::LocatorFor(host::Utf16(Name(parent)));
    }
    if (level == 0 && fault == Fault::SectorSize) {
        s.logicalSectorSize = 4096;
    }
    for (uint64_t b = 0; b < s.DataBlocks(); b++) {
        const State state = kStates[(b + 4 * level) % 8];
        s.blocks[b] = level == 0 && state == State::PartiallyPresent ? State::FullyPresent : state;
    }
    std::vector<uint8_t> bits(s.virtualDiskSize / s.logicalSectorSize / 8);
    for (size_t k = 0; k < bits.size(); k++) {
        bits[k] = (uint8_t)((0x0F << level % 4) ^ (k % 3 ? 0xFF : 0));
    }
    s.sectorBitmaps[0] = bits;
    return s;
}

// The disk libvhdi presents for image.
std::vector<uint8_t> Vhdi(const std::filesystem::path& dir, const std::string& image) {
    const std::filesystem::path mount = dir / ("mnt-" + image);
    std::filesystem::create_directory(mount);
    EXPECT_EQ(tooltest::Shell("vhdimount " + (dir / image).string() + " " + mount.string() +
                              " >/dev/null"),
              0);
    std::vector<uint8_t> bytes = kit::ReadFile(mount / "vhdi1");
    tooltest::Shell("fusermount -u " + mount.string());
    std::filesystem::remove(mount);
    return bytes;
}

class Flatten : public ::testing::TestWithParam<FlattenCase> {};

TEST_P(Flatten, WritesTheBytesTheChainPresents) {
    const FlattenCase& c = GetParam();
    kit::ScratchDir dir;
    std::vector<ImageSpec> chain;  // the child first
    std::vector<std::string> names;
    std::vector<std::vector<uint8_t>> inputs;
    for (int level = c.depth - 1; level >= 0; level--) {
        chain.push_back(Level(level, c.depth, c.fault));
        vhdxtest::Image image = vhdxtest::Build(chain.back());
        if (level == 0 && c.fault == Fault::Linkage) {
            tooltest::patch::SetDataWriteGuid(
                image, vhdxtest::Guid::Parse("{12345678-0000-0000-0000-000000000000}"));
        }
        if (level > 0 || c.fault != Fault::Missing) {
            vhdxtest::WriteFile(dir.File(Name(level)), image.bytes);
            names.insert(names.begin(), Name(level));
            inputs.push_back(image.bytes);
        }
    }
    const std::string top = Name(c.depth - 1);
    std::vector<std::string> args = {"flatten", top, "out.vhdx", "--json"};
    if (c.keepParent) {
        args.push_back("--keep-parent");
    }
    if (c.blockSize) {
        args.insert(args.end(), {"--block-size", c.blockSize});
    }
    const tooltest::Run run = Pontor(args, dir.Dir());
    for (size_t i = 0; i < inputs.size(); i++) {
        EXPECT_TRUE(kit::ReadFile(dir.File(Name(c.depth - 1 - (int)i))) == inputs[i]);
    }
    if (c.refusal) {
        EXPECT_EQ(run.exitCode, 1);
        EXPECT_EQ(run.ErrLines().size(), 1u) << run.err;
        EXPECT_NE(run.err.find(c.refusal), std::string::npos) << run.err;
        EXPECT_EQ(tooltest::ListDir(dir.Dir()), names);  // no output, no temporary file
        return;
    }
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_TRUE(tooltest::IsJson(run.out)) << run.out;
    names.push_back("out.vhdx");
    std::sort(names.begin(), names.end());
    EXPECT_EQ(tooltest::ListDir(dir.Dir()), names);

    const std::vector<uint8_t> expected = vhdxtest::ExpectedChainBytes(chain, 0, 16 * MiB);
    // The child's geometry but for --block-size, read back from the file.
    const uint64_t block = c.blockSize ? tool::ParseSize("", c.blockSize) : chain[0].blockSize;
    const std::string info = Pontor({"info", "--json", "out.vhdx"}, dir.Dir()).out;
    EXPECT_NE(info.find("\"block_size\":" + std::to_string(block) +
                        ",\"logical_sector_size\":512,\"physical_sector_size\":4096"),
              std::string::npos)
        << info;
    if (!c.keepParent) {  // blocks that read as zeros are left out
        uint64_t zeros = 0;
        for (uint64_t at = 0; at < expected.size(); at += block) {
            zeros += std::all_of(expected.begin() + (long)at, expected.begin() + (long)(at + block),
                                 [](uint8_t v) { return v == 0; });
        }
        EXPECT_NE(run.out.find("\"not_present\":" + std::to_string(zeros)), std::string::npos)
            << run.out;
    } else {  // some blocks stay the parent's, wholly or in part
        EXPECT_EQ(run.out.find("\"partially_present\":0,"), std::string::npos) << run.out;
        EXPECT_EQ(run.out.find("\"not_present\":0}"), std::string::npos) << run.out;
    }
    EXPECT_EQ(Pontor({"check", "out.vhdx"}, dir.Dir()).exitCode, 0);
    ASSERT_EQ(Pontor({"stub", "create", "out.vhdx"}, dir.Dir()).exitCode, 0);
    ASSERT_EQ(Pontor({"cat", "out-flat.vmdk", "-o", "cat.raw"}, dir.Dir()).exitCode, 0);
    EXPECT_TRUE(kit::ReadFile(dir.File("cat.raw")) == expected);
    if (c.depth > 2) {  // the driver refuses the chain itself, and names the way forward
        const tooltest::Run stub = Pontor({"stub", "create", top, "top.vmdk"}, dir.Dir());
        EXPECT_NE(stub.err.find("pontor flatten"), std::string::npos) << stub.err;
    }
    if (!c.keepParent && tooltest::Have("vhdimount")) {
        EXPECT_TRUE(Vhdi(dir.Dir(), "out.vhdx") == expected);
    }
    if (!c.keepParent && tooltest::Have("qemu-img")) {  // qemu reads no differencing VHDX
        EXPECT_EQ(tooltest::Shell("qemu-img check -q " + dir.File("out.vhdx").string()), 0);
        ASSERT_EQ(
            tooltest::Shell("qemu-img convert -f vhdx -O raw " + dir.File("out.vhdx").string() +
                            " " + dir.File("qemu.raw").string()),
            0);
        EXPECT_TRUE(kit::ReadFile(dir.File("qemu.raw")) == expected);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Chains, Flatten,
    ::testing::ValuesIn(std::vector<FlattenCase>{
        {"Depth1", 1, false, nullptr, Fault::None, nullptr},
        {"Depth2", 2, false, nullptr, Fault::None, nullptr},
        {"Depth3", 3, false, nullptr, Fault::None, nullptr},
        {"Depth4Into4MiBBlocks", 4, false, "4M", Fault::None, nullptr},
        {"Depth2KeepParent", 2, true, nullptr, Fault::None, nullptr},
        {"Depth4KeepParentInto1MiBBlocks", 4, true, "1M", Fault::None, nullptr},
        {"BrokenLinkage", 3, false, nullptr, Fault::Linkage, "parent-linkage-mismatch"},
        {"SizeMismatch", 3, false, nullptr, Fault::Size, "parent-size-mismatch"},
        {"SectorSizeMismatch", 3, false, nullptr, Fault::SectorSize, "parent-sector-size-mismatch"},
        {"MissingBase", 3, false, nullptr, Fault::Missing, "parent-missing"},
        {"Loop", 2, false, nullptr, Fault::Loop, "comes back"},
    }),
    [](const auto& info) { return std::string(info.param.name); });

// The writer keeps a window of BAT entries: entries set after it has moved
// on (a chunk's sector bitmap, written when the next partially present block
// comes) and entries on both sides of its edge must all reach the file.
TEST(VhdxWriterBat, EntriesOnBothSidesOfTheWindowReachTheFile) {
    kit::ScratchDir dir;
    const tool::WriterGeometry geometry{128ULL << 30, 1 << 20, 512, 4096};
    const uint64_t blocks[] = {0, 65520, 65521, 100000, 100001};  // entries 65535 and 65536
    {
        const tool::ParentLink parent{
            *tool::Guid::Parse("{12345678-0000-0000-0000-000000000000}"), u".\\base.vhdx", {}, {}};
        tool::VhdxWriter writer(dir.File("out.vhdx"), geometry, parent);
        const std::vector<uint8_t> data(1 << 20, 0x5A);
        const std::vector<bool> own(2048, true);
        writer.PutPartial(blocks[0], data.data(), own);
        writer.PutPresent(blocks[1], data.data());
        writer.PutZero(blocks[2]);
        writer.PutPresent(blocks[3], data.data());
        writer.PutPartial(blocks[4], data.data(), own);  // flushes chunk 0's bitmap
        writer.Commit();
    }
    std::string error;
    const auto file = tool::HostFile::Open(dir.File("out.vhdx"), &error);
    ASSERT_TRUE(file) << error;
    const tool::Layout layout = tool::ReadLayout(*file);
    ASSERT_TRUE(layout.geometry);
    tool::BatReader bat(*file, *layout.geometry);
    const uint32_t expected[] = {PAYLOAD_BLOCK_PARTIALLY_PRESENT, PAYLOAD_BLOCK_FULLY_PRESENT,
                                 PAYLOAD_BLOCK_ZERO, PAYLOAD_BLOCK_FULLY_PRESENT,
                                 PAYLOAD_BLOCK_PARTIALLY_PRESENT};
    for (size_t i = 0; i < std::size(blocks); i++) {
        const auto entry = bat.Entry(VhdxPayloadEntryIndex(blocks[i], 4096));
        ASSERT_TRUE(entry) << blocks[i];
        EXPECT_EQ(VhdxBatEntryState(*entry), expected[i]) << blocks[i];
    }
    for (const uint64_t chunk : {0, 24}) {
        const auto entry = bat.Entry(VhdxSectorBitmapEntryIndex(chunk * 4096, 4096));
        ASSERT_TRUE(entry) << chunk;
        EXPECT_EQ(VhdxBatEntryState(*entry), SB_BLOCK_PRESENT) << chunk;
    }
    EXPECT_EQ(bat.Entry(VhdxPayloadEntryIndex(1, 4096)), 0u);
    EXPECT_EQ(bat.Entry(VhdxPayloadEntryIndex(131071, 4096)), 0u);
}

}  // namespace

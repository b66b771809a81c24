// pontor map: the extents tile the served disk, are merged as far as they
// can be, and name bytes that, read from where they point, are exactly what
// a correct reader serves.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>

#include "tests/tools/tool_fixture.h"
#include "tools/reader/extent_map.h"

namespace {

using kit::MiB;
using kit::ReadAt;
using vhdxtest::ImageSpec;
using vhdxtest::State;

// The bytes the map says the driver serves for the whole disk; every extent
// checked for tiling and merging on the way.
std::vector<uint8_t> Reassemble(const tool::Chain& chain, std::vector<tool::Extent>* extents) {
    std::vector<uint8_t> disk;
    tool::MapChain(chain, [&](const tool::Extent& e) {
        EXPECT_EQ(e.start, disk.size()) << "extents must tile the disk in order";
        EXPECT_GT(e.length, 0u);
        if (!extents->empty()) {
            EXPECT_FALSE(extents->back().Continues(e)) << "neighbours that agree must be merged";
        }
        extents->push_back(e);
        std::vector<uint8_t> bytes(e.length, 0);
        if (e.layer == tool::Layer::Image) {
            bytes = ReadAt(chain.child->path, *e.fileOffset, e.length);
        } else if (e.layer == tool::Layer::Parent) {
            bytes = ReadAt(chain.parent->path, *e.fileOffset, e.length);
        }
        EXPECT_EQ(bytes.size(), e.length);
        disk.insert(disk.end(), bytes.begin(), bytes.end());
    });
    return disk;
}

struct Case {
    const char* name;
    ImageSpec child;
    std::optional<ImageSpec> parent;
    size_t extents;  // how many the merged map has
};

std::ostream& operator<<(std::ostream& out, const Case& c) { return out << c.name; }

ImageSpec Shape(uint64_t size, uint32_t blockSize, uint32_t sector,
                std::map<uint64_t, State> blocks) {
    ImageSpec shape;
    shape.virtualDiskSize = size;
    shape.blockSize = blockSize;
    shape.logicalSectorSize = sector;
    shape.blocks = std::move(blocks);
    return shape;
}

ImageSpec Differencing(ImageSpec shape, std::map<uint64_t, std::vector<uint8_t>> bitmaps) {
    shape.hasParent = true;
    shape.parentLocator = tooltest::LocatorFor(u"parent.vhdx");
    shape.sectorBitmaps = std::move(bitmaps);
    shape.seed = 2;
    return shape;
}

ImageSpec FullParent(uint64_t size, uint32_t sector) {
    ImageSpec shape = Shape(size, MiB, sector, {});
    for (uint64_t b = 0; b < size / MiB; b++) {
        shape.blocks[b] = b == 6 ? State::NotPresent : State::FullyPresent;
    }
    shape.seed = 9;
    return shape;
}

// Sector bits from byte `at` of a bitmap of `size` bytes: 3 sectors here, 9
// in the parent, 12 here, 1576 in the parent, 1 here, 6 in the parent, 1
// here, and the rest of the block in the parent: 8 runs.
std::vector<uint8_t> Bits(size_t at, size_t size) {
    std::vector<uint8_t> bits(size, 0);
    bits[at] = 0x07;
    bits[at + 1] = 0xF0;
    bits[at + 2] = 0xFF;
    bits[at + 200] = 0x81;
    return bits;
}

class MapTest : public fixture::DriverTest, public ::testing::WithParamInterface<Case> {};

TEST_P(MapTest, ExtentsReassembleTheServedDisk) {
    const Case& c = GetParam();
    kit::ScratchDir volume;
    vhdxtest::WriteFile(volume.File("disk.vhdx"), vhdxtest::Build(c.child).bytes);
    if (c.parent) {
        vhdxtest::WriteFile(volume.File("parent.vhdx"), vhdxtest::Build(*c.parent).bytes);
    }
    std::vector<tool::Extent> extents;
    std::vector<uint8_t> disk;
    uint64_t dataSize;
    {
        const tool::Chain chain = tool::InspectChain(volume.Dir(), "disk.vhdx", "disk.vhdx", false);
        ASSERT_FALSE(tool::BindingFailure(chain));
        dataSize = chain.child->geometry()->dataSize;
        disk = Reassemble(chain, &extents);
    }
    ASSERT_EQ(disk.size(), dataSize);
    EXPECT_TRUE(disk ==
                vhdxtest::ExpectedBytes(c.child, c.parent ? &*c.parent : nullptr, 0, dataSize));
    EXPECT_EQ(extents.size(), c.extents);
    for (const tool::Extent& e : extents) {
        EXPECT_NE(e.layer, tool::Layer::Unreadable);
    }
}

const Case kCases[] = {
    // zeros (0: state 0, 1: unmapped), image 2-3 (adjacent in the file), zeros 4, image 5
    // (state 4), zeros 6 (state 0), zeros 7 (undefined).
    {"EveryState",
     Shape(8 * MiB, MiB, 512,
           {{1, State::Unmapped},
            {2, State::FullyPresent},
            {3, State::FullyPresent},
            {4, State::Zero},
            {5, State::Reserved4},
            {7, State::Undefined}}),
     std::nullopt, 7},
    {"EmptyDisk", Shape(64 * MiB, 32 * MiB, 4096, {}), std::nullopt, 1},
    // 10 MiB of disk in one 32 MiB block: all 32 MiB are served.
    {"DiskSmallerThanBlock", Shape(10 * MiB, 32 * MiB, 512, {{0, State::FullyPresent}}),
     std::nullopt, 1},
    // parent 0, image 1, the 8 runs of partial block 2, parent 3-5 (adjacent in the parent's
    // file), zeros 6 (the parent's hole), parent 7.
    {"ChainWithPartialBlock",
     Differencing(
         Shape(8 * MiB, MiB, 512, {{1, State::FullyPresent}, {2, State::PartiallyPresent}}),
         {{0, Bits(2 * MiB / 512 / 8, 4096)}}),
     FullParent(8 * MiB, 512), 13},
    // One-byte sectors make 8 MiB chunks: partial blocks 7 (chunk 0's last) and 8 (chunk 1's
    // first, bit 0 of its own bitmap). Parent 0-5, zeros 6, 8 runs each, parent 9-15.
    {"ChainAcrossChunks",
     Differencing(
         Shape(16 * MiB, MiB, 1, {{7, State::PartiallyPresent}, {8, State::PartiallyPresent}}),
         {{0, Bits(7 * MiB / 8, MiB)}, {1, Bits(0, MiB)}}),
     FullParent(16 * MiB, 1), 19},
};

INSTANTIATE_TEST_SUITE_P(Images, MapTest, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

class MapEdges : public fixture::DriverTest {};

TEST_F(MapEdges, MapMarksAPartialBlockWithoutBitmapUnreadable) {
    kit::ScratchDir volume;
    ImageSpec child = Differencing(Shape(4 * MiB, MiB, 512, {{2, State::PartiallyPresent}}), {});
    vhdxtest::WriteFile(volume.File("disk.vhdx"), vhdxtest::Build(child).bytes);
    vhdxtest::WriteFile(volume.File("parent.vhdx"),
                        vhdxtest::Build(FullParent(4 * MiB, 512)).bytes);
    std::vector<tool::Extent> extents;
    {
        const tool::Chain chain = tool::InspectChain(volume.Dir(), "disk.vhdx", "disk.vhdx", false);
        tool::MapChain(chain, [&](const tool::Extent& e) { extents.push_back(e); });
    }
    ASSERT_EQ(extents.size(), 3u);
    EXPECT_EQ(extents[1].start, 2 * MiB);
    EXPECT_EQ(extents[1].length, MiB);
    EXPECT_EQ(extents[1].layer, tool::Layer::Unreadable);
    EXPECT_EQ(extents[0].layer, tool::Layer::Parent);
    EXPECT_EQ(extents[2].layer, tool::Layer::Parent);
}

}  // namespace

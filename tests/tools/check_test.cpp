// pontor check: each malformation is reported with the right code and
// severity, and nothing else is; clean images and chains report nothing.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "tests/tools/tool_fixture.h"
#include "tools/reader/check.h"

namespace {

using kit::MiB;
using vhdxtest::Guid;
using vhdxtest::Image;
using vhdxtest::ImageSpec;
using vhdxtest::State;

using namespace tooltest::patch;

const Guid kUnknown = Guid::Parse("{0BADF00D-1234-5678-9ABC-DEF012345678}");
const Guid kLogGuid = Guid::Parse("{4C4F4747-0000-1111-2222-333344445555}");

ImageSpec Plain() {
    ImageSpec shape;
    shape.virtualDiskSize = 16 * MiB;
    shape.blocks = {{0, State::FullyPresent}, {3, State::FullyPresent}, {5, State::Zero}};
    return shape;
}

ImageSpec Child() {
    ImageSpec shape = Plain();
    shape.hasParent = true;
    shape.parentLocator = tooltest::LocatorFor(u"parent.vhdx");
    shape.blocks = {{1, State::FullyPresent}, {2, State::PartiallyPresent}};
    shape.sectorBitmaps[0] = std::vector<uint8_t>(1024, 0x0F);
    return shape;
}

// Plain, with one log entry (zeroing a sector) that change may alter.
ImageSpec Logged(const std::function<void(vhdxtest::LogEntry&)>& change = nullptr) {
    ImageSpec shape = Plain();
    vhdxtest::LogEntry entry;
    entry.zeros = {{4 * MiB, 4096}};
    if (change) {
        change(entry);
    }
    shape.log = vhdxtest::LogSpec{kLogGuid, {entry}};
    return shape;
}

struct Case {
    const char* name;
    ImageSpec shape;
    std::function<void(Image&)> patch;                  // of the image checked
    const char* expected;                               // "severity:code ..."
    std::function<void(Image&)> patchParent = nullptr;  // for a differencing child
    std::optional<ImageSpec> parentSpec = std::nullopt;
    bool parentPresent = true;
};

std::ostream& operator<<(std::ostream& out, const Case& c) { return out << c.name; }

class CheckTest : public fixture::DriverTest, public ::testing::WithParamInterface<Case> {};

TEST_P(CheckTest, ReportsExactlyTheExpectedFindings) {
    const Case& c = GetParam();
    kit::ScratchDir volume;
    Image image = vhdxtest::Build(c.shape);
    if (c.patch) {
        c.patch(image);
    }
    vhdxtest::WriteFile(volume.File("disk.vhdx"), image.bytes);
    if (c.shape.hasParent) {
        ImageSpec parentSpec = c.parentSpec.value_or(Plain());
        Image parent = vhdxtest::Build(parentSpec);
        if (c.patchParent) {
            c.patchParent(parent);
        }
        if (c.parentPresent) {
            vhdxtest::WriteFile(volume.File("parent.vhdx"), parent.bytes);
        }
    }

    std::vector<std::string> found;
    {
        const tool::Chain chain = tool::InspectChain(volume.Dir(), "disk.vhdx", "disk.vhdx", false);
        for (const tool::Finding& f : tool::CheckChain(chain)) {
            found.push_back(std::string(tool::SeverityName(f.severity)) + ":" + f.code);
        }
    }
    std::sort(found.begin(), found.end());
    std::vector<std::string> expected = tooltest::Words(c.expected);
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(found, expected);
}

ImageSpec Changed(ImageSpec shape, const std::function<void(ImageSpec&)>& change) {
    change(shape);
    return shape;
}

ImageSpec WithBlocks(ImageSpec shape, std::map<uint64_t, State> blocks) {
    shape.blocks = std::move(blocks);
    return shape;
}

const Case kCases[] = {
    {"CleanImage", Plain(), nullptr, ""},
    {"CleanChain", Child(), nullptr, ""},
    {"SecondHeaderNewerButAgreeing", Plain(), [](Image& i) { SetSequence(i, 1, 9); },
     "note:header-second-newer"},
    {"SecondHeaderNewerWithAnotherLog", Plain(),
     [](Image& i) {
         SetSequence(i, 1, 9);
         SetLogGuid(i, 1, kLogGuid);
     },
     "warning:header-second-newer note:log-empty"},
    {"SecondHeaderDamaged", Plain(), [](Image& i) { Damage(i, kHeader[1]); },
     "warning:header-damaged"},
    {"FirstHeaderDamaged", Plain(), [](Image& i) { Damage(i, kHeader[0]); },
     "error:header-damaged error:driver-refuses"},
    {"HeadersConflict", Plain(),
     [](Image& i) {
         SetSequence(i, 1, 2);
         SetLogGuid(i, 1, kLogGuid);
     },
     "error:header-conflict"},
    {"UnknownVersion", Plain(),
     [](Image& i) {
         SetVersion(i, 0, 2);
         SetVersion(i, 1, 2);
     },
     "error:header-version"},
    {"LogNotReplayed", Logged(), nullptr, "error:log-not-replayed"},
    {"LogEntryOfAnotherGuid", Logged([](vhdxtest::LogEntry& e) { e.guid = kUnknown; }), nullptr,
     "note:log-empty"},
    {"LogEntryDamaged", Logged([](vhdxtest::LogEntry& e) { e.torn = true; }), nullptr,
     "note:log-empty"},
    {"LogEntryWithoutLogGuid", Logged(),
     [](Image& i) {
         SetLogGuid(i, 0, Guid());
         SetLogGuid(i, 1, Guid());
     },
     ""},
    {"SecondRegionTableDamaged", Plain(), [](Image& i) { Damage(i, kRegionTable[1]); },
     "warning:region-table-damaged"},
    {"FirstRegionTableDamaged", Plain(), [](Image& i) { Damage(i, kRegionTable[0]); },
     "error:region-table-damaged error:driver-refuses"},
    {"RegionTablesDiffer", Plain(), [](Image& i) { i.AppendRegionEntry(kUnknown, 0, 0, 1, false); },
     "warning:region-tables-differ"},
    {"UnknownRequiredRegion", Plain(), [](Image& i) { i.AppendRegionEntry(kUnknown, 0, 0); },
     "error:region-unknown-required"},
    {"BatRegionListedTwice", Plain(),
     [](Image& i) { i.AppendRegionEntry(vhdxtest::kBatRegion, i.batOffset, i.batLength); },
     "error:region-duplicate"},
    {"UnknownRequiredMetadataItem", Plain(), [](Image& i) { i.RemoveItem(vhdxtest::kPage83); },
     "error:metadata-unknown-required error:metadata-missing"},
    {"UnknownOptionalMetadataItem", Plain(),
     [](Image& i) {
         SetItemFlags(i, vhdxtest::kPage83, 0);
         i.RemoveItem(vhdxtest::kPage83);
     },
     "error:metadata-missing"},
    {"BlockSizeNotPowerOfTwo", Changed(Plain(), [](ImageSpec& s) { s.blockSize = 3 * MiB; }),
     nullptr, "error:metadata-value note:served-beyond-disk"},
    {"ReservedState", WithBlocks(Plain(), {{2, State::Reserved5}}), nullptr,
     "error:bat-reserved-state"},
    {"PartialWithoutParent",
     Changed(WithBlocks(Plain(), {{2, State::PartiallyPresent}}),
             [](ImageSpec& s) { s.sectorBitmaps[0] = {0xFF}; }),
     nullptr, "error:bat-partial-without-parent"},
    {"PartialWithoutBitmap", Changed(Child(), [](ImageSpec& s) { s.sectorBitmaps.clear(); }),
     nullptr, "error:bat-partial-without-bitmap"},
    {"BlockPastEndOfFile", Plain(),
     [](Image& i) { i.bytes.resize(i.blockFileOffset[3] + MiB / 2); }, "error:bat-beyond-eof"},
    {"BlocksOverlap", Plain(), [](Image& i) { i.SetBatEntry(3, i.BatEntry(0)); },
     "error:bat-overlap"},
    {"BlockInsideTheBat", Plain(), [](Image& i) { i.SetBatEntry(3, i.batOffset | 6); },
     "error:bat-overlap"},
    {"BatTooShort",
     Changed(Plain(),
             [](ImageSpec& s) {
                 s.virtualDiskSize = 300000 * MiB;
                 s.blocks = {};
             }),
     [](Image& i) { i.SetRegionLength(vhdxtest::kBatRegion, 1 << 20); }, "error:bat-too-short"},
    // A 16 MiB BAT: the driver's verdict is reached a window at a time, and
    // findings lie on both sides of the readers' window edges (block 65521's
    // entry is the first of the second 65536).
    {"BatOfManyWindows",
     Changed(Plain(),
             [](ImageSpec& s) {
                 s.virtualDiskSize = 2048ULL * 1024 * MiB;
                 s.blocks = {{0, State::FullyPresent},
                             {65521, State::Reserved5},
                             {2097151, State::FullyPresent}};
             }),
     [](Image& i) { i.SetBatEntry(2097151 + 2097151 / 4096, i.BatEntry(0)); },
     "error:bat-reserved-state error:bat-overlap"},
    {"BatCutShortPastAWindow",
     Changed(Plain(),
             [](ImageSpec& s) {
                 s.virtualDiskSize = 2048ULL * 1024 * MiB;
                 s.blocks = {};
             }),
     [](Image& i) { i.bytes.resize(i.batOffset + 12 * MiB); },
     "error:driver-refuses error:region-beyond-eof"},
    {"DiskSmallerThanItsBlocks",
     Changed(Plain(),
             [](ImageSpec& s) {
                 s.virtualDiskSize = 10 * MiB;
                 s.blockSize = 32 * MiB;
                 s.blocks = {{0, State::FullyPresent}};
             }),
     nullptr, "note:served-beyond-disk"},
    {"ParentMissing", Child(), nullptr, "error:parent-missing", nullptr, std::nullopt, false},
    {"ParentChanged", Child(), nullptr, "error:parent-linkage-mismatch",
     [](Image& p) { SetDataWriteGuid(p, kUnknown); }},
    {"ParentLinkageMissing",
     Changed(Child(),
             [](ImageSpec& s) {
                 s.parentLocator = {{u"relative_path", u"parent.vhdx"}};
             }),
     nullptr, "error:parent-linkage-missing"},
    {"ParentOfAnotherSize", Child(), nullptr, "error:parent-size-mismatch", nullptr,
     Changed(Plain(), [](ImageSpec& s) { s.virtualDiskSize = 32 * MiB; })},
    {"ParentFoundElsewhereByFullReader",
     Changed(Child(), [](ImageSpec& s) { s.parentLocator[1].second = u"..\\base\\parent.vhdx"; }),
     nullptr, "note:parent-path-differs"},
    {"ParentItselfDifferencing", Child(), nullptr,
     "error:parent-nested error:parent-locator-missing", nullptr,
     Changed(Plain(), [](ImageSpec& s) { s.hasParent = true; })},
};

INSTANTIATE_TEST_SUITE_P(Images, CheckTest, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

// The scan skips runs of zero entries a page at a time: the blocks it names
// after a run, across chunks, and its counts are those of a walk of every
// entry. 4096 blocks a chunk: block 4100 lies in chunk 1, 12000 in chunk 2
// (BAT index 12002), whose sector bitmap entry is a zero.
class ScanTest : public fixture::DriverTest {};

TEST_F(ScanTest, SparseBatNamesTheBlocksAfterRunsOfZeros) {
    kit::ScratchDir volume;
    ImageSpec shape = Child();
    shape.virtualDiskSize = 13000 * MiB;
    shape.blocks = {{1, State::Zero},
                    {4100, State::Reserved4},
                    {8191, State::FullyPresent},
                    {12000, State::PartiallyPresent}};
    shape.sectorBitmaps.clear();
    vhdxtest::WriteFile(volume.File("disk.vhdx"), vhdxtest::Build(shape).bytes);
    vhdxtest::WriteFile(volume.File("parent.vhdx"), vhdxtest::Build(Plain()).bytes);
    const tool::Chain chain = tool::InspectChain(volume.Dir(), "disk.vhdx", "disk.vhdx", false);
    const tool::BatScan scan = tool::ScanBat(*chain.child);
    EXPECT_EQ(scan.blocksByState[0], 12996u);
    EXPECT_EQ(scan.blocksByState[2], 1u);
    EXPECT_EQ(scan.blocksByState[4], 1u);
    EXPECT_EQ(scan.blocksByState[6], 1u);
    EXPECT_EQ(scan.blocksByState[7], 1u);
    EXPECT_EQ(scan.reservedState.count, 1u);
    EXPECT_EQ(scan.reservedState.first, 4100u);
    EXPECT_EQ(scan.partialWithoutBitmap.count, 1u);
    EXPECT_EQ(scan.partialWithoutBitmap.first, 12000u);
    EXPECT_EQ(scan.bitmapsPresent, 0u);
}

}  // namespace

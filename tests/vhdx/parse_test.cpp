// The parse of the header section, metadata and BAT: every refusal with its
// status and message, the geometry derived, and the release of every buffer
// whichever allocation or read fails.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "tests/support/vhdx_image.h"
#include "tests/support/image_fixture.h"

namespace {

using fixture::DriverLines;
using fixture::DriverTest;
using fixture::OpenedImage;
using fixture::ScratchVolume;
using namespace vhdxtest;  // the builder and the format's GUIDs

using kit::MiB;

// Writes the image, parses it and hands back the status and driver lines.
struct ParseResult {
    NTSTATUS status;
    std::vector<std::string> lines;
    VhdxContext context;
};

ParseResult ParseBytes(const std::vector<uint8_t>& bytes) {
    ScratchVolume volume;
    WriteFile(volume.File("disk.vhdx"), bytes);
    OpenedImage opened(volume, "disk.vhdx");
    EXPECT_EQ(opened.OpenStatus(), STATUS_SUCCESS);
    host::DebugCapture capture;
    ParseResult result;
    result.status = opened.Parse();
    result.lines = DriverLines(capture);
    result.context = *opened.Context();
    return result;
}

ImageSpec SmallDisk() {
    ImageSpec shape;
    shape.virtualDiskSize = 8 * MiB;
    return shape;
}

using Locator = std::vector<std::pair<std::u16string, std::u16string>>;

ImageSpec ChildDisk(const Locator& locator = {{u"relative_path", u"base.vhdx"}}) {
    ImageSpec shape = SmallDisk();
    shape.hasParent = true;
    shape.parentLocator = locator;
    return shape;
}

bool HasLine(const ParseResult& r, const std::string& line) {
    return std::ranges::count(r.lines, line);
}

std::string Lines(const ParseResult& result) {
    std::string all;
    for (const std::string& l : result.lines) {
        all += "  " + l;
    }
    return all;
}

// ---- Refusals ----

struct RefusalCase {
    const char* name;
    std::function<void(Image&)> damage;
    NTSTATUS status;
    const char* line;                  // the refusing routine's message, exactly
    const char* headerLine = nullptr;  // VhdxParseHeader's line after a sub-parse failure
};

class Refusals : public DriverTest, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(Refusals, StatusAndMessage) {
    const RefusalCase& c = GetParam();
    Image image = Build(SmallDisk());
    c.damage(image);
    const ParseResult result = ParseBytes(image.bytes);
    EXPECT_EQ(result.status, c.status) << host::StatusName(result.status);
    EXPECT_TRUE(HasLine(result, c.line)) << "expected: " << c.line << "got:\n" << Lines(result);
    if (c.headerLine != nullptr) {
        EXPECT_TRUE(HasLine(result, c.headerLine)) << "got:\n" << Lines(result);
    }
}

constexpr NTSTATUS kRefused = STATUS_UNKNOWN_REVISION;

#define HDR "[PONTOR] VhdxParseHeader: "
#define MD "[PONTOR] VhdxParseMetadata: "
#define BAT "[PONTOR] VhdxParseBlockAllocationTable: "
#define MD_FAIL HDR "FakeVhdxParseMetadata failed with status 0xc0000058\n"
#define BAT_FAIL HDR "FakeVhdxParseBlockAllocationTable failed with status 0xc0000058\n"
#define NO_BAT HDR "Could not location a Block Allocation Table entry\n"
#define MD_MISSING MD "One or more required metadata types could not be located.\n"

INSTANTIATE_TEST_SUITE_P(
    Parse, Refusals,
    ::testing::ValuesIn(std::vector<RefusalCase>{
        {"file_identifier", [](Image& i) { i.bytes[0] = 'V'; }, kRefused,
         HDR "Invalid VHDX_FILE_IDENTIFIER Signature\n"},
        {"header_signature",
         [](Image& i) {
             i.bytes[0x10000] = 'H';
             i.ResealHeaders();
         }, kRefused, HDR "Invalid VHDX_HEADER Signature\n"},
        // The second copy is sound: the driver reads the first only.
        {"header_checksum", [](Image& i) { i.bytes[0x10000 + 100] ^= 1; },
         kRefused, HDR "Invalid VHDX_HEADER Checksum\n"},
        {"region_table_signature",
         [](Image& i) {
             i.bytes[0x30000] = 'R';
             i.ResealRegionTables();
         }, kRefused, HDR "Invalid VHDX_REGION_TABLE_HEADER Signature\n"},
        {"region_table_checksum", [](Image& i) { i.bytes[0x30000 + 0x8000] ^= 1; },
         kRefused, HDR "Invalid VHDX_REGION_TABLE_HEADER Checksum\n"},
        {"region_table_entry_count_beyond_table",
         [](Image& i) {
             Store32(i.bytes.data() + 0x30000 + 8, 2048);
             i.ResealRegionTables();
         }, kRefused, HDR
         "VHDX_REGION_TABLE_HEADER EntryCount 2048 exceeds the table's 2047 entries\n"},
        // Neither region found: the BAT's is the one reported.
        {"no_region_entries",
         [](Image& i) {
             Store32(i.bytes.data() + 0x30000 + 8, 0);
             i.ResealRegionTables();
         }, kRefused, NO_BAT},
        {"metadata_but_no_bat",
         [](Image& i) {
             i.SetRegionGuid(kBatRegion, Guid::Parse("{00000000-0000-0000-0000-000000000001}"));
         }, kRefused, NO_BAT},
        {"bat_guid_big_endian_does_not_match",
         [](Image& i) { i.SetRegionGuid(kBatRegion, kBatRegion.BigEndianGroups()); },
         kRefused, NO_BAT},
        // An entry at offset 0 counts as absent, and the last of two wins.
        {"later_duplicate_bat_entry_with_offset_zero_wins",
         [](Image& i) { i.AppendRegionEntry(kBatRegion, 0, 1 << 20); },
         kRefused, NO_BAT},
        {"no_metadata_region", [](Image& i) { i.SetRegionOffset(kMetadataRegion, 0); },
         kRefused, HDR "Could not location a Metadata entry\n"},
        {"metadata_signature", [](Image& i) { i.bytes[i.MetadataOffset()] = 'M'; },
         kRefused, MD "Invalid VHDX_METADATA_TABLE_HEADER Signature\n", MD_FAIL},
        {
            "metadata_region_shorter_than_its_header",
            [](Image& i) { i.SetRegionLength(kMetadataRegion, 16); }, kRefused,
            MD "Metadata region of 0x10 bytes cannot hold VHDX_METADATA_TABLE_HEADER\n", MD_FAIL},
        {"metadata_entry_count_beyond_region",
         [](Image& i) {
             // Entries past the five real ones are zero: unknown, skipped.
             Store16(i.bytes.data() + i.MetadataOffset() + 10, 0xFFFF);
         }, kRefused, MD "Metadata table entry 32767 lies outside the metadata region\n", MD_FAIL},
        {
            "metadata_item_offset_beyond_region",
            [](Image& i) { i.SetItemOffset(kVirtualDiskSize, 0xFFFFFFF0u); },
            kRefused,
            MD "Metadata item of entry 1 at offset 0xfffffff0 lies outside the metadata region\n",
            MD_FAIL},
        {"metadata_item_straddles_region_end",
         [](Image& i) { i.SetItemOffset(kVirtualDiskSize, (1 << 20) - 4); },
         kRefused, MD
         "Metadata item of entry 1 at offset 0xffffc lies outside the metadata region\n", MD_FAIL},
        {"virtual_disk_size_missing", [](Image& i) { i.RemoveItem(kVirtualDiskSize); },
         kRefused, MD_MISSING, MD_FAIL},
        {"block_size_zero", [](Image& i) { i.SetItemValue32(kFileParameters, 0, 0); },
         kRefused, MD_MISSING, MD_FAIL},
        {"physical_sector_size_zero",
         [](Image& i) { i.SetItemValue32(kPhysicalSectorSize, 0, 0); },
         kRefused, MD_MISSING, MD_FAIL},
        {"logical_sector_size_missing",
         [](Image& i) { i.RemoveItem(kLogicalSectorSize); }, kRefused, MD_MISSING, MD_FAIL},
        {"chunk_ratio_low_bits_zero",
         [](Image& i) {
             // 512 << 23 divided by 1 is 2^32: its low 32 bits are zero.
             i.SetItemValue32(kFileParameters, 0, 1);
         },
         kRefused, BAT "ChunkRatio of LogicalSectorSize 512 and BlockSize 1 is zero\n", BAT_FAIL},
        {"more_blocks_than_32_bit_bat_indices",
         [](Image& i) {
             i.SetItemValue32(kFileParameters, 0, 3);
             i.SetItemValue64(kVirtualDiskSize, 0, 3ull << 33);
         }, kRefused, BAT
         "8589934592 payload blocks need more BAT entries than a 32-bit index reaches\n", BAT_FAIL},
        // The blocks fit 32-bit indices, but the served size rounds up into
        // one more block, which starts a chunk whose index would wrap.
        {"served_size_rounds_into_a_chunk_past_32_bit_indices",
         [](Image& i) {
             i.SetItemValue32(kFileParameters, 0, 4098);
             i.SetItemValue64(kVirtualDiskSize, 0, 4293918208ull * 4098);
         }, kRefused, BAT
         "4293918208 payload blocks need more BAT entries than a 32-bit index reaches\n", BAT_FAIL},
        {"region_beyond_the_largest_file_offset",
         [](Image& i) { i.SetRegionOffset(kBatRegion, 0x7FFFFFFFFFF00000ull); },
         kRefused, HDR "Region at offset 0x7FFFFFFFFFF00000 of 0x100000 bytes lies beyond the "
             "largest file offset\n"},
        // A region must end inside the file: it is allocated whole before it
        // is read, and no header may ask for more pool than the file holds.
        {"bat_region_beyond_end_of_file",
         [](Image& i) { i.SetRegionOffset(kBatRegion, 1ull << 40); }, STATUS_END_OF_FILE,
         HDR "BAT region at offset 0x10000000000 of 0x100000 bytes ends past the end of the "
             "file at 0x400000\n"},
        {"bat_region_length_past_end_of_file",
         [](Image& i) { i.SetRegionLength(kBatRegion, 0xFFF00000u); }, STATUS_END_OF_FILE,
         HDR "BAT region at offset 0x300000 of 0xfff00000 bytes ends past the end of the "
             "file at 0x400000\n"},
        {"metadata_region_beyond_end_of_file",
         [](Image& i) { i.SetRegionOffset(kMetadataRegion, 1ull << 40); }, STATUS_END_OF_FILE,
         HDR "Metadata region at offset 0x10000000000 of 0x100000 bytes ends past the end of "
             "the file at 0x400000\n"},
        // A short file reads as zeros past its end: a cut inside the region
        // table's entries fails its checksum, a cut after them leaves the
        // metadata region outside the file.
        {"file_cut_inside_region_entries",
         [](Image& i) { i.bytes.resize(0x30000 + 40); }, kRefused,
         HDR "Invalid VHDX_REGION_TABLE_HEADER Checksum\n"},
        {"file_cut_after_region_entries",
         [](Image& i) { i.bytes.resize(0x30000 + 100); }, STATUS_END_OF_FILE,
         HDR "Metadata region at offset 0x200000 of 0x100000 bytes ends past the end of the "
             "file at 0x30064\n"}}),
    [](const auto& info) { return std::string(info.param.name); });

// A region that claims hundreds of MiB of a small file costs the pool
// nothing beyond the header section: it is refused before its buffer.
TEST_F(DriverTest, RegionPastEndOfFileIsRefusedBeforeItsBuffer) {
    for (const Guid* region : {&kMetadataRegion, &kBatRegion}) {
        Image image = Build(SmallDisk());
        image.SetRegionLength(*region, 512 * MiB);
        host::ResetPoolPeak();
        const size_t before = host::PoolPeakBytes();
        EXPECT_EQ(ParseBytes(image.bytes).status, STATUS_END_OF_FILE);
        EXPECT_LT(host::PoolPeakBytes() - before, 2 * MiB);
    }
}

// The summary line is written whatever the values, before the zero test.
TEST_F(DriverTest, SummaryLineNamesMissingSizeAsZero) {
    Image image = Build(SmallDisk());
    image.RemoveItem(kVirtualDiskSize);
    const ParseResult result = ParseBytes(image.bytes);
    EXPECT_TRUE(HasLine(result,
                        "\r\n[PONTOR] VhdxParseMetadata: BlockSize = 1048576, VirtualDiskSize = 0, "
                        "PhysicalSectorSize = 4096, LogicalSectorSize = 512\n"))
        << Lines(result);
}

// ---- Geometry ----

struct GeometryCase {
    const char* name;
    uint32_t logicalSector;
    uint32_t blockSize;
    uint64_t virtualSize;
    uint32_t chunkRatio;
    uint64_t blocks;
    uint64_t totalBatEntries;
    uint64_t dataSize;
};

class Geometry : public DriverTest, public ::testing::WithParamInterface<GeometryCase> {};

TEST_P(Geometry, Derived) {
    const GeometryCase& c = GetParam();
    ImageSpec shape;
    shape.virtualDiskSize = c.virtualSize;
    shape.blockSize = c.blockSize;
    shape.logicalSectorSize = c.logicalSector;
    const ParseResult result = ParseBytes(Build(shape).bytes);
    ASSERT_EQ(result.status, STATUS_SUCCESS) << Lines(result);
    EXPECT_EQ(result.context.VirtualDiskSize, c.virtualSize);
    EXPECT_EQ(result.context.BlockSize, c.blockSize);
    EXPECT_EQ(result.context.LogicalSectorSize, c.logicalSector);
    EXPECT_EQ(result.context.ChunkRatio, c.chunkRatio);
    EXPECT_EQ(result.context.DataBlocksCount, c.blocks);
    EXPECT_EQ(result.context.TotalBatEntries, c.totalBatEntries);
    EXPECT_EQ(result.context.DataSize, c.dataSize);
    EXPECT_GE(result.context.DataSize, result.context.VirtualDiskSize);
}

INSTANTIATE_TEST_SUITE_P(
    Parse, Geometry,
    ::testing::Values(
        // One MiB more than a whole chunk: a sector bitmap position among the entries.
        GeometryCase{"chunk_plus_one_block", 512, 1 << 20, 4097 * MiB, 4096, 4097, 4098,
                     4097 * MiB},
        GeometryCase{"sector_4096_block_32M", 4096, 32 << 20, 64 * MiB, 1024, 2, 2, 64 * MiB},
        GeometryCase{"small_disk_large_block", 512, 32 << 20, 10 * MiB, 128, 1, 1, 32 * MiB},
        GeometryCase{"odd_size_rounds_to_blocks", 512, 2 << 20, 5 * MiB + 1, 2048, 3, 3, 6 * MiB},
        // Block sizes outside the format's range still parse; DataSize rounds to MiB.
        GeometryCase{"block_not_a_power_of_two", 512, 3 * 512, 7 * 512, 2796202, 3, 3, MiB},
        GeometryCase{"tiny_sectors_small_chunks", 1, 1 << 20, 20 * MiB, 8, 20, 22, 20 * MiB}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- Parent locator ----

struct LocatorCase {
    const char* name;
    Locator entries;
    const char16_t* parentPath;         // expected ParentPath
    std::vector<std::string> keyLines;  // "Key ..., Value ..." lines, in order
};

class ParentLocator : public DriverTest, public ::testing::WithParamInterface<LocatorCase> {};

TEST_P(ParentLocator, ParentPathAndLoggedKeys) {
    const LocatorCase& c = GetParam();
    const ParseResult result = ParseBytes(Build(ChildDisk(c.entries)).bytes);
    ASSERT_EQ(result.status, STATUS_SUCCESS) << Lines(result);
    EXPECT_EQ(result.context.HasParent, 1u);
    EXPECT_EQ(std::u16string(result.context.ParentPath), std::u16string(c.parentPath));
    std::vector<std::string> keyLines;
    for (const std::string& line : result.lines) {
        if (line.find(": Key ") != std::string::npos) {
            keyLines.push_back(line);
        }
    }
    EXPECT_EQ(keyLines, c.keyLines);
}

std::string KeyLine(const char* key, const char* value) {
    return std::string("\r\n[PONTOR] VhdxParseMetadata: Key ") + key + ", Value " + value + "\n";
}

INSTANTIATE_TEST_SUITE_P(
    Parse, ParentLocator,
    ::testing::ValuesIn(std::vector<LocatorCase>{
        {"relative_path_first",
         {{u"relative_path", u"..\\base\\base.vhdx"},
          {u"volume_path", u"\\\\?\\Volume{1}\\images\\other.vhdx"}},
         u"..\\base\\base.vhdx",
         {}},
        {"volume_path_first_gives_its_final_component",
         {{u"parent_linkage", u"{83aa7e2c-0000-0000-0000-000000000000}"},
          {u"volume_path", u"\\\\?\\Volume{1}\\images\\base.vhdx"},
          {u"relative_path", u"..\\elsewhere.vhdx"}},
         u"base.vhdx",
         {KeyLine("parent_linkage", "{83aa7e2c-0000-0000-0000-000000000000}")}},
        {"key_case_matters",
         {{u"Relative_Path", u"wrong.vhdx"}, {u"relative_path", u"right.vhdx"}},
         u"right.vhdx",
         {KeyLine("Relative_Path", "wrong.vhdx")}},
        {"unparseable_volume_path_is_logged",
         {{u"volume_path", u""}, {u"relative_path", u"base.vhdx"}},
         u"base.vhdx",
         {KeyLine("volume_path", "")}},
        {"no_matching_key_leaves_path_empty",
         {{u"absolute_win32_path", u"C:\\base.vhdx"}},
         u"",
         {KeyLine("absolute_win32_path", "C:\\base.vhdx")}},
        {"no_locator_item", {}, u"", {}}}),
    [](const auto& info) { return std::string(info.param.name); });

// A locator of another type is skipped; an odd value length keeps whole
// characters ("base" and half a '.').
TEST_F(DriverTest, LocatorTypeAndOddValueLength) {
    const struct {
        std::function<void(Image&)> patch;
        std::u16string parentPath;
    } cases[] = {
        {[](Image& i) {
             i.SetItemGuidBytes(kParentLocator, 0,
                                Guid::Parse("{B04AEFB7-D19E-4A81-B789-25B8E9445914}"));
         },
         u""},
        {[](Image& i) { i.SetLocatorValueLength(0, 2 * 4 + 1); }, u"base"},
    };
    for (const auto& c : cases) {
        Image image = Build(ChildDisk());
        c.patch(image);
        const ParseResult result = ParseBytes(image.bytes);
        ASSERT_EQ(result.status, STATUS_SUCCESS);
        EXPECT_EQ(std::u16string(result.context.ParentPath), c.parentPath);
    }
}

// Locator entries, keys and values are bounded by the metadata region. The
// region here ends 4 KiB after the first item's value, so runs of entries and
// long values reach its end; the first key matches nothing, so the scan goes
// on to the damaged entries.
struct LocatorRefusal {
    const char* name;
    std::function<void(Image&)> damage;
    const char* message;  // the refusal, up to its entry number
};

class LocatorRefusals : public DriverTest, public ::testing::WithParamInterface<LocatorRefusal> {};

TEST_P(LocatorRefusals, Refused) {
    Image image = Build(ChildDisk({{u"parent_linkage", u"{00000000-0000-0000-0000-000000000000}"},
                                   {u"relative_path", u"base.vhdx"}}));
    image.SetRegionLength(kMetadataRegion, 0x11000);
    GetParam().damage(image);
    const ParseResult result = ParseBytes(image.bytes);
    EXPECT_EQ(result.status, STATUS_UNKNOWN_REVISION);
    bool found = false;
    for (const std::string& line : result.lines) {
        found |= line.rfind(GetParam().message, 0) == 0 &&
                 line.find("lies outside the metadata region\n") != std::string::npos;
    }
    EXPECT_TRUE(found) << Lines(result);
    EXPECT_EQ(std::u16string(result.context.ParentPath), u"");
}

INSTANTIATE_TEST_SUITE_P(
    Parse, LocatorRefusals,
    ::testing::ValuesIn(std::vector<LocatorRefusal>{
        {"key_value_count_beyond_region",
         [](Image& i) {
             i.SetLocatorKeyValueCount(0xFFFF);
             i.SetLocatorKeyOffset(1,
                                   0);  // its key is now the type GUID
         },
         "[PONTOR] VhdxParseMetadata: Parent locator "},
        {"key_offset_beyond_region", [](Image& i) { i.SetLocatorKeyOffset(1, 0x7FFFFFFF); },
         "[PONTOR] VhdxParseMetadata: Parent locator key or value 1 "},
        {"value_runs_past_region", [](Image& i) { i.SetLocatorValueLength(1, 0xFFFF); },
         "[PONTOR] VhdxParseMetadata: Parent locator key or value 1 "}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(DriverTest, ParentPathLongerThanCapacityIsRefused) {
    for (const size_t chars : {1025, 1026}) {
        const ParseResult result =
            ParseBytes(Build(ChildDisk({{u"relative_path", std::u16string(chars, u'a')}})).bytes);
        if (chars == 1025) {
            ASSERT_EQ(result.status, STATUS_SUCCESS) << Lines(result);
            EXPECT_EQ(std::u16string(result.context.ParentPath).size(), 1025u);
        } else {
            EXPECT_EQ(result.status, STATUS_UNKNOWN_REVISION);
        }
    }
}

// ---- Buffers on every path ----

// Failing each allocation and each read of a valid parse in turn gives the
// documented status, and every buffer comes back.
TEST_F(DriverTest, FaultSweep) {
    ScratchVolume volume;
    WriteFile(volume.File("disk.vhdx"), Build(ChildDisk()).bytes);

    for (const kit::Fault& fault : {kit::AllocationFault(), kit::ReadFault()}) {
        const uint64_t runs = kit::SweepFaults(fault, [&](const kit::Arm& arm) {
            OpenedImage opened(volume, "disk.vhdx");
            arm();
            host::DebugCapture capture;
            return opened.Parse();
        });
        EXPECT_EQ(runs, 4u) << fault.name << ": the parse makes three allocations and three reads";
    }
}

// A short header-section read leaves zeros, which fail the ordinary checks.
TEST_F(DriverTest, ShortReadsLeaveZeros) {
    ScratchVolume volume;
    WriteFile(volume.File("disk.vhdx"), Build(SmallDisk()).bytes);
    const struct {
        uint64_t read;
        ULONG bytes;
        NTSTATUS status;
    } cases[] = {
        {1, 0, kRefused},        // file identifier is zero
        {1, 0x10000, kRefused},  // header is zero
        {2, 16, kRefused},       // metadata table has no entries
        {3, 0, STATUS_SUCCESS},  // BAT contents are not used
    };
    for (const auto& c : cases) {
        OpenedImage opened(volume, "disk.vhdx");
        host::ResetFaults();
        host::ShortenRead(c.read, c.bytes);
        host::DebugCapture capture;
        EXPECT_EQ(opened.Parse(), c.status) << c.read << "/" << c.bytes;
        host::ResetFaults();
    }
}

}  // namespace

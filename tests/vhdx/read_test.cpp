// Read translation against an independent model of the format, and the
// edges: the served size, the BAT's end, every payload state, partially
// present blocks, short and failed reads, and exceptions passing through.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <random>
#include <cstring>

#include "tests/support/vhdx_image.h"
#include "tests/support/image_fixture.h"

namespace {

using fixture::DriverLines;
using fixture::DriverTest;
using fixture::OpenedImage;
using vhdxtest::Image;
using vhdxtest::ImageSpec;
using vhdxtest::State;

using kit::MiB;

// A child image, optionally with its parent, put on a memory volume, opened and parsed,
// with the stream context the read engine consults.
class Chain {
public:
    explicit Chain(const ImageSpec& child, const ImageSpec* parent = nullptr,
                   const std::function<void(Image&)>& damage = nullptr)
        : child_(child) {
        Image image = vhdxtest::Build(child);
        if (damage) {
            damage(image);
        }
        volume_.Put("child.vhdx", image.bytes);
        if (parent != nullptr) {
            parentSpec_ = *parent;
            volume_.Put("parent.vhdx", vhdxtest::Build(*parent).bytes);
        }
        childImage_ = std::make_unique<OpenedImage>(volume_, "child.vhdx");
        EXPECT_EQ(childImage_->Parse(), STATUS_SUCCESS);
        std::memset(&stream_, 0, sizeof(stream_));
        stream_.VhdxContext = childImage_->Context();
        if (parent != nullptr) {
            parentImage_ = std::make_unique<OpenedImage>(volume_, "parent.vhdx");
            EXPECT_EQ(parentImage_->Parse(), STATUS_SUCCESS);
            stream_.ParentVhdxFileContext = parentImage_->Context();
        }
    }

    struct Result {
        NTSTATUS status;
        ULONG produced;
        std::vector<uint8_t> bytes;
    };

    Result Read(uint64_t offset, ULONG length, ULONG initial = 0) {
        Result r{STATUS_SUCCESS, initial, std::vector<uint8_t>(length, 0xCC)};
        r.status = VhdxProcessRead(childImage_->Related(), &stream_, childImage_->Context(), offset,
                                   length, r.bytes.data(), &r.produced);
        return r;
    }

    std::vector<uint8_t> Expected(uint64_t offset, uint64_t length) const {
        return vhdxtest::ExpectedBytes(child_, parentImage_ ? &parentSpec_ : nullptr, offset,
                                       length);
    }

    VhdxContext* Context() { return childImage_->Context(); }
    const FLT_RELATED_OBJECTS* Related() const { return childImage_->Related(); }
    StreamContext* Stream() { return &stream_; }

private:
    host::MemoryVolume volume_;
    ImageSpec child_;
    ImageSpec parentSpec_;
    std::unique_ptr<OpenedImage> childImage_;
    std::unique_ptr<OpenedImage> parentImage_;
    StreamContext stream_;
};

// The driver's message prefixes of its two read routines.
#define RPR "[PONTOR] VhdxProcessRead: "
#define RPB "[PONTOR] VhdxReadPartialBlock: "

// ---- Randomised against the model ----

struct Geometry {
    const char* name;
    uint32_t logicalSector;
    uint32_t blockSize;
    uint64_t virtualSize;
    bool differencing;
    ULONG maxLength;  // partial blocks cost a read per sector: keep requests modest
};

ImageSpec RandomImage(const Geometry& g, uint64_t seed, bool child) {
    std::mt19937_64 random(seed);
    ImageSpec shape;
    shape.virtualDiskSize = g.virtualSize;
    shape.blockSize = g.blockSize;
    shape.logicalSectorSize = g.logicalSector;
    shape.hasParent = child && g.differencing;
    shape.seed = seed;
    const State states[] = {State::NotPresent,   State::Undefined,       State::Zero,
                            State::Unmapped,     State::Reserved4,       State::Reserved5,
                            State::FullyPresent, State::PartiallyPresent};
    const uint64_t blocks = shape.DataBlocks();
    const uint32_t ratio = shape.ChunkRatio();
    for (uint64_t b = 0; b < blocks; b++) {
        State s = states[random() % 8];
        if (!child && s == State::PartiallyPresent) {
            s = State::FullyPresent;
        }
        if (s == State::NotPresent) {
            continue;
        }
        shape.blocks[b] = s;
        if (s == State::PartiallyPresent && !shape.sectorBitmaps.count(b / ratio)) {
            // Random bits, with runs, so that neighbouring sectors agree and differ.
            std::vector<uint8_t> bits(1 << 20);
            for (auto& byte : bits) {
                const int kind = (int)(random() % 4);
                byte = kind == 0 ? 0x00 : kind == 1 ? 0xFF : (uint8_t)random();
            }
            shape.sectorBitmaps[b / ratio] = std::move(bits);
        }
    }
    return shape;
}

class RandomReads : public DriverTest, public ::testing::WithParamInterface<Geometry> {};

TEST_P(RandomReads, MatchTheModel) {
    const Geometry& g = GetParam();
    const ImageSpec parent = RandomImage(g, 7, false);
    const ImageSpec child = RandomImage(g, 11, true);
    Chain chain(child, g.differencing ? &parent : nullptr);
    const uint64_t dataSize = chain.Context()->DataSize;
    std::mt19937_64 random(99);
    for (int i = 0; i < 250; i++) {
        // Offsets near block and sector boundaries as often as anywhere.
        uint64_t offset = random() % (dataSize + g.blockSize / 2);
        if (i % 3 == 0) {
            offset = offset / g.blockSize * g.blockSize + (random() % 3) * g.logicalSector -
                     (offset >= g.blockSize ? g.logicalSector : 0);
        }
        const ULONG length = (ULONG)(random() % (g.maxLength + 1));
        const Chain::Result r = chain.Read(offset, length, 0xDEAD);
        if (offset >= dataSize) {
            EXPECT_EQ(r.status, STATUS_END_OF_FILE) << offset;
            EXPECT_EQ(r.produced, 0xDEADu) << "the count is left as the caller set it";
            continue;
        }
        const ULONG served = (ULONG)std::min<uint64_t>(length, dataSize - offset);
        ASSERT_EQ(r.status, STATUS_SUCCESS) << "offset " << offset << " length " << length;
        ASSERT_EQ(r.produced, served) << "offset " << offset << " length " << length;
        const std::vector<uint8_t> expected = chain.Expected(offset, served);
        ASSERT_TRUE(std::equal(expected.begin(), expected.end(), r.bytes.begin()))
            << "offset " << offset << " length " << length;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Read, RandomReads,
    ::testing::ValuesIn(std::vector<Geometry>{
        {"sector512_block1M_differencing", 512, 1 << 20, 12 * MiB, true, 3 << 20},
        // Four-byte sectors make chunks of 32 blocks: chunk boundaries inside a small disk.
        {"small_chunks_differencing", 4, 1 << 20, 70 * MiB, true, 48 << 10},
        {"small_chunks_standalone", 4, 1 << 20, 70 * MiB, false, 48 << 10},
        {"sector4096_block2M_differencing", 4096, 2 << 20, 20 * MiB, true, 5 << 20},
        {"odd_size_standalone", 512, 1 << 20, 9 * MiB + 3 * 512, false, 2 << 20}}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- Edges ----

// A disk whose first `present` blocks are fully present.
ImageSpec Disk(uint64_t size = 8 * MiB, uint64_t present = 0) {
    ImageSpec shape;
    shape.virtualDiskSize = size;
    for (uint64_t b = 0; b < present; b++) {
        shape.blocks[b] = State::FullyPresent;
    }
    return shape;
}

// The model checks the status and the count at and past the served size
// (RandomReads); no message is written for it either.
TEST_F(DriverTest, AtServedSizeIsEndOfFileWithoutMessage) {
    ImageSpec shape = Disk(10 * MiB);
    shape.blockSize = 32 << 20;  // served size 32 MiB, past the 10 MiB disk
    Chain chain(shape);
    host::DebugCapture capture;
    EXPECT_EQ(chain.Read(32 * MiB, 512).status, STATUS_END_OF_FILE);
    EXPECT_TRUE(DriverLines(capture).empty());
}

TEST_F(DriverTest, ZeroLengthReadsNothing) {
    Chain chain(Disk());
    host::ResetFaults();
    const uint64_t allocations = host::PoolAllocationCount();
    const auto r = chain.Read(4096, 0, 77);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.produced, 0u);
    EXPECT_EQ(host::ReadCount(), 0u);
    EXPECT_EQ(host::PoolAllocationCount(), allocations);
}

TEST_F(DriverTest, BatRegionCutsTheRequest) {
    ImageSpec shape = Disk(8 * MiB, 8);
    // A BAT region of two and a half entries: two whole ones are usable.
    Chain chain(shape, nullptr, [](Image& i) { i.SetRegionLength(vhdxtest::kBatRegion, 20); });
    const auto r = chain.Read(512, 4 * MiB);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.produced, 2 * MiB - 512);
    host::DebugCapture capture;
    const auto beyond = chain.Read(3 * MiB, 512);
    EXPECT_EQ(beyond.status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(beyond.produced, 0u);
    EXPECT_EQ(DriverLines(capture),
              std::vector<std::string>{
                  RPR "Trying to read beyond the BAT Data. Calculated offset 0x0000000000300018. "
                      "Available Data Boundary 0x0000000000300014\n"});
}

// Short and failed reads, injected at the nth FltReadFile of one request:
// the BAT read, then the data reads block by block.
TEST_F(DriverTest, ShortAndFailedReads) {
    ImageSpec shape = Disk(8 * MiB, 4);
    Chain chain(shape);
    const struct {
        const char* what;
        std::function<void()> arm;
        NTSTATUS status;
        ULONG produced;
        const char* message;
    } cases[] = {
        {"short BAT read keeps whole entries", [] { host::ShortenRead(1, 12); }, STATUS_SUCCESS,
         MiB - 512,
         RPR
         "FltReadFile read 0xc bytes of required 0x18 while reading BAT entries from VHDX file\n"},
        {"failed BAT read", [] { host::FailRead(1, STATUS_IO_DEVICE_ERROR); },
         STATUS_IO_DEVICE_ERROR, 0,
         RPR
         "FltReadFile failed with status 0xc0000185 while reading BAT entries from VHDX file\n"},
        {"short data read ends the request", [] { host::ShortenRead(3, 100); }, STATUS_SUCCESS,
         MiB - 512 + 100,
         RPR "FltReadFile read 0x64 of requested 0x100000 while reading data from VHDX file at "
             "offset 0x0000000000500000\n"},
        {"failed data read after served blocks", [] { host::FailRead(3, STATUS_IO_DEVICE_ERROR); },
         STATUS_IO_DEVICE_ERROR, 0,
         RPR "FltReadFile failed with status 0xc0000185 while reading data from VHDX file at "
             "offset 0x0000000000500000\n"},
    };
    for (const auto& c : cases) {
        host::ResetFaults();
        c.arm();
        host::DebugCapture capture;
        const auto r = chain.Read(512, 3 * MiB - 1024);
        host::ResetFaults();
        EXPECT_EQ(r.status, c.status) << c.what;
        EXPECT_EQ(r.produced, c.produced) << c.what;
        const auto lines = DriverLines(capture);
        EXPECT_NE(std::find(lines.begin(), lines.end(), c.message), lines.end())
            << c.what << ": " << (lines.empty() ? "" : lines.back());
        if (NT_SUCCESS(c.status)) {
            const auto want = chain.Expected(512, c.produced);
            EXPECT_TRUE(std::equal(want.begin(), want.end(), r.bytes.begin())) << c.what;
        }
    }
}

// A parent that fails after earlier blocks were served fails the request.
TEST_F(DriverTest, FailedParentReadFailsTheRequest) {
    ImageSpec child = Disk();
    child.hasParent = true;
    child.blocks[0] = State::FullyPresent;
    ImageSpec parent2 = Disk();
    parent2.blocks[1] = State::FullyPresent;
    Chain chain2(child, &parent2);
    host::ResetFaults();
    host::FailRead(4, STATUS_IO_DEVICE_ERROR);  // child BAT, child data, parent BAT, parent data
    host::DebugCapture capture2;
    const auto r2 = chain2.Read(0, 2 * MiB);
    host::ResetFaults();
    EXPECT_EQ(r2.status, STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(r2.produced, 0u);
    const auto lines = DriverLines(capture2);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), RPR
              "VhdxProcessRead failed with status 0xc0000185 while reading data from parent VHDX "
              "file at offset 0x100000\n");
}

// ---- Partially present blocks ----

ImageSpec PartialChild(uint8_t bitsByte) {
    ImageSpec child = Disk();
    child.hasParent = true;
    child.blocks[1] = State::PartiallyPresent;
    child.sectorBitmaps[0] = std::vector<uint8_t>(1 << 20, bitsByte);
    return child;
}

ImageSpec FullParent() {
    ImageSpec parent = Disk(8 * MiB, 8);
    parent.seed = 5;
    return parent;
}

TEST_F(DriverTest, PartialBlockAllSetOrAllClear) {
    const ImageSpec parent = FullParent();
    for (const uint8_t bits : {0xFF, 0x00}) {
        Chain chain(PartialChild(bits), &parent);
        host::ResetFaults();
        const auto r = chain.Read(MiB + 100, 8192);
        ASSERT_EQ(r.status, STATUS_SUCCESS);
        EXPECT_EQ(r.produced, 8192u);
        std::vector<uint8_t> want(8192);
        for (uint64_t i = 0; i < 8192; i++) {
            want[i] = vhdxtest::Payload(bits ? 1 : 5, MiB + 100 + i);
        }
        EXPECT_EQ(r.bytes, want) << (int)bits;
        // A step per sector: the first ends at its sector's end, 17 in all.
        const uint64_t perSector = bits ? 1 : 2;  // file read, or parent BAT and data reads
        EXPECT_EQ(host::ReadCount(), 1 + 2 + 17 * perSector) << (int)bits;
    }
}

struct PartialFailure {
    const char* what;
    std::function<void(Image&)> damage;
    std::function<void()> arm;
    NTSTATUS status;
    std::vector<std::string> lastLines;
};

class PartialFailures : public DriverTest, public ::testing::WithParamInterface<PartialFailure> {};

TEST_P(PartialFailures, FailTheRequest) {
    const PartialFailure& c = GetParam();
    const ImageSpec parent = FullParent();
    Chain chain(PartialChild(0xAA), &parent, c.damage);
    host::ResetFaults();
    if (c.arm) {
        c.arm();
    }
    host::DebugCapture capture;
    const auto r = chain.Read(512, 2 * MiB);
    host::ResetFaults();
    EXPECT_EQ(r.status, c.status) << host::StatusName(r.status);
    EXPECT_EQ(r.produced, 0u);
    auto lines = DriverLines(capture);
    ASSERT_GE(lines.size(), c.lastLines.size());
    lines.erase(lines.begin(), lines.end() - (long)c.lastLines.size());
    EXPECT_EQ(lines, c.lastLines);
}

const char kPartialFailed[] = RPR
    "VhdxReadPartialBlock failed with status 0xc0000014 while reading data from parent VHDX file "
    "at offset 0x100000\n";

INSTANTIATE_TEST_SUITE_P(
    Read, PartialFailures,
    ::testing::ValuesIn(std::vector<PartialFailure>{
        {"bitmap_entry_not_present",
         [](Image& i) { i.SetBatEntry(4096, 0); },
         nullptr,
         STATUS_UNRECOGNIZED_MEDIA,
         {RPB "Sector Bitmap Data SB_BLOCK_NOT_PRESENT\n", kPartialFailed}},
        // Reads: the child's BAT, block 0 from the parent (BAT, data), then
        // the sector bitmap entry.
        {"bitmap_entry_read_returns_nothing",
         nullptr,
         [] { host::ShortenRead(4, 0); },
         STATUS_UNRECOGNIZED_MEDIA,
         {RPB "FltReadFile read 0x0 bytes of required 0x8 while reading Sector BAT entries from "
              "VHDX file\n",
          RPB "Sector Bitmap Data SB_BLOCK_NOT_PRESENT\n", kPartialFailed}},
        {"bitmap_entry_beyond_bat",
         [](Image& i) { i.SetRegionLength(vhdxtest::kBatRegion, 4096 * 8); },
         nullptr,
         STATUS_UNSUCCESSFUL,
         {RPB "Trying to read beyond the BAT Data. Calculated offset 0x0000000000308000. Available "
              "Data Boundary 0x0000000000308000\n",
          RPR "VhdxReadPartialBlock failed with status 0xc0000001 while reading data from parent "
              "VHDX file at offset 0x100000\n"}},
        {"bitmap_block_read_short",
         nullptr,
         [] { host::ShortenRead(5, 2); },
         STATUS_UNRECOGNIZED_MEDIA,
         {RPB "Sector bit 0x800 was not read from the sector bitmap\n", kPartialFailed}},
        {"bitmap_allocation_fails",
         nullptr,
         [] { host::FailAllocation(3); },  // BAT, parent's BAT, then the bitmap
         STATUS_INSUFFICIENT_RESOURCES,
         {RPB "FltAllocatePoolAlignedWithTag for Bitmap failed \n",
          RPR "VhdxReadPartialBlock failed with status 0xc000009a while reading data from parent "
              "VHDX file at offset 0x100000\n"}}}),
    [](const auto& info) { return std::string(info.param.what); });

// Seven bytes of the sector bitmap entry arrive: the rest stays zero, which
// here is what the eighth byte holds, so the request goes on and is served.
TEST_F(DriverTest, ShortSectorBitmapEntryGoesOnWithTheBytesThatArrived) {
    const ImageSpec parent = FullParent();
    Chain chain(PartialChild(0xAA), &parent);
    host::ResetFaults();
    host::ShortenRead(4, 7);
    host::DebugCapture capture;
    const auto r = chain.Read(512, 2 * MiB);
    host::ResetFaults();
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.bytes, chain.Expected(512, 2 * MiB));
    EXPECT_TRUE(capture.Contains(RPB "FltReadFile read 0x7 bytes of required 0x8 while reading "
                                     "Sector BAT entries from VHDX file\n"));
}

// A block that straddles a multiple of 2^23 sectors would carry the bit index
// past the bitmap: 3 MiB blocks put block 1365's sectors across 2^23.
TEST_F(DriverTest, BitIndexNeverPassesTheBitmap) {
    ImageSpec shape = Disk(1366ull * 3 * MiB);
    shape.blockSize = 3 << 20;
    shape.blocks[1365] = State::PartiallyPresent;
    shape.sectorBitmaps[1] = std::vector<uint8_t>(1 << 20, 0xFF);
    Chain chain(shape);
    ASSERT_EQ(chain.Context()->ChunkRatio, 1365u);
    const uint64_t straddle = (1ull << 23) * 512;  // the block's first byte past 2^23 sectors
    const auto before = chain.Read(straddle - 1024, 1024);
    EXPECT_EQ(before.status, STATUS_SUCCESS);
    const auto across = chain.Read(straddle - 512, 1024);
    EXPECT_EQ(across.status, STATUS_UNRECOGNIZED_MEDIA);
    EXPECT_EQ(across.produced, 0u);
}

// ---- Buffers on every way out ----

TEST_F(DriverTest, FaultSweepOverADifferencingRead) {
    const ImageSpec parent = FullParent();
    Chain chain(PartialChild(0xF0), &parent);
    for (const kit::Fault& fault : {kit::AllocationFault(), kit::ReadFault()}) {
        const uint64_t runs = kit::SweepFaults(fault, [&](const kit::Arm& arm) {
            arm();
            host::DebugCapture capture;
            const auto r = chain.Read(MiB - 1024, 8192);
            EXPECT_EQ(r.produced, NT_SUCCESS(r.status) ? 8192u : 0u);
            return r.status;
        });
        EXPECT_GT(runs, 5u) << fault.name;
    }
}

// A destination that faults. Zeros the driver writes raise an access
// violation, which unwinds through both read routines; data read into it by
// the file system below fails that read with a status instead. Either way
// nothing stays allocated.
TEST_F(DriverTest, AccessFaultReleasesBuffers) {
    ImageSpec child = PartialChild(0xF0);
    child.blocks[2] = State::Zero;
    ImageSpec parent = FullParent();
    ImageSpec zeroParent = FullParent();
    zeroParent.blocks[1] = State::Zero;
    const struct {
        const char* what;
        const ImageSpec* parent;
        uint64_t offset;
        size_t faultAt;
        bool raises;  // else the read fails with STATUS_INVALID_USER_BUFFER
    } cases[] = {{"zeros written in place", &parent, 2 * MiB, 100, true},
                 {"a parent's zeros under a partial block", &zeroParent, MiB, 100, true},
                 {"a sector read in a partial block", &parent, MiB, 4096 + 7, false},
                 {"a parent sector under a partial block", &parent, MiB, 2048 + 3, false}};
    for (const auto& c : cases) {
        Chain chain(child, c.parent);
        std::vector<uint8_t> destination(8192);
        host::ArmAccessFault(destination.data() + c.faultAt, 1);
        ULONG produced = 0;
        NTSTATUS status = STATUS_SUCCESS;
        bool faulted = false;
        try {
            status = VhdxProcessRead(chain.Related(), chain.Stream(), chain.Context(), c.offset,
                                     8192, destination.data(), &produced);
        } catch (const host::AccessViolation&) {
            faulted = true;
        }
        host::ArmAccessFault(nullptr, 0);
        EXPECT_EQ(faulted, c.raises) << c.what;
        if (!c.raises) {
            EXPECT_EQ(status, STATUS_INVALID_USER_BUFFER) << c.what;
        }
        EXPECT_EQ(host::PoolOutstanding(), 0u) << c.what;
    }
}

// ---- Entries that point past any file offset a read can name ----

struct HostileEntry {
    std::string what;
    uint64_t index;  // BAT entry to overwrite
    uint64_t value;
    std::string line;
    uint32_t blockSize = 0;  // set: block 1 alone, partially present, read 4 KiB at within
    uint32_t within = 0;
};

class HostileEntries : public DriverTest, public ::testing::WithParamInterface<HostileEntry> {};

// Block 1 is partially present (chunk 0's bitmap is entry ChunkRatio, every
// bit set); block 2 is fully present. None of these may be read, wrapped
// round to the file's header or served: their part of the destination stays
// untouched.
TEST_P(HostileEntries, FailTheRequestUnread) {
    const HostileEntry& c = GetParam();
    ImageSpec shape = Disk(c.blockSize ? 3ull * c.blockSize : 8 * MiB);
    shape.blocks[1] = State::PartiallyPresent;
    if (c.blockSize) {
        shape.blockSize = c.blockSize;
        shape.blocks[1] = State::Zero;  // the entry below makes it partial: no 256 MiB block
    } else {
        shape.blocks[2] = State::FullyPresent;
    }
    shape.sectorBitmaps[0] = std::vector<uint8_t>(1 << 20, 0xFF);
    Chain chain(shape, nullptr, [&](Image& i) { i.SetBatEntry(c.index, c.value); });
    host::DebugCapture capture;
    host::ResetFaults();
    const auto r =
        c.blockSize ? chain.Read(c.blockSize + c.within, 4096) : chain.Read(MiB, 2 * MiB);
    EXPECT_EQ(r.status, STATUS_UNRECOGNIZED_MEDIA) << host::StatusName(r.status);
    EXPECT_EQ(r.produced, 0u);
    // Block 1 may be served before block 2 fails; nothing of the hostile one.
    const size_t from = c.index == 2 ? MiB : 0;
    EXPECT_EQ(std::count(r.bytes.begin() + from, r.bytes.end(), 0xCC),
              (long)(r.bytes.size() - from));
    const auto lines = DriverLines(capture);
    EXPECT_NE(std::find(lines.begin(), lines.end(), c.line), lines.end()) << c.line;
}

std::vector<HostileEntry> HostileEntryRows() {
    std::vector<HostileEntry> rows{
        {"fully_present_at_top", 2, 0xFFFFFFFFFFF00006ull,
         RPR "BAT entry 0xfffffffffff00006 places its block beyond the largest file offset\n"},
        {"fully_present_ending_past_2_63", 2, 0x7FFFFFFFFFF00006ull,
         RPR "BAT entry 0x7ffffffffff00006 places its block beyond the largest file offset\n"},
        {"partially_present_at_top", 1, 0xFFFFFFFFFFF00007ull,
         RPB "BAT entry 0xfffffffffff00007 places its block beyond the largest file offset\n"},
        {"sector_bitmap_at_top", 4096, 0xFFFFFFFFFFF00006ull,
         RPB "BAT entry 0xfffffffffff00006 places its block beyond the largest file offset\n"}};
    // A partially present block 2^64 - half a block (at least 1 MiB) into the
    // address space, read 64 KiB past that half: the sum wraps to the
    // header at 64 KiB at every block size from 2 MiB.
    for (uint32_t size = MiB; size <= 256 * MiB; size *= 2) {
        const uint64_t back = std::max<uint64_t>(size / 2, MiB);
        char line[128];
        std::snprintf(line, sizeof line,
                      RPB "BAT entry 0x%016llx places its block beyond the largest file offset\n",
                      (unsigned long long)(0 - back) | 7);
        rows.push_back({"partially_present_wrapping_" + std::to_string(size / MiB) + "MiB", 1,
                        (0 - back) | 7, line, size, (uint32_t)((back + 64 * 1024) % size)});
    }
    return rows;
}

INSTANTIATE_TEST_SUITE_P(Read, HostileEntries, ::testing::ValuesIn(HostileEntryRows()),
                         [](const auto& info) { return std::string(info.param.what); });

}  // namespace

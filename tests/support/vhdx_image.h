// Builds VHDX images for tests, byte-exact to the format (both header and
// region table copies, metadata items, parent locators, BAT in chunk order,
// payload and sector bitmap blocks, log entries), patches them into every
// malformation the tests need, and computes independently what a correct
// reader returns.
// Plain C++20: it shares no code with the driver.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vhdxtest {

struct Guid {
    std::array<uint8_t, 16> bytes{};
    // "{2DC27766-F623-4200-9D64-115E9BFD4A08}" in the Windows byte layout.
    static Guid Parse(const std::string& text);
    // The same GUID with its first three groups stored big-endian.
    Guid BigEndianGroups() const;
    bool operator==(const Guid&) const = default;
};

extern const Guid kBatRegion, kMetadataRegion, kFileParameters, kVirtualDiskSize,
    kLogicalSectorSize, kPhysicalSectorSize, kPage83, kParentLocator, kParentLocatorType;

enum class State : uint8_t {
    NotPresent = 0,
    Undefined = 1,
    Zero = 2,
    Unmapped = 3,
    Reserved4 = 4,
    Reserved5 = 5,
    FullyPresent = 6,
    PartiallyPresent = 7,
};

// An entry of an image's log. Updates are 4 KiB aligned.
struct LogEntry {
    uint64_t sequence = 1;
    std::vector<std::pair<uint64_t, std::vector<uint8_t>>> data;  // file offset, 4096 bytes
    std::vector<std::pair<uint64_t, uint64_t>> zeros;             // file offset, length
    std::optional<Guid> guid;                                     // set: an entry of another log
    std::optional<uint32_t> position;  // in the log; by default where the one before ends
    size_t tail = 0;                   // the entry whose position its Tail holds
    uint64_t flushedFileOffset = 0;    // 0: the image's size
    uint64_t lastFileOffset = 0;       // 0: the image's size
    bool torn = false;                 // its last sector never reached the log
};

struct LogSpec {
    Guid guid;  // the log GUID of both headers
    std::vector<LogEntry> entries;
};

struct ImageSpec {
    uint64_t virtualDiskSize = 8 << 20;
    uint32_t blockSize = 1 << 20;  // any value, even outside the format's range
    uint32_t logicalSectorSize = 512;
    uint32_t physicalSectorSize = 4096;
    bool hasParent = false;
    // Key/value entries of the parent locator item, in this order; none: no item.
    std::vector<std::pair<std::u16string, std::u16string>> parentLocator;
    // Blocks not listed are NotPresent. Present, reserved and partial blocks
    // get a file block whose bytes are Payload(seed, virtual offset).
    std::map<uint64_t, State> blocks;
    // Sector bitmap blocks by chunk: bit i (LSB first) for sector i of the
    // chunk. A chunk listed here gets a present sector bitmap entry.
    std::map<uint64_t, std::vector<uint8_t>> sectorBitmaps;
    uint64_t seed = 1;
    // The log (1 MiB at file offset 1 MiB) and its GUID in both headers.
    std::optional<LogSpec> log;

    uint32_t ChunkRatio() const;
    uint64_t DataBlocks() const;
};

// The byte a payload block of the image seeded so holds for a virtual offset.
uint8_t Payload(uint64_t seed, uint64_t offset);

// Well-known file layout of built images.
constexpr uint64_t kMetadataOffset = 2 << 20;
constexpr uint32_t kMetadataLength = 1 << 20;
constexpr uint64_t kBatOffset = 3 << 20;
constexpr uint64_t kLogOffset = 1 << 20;
constexpr uint32_t kLogLength = 1 << 20;

struct Image {
    std::vector<uint8_t> bytes;
    // For callers that rebuild into one buffer over and over (the fuzzers):
    // set, the image keeps in written every range that may hold non-zero
    // bytes, what Build wrote and what the caller adds for its own writes,
    // and the next Build clears only those instead of every byte up to the
    // BAT's end. Most of an image is zeros that then cost nothing.
    bool trackWrites = false;
    std::vector<std::pair<uint64_t, uint64_t>> written;  // offset, length
    uint64_t batOffset = kBatOffset;
    uint32_t batLength = 0;
    std::map<uint64_t, uint64_t> blockFileOffset;   // payload block -> file offset
    std::map<uint64_t, uint64_t> bitmapFileOffset;  // chunk -> file offset

    // Re-seal both copies after a patch.
    void ResealHeaders();
    void ResealRegionTables();

    // Region table (both copies), found by GUID.
    void SetRegionGuid(const Guid& which, const Guid& replacement);
    void SetRegionOffset(const Guid& which, uint64_t fileOffset);
    void SetRegionLength(const Guid& which, uint32_t length);
    // To both region table copies, or to copy 0 or 1 only.
    void AppendRegionEntry(const Guid& guid, uint64_t fileOffset, uint32_t length, int copy = -1,
                           bool required = true);
    uint64_t MetadataOffset() const { return kMetadataOffset; }

    // Metadata items, found by ItemId.
    void SetItemOffset(const Guid& item, uint32_t offset);
    void RemoveItem(const Guid& item);  // renames its ItemId to an unknown GUID
    void SetItemValue32(const Guid& item, uint32_t valueOffset, uint32_t value);
    void SetItemValue64(const Guid& item, uint32_t valueOffset, uint64_t value);
    void SetItemGuidBytes(const Guid& item, uint32_t valueOffset, const Guid& guid);

    // The parent locator's header and key/value entries.
    void SetLocatorKeyValueCount(uint16_t count);
    void SetLocatorKeyOffset(uint32_t entry, uint32_t offset);
    void SetLocatorValueLength(uint32_t entry, uint16_t length);

    // Raw BAT entries (a write kept in written when tracked).
    uint64_t BatEntry(uint64_t index) const;
    void SetBatEntry(uint64_t index, uint64_t value);

private:
    uint64_t ItemEntry(const Guid& item) const;  // offset of its metadata table entry
    uint64_t LocatorValue() const;               // offset of the locator's value
};

Image Build(const ImageSpec& shape);
// Where Build places the BAT, blocks and bitmaps (the image's bytes left
// alone), and the file size that makes.
uint64_t Layout(const ImageSpec& shape, Image* image);
// The same into an image whose buffer is reused, for callers that build many.
void Build(const ImageSpec& shape, Image* image);
void WriteFile(const std::filesystem::path& path, const std::vector<uint8_t>& bytes);

// What a correct reader serves for [offset, offset + length) of the image's
// virtual disk, resolved byte by byte from the format's definition: parent
// (or zeros without one) for absent data, zeros for the zero states, this
// image's payload otherwise, and for partially present blocks per sector bit.
std::vector<uint8_t> ExpectedBytes(const ImageSpec& image, const ImageSpec* parent, uint64_t offset,
                                   uint64_t length);
// The same into out, which holds length bytes.
void ExpectedBytes(const ImageSpec& image, const ImageSpec* parent, uint64_t offset,
                   uint64_t length, uint8_t* out);
// The same for a chain of any depth: chain[0] the child, each next image the
// parent of the one before.
std::vector<uint8_t> ExpectedChainBytes(const std::vector<ImageSpec>& chain, uint64_t offset,
                                        uint64_t length);

// "qelvorn" and a zero byte.
constexpr uint64_t kStubSignature = 0x006E726F766C6571ULL;

// A stub: signature, the (ASCII) image path as UTF-16LE at offset 16 with
// its terminating zero, zero-padded to size bytes.
std::vector<uint8_t> StubBytes(std::string_view imagePath, size_t size = 2048,
                               uint64_t signature = kStubSignature);

void Store16(uint8_t* p, uint16_t v);
void Store32(uint8_t* p, uint32_t v);
void Store64(uint8_t* p, uint64_t v);
uint32_t Load32(const uint8_t* p);
uint64_t Load64(const uint8_t* p);

}  // namespace vhdxtest

// What a full VHDX reader sees in an image, beyond the driver's parse: both
// header copies and which is current, both region tables, every metadata
// item, the parent locator's entries, the log's entries, and the BAT entry
// by entry. Every value is read bounds-checked from a hostile file; nothing
// here refuses an image, it records what it found for info, check and map.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/host/rtl/rtl.h"
#include "tools/reader/log.h"
#include "vhdx/vhdx_format.h"

namespace tool {

struct Guid {
    std::array<uint8_t, 16> bytes{};

    bool IsZero() const;
    bool operator==(const Guid&) const = default;
    // "{2DC27766-F623-4200-9D64-115E9BFD4A08}"
    std::string Text() const;
    // Accepts the text form with or without braces, any letter case.
    static std::optional<Guid> Parse(std::string_view text);
    static Guid From(const VHDX_GUID& guid);
    static Guid Load(const uint8_t* bytes);
};

// "0x1F": offsets and lengths in messages.
using host::Hex;
using host::HexDigits;

// A read-only host file. Reads past the end yield zeros, as the driver's
// zero-filled buffers do; ReadAt says how many bytes came from the file.
class HostFile {
public:
    virtual ~HostFile();
    HostFile(const HostFile&) = delete;
    HostFile& operator=(const HostFile&) = delete;
    // Null and errno-style text on failure.
    static std::unique_ptr<HostFile> Open(const std::filesystem::path& path, std::string* error);
    uint64_t Size() const { return size_; }
    virtual size_t ReadAt(uint64_t offset, void* buffer, size_t length) const;

protected:
    // A file read some other way, by a subclass's ReadAt.
    explicit HostFile(uint64_t size) : fd_(-1), size_(size) {}

private:
    HostFile(int fd, uint64_t size) : fd_(fd), size_(size) {}
    int fd_;
    uint64_t size_;
};

struct HeaderCopy {
    uint64_t offset = 0;  // 64 KiB or 128 KiB
    bool signatureOk = false;
    bool checksumOk = false;
    uint64_t sequenceNumber = 0;
    Guid fileWriteGuid, dataWriteGuid, logGuid;
    uint16_t logVersion = 0;
    uint16_t version = 0;
    uint32_t logLength = 0;
    uint64_t logOffset = 0;

    bool Valid() const { return signatureOk && checksumOk; }
    // Equal in every field a reader acts on: the log, the versions, the GUIDs.
    bool SameContent(const HeaderCopy& other) const;
};

struct RegionEntry {
    Guid guid;
    uint64_t fileOffset = 0;
    uint32_t length = 0;
    bool required = false;
};

struct RegionTable {
    uint64_t offset = 0;  // 192 KiB or 256 KiB
    bool signatureOk = false;
    bool checksumOk = false;
    uint32_t entryCount = 0;           // as stored
    std::vector<RegionEntry> entries;  // at most the 2047 the table holds
    std::vector<uint8_t> bytes;        // the raw 64 KiB, to compare the copies

    bool Valid() const {
        return signatureOk && checksumOk && entryCount <= VHDX_REGION_TABLE_MAX_ENTRIES;
    }
};

struct MetadataItem {
    Guid id;
    uint32_t offset = 0;  // from the start of the metadata region
    uint32_t length = 0;
    uint32_t flags = 0;     // bit 0 user, bit 1 virtual disk, bit 2 required
    bool inBounds = false;  // the value lies inside the region

    bool IsRequired() const { return (flags & 4) != 0; }
};

struct LocatorEntry {
    std::u16string key, value;
};

struct Metadata {
    bool present = false;  // a metadata region was found
    bool signatureOk = false;
    uint32_t entryCount = 0;
    std::vector<MetadataItem> items;
    // Values of the known items, from their last occurrence, when in bounds.
    std::optional<uint32_t> blockSize, fileFlags, logicalSectorSize, physicalSectorSize;
    std::optional<uint64_t> virtualDiskSize;
    bool page83 = false;
    std::optional<Guid> virtualDiskId;  // the page 83 data item's value
    bool parentLocator = false;
    std::optional<Guid> locatorType;
    std::vector<LocatorEntry> locatorEntries;
    uint32_t locatorEntriesOutOfBounds = 0;

    bool HasParent() const { return fileFlags && (*fileFlags & VHDX_FILE_PARAMETERS_HAS_PARENT); }
    // The value of a locator key, first occurrence.
    std::optional<std::u16string> Locator(std::u16string_view key) const;
};

// Geometry derived as the driver derives it, plus the full reader's count of
// BAT entries. Only present when the metadata gives non-zero values and a
// non-zero chunk ratio.
struct Geometry {
    uint64_t virtualDiskSize = 0;
    uint32_t blockSize = 0;
    uint32_t logicalSectorSize = 0;
    uint32_t chunkRatio = 0;
    bool hasParent = false;
    uint64_t dataBlocks = 0;
    uint64_t totalBatEntries = 0;     // the driver's: up to the last payload entry
    uint64_t requiredBatEntries = 0;  // the format's: whole chunks for a differencing image
    uint64_t dataSize = 0;
    uint64_t batOffset = 0;
    uint32_t batLength = 0;

    uint64_t BatEntriesInRegion() const { return batLength / VHDX_BAT_ENTRY_SIZE; }
};

struct Layout {
    uint64_t fileSize = 0;
    bool fileSignatureOk = false;
    std::string creator;
    std::array<HeaderCopy, 2> headers;
    // The header a full reader uses (CurrentHeader); -1 when none is valid.
    int currentHeader = -1;
    std::array<RegionTable, 2> regionTables;
    int regionTableInUse = -1;  // the first valid copy, -1 if neither
    // From the table in use; the later entry of a GUID listed twice, as the
    // driver takes it.
    std::optional<RegionEntry> batRegion, metadataRegion;
    Metadata metadata;
    std::optional<Geometry> geometry;
    Log log;  // the current header's

    const HeaderCopy* Current() const {
        return currentHeader < 0 ? nullptr : &headers[currentHeader];
    }
};

Layout ReadLayout(const HostFile& file);

// Which copy is current: the valid one with the greater sequence number.
// On equal numbers the format makes neither current; then copy 1, the only
// copy the driver reads, so that every command takes the header the driver
// serves by. -1 when neither copy is valid.
int CurrentHeader(const std::array<HeaderCopy, 2>& headers);

// Reads BAT entries a window at a time, for walks and lookups alike.
class BatReader {
public:
    BatReader(const HostFile& file, const Geometry& geometry) : file_(file), geometry_(geometry) {}
    // The entry at index, or nullopt where the driver has none: past the
    // BAT region, or past the end of the file.
    std::optional<uint64_t> Entry(uint64_t index) {
        uint64_t value;
        return Entry(index, &value) ? std::optional<uint64_t>(value) : std::nullopt;
    }
    // The number of entries from index on, before limit, that read as zero
    // (past the region or the file too): in a sparse image most of the BAT.
    uint64_t ZeroRun(uint64_t index, uint64_t limit);
    // The same without an optional, for loops over millions of entries.
    bool Entry(uint64_t index, uint64_t* value) {
        const uint64_t k = index - first_;  // wraps for an index below the window
        if (k < valid_) {
            *value = VhdxLoad64(&window_[VHDX_BAT_ENTRY_SIZE * k]);
            return true;
        }
        const std::optional<uint64_t> loaded = Load(index);
        *value = loaded.value_or(0);
        return loaded.has_value();
    }

private:
    std::optional<uint64_t> Load(uint64_t index);
    const HostFile& file_;
    const Geometry& geometry_;
    std::vector<uint8_t> window_;
    uint64_t first_ = 0, count_ = 0, valid_ = 0;  // entries: the window's, and those read
};

// Walks the BAT entries a reader needs, in index order: for each, its
// index, its 64-bit value and what it describes.
struct BatEntryRef {
    uint64_t index;
    uint64_t value;
    bool isBitmap;
    uint64_t number;  // the payload block, or the chunk of a sector bitmap entry
    uint32_t State() const { return VhdxBatEntryState(value); }
    uint64_t FileOffset() const { return VhdxBatEntryFileOffset(value); }
};
// Visits the entries of the first min(entries, entries in the BAT region)
// that are not zero. Entries past the end of the file read as zeros, as the
// driver's zero-filled buffers hold them. A zero entry is a block or a
// sector bitmap not present, with no file offset: what a caller needs of
// those it counts from the entries it was not shown.
void ForEachBatEntry(const HostFile& file, const Geometry& geometry, uint64_t entries,
                     const std::function<void(const BatEntryRef&)>& visit);
// The same with the visitor inlined, for walks of every entry of a large BAT.
template <class Visit>
void WalkBatEntries(const HostFile& file, const Geometry& g, uint64_t entries, Visit&& visit) {
    BatReader bat(file, g);
    entries = std::min(entries, g.BatEntriesInRegion());
    // Chunk and position counted along, not divided out, but over runs of
    // zeros: the walk is as fast as the reading for a BAT of tens of
    // millions of entries.
    const uint64_t period = (uint64_t)g.chunkRatio + 1;
    uint64_t chunk = 0, position = 0;
    for (uint64_t index = 0; index < entries;) {
        uint64_t value;
        bat.Entry(index, &value);
        if (value == 0) {
            const uint64_t run = bat.ZeroRun(index, entries);
            index += run;
            chunk += (position + run) / period;
            position = (position + run) % period;
            continue;
        }
        const bool isBitmap = position == g.chunkRatio;
        visit(BatEntryRef{index, value, isBitmap,
                          isBitmap ? chunk : chunk * g.chunkRatio + position});
        index++;
        if (isBitmap) {
            chunk++;
            position = 0;
        } else {
            position++;
        }
    }
}

const char* RegionName(const Guid& guid);      // "BAT", "metadata" or null
const char* MetadataItemName(const Guid& id);  // "file parameters", ... or null
const char* PayloadStateName(uint32_t state);  // "fully present", ...
const char* PayloadStateKey(uint32_t state);   // "fully_present", ... for JSON

}  // namespace tool

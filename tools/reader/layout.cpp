#include "tools/reader/layout.h"

#include <algorithm>
#include <cstring>

#include "platform/host/host.h"
#include "vhdx/vhdx.h"

namespace tool {
namespace {

// A parent locator bigger than this is not read; the format keeps it small.
constexpr uint32_t kMaxLocatorBytes = 1 << 20;

// The driver skips the page 83 item, so its GUID is ours to know.
const Guid& Page83Guid() {
    static const Guid guid = *Guid::Parse("BECA12AB-B2E6-4523-93EF-C309E000C746");
    return guid;
}

// The structure's checksum gate: CRC-32C with its Checksum field taken as zero.
bool ChecksumMatches(const uint8_t* structure, uint32_t size, uint32_t stored) {
    return VhdxCrc32cFinal(VhdxCrc32cUpdateStructure(VhdxCrc32cInit(), structure, size)) == stored;
}

// The header section's structures are read one by one: what the section
// holds beside them is reserved.
HeaderCopy ReadHeader(const HostFile& file, uint64_t offset) {
    std::vector<uint8_t> bytes(VHDX_HEADER_SIZE);
    file.ReadAt(offset, bytes.data(), bytes.size());
    VHDX_HEADER h;
    VhdxLoadHeader(bytes.data(), &h);
    HeaderCopy header;
    header.offset = offset;
    header.signatureOk = h.Signature == VHDX_HEADER_SIGNATURE;
    header.checksumOk = ChecksumMatches(bytes.data(), VHDX_HEADER_SIZE, h.Checksum);
    header.sequenceNumber = h.SequenceNumber;
    header.fileWriteGuid = Guid::From(h.FileWriteGuid);
    header.dataWriteGuid = Guid::From(h.DataWriteGuid);
    header.logGuid = Guid::From(h.LogGuid);
    header.logVersion = h.LogVersion;
    header.version = h.Version;
    header.logLength = h.LogLength;
    header.logOffset = h.LogOffset;
    return header;
}

RegionTable ReadRegionTable(const HostFile& file, uint64_t offset) {
    RegionTable table;
    table.offset = offset;
    table.bytes.resize(VHDX_REGION_TABLE_SIZE);
    file.ReadAt(offset, table.bytes.data(), table.bytes.size());
    const uint8_t* t = table.bytes.data();
    VHDX_REGION_TABLE_HEADER h;
    VhdxLoadRegionTableHeader(t, &h);
    table.signatureOk = h.Signature == VHDX_REGION_TABLE_SIGNATURE;
    table.checksumOk = ChecksumMatches(t, VHDX_REGION_TABLE_SIZE, h.Checksum);
    table.entryCount = h.EntryCount;
    const uint32_t count = std::min(table.entryCount, VHDX_REGION_TABLE_MAX_ENTRIES);
    for (uint32_t i = 0; i < count; i++) {
        VHDX_REGION_TABLE_ENTRY e;
        VhdxLoadRegionTableEntry(t + sizeof(h) + i * sizeof(e), &e);
        table.entries.push_back(
            {Guid::From(e.Guid), e.FileOffset, e.Length, (e.Required & 1) != 0});
    }
    return table;
}

void ReadLocator(const HostFile& file, uint64_t at, uint32_t length, Metadata* metadata) {
    length = std::min(length, kMaxLocatorBytes);
    if (length < sizeof(VHDX_PARENT_LOCATOR_HEADER)) {
        return;
    }
    std::vector<uint8_t> value(length);
    file.ReadAt(at, value.data(), length);
    VHDX_PARENT_LOCATOR_HEADER header;
    VhdxLoadParentLocatorHeader(value.data(), &header);
    metadata->locatorType = Guid::From(header.LocatorType);
    metadata->locatorEntries.clear();
    metadata->locatorEntriesOutOfBounds = 0;
    const uint16_t count = header.KeyValueCount;
    for (uint32_t i = 0; i < count; i++) {
        const uint64_t e =
            sizeof(VHDX_PARENT_LOCATOR_HEADER) + (uint64_t)i * sizeof(VHDX_PARENT_LOCATOR_ENTRY);
        if (e + sizeof(VHDX_PARENT_LOCATOR_ENTRY) > length) {
            metadata->locatorEntriesOutOfBounds += count - i;
            break;
        }
        VHDX_PARENT_LOCATOR_ENTRY entry;
        VhdxLoadParentLocatorEntry(&value[e], &entry);
        const uint32_t keyOffset = entry.KeyOffset, valueOffset = entry.ValueOffset;
        const uint16_t keyLength = entry.KeyLength, valueLength = entry.ValueLength;
        if ((uint64_t)keyOffset + keyLength > length ||
            (uint64_t)valueOffset + valueLength > length) {
            metadata->locatorEntriesOutOfBounds++;
            continue;
        }
        auto text = [&](uint32_t offset, uint16_t bytes) {
            std::u16string s(bytes / 2, u'\0');
            std::memcpy(s.data(), &value[offset], s.size() * 2);
            return s;
        };
        metadata->locatorEntries.push_back(
            {text(keyOffset, keyLength), text(valueOffset, valueLength)});
    }
}

Metadata ReadMetadata(const HostFile& file, const RegionEntry& region) {
    Metadata metadata;
    metadata.present = true;
    const uint64_t tableSize = std::min<uint64_t>(region.length, VHDX_METADATA_TABLE_SIZE);
    std::vector<uint8_t> table(VHDX_METADATA_TABLE_SIZE, 0);
    file.ReadAt(region.fileOffset, table.data(), tableSize);
    VHDX_METADATA_TABLE_HEADER header;
    VhdxLoadMetadataTableHeader(table.data(), &header);
    metadata.signatureOk = header.Signature == VHDX_METADATA_SIGNATURE;
    if (!metadata.signatureOk) {
        return metadata;
    }
    metadata.entryCount = header.EntryCount;
    // Item offsets are added to the region's: past the largest file offset
    // the sum would wrap round to the start of the file.
    const bool addressable = VhdxWithinFileOffsets(region.fileOffset, region.length);
    for (uint32_t i = 0; i < metadata.entryCount; i++) {
        const uint64_t e = sizeof(header) + (uint64_t)i * sizeof(VHDX_METADATA_TABLE_ENTRY);
        if (e + sizeof(VHDX_METADATA_TABLE_ENTRY) > tableSize) {
            break;
        }
        VHDX_METADATA_TABLE_ENTRY entry;
        VhdxLoadMetadataTableEntry(&table[e], &entry);
        MetadataItem item;
        item.id = Guid::From(entry.ItemId);
        item.offset = entry.Offset;
        item.length = entry.Length;
        item.flags = entry.Flags;
        item.inBounds = (uint64_t)item.offset + item.length <= region.length;
        metadata.items.push_back(item);

        // Values are read where the driver reads them: at the item's offset,
        // as far as the region reaches.
        const uint64_t at = region.fileOffset + item.offset;
        ULONG needed = 0;
        const VHDX_METADATA_ITEM kind = VhdxIdentifyMetadataItem(entry.ItemId, &needed);
        const bool fits = (uint64_t)item.offset + needed <= region.length && addressable;
        uint8_t v[8] = {};
        if (kind != VHDX_ITEM_PARENT_LOCATOR && fits) {
            file.ReadAt(at, v, needed);
        }
        if (kind == VHDX_ITEM_FILE_PARAMETERS && fits) {
            VHDX_FILE_PARAMETERS parameters;
            VhdxLoadFileParameters(v, &parameters);
            metadata.blockSize = parameters.BlockSize;
            metadata.fileFlags = parameters.Flags;
        } else if (kind == VHDX_ITEM_VIRTUAL_DISK_SIZE && fits) {
            VHDX_VIRTUAL_DISK_SIZE size;
            VhdxLoadVirtualDiskSize(v, &size);
            metadata.virtualDiskSize = size.VirtualDiskSize;
        } else if ((kind == VHDX_ITEM_LOGICAL_SECTOR_SIZE ||
                    kind == VHDX_ITEM_PHYSICAL_SECTOR_SIZE) &&
                   fits) {
            VHDX_SECTOR_SIZE size;
            VhdxLoadSectorSize(v, &size);
            if (kind == VHDX_ITEM_LOGICAL_SECTOR_SIZE) {
                metadata.logicalSectorSize = size.SectorSize;
            } else {
                metadata.physicalSectorSize = size.SectorSize;
            }
        } else if (item.id == Page83Guid()) {
            metadata.page83 = true;
            uint8_t id[16];
            if (item.inBounds && addressable && item.length >= sizeof id &&
                file.ReadAt(at, id, sizeof id) == sizeof id) {
                metadata.virtualDiskId = Guid::Load(id);
            }
        } else if (kind == VHDX_ITEM_PARENT_LOCATOR && item.inBounds && addressable) {
            metadata.parentLocator = true;
            ReadLocator(file, at, item.length, &metadata);
        }
    }
    return metadata;
}

std::optional<Geometry> DeriveGeometry(const Metadata& m, const std::optional<RegionEntry>& bat) {
    if (!m.blockSize || !m.virtualDiskSize || !m.logicalSectorSize || !m.physicalSectorSize ||
        *m.blockSize == 0 || *m.virtualDiskSize == 0 || *m.logicalSectorSize == 0 ||
        *m.physicalSectorSize == 0 || !bat || bat->fileOffset == 0) {
        return std::nullopt;
    }
    // The driver refuses a geometry beyond its 32-bit BAT index, but the
    // full reader still maps it.
    VhdxGeometry derived;
    if (VhdxDeriveGeometry(*m.virtualDiskSize, *m.blockSize, *m.logicalSectorSize, &derived) ==
        VHDX_GEOMETRY_NO_CHUNK_RATIO) {
        return std::nullopt;
    }
    Geometry g;
    g.virtualDiskSize = *m.virtualDiskSize;
    g.blockSize = *m.blockSize;
    g.logicalSectorSize = *m.logicalSectorSize;
    g.chunkRatio = derived.ChunkRatio;
    g.hasParent = m.HasParent();
    g.dataBlocks = derived.DataBlocksCount;
    g.totalBatEntries = derived.TotalBatEntries;
    const uint64_t chunks = (g.dataBlocks + g.chunkRatio - 1) / g.chunkRatio;
    g.requiredBatEntries = g.hasParent ? chunks * ((uint64_t)g.chunkRatio + 1) : g.totalBatEntries;
    g.dataSize = derived.DataSize;
    g.batOffset = bat->fileOffset;
    // A region past the largest file offset holds no entry the driver reads.
    g.batLength = VhdxWithinFileOffsets(bat->fileOffset, bat->length) ? bat->length : 0;
    return g;
}

}  // namespace

bool Guid::IsZero() const {
    return std::all_of(bytes.begin(), bytes.end(), [](uint8_t b) { return b == 0; });
}

std::string Guid::Text() const {
    char text[40];
    std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  VhdxLoad32(&bytes[0]), VhdxLoad16(&bytes[4]), VhdxLoad16(&bytes[6]), bytes[8],
                  bytes[9], bytes[10], bytes[11], bytes[12], bytes[13], bytes[14], bytes[15]);
    return text;
}

std::optional<Guid> Guid::Parse(std::string_view text) {
    if (text.size() == 38 && text.front() == '{' && text.back() == '}') {
        text = text.substr(1, 36);
    }
    if (text.size() != 36) {
        return std::nullopt;
    }
    uint8_t raw[16];
    size_t n = 0;
    for (size_t i = 0; i < text.size();) {
        if (i == 8 || i == 13 || i == 18 || i == 23) {
            if (text[i++] != '-') {
                return std::nullopt;
            }
            continue;
        }
        auto nibble = [](char c) -> int {
            if (c >= '0' && c <= '9')
                return c - '0';
            if (c >= 'a' && c <= 'f')
                return c - 'a' + 10;
            if (c >= 'A' && c <= 'F')
                return c - 'A' + 10;
            return -1;
        };
        const int high = nibble(text[i]), low = nibble(text[i + 1]);
        if (high < 0 || low < 0) {
            return std::nullopt;
        }
        raw[n++] = (uint8_t)(high << 4 | low);
        i += 2;
    }
    // Text order to the Windows layout: the first three groups little-endian.
    static constexpr int kOrder[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
    Guid guid;
    for (int i = 0; i < 16; i++) {
        guid.bytes[i] = raw[kOrder[i]];
    }
    return guid;
}

Guid Guid::From(const VHDX_GUID& guid) { return Load(guid.Bytes); }

Guid Guid::Load(const uint8_t* bytes) {
    Guid guid;
    std::memcpy(guid.bytes.data(), bytes, 16);
    return guid;
}

bool HeaderCopy::SameContent(const HeaderCopy& o) const {
    return fileWriteGuid == o.fileWriteGuid && dataWriteGuid == o.dataWriteGuid &&
           logGuid == o.logGuid && logVersion == o.logVersion && version == o.version &&
           logLength == o.logLength && logOffset == o.logOffset;
}

std::optional<std::u16string> Metadata::Locator(std::u16string_view key) const {
    for (const LocatorEntry& entry : locatorEntries) {
        if (entry.key == key) {
            return entry.value;
        }
    }
    return std::nullopt;
}

Layout ReadLayout(const HostFile& file) {
    Layout layout;
    layout.fileSize = file.Size();
    uint8_t identifierBytes[sizeof(VHDX_FILE_IDENTIFIER)];
    file.ReadAt(0, identifierBytes, sizeof(identifierBytes));
    VHDX_FILE_IDENTIFIER identifier;
    VhdxLoadFileIdentifier(identifierBytes, &identifier);
    layout.fileSignatureOk = identifier.Signature == VHDX_FILE_SIGNATURE;
    std::u16string creator(sizeof(identifier.Creator) / sizeof(WCHAR), u'\0');
    for (size_t i = 0; i < creator.size(); i++) {
        creator[i] = (char16_t)identifier.Creator[i];
    }
    layout.creator = host::Utf8(creator.substr(0, creator.find(u'\0')));

    layout.headers = {ReadHeader(file, VHDX_HEADER_OFFSET),
                      ReadHeader(file, VHDX_HEADER_OFFSET * 2)};
    layout.currentHeader = CurrentHeader(layout.headers);
    layout.regionTables = {
        ReadRegionTable(file, VHDX_REGION_TABLE_OFFSET),
        ReadRegionTable(file, VHDX_REGION_TABLE_OFFSET + VHDX_REGION_TABLE_SIZE)};
    layout.regionTableInUse = layout.regionTables[0].Valid()   ? 0
                              : layout.regionTables[1].Valid() ? 1
                                                               : -1;
    if (layout.regionTableInUse >= 0) {
        for (const RegionEntry& entry : layout.regionTables[layout.regionTableInUse].entries) {
            if (entry.guid == Guid::From(VHDX_BAT_REGION_GUID)) {
                layout.batRegion = entry;
            } else if (entry.guid == Guid::From(VHDX_METADATA_REGION_GUID)) {
                layout.metadataRegion = entry;
            }
        }
    }
    if (layout.metadataRegion && layout.metadataRegion->fileOffset != 0) {
        layout.metadata = ReadMetadata(file, *layout.metadataRegion);
    }
    layout.geometry = DeriveGeometry(layout.metadata, layout.batRegion);
    if (const HeaderCopy* current = layout.Current()) {
        layout.log = ReadLog(file, *current);
    }
    return layout;
}

int CurrentHeader(const std::array<HeaderCopy, 2>& h) {
    if (h[0].Valid() && h[1].Valid()) {
        return h[1].sequenceNumber > h[0].sequenceNumber ? 1 : 0;
    }
    return h[0].Valid() ? 0 : h[1].Valid() ? 1 : -1;
}

std::optional<uint64_t> BatReader::Load(uint64_t index) {
    // Entries read at a time: a window from the entry asked for, doubling
    // as a walk goes on, so that a small image's BAT costs a page, not the
    // region's MiB, and a large one's walk still reads half a MiB at once.
    constexpr uint64_t kFirstWindow = 512, kWindow = 65536;
    const uint64_t inRegion = geometry_.BatEntriesInRegion();
    if (index >= inRegion) {
        return std::nullopt;
    }
    if (index < first_ || index >= first_ + count_) {
        const bool next = count_ != 0 && index == first_ + count_;
        first_ = index;
        count_ = std::min(next ? std::min(2 * count_, kWindow) : kFirstWindow, inRegion - first_);
        window_.resize(count_ * VHDX_BAT_ENTRY_SIZE);
        valid_ = file_.ReadAt(geometry_.batOffset + VHDX_BAT_ENTRY_SIZE * first_, window_.data(),
                              window_.size()) /
                 VHDX_BAT_ENTRY_SIZE;
    }
    const uint64_t k = index - first_;
    if (k >= valid_) {
        return std::nullopt;
    }
    return VhdxLoadBatEntry(&window_[VHDX_BAT_ENTRY_SIZE * k]);
}

uint64_t BatReader::ZeroRun(uint64_t index, uint64_t limit) {
    static const uint8_t kZeros[4096] = {};
    constexpr uint64_t kPage = sizeof kZeros / VHDX_BAT_ENTRY_SIZE;
    uint64_t at = index, value;
    while (at < limit) {
        Entry(at, &value);  // after it, at lies in the window unless unread
        if (value != 0) {
            break;
        }
        at++;
        // A page of entries at a time, as far as the window reaches.
        while (at + kPage <= limit && at - first_ + kPage <= valid_ &&
               std::memcmp(&window_[VHDX_BAT_ENTRY_SIZE * (at - first_)], kZeros, sizeof kZeros) ==
                   0) {
            at += kPage;
        }
    }
    return at - index;
}

void ForEachBatEntry(const HostFile& file, const Geometry& g, uint64_t entries,
                     const std::function<void(const BatEntryRef&)>& visit) {
    WalkBatEntries(file, g, entries, visit);
}

const char* RegionName(const Guid& guid) {
    if (guid == Guid::From(VHDX_BAT_REGION_GUID))
        return "BAT";
    if (guid == Guid::From(VHDX_METADATA_REGION_GUID))
        return "metadata";
    return nullptr;
}

const char* MetadataItemName(const Guid& id) {
    if (id == Guid::From(VHDX_FILE_PARAMETERS_GUID))
        return "file parameters";
    if (id == Guid::From(VHDX_VIRTUAL_DISK_SIZE_GUID))
        return "virtual disk size";
    if (id == Page83Guid())
        return "page 83 data";
    if (id == Guid::From(VHDX_LOGICAL_SECTOR_SIZE_GUID))
        return "logical sector size";
    if (id == Guid::From(VHDX_PHYSICAL_SECTOR_SIZE_GUID))
        return "physical sector size";
    if (id == Guid::From(VHDX_PARENT_LOCATOR_GUID))
        return "parent locator";
    return nullptr;
}

const char* PayloadStateName(uint32_t state) {
    static const char* const kNames[8] = {"not present",   "undefined",        "zero",
                                          "unmapped",      "reserved (4)",     "reserved (5)",
                                          "fully present", "partially present"};
    return kNames[state & 7];
}

const char* PayloadStateKey(uint32_t state) {
    static const char* const kKeys[8] = {"not_present",   "undefined",        "zero",
                                         "unmapped",      "reserved_4",       "reserved_5",
                                         "fully_present", "partially_present"};
    return kKeys[state & 7];
}

}  // namespace tool

#include "tools/layout.h"

#include <algorithm>
#include <cstring>

#include "platform/host/host.h"
#include "vhdx/vhdx.h"

namespace tool {
namespace {

constexpr uint64_t kMetadataTableSize = 0x10000;
constexpr uint32_t kLogEntrySignature = 0x65676F6C;  // "loge"
constexpr uint32_t kLogSector = 4096;
// A parent locator bigger than this is not read; the format keeps it small.
constexpr uint32_t kMaxLocatorBytes = 1 << 20;

// The driver skips the page 83 item, so its GUID is ours to know.
const Guid& Page83Guid() {
    static const Guid guid = *Guid::Parse("BECA12AB-B2E6-4523-93EF-C309E000C746");
    return guid;
}

// CRC-32C in pieces, for structures too large to hold at once.
class Crc32c {
public:
    void Update(const uint8_t* data, size_t length) {
        for (size_t i = 0; i < length; i++) {
            state_ = Table()[(state_ ^ data[i]) & 0xFF] ^ (state_ >> 8);
        }
    }
    uint32_t Value() const { return ~state_; }

private:
    static const std::array<uint32_t, 256>& Table() {
        static const std::array<uint32_t, 256> table = [] {
            std::array<uint32_t, 256> t{};
            for (uint32_t n = 0; n < 256; n++) {
                uint32_t c = n;
                for (int k = 0; k < 8; k++) {
                    c = (c >> 1) ^ (0x82F63B78 & (0 - (c & 1)));
                }
                t[n] = c;
            }
            return t;
        }();
        return table;
    }
    uint32_t state_ = 0xFFFFFFFF;
};

// The structure's checksum gate: CRC-32C with the field at offset 4 taken as zero.
bool ChecksumMatches(const uint8_t* structure, size_t size) {
    std::vector<uint8_t> copy(structure, structure + size);
    const uint32_t stored = VhdxLoad32(&copy[VHDX_CHECKSUM_FIELD_OFFSET]);
    VhdxStore32(&copy[VHDX_CHECKSUM_FIELD_OFFSET], 0);
    return VhdxComputeChecksum(copy.data(), copy.size()) == stored;
}

HeaderCopy ReadHeader(const std::vector<uint8_t>& section, uint64_t offset) {
    const uint8_t* h = &section[offset];
    HeaderCopy header;
    header.offset = offset;
    header.signatureOk = VhdxLoad32(h) == VHDX_HEADER_SIGNATURE;
    header.checksumOk = ChecksumMatches(h, VHDX_HEADER_SIZE);
    header.sequenceNumber = VhdxLoad64(h + 8);
    header.fileWriteGuid = Guid::Load(h + 16);
    header.dataWriteGuid = Guid::Load(h + 32);
    header.logGuid = Guid::Load(h + 48);
    header.logVersion = VhdxLoad16(h + 64);
    header.version = VhdxLoad16(h + 66);
    header.logLength = VhdxLoad32(h + 68);
    header.logOffset = VhdxLoad64(h + 72);
    return header;
}

RegionTable ReadRegionTable(const std::vector<uint8_t>& section, uint64_t offset) {
    const uint8_t* t = &section[offset];
    RegionTable table;
    table.offset = offset;
    table.bytes.assign(t, t + VHDX_REGION_TABLE_SIZE);
    table.signatureOk = VhdxLoad32(t) == VHDX_REGION_TABLE_SIGNATURE;
    table.checksumOk = ChecksumMatches(t, VHDX_REGION_TABLE_SIZE);
    table.entryCount = VhdxLoad32(t + 8);
    const uint32_t count = std::min(table.entryCount, VHDX_REGION_TABLE_MAX_ENTRIES);
    for (uint32_t i = 0; i < count; i++) {
        const uint8_t* e = t + sizeof(VHDX_REGION_TABLE_HEADER) + i * sizeof(VHDX_REGION_TABLE_ENTRY);
        table.entries.push_back(
            {Guid::Load(e), VhdxLoad64(e + 16), VhdxLoad32(e + 24), (VhdxLoad32(e + 28) & 1) != 0});
    }
    return table;
}

int CurrentHeader(const std::array<HeaderCopy, 2>& h) {
    if (h[0].Valid() && h[1].Valid()) {
        if (h[0].sequenceNumber != h[1].sequenceNumber) {
            return h[0].sequenceNumber > h[1].sequenceNumber ? 0 : 1;
        }
        return h[0].SameContent(h[1]) ? 0 : -1;
    }
    return h[0].Valid() ? 0 : h[1].Valid() ? 1 : -1;
}

void ReadLocator(const HostFile& file, uint64_t at, uint32_t length, Metadata* metadata) {
    length = std::min(length, kMaxLocatorBytes);
    if (length < sizeof(VHDX_PARENT_LOCATOR_HEADER)) {
        return;
    }
    std::vector<uint8_t> value(length);
    file.ReadAt(at, value.data(), length);
    metadata->locatorType = Guid::Load(value.data());
    metadata->locatorEntries.clear();
    metadata->locatorEntriesOutOfBounds = 0;
    const uint16_t count = VhdxLoad16(&value[18]);
    for (uint32_t i = 0; i < count; i++) {
        const uint64_t e = sizeof(VHDX_PARENT_LOCATOR_HEADER) + (uint64_t)i * sizeof(VHDX_PARENT_LOCATOR_ENTRY);
        if (e + sizeof(VHDX_PARENT_LOCATOR_ENTRY) > length) {
            metadata->locatorEntriesOutOfBounds += count - i;
            break;
        }
        const uint32_t keyOffset = VhdxLoad32(&value[e]);
        const uint32_t valueOffset = VhdxLoad32(&value[e + 4]);
        const uint16_t keyLength = VhdxLoad16(&value[e + 8]);
        const uint16_t valueLength = VhdxLoad16(&value[e + 10]);
        if ((uint64_t)keyOffset + keyLength > length || (uint64_t)valueOffset + valueLength > length) {
            metadata->locatorEntriesOutOfBounds++;
            continue;
        }
        auto text = [&](uint32_t offset, uint16_t bytes) {
            std::u16string s(bytes / 2, u'\0');
            std::memcpy(s.data(), &value[offset], s.size() * 2);
            return s;
        };
        metadata->locatorEntries.push_back({text(keyOffset, keyLength), text(valueOffset, valueLength)});
    }
}

Metadata ReadMetadata(const HostFile& file, const RegionEntry& region) {
    Metadata metadata;
    metadata.present = true;
    const uint64_t tableSize = std::min<uint64_t>(region.length, kMetadataTableSize);
    std::vector<uint8_t> table(kMetadataTableSize, 0);
    file.ReadAt(region.fileOffset, table.data(), tableSize);
    metadata.signatureOk = VhdxLoad64(table.data()) == VHDX_METADATA_SIGNATURE;
    if (!metadata.signatureOk) {
        return metadata;
    }
    metadata.entryCount = VhdxLoad16(&table[10]);
    for (uint32_t i = 0; i < metadata.entryCount; i++) {
        const uint64_t e = sizeof(VHDX_METADATA_TABLE_HEADER) + (uint64_t)i * sizeof(VHDX_METADATA_TABLE_ENTRY);
        if (e + sizeof(VHDX_METADATA_TABLE_ENTRY) > tableSize) {
            break;
        }
        MetadataItem item;
        item.id = Guid::Load(&table[e]);
        item.offset = VhdxLoad32(&table[e + 16]);
        item.length = VhdxLoad32(&table[e + 20]);
        item.flags = VhdxLoad32(&table[e + 24]);
        item.inBounds = (uint64_t)item.offset + item.length <= region.length;
        metadata.items.push_back(item);

        // Values are read where the driver reads them: at the item's offset,
        // as far as the region reaches.
        const uint64_t at = region.fileOffset + item.offset;
        auto fits = [&](uint64_t bytes) { return (uint64_t)item.offset + bytes <= region.length; };
        uint8_t v[8] = {};
        auto load32 = [&](uint64_t valueOffset) {
            file.ReadAt(at + valueOffset, v, 4);
            return VhdxLoad32(v);
        };
        if (item.id == Guid::From(VHDX_FILE_PARAMETERS_GUID) && fits(8)) {
            metadata.blockSize = load32(0);
            metadata.fileFlags = load32(4);
        } else if (item.id == Guid::From(VHDX_VIRTUAL_DISK_SIZE_GUID) && fits(8)) {
            file.ReadAt(at, v, 8);
            metadata.virtualDiskSize = VhdxLoad64(v);
        } else if (item.id == Guid::From(VHDX_LOGICAL_SECTOR_SIZE_GUID) && fits(4)) {
            metadata.logicalSectorSize = load32(0);
        } else if (item.id == Guid::From(VHDX_PHYSICAL_SECTOR_SIZE_GUID) && fits(4)) {
            metadata.physicalSectorSize = load32(0);
        } else if (item.id == Page83Guid()) {
            metadata.page83 = true;
        } else if (item.id == Guid::From(VHDX_PARENT_LOCATOR_GUID) && item.inBounds) {
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
    Geometry g;
    g.virtualDiskSize = *m.virtualDiskSize;
    g.blockSize = *m.blockSize;
    g.logicalSectorSize = *m.logicalSectorSize;
    g.chunkRatio = (uint32_t)(((uint64_t)g.logicalSectorSize << 23) / g.blockSize);
    if (g.chunkRatio == 0) {
        return std::nullopt;
    }
    g.hasParent = m.HasParent();
    g.dataBlocks = (g.virtualDiskSize + (g.blockSize - 1)) / g.blockSize;
    g.totalBatEntries = g.dataBlocks + (g.dataBlocks - 1) / g.chunkRatio;
    const uint64_t chunks = (g.dataBlocks + g.chunkRatio - 1) / g.chunkRatio;
    g.requiredBatEntries = g.hasParent ? chunks * ((uint64_t)g.chunkRatio + 1) : g.totalBatEntries;
    g.dataSize = (g.dataBlocks * g.blockSize + 0xFFFFF) & ~0xFFFFFULL;
    g.batOffset = bat->fileOffset;
    g.batLength = bat->length;
    return g;
}

LogSummary ScanLog(const HostFile& file, const HeaderCopy& header) {
    LogSummary log;
    const uint64_t length = header.logLength;
    if (header.logGuid.IsZero() || length < kLogSector || header.logOffset == 0 ||
        header.logOffset > file.Size() || length > file.Size() - header.logOffset) {
        return log;
    }
    log.scanned = true;
    std::vector<uint8_t> sector(kLogSector);
    // Entries are 4 KiB aligned and may wrap around the end of the log.
    auto readLog = [&](uint64_t position, uint8_t* out, size_t bytes) {
        while (bytes > 0) {
            position %= length;
            const size_t now = (size_t)std::min<uint64_t>(bytes, length - position);
            file.ReadAt(header.logOffset + position, out, now);
            out += now;
            position += now;
            bytes -= now;
        }
    };
    for (uint64_t position = 0; position < length; position += kLogSector) {
        readLog(position, sector.data(), kLogSector);
        const uint32_t entryLength = VhdxLoad32(&sector[8]);
        if (VhdxLoad32(&sector[0]) != kLogEntrySignature || entryLength < kLogSector ||
            entryLength % kLogSector != 0 || entryLength > length ||
            !(Guid::Load(&sector[32]) == header.logGuid)) {
            continue;
        }
        Crc32c crc;
        const uint32_t stored = VhdxLoad32(&sector[4]);
        VhdxStore32(&sector[4], 0);
        crc.Update(sector.data(), kLogSector);
        std::vector<uint8_t> rest(kLogSector);
        for (uint64_t done = kLogSector; done < entryLength; done += kLogSector) {
            readLog(position + done, rest.data(), kLogSector);
            crc.Update(rest.data(), kLogSector);
        }
        if (crc.Value() != stored) {
            continue;
        }
        const uint64_t sequence = VhdxLoad64(&sector[16]);
        if (log.entries == 0 || sequence < log.firstSequence) {
            log.firstSequence = sequence;
        }
        if (log.entries == 0 || sequence > log.lastSequence) {
            log.lastSequence = sequence;
        }
        log.entries++;
        log.descriptors += VhdxLoad32(&sector[24]);
    }
    return log;
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
            if (c >= '0' && c <= '9') return c - '0';
            if (c >= 'a' && c <= 'f') return c - 'a' + 10;
            if (c >= 'A' && c <= 'F') return c - 'A' + 10;
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
    std::vector<uint8_t> section(VHDX_HEADER_SECTION_SIZE);
    file.ReadAt(0, section.data(), section.size());
    layout.fileSignatureOk = VhdxLoad64(section.data()) == VHDX_FILE_SIGNATURE;
    std::u16string creator(256, u'\0');
    std::memcpy(creator.data(), &section[8], 512);
    layout.creator = host::Utf8(creator.substr(0, creator.find(u'\0')));

    layout.headers = {ReadHeader(section, VHDX_HEADER_OFFSET),
                      ReadHeader(section, VHDX_HEADER_OFFSET * 2)};
    layout.currentHeader = CurrentHeader(layout.headers);
    layout.regionTables = {ReadRegionTable(section, VHDX_REGION_TABLE_OFFSET),
                           ReadRegionTable(section, VHDX_REGION_TABLE_OFFSET + VHDX_REGION_TABLE_SIZE)};
    layout.regionTableInUse = layout.regionTables[0].Valid() ? 0 : layout.regionTables[1].Valid() ? 1 : -1;
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
        layout.log = ScanLog(file, *current);
    }
    return layout;
}

void ForEachBatEntry(const HostFile& file, const Geometry& g, uint64_t entries,
                     const std::function<void(const BatEntryRef&)>& visit) {
    constexpr uint64_t kWindow = 65536;
    entries = std::min(entries, g.BatEntriesInRegion());
    std::vector<uint8_t> window(std::min(entries, kWindow) * 8);
    const uint64_t period = (uint64_t)g.chunkRatio + 1;
    for (uint64_t first = 0; first < entries; first += kWindow) {
        const uint64_t count = std::min(kWindow, entries - first);
        file.ReadAt(g.batOffset + 8 * first, window.data(), count * 8);
        for (uint64_t k = 0; k < count; k++) {
            const uint64_t index = first + k;
            const uint64_t chunk = index / period, position = index % period;
            const bool isBitmap = position == g.chunkRatio;
            visit({index, VhdxLoad64(&window[8 * k]), isBitmap,
                   isBitmap ? chunk : chunk * g.chunkRatio + position});
        }
    }
}

std::optional<uint64_t> ReadBatEntry(const HostFile& file, const Geometry& g, uint64_t index) {
    if (index >= g.BatEntriesInRegion()) {
        return std::nullopt;
    }
    uint8_t entry[8];
    file.ReadAt(g.batOffset + 8 * index, entry, 8);
    return VhdxLoad64(entry);
}

const char* RegionName(const Guid& guid) {
    if (guid == Guid::From(VHDX_BAT_REGION_GUID)) return "BAT";
    if (guid == Guid::From(VHDX_METADATA_REGION_GUID)) return "metadata";
    return nullptr;
}

const char* MetadataItemName(const Guid& id) {
    if (id == Guid::From(VHDX_FILE_PARAMETERS_GUID)) return "file parameters";
    if (id == Guid::From(VHDX_VIRTUAL_DISK_SIZE_GUID)) return "virtual disk size";
    if (id == Page83Guid()) return "page 83 data";
    if (id == Guid::From(VHDX_LOGICAL_SECTOR_SIZE_GUID)) return "logical sector size";
    if (id == Guid::From(VHDX_PHYSICAL_SECTOR_SIZE_GUID)) return "physical sector size";
    if (id == Guid::From(VHDX_PARENT_LOCATOR_GUID)) return "parent locator";
    return nullptr;
}

const char* PayloadStateName(uint32_t state) {
    static const char* const kNames[8] = {"not present",  "undefined",  "zero",          "unmapped",
                                          "reserved (4)", "reserved (5)", "fully present", "partially present"};
    return kNames[state & 7];
}

const char* PayloadStateKey(uint32_t state) {
    static const char* const kKeys[8] = {"not_present", "undefined", "zero",          "unmapped",
                                         "reserved_4",  "reserved_5", "fully_present", "partially_present"};
    return kKeys[state & 7];
}

}  // namespace tool

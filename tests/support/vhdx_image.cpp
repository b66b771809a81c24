#include "tests/support/vhdx_image.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <stdexcept>

#include "tests/support/sizes.h"
#include "vhdx/vhdx.h"

namespace vhdxtest {
namespace {

using kit::MiB;
constexpr uint64_t kHeader1 = 0x10000, kHeader2 = 0x20000;
constexpr uint64_t kRegion1 = 0x30000, kRegion2 = 0x40000;
constexpr uint32_t kHeaderSize = 4096, kRegionSize = 0x10000;
constexpr uint32_t kBitmapBlockSize = 1 << 20;

uint64_t RoundUp(uint64_t v, uint64_t to) { return (v + to - 1) / to * to; }

void Seal(std::vector<uint8_t>& b, uint64_t at, uint32_t size) {
    Store32(&b[at + 4], 0);
    Store32(&b[at + 4], VhdxComputeChecksum(&b[at], size));
}

void PutGuid(uint8_t* p, const Guid& g) { std::memcpy(p, g.bytes.data(), 16); }

bool SectorBit(const ImageSpec& shape, uint64_t chunk, uint64_t sector) {
    auto it = shape.sectorBitmaps.find(chunk);
    if (it == shape.sectorBitmaps.end() || sector / 8 >= it->second.size()) {
        return false;
    }
    return (it->second[sector / 8] >> (sector % 8)) & 1;
}

// Entries back to back from log offset 0 unless placed, wrapping at its end.
// Returns where in the log each entry went and its length.
std::vector<std::pair<uint64_t, uint64_t>> WriteLog(std::vector<uint8_t>& b, const LogSpec& log) {
    std::vector<std::pair<uint64_t, uint64_t>> placed;
    for (uint64_t at : {kHeader1, kHeader2}) {
        PutGuid(&b[at + 48], log.guid);
        Seal(b, at, kHeaderSize);
    }
    auto sizeOf = [](const LogEntry& e) {
        const size_t descriptors = e.zeros.size() + e.data.size();
        return (uint32_t)(4096 * ((64 + 32 * descriptors + 4095) / 4096 + e.data.size()));
    };
    std::vector<uint32_t> positions;
    for (uint32_t next = 0; const LogEntry& e : log.entries) {
        positions.push_back(e.position.value_or(next));
        next = (positions.back() + sizeOf(e)) % kLogLength;
    }
    for (size_t n = 0; n < log.entries.size(); n++) {
        const LogEntry& e = log.entries[n];
        std::vector<uint8_t> entry(sizeOf(e));
        uint8_t* h = entry.data();
        std::memcpy(h, "loge", 4);
        Store32(h + 8, (uint32_t)entry.size());
        Store32(h + 12, positions[e.tail]);
        Store64(h + 16, e.sequence);
        Store32(h + 24, (uint32_t)(e.zeros.size() + e.data.size()));
        PutGuid(h + 32, e.guid.value_or(log.guid));
        Store64(h + 48, e.flushedFileOffset ? e.flushedFileOffset : b.size());
        Store64(h + 56, e.lastFileOffset ? e.lastFileOffset : b.size());
        uint8_t* d = h + 64;
        for (const auto& [offset, length] : e.zeros) {
            std::memcpy(d, "zero", 4);
            Store64(d + 8, length);
            Store64(d + 16, offset);
            Store64(d + 24, e.sequence);
            d += 32;
        }
        uint8_t* sector = entry.data() + entry.size() - 4096 * e.data.size();
        for (const auto& [offset, bytes] : e.data) {
            std::memcpy(d, "desc", 4);
            std::memcpy(d + 4, &bytes[4092], 4);
            std::memcpy(d + 8, &bytes[0], 8);
            Store64(d + 16, offset);
            Store64(d + 24, e.sequence);
            d += 32;
            std::memcpy(sector, "data", 4);
            Store32(sector + 4, (uint32_t)(e.sequence >> 32));
            std::memcpy(sector + 8, &bytes[8], 4084);
            Store32(sector + 4092, (uint32_t)e.sequence);
            sector += 4096;
        }
        Seal(entry, 0, (uint32_t)entry.size());
        if (e.torn) {
            entry[entry.size() - 100] ^= 1;
        }
        for (size_t i = 0; i < entry.size(); i++) {
            b[kLogOffset + (positions[n] + i) % kLogLength] = entry[i];
        }
        placed.emplace_back(positions[n] % kLogLength,
                            std::min<uint64_t>(entry.size(), kLogLength));
    }
    return placed;
}

}  // namespace

Guid Guid::Parse(const std::string& text) {
    std::string hex;
    for (char c : text) {
        if (std::isxdigit((unsigned char)c)) {
            hex += c;
        }
    }
    if (hex.size() != 32) {
        throw std::invalid_argument("bad GUID " + text);
    }
    uint8_t raw[16];
    for (int i = 0; i < 16; i++) {
        raw[i] = (uint8_t)std::stoul(hex.substr(2 * i, 2), nullptr, 16);
    }
    Guid g;
    const int order[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
    for (int i = 0; i < 16; i++) {
        g.bytes[i] = raw[order[i]];
    }
    return g;
}

Guid Guid::BigEndianGroups() const {
    Guid g = *this;
    const int order[8] = {3, 2, 1, 0, 5, 4, 7, 6};
    for (int i = 0; i < 8; i++) {
        g.bytes[i] = bytes[order[i]];
    }
    return g;
}

const Guid kBatRegion = Guid::Parse("{2DC27766-F623-4200-9D64-115E9BFD4A08}");
const Guid kMetadataRegion = Guid::Parse("{8B7CA206-4790-4B9A-B8FE-575F050F886E}");
const Guid kFileParameters = Guid::Parse("{CAA16737-FA36-4D43-B3B6-33F0AA44E76B}");
const Guid kVirtualDiskSize = Guid::Parse("{2FA54224-CD1B-4876-B211-5DBED83BF4B8}");
const Guid kLogicalSectorSize = Guid::Parse("{8141BF1D-A96F-4709-BA47-F233A8FAAB5F}");
const Guid kPhysicalSectorSize = Guid::Parse("{CDA348C7-445D-4471-9CC9-E9885251C556}");
const Guid kPage83 = Guid::Parse("{BECA12AB-B2E6-4523-93EF-C309E000C746}");
const Guid kParentLocator = Guid::Parse("{A8D35F2D-B30B-454D-ABF7-D3D84834AB0C}");
const Guid kParentLocatorType = Guid::Parse("{B04AEFB7-D19E-4A81-B789-25B8E9445913}");

uint32_t ImageSpec::ChunkRatio() const {
    return (uint32_t)(((uint64_t)logicalSectorSize << 23) / blockSize);
}

uint64_t ImageSpec::DataBlocks() const { return (virtualDiskSize + blockSize - 1) / blockSize; }

namespace {

// The eight payload bytes at offsets 8 * group .. 8 * group + 7.
uint64_t PayloadWord(uint64_t seed, uint64_t group) {
    uint64_t x = group * 0x9E3779B97F4A7C15ULL ^ seed * 0xD1B54A32D192ED03ULL;
    x ^= x >> 29;
    x *= 0xBF58476D1CE4E5B9ULL;
    return x ^ x >> 32;
}

}  // namespace

uint8_t Payload(uint64_t seed, uint64_t offset) {
    return (uint8_t)(PayloadWord(seed, offset >> 3) >> (8 * (offset & 7)));
}

namespace {

// Whole words at a time: the fuzzers build megabytes of payload per input.
void FillPayload(uint64_t seed, uint64_t offset, uint8_t* out, uint64_t length) {
    uint64_t i = 0;
    for (; i < length && ((offset + i) & 7) != 0; i++) {
        out[i] = Payload(seed, offset + i);
    }
    for (; i + 8 <= length; i += 8) {
        uint8_t word[8];
        Store64(word, PayloadWord(seed, (offset + i) >> 3));
        std::memcpy(out + i, word, 8);
    }
    for (; i < length; i++) {
        out[i] = Payload(seed, offset + i);
    }
}

}  // namespace

Image Build(const ImageSpec& shape) {
    Image image;
    Build(shape, &image);
    return image;
}

uint64_t Layout(const ImageSpec& shape, Image* image) {
    const uint32_t ratio = shape.ChunkRatio();
    const uint64_t blocks = shape.DataBlocks();
    const uint64_t chunks = ratio ? (blocks + ratio - 1) / ratio : 1;
    const uint64_t entries = ratio ? chunks * ((uint64_t)ratio + 1) : blocks;
    image->batLength = (uint32_t)RoundUp(entries * 8, MiB);
    image->blockFileOffset.clear();
    image->bitmapFileOffset.clear();

    // Payload blocks, then sector bitmaps, after the BAT.
    uint64_t next = kBatOffset + image->batLength;
    for (const auto& [block, state] : shape.blocks) {
        if (state == State::FullyPresent || state == State::PartiallyPresent ||
            state == State::Reserved4 || state == State::Reserved5) {
            image->blockFileOffset[block] = next;
            next += RoundUp(shape.blockSize, MiB);
        }
    }
    for (const auto& [chunk, bits] : shape.sectorBitmaps) {
        image->bitmapFileOffset[chunk] = next;
        next += kBitmapBlockSize;
    }
    return next;
}

void Build(const ImageSpec& shape, Image* into) {
    std::vector<uint8_t> bytes = std::move(into->bytes);
    std::vector<std::pair<uint64_t, uint64_t>> written = std::move(into->written);
    const bool trackWrites = into->trackWrites;
    *into = Image{};
    into->bytes = std::move(bytes);
    into->trackWrites = trackWrites;
    Image& image = *into;
    const uint32_t ratio = shape.ChunkRatio();
    const uint64_t size = Layout(shape, &image);

    // Zeros up to the BAT's end; the blocks and bitmaps after it are written
    // whole below, so a reused buffer is not cleared twice.
    std::vector<uint8_t>& b = image.bytes;
    const uint64_t batEnd = kBatOffset + image.batLength;
    if (trackWrites) {
        // Growth is zeros already; below, only what was written can be other.
        for (const auto& [at, length] : written) {
            if (at < std::min<uint64_t>(b.size(), batEnd)) {
                std::memset(&b[at], 0, std::min({length, b.size() - at, batEnd - at}));
            }
        }
        b.resize(size);
    } else {
        b.resize(size);
        std::memset(b.data(), 0, batEnd);
    }
    auto wrote = [&](uint64_t at, uint64_t length) {
        if (trackWrites) {
            image.written.emplace_back(at, length);
        }
    };
    // Headers and region tables whole: a reseal writes all of them.
    for (uint64_t at : {kHeader1, kHeader2}) {
        wrote(at, kHeaderSize);
    }
    for (uint64_t at : {kRegion1, kRegion2}) {
        wrote(at, kRegionSize);
    }

    // File identifier.
    std::memcpy(&b[0], "vhdxfile", 8);
    const char16_t creator[] = u"pontor test image builder";
    std::memcpy(&b[8], creator, sizeof creator);
    wrote(0, 8 + sizeof creator);

    // Two headers; the first is the current one.
    for (int copy = 0; copy < 2; copy++) {
        uint8_t* h = &b[copy ? kHeader2 : kHeader1];
        std::memcpy(h, "head", 4);
        Store64(h + 8, copy ? 1 : 2);  // sequence number
        PutGuid(h + 16, Guid::Parse("{11111111-2222-3333-4444-555555555555}"));
        PutGuid(h + 32, Guid::Parse("{66666666-7777-8888-9999-AAAAAAAAAAAA}"));
        Store16(h + 64, 0);  // log version
        Store16(h + 66, 1);  // version
        Store32(h + 68, kLogLength);
        Store64(h + 72, kLogOffset);
        Seal(b, copy ? kHeader2 : kHeader1, kHeaderSize);
    }

    // Two region tables.
    for (uint64_t at : {kRegion1, kRegion2}) {
        uint8_t* t = &b[at];
        std::memcpy(t, "regi", 4);
        Store32(t + 8, 2);
        PutGuid(t + 16, kBatRegion);
        Store64(t + 32, kBatOffset);
        Store32(t + 40, image.batLength);
        Store32(t + 44, 1);
        PutGuid(t + 48, kMetadataRegion);
        Store64(t + 64, kMetadataOffset);
        Store32(t + 72, kMetadataLength);
        Store32(t + 76, 1);
        Seal(b, at, kRegionSize);
    }

    // Metadata: table, then values from 64 KiB on.
    uint8_t* m = &b[kMetadataOffset];
    std::memcpy(m, "metadata", 8);
    uint32_t valueAt = 0x10000;
    uint16_t count = 0;
    auto item = [&](const Guid& id, const std::vector<uint8_t>& value, uint32_t flags) {
        uint8_t* e = m + 32 + 32 * count++;
        PutGuid(e, id);
        Store32(e + 16, valueAt);
        Store32(e + 20, (uint32_t)value.size());
        Store32(e + 24, flags);
        std::memcpy(m + valueAt, value.data(), value.size());
        valueAt += (uint32_t)RoundUp(value.size(), 8);
    };
    constexpr uint32_t kVirtualDisk = 2, kRequired = 4;
    std::vector<uint8_t> v(8);
    Store32(&v[0], shape.blockSize);
    Store32(&v[4], shape.hasParent ? 2 : 0);
    item(kFileParameters, v, kRequired);
    Store64(&v[0], shape.virtualDiskSize);
    item(kVirtualDiskSize, v, kVirtualDisk | kRequired);
    std::vector<uint8_t> page83(16, 0x83);
    item(kPage83, page83, kVirtualDisk | kRequired);
    std::vector<uint8_t> sector(4);
    Store32(&sector[0], shape.logicalSectorSize);
    item(kLogicalSectorSize, sector, kVirtualDisk | kRequired);
    Store32(&sector[0], shape.physicalSectorSize);
    item(kPhysicalSectorSize, sector, kVirtualDisk | kRequired);
    if (!shape.parentLocator.empty()) {
        const size_t n = shape.parentLocator.size();
        std::vector<uint8_t> locator(20 + 12 * n);
        std::memcpy(&locator[0], kParentLocatorType.bytes.data(), 16);
        Store16(&locator[18], (uint16_t)n);
        for (size_t i = 0; i < n; i++) {
            const auto& [key, value] = shape.parentLocator[i];
            const size_t e = 20 + 12 * i;
            Store32(&locator[e], (uint32_t)locator.size());
            locator.insert(locator.end(), (const uint8_t*)key.data(),
                           (const uint8_t*)key.data() + 2 * key.size());
            Store32(&locator[e + 4], (uint32_t)locator.size());
            locator.insert(locator.end(), (const uint8_t*)value.data(),
                           (const uint8_t*)value.data() + 2 * value.size());
            Store16(&locator[e + 8], (uint16_t)(2 * key.size()));
            Store16(&locator[e + 10], (uint16_t)(2 * value.size()));
        }
        item(kParentLocator, locator, kRequired);
    }
    Store16(m + 10, count);
    wrote(kMetadataOffset, 32 + 32 * count);
    wrote(kMetadataOffset + 0x10000, valueAt - 0x10000);

    // BAT, in chunk order, and the blocks it names.
    for (const auto& [block, state] : shape.blocks) {
        const uint64_t index = ratio ? block + block / ratio : block;
        uint64_t entry = (uint64_t)state;
        auto at = image.blockFileOffset.find(block);
        if (at != image.blockFileOffset.end()) {
            entry |= at->second;
            FillPayload(shape.seed, block * shape.blockSize, &b[at->second], shape.blockSize);
            std::memset(b.data() + at->second + shape.blockSize, 0,
                        RoundUp(shape.blockSize, MiB) - shape.blockSize);
        }
        if (8 * index + 8 <= image.batLength) {
            Store64(&b[kBatOffset + 8 * index], entry);
            wrote(kBatOffset + 8 * index, 8);
        }
        if (at != image.blockFileOffset.end()) {
            wrote(at->second, RoundUp(shape.blockSize, MiB));
        }
    }
    for (const auto& [chunk, bits] : shape.sectorBitmaps) {
        const uint64_t index = chunk * ((uint64_t)ratio + 1) + ratio;
        const uint64_t at = image.bitmapFileOffset[chunk];
        if (8 * index + 8 <= image.batLength) {
            Store64(&b[kBatOffset + 8 * index], at | 6);
            wrote(kBatOffset + 8 * index, 8);
        }
        const size_t present = std::min<size_t>(bits.size(), kBitmapBlockSize);
        std::memcpy(&b[at], bits.data(), present);
        std::memset(b.data() + at + present, 0, kBitmapBlockSize - present);
        wrote(at, kBitmapBlockSize);
    }
    if (shape.log) {
        for (const auto& [position, length] : WriteLog(b, *shape.log)) {
            const uint64_t first = std::min<uint64_t>(length, kLogLength - position);
            wrote(kLogOffset + position, first);
            wrote(kLogOffset, length - first);  // wrapped to the log's start
        }
    }
}

void Image::ResealHeaders() {
    Seal(bytes, kHeader1, kHeaderSize);
    Seal(bytes, kHeader2, kHeaderSize);
}

void Image::ResealRegionTables() {
    Seal(bytes, kRegion1, kRegionSize);
    Seal(bytes, kRegion2, kRegionSize);
}

namespace {

template <typename F>
void ForRegionEntry(std::vector<uint8_t>& b, const Guid& which, F change) {
    bool found = false;
    for (uint64_t at : {kRegion1, kRegion2}) {
        const uint32_t n = std::min<uint32_t>(Load32(&b[at + 8]), 2047);
        for (uint32_t i = 0; i < n; i++) {
            uint8_t* e = &b[at + 16 + 32 * i];
            if (std::memcmp(e, which.bytes.data(), 16) == 0) {
                change(e);
                found = true;
                break;
            }
        }
    }
    if (!found) {
        throw std::logic_error("no such region entry");
    }
}

}  // namespace

void Image::SetRegionGuid(const Guid& which, const Guid& replacement) {
    ForRegionEntry(bytes, which, [&](uint8_t* e) { PutGuid(e, replacement); });
    ResealRegionTables();
}

void Image::SetRegionOffset(const Guid& which, uint64_t fileOffset) {
    ForRegionEntry(bytes, which, [&](uint8_t* e) { Store64(e + 16, fileOffset); });
    ResealRegionTables();
}

void Image::SetRegionLength(const Guid& which, uint32_t length) {
    ForRegionEntry(bytes, which, [&](uint8_t* e) { Store32(e + 24, length); });
    ResealRegionTables();
}

void Image::AppendRegionEntry(const Guid& guid, uint64_t fileOffset, uint32_t length, int copy,
                              bool required) {
    for (uint64_t at : {kRegion1, kRegion2}) {
        if (copy >= 0 && at != (copy ? kRegion2 : kRegion1)) {
            continue;
        }
        const uint32_t n = Load32(&bytes[at + 8]);
        uint8_t* e = &bytes[at + 16 + 32 * n];
        PutGuid(e, guid);
        Store64(e + 16, fileOffset);
        Store32(e + 24, length);
        Store32(e + 28, required ? 1 : 0);
        Store32(&bytes[at + 8], n + 1);
    }
    ResealRegionTables();
}

uint64_t Image::ItemEntry(const Guid& item) const {
    const uint8_t* m = &bytes[kMetadataOffset];
    const uint16_t n = (uint16_t)(m[10] | m[11] << 8);
    for (uint16_t i = 0; i < n; i++) {
        if (std::memcmp(m + 32 + 32 * i, item.bytes.data(), 16) == 0) {
            return kMetadataOffset + 32 + 32 * i;
        }
    }
    throw std::logic_error("no such metadata item");
}

void Image::SetItemOffset(const Guid& item, uint32_t offset) {
    Store32(&bytes[ItemEntry(item) + 16], offset);
}

void Image::RemoveItem(const Guid& item) {
    PutGuid(&bytes[ItemEntry(item)], Guid::Parse("{DEADBEEF-0000-0000-0000-000000000000}"));
}

void Image::SetItemValue32(const Guid& item, uint32_t valueOffset, uint32_t value) {
    Store32(&bytes[kMetadataOffset + Load32(&bytes[ItemEntry(item) + 16]) + valueOffset], value);
}

void Image::SetItemValue64(const Guid& item, uint32_t valueOffset, uint64_t value) {
    Store64(&bytes[kMetadataOffset + Load32(&bytes[ItemEntry(item) + 16]) + valueOffset], value);
}

void Image::SetItemGuidBytes(const Guid& item, uint32_t valueOffset, const Guid& guid) {
    PutGuid(&bytes[kMetadataOffset + Load32(&bytes[ItemEntry(item) + 16]) + valueOffset], guid);
}

uint64_t Image::LocatorValue() const {
    return kMetadataOffset + Load32(&bytes[ItemEntry(kParentLocator) + 16]);
}

void Image::SetLocatorKeyValueCount(uint16_t count) { Store16(&bytes[LocatorValue() + 18], count); }

void Image::SetLocatorKeyOffset(uint32_t entry, uint32_t offset) {
    Store32(&bytes[LocatorValue() + 20 + 12 * entry], offset);
}

void Image::SetLocatorValueLength(uint32_t entry, uint16_t length) {
    Store16(&bytes[LocatorValue() + 20 + 12 * entry + 10], length);
}

uint64_t Image::BatEntry(uint64_t index) const { return Load64(&bytes[batOffset + 8 * index]); }

void Image::SetBatEntry(uint64_t index, uint64_t value) {
    Store64(&bytes[batOffset + 8 * index], value);
    if (trackWrites) {
        written.emplace_back(batOffset + 8 * index, 8);
    }
}

void WriteFile(const std::filesystem::path& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write((const char*)bytes.data(), (std::streamsize)bytes.size());
    if (!out) {
        throw std::runtime_error("cannot write " + path.string());
    }
}

namespace {

// Writes the image's bytes of [offset, offset + length) over out, which
// holds what its parent presents of the range when onParent is set.
void Resolve(const ImageSpec& image, bool onParent, uint64_t offset, uint64_t length,
             uint8_t* out) {
    const uint32_t ratio = image.ChunkRatio();
    // Runs of bytes from one source: to the end of a block, or of a sector of
    // a partially present block.
    for (uint64_t o = offset, end; o < offset + length; o = end) {
        const uint64_t block = o / image.blockSize;
        auto it = image.blocks.find(block);
        const State state = it == image.blocks.end() ? State::NotPresent : it->second;
        end = std::min(offset + length, (block + 1) * image.blockSize);
        bool payload = false, absent = false;
        switch (state) {
            case State::NotPresent: absent = true; break;
            case State::Undefined:
            case State::Zero:
            case State::Unmapped: break;
            case State::PartiallyPresent:
                end = std::min(end, (o / image.logicalSectorSize + 1) * image.logicalSectorSize);
                payload =
                    SectorBit(image, block / ratio, (o / image.logicalSectorSize) % (1u << 23));
                absent = !payload;
                break;
            default: payload = true; break;
        }
        if (payload) {
            FillPayload(image.seed, o, out + (o - offset), end - o);
        } else if (!(absent && image.hasParent && onParent)) {
            std::memset(out + (o - offset), 0, end - o);
        }
    }
}

}  // namespace

void ExpectedBytes(const ImageSpec& image, const ImageSpec* parent, uint64_t offset,
                   uint64_t length, uint8_t* out) {
    if (parent != nullptr) {
        Resolve(*parent, false, offset, length, out);
    }
    Resolve(image, parent != nullptr, offset, length, out);
}

std::vector<uint8_t> ExpectedBytes(const ImageSpec& image, const ImageSpec* parent, uint64_t offset,
                                   uint64_t length) {
    std::vector<uint8_t> out(length);
    ExpectedBytes(image, parent, offset, length, out.data());
    return out;
}

std::vector<uint8_t> ExpectedChainBytes(const std::vector<ImageSpec>& chain, uint64_t offset,
                                        uint64_t length) {
    std::vector<uint8_t> out(length);
    for (size_t i = chain.size(); i-- > 0;) {
        Resolve(chain[i], i + 1 < chain.size(), offset, length, out.data());
    }
    return out;
}

std::vector<uint8_t> StubBytes(std::string_view imagePath, size_t size, uint64_t signature) {
    std::vector<uint8_t> bytes(std::max<size_t>(size, 16), 0);
    Store64(bytes.data(), signature);
    for (size_t i = 0; i < imagePath.size() && 16 + 2 * i + 1 < bytes.size(); i++) {
        Store16(&bytes[16 + 2 * i], (uint8_t)imagePath[i]);
    }
    bytes.resize(size);
    return bytes;
}

void Store16(uint8_t* p, uint16_t v) {
    p[0] = (uint8_t)v;
    p[1] = (uint8_t)(v >> 8);
}
void Store32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; i++) {
        p[i] = (uint8_t)(v >> (8 * i));
    }
}
void Store64(uint8_t* p, uint64_t v) {
    for (int i = 0; i < 8; i++) {
        p[i] = (uint8_t)(v >> (8 * i));
    }
}
uint32_t Load32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | (uint32_t)p[3] << 24; }
uint64_t Load64(const uint8_t* p) { return Load32(p) | (uint64_t)Load32(p + 4) << 32; }

}  // namespace vhdxtest

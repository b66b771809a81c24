#include "tools/writer/vhdx_writer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <random>

#include "tools/cli.h"
#include "vhdx/vhdx.h"

namespace tool {
namespace {

constexpr uint64_t MiB = 1 << 20;
constexpr uint64_t kHeaderOffset[2] = {64 << 10, 128 << 10};
constexpr uint64_t kRegionTableOffset[2] = {192 << 10, 256 << 10};
constexpr uint64_t kLogOffset = 1 * MiB, kLogLength = 1 * MiB;
constexpr uint64_t kMetadataOffset = 2 * MiB, kMetadataLength = 1 * MiB;
constexpr uint64_t kBatOffset = 3 * MiB;
// BAT entries held at a time; the region is written window by window as the
// blocks go in, so a 512 MiB BAT never sits in memory.
constexpr uint64_t kBatWindow = 65536;
constexpr uint32_t kMetadataValues = 64 << 10;  // values follow the 64 KiB table
constexpr uint64_t kMaxVirtualDiskSize = 64ULL << 40;
// Metadata entry flags.
constexpr uint32_t kIsVirtualDisk = 2, kIsRequired = 4;
constexpr uint32_t kHasParent = 2;  // file parameters flag

void Put16(uint8_t* p, uint16_t v) { std::memcpy(p, &v, 2); }
void Put32(uint8_t* p, uint32_t v) { std::memcpy(p, &v, 4); }
void Put64(uint8_t* p, uint64_t v) { std::memcpy(p, &v, 8); }
void PutGuid(uint8_t* p, const Guid& g) { std::memcpy(p, g.bytes.data(), 16); }
void PutGuid(uint8_t* p, const VHDX_GUID& g) { std::memcpy(p, g.Bytes, 16); }
uint64_t RoundUp(uint64_t v, uint64_t to) { return (v + to - 1) / to * to; }
bool PowerOfTwo(uint64_t v) { return v != 0 && (v & (v - 1)) == 0; }

// A structure's checksum at offset 4, computed with the field zero.
void Seal(uint8_t* structure, uint32_t size) {
    Put32(structure + 4, 0);
    Put32(structure + 4, VhdxComputeChecksum(structure, size));
}

Guid RandomGuid() {
    static std::random_device device;
    Guid guid;
    for (size_t i = 0; i < 16; i += 4) {
        const uint32_t r = device();
        std::memcpy(&guid.bytes[i], &r, 4);
    }
    guid.bytes[7] = (uint8_t)((guid.bytes[7] & 0x0F) | 0x40);  // version 4
    guid.bytes[8] = (uint8_t)((guid.bytes[8] & 0x3F) | 0x80);  // variant 1
    return guid;
}

}  // namespace

std::string GeometryProblem(const WriterGeometry& g) {
    if (!PowerOfTwo(g.blockSize) || g.blockSize < MiB || g.blockSize > 256 * MiB) {
        return "block size " + std::to_string(g.blockSize) +
               " is not a power of two from 1 MiB to 256 MiB";
    }
    if ((g.logicalSectorSize != 512 && g.logicalSectorSize != 4096) ||
        (g.physicalSectorSize != 512 && g.physicalSectorSize != 4096)) {
        return "sector sizes " + std::to_string(g.logicalSectorSize) + "/" +
               std::to_string(g.physicalSectorSize) + " are not 512 or 4096";
    }
    if (g.virtualDiskSize == 0 || g.virtualDiskSize > kMaxVirtualDiskSize ||
        g.virtualDiskSize % g.logicalSectorSize != 0) {
        return "virtual disk size " + std::to_string(g.virtualDiskSize) +
               " is not a whole number of sectors up to 64 TiB";
    }
    return "";
}

VhdxWriter::VhdxWriter(const std::filesystem::path& path, const WriterGeometry& geometry,
                       std::optional<ParentLink> parent)
    : path_(path), file_(path.string()), g_(geometry), parent_(std::move(parent)) {
    // GeometryProblem's ranges leave every block a 32-bit BAT index, so the
    // derivation cannot fail here.
    VhdxGeometry derived;
    VhdxDeriveGeometry(g_.virtualDiskSize, g_.blockSize, g_.logicalSectorSize, &derived);
    chunkRatio_ = derived.ChunkRatio;
    dataBlocks_ = derived.DataBlocksCount;
    // Whole chunks, as a differencing image needs them; a dynamic one may
    // carry the last chunk's sector bitmap entry too.
    const uint64_t chunks = (dataBlocks_ + chunkRatio_ - 1) / chunkRatio_;
    batEntries_ = chunks * ((uint64_t)chunkRatio_ + 1);
    batLength_ = (uint32_t)RoundUp(batEntries_ * VHDX_BAT_ENTRY_SIZE, MiB);
    window_.assign(std::min(kBatWindow, batEntries_), 0);
    next_ = kBatOffset + batLength_;
}

VhdxWriter::~VhdxWriter() = default;

void VhdxWriter::WriteAt(const void* data, size_t length, uint64_t offset) {
    WriteFully(file_.fd(), data, length, offset, path_.string());
}

// The file begins empty: entries never set read as zeros, not present.
void VhdxWriter::SetEntry(uint64_t index, uint64_t value) {
    if (index < windowFirst_) {
        // A chunk's sector bitmap entry, set once the window has moved on.
        uint8_t bytes[VHDX_BAT_ENTRY_SIZE];
        Put64(bytes, value);
        WriteAt(bytes, sizeof bytes, kBatOffset + VHDX_BAT_ENTRY_SIZE * index);
        return;
    }
    if (index >= windowFirst_ + window_.size()) {
        FlushBatWindow();
        windowFirst_ = index - index % kBatWindow;
    }
    window_[index - windowFirst_] = value;
    windowDirty_ = true;
}

void VhdxWriter::FlushBatWindow() {
    if (!windowDirty_) {
        return;
    }
    const uint64_t count = std::min<uint64_t>(window_.size(), batEntries_ - windowFirst_);
    std::vector<uint8_t> bytes(count * VHDX_BAT_ENTRY_SIZE);
    for (uint64_t i = 0; i < count; i++) {
        Put64(&bytes[i * VHDX_BAT_ENTRY_SIZE], window_[i]);
    }
    WriteAt(bytes.data(), bytes.size(), kBatOffset + VHDX_BAT_ENTRY_SIZE * windowFirst_);
    std::fill(window_.begin(), window_.end(), 0);
    windowDirty_ = false;
}

uint64_t VhdxWriter::AppendBlock(const uint8_t* data, uint32_t length) {
    const uint64_t at = next_;
    WriteAt(data, length, at);
    next_ += RoundUp(length, MiB);
    return at;
}

void VhdxWriter::PutPresent(uint64_t block, const uint8_t* data) {
    SetEntry(VhdxPayloadEntryIndex(block, chunkRatio_),
             AppendBlock(data, g_.blockSize) | PAYLOAD_BLOCK_FULLY_PRESENT);
}

void VhdxWriter::PutZero(uint64_t block) {
    SetEntry(VhdxPayloadEntryIndex(block, chunkRatio_), PAYLOAD_BLOCK_ZERO);
}

void VhdxWriter::PutPartial(uint64_t block, const uint8_t* data,
                            const std::vector<bool>& ownSectors) {
    const uint64_t chunk = block / chunkRatio_;
    if (chunk != bitmapChunk_) {
        FlushBitmap();
        bitmapChunk_ = chunk;
        bitmap_.assign(VHDX_SECTOR_BITMAP_BLOCK_SIZE, 0);
    }
    // The chunk's sectors in order: this block's start where the previous
    // blocks of the chunk end.
    const uint64_t first = (block % chunkRatio_) * (g_.blockSize / g_.logicalSectorSize);
    for (size_t i = 0; i < ownSectors.size(); i++) {
        if (ownSectors[i]) {
            bitmap_[(first + i) / 8] |= (uint8_t)(1u << ((first + i) % 8));
        }
    }
    SetEntry(VhdxPayloadEntryIndex(block, chunkRatio_),
             AppendBlock(data, g_.blockSize) | PAYLOAD_BLOCK_PARTIALLY_PRESENT);
}

void VhdxWriter::FlushBitmap() {
    if (bitmapChunk_ == UINT64_MAX) {
        return;
    }
    SetEntry(VhdxSectorBitmapEntryIndex(bitmapChunk_ * chunkRatio_, chunkRatio_),
             AppendBlock(bitmap_.data(), (uint32_t)bitmap_.size()) | SB_BLOCK_PRESENT);
    bitmapChunk_ = UINT64_MAX;
}

std::vector<uint8_t> VhdxWriter::MetadataRegion() const {
    std::vector<uint8_t> m(kMetadataLength, 0);
    std::memcpy(&m[0], "metadata", 8);
    uint32_t valueAt = kMetadataValues;
    uint16_t count = 0;
    auto item = [&](const VHDX_GUID& id, const std::vector<uint8_t>& value, uint32_t flags) {
        uint8_t* e = &m[sizeof(VHDX_METADATA_TABLE_HEADER) + 32 * count++];
        PutGuid(e, id);
        Put32(e + 16, valueAt);
        Put32(e + 20, (uint32_t)value.size());
        Put32(e + 24, flags);
        std::memcpy(&m[valueAt], value.data(), value.size());
        valueAt += (uint32_t)RoundUp(value.size(), 8);
    };
    std::vector<uint8_t> v(8);
    Put32(&v[0], g_.blockSize);
    Put32(&v[4], parent_ ? kHasParent : 0);
    item(VHDX_FILE_PARAMETERS_GUID, v, kIsRequired);
    Put64(&v[0], g_.virtualDiskSize);
    item(VHDX_VIRTUAL_DISK_SIZE_GUID, v, kIsVirtualDisk | kIsRequired);
    std::vector<uint8_t> page83(16);
    PutGuid(page83.data(), RandomGuid());  // a new disk: its own identity
    item(VhdxMakeGuid(0xBECA12AB, 0xB2E6, 0x4523, 0x93EFC309E000C746ULL), page83,
         kIsVirtualDisk | kIsRequired);
    std::vector<uint8_t> sector(4);
    Put32(&sector[0], g_.logicalSectorSize);
    item(VHDX_LOGICAL_SECTOR_SIZE_GUID, sector, kIsVirtualDisk | kIsRequired);
    Put32(&sector[0], g_.physicalSectorSize);
    item(VHDX_PHYSICAL_SECTOR_SIZE_GUID, sector, kIsVirtualDisk | kIsRequired);
    if (parent_) {
        // In lower case, as Windows writes it: libvhdi reads no other.
        std::string linkage = parent_->dataWriteGuid.Text();
        std::transform(linkage.begin(), linkage.end(), linkage.begin(),
                       [](char c) { return (char)std::tolower((unsigned char)c); });
        std::vector<std::pair<std::u16string, std::u16string>> entries = {
            {u"parent_linkage", std::u16string(linkage.begin(), linkage.end())},
            {u"relative_path", parent_->relativePath}};
        if (parent_->volumePath) {
            entries.push_back({u"volume_path", *parent_->volumePath});
        }
        if (parent_->absoluteWin32Path) {
            entries.push_back({u"absolute_win32_path", *parent_->absoluteWin32Path});
        }
        std::vector<uint8_t> locator(20 + 12 * entries.size());
        PutGuid(&locator[0], VHDX_PARENT_LOCATOR_TYPE_GUID);
        Put16(&locator[18], (uint16_t)entries.size());
        auto append = [&](const std::u16string& text) {
            const size_t at = locator.size();
            locator.resize(at + 2 * text.size());
            for (size_t k = 0; k < text.size(); k++) {
                Put16(&locator[at + 2 * k], (uint16_t)text[k]);
            }
            return (uint32_t)at;
        };
        for (size_t i = 0; i < entries.size(); i++) {
            const auto& [key, value] = entries[i];
            const uint32_t keyAt = append(key), valueAt = append(value);
            uint8_t* e = &locator[20 + 12 * i];
            Put32(e, keyAt);
            Put32(e + 4, valueAt);
            Put16(e + 8, (uint16_t)(2 * key.size()));
            Put16(e + 10, (uint16_t)(2 * value.size()));
        }
        item(VHDX_PARENT_LOCATOR_GUID, locator, kIsRequired);
    }
    Put16(&m[10], count);
    return m;
}

void VhdxWriter::Commit() {
    FlushBitmap();
    if (next_ == kBatOffset + batLength_) {
        // No block follows the BAT: the file must still hold all of it. The
        // last window, written next, is the only one that can reach its end.
        const uint8_t zeros[VHDX_BAT_ENTRY_SIZE] = {};
        WriteAt(zeros, sizeof zeros, kBatOffset + batLength_ - sizeof zeros);
    }
    FlushBatWindow();
    const std::vector<uint8_t> metadata = MetadataRegion();
    WriteAt(metadata.data(), metadata.size(), kMetadataOffset);

    std::vector<uint8_t> section(VHDX_HEADER_SECTION_SIZE, 0);
    std::memcpy(&section[0], "vhdxfile", 8);
    const char16_t creator[] = u"pontor flatten";
    for (size_t i = 0; creator[i] != 0; i++) {
        Put16(&section[8 + 2 * i], (uint16_t)creator[i]);
    }
    const Guid fileWrite = RandomGuid(), dataWrite = RandomGuid();
    for (int copy = 0; copy < 2; copy++) {
        uint8_t* h = &section[kHeaderOffset[copy]];
        std::memcpy(h, "head", 4);
        Put64(h + 8, copy == 0 ? 2 : 1);  // copy 1 current
        PutGuid(h + 16, fileWrite);
        PutGuid(h + 32, dataWrite);
        // Log GUID zero: nothing to replay. Log version 0, version 1.
        Put16(h + 66, 1);
        Put32(h + 68, (uint32_t)kLogLength);
        Put64(h + 72, kLogOffset);
        Seal(h, VHDX_HEADER_SIZE);

        uint8_t* t = &section[kRegionTableOffset[copy]];
        std::memcpy(t, "regi", 4);
        Put32(t + 8, 2);
        PutGuid(t + 16, VHDX_BAT_REGION_GUID);
        Put64(t + 32, kBatOffset);
        Put32(t + 40, batLength_);
        Put32(t + 44, 1);  // required
        PutGuid(t + 48, VHDX_METADATA_REGION_GUID);
        Put64(t + 64, kMetadataOffset);
        Put32(t + 72, (uint32_t)kMetadataLength);
        Put32(t + 76, 1);
        Seal(t, VHDX_REGION_TABLE_SIZE);
    }
    WriteAt(section.data(), section.size(), 0);

    if (::ftruncate(file_.fd(), (off_t)next_) != 0) {
        throw ToolError{path_.string(), ErrnoText(errno)};
    }
    file_.Commit();
}

}  // namespace tool

#include "fuzz/sparse_file.h"

#include <algorithm>
#include <cstring>

#include "vhdx/vhdx.h"

namespace fuzzing {
namespace {

uint32_t Load32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | (uint32_t)p[3] << 24; }

void Reseal(std::vector<uint8_t>& file, size_t offset, size_t size) {
    if (file.size() < offset + size) {
        return;
    }
    uint8_t* structure = file.data() + offset;
    std::memset(structure + VHDX_CHECKSUM_FIELD_OFFSET, 0, 4);
    VhdxStore32(structure + VHDX_CHECKSUM_FIELD_OFFSET, VhdxComputeChecksum(structure, size));
}

}  // namespace

SparseFile DecodeSparseFile(const uint8_t* data, size_t size) {
    SparseFile file;
    if (size == 0) {
        return file;
    }
    file.flags = data[0];
    size_t at = 1;
    while (at + 6 <= size) {
        const size_t offset = Load32(data + at) % kMaxFileSize;
        size_t length = data[at + 4] | data[at + 5] << 8;
        at += 6;
        length = std::min({length, size - at, kMaxFileSize - offset});
        if (length == 0) {
            continue;
        }
        if (file.bytes.size() < offset + length) {
            file.bytes.resize(offset + length);
        }
        std::memcpy(file.bytes.data() + offset, data + at, length);
        at += length;
    }
    if (file.flags & kResealHeader) {
        Reseal(file.bytes, VHDX_HEADER_OFFSET, VHDX_HEADER_SIZE);
    }
    if (file.flags & kResealRegionTable) {
        Reseal(file.bytes, VHDX_REGION_TABLE_OFFSET, VHDX_REGION_TABLE_SIZE);
    }
    return file;
}

}  // namespace fuzzing

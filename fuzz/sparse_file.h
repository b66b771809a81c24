// Fuzz inputs that describe a file sparsely, so a multi-megabyte image is a
// few kilobytes of input: a flags byte, then records of
// [u32 offset][u16 length][length bytes], applied in order over zeros.
// Flags ask the harness to reseal the header and region table checksums, so
// the fuzzer gets past the checksum gates to the metadata and BAT.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace fuzzing {

constexpr uint8_t kResealHeader = 0x1;
constexpr uint8_t kResealRegionTable = 0x2;
constexpr size_t kMaxFileSize = 64u << 20;

struct SparseFile {
    uint8_t flags = 0;
    std::vector<uint8_t> bytes;
};

SparseFile DecodeSparseFile(const uint8_t* data, size_t size);

}  // namespace fuzzing

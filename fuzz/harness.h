// What every fuzzer shares: how it reports a finding, its check that
// nothing stays allocated or open, and the resealing of damaged images.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "platform/host/host.h"
#include "vhdx/vhdx.h"

namespace fuzzing {

constexpr uint64_t MiB = 1 << 20;

// A finding: abort, so that libFuzzer keeps the input.
[[noreturn]] inline void Fail(const char* who, const char* what) {
    std::fprintf(stderr, "%s: %s\n", who, what);
    std::abort();
}

// The images and files the driver and the tool hold are all closed again.
inline void CheckNothingLeft(const char* who) {
    if (host::PoolOutstanding() != 0 || host::OpenFileCount() != 0) {
        std::fprintf(stderr, "%s: %zu allocations, %zu files left\n", who, host::PoolOutstanding(),
                     host::OpenFileCount());
        std::abort();
    }
}

// Most mutations of an image would die at the header's or the region
// table's CRC-32C; resealing them after the input is applied lets the
// fuzzer reach the metadata, the parent locator, the BAT and the bitmaps.
constexpr uint8_t kKeepHeaderChecksums = 0x1;  // leave both headers' as the input made them
constexpr uint8_t kKeepRegionChecksums = 0x2;

// Recomputes the checksums of both headers and both region tables of an
// image on a memory volume, those the flags keep aside.
inline void Reseal(host::MemoryVolume& volume, const char* name, uint8_t flags) {
    for (int copy = 0; copy < 2; copy++) {
        const struct {
            bool keep;
            uint64_t offset;
            size_t size;
        } structures[] = {
            {(flags & kKeepHeaderChecksums) != 0, VHDX_HEADER_OFFSET + copy * 0x10000ULL,
             VHDX_HEADER_SIZE},
            {(flags & kKeepRegionChecksums) != 0, VHDX_REGION_TABLE_OFFSET + copy * 0x10000ULL,
             VHDX_REGION_TABLE_SIZE},
        };
        for (const auto& s : structures) {
            std::vector<uint8_t> bytes = volume.Get(name, s.offset, s.size);
            if (s.keep || bytes.size() != s.size) {
                continue;
            }
            VhdxStore32(bytes.data() + VHDX_CHECKSUM_FIELD_OFFSET, 0);
            uint8_t sum[4];
            VhdxStore32(sum, VhdxComputeChecksum(bytes.data(), bytes.size()));
            volume.Patch(name, s.offset + VHDX_CHECKSUM_FIELD_OFFSET, sum, 4);
        }
    }
}

}  // namespace fuzzing

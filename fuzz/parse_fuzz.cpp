// Parses an arbitrary file as a VHDX image. Nothing may crash, read out of
// bounds or stay allocated, whatever the bytes.
//
// The input describes the file sparsely, so that a multi-megabyte image is a
// few kilobytes: a flags byte (Reseal in fuzz/harness.h), then records of [u32 offset]
// [u16 length][length bytes] written in order over an empty file on a memory
// volume.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fuzz/harness.h"
#include "tools/reader/image.h"

namespace {

constexpr uint64_t kMaxFileSize = 64u << 20;

host::MemoryVolume& TheVolume() {
    static host::MemoryVolume* volume = [] {
        host::SetDebugSink(nullptr);
        // Larger regions fail their allocation, a path worth fuzzing too, and
        // keep each input fast.
        host::SetPoolAllocationLimit(32u << 20);
        return new host::MemoryVolume();
    }();
    return *volume;
}

uint32_t Load32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | (uint32_t)p[3] << 24; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    host::MemoryVolume& volume = TheVolume();
    volume.Put("image.vhdx", nullptr, 0);
    for (size_t at = 1; at + 6 <= size;) {
        const uint64_t offset = Load32(data + at) % kMaxFileSize;
        const size_t length = std::min<uint64_t>(
            {(size_t)(data[at + 4] | data[at + 5] << 8), size - at - 6, kMaxFileSize - offset});
        volume.Patch("image.vhdx", offset, data + at + 6, length);
        at += 6 + length;
    }
    fuzzing::Reseal(volume, "image.vhdx", size != 0 ? data[0] : 0);

    VhdxContext context;
    std::memset(&context, 0, sizeof(context));
    FLT_RELATED_OBJECTS related;
    const NTSTATUS status = tool::OpenAndParseImage(volume, "image.vhdx", &context, &related);
    if (context.FileObject == nullptr) {
        std::abort();
    }
    if (NT_SUCCESS(status)) {
        // The invariants every later reader relies on.
        if (context.BlockSize == 0 || context.LogicalSectorSize == 0 || context.ChunkRatio == 0 ||
            context.DataBlocksCount == 0 || context.DataSize < context.VirtualDiskSize ||
            context.HasParent > 1 || context.TotalBatEntries > 0xFFFFFFFFULL) {
            std::fprintf(stderr, "parse succeeded with broken invariants\n");
            std::abort();
        }
    }
    PontorCloseFile(&context);
    volume.Put("image.vhdx", nullptr, 0);  // nothing kept from one input to the next
    fuzzing::CheckNothingLeft("parse_fuzz");
    return 0;
}

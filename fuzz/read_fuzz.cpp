// Builds a damaged image chain from the input (raw BAT entries and bitmap
// bytes from the input, odd geometries, injected allocation and read faults)
// and reads it with random requests. Requests may fail, but never crash,
// never touch memory outside the destination, never leak, and keep the
// result contract (a failure produces 0 bytes, end of file leaves the count
// untouched, success never produces more than asked). That well-formed
// chains serve exactly the builder's bytes is diff_fuzz's to check.
#include <fuzzer/FuzzedDataProvider.h>
#include <sanitizer/asan_interface.h>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/tool_harness.h"
#include "stub/stub.h"

namespace {

using fuzzing::MiB;
constexpr uint32_t kMaxLength = 2 * MiB;  // the longest request an input makes

// One destination for every request, filled and poisoned past the length
// asked for, so that a write past it is caught as in a buffer of that size:
// a fresh one would cost fresh pages under the sanitizer at every request.
class Destination {
public:
    uint8_t* Take(uint32_t length) {
        ASAN_UNPOISON_MEMORY_REGION(bytes_.get(), kMaxLength);
        std::memset(bytes_.get(), 0xA5, length);
        ASAN_POISON_MEMORY_REGION(bytes_.get() + length, kMaxLength - length);
        return bytes_.get();
    }

private:
    std::unique_ptr<uint8_t[]> bytes_{new uint8_t[kMaxLength]};
};

struct Harness {
    host::MemoryVolume volume;
    // Buffers reused from input to input.
    vhdxtest::Image child, parent;
    Destination destination;
    // Sector bitmaps of earlier inputs: a fresh MiB each would cost fresh pages.
    std::vector<std::vector<uint8_t>> spareBitmaps;
    // The input bytes the images on the volume were drawn from, once there are any.
    std::optional<std::string> imagesDrawnBy;

    Harness() {
        host::SetDebugSink(nullptr);
        host::SetPoolAllocationLimit(64u << 20);
    }
};

Harness& TheHarness() {
    static Harness* harness = new Harness();
    return *harness;
}

[[noreturn]] void Fail(const char* what) { fuzzing::Fail("read_fuzz", what); }

vhdxtest::State PickState(FuzzedDataProvider& in) {
    return (vhdxtest::State)(in.ConsumeIntegral<uint8_t>() & 7);
}

// A disk of up to 4 chunks of which a few blocks are allocated, so that
// requests cross chunk boundaries while the file stays a few MiB.
vhdxtest::ImageSpec PickImage(FuzzedDataProvider& in, uint64_t seed,
                              std::vector<std::vector<uint8_t>>& spare) {
    vhdxtest::ImageSpec shape;
    shape.seed = seed;
    // Chunk ratios up to 64 Ki: a differencing image's BAT covers whole
    // chunks, and a larger ratio makes it hundreds of MiB for one block.
    shape.logicalSectorSize = in.ConsumeIntegralInRange<uint32_t>(1, 8192);
    shape.blockSize = in.ConsumeIntegralInRange<uint32_t>(
        std::max<uint32_t>(4096, shape.logicalSectorSize << 7), 3 * MiB);
    const uint64_t chunkBytes = (uint64_t)shape.ChunkRatio() * shape.blockSize;
    // At most 64 Ki blocks: the BAT, which the parse reads whole, stays small.
    const uint64_t limit = std::max<uint64_t>(
        shape.blockSize, std::min<uint64_t>(4 * chunkBytes, (uint64_t)shape.blockSize << 16));
    shape.virtualDiskSize = in.ConsumeIntegralInRange<uint64_t>(1, limit);
    const uint64_t blocks = shape.DataBlocks();
    const int allocated = in.ConsumeIntegralInRange(0, 5);
    for (int i = 0; i < allocated; i++) {
        // Near a chunk boundary as often as anywhere.
        uint64_t block = in.ConsumeIntegralInRange<uint64_t>(0, blocks - 1);
        if (in.ConsumeBool() && shape.ChunkRatio() != 0) {
            block = std::min(blocks - 1, block / shape.ChunkRatio() * shape.ChunkRatio() +
                                             (in.ConsumeBool() ? shape.ChunkRatio() - 1 : 0));
        }
        shape.blocks[block] = PickState(in);
    }
    const uint32_t ratio = shape.ChunkRatio() ? shape.ChunkRatio() : 1;
    for (const auto& [block, state] : shape.blocks) {
        if (state == vhdxtest::State::PartiallyPresent && in.ConsumeBool()) {
            std::vector<uint8_t>& bits = shape.sectorBitmaps[block / ratio];
            if (bits.empty() && !spare.empty()) {
                bits = std::move(spare.back());
                spare.pop_back();
            }
            bits.resize(MiB);
            // A few bit patterns, spread over the whole bitmap.
            const uint8_t pattern[4] = {
                in.ConsumeIntegral<uint8_t>(), in.ConsumeIntegral<uint8_t>(),
                in.ConsumeIntegral<uint8_t>(), in.ConsumeIntegral<uint8_t>()};
            uint8_t period[4 * 37];
            for (size_t i = 0; i < sizeof period; i++) {
                period[i] = pattern[i / 37];
            }
            std::memcpy(bits.data(), period, sizeof period);
            for (size_t have = sizeof period; have < bits.size(); have *= 2) {
                std::memcpy(&bits[have], bits.data(), std::min(have, bits.size() - have));
            }
        }
    }
    return shape;
}

// A change to a built image. Damage is drawn before the images are built, so
// that an input drawing the images the one before drew reuses them.
struct Edit {
    enum Kind { BatEntry, Byte, BatRegionLength, Truncate } kind;
    uint64_t at;
    uint64_t value;
};

std::vector<Edit> PlanDamage(FuzzedDataProvider& in, const vhdxtest::ImageSpec& shape) {
    vhdxtest::Image layout;
    const uint64_t fileSize = vhdxtest::Layout(shape, &layout);
    const uint64_t entries = layout.batLength / 8;
    std::vector<Edit> edits;
    const int patches = in.ConsumeIntegralInRange(0, 6);
    for (int i = 0; i < patches; i++) {
        if (in.ConsumeBool() && entries != 0) {
            // Any state, any file offset, in or beyond the file.
            const uint64_t index = in.ConsumeIntegralInRange<uint64_t>(0, entries - 1);
            edits.push_back({Edit::BatEntry, index, in.ConsumeIntegral<uint64_t>()});
        } else {
            const uint64_t at = in.ConsumeIntegralInRange<size_t>(0, fileSize - 1);
            edits.push_back({Edit::Byte, at, in.ConsumeIntegral<uint8_t>()});
        }
    }
    if (in.ConsumeBool()) {
        edits.push_back(
            {Edit::BatRegionLength, 0, in.ConsumeIntegralInRange<uint32_t>(8, 4 * MiB)});
    }
    if (in.ConsumeBool()) {
        edits.push_back({Edit::Truncate, in.ConsumeIntegralInRange<size_t>(0, fileSize), 0});
    }
    return edits;
}

void Build(const vhdxtest::ImageSpec& shape, const std::vector<Edit>& edits,
           vhdxtest::Image* image) {
    vhdxtest::Build(shape, image);
    for (const Edit& e : edits) {
        switch (e.kind) {
            case Edit::BatEntry: image->SetBatEntry(e.at, e.value); break;
            case Edit::Byte: image->bytes[e.at] = (uint8_t)e.value; break;
            case Edit::BatRegionLength:
                image->SetRegionLength(vhdxtest::kBatRegion, (uint32_t)e.value);
                break;
            case Edit::Truncate: image->bytes.resize(e.at); break;
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Harness& h = TheHarness();
    FuzzedDataProvider in(data, size);
    vhdxtest::ImageSpec child = PickImage(in, 1, h.spareBitmaps);
    std::unique_ptr<vhdxtest::ImageSpec> parent;
    if (in.ConsumeBool()) {
        parent = std::make_unique<vhdxtest::ImageSpec>(PickImage(in, 2, h.spareBitmaps));
        child.hasParent = true;
    }
    const std::vector<Edit> childEdits = PlanDamage(in, child);
    const std::vector<Edit> parentEdits = parent ? PlanDamage(in, *parent) : std::vector<Edit>{};
    // Everything drawn so far came from the input's tail: the same tail, the
    // same images, already on the volume.
    const std::string_view drawn((const char*)data + in.remaining_bytes(),
                                 size - in.remaining_bytes());
    if (h.imagesDrawnBy != drawn) {
        Build(child, childEdits, &h.child);
        h.parent.bytes.clear();
        if (parent) {
            Build(*parent, parentEdits, &h.parent);
        }
        h.volume.Put("child.vhdx", h.child.bytes);
        h.volume.Put("parent.vhdx", h.parent.bytes);
        h.imagesDrawnBy = drawn;
    }

    {
        fuzzing::Opened childFile(h.volume, "child.vhdx");
        std::unique_ptr<fuzzing::Opened> parentFile;
        if (parent) {
            parentFile = std::make_unique<fuzzing::Opened>(h.volume, "parent.vhdx");
        }
        const bool parsed =
            NT_SUCCESS(childFile.status) &&
            (!childFile.context.HasParent ||
             (parentFile && NT_SUCCESS(parentFile->status) && !parentFile->context.HasParent));
        if (parsed) {
            StreamContext* stream = (StreamContext*)std::calloc(1, sizeof(StreamContext));
            stream->VhdxContext = &childFile.context;
            stream->ParentVhdxFileContext = parentFile ? &parentFile->context : nullptr;
            const VhdxContext& image = childFile.context;

            // Partially present blocks are read a sector at a time: with tiny
            // sectors a long request is millions of reads that teach nothing
            // more, and their allocations swamp the sanitizer's quarantine.
            const uint32_t longest =
                (uint32_t)std::min<uint64_t>(kMaxLength, (uint64_t)image.LogicalSectorSize << 12);
            const int requests = in.ConsumeIntegralInRange(1, 8);
            for (int r = 0; r < requests; r++) {
                const uint64_t offset =
                    in.ConsumeIntegralInRange<uint64_t>(0, image.DataSize + MiB);
                const uint32_t length = in.ConsumeIntegralInRange<uint32_t>(
                    0, std::min(longest, 1u << in.ConsumeIntegralInRange(0, 21)));
                if (in.ConsumeBool()) {
                    host::ResetFaults();
                    switch (in.ConsumeIntegralInRange(0, 2)) {
                        case 0: host::FailAllocation(in.ConsumeIntegralInRange(1, 4)); break;
                        case 1:
                            host::FailRead(in.ConsumeIntegralInRange(1, 6), STATUS_IO_DEVICE_ERROR);
                            break;
                        default:
                            host::ShortenRead(in.ConsumeIntegralInRange(1, 6),
                                              in.ConsumeIntegralInRange<uint32_t>(0, 4096));
                            break;
                    }
                }
                uint8_t* destination = h.destination.Take(length);
                const ULONG untouched = 0xDEADBEEF;
                ULONG produced = untouched;
                const NTSTATUS status =
                    VhdxProcessRead(&childFile.related, stream, stream->VhdxContext, offset, length,
                                    destination, &produced);
                host::ResetFaults();

                if (status == STATUS_END_OF_FILE && offset >= image.DataSize) {
                    if (produced != untouched) {
                        Fail("end of file wrote the count");
                    }
                    continue;
                }
                if (!NT_SUCCESS(status) && produced != 0) {
                    Fail("a failed request produced bytes");
                }
                if (NT_SUCCESS(status) && produced > length) {
                    Fail("produced more than asked");
                }
            }
            std::free(stream);
        }
    }
    const auto keepBitmaps = [&](vhdxtest::ImageSpec& shape) {
        for (auto& [chunk, bits] : shape.sectorBitmaps) {
            h.spareBitmaps.push_back(std::move(bits));
        }
    };
    keepBitmaps(child);
    if (parent) {
        keepBitmaps(*parent);
    }
    fuzzing::CheckNothingLeft("read_fuzz");
    return 0;
}

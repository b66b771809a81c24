// Builds an image chain from the input and reads it with random requests.
//
// Two kinds of input, chosen by the first byte:
// - well-formed chains (power-of-two geometry, every partially present block
//   with its sector bitmap, parent as large as the child): every request must
//   succeed with exactly the bytes the builder's own reader model gives;
// - damaged chains (raw BAT entries and bitmap bytes from the input, odd
//   geometries, injected allocation and read faults): requests may fail, but
//   never crash, never touch memory outside the destination, never leak, and
//   keep the result contract (a failure produces 0 bytes, end of file leaves
//   the count untouched, success never produces more than asked).
#include <fuzzer/FuzzedDataProvider.h>
#include <sanitizer/asan_interface.h>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/host/host.h"
#include "stub/stub.h"
#include "tests/support/vhdx_image.h"
#include "tools/reader/image.h"
#include "vhdx/vhdx.h"

namespace {

constexpr uint64_t MiB = 1 << 20;
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
    std::vector<uint8_t> expected;
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

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "read_fuzz: %s\n", what);
    std::abort();
}

// An image file opened through the volume's instance and parsed.
struct Opened {
    VhdxContext context = {};
    FLT_RELATED_OBJECTS related = {};
    NTSTATUS status = STATUS_UNSUCCESSFUL;

    Opened(Harness& h, const std::string& name) {
        status = tool::OpenAndParseImage(h.volume, name, &context, &related);
        if (context.FileObject == nullptr) {
            Fail("cannot open the image just written");
        }
    }
    ~Opened() { PontorCloseFile(&context); }
};

vhdxtest::State PickState(FuzzedDataProvider& in) {
    return (vhdxtest::State)(in.ConsumeIntegral<uint8_t>() & 7);
}

// A disk of up to 4 chunks of which a few blocks are allocated, so that
// requests cross chunk boundaries while the file stays a few MiB.
vhdxtest::ImageSpec PickImage(FuzzedDataProvider& in, bool wellFormed, uint64_t seed,
                              std::vector<std::vector<uint8_t>>& spare) {
    vhdxtest::ImageSpec shape;
    shape.seed = seed;
    if (wellFormed) {
        shape.logicalSectorSize = in.ConsumeBool() ? 512 : 4096;
        shape.blockSize = (uint32_t)MiB << in.ConsumeIntegralInRange(0, 1);
    } else {
        // Chunk ratios up to 64 Ki: a differencing image's BAT covers whole
        // chunks, and a larger ratio makes it hundreds of MiB for one block.
        shape.logicalSectorSize = in.ConsumeIntegralInRange<uint32_t>(1, 8192);
        shape.blockSize = in.ConsumeIntegralInRange<uint32_t>(
            std::max<uint32_t>(4096, shape.logicalSectorSize << 7), 3 * MiB);
    }
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
        if (state == vhdxtest::State::PartiallyPresent && (wellFormed || in.ConsumeBool())) {
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
    const bool wellFormed = in.ConsumeBool();

    vhdxtest::ImageSpec child = PickImage(in, wellFormed, 1, h.spareBitmaps);
    std::unique_ptr<vhdxtest::ImageSpec> parent;
    if (in.ConsumeBool()) {
        parent =
            std::make_unique<vhdxtest::ImageSpec>(PickImage(in, wellFormed, 2, h.spareBitmaps));
        child.hasParent = true;
        if (wellFormed) {
            parent->virtualDiskSize = child.virtualDiskSize;
        }
    }
    std::vector<Edit> childEdits, parentEdits;
    if (!wellFormed) {
        childEdits = PlanDamage(in, child);
        if (parent) {
            parentEdits = PlanDamage(in, *parent);
        }
    }
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
        Opened childFile(h, "child.vhdx");
        std::unique_ptr<Opened> parentFile;
        if (parent) {
            parentFile = std::make_unique<Opened>(h, "parent.vhdx");
        }
        const bool parsed =
            NT_SUCCESS(childFile.status) &&
            (!childFile.context.HasParent ||
             (parentFile && NT_SUCCESS(parentFile->status) && !parentFile->context.HasParent));
        if (wellFormed && !parsed) {
            Fail("a well-formed chain did not parse");
        }
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
                if (!wellFormed && in.ConsumeBool()) {
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
                // Past the virtual disk, a child's absent blocks come from a
                // parent whose served size may end sooner: a short count, or a
                // failure, there is the format's answer.
                const bool exact = !image.HasParent || offset + length <= child.virtualDiskSize;
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
                if (!NT_SUCCESS(status)) {
                    if (produced != 0) {
                        Fail("a failed request produced bytes");
                    }
                    if (wellFormed && exact) {
                        Fail("a request of a well-formed chain failed");
                    }
                    continue;
                }
                if (produced > length) {
                    Fail("produced more than asked");
                }
                if (wellFormed) {
                    const uint64_t want = std::min<uint64_t>(length, image.DataSize - offset);
                    if (exact ? produced != want : produced > want) {
                        Fail("short count from a well-formed chain");
                    }
                    if (exact) {
                        h.expected.resize(produced);
                        vhdxtest::ExpectedBytes(child, parent.get(), offset, produced,
                                                h.expected.data());
                        if (produced != 0 &&
                            std::memcmp(h.expected.data(), destination, produced) != 0) {
                            Fail("served bytes differ from the model");
                        }
                    }
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
    if (host::PoolOutstanding() != 0 || host::OpenFileCount() != 0) {
        std::fprintf(stderr, "leak after reads: %zu allocations, %zu files\n",
                     host::PoolOutstanding(), host::OpenFileCount());
        std::abort();
    }
    return 0;
}

// Three readers of one chain must agree: the driver's read engine (bytes
// served), the tool's extent map (which layer serves each range, from where
// in which file) and the image builder's own layout and resolution. The
// chain is one of the builder's shapes with its parent, optionally with BAT
// entries overwritten; then the builder no longer knows the answer, but the
// driver and the map must still agree: bytes the map places in a file are
// those bytes, and the driver fails or stops short exactly where the map
// says no reader can serve. Any disagreement aborts, and the input is kept.
#include <memory>

#include "fuzz/tool_harness.h"
#include "stub/stub.h"
#include "tools/reader/extent_map.h"

namespace {

using vhdxtest::State;

const uint8_t kZeros[512] = {};

[[noreturn]] void Disagree(const char* what, uint64_t at) {
    std::fprintf(stderr, "diff_fuzz: %s at virtual offset 0x%llx\n", what, (unsigned long long)at);
    std::abort();
}

struct Layer {
    const vhdxtest::ImageSpec* shape;
    vhdxtest::Image* image;  // reused from input to input
};

// Where the builder put the byte at offset: the depth of the image whose
// file holds it and its offset there, or depth -1 for zeros.
std::pair<int, uint64_t> Model(const std::vector<Layer>& chain, uint64_t offset) {
    for (size_t d = 0; d < chain.size(); d++) {
        const vhdxtest::ImageSpec& s = *chain[d].shape;
        const uint64_t block = offset / s.blockSize;
        const auto it = s.blocks.find(block);
        State state = it == s.blocks.end() ? State::NotPresent : it->second;
        if (state == State::PartiallyPresent) {
            const uint64_t bit = (offset / s.logicalSectorSize) % (1u << 23);
            const auto bits = s.sectorBitmaps.find(block / s.ChunkRatio());
            if (!((bits->second[bit / 8] >> (bit % 8)) & 1)) {
                state = State::NotPresent;
            }
        }
        if (state == State::NotPresent && s.hasParent && d + 1 < chain.size()) {
            continue;
        }
        if (state <= State::Unmapped) {
            return {-1, 0};
        }
        return {(int)d, chain[d].image->blockFileOffset.at(block) + offset % s.blockSize};
    }
    return {-1, 0};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static fuzzing::Scratch scratch;
    static host::MemoryVolume& volume = *new host::MemoryVolume();
    scratch.Mirror(&volume);
    fuzzing::Input in(data, size);

    // A child with no log, and when it is differencing a parent of the same
    // size without a parent of its own; every partial block has a bitmap.
    // Room for both made first: a vector grown copies its shapes, MiBs of bitmaps.
    std::vector<vhdxtest::ImageSpec> shapes;
    shapes.reserve(2);
    shapes.push_back(fuzzing::DrawShape(in.U8() & ~16, in));
    shapes[0].parentLocator = {{u"relative_path", u"i1.vhdx"}};
    if (shapes[0].hasParent) {
        shapes.push_back(fuzzing::DrawShape(in.U8() & ~(8 | 16), in));
        vhdxtest::ImageSpec& base = shapes[1];
        base.virtualDiskSize = shapes[0].virtualDiskSize;
        base.seed = shapes[0].seed + 1;
        std::erase_if(base.blocks, [&](const auto& b) { return b.first >= base.DataBlocks(); });
    }
    static vhdxtest::Image built[2];
    std::vector<Layer> chain;
    for (vhdxtest::ImageSpec& shape : shapes) {
        built[chain.size()].trackWrites = true;
        for (const auto& [block, state] : shape.blocks) {
            if (state == State::PartiallyPresent &&
                !shape.sectorBitmaps.count(block / shape.ChunkRatio())) {
                static const std::vector<uint8_t> none(fuzzing::MiB, 0);
                shape.sectorBitmaps[block / shape.ChunkRatio()] = fuzzing::TakeBitmap(none);
            }
        }
        vhdxtest::Build(shape, &built[chain.size()]);
        chain.push_back({&shape, &built[chain.size()]});
    }
    // Damage: BAT entries of the child overwritten, any state, any offset.
    const int damaged = in.U8() % 4;
    for (int i = 0; i < damaged; i++) {
        const uint64_t index = in.U16() % (chain[0].image->batLength / 8);
        const uint64_t low = in.U32();
        chain[0].image->SetBatEntry(index, low | (uint64_t)in.U32() << 32);
    }
    for (size_t d = 0; d < chain.size(); d++) {
        const std::string name = "i" + std::to_string(d) + ".vhdx";
        scratch.Put(name, *chain[d].image);
    }

    {
        fuzzing::Opened child(volume, "i0.vhdx");
        std::unique_ptr<fuzzing::Opened> parent;
        if (chain.size() > 1) {
            parent = std::make_unique<fuzzing::Opened>(volume, "i1.vhdx");
        }
        const tool::Chain inspected = tool::InspectChain(scratch.Dir(), "i0.vhdx", "i0", false);
        if (!NT_SUCCESS(child.status) || (parent && !NT_SUCCESS(parent->status)) ||
            tool::BindingFailure(inspected)) {
            Disagree("a chain the builder made was refused", 0);
        }
        std::vector<const tool::InspectedImage*> images{inspected.child.get()};
        if (inspected.parent) {
            images.push_back(inspected.parent.get());
        }
        tool::LineageMap map(images);
        StreamContext stream = {};
        stream.VhdxContext = &child.context;
        stream.ParentVhdxFileContext = parent ? &parent->context : nullptr;
        const uint64_t dataSize = child.context.DataSize;

        for (int r = 0, requests = 1 + in.U8() % 3; r < requests; r++) {
            // Mostly at a sector, sometimes anywhere, as a cached read may be.
            const uint64_t sector = in.U32(), within = in.U16();
            const uint64_t offset =
                (sector * 512 + (within < 0x8000 ? 0 : within % 512)) % dataSize;
            const uint32_t length =
                (uint32_t)std::min<uint64_t>(in.U32() % (2 * fuzzing::MiB + 1), dataSize - offset);
            std::vector<uint8_t> served(length);
            ULONG produced = 0;
            const NTSTATUS status = VhdxProcessRead(&child.related, &stream, &child.context, offset,
                                                    length, served.data(), &produced);
            uint64_t readable = offset;  // where the map's first unreadable extent starts
            bool unreadable = false;
            map.Map(offset, length, [&](const tool::Extent& e) {
                if (unreadable || e.layer == tool::Layer::Unreadable) {
                    unreadable = true;
                    return;
                }
                readable = e.start + e.length;
                for (uint64_t at = e.start; at < e.start + e.length; at += 512) {
                    const uint64_t n = std::min<uint64_t>(512, e.start + e.length - at);
                    const bool file = e.layer != tool::Layer::Zeros;
                    const std::vector<uint8_t>& bytes = chain[e.depth].image->bytes;
                    const uint64_t from = file ? *e.fileOffset + (at - e.start) : 0;
                    if (at - offset + n <= produced &&
                        (file ? from + n > bytes.size() ||
                                    std::memcmp(&served[at - offset], &bytes[from], n) != 0
                              : std::memcmp(&served[at - offset], kZeros, n) != 0)) {
                        Disagree("served bytes are not the map's", at);
                    }
                    const auto [depth, fileOffset] = Model(chain, at);
                    if (damaged == 0 &&
                        (file ? depth != (int)e.depth || fileOffset != from : depth != -1)) {
                        Disagree("the map's layer is not the builder's", at);
                    }
                }
            });
            if (!NT_SUCCESS(status)) {
                if (!unreadable || produced != 0) {
                    Disagree("the driver failed a range the map serves", offset);
                }
                continue;
            }
            if (unreadable ? produced > readable - offset : produced != length) {
                Disagree("the driver's count is not the map's", offset + produced);
            }
            // Inside the virtual disk the builder knows every byte, parent's too.
            if (damaged == 0 && offset + length <= shapes[0].virtualDiskSize &&
                (unreadable ||
                 vhdxtest::ExpectedBytes(shapes[0], chain.size() > 1 ? &shapes[1] : nullptr, offset,
                                         length) != served)) {
                Disagree("served bytes are not the builder's", offset);
            }
        }
    }
    for (vhdxtest::ImageSpec& shape : shapes) {
        fuzzing::ReturnBitmaps(shape);
    }
    scratch.Clear();
    fuzzing::CheckNothingLeft("diff_fuzz");
    return 0;
}

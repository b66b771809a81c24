#include "tools/reader/extent_map.h"

#include <algorithm>
#include <deque>
#include <vector>

namespace tool {
namespace {

// Joins extents that continue each other before passing them on.
class Merger {
public:
    explicit Merger(const std::function<void(const Extent&)>& emit) : emit_(emit) {}
    ~Merger() { Flush(); }
    void Add(const Extent& next) {
        if (next.length == 0) {
            return;
        }
        if (pending_ && pending_->Continues(next)) {
            pending_->length += next.length;
            return;
        }
        Flush();
        pending_ = next;
    }
    void Flush() {
        if (pending_) {
            emit_(*pending_);
            pending_.reset();
        }
    }

private:
    const std::function<void(const Extent&)>& emit_;
    std::optional<Extent> pending_;
};

// One image of the chain, resolved the way the read engine resolves it.
class Source {
public:
    // depth: 0 for the chain's child, 1 for its parent, and so on.
    Source(const InspectedImage& image, Source* parent, uint32_t depth)
        : image_(image),
          g_(*image.geometry()),
          bat_(*image.file, g_),
          parent_(parent),
          depth_(depth) {}

    // Emits [offset, offset + length) of this image's disk. Below the child
    // its file is the Parent layer and the extents carry the child's state;
    // what a differencing image does not hold comes from its own parent.
    void Resolve(uint64_t offset, uint64_t length, uint32_t childState, Merger& out) {
        const bool asParent = depth_ > 0;
        const uint64_t end = offset + length;
        if (offset >= g_.dataSize || end > g_.dataSize) {
            // A read that starts past the served size fails; one that runs
            // past it stops there.
            const uint64_t served = offset >= g_.dataSize ? offset : g_.dataSize;
            if (served > offset) {
                Resolve(offset, served - offset, childState, out);
            }
            Emit(out, served, end - served, childState, Layer::Unreadable, std::nullopt);
            return;
        }
        for (uint64_t o = offset; o < end;) {
            VhdxLocation at;
            VhdxLocate(g_.blockSize, g_.chunkRatio, g_.logicalSectorSize, o, &at);
            const uint64_t stepEnd = std::min(end, o + at.BlockRemaining);
            const std::optional<uint64_t> entry = bat_.Entry(at.EntryIndex);
            const uint32_t state = entry ? VhdxBatEntryState(*entry) : 0;
            const uint32_t shown = asParent ? childState : state;
            const uint64_t base = entry ? VhdxBatEntryFileOffset(*entry) : 0;
            if (!entry) {
                Emit(out, o, stepEnd - o, shown, Layer::Unreadable, std::nullopt);
            } else if (state == PAYLOAD_BLOCK_NOT_PRESENT && g_.hasParent) {
                const uint64_t runEnd = RunEnd(at, stepEnd, end, state);
                FromParent(o, runEnd - o, shown, out);
                o = runEnd;
                continue;
            } else if (state <= PAYLOAD_BLOCK_UNMAPPED) {
                const uint64_t runEnd = RunEnd(at, stepEnd, end, state);
                Emit(out, o, runEnd - o, shown, Layer::Zeros, std::nullopt);
                o = runEnd;
                continue;
            } else if (!VhdxWithinFileOffsets(base, at.WithinBlock + (stepEnd - o))) {
                // The driver refuses a position it could only form by wrapping.
                Emit(out, o, stepEnd - o, shown, Layer::Unreadable, std::nullopt);
            } else if (state == PAYLOAD_BLOCK_PARTIALLY_PRESENT) {
                Partial(at, base, o, stepEnd, asParent, shown, out);
            } else {
                FromFile(base + at.WithinBlock, o, stepEnd - o, asParent, shown, out);
            }
            o = stepEnd;
        }
    }

private:
    // Where the run of blocks in state, from the block at ends: the blocks
    // after it are looked at entry by entry, without the divisions of a
    // location each, so that the empty stretches of a large disk cost only
    // the reading of their entries. The extents are those that block by
    // block resolution would emit and merge.
    uint64_t RunEnd(const VhdxLocation& at, uint64_t stepEnd, uint64_t end, uint32_t state) {
        uint64_t index = at.EntryIndex;
        uint64_t inChunk = at.Block % g_.chunkRatio;
        uint64_t runEnd = stepEnd;
        while (runEnd < end) {
            index++;
            if (++inChunk == g_.chunkRatio) {
                index++;  // the chunk's sector bitmap entry
                inChunk = 0;
            }
            uint64_t entry;
            if (!bat_.Entry(index, &entry) || VhdxBatEntryState(entry) != state) {
                break;
            }
            runEnd = std::min(end, runEnd + g_.blockSize);
        }
        return runEnd;
    }

    void Emit(Merger& out, uint64_t start, uint64_t length, uint32_t state, Layer layer,
              std::optional<uint64_t> fileOffset) {
        out.Add({start, length, state, layer, fileOffset, depth_});
    }

    void FromParent(uint64_t offset, uint64_t length, uint32_t state, Merger& out) {
        if (parent_ == nullptr) {
            Emit(out, offset, length, state, Layer::Unreadable, std::nullopt);
        } else {
            parent_->Resolve(offset, length, state, out);
        }
    }

    // Bytes of this image's file; what lies past its end is not served.
    void FromFile(uint64_t fileOffset, uint64_t offset, uint64_t length, bool asParent,
                  uint32_t state, Merger& out) {
        const uint64_t size = image_.file->Size();
        const uint64_t inFile = fileOffset >= size ? 0 : std::min(length, size - fileOffset);
        Emit(out, offset, inFile, state, asParent ? Layer::Parent : Layer::Image, fileOffset);
        Emit(out, offset + inFile, length - inFile, state, Layer::Unreadable, std::nullopt);
    }

    // A partially present block, one run of equal sector bits at a time.
    void Partial(const VhdxLocation& at, uint64_t base, uint64_t offset, uint64_t end,
                 bool asParent, uint32_t state, Merger& out) {
        const uint64_t blockStart = offset - at.WithinBlock;
        const uint64_t chunk = at.Block / g_.chunkRatio;
        const std::optional<uint64_t> bitmapEntry =
            bat_.Entry(VhdxSectorBitmapEntryIndex(at.Block, g_.chunkRatio));
        const uint64_t lss = g_.logicalSectorSize;
        // A block whose sectors would run past the bitmap's last bit cannot be read.
        VhdxLocation first;
        VhdxLocate(g_.blockSize, g_.chunkRatio, g_.logicalSectorSize, blockStart, &first);
        const bool wraps =
            first.SectorBit + (g_.blockSize + lss - 1) / lss > VHDX_SECTORS_PER_BITMAP;
        if (!bitmapEntry || VhdxBatEntryState(*bitmapEntry) != SB_BLOCK_PRESENT || wraps ||
            !VhdxWithinFileOffsets(VhdxBatEntryFileOffset(*bitmapEntry),
                                   VHDX_SECTOR_BITMAP_BLOCK_SIZE)) {
            Emit(out, offset, end - offset, state, Layer::Unreadable, std::nullopt);
            return;
        }
        LoadBitmap(chunk, VhdxBatEntryFileOffset(*bitmapEntry));
        enum Kind { Here, Elsewhere, Unknown };
        auto kindAt = [&](uint64_t position) {
            VhdxLocation sector;
            VhdxLocate(g_.blockSize, g_.chunkRatio, g_.logicalSectorSize, position, &sector);
            const uint64_t bit = sector.SectorBit;
            if (bit / 8 >= bitmapValid_) {
                return Unknown;
            }
            return (bitmap_[bit / 8] >> (bit % 8)) & 1 ? Here : Elsewhere;
        };
        uint64_t runStart = offset;
        Kind run = kindAt(offset);
        auto flush = [&](uint64_t runEnd) {
            const uint64_t length = runEnd - runStart;
            if (run == Here) {
                FromFile(base + (runStart - blockStart), runStart, length, asParent, state, out);
            } else if (run == Unknown) {
                Emit(out, runStart, length, state, Layer::Unreadable, std::nullopt);
            } else if (g_.hasParent) {
                FromParent(runStart, length, state, out);
            } else {
                Emit(out, runStart, length, state, Layer::Zeros, std::nullopt);
            }
        };
        for (uint64_t position = (offset / lss + 1) * lss; position < end; position += lss) {
            const Kind kind = kindAt(position);
            if (kind != run) {
                flush(position);
                runStart = position;
                run = kind;
            }
        }
        flush(end);
    }

    void LoadBitmap(uint64_t chunk, uint64_t fileOffset) {
        if (bitmapChunk_ == chunk) {
            return;
        }
        bitmap_.resize(VHDX_SECTOR_BITMAP_BLOCK_SIZE);
        bitmapValid_ = image_.file->ReadAt(fileOffset, bitmap_.data(), bitmap_.size());
        bitmapChunk_ = chunk;
    }

    const InspectedImage& image_;
    const Geometry& g_;
    BatReader bat_;
    Source* parent_;
    uint32_t depth_;
    std::vector<uint8_t> bitmap_;
    uint64_t bitmapChunk_ = UINT64_MAX, bitmapValid_ = 0;
};

}  // namespace

const char* LayerName(Layer layer) {
    switch (layer) {
        case Layer::Image: return "image";
        case Layer::Parent: return "parent";
        case Layer::Zeros: return "zeros";
        case Layer::Unreadable: return "unreadable";
    }
    return "?";
}

bool Extent::Continues(const Extent& next) const {
    if (state != next.state || layer != next.layer || depth != next.depth ||
        start + length != next.start || fileOffset.has_value() != next.fileOffset.has_value()) {
        return false;
    }
    return !fileOffset || *fileOffset + length == *next.fileOffset;
}

void MapChain(const Chain& chain, const std::function<void(const Extent&)>& emit) {
    std::optional<Source> parent;
    if (chain.parent && chain.parent->geometry()) {
        parent.emplace(*chain.parent, nullptr, 1);
    }
    Source child(*chain.child, parent ? &*parent : nullptr, 0);
    Merger out(emit);
    child.Resolve(0, chain.child->geometry()->dataSize, 0, out);
}

struct LineageMap::Sources {
    std::deque<Source> images;  // the base first, so that each finds its parent built
};

LineageMap::LineageMap(const std::vector<const InspectedImage*>& images)
    : sources_(std::make_unique<Sources>()) {
    Source* parent = nullptr;
    for (size_t i = images.size(); i-- > 0;) {
        parent = &sources_->images.emplace_back(*images[i], parent, (uint32_t)i);
    }
}

LineageMap::~LineageMap() = default;

void LineageMap::Map(uint64_t offset, uint64_t length,
                     const std::function<void(const Extent&)>& emit) {
    Merger out(emit);
    sources_->images.back().Resolve(offset, length, 0, out);
}

}  // namespace tool

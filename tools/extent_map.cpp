#include "tools/extent_map.h"

#include <algorithm>
#include <vector>

namespace tool {
namespace {

constexpr uint64_t kBatWindow = 65536;  // entries read at a time

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
    Source(const InspectedImage& image, Source* parent)
        : image_(image), g_(*image.geometry()), parent_(parent) {}

    // Emits [offset, offset + length) of this image's disk. As the parent of
    // another image (asParent), its file is the Parent layer, a block it does
    // not hold is zeros, and the extents carry the child's state.
    void Resolve(uint64_t offset, uint64_t length, bool asParent, uint32_t childState, Merger& out) {
        const uint64_t end = offset + length;
        if (offset >= g_.dataSize || end > g_.dataSize) {
            // A read that starts past the served size fails; one that runs
            // past it stops there.
            const uint64_t served = offset >= g_.dataSize ? offset : g_.dataSize;
            if (served > offset) {
                Resolve(offset, served - offset, asParent, childState, out);
            }
            Emit(out, served, end - served, childState, Layer::Unreadable, std::nullopt);
            return;
        }
        for (uint64_t o = offset; o < end;) {
            const uint64_t block = o / g_.blockSize;
            const uint64_t blockStart = block * g_.blockSize;
            const uint64_t stepEnd = std::min(end, blockStart + g_.blockSize);
            const std::optional<uint64_t> entry = Entry(g_.PayloadIndex(block));
            const uint32_t state = entry ? (uint32_t)(*entry & VHDX_BAT_STATE_MASK) : 0;
            const uint32_t shown = asParent ? childState : state;
            const uint64_t base = entry ? *entry & VHDX_BAT_FILE_OFFSET_MASK : 0;
            if (!entry) {
                Emit(out, o, stepEnd - o, shown, Layer::Unreadable, std::nullopt);
            } else if (state == PAYLOAD_BLOCK_NOT_PRESENT && !asParent && g_.hasParent) {
                FromParent(o, stepEnd - o, state, out);
            } else if (state <= PAYLOAD_BLOCK_UNMAPPED) {
                Emit(out, o, stepEnd - o, shown, Layer::Zeros, std::nullopt);
            } else if (state == PAYLOAD_BLOCK_PARTIALLY_PRESENT) {
                Partial(block, base, o, stepEnd, asParent, shown, out);
            } else {
                FromFile(base + (o - blockStart), o, stepEnd - o, asParent, shown, out);
            }
            o = stepEnd;
        }
    }

private:
    void Emit(Merger& out, uint64_t start, uint64_t length, uint32_t state, Layer layer,
              std::optional<uint64_t> fileOffset) {
        out.Add({start, length, state, layer, fileOffset});
    }

    void FromParent(uint64_t offset, uint64_t length, uint32_t state, Merger& out) {
        if (parent_ == nullptr) {
            Emit(out, offset, length, state, Layer::Unreadable, std::nullopt);
        } else {
            parent_->Resolve(offset, length, true, state, out);
        }
    }

    // Bytes of this image's file; what lies past its end is not served.
    void FromFile(uint64_t fileOffset, uint64_t offset, uint64_t length, bool asParent, uint32_t state,
                  Merger& out) {
        const uint64_t size = image_.file->Size();
        const uint64_t inFile = fileOffset >= size ? 0 : std::min(length, size - fileOffset);
        Emit(out, offset, inFile, state, asParent ? Layer::Parent : Layer::Image, fileOffset);
        Emit(out, offset + inFile, length - inFile, state, Layer::Unreadable, std::nullopt);
    }

    // A partially present block, one run of equal sector bits at a time.
    void Partial(uint64_t block, uint64_t base, uint64_t offset, uint64_t end, bool asParent, uint32_t state,
                 Merger& out) {
        const uint64_t blockStart = block * g_.blockSize;
        const uint64_t chunk = block / g_.chunkRatio;
        const std::optional<uint64_t> bitmapEntry = Entry(g_.BitmapIndex(chunk));
        const uint64_t lss = g_.logicalSectorSize;
        // A block whose sectors would run past the bitmap's last bit cannot be read.
        const bool wraps = (blockStart / lss) % VHDX_SECTORS_PER_BITMAP + (g_.blockSize + lss - 1) / lss >
                           VHDX_SECTORS_PER_BITMAP;
        if (!bitmapEntry || (*bitmapEntry & VHDX_BAT_STATE_MASK) != SB_BLOCK_PRESENT || wraps) {
            Emit(out, offset, end - offset, state, Layer::Unreadable, std::nullopt);
            return;
        }
        LoadBitmap(chunk, *bitmapEntry & VHDX_BAT_FILE_OFFSET_MASK);
        enum Kind { Here, Elsewhere, Unknown };
        auto kindAt = [&](uint64_t position) {
            const uint64_t bit = (position / lss) % VHDX_SECTORS_PER_BITMAP;
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
            } else if (!asParent && g_.hasParent) {
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

    // The BAT entry at index, or nullopt where the driver has none: past the
    // BAT region, or past the end of the file.
    std::optional<uint64_t> Entry(uint64_t index) {
        if (index >= g_.BatEntriesInRegion()) {
            return std::nullopt;
        }
        if (index < windowFirst_ || index >= windowFirst_ + windowCount_) {
            windowFirst_ = index - index % kBatWindow;
            const uint64_t count = std::min(kBatWindow, g_.BatEntriesInRegion() - windowFirst_);
            window_.resize(count * 8);
            const size_t read = image_.file->ReadAt(g_.batOffset + 8 * windowFirst_, window_.data(), count * 8);
            windowCount_ = count;
            windowValid_ = read / 8;
        }
        const uint64_t k = index - windowFirst_;
        if (k >= windowValid_) {
            return std::nullopt;
        }
        return VhdxLoad64(&window_[8 * k]);
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
    Source* parent_;
    std::vector<uint8_t> window_;
    uint64_t windowFirst_ = 0, windowCount_ = 0, windowValid_ = 0;
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
    if (state != next.state || layer != next.layer || start + length != next.start ||
        fileOffset.has_value() != next.fileOffset.has_value()) {
        return false;
    }
    return !fileOffset || *fileOffset + length == *next.fileOffset;
}

void MapChain(const Chain& chain, const std::function<void(const Extent&)>& emit) {
    std::optional<Source> parent;
    if (chain.parent && chain.parent->geometry()) {
        parent.emplace(*chain.parent, nullptr);
    }
    Source child(*chain.child, parent ? &*parent : nullptr);
    Merger out(emit);
    child.Resolve(0, chain.child->geometry()->dataSize, false, 0, out);
}

}  // namespace tool

// The allocation map of a served disk: which layer the driver takes each
// byte range from (this image, its parent, zeros) and where in that layer's
// file it lies, resolved as the read engine resolves it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "tools/reader/chain.h"

namespace tool {

enum class Layer {
    Image,       // the image's own file
    Parent,      // the parent's file
    Zeros,       // no file: the driver writes zeros
    Unreadable,  // the driver fails or cuts short a read that reaches it
};
const char* LayerName(Layer layer);  // "image", "parent", "zeros", "unreadable"

struct Extent {
    uint64_t start = 0;  // virtual disk offset
    uint64_t length = 0;
    uint32_t state = 0;  // the image's payload block state over the range
    Layer layer = Layer::Zeros;
    std::optional<uint64_t> fileOffset;  // in the serving layer's file
    uint32_t depth = 0;                  // the image that decided: 0 the child, 1 its parent, ...

    // Whether next continues this extent: same state and layer, adjacent,
    // and contiguous in the file.
    bool Continues(const Extent& next) const;
};

// Emits the extents of [0, DataSize) of the child, in order, merged where
// neighbours agree. The chain's child must have a geometry; a differencing
// child without a readable parent maps its parent's ranges as unreadable.
void MapChain(const Chain& chain, const std::function<void(const Extent&)>& emit);

// The same for a chain of any depth, as a full reader follows it: images[0]
// is the child, each next one the parent of the one before, and every one
// has a geometry. Map may be called for range after range; each image's
// BAT window and sector bitmap stay loaded between calls.
class LineageMap {
public:
    explicit LineageMap(const std::vector<const InspectedImage*>& images);
    ~LineageMap();
    void Map(uint64_t offset, uint64_t length, const std::function<void(const Extent&)>& emit);

private:
    struct Sources;
    std::unique_ptr<Sources> sources_;
};

}  // namespace tool

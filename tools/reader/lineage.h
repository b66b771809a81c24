// A differencing chain of any depth, followed and validated as a full reader
// would before it serves a byte: for flatten, which turns a chain the driver
// refuses (a parent with a parent of its own) into one it serves.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "tools/reader/chain.h"

namespace tool {

struct Lineage {
    // The child first, the base (the image without a parent) last. Every
    // parent lies in the child's directory, where the binder looks for it.
    std::vector<std::unique_ptr<InspectedImage>> images;

    std::vector<const InspectedImage*> Images() const;
};

// Follows imagePath to its base, checking every image and every link (parent
// linkage GUID, virtual disk size, logical sector size) as CheckChain does.
// Throws ToolError with the first error a full reader would refuse on.
Lineage InspectLineage(const std::string& imagePath, bool verbose);

}  // namespace tool

#include "tools/reader/lineage.h"

#include "tools/reader/check.h"
#include "tools/reader/utf8_path.h"

namespace tool {
namespace {

// Far deeper than any checkpoint tree; a longer chain is taken for a loop.
constexpr size_t kMaxDepth = 256;

// The first error of a link (a child and its parent, or a base alone) that a
// full reader refuses on. That the parent has a parent of its own is what
// the lineage follows, not an error.
void RefuseOnError(const Chain& link) {
    for (const Finding& f : CheckChain(link)) {
        if (f.severity == Severity::Error && f.code != "parent-nested") {
            throw ToolError{f.subject, f.message + " [" + f.code + "]"};
        }
    }
}

}  // namespace

std::vector<const InspectedImage*> Lineage::Images() const {
    std::vector<const InspectedImage*> out;
    for (const auto& image : images) {
        out.push_back(image.get());
    }
    return out;
}

Lineage InspectLineage(const std::string& imagePath, bool verbose) {
    Lineage lineage;
    std::error_code error;
    const std::filesystem::path absolute = std::filesystem::absolute(Utf8Path(imagePath), error);
    const std::filesystem::path root = absolute.parent_path();
    Chain link = InspectChain(root, absolute.filename().string(), imagePath, verbose);
    for (;;) {
        RefuseOnError(link);
        for (const auto& seen : lineage.images) {
            if (std::filesystem::equivalent(seen->path, link.child->path, error)) {
                throw ToolError{link.child->displayName,
                                "the chain comes back to " + seen->path.string() +
                                    ": a parent cannot be its own descendant"};
            }
        }
        if (lineage.images.size() == kMaxDepth) {
            throw ToolError{imagePath,
                            "the chain is deeper than " + std::to_string(kMaxDepth) + " images"};
        }
        lineage.images.push_back(std::move(link.child));
        if (!link.parent) {
            return lineage;
        }
        // The parent examined for this link is the next link's child.
        link = InspectChain(root, std::move(link.parent), verbose);
    }
}

}  // namespace tool

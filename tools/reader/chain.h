// An image as the tool examines it: the driver's parse (or its refusal) and
// the full reader's layout, and for a differencing image the parent that the
// binder would open: the final component of the parent path, looked for in
// the stub's directory.
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "tools/reader/error.h"
#include "tools/reader/image.h"
#include "tools/reader/layout.h"

namespace tool {

struct InspectedImage {
    std::filesystem::path path;
    std::string displayName;  // as the user gave it, or the parent's path
    std::unique_ptr<HostFile> file;
    Layout layout;
    std::unique_ptr<OpenedImage> driver;  // null when the driver refuses the image
    Failure refusal;                      // why, when it does

    // The full reader's geometry; whenever the driver accepts the image it
    // derives the same values from the same structures.
    const Geometry* geometry() const { return layout.geometry ? &*layout.geometry : nullptr; }
};

struct Chain {
    std::unique_ptr<InspectedImage> child;
    // For a differencing child: the file name the binder looks for, where it
    // looks, and the parent if that file exists.
    std::u16string parentName;
    std::filesystem::path parentPath;
    std::unique_ptr<InspectedImage> parent;
    std::string parentOpenError;  // why the parent file could not be opened
};

// Examines root/relative and, for a differencing image, its parent in root.
// displayName names the image in messages. Throws ToolError when the image
// cannot be opened as a file.
Chain InspectChain(const std::filesystem::path& root, const std::string& relative,
                   const std::string& displayName, bool verbose);
// The same for a child already examined: a lineage's next link, whose child
// is the parent of the last.
Chain InspectChain(const std::filesystem::path& root, std::unique_ptr<InspectedImage> child,
                   bool verbose);
// Root and relative for a path given on the command line: its own directory.
Chain InspectChain(const std::string& imagePath, bool verbose);

// Why the binder would refuse a stub naming this chain, as the one-line error
// to show; nullopt when it would bind.
std::optional<ToolError> BindingFailure(const Chain& chain);

// The parent path the driver takes from a locator: the first "relative_path",
// or the final component of the first "volume_path" that parses.
std::u16string DriverParentPath(const Metadata& metadata);

}  // namespace tool

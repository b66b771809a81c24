// Opening an image file through the host platform and parsing it with the
// driver's own parser, for the tool's subcommands.
#pragma once

#include <filesystem>
#include <memory>
#include <string>

#include "platform/host/host.h"
#include "vhdx/vhdx.h"

namespace tool {

// A failure with the status and the driver's own words for it.
struct Failure {
    NTSTATUS status;
    std::string message;  // "Invalid VHDX_HEADER Checksum"
};

class OpenedImage {
public:
    ~OpenedImage();
    const VhdxContext& Context() const { return *context_; }
    std::u16string ParentPath() const;

    // Opens and parses path; on failure fills failure and returns null.
    static std::unique_ptr<OpenedImage> Open(const std::filesystem::path& path, Failure* failure,
                                             bool verbose);

private:
    OpenedImage() = default;
    std::unique_ptr<host::Volume> volume_;
    std::unique_ptr<VhdxContext> context_;
};

}  // namespace tool

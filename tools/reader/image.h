// Opening an image file through the host platform as the binder opens it
// and parsing it with the driver's own parser: for the tool's subcommands,
// and for the tests, fuzzers and benchmarks that call the driver's routines.
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

#include "platform/host/host.h"
#include "stub/stub.h"

namespace tool {

// Opens relative ('/'-separated, beneath the volume's root) for reading as
// the binder opens an image, with PontorOpenFile through the volume's
// instance, into context's FileHandle and FileObject (null after a
// failure; PontorCloseFile closes them), and fills related for reads of it.
// The status is the open's.
NTSTATUS OpenImageFile(const host::Volume& volume, std::string_view relative, VhdxContext* context,
                       FLT_RELATED_OBJECTS* related);
// OpenImageFile, then VhdxParseHeader: the status of the first that fails.
NTSTATUS OpenAndParseImage(const host::Volume& volume, std::string_view relative,
                           VhdxContext* context, FLT_RELATED_OBJECTS* related);

// A failure with the status and the driver's own words for it.
struct Failure {
    NTSTATUS status;
    std::string message;  // "Invalid VHDX_HEADER Checksum"
};

class OpenedImage {
public:
    ~OpenedImage();
    VhdxContext* Context() const { return context_.get(); }
    // The related objects of reads of this image: its volume's instance.
    const FLT_RELATED_OBJECTS* Related() const { return &related_; }
    std::u16string ParentPath() const;
    const std::filesystem::path& Path() const { return path_; }

    // Opens and parses path, its directory serving as the volume; on failure
    // fills failure and returns null.
    static std::unique_ptr<OpenedImage> Open(const std::filesystem::path& path, Failure* failure,
                                             bool verbose);
    // Opens relative ('/'-separated, beneath root) on a volume rooted at root,
    // as the binder opens the image that a stub in root names.
    static std::unique_ptr<OpenedImage> OpenBeneath(const std::filesystem::path& root,
                                                    const std::string& relative, Failure* failure,
                                                    bool verbose);
    // Opens the parent of a differencing image as the driver finds it: the
    // final component of its parent path, in the volume's root directory
    // (the stub's directory).
    static std::unique_ptr<OpenedImage> OpenParent(const OpenedImage& child, Failure* failure,
                                                   bool verbose);

private:
    OpenedImage() = default;
    static std::unique_ptr<OpenedImage> OpenOn(std::shared_ptr<host::Volume> volume,
                                               const std::string& relative, Failure* failure,
                                               bool verbose);
    std::shared_ptr<host::Volume> volume_;
    std::filesystem::path path_;
    FLT_RELATED_OBJECTS related_ = {};
    std::unique_ptr<VhdxContext> context_;
};

// The file name the binder takes from a parent path: its final component
// after the last backslash. Empty when there is none.
std::u16string ParentFileName(std::u16string_view parentPath);

}  // namespace tool

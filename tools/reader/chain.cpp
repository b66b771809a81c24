#include "tools/reader/chain.h"

#include "tools/reader/utf8_path.h"

namespace tool {
namespace {

std::unique_ptr<InspectedImage> Inspect(const std::filesystem::path& root,
                                        const std::string& relative, const std::string& displayName,
                                        bool verbose, std::string* openError) {
    auto image = std::make_unique<InspectedImage>();
    image->path = root / Utf8Path(relative);
    image->displayName = displayName;
    image->file = HostFile::Open(image->path, openError);
    if (!image->file) {
        return nullptr;
    }
    image->layout = ReadLayout(*image->file);
    image->driver = OpenedImage::OpenBeneath(root, relative, &image->refusal, verbose);
    return image;
}

}  // namespace

std::u16string DriverParentPath(const Metadata& metadata) {
    if (!metadata.locatorType ||
        !(*metadata.locatorType == Guid::From(VHDX_PARENT_LOCATOR_TYPE_GUID))) {
        return u"";
    }
    for (const LocatorEntry& entry : metadata.locatorEntries) {
        if (entry.key == u"relative_path") {
            return entry.value;
        }
        if (entry.key == u"volume_path" && !ParentFileName(entry.value).empty()) {
            return ParentFileName(entry.value);
        }
    }
    return u"";
}

Chain InspectChain(const std::filesystem::path& root, const std::string& relative,
                   const std::string& displayName, bool verbose) {
    std::string error;
    std::unique_ptr<InspectedImage> child = Inspect(root, relative, displayName, verbose, &error);
    if (!child) {
        throw ToolError{displayName, error};
    }
    return InspectChain(root, std::move(child), verbose);
}

Chain InspectChain(const std::filesystem::path& root, std::unique_ptr<InspectedImage> inspected,
                   bool verbose) {
    Chain chain;
    chain.child = std::move(inspected);
    const InspectedImage& child = *chain.child;
    const bool differencing =
        child.driver ? child.driver->Context()->HasParent != 0 : child.layout.metadata.HasParent();
    if (!differencing) {
        return chain;
    }
    chain.parentName = ParentFileName(child.driver ? child.driver->ParentPath()
                                                   : DriverParentPath(child.layout.metadata));
    if (chain.parentName.empty()) {
        return chain;
    }
    const std::string name = host::Utf8(chain.parentName);
    chain.parentPath = root / Utf8Path(name);
    chain.parent = Inspect(root, name, chain.parentPath.string(), verbose, &chain.parentOpenError);
    return chain;
}

std::optional<ToolError> BindingFailure(const Chain& chain) {
    const InspectedImage& child = *chain.child;
    if (!child.driver) {
        return ToolError{child.displayName, child.refusal.message, child.refusal.status};
    }
    if (child.driver->Context()->HasParent == 0) {
        return std::nullopt;
    }
    if (chain.parentName.empty()) {
        return ToolError{child.displayName,
                         "the image is differencing but its parent locator names no parent"};
    }
    if (!chain.parent) {
        return ToolError{child.displayName,
                         "parent " + chain.parentPath.string() + ": " + chain.parentOpenError};
    }
    if (!chain.parent->driver) {
        return ToolError{chain.parent->displayName, chain.parent->refusal.message,
                         chain.parent->refusal.status};
    }
    if (chain.parent->driver->Context()->HasParent != 0) {
        return ToolError{chain.parent->displayName,
                         "It is a nested differencing VHDX file and is not supported. " +
                             std::string(kFlattenHint),
                         STATUS_UNRECOGNIZED_MEDIA};
    }
    return std::nullopt;
}

Chain InspectChain(const std::string& imagePath, bool verbose) {
    std::error_code error;
    const std::filesystem::path absolute = std::filesystem::absolute(Utf8Path(imagePath), error);
    return InspectChain(absolute.parent_path(), absolute.filename().string(), imagePath, verbose);
}

}  // namespace tool

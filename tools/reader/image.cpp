#include "tools/reader/image.h"

#include <algorithm>
#include <cstdio>

#include "stub/stub.h"
#include "tools/reader/utf8_path.h"

namespace tool {
namespace {

// The driver's innermost complaint: its first failure line, without the
// "[PONTOR] Routine: " prefix. Informational lines start with CR LF or name
// the BAT position.
std::string DriverMessage(const host::DebugCapture& capture) {
    for (const std::string& text : capture.Texts()) {
        if (text.rfind("[PONTOR] ", 0) != 0 || text.find("(BAT) at offset") != std::string::npos) {
            continue;
        }
        std::string message = text.substr(text.find(": ") + 2);
        while (!message.empty() && (message.back() == '\n' || message.back() == '\r')) {
            message.pop_back();
        }
        return message;
    }
    return "";
}

}  // namespace

NTSTATUS OpenImageFile(const host::Volume& volume, std::string_view relative, VhdxContext* context,
                       FLT_RELATED_OBJECTS* related) {
    std::u16string name = volume.NtName(relative);
    UNICODE_STRING objectName;
    objectName.Buffer = name.data();
    objectName.Length = objectName.MaximumLength =
        (USHORT)std::min<size_t>(name.size() * sizeof(char16_t), 0xFFFE);
    *related = {};
    related->Size = sizeof(*related);
    related->Instance = volume.Instance();
    related->Volume = volume.FltVolume();
    const NTSTATUS status = PontorOpenFile(nullptr, volume.Instance(), &objectName,
                                           &context->FileHandle, &context->FileObject);
    related->FileObject = context->FileObject;
    return status;
}

NTSTATUS OpenAndParseImage(const host::Volume& volume, std::string_view relative,
                           VhdxContext* context, FLT_RELATED_OBJECTS* related) {
    const NTSTATUS status = OpenImageFile(volume, relative, context, related);
    return NT_SUCCESS(status) ? VhdxParseHeader(related, context) : status;
}

OpenedImage::~OpenedImage() {
    if (context_) {
        PontorCloseFile(context_.get());
    }
}

std::u16string OpenedImage::ParentPath() const { return std::u16string(context_->ParentPath); }

std::unique_ptr<OpenedImage> OpenedImage::Open(const std::filesystem::path& path, Failure* failure,
                                               bool verbose) {
    std::error_code error;
    const std::filesystem::path absolute = std::filesystem::absolute(path, error);
    return OpenBeneath(absolute.parent_path(), absolute.filename().string(), failure, verbose);
}

std::unique_ptr<OpenedImage> OpenedImage::OpenBeneath(const std::filesystem::path& root,
                                                      const std::string& relative, Failure* failure,
                                                      bool verbose) {
    return OpenOn(std::make_shared<host::Volume>(root), relative, failure, verbose);
}

std::unique_ptr<OpenedImage> OpenedImage::OpenParent(const OpenedImage& child, Failure* failure,
                                                     bool verbose) {
    return OpenOn(child.volume_, host::Utf8(ParentFileName(child.ParentPath())), failure, verbose);
}

std::unique_ptr<OpenedImage> OpenedImage::OpenOn(std::shared_ptr<host::Volume> volume,
                                                 const std::string& relative, Failure* failure,
                                                 bool verbose) {
    std::unique_ptr<OpenedImage> image(new OpenedImage());
    image->volume_ = std::move(volume);
    image->path_ = image->volume_->Root() / Utf8Path(relative);
    image->context_ = std::make_unique<VhdxContext>();
    VhdxContext* context = image->context_.get();

    host::DebugCapture capture;
    const NTSTATUS status = OpenAndParseImage(*image->volume_, relative, context, &image->related_);
    if (context->FileObject == nullptr) {  // the open failed
        *failure = {status, "cannot open " + image->path_.string()};
        return nullptr;
    }
    if (verbose) {
        for (const std::string& text : capture.Texts()) {
            std::fputs(text.c_str(), stderr);
        }
    }
    if (!NT_SUCCESS(status)) {
        *failure = {status, DriverMessage(capture)};
        return nullptr;
    }
    return image;
}

std::u16string ParentFileName(std::u16string_view parentPath) {
    std::u16string path(parentPath);
    UNICODE_STRING name, finalComponent = {};
    name.Buffer = path.data();
    name.Length = name.MaximumLength = (USHORT)std::min<size_t>(path.size() * 2, 0xFFFE);
    if (!NT_SUCCESS(FltParseFileName(&name, nullptr, nullptr, &finalComponent)) ||
        finalComponent.Buffer == nullptr) {
        return u"";
    }
    return std::u16string(finalComponent.Buffer, finalComponent.Length / 2);
}

}  // namespace tool

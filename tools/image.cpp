#include "tools/image.h"

#include <algorithm>
#include <cstdio>

#include "tools/utf8_path.h"

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

OpenedImage::~OpenedImage() {
    if (context_ && context_->FileHandle != nullptr) {
        FltClose(context_->FileHandle);
    }
    if (context_ && context_->FileObject != nullptr) {
        ObDereferenceObject(context_->FileObject);
    }
}

std::u16string OpenedImage::ParentPath() const { return std::u16string(context_->ParentPath); }

std::unique_ptr<OpenedImage> OpenedImage::Open(const std::filesystem::path& path,
                                               Failure* failure, bool verbose) {
    std::error_code error;
    const std::filesystem::path absolute = std::filesystem::absolute(path, error);
    return OpenBeneath(absolute.parent_path(), absolute.filename().string(), failure, verbose);
}

std::unique_ptr<OpenedImage> OpenedImage::OpenBeneath(const std::filesystem::path& root,
                                                      const std::string& relative,
                                                      Failure* failure, bool verbose) {
    return OpenOn(std::make_shared<host::Volume>(root), relative, failure, verbose);
}

std::unique_ptr<OpenedImage> OpenedImage::OpenParent(const OpenedImage& child, Failure* failure,
                                                     bool verbose) {
    return OpenOn(child.volume_, host::Utf8(ParentFileName(child.ParentPath())), failure,
                  verbose);
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
    std::u16string name = image->volume_->NtName(relative);
    UNICODE_STRING objectName;
    objectName.Buffer = name.data();
    objectName.Length = objectName.MaximumLength = (USHORT)(name.size() * sizeof(char16_t));
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &objectName, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE,
                               nullptr, nullptr);
    IO_STATUS_BLOCK iosb = {};
    NTSTATUS status = FltCreateFileEx(
        nullptr, image->volume_->Instance(), &context->FileHandle, &context->FileObject,
        GENERIC_READ | SYNCHRONIZE, &attributes, &iosb, nullptr, FILE_ATTRIBUTE_NORMAL,
        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN,
        FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE | FILE_RANDOM_ACCESS, nullptr, 0,
        IO_STOP_ON_SYMLINK);
    if (!NT_SUCCESS(status)) {
        *failure = {status, "cannot open " + image->path_.string()};
        return nullptr;
    }
    FLT_RELATED_OBJECTS& related = image->related_;
    related.Size = sizeof(related);
    related.Instance = image->volume_->Instance();
    related.Volume = image->volume_->FltVolume();
    related.FileObject = context->FileObject;
    status = VhdxParseHeader(&related, context);
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

#include "tools/image.h"

#include <cstdio>

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
    return OpenOn(std::make_shared<host::Volume>(absolute.parent_path()), absolute, failure,
                  verbose);
}

std::unique_ptr<OpenedImage> OpenedImage::OpenParent(const OpenedImage& child, Failure* failure,
                                                     bool verbose) {
    std::u16string name = child.ParentPath();
    const size_t separator = name.find_last_of(u"\\/");
    if (separator != std::u16string::npos) {
        name = name.substr(separator + 1);
    }
    return OpenOn(child.volume_, child.path_.parent_path() / host::Utf8(name), failure, verbose);
}

std::unique_ptr<OpenedImage> OpenedImage::OpenOn(std::shared_ptr<host::Volume> volume,
                                                 const std::filesystem::path& path,
                                                 Failure* failure, bool verbose) {
    std::unique_ptr<OpenedImage> image(new OpenedImage());
    image->volume_ = std::move(volume);
    image->path_ = path;
    image->context_ = std::make_unique<VhdxContext>();
    VhdxContext* context = image->context_.get();

    host::DebugCapture capture;
    std::u16string name = image->volume_->NtName(path.filename().string());
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
        *failure = {status, "cannot open " + path.string()};
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

}  // namespace tool

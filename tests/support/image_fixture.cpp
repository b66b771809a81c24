#include "tests/support/image_fixture.h"

#include <cstring>

namespace fixture {

OpenedImage::OpenedImage(ScratchVolume& volume, const std::string& name)
    : context_(std::make_unique<VhdxContext>()) {
    std::memset(context_.get(), 0, sizeof(VhdxContext));
    std::u16string nt = volume.Volume().NtName(name);
    UNICODE_STRING objectName;
    objectName.Buffer = nt.data();
    objectName.Length = objectName.MaximumLength = (USHORT)(nt.size() * sizeof(char16_t));
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &objectName,
                               OBJ_CASE_INSENSITIVE | OBJ_OPENIF | OBJ_KERNEL_HANDLE, nullptr,
                               nullptr);
    IO_STATUS_BLOCK iosb = {};
    openStatus_ = FltCreateFileEx(
        nullptr, volume.Volume().Instance(), &context_->FileHandle, &context_->FileObject,
        GENERIC_READ | SYNCHRONIZE, &attributes, &iosb, nullptr, FILE_ATTRIBUTE_NORMAL,
        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN,
        FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE | FILE_RANDOM_ACCESS, nullptr, 0,
        IO_STOP_ON_SYMLINK);
    related_.Size = sizeof(related_);
    related_.Instance = volume.Volume().Instance();
    related_.Volume = volume.Volume().FltVolume();
    related_.FileObject = context_->FileObject;
}

OpenedImage::~OpenedImage() {
    if (context_->FileHandle != nullptr) {
        FltClose(context_->FileHandle);
    }
    if (context_->FileObject != nullptr) {
        ObDereferenceObject(context_->FileObject);
    }
}

std::vector<std::string> DriverLines(const host::DebugCapture& capture) {
    std::vector<std::string> lines;
    for (const std::string& text : capture.Texts()) {
        if (text.find("[PONTOR] ") != std::string::npos) {
            lines.push_back(text);
        }
    }
    return lines;
}

}  // namespace fixture

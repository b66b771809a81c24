#include "tests/support/image_fixture.h"

#include <cstring>

#include "tools/reader/image.h"

namespace fixture {

OpenedImage::OpenedImage(const host::Volume& volume, const std::string& name)
    : context_(std::make_unique<VhdxContext>()) {
    std::memset(context_.get(), 0, sizeof(VhdxContext));
    openStatus_ = tool::OpenImageFile(volume, name, context_.get(), &related_);
}

OpenedImage::~OpenedImage() { PontorCloseFile(context_.get()); }

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

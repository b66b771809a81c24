#include "tools/stub_file.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

#include "platform/host/host.h"
#include "stub/stub.h"
#include "tools/cli.h"
#include "tools/reader/utf8_path.h"

namespace tool {
namespace {

// The driver recognises a stub by the extension of its final component.
bool HasStubExtension(const std::filesystem::path& path) {
    const std::string name = path.filename().string();
    const size_t dot = name.rfind('.');
    if (dot == std::string::npos) {
        return false;
    }
    std::string extension = name.substr(dot + 1);
    for (char& c : extension) {
        c = (char)std::tolower((unsigned char)c);
    }
    return extension == "vmdk";
}

// The largest path that fits with its NUL in the 2048 bytes read.
constexpr size_t kMaxStoredChars = (PONTOR_STUB_READ_SIZE - PONTOR_STUB_PATH_OFFSET) / 2 - 1;

}  // namespace

StubPlan PlanStub(const std::string& image, const std::optional<std::string>& stub, bool stubOnly) {
    const std::filesystem::path imagePath =
        std::filesystem::absolute(Utf8Path(image)).lexically_normal();
    std::filesystem::path stubPath, directory = imagePath.parent_path();
    std::error_code error;
    if (stub) {
        stubPath = std::filesystem::absolute(Utf8Path(*stub)).lexically_normal();
        if (std::filesystem::is_directory(stubPath, error)) {
            directory = stubPath;
            stubPath.clear();
        }
    }
    std::optional<std::filesystem::path> descriptorPath;
    std::string note;
    if (stubPath.empty()) {
        const std::string name = imagePath.stem().string();
        stubPath = directory / Utf8Path(name + (stubOnly ? ".vmdk" : "-flat.vmdk"));
        if (!stubOnly) {
            descriptorPath = directory / Utf8Path(name + ".vmdk");
        }
    } else if (!stubOnly) {
        // NAME-flat.vmdk, as VMware names a flat extent: NAME.vmdk describes it.
        const std::string name = stubPath.filename().string();
        constexpr std::string_view kFlat = "-flat.vmdk";
        std::string tail =
            name.size() > kFlat.size() ? name.substr(name.size() - kFlat.size()) : "";
        for (char& c : tail) {
            c = (char)std::tolower((unsigned char)c);
        }
        if (tail == kFlat) {
            descriptorPath =
                stubPath.parent_path() /
                Utf8Path(name.substr(0, name.size() - kFlat.size()) + name.substr(name.size() - 5));
        } else {
            note = "no descriptor written: the stub's name does not end in -flat.vmdk";
        }
    }
    const std::string shown = stub ? *stub : stubPath.string();
    if (!HasStubExtension(stubPath)) {
        throw ToolError{shown,
                        "a stub's name must end in .vmdk, or the driver does not recognise it",
                        {},
                        kExitUsage};
    }
    if (stubPath == imagePath || descriptorPath == imagePath) {
        throw ToolError{shown,
                        std::string("the ") + (stubPath == imagePath ? "stub" : "descriptor") +
                            " would replace the image itself",
                        {},
                        kExitUsage};
    }
    if (descriptorPath) {
        const std::string name = stubPath.filename().string();
        if (name.find_first_of("\"\r\n") != std::string::npos) {
            throw ToolError{shown,
                            "a descriptor cannot name a file whose name holds '\"' or a line "
                            "break (--stub-only writes the stub alone)",
                            {},
                            kExitUsage};
        }
    }

    StubPlan plan;
    plan.stubPath = stubPath;
    plan.descriptorPath = descriptorPath;
    plan.note = note;
    plan.directory = stubPath.parent_path();
    const std::filesystem::path relative = imagePath.lexically_relative(plan.directory);
    if (relative.empty() || *relative.begin() == "..") {
        throw ToolError{image,
                        "the image must lie in the stub's directory (" + plan.directory.string() +
                            ") or beneath it: the driver looks for it there",
                        {},
                        kExitUsage};
    }
    plan.relative = relative.generic_string();
    for (const auto& component : relative) {
        if (component.string().find_first_of("\\:") != std::string::npos) {
            throw ToolError{image,
                            "the path '" + plan.relative +
                                "' holds '\\' or ':', which the driver reads as separators",
                            {},
                            kExitUsage};
        }
    }
    std::string stored = plan.relative;
    std::replace(stored.begin(), stored.end(), '/', '\\');
    plan.storedPath = host::Utf16(stored);
    if (plan.storedPath.size() > kMaxStoredChars) {
        throw ToolError{image,
                        "the path '" + plan.relative + "' is longer than a stub holds (" +
                            std::to_string(kMaxStoredChars) + " characters)",
                        {},
                        kExitUsage};
    }
    return plan;
}

std::vector<uint8_t> StubBytes(std::u16string_view storedPath) {
    std::vector<uint8_t> bytes(PONTOR_STUB_READ_SIZE, 0);
    for (int i = 0; i < 8; i++) {
        bytes[i] = (uint8_t)(PONTOR_STUB_SIGNATURE >> (8 * i));
    }
    for (size_t i = 0; i < storedPath.size() && i < kMaxStoredChars; i++) {
        bytes[PONTOR_STUB_PATH_OFFSET + 2 * i] = (uint8_t)storedPath[i];
        bytes[PONTOR_STUB_PATH_OFFSET + 2 * i + 1] = (uint8_t)(storedPath[i] >> 8);
    }
    return bytes;
}

std::string StubSignature(const std::vector<uint8_t>& header) {
    std::string signature;
    for (size_t i = 0; i < 8 && i < header.size() && header[i] != 0; i++) {
        const char c = (char)header[i];
        signature += c >= 0x20 && c < 0x7F ? c : '?';
    }
    return signature;
}

std::u16string StoredImagePath(const std::vector<uint8_t>& header) {
    std::u16string path;
    const size_t end = std::min<size_t>(header.size(), PONTOR_STUB_READ_SIZE);
    for (size_t i = PONTOR_STUB_PATH_OFFSET; i + 1 < end; i += 2) {
        const char16_t c = (char16_t)(header[i] | header[i + 1] << 8);
        if (c == 0) {
            break;
        }
        path += c;
    }
    return path;
}

void PrintStubHeader(const std::vector<uint8_t>& header) {
    std::printf("%-22s%s\n", "signature:", StubSignature(header).c_str());
    std::printf("%-22s%s\n", "image path:", host::Utf8(StoredImagePath(header)).c_str());
    std::printf("%-22s%zu bytes\n", "header:", header.size());
}

}  // namespace tool

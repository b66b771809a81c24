// Stub files as the tool writes them: the signature, and the image's path
// relative to the stub's directory, which the binder appends to that
// directory's name.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace tool {

struct StubPlan {
    std::filesystem::path stubPath;
    // The VMDK descriptor naming the stub, written beside it; none when
    // asked for the stub alone or when the stub's chosen name does not end
    // in -flat.vmdk (why is in note).
    std::optional<std::filesystem::path> descriptorPath;
    std::string note;
    std::filesystem::path directory;  // the stub's directory, where the binder starts
    std::string relative;             // the image beneath it, '/'-separated
    std::u16string storedPath;        // as written into the stub, '\'-separated
};

// Where the stub for image goes and what it stores. stub: a file name, or a
// directory for the default names: NAME-flat.vmdk and the descriptor
// NAME.vmdk, or NAME.vmdk alone when stubOnly (NAME: the image's name
// without its extension). Throws ToolError when no stub there could name
// the image.
StubPlan PlanStub(const std::string& image, const std::optional<std::string>& stub, bool stubOnly);

// The stub's bytes: signature, eight unread bytes, the path and its NUL,
// zeros up to the 2048 bytes the binder reads.
std::vector<uint8_t> StubBytes(std::u16string_view storedPath);

// Writes bytes to path as a whole or not at all: through a temporary file in
// the same directory, refusing an existing file unless overwrite. Throws
// ToolError.
void WriteFileAtomically(const std::filesystem::path& path, const std::vector<uint8_t>& bytes,
                         bool overwrite);

// What a stub's header says: its signature, printable, and its image path as
// stored, up to the terminating zero (at most to the 2048 bytes read).
std::string StubSignature(const std::vector<uint8_t>& header);
std::u16string StoredImagePath(const std::vector<uint8_t>& header);

// Prints a header the driver returned, as `pontor header` shows it.
void PrintStubHeader(const std::vector<uint8_t>& header);

}  // namespace tool

// A volume whose files live in memory: sparse, extent-based, answering as
// the host layers do below the filters (names, dispositions, end of file,
// read-only files, symbolic links that stop an open). For fuzzers and
// randomized tests that would otherwise write every image to disk. The
// host-side calls take names as "a/b", the stored spelling.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/host/fs/fs.h"

namespace host {

namespace fs {
class MemoryLayer;
}

class MemoryVolume : public Volume {
public:
    explicit MemoryVolume(DeviceType type = DeviceType::Disk,
                          FLT_FILESYSTEM_TYPE fileSystem = FLT_FSTYPE_UNKNOWN);

    // Replaces the file's contents (creating it and its directories); runs
    // of zero pages stay holes, so a mostly empty image costs little.
    void Put(std::string_view name, const void* bytes, size_t size);
    void Put(std::string_view name, const std::vector<uint8_t>& bytes) {
        Put(name, bytes.data(), bytes.size());
    }
    void Put(std::string_view name, std::string_view bytes) {
        Put(name, bytes.data(), bytes.size());
    }
    // Writes into an existing file at offset, extending it as a write does.
    void Patch(std::string_view name, uint64_t offset, const void* bytes, size_t size);
    void Resize(std::string_view name, uint64_t size);
    // Up to length bytes at offset; empty past the end or for no such file.
    std::vector<uint8_t> Get(std::string_view name, uint64_t offset = 0,
                             size_t length = SIZE_MAX) const;
    bool Exists(std::string_view name) const;
    void MakeDirectory(std::string_view name);
    void MakeLink(std::string_view name);  // a symbolic link, leading nowhere reachable
    void SetReadOnly(std::string_view name, bool readOnly);
    uint64_t Index(std::string_view name) const;  // the file's index number, 0 if none

private:
    fs::MemoryLayer& Files() const;
};

}  // namespace host

// Writes a dynamic or differencing VHDX file as the published format lays it
// out: file identifier, both headers, both region tables, the metadata items
// (with a parent locator for a differencing image), the BAT, payload blocks
// and sector bitmaps. The file is built under a temporary name beside its
// destination and appears there only when Commit has made it durable; on
// failure, destruction or a terminating signal the temporary file goes.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "tools/reader/layout.h"
#include "tools/writer/temporary_file.h"

namespace tool {

struct WriterGeometry {
    uint64_t virtualDiskSize = 0;
    uint32_t blockSize = 0;
    uint32_t logicalSectorSize = 0;
    uint32_t physicalSectorSize = 0;
};

// Empty when the geometry is one the format allows, else why not.
std::string GeometryProblem(const WriterGeometry& geometry);

// The parent of a differencing image: its data write GUID (the locator's
// "parent_linkage"), its path relative to the child's directory with
// backslashes (".\base.vhdx"), and where Windows found it, if known.
struct ParentLink {
    Guid dataWriteGuid;
    std::u16string relativePath;
    std::optional<std::u16string> volumePath, absoluteWin32Path;
};

class VhdxWriter {
public:
    // Throws ToolError (naming path) when the temporary file cannot be made.
    // geometry must pass GeometryProblem.
    VhdxWriter(const std::filesystem::path& path, const WriterGeometry& geometry,
               std::optional<ParentLink> parent);
    ~VhdxWriter();
    VhdxWriter(const VhdxWriter&) = delete;
    VhdxWriter& operator=(const VhdxWriter&) = delete;

    uint64_t DataBlocks() const { return dataBlocks_; }
    // Blocks are put in increasing order, each at most once; a block never
    // put is not present. data holds BlockSize bytes. Throw ToolError.
    void PutPresent(uint64_t block, const uint8_t* data);
    void PutZero(uint64_t block);
    // Of a differencing image: the sectors whose ownSectors entry is set
    // come from data, the others from the parent.
    void PutPartial(uint64_t block, const uint8_t* data, const std::vector<bool>& ownSectors);
    // Writes the metadata, BAT and headers, flushes the file to stable
    // storage and renames it into place. Throws ToolError.
    void Commit();

private:
    void WriteAt(const void* data, size_t length, uint64_t offset);
    uint64_t AppendBlock(const uint8_t* data, uint32_t length);
    void SetEntry(uint64_t index, uint64_t value);
    void FlushBatWindow();
    void FlushBitmap();
    std::vector<uint8_t> MetadataRegion() const;

    std::filesystem::path path_;
    TemporaryFile file_;
    WriterGeometry g_;
    std::optional<ParentLink> parent_;
    uint32_t chunkRatio_ = 0;
    uint64_t dataBlocks_ = 0;
    uint32_t batLength_ = 0;
    uint64_t batEntries_ = 0;
    std::vector<uint64_t> window_;  // the entries from windowFirst_, not yet written
    uint64_t windowFirst_ = 0;
    bool windowDirty_ = false;
    uint64_t next_ = 0;  // where the next block goes
    // The sector bitmap of the chunk being written, if any sector is set.
    uint64_t bitmapChunk_ = UINT64_MAX;
    std::vector<uint8_t> bitmap_;
};

}  // namespace tool

// pontor flatten: the disk a chain of differencing images of any depth
// presents, written as one stand-alone dynamic VHDX, or with --keep-parent as
// one differencing image over the chain's base: both are chains the driver
// serves, where it refuses a parent that has a parent of its own.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "platform/host/host.h"
#include "tools/commands.h"
#include "tools/json.h"
#include "tools/output.h"
#include "tools/reader/extent_map.h"
#include "tools/reader/lineage.h"
#include "tools/writer/vhdx_writer.h"

namespace tool {
namespace {

constexpr uint64_t MiB = 1 << 20;

// target relative to directory as a parent locator's "relative_path" holds
// it: backslashes, ".\" before a name in the directory itself.
std::u16string LocatorPath(const std::filesystem::path& target,
                           const std::filesystem::path& directory) {
    std::string text = std::filesystem::relative(target, directory).generic_string();
    if (text.empty()) {  // no relative path between them: the name alone
        text = target.filename().string();
    }
    std::replace(text.begin(), text.end(), '/', '\\');
    if (text.rfind("..", 0) != 0) {
        text = ".\\" + text;
    }
    return host::Utf16(text);
}

struct BlockCounts {
    uint64_t present = 0, partial = 0, zero = 0, notPresent = 0;
};

// Copies the disk block by block. Images of depth below `kept` are written
// into the output; the rest (the base, with --keep-parent) stay the parent's.
class Flattener {
public:
    Flattener(const Lineage& lineage, size_t kept, VhdxWriter& writer, uint32_t blockSize)
        : images_(lineage.Images()),
          map_(images_),
          kept_(kept),
          writer_(writer),
          blockSize_(blockSize),
          sectorSize_(images_[0]->geometry()->logicalSectorSize),
          block_(blockSize) {}

    BlockCounts Run(Progress& progress) {
        const uint64_t size = images_[0]->geometry()->virtualDiskSize;
        for (uint64_t b = 0; b < writer_.DataBlocks(); b++) {
            const uint64_t start = b * blockSize_;
            Put(b, start, std::min<uint64_t>(blockSize_, size - start));
            progress.Update(start);
        }
        progress.Update(size, true);
        return counts_;
    }

private:
    void Put(uint64_t b, uint64_t start, uint64_t length) {
        // The block is cleared only before bytes are read into it: most
        // blocks of a large sparse disk hold nothing, or zeros.
        bool anyParent = false, anyData = false;
        ownRanges_.clear();
        std::optional<ToolError> failure;  // thrown once the map is done with
        map_.Map(start, length, [&](const Extent& e) {
            if (failure) {
                return;
            }
            const InspectedImage& image = *images_[e.depth];
            const uint64_t at = e.start - start;
            if (e.layer == Layer::Unreadable) {
                failure = ToolError{image.displayName,
                                    "no reader can serve the " + std::to_string(e.length) +
                                        " bytes at virtual offset " + std::to_string(e.start) +
                                        " ('pontor check' shows why)"};
                return;
            }
            if (e.depth >= kept_) {
                anyParent = true;
                return;
            }
            ownRanges_.emplace_back(at, e.length);
            if (e.layer == Layer::Zeros) {
                return;
            }
            if (!anyData) {
                std::fill(block_.begin(), block_.end(), 0);
                anyData = true;
            }
            if (image.file->ReadAt(*e.fileOffset, &block_[at], e.length) != e.length) {
                failure = ToolError{image.displayName, "read past the end of the file at offset " +
                                                           std::to_string(*e.fileOffset)};
            }
        });
        if (failure) {
            throw *failure;
        }
        const bool zeros =
            !anyData || std::all_of(block_.begin(), block_.end(), [](uint8_t v) { return !v; });
        if (ownRanges_.empty() || (zeros && kept_ == images_.size())) {
            counts_.notPresent++;  // the parent's, or zeros without one
        } else if (anyParent) {
            if (!anyData) {
                std::fill(block_.begin(), block_.end(), 0);
            }
            own_.assign(blockSize_ / sectorSize_, false);
            for (const auto& [at, ownLength] : ownRanges_) {
                for (uint64_t s = at / sectorSize_; s * sectorSize_ < at + ownLength; s++) {
                    own_[s] = true;
                }
            }
            writer_.PutPartial(b, block_.data(), own_);
            counts_.partial++;
        } else if (zeros) {
            writer_.PutZero(b);  // zeros over a parent's data
            counts_.zero++;
        } else {
            writer_.PutPresent(b, block_.data());
            counts_.present++;
        }
    }

    std::vector<const InspectedImage*> images_;
    LineageMap map_;
    size_t kept_;
    VhdxWriter& writer_;
    uint32_t blockSize_, sectorSize_;
    std::vector<uint8_t> block_;
    // The block's ranges (offset, length) taken from the images written out,
    // and its sectors so taken.
    std::vector<std::pair<uint64_t, uint64_t>> ownRanges_;
    std::vector<bool> own_;
    BlockCounts counts_;
};

int Flatten(const ParsedArgs& args) {
    const std::string& image = args.Arguments()[0];
    const std::string& out = args.Arguments()[1];
    const bool keepParent = args.Flag("keep-parent");
    std::optional<uint64_t> blockSize;
    if (const auto text = args.Value("block-size")) {
        blockSize = ParseSize("--block-size", *text);
        if (*blockSize < MiB || *blockSize > 256 * MiB || (*blockSize & (*blockSize - 1)) != 0) {
            throw UsageError{"--block-size: a power of two from 1M to 256M"};
        }
    }
    const Lineage lineage = InspectLineage(image, args.Verbose());
    const std::vector<const InspectedImage*> images = lineage.Images();
    std::error_code error;
    for (const InspectedImage* source : images) {
        if (std::filesystem::equivalent(source->path, out, error)) {
            throw ToolError{out, "is an image of the chain; choose another output", {}, kExitUsage};
        }
    }
    if (keepParent && images.size() < 2) {
        throw ToolError{image,
                        "has no parent to keep (without --keep-parent it is copied whole)",
                        {},
                        kExitUsage};
    }
    const InspectedImage& child = *images.front();
    const InspectedImage& base = *images.back();
    const WriterGeometry geometry{child.geometry()->virtualDiskSize,
                                  (uint32_t)blockSize.value_or(child.geometry()->blockSize),
                                  child.geometry()->logicalSectorSize,
                                  child.layout.metadata.physicalSectorSize.value_or(0)};
    if (const std::string problem = GeometryProblem(geometry); !problem.empty()) {
        throw ToolError{image, "cannot be written as a VHDX file: " + problem};
    }
    std::optional<ParentLink> parent;
    if (keepParent) {
        if (base.layout.Current() == nullptr) {
            throw ToolError{base.displayName, "has no current header to link to"};
        }
        // Where Windows found the base, as the image above it recorded.
        const Metadata& above = images[images.size() - 2]->layout.metadata;
        parent =
            ParentLink{base.layout.Current()->dataWriteGuid,
                       LocatorPath(base.path, std::filesystem::absolute(out, error).parent_path()),
                       above.Locator(u"volume_path"), above.Locator(u"absolute_win32_path")};
        // A stub names its image beneath its own directory and finds the
        // parent in that directory: the base's directory must hold OUT or
        // lie above it.
        const std::string fromBase =
            std::filesystem::relative(std::filesystem::absolute(out, error).parent_path(),
                                      base.path.parent_path(), error)
                .string();
        if (fromBase.empty() || fromBase.rfind("..", 0) == 0) {
            std::fprintf(stderr,
                         "pontor: %s: note: no stub can serve it where it is: the driver looks "
                         "for its parent %s in the stub's directory, where the image must lie "
                         "or beneath\n",
                         out.c_str(), base.path.string().c_str());
        }
    }

    VhdxWriter writer(out, geometry, parent);
    BlockCounts counts;
    {
        Progress progress("flatten", geometry.virtualDiskSize);
        Flattener flattener(lineage, keepParent ? images.size() - 1 : images.size(), writer,
                            geometry.blockSize);
        counts = flattener.Run(progress);
    }
    writer.Commit();

    if (args.Flag("json")) {
        Json j;
        j.BeginObject().Member("image", image).Member("output", out);
        j.Key("chain").BeginArray();
        for (const InspectedImage* source : images) {
            j.String(source->displayName);
        }
        j.EndArray().Key("parent");
        keepParent ? j.String(base.path.string()) : j.Null();
        j.Member("virtual_disk_size", geometry.virtualDiskSize)
            .Member("block_size", geometry.blockSize);
        j.Member("logical_sector_size", geometry.logicalSectorSize)
            .Member("physical_sector_size", geometry.physicalSectorSize);
        j.Key("blocks").BeginObject().Member("fully_present", counts.present);
        j.Member("partially_present", counts.partial)
            .Member("zero", counts.zero)
            .Member("not_present", counts.notPresent);
        j.EndObject().EndObject();
        std::printf("%s\n", j.Text().c_str());
    } else {
        std::printf(
            "%s: %zu image%s flattened %s; blocks: %llu fully present, %llu partially "
            "present, %llu zero, %llu not present\n",
            out.c_str(), images.size(), images.size() == 1 ? "" : "s",
            keepParent ? ("over the parent " + base.path.string()).c_str()
                       : "into a stand-alone image",
            (unsigned long long)counts.present, (unsigned long long)counts.partial,
            (unsigned long long)counts.zero, (unsigned long long)counts.notPresent);
    }
    return kExitOk;
}

}  // namespace

Command FlattenCommand() {
    return {{"flatten",
             "IMAGE OUT",
             "write a differencing chain of any depth as an image the driver serves",
             "Follows IMAGE's chain of parents to its base (each parent looked for in\n"
             "IMAGE's directory by the file name its child's locator gives, as the driver\n"
             "looks), refuses it with one line where a full VHDX reader would (broken\n"
             "parent linkage, differing disk or sector sizes, a log not replayed, ...), and\n"
             "writes OUT: a dynamic VHDX with the bytes the chain presents and IMAGE's\n"
             "geometry, blocks that read as zeros left not present. With --keep-parent,\n"
             "OUT is instead a differencing image whose parent is the chain's base: two\n"
             "images, which the driver serves. A progress bar shows on a terminal. OUT\n"
             "appears when complete and flushed; the images are only read.\n",
             {{0, "keep-parent", nullptr, "write a differencing image over the chain's base"},
              {0, "block-size", "N", "OUT's block size (a power of two, 1M to 256M)"},
              {0, "json", nullptr, "what was written, as one JSON object on stdout"}},
             2,
             2},
            Flatten};
}

}  // namespace tool

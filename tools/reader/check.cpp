#include "tools/reader/check.h"

#include <algorithm>
#include <cstdio>
#include <map>

#include "platform/host/host.h"
#include "tools/reader/utf8_path.h"

namespace tool {
namespace {

constexpr uint64_t MiB = 1 << 20;
constexpr uint64_t kMaxVirtualDiskSize = 64ULL << 40;
// Overlaps are tracked one bit per MiB of the file; past this many MiB
// (128 TiB) the check is skipped rather than the tool's memory grown.
constexpr uint64_t kMaxTrackedUnits = 1ULL << 27;

std::string Count(uint64_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

bool PowerOfTwo(uint64_t v) { return v != 0 && (v & (v - 1)) == 0; }

struct Range {
    const char* name;
    uint64_t offset, length;
    // Without forming either end: a hostile offset plus its length can wrap.
    bool Overlaps(uint64_t o, uint64_t l) const {
        return o >= offset ? o - offset < length : offset - o < l;
    }
};

// The fixed structures of an image: header section, log, metadata and BAT.
std::vector<Range> Structures(const Layout& layout) {
    std::vector<Range> ranges = {{"header section", 0, VHDX_HEADER_SECTION_SIZE}};
    if (const HeaderCopy* h = layout.Current(); h && h->logLength != 0) {
        ranges.push_back({"log", h->logOffset, h->logLength});
    }
    if (layout.metadataRegion && layout.metadataRegion->fileOffset != 0) {
        ranges.push_back(
            {"metadata region", layout.metadataRegion->fileOffset, layout.metadataRegion->length});
    }
    if (layout.batRegion && layout.batRegion->fileOffset != 0) {
        ranges.push_back({"BAT region", layout.batRegion->fileOffset, layout.batRegion->length});
    }
    return ranges;
}

// Which MiB of the file something already claims.
class Occupancy {
public:
    Occupancy(uint64_t fileSize, std::vector<Range> structures)
        : units_((fileSize + MiB - 1) / MiB),
          bits_((units_ + 63) / 64),
          structures_(std::move(structures)) {
        for (const Range& r : structures_) {
            Claim(r.offset, r.length);
        }
    }
    // Claims [offset, offset + length) within the file; names what it
    // collides with, or returns null.
    const char* Claim(uint64_t offset, uint64_t length) {
        bool collided = false;
        const uint64_t end = std::min(units_, (offset + length + MiB - 1) / MiB);
        for (uint64_t unit = offset / MiB; unit < end; unit++) {
            uint64_t& word = bits_[unit / 64];
            const uint64_t bit = 1ULL << (unit % 64);
            collided |= (word & bit) != 0;
            word |= bit;
        }
        if (!collided) {
            return nullptr;
        }
        for (const Range& r : structures_) {
            if (r.Overlaps(offset, length)) {
                return r.name;
            }
        }
        return "another block";
    }

private:
    uint64_t units_;
    std::vector<uint64_t> bits_;
    std::vector<Range> structures_;
};

class Checker {
public:
    explicit Checker(std::vector<Finding>* out) : out_(out) {}

    void Image(const InspectedImage& image) {
        subject_ = image.displayName;
        const Layout& layout = image.layout;
        if (!image.driver) {
            Add(Severity::Error, Effect::Unbindable, "driver-refuses",
                "the driver refuses the image: " + host::StatusName(image.refusal.status) + " (" +
                    Hex((uint32_t)image.refusal.status, HexDigits::Upper) +
                    "): " + image.refusal.message);
        }
        if (!layout.fileSignatureOk) {
            Add(Severity::Error, Effect::Unbindable, "file-identifier",
                "the file does not begin with \"vhdxfile\"");
            return;  // not a VHDX file: nothing else in it means anything
        }
        Headers(layout);
        Log(layout);
        RegionTables(layout);
        Regions(layout);
        MetadataItems(layout);
        Bat(image);
    }

    void Parent(const Chain& chain) {
        const InspectedImage& child = *chain.child;
        subject_ = child.displayName;
        if (chain.parentName.empty()) {
            Add(Severity::Error, Effect::Unbindable, "parent-unnamed",
                "the image is differencing but its parent locator names no parent the driver can "
                "use "
                "(no \"relative_path\" or \"volume_path\")");
            return;
        }
        if (!chain.parent) {
            Add(Severity::Error, Effect::Unbindable, "parent-missing",
                "the driver looks for the parent as " + chain.parentPath.string() + ": " +
                    chain.parentOpenError);
            return;
        }
        const InspectedImage& parent = *chain.parent;
        RelativePath(chain);
        const Metadata& cm = child.layout.metadata;
        const Metadata& pm = parent.layout.metadata;
        if (const HeaderCopy* current = parent.layout.Current()) {
            Linkage(cm, *current, parent.path.string());
        }
        if (cm.virtualDiskSize && pm.virtualDiskSize &&
            *cm.virtualDiskSize != *pm.virtualDiskSize) {
            Add(Severity::Error, Effect::Bytes, "parent-size-mismatch",
                "the parent's virtual disk is " + std::to_string(*pm.virtualDiskSize) +
                    " bytes, the child's " + std::to_string(*cm.virtualDiskSize) +
                    "; a full reader refuses the chain");
        }
        if (cm.logicalSectorSize && pm.logicalSectorSize &&
            *cm.logicalSectorSize != *pm.logicalSectorSize) {
            Add(Severity::Error, Effect::Bytes, "parent-sector-size-mismatch",
                "the parent's logical sector size is " + std::to_string(*pm.logicalSectorSize) +
                    ", the child's " + std::to_string(*cm.logicalSectorSize) +
                    "; a full reader refuses the chain");
        }
        if (parent.layout.metadata.HasParent()) {
            Add(Severity::Error, Effect::Unbindable, "parent-nested",
                "the parent " + parent.path.string() +
                    " is itself differencing; the driver binds chains of two images at most " +
                    kFlattenHint);
        }
        Image(parent);
    }

private:
    void Add(Severity severity, Effect effect, std::string code, std::string message) {
        out_->push_back({severity, effect, std::move(code), subject_, std::move(message)});
    }

    void Headers(const Layout& layout) {
        const HeaderCopy& first = layout.headers[0];
        const HeaderCopy& second = layout.headers[1];
        auto why = [](const HeaderCopy& h) {
            return std::string(h.signatureOk ? "bad checksum" : "bad signature");
        };
        if (!first.Valid() && !second.Valid()) {
            Add(Severity::Error, Effect::Unbindable, "header-damaged",
                "both header copies are damaged (" + why(first) + ", " + why(second) + ")");
            return;
        }
        if (!first.Valid()) {
            Add(Severity::Error, Effect::Unbindable, "header-damaged",
                "header copy 1 is damaged (" + why(first) +
                    "); a full reader uses copy 2, the driver refuses the image");
        } else if (!second.Valid()) {
            Add(Severity::Warning, Effect::Format, "header-damaged",
                "header copy 2 is damaged (" + why(second) + "); readers use copy 1");
        } else if (first.sequenceNumber == second.sequenceNumber && !first.SameContent(second)) {
            Add(Severity::Error, Effect::Format, "header-conflict",
                "the header copies have the same sequence number (" +
                    std::to_string(first.sequenceNumber) +
                    ") but different contents; a full reader refuses the image, the driver and "
                    "pontor use copy 1");
        } else if (layout.currentHeader == 1) {
            const bool sameLog =
                first.logGuid == second.logGuid && first.logOffset == second.logOffset &&
                first.logLength == second.logLength && first.version == second.version &&
                first.logVersion == second.logVersion;
            const std::string sequences = "(sequence " + std::to_string(second.sequenceNumber) +
                                          " > " + std::to_string(first.sequenceNumber) + ")";
            if (sameLog) {
                Add(Severity::Note, Effect::None, "header-second-newer",
                    "header copy 2 is current " + sequences +
                        "; it agrees with copy 1 on the log and versions, so the bytes served are "
                        "the same");
            } else {
                Add(Severity::Warning, Effect::Stale, "header-second-newer",
                    "header copy 2 is current " + sequences +
                        " and differs from copy 1 in its log or version fields; the driver checks "
                        "only copy 1");
            }
        }
        const HeaderCopy* current = layout.Current();
        if (current == nullptr) {
            return;
        }
        if (current->version != 1 || current->logVersion != 0) {
            Add(Severity::Error, Effect::Format, "header-version",
                "the current header has version " + std::to_string(current->version) +
                    " and log version " + std::to_string(current->logVersion) +
                    " (a reader knows 1 and 0)");
        }
        if (current->logLength != 0 &&
            (current->logOffset < MiB || current->logOffset % MiB != 0 ||
             current->logLength % MiB != 0 || current->logOffset > layout.fileSize ||
             current->logLength > layout.fileSize - current->logOffset)) {
            Add(Severity::Error, Effect::Format, "log-region",
                "the log (" + std::to_string(current->logLength) + " bytes at " +
                    Hex(current->logOffset, HexDigits::Upper) +
                    ") is not 1 MiB aligned or does not lie inside the file");
        }
    }

    void Log(const Layout& layout) {
        const HeaderCopy* current = layout.Current();
        const tool::Log& log = layout.log;
        if (current == nullptr || log.state == tool::Log::State::None) {
            return;
        }
        if (log.state == tool::Log::State::Replayable) {
            Add(Severity::Error, Effect::Stale, "log-not-replayed",
                "the log holds " + Count(log.entries.size(), "entry", "entries") + " (sequence " +
                    std::to_string(log.entries.front().header.SequenceNumber) + " to " +
                    std::to_string(log.entries.back().header.SequenceNumber) + ", " +
                    Count(log.descriptors, "descriptor", "descriptors") + ") for log GUID " +
                    current->logGuid.Text() +
                    "; a full reader replays them first, the driver serves the file without them. "
                    "To serve it on Windows, replay the log: 'pontor replay IMAGE OUT' writes a "
                    "copy with the log replayed, 'pontor replay --in-place --yes IMAGE' replays "
                    "IMAGE itself; on Linux, 'pontor mount', cat and convert serve it with the "
                    "log applied in memory, the file unchanged");
        } else if (log.state == tool::Log::State::Damaged) {
            Add(Severity::Error, Effect::Stale, "log-unreplayable",
                "the log cannot be replayed: " + log.problem +
                    "; a full reader refuses the image, the driver serves it without the log");
        } else {
            Add(Severity::Note, Effect::None, "log-empty",
                log.problem + "; the driver serves the file as it is");
        }
    }

    void RegionTables(const Layout& layout) {
        const RegionTable& first = layout.regionTables[0];
        const RegionTable& second = layout.regionTables[1];
        auto why = [](const RegionTable& t) -> std::string {
            if (!t.signatureOk)
                return "bad signature";
            if (!t.checksumOk)
                return "bad checksum";
            return "entry count " + std::to_string(t.entryCount) + " above 2047";
        };
        if (!first.Valid() && !second.Valid()) {
            Add(Severity::Error, Effect::Unbindable, "region-table-damaged",
                "both region table copies are damaged (" + why(first) + ", " + why(second) + ")");
        } else if (!first.Valid()) {
            Add(Severity::Error, Effect::Unbindable, "region-table-damaged",
                "region table copy 1 is damaged (" + why(first) +
                    "); a full reader uses copy 2, the driver refuses the image");
        } else if (!second.Valid()) {
            Add(Severity::Warning, Effect::Format, "region-table-damaged",
                "region table copy 2 is damaged (" + why(second) + "); readers use copy 1");
        } else if (first.bytes != second.bytes) {
            Add(Severity::Warning, Effect::Format, "region-tables-differ",
                "the two region table copies differ; readers use copy 1");
        }
    }

    void Regions(const Layout& layout) {
        if (layout.regionTableInUse < 0) {
            return;
        }
        std::map<Guid, int, bool (*)(const Guid&, const Guid&)> seen(
            [](const Guid& a, const Guid& b) { return a.bytes < b.bytes; });
        for (const RegionEntry& entry : layout.regionTables[layout.regionTableInUse].entries) {
            const char* name = RegionName(entry.guid);
            if (++seen[entry.guid] == 2) {
                Add(Severity::Error, Effect::Format, "region-duplicate",
                    "the region " + entry.guid.Text() +
                        " is listed more than once; a full reader refuses the image, the driver "
                        "uses the last");
            }
            if (name == nullptr) {
                if (entry.required) {
                    Add(Severity::Error, Effect::Format, "region-unknown-required",
                        "the required region " + entry.guid.Text() +
                            " is not understood; a full reader refuses the image, the driver "
                            "ignores it");
                }
                continue;
            }
            if (entry.fileOffset % MiB != 0 || entry.length % MiB != 0 || entry.length == 0 ||
                (entry.fileOffset != 0 && entry.fileOffset < MiB)) {
                Add(Severity::Error, Effect::Format, "region-misaligned",
                    std::string("the ") + name + " region (" + std::to_string(entry.length) +
                        " bytes at " + Hex(entry.fileOffset, HexDigits::Upper) +
                        ") is not a whole number of MiB at a MiB boundary");
            }
            if (entry.fileOffset != 0 && (entry.fileOffset > layout.fileSize ||
                                          entry.length > layout.fileSize - entry.fileOffset)) {
                const bool bat = entry.guid == Guid::From(VHDX_BAT_REGION_GUID);
                Add(Severity::Error, bat ? Effect::Bytes : Effect::Format, "region-beyond-eof",
                    std::string("the ") + name + " region ends at " +
                        Hex(entry.fileOffset + entry.length, HexDigits::Upper) +
                        ", past the end of the file (" + Hex(layout.fileSize, HexDigits::Upper) +
                        ")" + (bat ? "; BAT entries there read as not present" : ""));
            }
        }
        if (!layout.batRegion || layout.batRegion->fileOffset == 0) {
            Add(Severity::Error, Effect::Unbindable, "region-missing",
                "the region table has no BAT region");
        }
        if (!layout.metadataRegion || layout.metadataRegion->fileOffset == 0) {
            Add(Severity::Error, Effect::Unbindable, "region-missing",
                "the region table has no metadata region");
        }
        const std::vector<Range> structures = Structures(layout);
        for (size_t i = 0; i < structures.size(); i++) {
            for (size_t k = i + 1; k < structures.size(); k++) {
                if (structures[i].Overlaps(structures[k].offset, structures[k].length)) {
                    Add(Severity::Error, Effect::Format, "region-overlap",
                        std::string("the ") + structures[i].name + " and the " +
                            structures[k].name + " overlap");
                }
            }
        }
    }

    void MetadataItems(const Layout& layout) {
        const Metadata& m = layout.metadata;
        if (!m.present) {
            return;
        }
        if (!m.signatureOk) {
            Add(Severity::Error, Effect::Unbindable, "metadata-signature",
                "the metadata region does not begin with \"metadata\"");
            return;
        }
        if (m.entryCount > VHDX_REGION_TABLE_MAX_ENTRIES) {
            Add(Severity::Error, Effect::Format, "metadata-entries",
                "the metadata table claims " + std::to_string(m.entryCount) +
                    " entries (at most 2047)");
        }
        std::vector<Guid> ids;
        for (const MetadataItem& item : m.items) {
            const char* name = MetadataItemName(item.id);
            const std::string label =
                name ? std::string("the ") + name + " item" : "the item " + item.id.Text();
            if (std::find(ids.begin(), ids.end(), item.id) != ids.end()) {
                Add(Severity::Error, Effect::Format, "metadata-duplicate-item",
                    label +
                        " is listed more than once; a full reader refuses the image, the driver "
                        "uses the last");
            }
            ids.push_back(item.id);
            if (!item.inBounds || (item.length != 0 && item.offset < 0x10000)) {
                Add(Severity::Error, Effect::Format, "metadata-item-bounds",
                    label + " (" + std::to_string(item.length) + " bytes at " +
                        Hex(item.offset, HexDigits::Upper) +
                        ") does not lie in the metadata region after its table");
            }
            if (name == nullptr && item.IsRequired()) {
                Add(Severity::Error, Effect::Format, "metadata-unknown-required",
                    "the required metadata item " + item.id.Text() +
                        " is not understood; a full reader refuses the image, the driver ignores "
                        "it");
            }
        }
        struct Required {
            bool present;
            const char* name;
            Effect effect;
        };
        const Required required[] = {
            {m.blockSize.has_value(), "file parameters", Effect::Unbindable},
            {m.virtualDiskSize.has_value(), "virtual disk size", Effect::Unbindable},
            {m.page83, "page 83 data", Effect::Format},
            {m.logicalSectorSize.has_value(), "logical sector size", Effect::Unbindable},
            {m.physicalSectorSize.has_value(), "physical sector size", Effect::Unbindable},
        };
        for (const Required& r : required) {
            if (!r.present) {
                Add(Severity::Error, r.effect, "metadata-missing",
                    std::string("the metadata has no readable ") + r.name + " item");
            }
        }
        Values(m);
        Locator(m);
    }

    void Values(const Metadata& m) {
        auto bad = [&](const std::string& what) {
            Add(Severity::Error, Effect::Format, "metadata-value",
                what + "; a full reader refuses the image");
        };
        if (m.blockSize &&
            (!PowerOfTwo(*m.blockSize) || *m.blockSize < MiB || *m.blockSize > 256 * MiB)) {
            bad("the block size " + std::to_string(*m.blockSize) +
                " is not a power of two from 1 MiB to 256 MiB");
        }
        for (const auto& [value, name] :
             {std::pair{m.logicalSectorSize, "logical"}, {m.physicalSectorSize, "physical"}}) {
            if (value && *value != 512 && *value != 4096) {
                bad(std::string("the ") + name + " sector size " + std::to_string(*value) +
                    " is neither 512 nor 4096");
            }
        }
        if (m.virtualDiskSize && m.logicalSectorSize && *m.logicalSectorSize != 0 &&
            (*m.virtualDiskSize % *m.logicalSectorSize != 0 ||
             *m.virtualDiskSize > kMaxVirtualDiskSize)) {
            bad("the virtual disk size " + std::to_string(*m.virtualDiskSize) +
                " is not a multiple of the logical sector size up to 64 TiB");
        }
    }

    void Locator(const Metadata& m) {
        if (!m.HasParent()) {
            return;
        }
        if (!m.parentLocator) {
            Add(Severity::Error, Effect::Unbindable, "parent-locator-missing",
                "the image is differencing but has no parent locator");
            return;
        }
        if (!m.locatorType || !(*m.locatorType == Guid::From(VHDX_PARENT_LOCATOR_TYPE_GUID))) {
            Add(Severity::Error, Effect::Unbindable, "parent-locator-type",
                "the parent locator's type " +
                    (m.locatorType ? m.locatorType->Text() : std::string("?")) +
                    " is not the VHDX locator type; neither reader can find the parent");
            return;
        }
        if (m.locatorEntriesOutOfBounds > 0) {
            Add(Severity::Error, Effect::Format, "parent-locator-bounds",
                Count(m.locatorEntriesOutOfBounds, "parent locator entry lies",
                      "parent locator entries lie") +
                    " outside the locator");
        }
        if (!m.Locator(u"parent_linkage")) {
            Add(Severity::Error, Effect::Format, "parent-linkage-missing",
                "the parent locator has no \"parent_linkage\"; a full reader cannot verify the "
                "parent");
        }
    }

    void Linkage(const Metadata& child, const HeaderCopy& parentHeader,
                 const std::string& parentName) {
        const auto linkage = child.Locator(u"parent_linkage");
        if (!linkage) {
            return;  // reported with the child's locator
        }
        const auto expected = Guid::Parse(host::Utf8(*linkage));
        if (!expected) {
            Add(Severity::Error, Effect::Format, "parent-linkage-invalid",
                "the parent locator's \"parent_linkage\" (" + host::Utf8(*linkage) +
                    ") is not a GUID");
            return;
        }
        const auto second = child.Locator(u"parent_linkage2");
        const auto alternative = second ? Guid::Parse(host::Utf8(*second)) : std::nullopt;
        if (parentHeader.dataWriteGuid == *expected ||
            (alternative && parentHeader.dataWriteGuid == *alternative)) {
            return;
        }
        Add(Severity::Error, Effect::Stale, "parent-linkage-mismatch",
            "the parent " + parentName + " has data write GUID " +
                parentHeader.dataWriteGuid.Text() + " but the child was made from " +
                expected->Text() +
                ": the parent changed since; a full reader refuses the chain, the driver serves "
                "the child over "
                "the changed parent");
    }

    void RelativePath(const Chain& chain) {
        const auto relative = chain.child->layout.metadata.Locator(u"relative_path");
        if (!relative) {
            return;
        }
        std::string path = host::Utf8(*relative);
        std::replace(path.begin(), path.end(), '\\', '/');
        const std::filesystem::path named =
            (chain.child->path.parent_path() / Utf8Path(path)).lexically_normal();
        std::error_code error;
        if (std::filesystem::equivalent(named, chain.parentPath, error)) {
            return;
        }
        const bool exists = std::filesystem::exists(named, error);
        Add(exists ? Severity::Warning : Severity::Note, exists ? Effect::Bytes : Effect::None,
            "parent-path-differs",
            "the locator's relative path names " + named.string() +
                (exists ? "" : " (no such file)") + "; the driver uses " +
                chain.parentPath.string());
    }

    void Bat(const InspectedImage& image) {
        const Geometry* g = image.geometry();
        if (g == nullptr) {
            return;
        }
        const BatScan scan = ScanBat(image);
        const uint64_t entries = g->BatEntriesInRegion();
        if (entries < g->totalBatEntries) {
            Add(Severity::Error, Effect::Bytes, "bat-too-short",
                "the BAT region holds " + std::to_string(entries) + " entries but the disk needs " +
                    std::to_string(g->requiredBatEntries) + "; the driver cannot serve the last " +
                    Count(scan.blocksBeyondRegion, "block", "blocks"));
        } else if (entries < g->requiredBatEntries) {
            Add(Severity::Error, Effect::Format, "bat-too-short",
                "the BAT region holds " + std::to_string(entries) + " entries but the disk needs " +
                    std::to_string(g->requiredBatEntries) +
                    " (the last chunk's sector bitmap entry is missing)");
        }
        ReportScan(scan, *g);
    }

    void ReportScan(const BatScan& scan, const Geometry& g) {
        struct Row {
            const BatScan::Problem& problem;
            Severity severity;
            Effect effect;
            const char* code;
            bool blocks;  // payload blocks, else sector bitmaps (by chunk)
            const char* what;
            const char* consequence;
        };
        const Row rows[] = {
            {scan.reservedState, Severity::Error, Effect::Bytes, "bat-reserved-state", true,
             "in the reserved state 4 or 5",
             "a full reader refuses them, the driver reads them as present blocks"},
            {scan.partialWithoutParent, Severity::Error, Effect::Bytes,
             "bat-partial-without-parent", true, "partially present in an image without a parent",
             "the driver reads their unmarked sectors as zeros"},
            {scan.partialWithoutBitmap, Severity::Error, Effect::Bytes,
             "bat-partial-without-bitmap", true, "partially present without a sector bitmap",
             "the driver fails reads of them with STATUS_UNRECOGNIZED_MEDIA"},
            {scan.blockBeyondEof, Severity::Error, Effect::Bytes, "bat-beyond-eof", true,
             "running past the end of the file", "the driver's reads of them come back short"},
            {scan.blockOverlap, Severity::Error, Effect::Bytes, "bat-overlap", true,
             "overlapping other data", "their bytes are not their own"},
            {scan.bitmapBeyondEof, Severity::Error, Effect::Bytes, "bat-beyond-eof", false,
             "running past the end of the file",
             "the driver fails reads of the sectors they do not cover"},
            {scan.bitmapOverlap, Severity::Error, Effect::Bytes, "bat-overlap", false,
             "overlapping other data", "their bits are not their own"},
            {scan.bitmapState, Severity::Warning, Effect::Format, "bat-bitmap-state", false,
             "in a state other than 0 or 6", "the driver takes them as not present"},
        };
        for (const Row& r : rows) {
            const BatScan::Problem& p = r.problem;
            if (p.count == 0) {
                continue;
            }
            Add(r.severity, r.effect, r.code,
                Count(p.count, r.blocks ? "payload block" : "sector bitmap",
                      r.blocks ? "payload blocks" : "sector bitmaps") +
                    " " + r.what + " (first: " + (r.blocks ? "block " : "chunk ") +
                    std::to_string(p.first) + (p.detail.empty() ? "" : ", " + p.detail) + "); " +
                    r.consequence);
        }
        if (g.dataSize > g.virtualDiskSize) {
            Add(Severity::Note, Effect::None, "served-beyond-disk",
                "the driver serves " + std::to_string(g.dataSize) + " bytes (whole blocks) of a " +
                    std::to_string(g.virtualDiskSize) +
                    "-byte virtual disk; readers that stop at the disk size "
                    "do not see the last " +
                    std::to_string(g.dataSize - g.virtualDiskSize) + " bytes");
        }
    }

    std::vector<Finding>* out_;
    std::string subject_;
};

}  // namespace

const char* SeverityName(Severity severity) {
    switch (severity) {
        case Severity::Note: return "note";
        case Severity::Warning: return "warning";
        case Severity::Error: return "error";
    }
    return "?";
}

const char* EffectName(Effect effect) {
    switch (effect) {
        case Effect::None: return "none";
        case Effect::Format: return "format";
        case Effect::Bytes: return "bytes";
        case Effect::Stale: return "stale";
        case Effect::Unbindable: return "unbindable";
    }
    return "?";
}

BatScan ScanBat(const InspectedImage& image) {
    BatScan scan;
    const Geometry* g = image.geometry();
    if (g == nullptr) {
        return scan;
    }
    scan.scanned = true;
    const uint64_t inRegion = g->BatEntriesInRegion();
    const uint64_t blocksInRegion =
        std::min(g->dataBlocks, inRegion - inRegion / ((uint64_t)g->chunkRatio + 1));
    scan.blocksBeyondRegion = g->dataBlocks - blocksInRegion;

    const uint64_t fileSize = image.file->Size();
    std::optional<Occupancy> occupancy;
    if ((fileSize + MiB - 1) / MiB <= kMaxTrackedUnits && g->blockSize % MiB == 0) {
        occupancy.emplace(fileSize, Structures(image.layout));
        scan.overlapsChecked = true;
    }
    auto claim = [&](BatScan::Problem& beyond, BatScan::Problem& overlap, uint64_t number,
                     uint64_t offset, uint64_t length) {
        if (offset > fileSize || length > fileSize - offset) {
            beyond.Add(number, "at file offset " + Hex(offset, HexDigits::Upper));
        }
        if (occupancy && offset < fileSize) {
            if (const char* with = occupancy->Claim(offset, std::min(length, fileSize - offset))) {
                overlap.Add(number, "at file offset " + Hex(offset, HexDigits::Upper) +
                                        ", with the " + std::string(with));
            }
        }
    };
    // Entries past the file's end read as zeros: not present, nothing to
    // claim. They are counted, not walked; a BAT region of GiBs in a file of
    // one MiB would otherwise be half a billion entries.
    const uint64_t walked = std::min(g->requiredBatEntries, inRegion);
    const uint64_t inFile = std::min(
        walked, g->batOffset >= fileSize ? 0 : (fileSize - g->batOffset) / VHDX_BAT_ENTRY_SIZE);
    const auto payloadBefore = [&](uint64_t index) {  // payload blocks of the entries before index
        return std::min(g->dataBlocks, index - index / ((uint64_t)g->chunkRatio + 1));
    };
    uint64_t shown = 0;  // payload entries the walk visited; the rest are zeros
    BatReader bitmaps(*image.file, *g);
    uint64_t bitmapChunk = UINT64_MAX;
    bool bitmapPresent = false;
    WalkBatEntries(*image.file, *g, inFile, [&](const BatEntryRef& e) {
        if (e.isBitmap) {
            if (e.State() == SB_BLOCK_PRESENT) {
                scan.bitmapsPresent++;
                claim(scan.bitmapBeyondEof, scan.bitmapOverlap, e.number, e.FileOffset(),
                      VHDX_SECTOR_BITMAP_BLOCK_SIZE);
            } else if (e.State() != 0) {
                scan.bitmapState.Add(e.number);
            }
            return;
        }
        if (e.number >= g->dataBlocks) {
            return;  // padding of a differencing image's last chunk
        }
        const uint32_t state = e.State();
        scan.blocksByState[state]++;
        shown++;
        if (state == 4 || state == 5) {
            scan.reservedState.Add(e.number);
        }
        if (state == PAYLOAD_BLOCK_PARTIALLY_PRESENT) {
            if (!g->hasParent) {
                scan.partialWithoutParent.Add(e.number);
            }
            const uint64_t chunk = e.number / g->chunkRatio;
            if (chunk != bitmapChunk) {
                bitmapChunk = chunk;
                const auto entry =
                    bitmaps.Entry(VhdxSectorBitmapEntryIndex(e.number, g->chunkRatio));
                bitmapPresent = entry && VhdxBatEntryState(*entry) == SB_BLOCK_PRESENT;
            }
            if (!bitmapPresent) {
                scan.partialWithoutBitmap.Add(e.number);
            }
        }
        if (state >= 4) {
            claim(scan.blockBeyondEof, scan.blockOverlap, e.number, e.FileOffset(), g->blockSize);
        }
    });
    scan.blocksByState[0] += payloadBefore(walked) - shown;
    return scan;
}

std::vector<Finding> CheckChain(const Chain& chain) {
    std::vector<Finding> findings;
    Checker checker(&findings);
    checker.Image(*chain.child);
    const InspectedImage& child = *chain.child;
    const bool differencing =
        child.driver ? child.driver->Context()->HasParent != 0 : child.layout.metadata.HasParent();
    if (differencing) {
        checker.Parent(chain);
    }
    return findings;
}

bool Unbindable(const std::vector<Finding>& findings) {
    return std::any_of(findings.begin(), findings.end(),
                       [](const Finding& f) { return f.effect == Effect::Unbindable; });
}

bool Stale(const std::vector<Finding>& findings) {
    return std::any_of(findings.begin(), findings.end(),
                       [](const Finding& f) { return f.effect == Effect::Stale; });
}

}  // namespace tool

// pontor info, check and map: an image as the driver parses it and as a full
// reader sees it.
#include <cstdio>
#include <string>

#include "platform/host/host.h"
#include "tools/reader/check.h"
#include "tools/commands.h"
#include "tools/reader/extent_map.h"
#include "tools/json.h"

namespace tool {
namespace {

void Line(const char* label, const std::string& value) {
    std::printf("%-22s%s\n", label, value.c_str());
}

const char* LogState(const Layout& layout) {
    const HeaderCopy* h = layout.Current();
    if (h == nullptr)
        return "unknown";
    switch (layout.log.state) {
        case Log::State::None: return "empty";
        case Log::State::Replayable: return "not_replayed";
        case Log::State::Damaged: return "damaged";
        default: return "no_entries";
    }
}

// The image's own description, shared by info's text and JSON forms.
struct InfoFacts {
    const InspectedImage& image;
    const Chain& chain;
    const VhdxContext& c;  // the driver's parse
    BatScan scan;
};

void InfoText(const InfoFacts& f) {
    const Layout& layout = f.image.layout;
    const VhdxContext& c = f.c;
    Line("image:", f.image.displayName);
    Line("file size:", std::to_string(layout.fileSize) + " bytes");
    if (!layout.creator.empty()) {
        Line("creator:", layout.creator);
    }
    for (int i = 0; i < 2; i++) {
        const HeaderCopy& h = layout.headers[i];
        std::string text = h.Valid() ? "sequence " + std::to_string(h.sequenceNumber) : "damaged";
        if (i == layout.currentHeader) {
            text += " (current)";
        }
        Line(i == 0 ? "header copy 1:" : "header copy 2:", text);
    }
    if (const HeaderCopy* h = layout.Current()) {
        std::string log = "GUID " + h->logGuid.Text() + ", " + std::to_string(h->logLength) +
                          " bytes at " + Hex(h->logOffset, HexDigits::Upper) + ", ";
        const std::string state = LogState(layout);
        log += state == "empty"        ? "empty"
               : state == "no_entries" ? "no valid entries"
               : state == "damaged"
                   ? "cannot be replayed"
                   : std::to_string(layout.log.entries.size()) + " entries not replayed";
        Line("log:", log);
    }
    for (int i = 0; i < 2; i++) {
        const RegionTable& t = layout.regionTables[i];
        std::string text = t.Valid() ? std::to_string(t.entryCount) + " entries" : "damaged";
        if (i == layout.regionTableInUse) {
            text += " (in use)";
        } else if (t.Valid() && layout.regionTableInUse == 0) {
            text += layout.regionTables[0].bytes == t.bytes ? " (same as copy 1)"
                                                            : " (differs from copy 1)";
        }
        Line(i == 0 ? "region table copy 1:" : "region table copy 2:", text);
    }
    if (layout.regionTableInUse >= 0) {
        for (const RegionEntry& e : layout.regionTables[layout.regionTableInUse].entries) {
            const char* name = RegionName(e.guid);
            Line("region:", std::string(name ? name : e.guid.Text().c_str()) + " at " +
                                Hex(e.fileOffset, HexDigits::Upper) + ", " +
                                std::to_string(e.length) + " bytes" +
                                (e.required ? ", required" : ""));
        }
    }
    Line("virtual disk size:", std::to_string(c.VirtualDiskSize) + " bytes");
    Line("block size:", std::to_string(c.BlockSize) + " bytes");
    Line("logical sector size:", std::to_string(c.LogicalSectorSize) + " bytes");
    Line("physical sector size:", std::to_string(c.PhysicalSectorSize) + " bytes");
    Line("chunk ratio:", std::to_string(c.ChunkRatio) + " blocks");
    Line("payload blocks:", std::to_string(c.DataBlocksCount));
    Line("BAT:", "offset " + Hex(c.BatOffset, HexDigits::Upper) + ", " +
                     std::to_string(c.BatLength) + " bytes");
    Line("served size:", std::to_string(c.DataSize) + " bytes");
    std::string states;
    for (uint32_t s = 0; s < 8; s++) {
        if (f.scan.blocksByState[s] != 0) {
            states += (states.empty() ? "" : ", ") + std::to_string(f.scan.blocksByState[s]) + " " +
                      PayloadStateName(s);
        }
    }
    if (f.scan.blocksBeyondRegion != 0) {
        states += (states.empty() ? "" : ", ") + std::to_string(f.scan.blocksBeyondRegion) +
                  " past the BAT";
    }
    Line("block states:", states.empty() ? "none" : states);
    Line("sector bitmaps:", std::to_string(f.scan.bitmapsPresent) + " present");
    if (c.HasParent) {
        const std::string name = host::Utf8(f.chain.parentName);
        std::string where = name.empty() ? "(not named)" : f.chain.parentPath.string();
        if (!name.empty() && !f.chain.parent) {
            where += " (not found)";
        }
        Line("parent:", where);
    }
    bool first = true;
    for (const LocatorEntry& e : layout.metadata.locatorEntries) {
        Line(first ? "parent locator:" : "", host::Utf8(e.key) + " = " + host::Utf8(e.value));
        first = false;
    }
}

void InfoJson(const InfoFacts& f) {
    const Layout& layout = f.image.layout;
    const VhdxContext& c = f.c;
    Json j;
    j.BeginObject();
    j.Member("image", f.image.displayName);
    j.Member("file_size", layout.fileSize);
    j.Member("creator", layout.creator);
    j.Key("headers").BeginArray();
    for (int i = 0; i < 2; i++) {
        const HeaderCopy& h = layout.headers[i];
        j.BeginObject().Member("copy", i + 1).Member("offset", h.offset).Member("valid", h.Valid());
        j.Member("current", i == layout.currentHeader).Member("sequence_number", h.sequenceNumber);
        j.Member("file_write_guid", h.fileWriteGuid.Text())
            .Member("data_write_guid", h.dataWriteGuid.Text());
        j.Member("log_guid", h.logGuid.Text())
            .Member("log_offset", h.logOffset)
            .Member("log_length", h.logLength);
        j.Member("version", (uint32_t)h.version)
            .Member("log_version", (uint32_t)h.logVersion)
            .EndObject();
    }
    j.EndArray();
    j.Key("current_header");
    layout.currentHeader < 0 ? j.Null() : j.Number((uint64_t)layout.currentHeader + 1);
    j.Key("log")
        .BeginObject()
        .Member("state", LogState(layout))
        .Member("entries", (uint64_t)layout.log.entries.size());
    const std::vector<LogEntry>& entries = layout.log.entries;
    j.Member("first_sequence",
             (uint64_t)(entries.empty() ? 0 : entries.front().header.SequenceNumber))
        .Member("last_sequence",
                (uint64_t)(entries.empty() ? 0 : entries.back().header.SequenceNumber))
        .EndObject();
    j.Key("region_tables").BeginArray();
    for (int i = 0; i < 2; i++) {
        const RegionTable& t = layout.regionTables[i];
        j.BeginObject()
            .Member("copy", i + 1)
            .Member("valid", t.Valid())
            .Member("in_use", i == layout.regionTableInUse);
        j.Member("entry_count", t.entryCount).Key("entries").BeginArray();
        for (const RegionEntry& e : t.entries) {
            j.BeginObject().Member("guid", e.guid.Text());
            j.Key("name");
            RegionName(e.guid) ? j.String(RegionName(e.guid)) : j.Null();
            j.Member("file_offset", e.fileOffset)
                .Member("length", e.length)
                .Member("required", e.required);
            j.EndObject();
        }
        j.EndArray().EndObject();
    }
    j.EndArray();
    j.Key("metadata_items").BeginArray();
    for (const MetadataItem& item : layout.metadata.items) {
        j.BeginObject().Member("guid", item.id.Text()).Key("name");
        MetadataItemName(item.id) ? j.String(MetadataItemName(item.id)) : j.Null();
        j.Member("offset", item.offset)
            .Member("length", item.length)
            .Member("required", item.IsRequired());
        j.EndObject();
    }
    j.EndArray();
    j.Member("virtual_disk_size", c.VirtualDiskSize).Member("block_size", c.BlockSize);
    j.Member("logical_sector_size", c.LogicalSectorSize)
        .Member("physical_sector_size", c.PhysicalSectorSize);
    j.Member("chunk_ratio", c.ChunkRatio).Member("data_blocks", c.DataBlocksCount);
    j.Member("bat_offset", c.BatOffset)
        .Member("bat_length", c.BatLength)
        .Member("data_size", c.DataSize);
    j.Key("blocks").BeginObject();
    for (uint32_t s = 0; s < 8; s++) {
        j.Member(PayloadStateKey(s), f.scan.blocksByState[s]);
    }
    j.Member("past_bat", f.scan.blocksBeyondRegion).EndObject();
    j.Member("sector_bitmaps_present", f.scan.bitmapsPresent);
    j.Member("has_parent", c.HasParent != 0);
    j.Member("parent_path", host::Utf8(f.image.driver->ParentPath()));
    j.Key("parent_file");
    f.chain.parent ? j.String(f.chain.parentPath.string()) : j.Null();
    j.Key("parent_locator").BeginArray();
    for (const LocatorEntry& e : layout.metadata.locatorEntries) {
        j.BeginObject()
            .Member("key", host::Utf8(e.key))
            .Member("value", host::Utf8(e.value))
            .EndObject();
    }
    j.EndArray();
    j.EndObject();
    std::printf("%s\n", j.Text().c_str());
}

int Info(const ParsedArgs& args) {
    const std::string& image = args.Arguments()[0];
    const Chain chain = InspectChain(image, args.Verbose());
    const InspectedImage& child = *chain.child;
    if (!child.driver) {
        throw ToolError{image, child.refusal.message, child.refusal.status};
    }
    const InfoFacts facts{child, chain, *child.driver->Context(), ScanBat(child)};
    args.Flag("json") ? InfoJson(facts) : InfoText(facts);
    return kExitOk;
}

int Check(const ParsedArgs& args) {
    const std::string& image = args.Arguments()[0];
    Chain chain;
    try {
        chain = InspectChain(image, args.Verbose());
    } catch (ToolError& error) {
        error.exitCode = kExitUnreadable;
        throw;
    }
    const std::vector<Finding> findings = CheckChain(chain);
    size_t counts[3] = {};
    for (const Finding& f : findings) {
        counts[(int)f.severity]++;
    }
    const size_t notes = counts[0], warnings = counts[1], errors = counts[2];
    const bool clean = errors == 0 && warnings == 0;
    if (args.Flag("json")) {
        Json j;
        j.BeginObject().Member("image", image).Member("clean", clean);
        j.Member("errors", (uint64_t)errors)
            .Member("warnings", (uint64_t)warnings)
            .Member("notes", (uint64_t)notes);
        j.Key("findings").BeginArray();
        for (const Finding& f : findings) {
            j.BeginObject().Member("severity", SeverityName(f.severity)).Member("code", f.code);
            j.Member("effect", EffectName(f.effect))
                .Member("subject", f.subject)
                .Member("message", f.message);
            j.EndObject();
        }
        j.EndArray().EndObject();
        std::printf("%s\n", j.Text().c_str());
    } else {
        for (const Finding& f : findings) {
            std::printf("%s: %s: %s [%s]\n", f.subject.c_str(), SeverityName(f.severity),
                        f.message.c_str(), f.code.c_str());
        }
        if (clean) {
            std::printf("%s: no problems found\n", image.c_str());
        } else {
            std::printf("%s: %zu error%s, %zu warning%s\n", image.c_str(), errors,
                        errors == 1 ? "" : "s", warnings, warnings == 1 ? "" : "s");
        }
    }
    return clean ? kExitOk : kExitFailure;
}

int Map(const ParsedArgs& args) {
    const std::string& image = args.Arguments()[0];
    const Chain chain = InspectChain(image, args.Verbose());
    if (auto failure = BindingFailure(chain)) {
        throw *failure;
    }
    const bool json = args.Flag("json");
    Json j;
    if (json) {
        j.BeginArray();
    } else {
        std::printf("%-18s %-18s %-18s %-10s %s\n", "start", "length", "state", "layer",
                    "file offset");
    }
    MapChain(chain, [&](const Extent& e) {
        if (json) {
            j.BeginObject().Member("start", e.start).Member("length", e.length);
            j.Member("state", PayloadStateKey(e.state))
                .Member("layer", LayerName(e.layer))
                .Key("file_offset");
            e.fileOffset ? j.Number(*e.fileOffset) : j.Null();
            j.EndObject();
        } else {
            std::printf("%-18s %-18s %-18s %-10s %s\n", Hex(e.start, HexDigits::Upper).c_str(),
                        Hex(e.length, HexDigits::Upper).c_str(), PayloadStateName(e.state),
                        LayerName(e.layer),
                        e.fileOffset ? Hex(*e.fileOffset, HexDigits::Upper).c_str() : "-");
        }
    });
    if (json) {
        j.EndArray();
        std::printf("%s\n", j.Text().c_str());
    }
    return kExitOk;
}

}  // namespace

Command InfoCommand() {
    return {{"info",
             "IMAGE",
             "show an image's structures, geometry and block counts",
             "Parses IMAGE with the driver's parser and shows what a stub of it would serve\n"
             "(geometry, BAT position, served size) beside what a full VHDX reader sees: the\n"
             "header copies and which is current, the log, the region tables, the parent\n"
             "locator, and how many payload blocks are in each state.\n",
             {{0, "json", nullptr, "one JSON object on stdout"}},
             1,
             1},
            Info};
}

Command CheckCommand() {
    return {{"check",
             "IMAGE",
             "report what a full VHDX reader would object to",
             "Examines IMAGE (and, for a differencing image, the parent the driver would\n"
             "bind) for what a full VHDX reader objects to, and where the driver would serve\n"
             "other bytes than such a reader: damaged or disagreeing header and region\n"
             "table copies, a log that was not replayed, required items it does not know,\n"
             "BAT entries past the end of the file or overlapping, partially present blocks\n"
             "without a sector bitmap, a parent that changed since the child was made.\n"
             "Exit status: 0 no errors or warnings (notes allowed), 1 problems found,\n"
             "3 the image could not be read at all.\n",
             {{0, "json", nullptr, "one JSON object on stdout"}},
             1,
             1},
            Check};
}

Command MapCommand() {
    return {{"map",
             "IMAGE",
             "show which layer serves each range of the disk",
             "Prints the allocation map of the disk a stub of IMAGE serves: extents of the\n"
             "virtual disk with their payload state, the layer the driver reads them from\n"
             "(image, parent, zeros, or unreadable where a read fails or stops short) and\n"
             "the offset in that layer's file, merged where neighbours agree.\n",
             {{0, "json", nullptr, "one JSON array on stdout"}},
             1,
             1},
            Map};
}

}  // namespace tool

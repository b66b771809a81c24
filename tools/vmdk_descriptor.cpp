#include "tools/vmdk_descriptor.h"

#include <algorithm>
#include <cctype>
#include <cinttypes>
#include <cstdio>

namespace tool {
namespace {

constexpr uint64_t kSectorsPerGiB = (1ULL << 30) / 512;
constexpr const char* kNoUuid = "00000000-0000-0000-0000-000000000000";

struct AdapterRow {
    Adapter adapter;
    const char* name;
};
constexpr AdapterRow kAdapters[] = {
    {Adapter::Ide, "ide"},
    {Adapter::BusLogic, "buslogic"},
    {Adapter::LsiLogic, "lsilogic"},
    {Adapter::LegacyEsx, "legacyESX"},
};

}  // namespace

const char* AdapterName(Adapter adapter) {
    for (const AdapterRow& row : kAdapters) {
        if (row.adapter == adapter) {
            return row.name;
        }
    }
    return "ide";
}

std::optional<Adapter> ParseAdapter(std::string_view name) {
    for (const AdapterRow& row : kAdapters) {
        const std::string_view known = row.name;
        if (known.size() == name.size() &&
            std::equal(known.begin(), known.end(), name.begin(), [](char a, char b) {
                return std::tolower((unsigned char)a) == std::tolower((unsigned char)b);
            })) {
            return row.adapter;
        }
    }
    return std::nullopt;
}

DiskChs AdapterGeometry(Adapter adapter, uint64_t sectors) {
    DiskChs chs;
    if (adapter == Adapter::Ide) {
        // ATA's 16 heads of 63 sectors, cylinders not capped at 16383: what
        // VMware writes for an IDE disk of any size, and qemu-img too.
        chs = {0, 16, 63};
    } else if (sectors < kSectorsPerGiB) {
        // The BusLogic BIOS translation VMware uses for every SCSI adapter:
        // 64 heads of 32 sectors below 1 GiB, 128 below 2 GiB, then 255 of
        // 63 (qemu-img writes 255/63 for SCSI disks of any size).
        chs = {0, 64, 32};
    } else if (sectors < 2 * kSectorsPerGiB) {
        chs = {0, 128, 32};
    } else {
        chs = {0, 255, 63};
    }
    chs.cylinders = std::max<uint64_t>(1, sectors / ((uint64_t)chs.heads * chs.sectorsPerTrack));
    return chs;
}

std::string DescriptorText(const Descriptor& d) {
    const DiskChs chs = AdapterGeometry(d.adapter, d.sectors);
    char cid[16];
    std::snprintf(cid, sizeof cid, "%08" PRIx32, d.cid);
    std::string text = "# Disk DescriptorFile\nversion=1\nencoding=\"UTF-8\"\n";
    text += std::string("CID=") + cid + "\nparentCID=ffffffff\n";
    text += "createType=\"monolithicFlat\"\n\n# Extent description\n";
    // RW although the driver refuses writes: qemu skips an RDONLY extent
    // and is left with none. Hypervisors attach the disk read-only instead.
    text += "RW " + std::to_string(d.sectors) + " FLAT \"" + d.extent + "\" 0\n";
    text += "\n# The Disk Data Base\n#DDB\n\n";
    auto ddb = [&](const char* key, const std::string& value) {
        text += std::string("ddb.") + key + " = \"" + value + "\"\n";
    };
    // Hardware version 4 (Workstation 5) is the lowest that knows this
    // format: no product refuses a disk as too new for its virtual machine.
    ddb("virtualHWVersion", "4");
    ddb("adapterType", AdapterName(d.adapter));
    ddb("geometry.cylinders", std::to_string(chs.cylinders));
    ddb("geometry.heads", std::to_string(chs.heads));
    ddb("geometry.sectors", std::to_string(chs.sectorsPerTrack));
    // All four present keep VirtualBox from adding them, which would
    // rewrite this file.
    ddb("uuid.image", d.uuid);
    ddb("uuid.parent", kNoUuid);
    ddb("uuid.modification", kNoUuid);
    ddb("uuid.parentmodification", kNoUuid);
    return text;
}

}  // namespace tool

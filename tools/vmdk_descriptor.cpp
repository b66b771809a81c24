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
    char head[160];
    std::snprintf(head, sizeof head,
                  "# Disk DescriptorFile\n"
                  "version=1\n"
                  "encoding=\"UTF-8\"\n"
                  "CID=%08" PRIx32
                  "\n"
                  "parentCID=ffffffff\n"
                  "createType=\"monolithicFlat\"\n"
                  "\n"
                  "# Extent description\n",
                  d.cid);
    // RW although the driver refuses writes: qemu skips an RDONLY extent
    // and is left with none. Hypervisors attach the disk read-only instead.
    std::string text = head;
    text += "RW " + std::to_string(d.sectors) + " FLAT \"" + d.extent + "\" 0\n";
    // Hardware version 4 (Workstation 5) is the lowest that knows this
    // format: no product refuses a disk as too new for its virtual machine.
    // The four uuids present keep VirtualBox from adding them, which would
    // rewrite this file.
    text += "\n# The Disk Data Base\n#DDB\n\n";
    text += "ddb.virtualHWVersion = \"4\"\n";
    text += std::string("ddb.adapterType = \"") + AdapterName(d.adapter) + "\"\n";
    text += "ddb.geometry.cylinders = \"" + std::to_string(chs.cylinders) + "\"\n";
    text += "ddb.geometry.heads = \"" + std::to_string(chs.heads) + "\"\n";
    text += "ddb.geometry.sectors = \"" + std::to_string(chs.sectorsPerTrack) + "\"\n";
    text += "ddb.uuid.image = \"" + d.uuid + "\"\n";
    text += std::string("ddb.uuid.parent = \"") + kNoUuid + "\"\n";
    text += std::string("ddb.uuid.modification = \"") + kNoUuid + "\"\n";
    text += std::string("ddb.uuid.parentmodification = \"") + kNoUuid + "\"\n";
    return text;
}

}  // namespace tool

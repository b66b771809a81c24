// The VMDK text descriptor that stub create writes beside a stub: VMware,
// VirtualBox and QEMU's vmdk driver open a disk through such a file, whose
// one FLAT extent names the stub as the raw disk.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tool {

// ddb.adapterType, as VMware names the controllers.
enum class Adapter { Ide, BusLogic, LsiLogic, LegacyEsx };

const char* AdapterName(Adapter adapter);
std::optional<Adapter> ParseAdapter(std::string_view name);  // VMware's names, any letter case
constexpr const char* kAdapterNames = "ide, buslogic, lsilogic, legacyESX";

struct DiskChs {
    uint64_t cylinders;
    uint32_t heads, sectorsPerTrack;
};

// The geometry VMware gives a disk of that many 512-byte sectors on the adapter.
DiskChs AdapterGeometry(Adapter adapter, uint64_t sectors);

struct Descriptor {
    std::string extent;  // the flat file's name, in the descriptor's directory
    uint64_t sectors = 0;
    Adapter adapter = Adapter::LsiLogic;
    uint32_t cid = 0;
    std::string uuid;  // ddb.uuid.image: "xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx"
};

// The descriptor file's text.
std::string DescriptorText(const Descriptor& descriptor);

}  // namespace tool

// Writes a differencing child over an existing dynamic VHDX of any size (the
// benchmark's 64 TiB image, which qemu-img cannot give a child): the given
// blocks filled with a byte pattern, the rest left to the parent.
//
// usage: make_child PARENT OUT BLOCK...
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <vector>

#include "tools/reader/chain.h"
#include "tools/writer/vhdx_writer.h"

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: make_child PARENT OUT BLOCK...\n");
        return 2;
    }
    try {
        const tool::Chain chain = tool::InspectChain(argv[1], false);
        const tool::InspectedImage& parent = *chain.child;
        const tool::Geometry* g = parent.geometry();
        if (g == nullptr || parent.layout.Current() == nullptr) {
            std::fprintf(stderr, "make_child: %s: not a readable VHDX\n", argv[1]);
            return 1;
        }
        const std::filesystem::path out = std::filesystem::absolute(argv[2]);
        const tool::ParentLink link{
            parent.layout.Current()->dataWriteGuid,
            host::Utf16(".\\" + std::filesystem::path(argv[1]).filename().string()),
            {},
            {}};
        tool::VhdxWriter writer(out,
                                {g->virtualDiskSize, g->blockSize, g->logicalSectorSize,
                                 parent.layout.metadata.physicalSectorSize.value_or(512)},
                                link);
        std::vector<uint64_t> blocks;
        for (int i = 3; i < argc; i++) {
            blocks.push_back(std::strtoull(argv[i], nullptr, 10));
        }
        std::sort(blocks.begin(), blocks.end());
        std::vector<uint8_t> data(g->blockSize);
        for (uint64_t b : blocks) {
            std::fill(data.begin(), data.end(), (uint8_t)(0x40 + b % 64));
            writer.PutPresent(b, data.data());
        }
        writer.Commit();
    } catch (const tool::ToolError& e) {
        std::fprintf(stderr, "make_child: %s: %s\n", e.subject.c_str(), e.message.c_str());
        return 1;
    }
    return 0;
}

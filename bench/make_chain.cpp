// Writes the benchmark's differencing chain into DIR: parent.vhdx (every
// block present), child.vhdx (a third of its blocks present, a third absent,
// a sixth partially present with alternating sector runs, the rest zero) and
// chain.raw, the bytes a correct reader serves for the child.
//
// usage: make_chain DIR [SIZE_MIB]
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "tests/support/vhdx_image.h"

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: make_chain DIR [SIZE_MIB]\n");
        return 2;
    }
    const std::filesystem::path dir = argv[1];
    const uint64_t mib = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 1024;
    constexpr uint64_t MiB = 1 << 20;

    vhdxtest::ImageSpec parent;
    parent.virtualDiskSize = mib * MiB;
    parent.seed = 7;
    const uint64_t blocks = parent.DataBlocks();
    for (uint64_t b = 0; b < blocks; b++) {
        parent.blocks[b] = vhdxtest::State::FullyPresent;
    }

    vhdxtest::ImageSpec child;
    child.virtualDiskSize = parent.virtualDiskSize;
    child.hasParent = true;
    child.parentLocator = {{u"relative_path", u".\\parent.vhdx"}};
    for (uint64_t b = 0; b < blocks; b++) {
        switch (b % 6) {
            case 0:
            case 1: child.blocks[b] = vhdxtest::State::FullyPresent; break;
            case 2:
            case 3: break;  // absent: the parent's bytes
            case 4: child.blocks[b] = vhdxtest::State::PartiallyPresent; break;
            default: child.blocks[b] = vhdxtest::State::Zero; break;
        }
    }
    // Runs of 8 sectors alternately here and in the parent.
    const uint64_t chunks = (blocks + child.ChunkRatio() - 1) / child.ChunkRatio();
    for (uint64_t k = 0; k < chunks; k++) {
        child.sectorBitmaps[k] = std::vector<uint8_t>(1 << 20, 0x00);
        for (size_t i = 0; i < child.sectorBitmaps[k].size(); i += 2) {
            child.sectorBitmaps[k][i] = 0xFF;
        }
    }

    vhdxtest::WriteFile(dir / "parent.vhdx", vhdxtest::Build(parent).bytes);
    vhdxtest::WriteFile(dir / "child.vhdx", vhdxtest::Build(child).bytes);
    vhdxtest::WriteFile(dir / "chain.raw",
                        vhdxtest::ExpectedBytes(child, &parent, 0, child.virtualDiskSize));
    return 0;
}

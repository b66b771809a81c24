// Images written by qemu-img: the parse agrees with `qemu-img info`, and the
// served bytes equal `qemu-img convert -O raw` for the whole virtual disk.
#include <gtest/gtest.h>

#include <fstream>
#include <random>
#include <regex>

#include "tests/support/image_fixture.h"

namespace {

using fixture::DriverTest;
using fixture::OpenedImage;
using fixture::ScratchVolume;

uint64_t JsonNumber(const std::string& json, const std::string& key) {
    std::smatch match;
    if (!std::regex_search(json, match, std::regex("\"" + key + "\": *([0-9]+)"))) {
        ADD_FAILURE() << "no " << key << " in " << json;
        return 0;
    }
    return std::stoull(match[1]);
}

struct QemuCase {
    const char* name;
    const char* subformat;
    uint32_t blockMiB;
    uint64_t virtualSize;
    bool withData;  // converted from a raw file with scattered random data
};

using kit::MiB;

class QemuImages : public DriverTest, public ::testing::WithParamInterface<QemuCase> {};

TEST_P(QemuImages, ParseAgreesWithQemuAndServesItsBytes) {
    if (!kit::Have("qemu-img")) {
        GTEST_SKIP() << "qemu-img is not installed (scripts/setup.sh installs qemu-utils)";
    }
    const QemuCase& c = GetParam();
    ScratchVolume volume;
    const auto image = volume.File("disk.vhdx");
    const std::string options =
        std::string("subformat=") + c.subformat + ",block_size=" + std::to_string(c.blockMiB) + "M";
    if (c.withData) {
        // Random bytes in a few scattered places, zeros elsewhere, so that
        // dynamic images have present and absent blocks side by side.
        std::vector<uint8_t> raw(c.virtualSize, 0);
        std::mt19937_64 random(c.virtualSize ^ c.blockMiB);
        for (int run = 0; run < 12; run++) {
            const uint64_t at = random() % c.virtualSize;
            const uint64_t length =
                std::min<uint64_t>(random() % (3 * MiB) + 1, c.virtualSize - at);
            for (uint64_t i = 0; i < length; i++) {
                raw[at + i] = (uint8_t)random();
            }
        }
        raw.back() = 0xEE;  // the last byte of a size that is no multiple of the block
        std::ofstream(volume.File("source.raw"), std::ios::binary)
            .write((const char*)raw.data(), (std::streamsize)raw.size());
        kit::Output("qemu-img convert -f raw -O vhdx -o " + options + " '" +
                    volume.File("source.raw").string() + "' '" + image.string() + "' 2>&1");
    } else {
        kit::Output("qemu-img create -q -f vhdx -o " + options + " '" + image.string() + "' " +
                    std::to_string(c.virtualSize) + " 2>&1");
    }
    const std::string info = kit::Output("qemu-img info --output=json '" + image.string() + "'");

    OpenedImage opened(volume, "disk.vhdx");
    ASSERT_EQ(opened.OpenStatus(), STATUS_SUCCESS);
    ASSERT_EQ(opened.Parse(), STATUS_SUCCESS);
    const VhdxContext& context = *opened.Context();
    EXPECT_EQ(context.VirtualDiskSize, JsonNumber(info, "virtual-size"));
    EXPECT_EQ(context.BlockSize, JsonNumber(info, "cluster-size"));
    EXPECT_EQ(context.LogicalSectorSize, 512u);
    EXPECT_EQ(context.HasParent, 0u);
    const uint64_t blocks = (c.virtualSize + c.blockMiB * MiB - 1) / (c.blockMiB * MiB);
    EXPECT_EQ(context.DataBlocksCount, blocks);
    EXPECT_EQ(context.DataSize, blocks * c.blockMiB * MiB);
    EXPECT_EQ(context.ChunkRatio, (512ull << 23) / (c.blockMiB * MiB));

    // The served bytes against qemu's own reading of the image.
    kit::Output("qemu-img convert -O raw '" + image.string() + "' '" +
                volume.File("qemu.raw").string() + "'");
    const std::vector<uint8_t> expected = kit::ReadFile(volume.File("qemu.raw"));
    ASSERT_EQ(expected.size(), c.virtualSize);
    StreamContext stream = {};
    std::vector<uint8_t> served(expected.size());
    constexpr ULONG kRequest = 3 * MiB + 512;  // crosses block boundaries at odd places
    for (uint64_t at = 0; at < served.size(); at += kRequest) {
        const ULONG length = (ULONG)std::min<uint64_t>(kRequest, served.size() - at);
        ULONG produced = 0;
        ASSERT_EQ(VhdxProcessRead(opened.Related(), &stream, opened.Context(), at, length,
                                  served.data() + at, &produced),
                  STATUS_SUCCESS)
            << "at " << at;
        ASSERT_EQ(produced, length) << "at " << at;
    }
    EXPECT_TRUE(served == expected) << "served bytes differ from qemu-img convert";
}

INSTANTIATE_TEST_SUITE_P(
    Qemu, QemuImages,
    ::testing::Values(QemuCase{"dynamic_1M", "dynamic", 1, 64 * MiB, true},
                      QemuCase{"dynamic_2M_odd_size", "dynamic", 2, 37 * MiB + 4096, true},
                      QemuCase{"dynamic_32M_odd_size", "dynamic", 32, 100 * MiB + 512, true},
                      QemuCase{"dynamic_256M_small", "dynamic", 256, 10 * MiB, true},
                      QemuCase{"dynamic_1M_empty", "dynamic", 1, 130 * MiB, false},
                      QemuCase{"fixed_1M", "fixed", 1, 24 * MiB, true},
                      QemuCase{"fixed_2M_odd_size", "fixed", 2, 9 * MiB + 1536, true},
                      QemuCase{"fixed_32M", "fixed", 32, 40 * MiB, false},
                      QemuCase{"fixed_256M_odd_size", "fixed", 256, 5 * MiB + 512, true}),
    [](const auto& info) { return std::string(info.param.name); });

// With 512-byte sectors a chunk spans 4 GiB whatever the block size, so only
// a disk beyond 4 GiB has a sector bitmap entry between two payload entries.
TEST_F(DriverTest, QemuImageAcrossChunkBoundary) {
    if (!kit::Have("qemu-img") || !kit::Have("qemu-io")) {
        GTEST_SKIP() << "qemu-img or qemu-io is not installed";
    }
    ScratchVolume volume;
    const auto image = volume.File("big.vhdx");
    const uint64_t chunk = 4ull << 30;
    kit::Output("qemu-img create -q -f vhdx -o block_size=32M '" + image.string() + "' 5G");
    kit::Output("qemu-io -f vhdx -c 'write -P 0x5a " + std::to_string(chunk - 512) +
                " 4096' -c 'write -P "
                "0xa5 " +
                std::to_string(chunk + 40 * MiB) + " 1M' '" + image.string() + "' >/dev/null");
    kit::Output("qemu-img convert -O raw '" + image.string() + "' '" +
                volume.File("big.raw").string() + "'");

    OpenedImage opened(volume, "big.vhdx");
    ASSERT_EQ(opened.Parse(), STATUS_SUCCESS);
    ASSERT_EQ(opened.Context()->ChunkRatio, 128u);
    StreamContext stream = {};
    const struct {
        uint64_t offset;
        ULONG length;
    } windows[] = {{chunk - 2 * MiB, 4 * MiB},
                   {chunk - 512, 4096},
                   {chunk + 39 * MiB, 3 * MiB},
                   {chunk - 32 * MiB, 64 * MiB}};
    for (const auto& w : windows) {
        const std::vector<uint8_t> expected =
            kit::ReadAt(volume.File("big.raw"), w.offset, w.length);
        std::vector<uint8_t> served(w.length);
        ULONG produced = 0;
        ASSERT_EQ(VhdxProcessRead(opened.Related(), &stream, opened.Context(), w.offset, w.length,
                                  served.data(), &produced),
                  STATUS_SUCCESS);
        EXPECT_EQ(produced, w.length);
        EXPECT_TRUE(served == expected) << "window at " << w.offset;
    }
}

}  // namespace

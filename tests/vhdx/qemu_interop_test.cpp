// A qemu-img image whose data lies on both sides of a chunk boundary serves
// the bytes `qemu-img convert -O raw` reads. (tests/tools/qemu_test.cpp
// serves qemu-img's smaller images through the whole stack.)
#include <gtest/gtest.h>

#include "tests/support/image_fixture.h"

namespace {

using fixture::DriverTest;
using fixture::OpenedImage;
using fixture::ScratchVolume;
using kit::MiB;

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

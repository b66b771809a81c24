// The tool on images written by qemu-img: the geometry is the one qemu-img
// reports, check finds nothing to object to, and the map and pontor cat serve
// exactly the bytes qemu-img reads back.
#include <gtest/gtest.h>

#include <random>
#include <regex>

#include "tests/tools/tool_fixture.h"
#include "tools/reader/extent_map.h"

namespace {

using kit::MiB;
using kit::ReadAt;

struct QemuImage {
    const char* name;
    const char* options;  // qemu-img convert -o
    uint64_t size;
};

std::ostream& operator<<(std::ostream& out, const QemuImage& c) { return out << c.name; }

// Data with holes: random runs, one starting mid-sector, zeros between.
std::vector<uint8_t> RawDisk(uint64_t size) {
    std::vector<uint8_t> raw(size, 0);
    std::mt19937_64 random(5);
    for (auto [from, to] :
         {std::pair{0ULL, 3 * MiB}, {9 * MiB + 100, 12 * MiB}, {size - MiB / 2, size}}) {
        for (uint64_t i = from; i < to; i++) {
            raw[i] = (uint8_t)random();
        }
    }
    return raw;
}

uint64_t JsonNumber(const std::string& json, const std::string& key) {
    std::smatch match;
    if (!std::regex_search(json, match, std::regex("\"" + key + "\": *([0-9]+)"))) {
        ADD_FAILURE() << "no " << key << " in " << json;
        return 0;
    }
    return std::stoull(match[1]);
}

class QemuImages : public fixture::DriverTest, public ::testing::WithParamInterface<QemuImage> {};
class QemuDiskTest : public fixture::DriverTest {};

TEST_P(QemuImages, CheckIsCleanAndTheMapServesQemusBytes) {
    if (!tooltest::Have("qemu-img")) {
        GTEST_SKIP()
            << "qemu-img is not installed (Debian package qemu-utils, see scripts/setup.sh)";
    }
    const QemuImage& c = GetParam();
    kit::ScratchDir dir;
    const std::vector<uint8_t> raw = RawDisk(c.size);
    vhdxtest::WriteFile(dir.File("disk.raw"), raw);
    ASSERT_EQ(
        tooltest::Shell("qemu-img convert -q -f raw -O vhdx -o " + std::string(c.options) + " " +
                        dir.File("disk.raw").string() + " " + dir.File("disk.vhdx").string()),
        0);

    const std::string info =
        kit::Output("qemu-img info --output=json '" + dir.File("disk.vhdx").string() + "'");
    const tooltest::Run check = tooltest::Pontor({"check", "disk.vhdx"}, dir.Dir());
    EXPECT_EQ(check.exitCode, 0) << check.out;

    std::vector<uint8_t> served;
    {
        const tool::Chain chain = tool::InspectChain(dir.Dir(), "disk.vhdx", "disk.vhdx", false);
        ASSERT_FALSE(tool::BindingFailure(chain));
        EXPECT_EQ(chain.child->geometry()->virtualDiskSize, JsonNumber(info, "virtual-size"));
        EXPECT_EQ(chain.child->geometry()->blockSize, JsonNumber(info, "cluster-size"));
        tool::MapChain(chain, [&](const tool::Extent& e) {
            ASSERT_TRUE(e.layer == tool::Layer::Image || e.layer == tool::Layer::Zeros)
                << tool::LayerName(e.layer);
            const std::vector<uint8_t> bytes =
                e.layer == tool::Layer::Image ? ReadAt(chain.child->path, *e.fileOffset, e.length)
                                              : std::vector<uint8_t>(e.length, 0);
            served.insert(served.end(), bytes.begin(), bytes.end());
        });
    }
    ASSERT_GE(served.size(), raw.size());
    EXPECT_TRUE(std::equal(raw.begin(), raw.end(), served.begin()));
    EXPECT_TRUE(std::all_of(served.begin() + (long)raw.size(), served.end(),
                            [](uint8_t b) { return b == 0; }));

    // pontor cat serves those bytes through the host build and through
    // pontor.sys itself.
    ASSERT_EQ(tooltest::Pontor({"stub", "create", "disk.vhdx"}, dir.Dir()).exitCode, 0);
    for (const std::string driver : {"", PONTOR_WINDOWS_IMAGE}) {
        SCOPED_TRACE("PONTOR_DRIVER=" + driver);
        if (!driver.empty() && !std::filesystem::exists(driver)) {
            GTEST_SKIP() << driver << " is not built (mingw-w64, see scripts/setup.sh)";
        }
        const kit::Run cat = kit::Spawn({PONTOR_BINARY, "cat", "disk-flat.vmdk", "-o", "cat.raw"},
                                        dir.Dir(), {"PONTOR_DRIVER=" + driver});
        ASSERT_EQ(cat.exitCode, 0) << cat.err;
        EXPECT_TRUE(kit::ReadFile(dir.File("cat.raw")) == served);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Qemu, QemuImages,
    ::testing::ValuesIn(std::vector<QemuImage>{
        {"Dynamic1MiBBlocks", "subformat=dynamic,block_size=1M", 24 * MiB},
        {"DynamicDefaultBlocksPartialLast", "subformat=dynamic", 40 * MiB + 4096},
        {"Fixed", "subformat=fixed,block_size=8M", 24 * MiB},
        {"ZeroStateBlocks", "subformat=dynamic,block_size=1M,block_state_zero=on", 16 * MiB},
    }),
    [](const auto& info) { return std::string(info.param.name); });

// A log entry qemu wrote: qemu-io allocating a block logs the BAT sector,
// applies it and clears the log GUID. With the GUID set again and the BAT
// sector as it was, the image is one qemu left by a crash before it applied
// the entry. The serving commands apply it in memory, byte for byte as
// pontor replay does, and the disk is the one qemu's own replay gives.
TEST_F(QemuDiskTest, AnEntryQemuLoggedIsAppliedAsQemuReplaysIt) {
    if (!tooltest::Have("qemu-img") || !tooltest::Have("qemu-io")) {
        GTEST_SKIP() << "qemu-img or qemu-io is not installed (Debian package qemu-utils)";
    }
    kit::ScratchDir dir;
    const std::string in = "cd " + dir.Dir().string() + " && ";
    ASSERT_EQ(tooltest::Shell(in + "qemu-img create -q -f vhdx -o block_size=1M before.vhdx 16M && "
                                   "qemu-io -c 'write -q -P 0x11 0 1M' before.vhdx && "
                                   "cp before.vhdx after.vhdx && "
                                   "qemu-io -c 'write -q -P 0x22 8M 1M' after.vhdx"),
              0);
    vhdxtest::Image image;
    image.bytes = kit::ReadFile(dir.File("after.vhdx"));
    const std::vector<uint8_t> before = kit::ReadFile(dir.File("before.vhdx"));
    constexpr uint64_t kEntry = MiB;  // qemu's log lies at 1 MiB and starts over at its start
    ASSERT_EQ(std::string(&image.bytes[kEntry], &image.bytes[kEntry] + 4), "loge");
    ASSERT_EQ(vhdxtest::Load32(&image.bytes[kEntry + 24]), 1u);  // one descriptor
    const uint64_t target = vhdxtest::Load64(&image.bytes[kEntry + 64 + 16]);
    ASSERT_LT(target + 4096, before.size());
    std::copy_n(&before[target], 4096, &image.bytes[target]);
    vhdxtest::Guid log;
    std::copy_n(&image.bytes[kEntry + 32], 16, log.bytes.begin());
    tooltest::patch::SetLogGuid(image, 0, log);
    tooltest::patch::SetLogGuid(image, 1, log);
    vhdxtest::WriteFile(dir.File("dirty.vhdx"), image.bytes);

    const tooltest::Run check = tooltest::Pontor({"check", "dirty.vhdx"}, dir.Dir());
    EXPECT_NE(check.out.find("the log holds 1 entry"), std::string::npos) << check.out;
    ASSERT_EQ(tooltest::Pontor({"replay", "dirty.vhdx", "out.vhdx"}, dir.Dir()).exitCode, 0);
    for (const bool ignore : {false, true}) {
        std::vector<std::string> args = {"read",     "dirty.vhdx", "--offset", "0",
                                         "--length", "64M",        "-o",       "view.vhdx"};
        if (ignore) {
            args.push_back("--ignore-log");
        }
        ASSERT_EQ(tooltest::Pontor(args, dir.Dir()).exitCode, 0);
        EXPECT_TRUE(kit::ReadFile(dir.File("view.vhdx")) ==
                    (ignore ? image.bytes : kit::ReadFile(dir.File("out.vhdx"))))
            << ignore;
        std::filesystem::remove(dir.File("view.vhdx"));
    }
    ASSERT_EQ(tooltest::Pontor({"stub", "create", "--force", "dirty.vhdx"}, dir.Dir()).exitCode, 0);
    ASSERT_EQ(tooltest::Pontor({"cat", "dirty-flat.vmdk", "-o", "served.raw"}, dir.Dir()).exitCode,
              0);
    ASSERT_EQ(tooltest::Shell(in + "cp dirty.vhdx qemu.vhdx && qemu-img check -q -r all qemu.vhdx"),
              0);
    EXPECT_EQ(
        kit::Output(in + "qemu-img compare -q -f raw -F vhdx served.raw qemu.vhdx && echo same"),
        "same\n");
    EXPECT_EQ(kit::ReadAt(dir.File("served.raw"), 8 * MiB, 1), std::vector<uint8_t>{0x22});
    EXPECT_TRUE(kit::ReadFile(dir.File("dirty.vhdx")) == image.bytes);
}

}  // namespace

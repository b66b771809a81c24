// pontor mount: standard tools see bound stubs as read-only raw disks of the
// served size, with the header behind an ioctl, and everything else as it
// is. Every test mounts in its own temporary directory and unmounts, also
// when it fails.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <thread>

#include "tests/tools/tool_fixture.h"
#include "tools/pontor_ioctl.h"

namespace {

using vhdxtest::ImageSpec;
using vhdxtest::State;
namespace fs = std::filesystem;
using kit::MiB;

ImageSpec Parent() {
    ImageSpec shape;
    shape.virtualDiskSize = 6 * MiB;
    shape.seed = 8;
    for (uint64_t b = 0; b < 6; b++) {
        shape.blocks[b] = b == 4 ? State::NotPresent : State::FullyPresent;
    }
    return shape;
}

ImageSpec Child() {
    ImageSpec shape = Parent();
    shape.seed = 9;
    shape.hasParent = true;
    shape.parentLocator = tooltest::LocatorFor(u"parent.vhdx");
    shape.blocks = {{0, State::FullyPresent}, {2, State::PartiallyPresent}, {5, State::Zero}};
    shape.sectorBitmaps[0] = std::vector<uint8_t>(1 << 20, 0);
    for (uint64_t sector = 4096; sector < 6144; sector++) {
        if (sector % 5 < 2) {
            shape.sectorBitmaps[0][sector / 8] |= (uint8_t)(1 << (sector % 8));
        }
    }
    return shape;
}

std::vector<uint8_t> Expected(uint64_t offset, uint64_t length) {
    const ImageSpec child = Child(), parent = Parent();
    return vhdxtest::ExpectedBytes(child, &parent, offset, length);
}

bool Mounted(const fs::path& mountpoint) {
    struct stat here, above;
    return ::stat(mountpoint.c_str(), &here) == 0 &&
           ::stat(mountpoint.parent_path().c_str(), &above) == 0 && here.st_dev != above.st_dev;
}

// The mount table lists a mount from the moment it is made until it is
// unmounted, whether its daemon serves it yet, still or no longer; a stat
// would wait for the daemon, or fail once it is gone.
bool InMountTable(const fs::path& mountpoint) {
    std::string escaped;  // as the table writes it
    for (const char c : mountpoint.string()) {
        if (c == ' ' || c == '\t' || c == '\n' || c == '\\') {
            char octal[8];
            std::snprintf(octal, sizeof octal, "\\%03o", (unsigned char)c);
            escaped += octal;
        } else {
            escaped += c;
        }
    }
    const std::vector<uint8_t> table = tooltest::ReadFile("/proc/self/mountinfo");
    return std::string(table.begin(), table.end()).find(" " + escaped + " ") != std::string::npos;
}

class MountTest : public fixture::DriverTest {
protected:
    void SetUp() override {
        fixture::DriverTest::SetUp();
        if (::access("/dev/fuse", R_OK | W_OK) != 0) {
            GTEST_SKIP() << "/dev/fuse is not available here, so the mount cannot be tested (CI "
                            "provides it)";
        }
        if (!tooltest::Have("fusermount3")) {
            GTEST_SKIP()
                << "fusermount3 is missing (Debian package fuse3, installed by scripts/setup.sh)";
        }
        source_ = dir_.File("source");
        mountpoint_ = dir_.File("mnt");
        fs::create_directories(source_);
        fs::create_directories(mountpoint_);
        vhdxtest::WriteFile(source_ / "child.vhdx", vhdxtest::Build(Child()).bytes);
        vhdxtest::WriteFile(source_ / "parent.vhdx", vhdxtest::Build(Parent()).bytes);
        ASSERT_EQ(tooltest::Pontor({"stub", "create", "child.vhdx"}, source_).exitCode, 0);
    }

    void TearDown() override {
        Unmount();
        fixture::DriverTest::TearDown();
    }

    void Mount(const std::vector<std::string>& options = {}) {
        Spawn(options);
        for (int i = 0; i < 500 && !Mounted(mountpoint_); i++) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        const std::vector<uint8_t> log = tooltest::ReadFile(dir_.File("mount.log"));
        ASSERT_TRUE(Mounted(mountpoint_))
            << "not mounted after 5 s; the daemon said: " << std::string(log.begin(), log.end());
    }

    // Starts the daemon in the foreground, its output in mount.log.
    void Spawn(const std::vector<std::string>& options = {}) {
        std::vector<std::string> argv = {PONTOR_BINARY, "mount", "-f"};
        argv.insert(argv.end(), options.begin(), options.end());
        argv.insert(argv.end(), {source_.string(), mountpoint_.string()});
        daemon_ = kit::Launch(argv, dir_.File("mount.log"), dir_.File("mount.log"));
        ASSERT_GT(daemon_, 0);
    }

    // SIGTERM, as a user stopping the daemon would; anything left is forced.
    // Returns the daemon's exit status.
    int Unmount() {
        int status = -1;
        if (daemon_ > 0) {
            ::kill(daemon_, SIGTERM);
            for (int i = 0; i < 500; i++) {
                int wstatus;
                if (::waitpid(daemon_, &wstatus, WNOHANG) == daemon_) {
                    status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
                    break;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
            if (status < 0) {
                ::kill(daemon_, SIGKILL);
                ::waitpid(daemon_, nullptr, 0);
            }
            daemon_ = 0;
        }
        // Also a mount whose daemon died, which stat no longer reaches.
        if (!mountpoint_.empty() && InMountTable(mountpoint_)) {
            tooltest::Shell("fusermount3 -uz '" + mountpoint_.string() + "' 2>/dev/null");
        }
        return status;
    }

    fs::path Served(const std::string& name) const { return mountpoint_ / name; }

    kit::ScratchDir dir_;
    fs::path source_, mountpoint_;
    pid_t daemon_ = 0;
};

TEST_F(MountTest, StatShowsTheServedSizeAndStandardToolsReadTheDisk) {
    Mount();
    EXPECT_EQ(fs::file_size(Served("child-flat.vmdk")), 6 * MiB);
    EXPECT_EQ(fs::file_size(Served("parent.vhdx")), fs::file_size(source_ / "parent.vhdx"));
    EXPECT_TRUE(tooltest::ReadFile(Served("child-flat.vmdk")) == Expected(0, 6 * MiB));
}

TEST_F(MountTest, WritesFailWithEaccesAndChangeNothing) {
    Mount();
    const std::vector<uint8_t> stub = tooltest::ReadFile(source_ / "child-flat.vmdk");
    const std::vector<uint8_t> image = tooltest::ReadFile(source_ / "child.vhdx");
    const char data[] = "overwrite";
    // An open for writing is refused when it binds the stub; the mount's own
    // lookup may have bound it first, and the cache keeps that binding, so
    // then it opens and cannot write.
    errno = 0;
    const int first = ::open(Served("child-flat.vmdk").c_str(), O_WRONLY);
    EXPECT_EQ(first >= 0 ? (int)::pwrite(first, data, sizeof data, 0) : first, -1);
    EXPECT_EQ(errno, EACCES);
    if (first >= 0) {
        ::close(first);
    }
    // With the stub bound by a reader, a writer opens but cannot write.
    const int reader = ::open(Served("child-flat.vmdk").c_str(), O_RDONLY);
    ASSERT_GE(reader, 0);
    const int writer = ::open(Served("child-flat.vmdk").c_str(), O_RDWR);
    if (writer >= 0) {
        errno = 0;
        EXPECT_EQ(::pwrite(writer, data, sizeof data, 4096), -1);
        EXPECT_EQ(errno, EACCES);
        EXPECT_EQ(::ftruncate(writer, 0), -1);
        EXPECT_EQ(errno, EACCES);
        ::close(writer);
    } else {
        EXPECT_EQ(errno, EACCES);
    }
    ::close(reader);
    EXPECT_NE(::truncate(Served("child-flat.vmdk").c_str(), 10), 0);
    EXPECT_EQ(errno, EACCES);
    EXPECT_NE(tooltest::Shell("echo x > " + Served("child-flat.vmdk").string() + " 2>/dev/null"),
              0);
    EXPECT_TRUE(tooltest::ReadFile(source_ / "child-flat.vmdk") == stub);
    EXPECT_TRUE(tooltest::ReadFile(source_ / "child.vhdx") == image);
}

TEST_F(MountTest, TheIoctlReturnsTheHeader) {
    vhdxtest::WriteFile(source_ / "lost.vmdk", vhdxtest::StubBytes("absent.vhdx"));
    Mount();
    struct Case {
        const char* name;
        int error;
    };
    for (const Case& c :
         {Case{"child-flat.vmdk", 0}, Case{"parent.vhdx", ENOTTY}, Case{"lost.vmdk", ENODATA}}) {
        SCOPED_TRACE(c.name);
        const int fd = ::open(Served(c.name).c_str(), O_RDONLY);
        ASSERT_GE(fd, 0);
        std::vector<uint8_t> header(PONTOR_STUB_HEADER_BYTES, 0xCC);
        errno = 0;
        const int result = ::ioctl(fd, PONTOR_IOC_GET_STUB_HEADER, header.data());
        ::close(fd);
        EXPECT_EQ(result, c.error ? -1 : 0);
        EXPECT_EQ(errno, c.error);
        if (c.error == 0) {
            std::vector<uint8_t> expected = tooltest::ReadFile(source_ / "child-flat.vmdk");
            expected.resize(PONTOR_STUB_HEADER_BYTES, 0);
            EXPECT_TRUE(header == expected);
        }
    }
}

TEST_F(MountTest, ACorruptImagesStubReadsAsItsPlainBytes) {
    std::vector<uint8_t> image = tooltest::ReadFile(source_ / "child.vhdx");
    image[0x30000 + 64] ^= 1;  // the first region table's checksum no longer holds
    vhdxtest::WriteFile(source_ / "child.vhdx", image);
    Mount();
    EXPECT_TRUE(tooltest::ReadFile(Served("child-flat.vmdk")) ==
                tooltest::ReadFile(source_ / "child-flat.vmdk"));
    EXPECT_EQ(fs::file_size(Served("child-flat.vmdk")), 2048u);
}

TEST_F(MountTest, OtherFilesPassThrough) {
    Mount();
    fs::create_directory(Served("notes"));
    const std::string text(100000, 'n');
    ASSERT_EQ(tooltest::Shell("printf '%s' " + text + " > " + Served("notes/a.txt").string()), 0);
    EXPECT_EQ(tooltest::ReadFile(source_ / "notes/a.txt").size(), text.size());
    fs::rename(Served("notes/a.txt"), Served("notes/b.vmdk"));  // too short to be a stub
    EXPECT_EQ(tooltest::ReadFile(Served("notes/b.vmdk")).size(), text.size());
    ASSERT_EQ(tooltest::Shell("printf 'more' >> " + Served("notes/b.vmdk").string()), 0);
    EXPECT_EQ(fs::file_size(source_ / "notes/b.vmdk"), text.size() + 4);
    fs::remove_all(Served("notes"));
    EXPECT_FALSE(fs::exists(source_ / "notes"));
}

// An image whose log was not replayed: the mount serves it, and its stub's
// disk, as 'pontor replay' writes them, and never writes the file; with
// --ignore-log, as it stands.
TEST_F(MountTest, AnImageWithALogIsServedReplayedAndLeftAsItWas) {
    ImageSpec shape = Parent();
    vhdxtest::LogEntry entry;
    entry.data.push_back({4 * MiB + 8192, std::vector<uint8_t>(4096, 0x5A)});
    entry.zeros.push_back({5 * MiB, 64 << 10});
    entry.lastFileOffset = 16 * MiB;
    shape.log =
        vhdxtest::LogSpec{vhdxtest::Guid::Parse("{4C4F4747-0000-1111-2222-333344445555}"), {entry}};
    const std::vector<uint8_t> dirty = vhdxtest::Build(shape).bytes;
    vhdxtest::WriteFile(source_ / "dirty.vhdx", dirty);
    ASSERT_EQ(tooltest::Pontor({"stub", "create", "--force", "dirty.vhdx"}, source_).exitCode, 0);
    ASSERT_EQ(
        tooltest::Pontor({"replay", (source_ / "dirty.vhdx").string(), "out.vhdx"}, dir_.Dir())
            .exitCode,
        0);
    ASSERT_EQ(tooltest::Pontor({"stub", "create", "out.vhdx"}, dir_.Dir()).exitCode, 0);
    ASSERT_EQ(tooltest::Pontor({"cat", "out-flat.vmdk", "-o", "out.raw"}, dir_.Dir()).exitCode, 0);
    const fs::file_time_type written = fs::last_write_time(source_ / "dirty.vhdx");
    for (const bool ignore : {false, true}) {
        SCOPED_TRACE(ignore ? "--ignore-log" : "replayed");
        Mount(ignore ? std::vector<std::string>{"--ignore-log"} : std::vector<std::string>{});
        const std::vector<uint8_t> said = tooltest::ReadFile(dir_.File("mount.log"));
        EXPECT_EQ(std::string(said.begin(), said.end())
                          .find("dirty.vhdx: its log was not replayed; "
                                "1 entry (sequence 1 to 1) applied") == std::string::npos,
                  ignore)
            << std::string(said.begin(), said.end());
        EXPECT_TRUE(tooltest::ReadFile(Served("dirty.vhdx")) ==
                    (ignore ? dirty : tooltest::ReadFile(dir_.File("out.vhdx"))));
        EXPECT_EQ(tooltest::ReadFile(Served("dirty-flat.vmdk")) ==
                      tooltest::ReadFile(dir_.File("out.raw")),
                  !ignore);
        // qemu-img refuses the image read-only, but opens the replayed view and
        // finds it the disk of its own replay.
        if (!ignore && tooltest::Have("qemu-img")) {
            const std::string copy = dir_.File("qemu.vhdx").string();
            ASSERT_EQ(tooltest::Shell("cp '" + (source_ / "dirty.vhdx").string() + "' '" + copy +
                                      "' && qemu-img check -q -r all '" + copy + "' 2>&1"),
                      0);
            EXPECT_EQ(kit::Output("qemu-img compare -f vhdx -F vhdx '" +
                                  Served("dirty.vhdx").string() + "' '" + copy + "'"),
                      "Images are identical.\n");
        }
        errno = 0;
        const int writer = ::open(Served("dirty.vhdx").c_str(), O_RDWR);
        EXPECT_EQ(writer < 0 ? errno : 0, ignore ? 0 : EACCES);
        if (writer >= 0) {
            ::close(writer);
        } else {
            EXPECT_NE(::truncate(Served("dirty.vhdx").c_str(), 10), 0);
            EXPECT_EQ(errno, EACCES);
        }
        EXPECT_EQ(Unmount(), 0);
        fs::remove(dir_.File("mount.log"));
    }
    EXPECT_TRUE(tooltest::ReadFile(source_ / "dirty.vhdx") == dirty);
    EXPECT_TRUE(fs::last_write_time(source_ / "dirty.vhdx") == written);
}

// QEMU's own vmdk driver opens each descriptor through the mount and reads
// the stub it names as the served disk: the differencing child, and an image
// whose 4 MiB blocks round a 10 MiB disk up to 12 MiB served.
TEST_F(MountTest, QemuOpensTheDescriptorAsTheServedDisk) {
    if (!tooltest::Have("qemu-img")) {
        GTEST_SKIP() << "qemu-img is not installed (Debian package qemu-utils, see "
                        "scripts/setup.sh)";
    }
    ImageSpec wide;
    wide.virtualDiskSize = 10 * MiB;
    wide.blockSize = 4 * MiB;
    wide.seed = 3;
    wide.blocks = {{0, State::FullyPresent}, {2, State::FullyPresent}};
    vhdxtest::WriteFile(source_ / "wide.vhdx", vhdxtest::Build(wide).bytes);
    ASSERT_EQ(tooltest::Pontor({"stub", "create", "wide.vhdx"}, source_).exitCode, 0);
    Mount();
    for (const auto& [name, served] : {std::pair{"child", 6 * MiB}, {"wide", 12 * MiB}}) {
        SCOPED_TRACE(name);
        const std::string descriptor = Served(std::string(name) + ".vmdk").string();
        const std::string info = kit::Output("qemu-img info --output=json '" + descriptor + "'");
        EXPECT_NE(info.find("\"format\": \"vmdk\""), std::string::npos) << info;
        EXPECT_NE(info.find("\"virtual-size\": " + std::to_string(served) + ","), std::string::npos)
            << info;
        EXPECT_NE(info.find("\"filename\": \"" + Served(std::string(name) + "-flat.vmdk").string() +
                            "\""),
                  std::string::npos)
            << info;
        const fs::path raw = dir_.File(std::string(name) + ".raw");
        ASSERT_EQ(
            tooltest::Pontor({"cat", std::string(name) + "-flat.vmdk", "-o", raw.string()}, source_)
                .exitCode,
            0);
        EXPECT_EQ(kit::Output("qemu-img compare -f vmdk -F raw '" + descriptor + "' '" +
                              raw.string() + "'"),
                  "Images are identical.\n");
    }
}

// Reads of odd sizes at odd offsets, ending at the end of the disk, from two
// readers at once.
TEST_F(MountTest, TwoReadersAtOnceEachGetTheirBytes) {
    Mount();
    std::vector<std::vector<uint8_t>> got(2);
    std::vector<std::thread> readers;
    for (int t = 0; t < 2; t++) {
        readers.emplace_back([&, t] {
            // Odd-sized pieces, the two readers starting half the disk apart.
            constexpr uint64_t kPiece = 12345;
            constexpr uint64_t kPieces = (6 * MiB + kPiece - 1) / kPiece;
            const int fd = ::open(Served("child-flat.vmdk").c_str(), O_RDONLY);
            std::vector<uint8_t> all(6 * MiB);
            for (uint64_t i = 0; i < kPieces; i++) {
                const uint64_t offset = (i + t * kPieces / 2) % kPieces * kPiece;
                const size_t n = (size_t)std::min<uint64_t>(kPiece, 6 * MiB - offset);
                if (::pread(fd, &all[offset], n, (off_t)offset) != (ssize_t)n) {
                    break;
                }
            }
            ::close(fd);
            got[t] = std::move(all);
        });
    }
    for (std::thread& r : readers) {
        r.join();
    }
    EXPECT_TRUE(got[0] == Expected(0, 6 * MiB));
    EXPECT_TRUE(got[1] == Expected(0, 6 * MiB));
}

// The mount finds itself in the mount table by its mount point's name, which
// the table writes with escapes (a space as \040).
TEST_F(MountTest, SetsItsReadAhead) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "only root may set a mount's read-ahead";
    }
    mountpoint_ = dir_.File("mnt point");
    fs::create_directories(mountpoint_);
    const struct {
        std::vector<std::string> options;
        std::string kib;
    } cases[] = {{{}, "512"}, {{"--readahead", "1M"}, "1024"}, {{"--readahead", "0"}, "128"}};
    for (const auto& c : cases) {
        Mount(c.options);
        struct stat st;
        ASSERT_EQ(::stat(mountpoint_.c_str(), &st), 0);
        const std::vector<uint8_t> knob =
            tooltest::ReadFile("/sys/class/bdi/" + std::to_string(major(st.st_dev)) + ":" +
                               std::to_string(minor(st.st_dev)) + "/read_ahead_kb");
        EXPECT_EQ(std::string(knob.begin(), knob.end()), c.kib + "\n")
            << testing::PrintToString(c.options);
        EXPECT_TRUE(InMountTable(mountpoint_));
        EXPECT_EQ(Unmount(), 0);
        EXPECT_FALSE(InMountTable(mountpoint_));
    }
}

// A stop asked for the moment the mount appears, before the daemon serves
// anything, still unmounts and exits cleanly.
TEST_F(MountTest, SigtermAtOnceUnmountsCleanly) {
    for (int round = 0; round < 10; round++) {
        Spawn();
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (!InMountTable(mountpoint_) && std::chrono::steady_clock::now() < deadline) {
        }
        ASSERT_TRUE(InMountTable(mountpoint_));
        ASSERT_EQ(Unmount(), 0) << "round " << round;
        ASSERT_FALSE(InMountTable(mountpoint_)) << "round " << round;
    }
}

TEST_F(MountTest, SigtermUnmountsCleanly) {
    Mount();
    const int fd = ::open(Served("child-flat.vmdk").c_str(), O_RDONLY);  // left open on purpose
    EXPECT_EQ(Unmount(), 0);
    EXPECT_FALSE(Mounted(mountpoint_));
    if (fd >= 0) {
        ::close(fd);
    }
}

}  // namespace

// pontor replay against the file its log entries describe, against qemu-img
// reading the result and against qemu-img's own replay; the image replayed
// from is never written, also when the work is cut short.
#include <gtest/gtest.h>

#include <csignal>

#include "tests/tools/tool_fixture.h"

namespace {

using kit::MiB;
using vhdxtest::LogEntry;
using vhdxtest::State;

const vhdxtest::Guid kLog = vhdxtest::Guid::Parse("{4C4F4747-0000-1111-2222-333344445555}");
const vhdxtest::Guid kOtherLog = vhdxtest::Guid::Parse("{0BE0BE00-0000-1111-2222-333344445555}");
// Where the builder puts blocks 0-2 of the image, and block 3 once the file grows.
constexpr uint64_t kBlock[4] = {4 * MiB, 5 * MiB, 6 * MiB, 7 * MiB};
constexpr uint64_t kFileSize = 7 * MiB;

LogEntry Entry(uint64_t sequence, std::vector<std::pair<uint64_t, uint8_t>> fills,
               std::vector<std::pair<uint64_t, uint64_t>> zeros = {}) {
    LogEntry e;
    e.sequence = sequence;
    for (auto [offset, byte] : fills) {
        e.data.push_back({offset, std::vector<uint8_t>(4096, byte)});
    }
    e.zeros = std::move(zeros);
    return e;
}

LogEntry With(LogEntry e, const std::function<void(LogEntry&)>& change) { return change(e), e; }

// Zeros block 2 and a stretch past the end of the file, and maps block 3 past
// the end too: the file must grow to the entry's last file offset.
LogEntry Growth(uint64_t sequence) {
    LogEntry e = Entry(sequence, {}, {{kBlock[2], MiB}, {kFileSize, 64 << 10}});
    std::vector<uint8_t> bat(4096);
    for (int b = 0; b < 4; b++) {
        vhdxtest::Store64(&bat[8 * b], kBlock[b] | 6);
    }
    e.data.push_back({vhdxtest::kBatOffset, bat});
    e.lastFileOffset = kFileSize + MiB;
    return e;
}

vhdxtest::Image Disk(const std::vector<LogEntry>& log) {
    vhdxtest::ImageSpec shape;
    shape.blocks = {{0, State::FullyPresent}, {1, State::FullyPresent}, {2, State::FullyPresent}};
    shape.log = vhdxtest::LogSpec{log.empty() ? vhdxtest::Guid() : kLog, log};
    return vhdxtest::Build(shape);
}

// The file with the entries of log that applied lists applied, in order.
std::vector<uint8_t> Applied(std::vector<uint8_t> file, const std::vector<LogEntry>& log,
                             const std::vector<size_t>& applied) {
    for (size_t i : applied) {
        const LogEntry& e = log[i];
        for (auto [offset, length] : e.zeros) {
            file.resize(std::max<uint64_t>(file.size(), offset + length));
            std::fill_n(&file[offset], length, 0);
        }
        for (const auto& [offset, bytes] : e.data) {
            file.resize(std::max<uint64_t>(file.size(), offset + 4096));
            std::copy(bytes.begin(), bytes.end(), &file[offset]);
        }
        file.resize(std::max<uint64_t>(file.size(), e.lastFileOffset));
    }
    return file;
}

// Replay rewrites the header copies (sequence, GUIDs); the rest is compared.
std::vector<uint8_t> WithoutHeaders(std::vector<uint8_t> file) {
    std::fill(file.begin() + 0x10000, file.begin() + 0x30000, 0);
    return file;
}

struct ReplayCase {
    const char* name;
    std::vector<LogEntry> log;
    std::vector<size_t> applied;    // the entries replay applies, in order
    const char* refusal = nullptr;  // in the one line; null: replayed
    bool qemuAgrees = true;         // qemu-img's replay gives the same disk
    bool equalSequences = false;    // both header copies carry sequence number 2
};

class Replay : public fixture::DriverTest, public ::testing::WithParamInterface<ReplayCase> {};

TEST_P(Replay, AsTheLogSaysAndNeverWritesTheImage) {
    const ReplayCase& c = GetParam();
    kit::ScratchDir dir;
    vhdxtest::Image image = Disk(c.log);
    if (c.equalSequences) {
        tooltest::patch::SetSequence(image, 1, 2);
    }
    vhdxtest::WriteFile(dir.File("disk.vhdx"), image.bytes);
    vhdxtest::WriteFile(dir.File("inplace.vhdx"), image.bytes);
    // check reads the log as replay does: the entries it applies, or its reason.
    const tooltest::Run checked = tooltest::Pontor({"check", "disk.vhdx"}, dir.Dir());
    const std::string said = checked.out + checked.err;
    EXPECT_NE(said.find(c.refusal ? c.refusal
                        : c.applied.empty()
                            ? "no problems"
                            : "the log holds " + std::to_string(c.applied.size()) + " entr"),
              std::string::npos)
        << said;
    // The image file as the serving commands see it, then as it stands.
    const tooltest::Run view = tooltest::Pontor(
        {"read", "disk.vhdx", "--offset", "0", "--length", "64M", "-o", "view.vhdx"}, dir.Dir());
    const tooltest::Run stale = tooltest::Pontor({"read", "disk.vhdx", "--offset", "0", "--length",
                                                  "64M", "-o", "stale.vhdx", "--ignore-log"},
                                                 dir.Dir());
    ASSERT_EQ(view.exitCode, 0) << view.err;
    EXPECT_TRUE(stale.err.empty()) << stale.err;
    EXPECT_TRUE(kit::ReadFile(dir.File("stale.vhdx")) == image.bytes);
    const bool logged = !c.log.empty() || c.refusal;
    EXPECT_EQ(view.ErrLines().size(), logged ? 1u : 0u) << view.err;
    EXPECT_NE(view.err.find(c.refusal ? "warning: its log cannot be replayed"
                            : logged  ? "applied in memory"
                                      : ""),
              std::string::npos)
        << view.err;
    if (c.refusal != nullptr) {
        EXPECT_NE(view.err.find("'pontor check disk.vhdx'"), std::string::npos) << view.err;
        EXPECT_TRUE(kit::ReadFile(dir.File("view.vhdx")) == image.bytes);
    }
    std::filesystem::remove(dir.File("stale.vhdx"));
    std::filesystem::remove(dir.File("view.vhdx"));
    const tooltest::Run copy =
        tooltest::Pontor({"replay", "disk.vhdx", "out.vhdx", "--json"}, dir.Dir());
    const tooltest::Run inPlace =
        tooltest::Pontor({"replay", "inplace.vhdx", "--in-place", "--yes"}, dir.Dir());
    EXPECT_TRUE(kit::ReadFile(dir.File("disk.vhdx")) == image.bytes);
    if (c.refusal != nullptr) {
        for (const tooltest::Run& run : {copy, inPlace}) {
            EXPECT_EQ(run.exitCode, 1);
            ASSERT_EQ(run.ErrLines().size(), 1u) << run.err;
            EXPECT_NE(run.err.find(c.refusal), std::string::npos) << run.err;
        }
        EXPECT_EQ(tooltest::ListDir(dir.Dir()).size(), 2u);
        EXPECT_TRUE(kit::ReadFile(dir.File("inplace.vhdx")) == image.bytes);
        return;
    }
    ASSERT_EQ(copy.exitCode, 0) << copy.err;
    ASSERT_EQ(inPlace.exitCode, 0) << inPlace.err;
    const bool applied = !c.applied.empty();
    const std::vector<uint8_t> expected = WithoutHeaders(Applied(image.bytes, c.log, c.applied));
    for (const char* name : {"out.vhdx", "inplace.vhdx"}) {
        const std::vector<uint8_t> file = kit::ReadFile(dir.File(name));
        EXPECT_TRUE(WithoutHeaders(file) == expected) << name;
        EXPECT_EQ(!applied, file == image.bytes) << name;
    }
    // Replayed in memory, the headers too, as replay writes them.
    ASSERT_EQ(
        tooltest::Pontor(
            {"read", "disk.vhdx", "--offset", "0", "--length", "64M", "-o", "view.vhdx"}, dir.Dir())
            .exitCode,
        0);
    EXPECT_TRUE(kit::ReadFile(dir.File("view.vhdx")) == kit::ReadFile(dir.File("out.vhdx")));
    EXPECT_TRUE(kit::ReadFile(dir.File("inplace.vhdx")) == kit::ReadFile(dir.File("out.vhdx")));
    EXPECT_TRUE(tooltest::IsJson(copy.out)) << copy.out;
    EXPECT_NE(copy.out.find(applied ? "\"replayed\":true" : "\"replayed\":false"),
              std::string::npos);
    EXPECT_EQ(inPlace.out.find("no log to replay") == std::string::npos, applied);
    const tooltest::Run check = tooltest::Pontor({"check", "out.vhdx"}, dir.Dir());
    EXPECT_EQ(check.exitCode, 0) << check.out;

    ASSERT_EQ(tooltest::Pontor({"stub", "create", "out.vhdx"}, dir.Dir()).exitCode, 0);
    ASSERT_EQ(tooltest::Pontor({"cat", "out-flat.vmdk", "-o", "served.raw"}, dir.Dir()).exitCode,
              0);
    // The dirty image's own stub serves the replayed disk.
    ASSERT_EQ(tooltest::Pontor({"stub", "create", "--force", "disk.vhdx"}, dir.Dir()).exitCode, 0);
    ASSERT_EQ(tooltest::Pontor({"cat", "disk-flat.vmdk", "-o", "dirty.raw"}, dir.Dir()).exitCode,
              0);
    EXPECT_TRUE(kit::ReadFile(dir.File("served.raw")) == kit::ReadFile(dir.File("dirty.raw")));
    EXPECT_TRUE(kit::ReadFile(dir.File("disk.vhdx")) == image.bytes);
    if (!tooltest::Have("qemu-img")) {
        GTEST_SKIP() << "qemu-img is not installed (Debian package qemu-utils)";
    }
    const std::string in = "cd " + dir.Dir().string() + " && ";
    ASSERT_EQ(tooltest::Shell(in + "qemu-img convert -f vhdx -O raw out.vhdx out.raw"), 0);
    EXPECT_TRUE(kit::ReadFile(dir.File("served.raw")) == kit::ReadFile(dir.File("out.raw")));
    // Where qemu-img's replay goes wrong, its check says so: not asserted.
    tooltest::Shell(in + "cp disk.vhdx qemu.vhdx && qemu-img check -q -r all qemu.vhdx 2>&1");
    EXPECT_EQ(tooltest::Shell(in + "qemu-img compare -q out.vhdx qemu.vhdx") == 0, c.qemuAgrees);
}

INSTANTIATE_TEST_SUITE_P(
    Logs, Replay,
    ::testing::ValuesIn(std::vector<ReplayCase>{
        {"Valid",
         {Entry(1, {{kBlock[0], 0x11}}, {{kBlock[1], 64 << 10}}),
          Entry(2, {{kBlock[1] + 8192, 0x22}, {kBlock[2], 0x23}}), Entry(3, {{kBlock[0], 0x33}})},
         {0, 1, 2}},
        // qemu-img grows the file only to the end of the zeros, short of
        // the last file offset, and then refuses its own result.
        {"ZeroDescriptorsAndGrowth",
         {Entry(4, {{kBlock[0], 0x44}}), Growth(5)},
         {0, 1},
         nullptr,
         false},
        {"TornAtTheTail",
         {Entry(1, {{kBlock[0], 0x11}}), Entry(2, {{kBlock[1], 0x22}}),
          With(Entry(3, {{kBlock[0], 0x33}}), [](LogEntry& e) { e.torn = true; })},
         {0, 1}},
        {"StaleGuid",
         {Entry(1, {{kBlock[0], 0x11}}),
          With(Entry(2, {{kBlock[1], 0x22}}), [](LogEntry& e) { e.guid = kOtherLog; }),
          With(Entry(9, {{kBlock[2], 0x99}}),
               [](LogEntry& e) {
                   e.guid = kOtherLog;
                   e.position = 512 << 10;
                   e.tail = 2;
               })},
         {0}},
        // qemu-img looks for sequences from the start of the log and keeps
        // only the part after the wrap.
        {"Wrapping",
         {With(Entry(7, {{kBlock[0], 0x77}, {kBlock[1], 0x78}}),
               [](LogEntry& e) { e.position = vhdxtest::kLogLength - 4096; }),
          Entry(8, {{kBlock[2], 0x88}})},
         {0, 1},
         nullptr,
         false},
        // The tail moved past entry 1, which is replayed no more; qemu-img
        // does not read the tail and replays it.
        {"TailInsideTheRun",
         {Entry(1, {{kBlock[0], 0x11}}),
          With(Entry(2, {{kBlock[1], 0x22}}), [](LogEntry& e) { e.tail = 1; }),
          With(Entry(3, {{kBlock[2], 0x33}}), [](LogEntry& e) { e.tail = 1; })},
         {1, 2},
         nullptr,
         false},
        // The driver reads copy 1 and so does replay, where neither is current.
        {"EqualSequenceNumbers", {Entry(1, {{kBlock[0], 0x11}})}, {0}, nullptr, true, true},
        {"NoLog", {}, {}},
        {"OnlyAnotherLogsEntry",
         {With(Entry(1, {{kBlock[0], 0x11}}), [](LogEntry& e) { e.guid = kOtherLog; })},
         {},
         "holds no valid entry of it: the file is corrupt"},
        {"TailOutsideTheRun",
         {With(Entry(1, {{kBlock[0], 0x11}}), [](LogEntry& e) { e.torn = true; }),
          Entry(2, {{kBlock[1], 0x22}})},
         {},
         "names its tail at log offset 0x0, which is not in its run of 1"},
        {"Truncated",
         {With(Entry(1, {{kBlock[0], 0x11}}),
               [](LogEntry& e) { e.flushedFileOffset = kFileSize + MiB; })},
         {},
         "the file was truncated"},
        {"WritesTheHeaders",
         {Entry(1, {{0x10000, 0x11}})},
         {},
         "over the headers, which the log never updates"}}),
    [](const auto& info) { return std::string(info.param.name); });

struct CutShort {
    const char* name;
    const char* limits;  // bash commands before the run
    bool inPlace;
    int exitCode;
};

class ReplayCutShort : public fixture::DriverTest,
                       public ::testing::WithParamInterface<CutShort> {};

// The copy leaves nothing behind; in place, the log stays until the
// updates are on disk, so a second run finishes the work.
TEST_P(ReplayCutShort, LeavesTheImageReplayable) {
    const CutShort& c = GetParam();
    kit::ScratchDir dir;
    const std::vector<LogEntry> log = {Entry(1, {{kBlock[0], 0x11}}), Growth(2)};
    const vhdxtest::Image image = Disk(log);
    vhdxtest::WriteFile(dir.File("disk.vhdx"), image.bytes);
    const std::string command = "ulimit -c 0; " + std::string(c.limits) + "; exec " +
                                PONTOR_BINARY + " replay " +
                                (c.inPlace ? "disk.vhdx --in-place --yes" : "disk.vhdx out.vhdx");
    const tooltest::Run run = kit::Spawn({"/bin/bash", "-c", command}, dir.Dir());
    EXPECT_EQ(run.exitCode, c.exitCode) << run.err;
    EXPECT_EQ(tooltest::ListDir(dir.Dir()), std::vector<std::string>{"disk.vhdx"});
    if (!c.inPlace) {
        EXPECT_TRUE(kit::ReadFile(dir.File("disk.vhdx")) == image.bytes);
        return;
    }
    EXPECT_EQ(tooltest::Pontor({"check", "disk.vhdx"}, dir.Dir()).exitCode, 1);
    ASSERT_EQ(tooltest::Pontor({"replay", "disk.vhdx", "--in-place", "--yes"}, dir.Dir()).exitCode,
              0);
    EXPECT_TRUE(WithoutHeaders(kit::ReadFile(dir.File("disk.vhdx"))) ==
                WithoutHeaders(Applied(image.bytes, log, {0, 1})));
}

INSTANTIATE_TEST_SUITE_P(Failures, ReplayCutShort,
                         ::testing::ValuesIn(std::vector<CutShort>{
                             {"CopyKilled", "ulimit -f 4096", false, 128 + SIGXFSZ},
                             {"CopyWriteFails", "ulimit -f 4096; trap '' XFSZ", false, 1},
                             {"InPlaceKilled", "ulimit -f 7168", true, 128 + SIGXFSZ}}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace

// pontor.exe, the tool's Windows build (tools/win32): a PE32+ console
// program importing system DLLs only. Where Wine is installed, it runs:
// info, check and map print what the Linux tool prints for the same images
// (qemu-img's, the builder's, damaged and cut short ones), stub create
// writes the Linux tool's stub bytes and refuses as it does, and the
// Linux-only commands refuse with one line. The header query needs the
// driver loaded on Windows, so only its failure without a driver is seen.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <functional>
#include <map>
#include <regex>
#include <sstream>

#include "tests/tools/tool_fixture.h"
#include "tools/stub_file.h"

namespace {

namespace fs = std::filesystem;
using kit::MiB;
using vhdxtest::ImageSpec;
using vhdxtest::State;

const fs::path kToolDir = PONTOR_WINDOWS_TOOL_DIR;  // empty: not built
const std::string kWine = PONTOR_WINE;              // empty: not installed

using kit::Slurp;

// ---- The image ----

struct PeFacts {
    std::string magic;
    std::string subsystem;
    std::vector<std::string> dlls;
};

PeFacts Inspect(const fs::path& exe) {
    PeFacts facts;
    const std::string text =
        kit::Output(std::string(PONTOR_OBJDUMP) + " -p '" + exe.string() + "'");
    std::smatch m;
    if (std::regex_search(text, m, std::regex(R"(\nMagic\s+(\S+))"))) {
        facts.magic = m[1];
    }
    if (std::regex_search(text, m, std::regex(R"(\nSubsystem\s+(\S+))"))) {
        facts.subsystem = m[1];
    }
    const std::regex dll(R"(DLL Name: (\S+))");
    for (auto it = std::sregex_iterator(text.begin(), text.end(), dll);
         it != std::sregex_iterator(); ++it) {
        facts.dlls.push_back((*it)[1]);
    }
    return facts;
}

// Windows' own DLLs, present on every installation.
bool SystemDll(std::string name) {
    for (char& c : name) {
        c = (char)std::tolower((unsigned char)c);
    }
    static const std::vector<std::string> kSystem = {"kernel32.dll", "ntdll.dll",    "msvcrt.dll",
                                                     "ucrtbase.dll", "advapi32.dll", "shell32.dll",
                                                     "user32.dll",   "bcrypt.dll"};
    return name.rfind("api-ms-win-", 0) == 0 ||
           std::find(kSystem.begin(), kSystem.end(), name) != kSystem.end();
}

std::vector<std::string> Problems(const PeFacts& facts) {
    std::vector<std::string> problems;
    if (facts.magic != "020b") {
        problems.push_back("not PE32+ (magic " + facts.magic + ")");
    }
    if (facts.subsystem != "00000003") {
        problems.push_back("subsystem " + facts.subsystem + ", not the console's (3)");
    }
    if (facts.dlls.empty()) {
        problems.push_back("no imports found");
    }
    for (const std::string& dll : facts.dlls) {
        if (!SystemDll(dll)) {
            problems.push_back("imports " + dll + ", which Windows does not carry");
        }
    }
    return problems;
}

TEST(ToolImage, IsAConsoleProgramImportingSystemDllsOnly) {
    if (kToolDir.empty()) {
        GTEST_SKIP()
            << "mingw-w64 g++ not found: pontor.exe is not built (scripts/setup.sh installs "
               "g++-mingw-w64-x86-64-posix)";
    }
    const fs::path exe = kToolDir / "pontor.exe";
    ASSERT_TRUE(fs::exists(exe)) << exe;
    EXPECT_EQ(Problems(Inspect(exe)), std::vector<std::string>{});
}

// ---- Under Wine ----

// Runs a Windows program (argv[0]) under Wine in dir.
tooltest::Run RunUnderWine(const std::vector<std::string>& program, const fs::path& dir) {
    std::vector<std::string> argv = {kWine};
    argv.insert(argv.end(), program.begin(), program.end());
    tooltest::Run run = kit::Spawn(
        argv, dir,
        {std::string("WINEPREFIX=") + PONTOR_WINE_PREFIX, "WINEDEBUG=-all", "LC_ALL=C.UTF-8"});
    // Windows text mode ends lines with CR LF.
    std::erase(run.out, '\r');
    std::erase(run.err, '\r');
    return run;
}

tooltest::Run Wine(const std::vector<std::string>& args, const fs::path& dir) {
    std::vector<std::string> program = {(kToolDir / "pontor.exe").string()};
    program.insert(program.end(), args.begin(), args.end());
    return RunUnderWine(program, dir);
}

// Wine shows the Linux root as drive Z: ("Z:\tmp\x" is "/tmp/x"; in JSON
// the separators come escaped).
std::string LinuxPaths(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size();) {
        if (text.compare(i, 3, "Z:\\") != 0) {
            out += text[i++];
            continue;
        }
        for (i += 2; i < text.size() && !std::isspace((unsigned char)text[i]) && text[i] != ',' &&
                     text[i] != '"';
             i++) {
            if (text[i] != '\\') {
                out += text[i];
            } else if (text[i - 1] != '\\') {
                out += '/';
            }
        }
    }
    return out;
}

class UnderWine : public fixture::DriverTest {
protected:
    void SetUp() override {
        fixture::DriverTest::SetUp();
        if (kToolDir.empty() || kWine.empty()) {
            GTEST_SKIP() << "pontor.exe is not run: "
                         << (kWine.empty()
                                 ? "Wine is not installed (apt-get install wine64; not part of "
                                   "scripts/setup.sh)"
                                 : "mingw-w64 g++ not found, pontor.exe is not built");
        }
        // Wine reports making a fresh prefix on stderr; ctest makes it
        // before these tests run (windows_tool_wine_prefix), a direct run here.
        static const bool prepared =
            fs::exists(PONTOR_WINE_PREFIX) ||
            RunUnderWine({"wineboot", "--init"}, fs::temp_directory_path()).exitCode == 0;
        ASSERT_TRUE(prepared) << "wineboot could not make " << PONTOR_WINE_PREFIX;
    }
};

void Write(const fs::path& path, const std::vector<uint8_t>& bytes) {
    fs::create_directories(path.parent_path());
    vhdxtest::WriteFile(path, bytes);
}

std::vector<uint8_t> Built(const ImageSpec& shape) { return vhdxtest::Build(shape).bytes; }

ImageSpec Dynamic() {
    ImageSpec shape;
    shape.virtualDiskSize = 12 * MiB + 4096;  // a last block served past the disk's end
    shape.blocks = {{0, State::FullyPresent},
                    {2, State::PartiallyPresent},
                    {3, State::Zero},
                    {5, State::FullyPresent}};
    shape.sectorBitmaps[0] = std::vector<uint8_t>(1024 * 1024 / 512 * 3 / 8, 0x0F);
    return shape;
}

ImageSpec Child() {
    ImageSpec shape = Dynamic();
    shape.hasParent = true;
    shape.parentLocator = tooltest::LocatorFor(u"parent.vhdx");
    shape.blocks = {{1, State::FullyPresent}, {2, State::PartiallyPresent}};
    shape.seed = 2;
    return shape;
}

// A directory with images in it, for one case.
using Setup = std::function<void(const fs::path&)>;

Setup Image(const std::string& name, const std::function<std::vector<uint8_t>()>& bytes) {
    return [=](const fs::path& dir) { Write(dir / name, bytes()); };
}

Setup Chain() {
    return [](const fs::path& dir) {
        Write(dir / "parent.vhdx", Built(Dynamic()));
        Write(dir / "child.vhdx", Built(Child()));
    };
}

Setup Cut(uint64_t length) {
    return Image("cut.vhdx", [=] {
        std::vector<uint8_t> bytes = Built(Dynamic());
        bytes.resize(std::min<uint64_t>(length, bytes.size()));
        return bytes;
    });
}

Setup Qemu(const char* options) {
    return [=](const fs::path& dir) {
        std::vector<uint8_t> raw(20 * MiB);
        for (size_t i = 0; i < raw.size(); i++) {
            raw[i] = i >= 9 * MiB && i < 11 * MiB ? 0 : (uint8_t)(i * 13 + i / 4096);
        }
        vhdxtest::WriteFile(dir / "disk.raw", raw);
        ASSERT_EQ(
            tooltest::Shell("qemu-img convert -q -f raw -O vhdx -o " + std::string(options) + " " +
                            (dir / "disk.raw").string() + " " + (dir / "qemu.vhdx").string()),
            0);
    };
}

struct Same {
    const char* name;
    Setup setup;
    std::vector<std::string> args;
    bool needsQemu = false;
};

std::ostream& operator<<(std::ostream& out, const Same& c) { return out << c.name; }

class SameAsLinux : public UnderWine, public ::testing::WithParamInterface<Same> {};

TEST_P(SameAsLinux, PrintsWhatTheLinuxToolPrints) {
    const Same& c = GetParam();
    if (c.needsQemu && !tooltest::Have("qemu-img")) {
        GTEST_SKIP()
            << "qemu-img is not installed (Debian package qemu-utils, see scripts/setup.sh)";
    }
    kit::ScratchDir dir;
    c.setup(dir.Dir());
    const tooltest::Run linux = tooltest::Pontor(c.args, dir.Dir());
    const tooltest::Run windows = Wine(c.args, dir.Dir());
    EXPECT_EQ(windows.exitCode, linux.exitCode) << windows.err;
    EXPECT_EQ(LinuxPaths(windows.out), linux.out);
    EXPECT_EQ(LinuxPaths(windows.err), linux.err);
    EXPECT_FALSE(linux.out.empty() && linux.err.empty()) << "nothing to compare";
}

INSTANTIATE_TEST_SUITE_P(
    Images, SameAsLinux,
    ::testing::ValuesIn(std::vector<Same>{
        {"QemuDynamicInfo", Qemu("subformat=dynamic"), {"info", "qemu.vhdx"}, true},
        {"QemuDynamicInfoJson",
         Qemu("subformat=dynamic,block_size=1M"),
         {"info", "qemu.vhdx", "--json"},
         true},
        {"QemuFixedCheck", Qemu("subformat=fixed"), {"check", "qemu.vhdx"}, true},
        {"QemuZeroBlocksMap",
         Qemu("subformat=dynamic,block_size=1M,block_state_zero=on"),
         {"map", "qemu.vhdx"},
         true},
        {"BuilderInfo",
         Image("dynamic.vhdx", [] { return Built(Dynamic()); }),
         {"info", "dynamic.vhdx"}},
        {"BuilderCheck",
         Image("dynamic.vhdx", [] { return Built(Dynamic()); }),
         {"check", "dynamic.vhdx"}},
        {"BuilderMapJson",
         Image("dynamic.vhdx", [] { return Built(Dynamic()); }),
         {"map", "dynamic.vhdx", "--json"}},
        {"ChildInfo", Chain(), {"info", "child.vhdx"}},
        {"ChildCheck", Chain(), {"check", "child.vhdx", "--json"}},
        {"ChildMap", Chain(), {"map", "child.vhdx"}},
        {"DamagedHeaderInfo",
         Image("bad.vhdx",
               [] {
                   vhdxtest::Image image = vhdxtest::Build(Dynamic());
                   tooltest::patch::Damage(image, tooltest::patch::kHeader[0]);
                   return image.bytes;
               }),
         {"info", "bad.vhdx"}},
        {"DamagedHeaderStub",
         Image("bad.vhdx",
               [] {
                   vhdxtest::Image image = vhdxtest::Build(Dynamic());
                   tooltest::patch::Damage(image, tooltest::patch::kHeader[0]);
                   return image.bytes;
               }),
         {"stub", "create", "bad.vhdx"}},
        // Cut short: reads at and across the end of the file, in the
        // driver's parse and the tool's own, answer as on Linux.
        {"EmptyFile", Cut(0), {"info", "cut.vhdx"}},
        {"CutInTheFirstHeader", Cut(0x10000 + 100), {"info", "cut.vhdx"}},
        {"CutAfterTheHeaderSection", Cut(MiB), {"info", "cut.vhdx"}},
        {"CutInTheMetadata", Cut(2 * MiB + 4096), {"check", "cut.vhdx"}},
        {"CutInTheBat", Cut(3 * MiB + 8), {"info", "cut.vhdx"}},
        {"CutInAPayloadBlock", Cut(4 * MiB + 100), {"map", "cut.vhdx"}},
    }),
    [](const auto& info) { return std::string(info.param.name); });

struct Stub {
    const char* name;
    Setup setup;
    std::vector<std::string> args;  // after "stub create"
    int exitCode;
    std::string stub;        // where the stub must appear ('/'-separated)
    std::u16string stored;   // the image path it must hold
    std::string error = "";  // for a refusal: the end of its line
};

std::ostream& operator<<(std::ostream& out, const Stub& c) { return out << c.name; }

class StubCreate : public UnderWine, public ::testing::WithParamInterface<Stub> {};

TEST_P(StubCreate, WritesTheLinuxToolsBytesOrNothing) {
    const Stub& c = GetParam();
    kit::ScratchDir dir;
    c.setup(dir.Dir());
    std::map<fs::path, std::string> before;
    for (const auto& entry : fs::recursive_directory_iterator(dir.Dir())) {
        before[entry.path()] = entry.is_regular_file() ? Slurp(entry.path()) : "";
    }
    std::vector<std::string> args = {"stub", "create"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const tooltest::Run run = Wine(args, dir.Dir());
    ASSERT_EQ(run.exitCode, c.exitCode) << run.err;
    std::map<fs::path, std::string> after;
    for (const auto& entry : fs::recursive_directory_iterator(dir.Dir())) {
        after[entry.path()] = entry.is_regular_file() ? Slurp(entry.path()) : "";
    }
    if (c.exitCode != 0) {
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
        EXPECT_TRUE(run.err.ends_with(c.error + "\n")) << run.err;
        EXPECT_TRUE(after == before) << "the directory changed";
        return;
    }
    EXPECT_EQ(run.err, "");
    EXPECT_NE(run.out.find(": stub for "), std::string::npos) << run.out;
    const std::vector<uint8_t> expected = tool::StubBytes(c.stored);
    const std::string stub =
        Slurp(dir.Dir() / fs::path(std::u8string(c.stub.begin(), c.stub.end())));
    EXPECT_TRUE(stub == std::string(expected.begin(), expected.end()));
    before.erase(dir.Dir() / fs::path(std::u8string(c.stub.begin(), c.stub.end())));
    after.erase(dir.Dir() / fs::path(std::u8string(c.stub.begin(), c.stub.end())));
    EXPECT_TRUE(after == before) << "files other than the stub changed or were left behind";
}

Setup Plain(const std::string& name) {
    return Image(name, [] { return Built(Dynamic()); });
}

Setup With(Setup first, Setup then) {
    return [=](const fs::path& dir) {
        first(dir);
        then(dir);
    };
}

Setup Text(const std::string& name, const std::string& text) {
    return [=](const fs::path& dir) {
        Write(dir / name, std::vector<uint8_t>(text.begin(), text.end()));
    };
}

INSTANTIATE_TEST_SUITE_P(
    Stubs, StubCreate,
    ::testing::ValuesIn(std::vector<Stub>{
        {"BesideTheImage", Plain("disk.vhdx"), {"disk.vhdx"}, 0, "disk.vmdk", u"disk.vhdx"},
        {"ForAnImageBeneath",
         Plain("sub/disk.vhdx"),
         {"sub\\disk.vhdx", "disk.vmdk"},
         0,
         "disk.vmdk",
         u"sub\\disk.vhdx"},
        {"IntoADirectory",
         Plain("d/disk.vhdx"),
         {"d\\disk.vhdx", "d"},
         0,
         "d/disk.vmdk",
         u"disk.vhdx"},
        {"NonAsciiName", Plain("dísk中.vhdx"), {"dísk中.vhdx"}, 0, "dísk中.vmdk", u"dísk中.vhdx"},
        {"OverAnExistingFile",
         With(Plain("disk.vhdx"), Text("disk.vmdk", "keep")),
         {"disk.vhdx", "--overwrite"},
         0,
         "disk.vmdk",
         u"disk.vhdx"},
        {"NotOverAnExistingFile",
         With(Plain("disk.vhdx"), Text("disk.vmdk", "keep")),
         {"disk.vhdx"},
         1,
         "",
         u"",
         "disk.vmdk: already exists (--overwrite replaces it)"},
        {"ImageOutsideTheStubsDirectory",
         With(Plain("sub/disk.vhdx"), Text("other/x", "")),
         {"sub\\disk.vhdx", "other\\disk.vmdk"},
         2,
         "",
         u"",
         "or beneath it: the driver looks for it there"},
        {"ChildWithoutItsParent",
         Image("child.vhdx", [] { return Built(Child()); }),
         {"child.vhdx"},
         1,
         "",
         u"",
         ""},
    }),
    [](const auto& info) { return std::string(info.param.name); });

struct Refused {
    const char* name;
    std::vector<std::string> args;
    int exitCode;
    std::string error;  // the start of the one line on stderr, after "pontor: "
};

std::ostream& operator<<(std::ostream& out, const Refused& c) { return out << c.name; }

class Refuses : public UnderWine, public ::testing::WithParamInterface<Refused> {};

TEST_P(Refuses, WithOneLine) {
    const Refused& c = GetParam();
    kit::ScratchDir dir;
    Write(dir.File("disk.vhdx"), Built(Dynamic()));
    Write(dir.File("disk.vmdk"), tool::StubBytes(u"disk.vhdx"));
    const tooltest::Run run = Wine(c.args, dir.Dir());
    EXPECT_EQ(run.exitCode, c.exitCode);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
    EXPECT_EQ(run.err.rfind("pontor: " + c.error, 0), 0u) << run.err;
}

INSTANTIATE_TEST_SUITE_P(
    Commands, Refuses,
    ::testing::ValuesIn(std::vector<Refused>{
        {"Read",
         {"read", "disk.vmdk", "--offset", "0", "--length", "1"},
         2,
         "read: not in the Windows build"},
        {"Cat", {"cat", "disk.vmdk", "-o", "out.raw"}, 2, "cat: not in the Windows build"},
        {"Convert", {"convert", "disk.vmdk", "out.raw"}, 2, "convert: not in the Windows build"},
        {"Mount", {"mount", ".", "mnt", "-f"}, 2, "mount: not in the Windows build"},
        {"MountHelp", {"mount", "--help"}, 2, "mount: not in the Windows build"},
        // No driver answers the control code here (Wine answers
        // STATUS_NOT_SUPPORTED, NTFS STATUS_INVALID_DEVICE_REQUEST).
        {"HeaderWithoutTheDriver",
         {"header", "disk.vmdk"},
         1,
         "disk.vmdk: STATUS_NOT_SUPPORTED (0xC00000BB): "
         "the control code was not answered"},
        {"HeaderOfAMissingFile", {"header", "none.vmdk"}, 1, "none.vmdk: "},
        {"InfoOfAMissingFile", {"info", "none.vhdx"}, 1, "none.vhdx: "},
    }),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace

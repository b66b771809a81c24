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
#include <functional>
#include <map>
#include <regex>

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

struct Same {
    const char* name;
    Setup setup;
    std::vector<std::string> args;
};

std::ostream& operator<<(std::ostream& out, const Same& c) { return out << c.name; }

class SameAsLinux : public UnderWine, public ::testing::WithParamInterface<Same> {};

// The formats are the shared reader's, tested on Linux; what differs here is
// the Win32 file layer under it: a parent found by its NT name, and reads at
// and across the end of a file cut short.
TEST_P(SameAsLinux, PrintsWhatTheLinuxToolPrints) {
    const Same& c = GetParam();
    kit::ScratchDir dir;
    c.setup(dir.Dir());
    const tooltest::Run linux = tooltest::Pontor(c.args, dir.Dir());
    const tooltest::Run windows = Wine(c.args, dir.Dir());
    EXPECT_EQ(windows.exitCode, linux.exitCode) << windows.err;
    EXPECT_EQ(LinuxPaths(windows.out), linux.out);
    EXPECT_EQ(LinuxPaths(windows.err), linux.err);
    EXPECT_FALSE(linux.out.empty() && linux.err.empty()) << "nothing to compare";
}

INSTANTIATE_TEST_SUITE_P(Images, SameAsLinux,
                         ::testing::ValuesIn(std::vector<Same>{
                             {"ChildInfo", Chain(), {"info", "child.vhdx"}},
                             {"ChildCheck", Chain(), {"check", "child.vhdx", "--json"}},
                             {"ChildMap", Chain(), {"map", "child.vhdx"}},
                             {"EmptyFile", Cut(0), {"info", "cut.vhdx"}},
                             {"CutInTheFirstHeader", Cut(0x10000 + 100), {"info", "cut.vhdx"}},
                             {"CutInTheMetadata", Cut(2 * MiB + 4096), {"check", "cut.vhdx"}},
                             {"CutInTheBat", Cut(3 * MiB + 8), {"info", "cut.vhdx"}},
                             {"CutInAPayloadBlock", Cut(4 * MiB + 100), {"map", "cut.vhdx"}},
                         }),
                         [](const auto& info) { return std::string(info.param.name); });

std::map<fs::path, std::string> Contents(const fs::path& dir) {
    std::map<fs::path, std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(dir)) {
        files[entry.path()] = entry.is_regular_file() ? Slurp(entry.path()) : "";
    }
    return files;
}

// Stub create takes Windows paths: separators, a directory as the stub's
// place, names beyond ASCII; a refusal writes nothing.
TEST_F(UnderWine, StubCreateWritesTheLinuxToolsBytesOrNothing) {
    struct Case {
        std::string image;              // '/'-separated, made before the run
        std::vector<std::string> args;  // after "stub create"
        int exitCode;
        std::string stub;        // where the stub must appear ('/'-separated)
        std::u16string stored;   // the image path it must hold
        bool inTheWay = false;   // a file already where the stub goes
        std::string error = "";  // for a refusal: the end of its line
    };
    for (const Case& c : std::vector<Case>{
             {"sub/disk.vhdx", {"sub\\disk.vhdx", "disk.vmdk"}, 0, "disk.vmdk", u"sub\\disk.vhdx"},
             {"d/disk.vhdx", {"d\\disk.vhdx", "d"}, 0, "d/disk.vmdk", u"disk.vhdx"},
             {"dísk中.vhdx", {"dísk中.vhdx"}, 0, "dísk中.vmdk", u"dísk中.vhdx"},
             {"disk.vhdx", {"disk.vhdx", "--overwrite"}, 0, "disk.vmdk", u"disk.vhdx", true},
             {"disk.vhdx",
              {"disk.vhdx"},
              1,
              "",
              u"",
              true,
              "disk.vmdk: already exists (--overwrite replaces it)"},
             {"sub/disk.vhdx",
              {"sub\\disk.vhdx", "other\\disk.vmdk"},
              2,
              "",
              u"",
              false,
              "or beneath it: the driver looks for it there"},
         }) {
        SCOPED_TRACE(c.args[0]);
        kit::ScratchDir dir;
        const auto path = [&](const std::string& p) {
            return dir.Dir() / fs::path(std::u8string(p.begin(), p.end()));
        };
        Write(path(c.image), Built(Dynamic()));
        fs::create_directories(dir.Dir() / "other");
        if (c.inTheWay) {
            Write(dir.File("disk.vmdk"), {'k', 'e', 'e', 'p'});
        }
        const std::map<fs::path, std::string> before = Contents(dir.Dir());
        std::vector<std::string> args = {"stub", "create"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const tooltest::Run run = Wine(args, dir.Dir());
        ASSERT_EQ(run.exitCode, c.exitCode) << run.err;
        std::map<fs::path, std::string> after = Contents(dir.Dir());
        if (c.exitCode != 0) {
            EXPECT_EQ(run.out, "");
            EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
            EXPECT_TRUE(run.err.ends_with(c.error + "\n")) << run.err;
            EXPECT_TRUE(after == before) << "the directory changed";
            continue;
        }
        EXPECT_EQ(run.err, "");
        EXPECT_NE(run.out.find(": stub for "), std::string::npos) << run.out;
        const std::vector<uint8_t> expected = tool::StubBytes(c.stored);
        EXPECT_TRUE(after[path(c.stub)] == std::string(expected.begin(), expected.end()));
        after.erase(path(c.stub));
        std::map<fs::path, std::string> others = before;
        others.erase(path(c.stub));
        EXPECT_TRUE(after == others) << "files other than the stub changed or were left behind";
    }
}

// The Linux-only commands, and the header query without a driver to answer
// the control code (Wine answers STATUS_NOT_SUPPORTED, NTFS
// STATUS_INVALID_DEVICE_REQUEST).
TEST_F(UnderWine, RefusesWithOneLine) {
    struct Case {
        std::vector<std::string> args;
        int exitCode;
        std::string error;  // the start of the one line on stderr, after "pontor: "
    };
    kit::ScratchDir dir;
    Write(dir.File("disk.vhdx"), Built(Dynamic()));
    Write(dir.File("disk.vmdk"), tool::StubBytes(u"disk.vhdx"));
    for (const Case& c : std::vector<Case>{
             {{"read", "disk.vmdk", "--offset", "0", "--length", "1"},
              2,
              "read: not in the Windows build"},
             {{"cat", "disk.vmdk", "-o", "out.raw"}, 2, "cat: not in the Windows build"},
             {{"convert", "disk.vmdk", "out.raw"}, 2, "convert: not in the Windows build"},
             {{"mount", ".", "mnt", "-f"}, 2, "mount: not in the Windows build"},
             {{"header", "disk.vmdk"},
              1,
              "disk.vmdk: STATUS_NOT_SUPPORTED (0xC00000BB): the control code was not answered"},
             {{"header", "none.vmdk"}, 1, "none.vmdk: "},
         }) {
        SCOPED_TRACE(c.error);
        const tooltest::Run run = Wine(c.args, dir.Dir());
        EXPECT_EQ(run.exitCode, c.exitCode);
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
        EXPECT_EQ(run.err.rfind("pontor: " + c.error, 0), 0u) << run.err;
    }
}

}  // namespace

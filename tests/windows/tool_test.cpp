// pontor.exe, the tool's Windows build (tools/win32): a PE32+ console
// program importing only DLLs that every Windows installation carries, which
// under Wine does what the Linux tool does.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <iostream>
#include <map>
#include <memory>
#include <regex>
#include <set>

#include "tests/support/kit.h"

namespace {

TEST(ToolImage, IsAConsoleProgramImportingSystemDllsOnly) {
    const std::filesystem::path dir = PONTOR_WINDOWS_TOOL_DIR;
    if (dir.empty()) {
        GTEST_SKIP() << "mingw-w64 g++ not found: pontor.exe is not built (scripts/setup.sh "
                        "installs g++-mingw-w64-x86-64-posix)";
    }
    ASSERT_TRUE(std::filesystem::exists(dir / "pontor.exe"));
    const std::string text =
        kit::Output(std::string(PONTOR_OBJDUMP) + " -p '" + (dir / "pontor.exe").string() + "'");
    std::smatch m;
    ASSERT_TRUE(std::regex_search(text, m, std::regex(R"(\nMagic\s+(\S+))")));
    EXPECT_EQ(m[1], "020b") << "not PE32+";
    ASSERT_TRUE(std::regex_search(text, m, std::regex(R"(\nSubsystem\s+(\S+))")));
    EXPECT_EQ(m[1], "00000003") << "not the console subsystem";
    static const std::set<std::string> kSystem = {"kernel32.dll", "ntdll.dll",    "msvcrt.dll",
                                                  "ucrtbase.dll", "advapi32.dll", "shell32.dll",
                                                  "user32.dll",   "bcrypt.dll"};
    const std::regex dll(R"(DLL Name: (\S+))");
    size_t imports = 0;
    for (auto it = std::sregex_iterator(text.begin(), text.end(), dll);
         it != std::sregex_iterator(); ++it, imports++) {
        std::string name = (*it)[1];
        std::transform(name.begin(), name.end(), name.begin(), ::tolower);
        EXPECT_TRUE(name.rfind("api-ms-win-", 0) == 0 || kSystem.count(name))
            << "imports " << name << ", which Windows does not carry";
    }
    EXPECT_GT(imports, 0u) << "no imports found";
}

// pontor.exe run by Wine on the bundled sample beside the Linux tool: the
// same exit status, output and files, paths aside. Wine's start-up (a fresh
// prefix each run) is most of the cost, so one test runs every command.
class UnderWine : public testing::Test {
protected:
    void SetUp() override {
        if (std::string(PONTOR_WINDOWS_TOOL_DIR).empty()) {
            GTEST_SKIP() << "mingw-w64 g++ not found: pontor.exe is not built";
        }
        if (std::string(PONTOR_WINE).empty()) {
            GTEST_SKIP() << "wine64 not found when configuring (scripts/setup.sh installs it)";
        }
        prefix_ = std::make_unique<kit::ScratchDir>("pontor-wine");
        // Headless and quiet: no display, no Wine debug channels.
        env_ = {"WINEPREFIX=" + prefix_->Dir().string(), "WINEDEBUG=-all",
                "DISPLAY=", "WAYLAND_DISPLAY=", "WINEDLLOVERRIDES=mscoree=;mshtml="};
        const auto start = std::chrono::steady_clock::now();
        const kit::Run boot = kit::Spawn({PONTOR_WINE, "wineboot", "--init"}, {}, env_);
        ASSERT_EQ(boot.exitCode, 0) << boot.out << boot.err;
        // Until the prefix's own processes are done, none of them writes to
        // the first program's console.
        kit::Spawn({PONTOR_WINESERVER, "--wait"}, {}, env_);
        std::cout << "wineboot of a fresh prefix: "
                  << std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count()
                  << " s\n";
    }
    void TearDown() override {
        if (prefix_) {
            // The prefix's wineserver lingers after the last program; end it.
            kit::Spawn({PONTOR_WINESERVER, "--kill"}, {}, env_);
        }
    }

    // A copy of the sample in a directory of its own.
    static std::filesystem::path Sample(const kit::ScratchDir& dir) {
        EXPECT_EQ(kit::Shell("tar xzf '" PONTOR_SAMPLE "' -C '" + dir.Dir().string() + "'"), 0);
        return dir.Dir();
    }

    std::unique_ptr<kit::ScratchDir> prefix_;
    std::vector<std::string> env_;
};

// The directory's own name as the run shows it: "/dir" on Linux,
// "Z:\dir" (in JSON "Z:\\dir") under Wine, separators after it included.
std::string WithoutDirectory(std::string text, const std::filesystem::path& dir, bool wine) {
    std::erase(text, '\r');
    std::vector<std::pair<std::string, std::string>> spellings;  // directory, separator
    if (wine) {
        std::string windows = "Z:" + dir.string(), json;
        std::replace(windows.begin(), windows.end(), '/', '\\');
        for (char c : windows) {
            json += c == '\\' ? std::string("\\\\") : std::string(1, c);
        }
        spellings = {{json, "\\\\"}, {windows, "\\"}};
    } else {
        spellings = {{dir.string(), "/"}};
    }
    for (const auto& [spelling, separator] : spellings) {
        for (size_t at; (at = text.find(spelling)) != std::string::npos;) {
            size_t end = at + spelling.size();
            std::string replacement = "<dir>";
            // The rest of the path, up to a blank, a quote or the line's end.
            while (end < text.size() && !std::isspace(static_cast<unsigned char>(text[end])) &&
                   text[end] != '"' && text[end] != ',') {
                if (text.compare(end, separator.size(), separator) == 0) {
                    replacement += '/';
                    end += separator.size();
                } else {
                    replacement += text[end++];
                }
            }
            text.replace(at, end - at, replacement);
        }
    }
    return text;
}

std::map<std::string, std::vector<uint8_t>> Files(const std::filesystem::path& dir) {
    std::map<std::string, std::vector<uint8_t>> files;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        files[entry.path().filename()] = kit::ReadFile(entry.path());
    }
    return files;
}

TEST_F(UnderWine, PontorExeAgreesWithTheLinuxTool) {
    const std::vector<std::vector<std::string>> commands = {
        {"stub", "create", "child.vhdx"},
        {"stub", "create", "base.vhdx", "--help"},
        {"info", "child.vhdx"},
        {"info", "base.vhdx", "--json"},
        {"check", "child.vhdx"},
        {"check", "child.vhdx", "--json"},
        {"map", "child.vhdx"},
        {"map", "child.vhdx", "--json"},
    };
    const std::string exe = std::string(PONTOR_WINDOWS_TOOL_DIR) + "/pontor.exe";
    for (const std::vector<std::string>& command : commands) {
        std::string shown;
        for (const std::string& word : command) {
            shown += " " + word;
        }
        SCOPED_TRACE("pontor" + shown);
        // No byte of the files written is random by design: every one must agree.
        kit::ScratchDir linux1("pontor-linux"), wine("pontor-wine-run");
        std::vector<std::string> linuxArgv = {PONTOR_TOOL}, wineArgv = {PONTOR_WINE, exe};
        linuxArgv.insert(linuxArgv.end(), command.begin(), command.end());
        wineArgv.insert(wineArgv.end(), command.begin(), command.end());
        const kit::Run expected = kit::Spawn(linuxArgv, Sample(linux1));
        const kit::Run actual = kit::Spawn(wineArgv, Sample(wine), env_);

        EXPECT_EQ(expected.exitCode, 0) << expected.err;  // each works on the sample
        EXPECT_EQ(actual.exitCode, expected.exitCode);
        EXPECT_EQ(WithoutDirectory(actual.out, wine.Dir(), true),
                  WithoutDirectory(expected.out, linux1.Dir(), false));
        EXPECT_EQ(WithoutDirectory(actual.err, wine.Dir(), true),
                  WithoutDirectory(expected.err, linux1.Dir(), false));

        const auto want = Files(linux1.Dir()), got = Files(wine.Dir());
        ASSERT_EQ(got.size(), want.size()) << "the files each tool left in the directory";
        for (const auto& [name, bytes] : want) {
            ASSERT_TRUE(got.count(name)) << name << " is not among pontor.exe's files";
            const std::vector<uint8_t>& windows = got.at(name);
            ASSERT_EQ(windows.size(), bytes.size()) << name;
            const size_t first =
                std::mismatch(bytes.begin(), bytes.end(), windows.begin()).first - bytes.begin();
            EXPECT_EQ(first, bytes.size()) << name << ": bytes differ from offset " << first;
        }
    }
}

}  // namespace

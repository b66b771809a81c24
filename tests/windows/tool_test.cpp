// pontor.exe, the tool's Windows build (tools/win32): a PE32+ console
// program importing only DLLs that every Windows installation carries.
#include <gtest/gtest.h>

#include <algorithm>
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

}  // namespace

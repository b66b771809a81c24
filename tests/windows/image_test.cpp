// The Windows driver image, read with mingw-w64's objdump and nm, for what
// loading it on the host (tests/loader) cannot show: unwind data around every
// frame, structured exception scopes, a valid checksum, no initializers and no
// writable code. The Windows build's layouts and constants are compared with
// the host's.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "tests/support/kit.h"

namespace {

// ---- Running the binutils ----

std::string Run(const std::string& command) { return kit::Output(command + " 2>&1"); }

// The non-empty pieces of text between separators.
std::vector<std::string> Split(const std::string& text, char separator = '\n') {
    std::vector<std::string> parts;
    std::string part;
    std::istringstream in(text);
    while (std::getline(in, part, separator)) {
        if (!part.empty()) {
            parts.push_back(part);
        }
    }
    return parts;
}

// ---- What the checks look at ----

struct Section {
    std::string name;
    bool code = false;
    bool writable = false;
};

struct PeImage {
    std::string path;
    uint64_t storedChecksum = 0;
    std::map<int, uint64_t> directorySize;
    std::vector<Section> sections;
    std::vector<std::pair<uint64_t, uint64_t>> unwound;        // .pdata [begin, end)
    std::vector<std::pair<uint64_t, std::string>> stackMoves;  // push, sub rsp, call
    std::map<std::string, uint64_t> symbols;                   // defined, by name
    std::set<std::string> objectSections;                      // of every object
    // Structured exception scopes from the unwind data: the language handler
    // of the function and whether the scope is a __finally (no jump target)
    // or an __except.
    struct Scope {
        uint64_t languageHandler;
        bool termination;
    };
    std::vector<Scope> scopes;
};

uint64_t Hex(const std::string& s) { return std::stoull(s, nullptr, 16); }

using kit::ReadFile;

PeImage Inspect(const std::string& path, const std::vector<std::string>& objects) {
    PeImage image;
    image.path = path;

    const std::regex checksum(R"(^CheckSum\s+(?:0x)?([0-9a-fA-F]+))");
    const std::regex directory(R"(^Entry ([0-9a-f]) [0-9a-f]+ ([0-9a-f]+) )");
    const std::regex runtimeFunction(R"(^ [0-9a-f]+:\s+([0-9a-f]+) ([0-9a-f]+) [0-9a-f]+)");
    const std::regex handler(R"(^\s+Handler: ([0-9a-f]+)\.)");
    const std::regex userData(R"(^\s+[0-9a-f]{3}:((?: [0-9a-f]{2})+))");
    bool inFunctionTable = false;
    uint64_t languageHandler = 0;
    std::vector<uint32_t> scopeWords;  // the scope table after a handler
    const auto takeScopes = [&] {
        if (languageHandler != 0 && !scopeWords.empty()) {
            for (uint32_t k = 0; k < scopeWords[0] && 4 * k + 4 < scopeWords.size(); k++) {
                image.scopes.push_back({languageHandler, scopeWords[4 * k + 4] == 0});
            }
        }
        languageHandler = 0;
        scopeWords.clear();
    };
    std::vector<unsigned char> userBytes;
    for (const std::string& line : Split(Run(PONTOR_OBJDUMP " -p " + path))) {
        std::smatch m;
        if (std::regex_search(line, m, checksum)) {
            image.storedChecksum = Hex(m[1]);
        } else if (std::regex_search(line, m, directory)) {
            image.directorySize[std::stoi(m[1], nullptr, 16)] = Hex(m[2]);
        } else if (line.find("The Function Table") == 0) {
            inFunctionTable = true;
        } else if (inFunctionTable && std::regex_search(line, m, runtimeFunction)) {
            image.unwound.emplace_back(Hex(m[1]), Hex(m[2]));
        } else if (std::regex_search(line, m, handler)) {
            takeScopes();
            languageHandler = Hex(m[1]);
            userBytes.clear();
        } else if (languageHandler != 0 && std::regex_search(line, m, userData)) {
            std::istringstream bytes(m[1]);
            for (std::string byte; bytes >> byte;) {
                userBytes.push_back((unsigned char)Hex(byte));
                if (userBytes.size() % 4 == 0) {
                    const size_t at = userBytes.size() - 4;
                    scopeWords.push_back(userBytes[at] | userBytes[at + 1] << 8 |
                                         userBytes[at + 2] << 16 |
                                         (uint32_t)userBytes[at + 3] << 24);
                }
            }
        } else if (languageHandler != 0 && line.find("(rva:") != std::string::npos) {
            takeScopes();
        }
    }
    takeScopes();

    const std::regex section(R"(^\s+\d+ (\S+)\s)");
    const auto headers = Split(Run(PONTOR_OBJDUMP " -h " + path));
    for (size_t i = 0; i + 1 < headers.size(); i++) {
        std::smatch m;
        if (std::regex_search(headers[i], m, section)) {
            const std::string& flags = headers[i + 1];
            image.sections.push_back({m[1], flags.find("CODE") != std::string::npos,
                                      flags.find("READONLY") == std::string::npos &&
                                          flags.find("LOAD") != std::string::npos});
        }
    }

    // Every instruction that moves the stack pointer needs unwind data
    // around it for an exception to get past its frame.
    const std::regex instruction(R"(^\s+([0-9a-f]+):\s+(\S+)\s*(.*)$)");
    for (const std::string& line : Split(Run(PONTOR_OBJDUMP " -d --no-show-raw-insn " + path))) {
        std::smatch m;
        if (std::regex_match(line, m, instruction)) {
            const std::string op = m[2];
            const std::string operands = m[3];
            if (op.rfind("push", 0) == 0 || op.rfind("call", 0) == 0 ||
                (op.rfind("sub", 0) == 0 && operands.find(",%rsp") != std::string::npos)) {
                image.stackMoves.emplace_back(Hex(m[1]), op + " " + operands);
            }
        }
    }

    const std::regex symbol(R"(^([0-9a-f]+) \S (\S+)$)");
    for (const std::string& line : Split(Run(PONTOR_NM " --defined-only " + path))) {
        std::smatch m;
        if (std::regex_match(line, m, symbol)) {
            image.symbols[m[2]] = Hex(m[1]);
        }
    }

    for (const std::string& object : objects) {
        for (const std::string& line : Split(Run(PONTOR_OBJDUMP " -h " + object))) {
            std::smatch m;
            if (std::regex_search(line, m, section)) {
                image.objectSections.insert(m[1]);
            }
        }
    }
    return image;
}

// ---- The checks ----

constexpr int kExceptionDirectory = 3;
constexpr int kTlsDirectory = 9;

// ---- images.txt: what the cross build made ----

struct Built {
    std::string path;
    std::vector<std::string> objects;
};

struct Manifest {
    std::map<std::string, Built> images;
    std::string layout;
};

const Manifest& Read() {
    static const Manifest manifest = [] {
        Manifest m;
        std::ifstream in(PONTOR_WINDOWS_IMAGES);
        for (std::string line; std::getline(in, line);) {
            const size_t eq = line.find('=');
            if (eq == std::string::npos)
                continue;
            const std::string key = line.substr(0, eq);
            const std::string value = line.substr(eq + 1);
            if (key == "layout") {
                m.layout = value;
            } else {
                const size_t bar = value.find('|');
                m.images[key] = {value.substr(0, bar), Split(value.substr(bar + 1), ';')};
            }
        }
        return m;
    }();
    return manifest;
}

class WindowsImage : public ::testing::Test {
protected:
    void SetUp() override {
        if (std::string(PONTOR_WINDOWS_IMAGES).empty()) {
            GTEST_SKIP() << "mingw-w64 tools not found when configuring; scripts/setup.sh "
                            "installs them";
        }
        ASSERT_TRUE(std::filesystem::exists(PONTOR_WINDOWS_IMAGES))
            << PONTOR_WINDOWS_IMAGES << " is missing: the cross build did not run";
    }
    Built Image(const std::string& name) {
        const auto found = Read().images.find(name);
        EXPECT_NE(found, Read().images.end()) << name << " is not in " << PONTOR_WINDOWS_IMAGES;
        return found == Read().images.end() ? Built{} : found->second;
    }
};

TEST_F(WindowsImage, PontorSysUnwindsAndCarriesNothingADriverCannotRun) {
    const Built built = Image("pontor.sys");
    ASSERT_FALSE(built.objects.empty());
    PeImage image = Inspect(built.path, built.objects);
    // Each check found what it looks at, so none passes on unparsed output.
    ASSERT_FALSE(image.sections.empty());
    ASSERT_FALSE(image.unwound.empty());
    ASSERT_FALSE(image.stackMoves.empty());
    ASSERT_FALSE(image.objectSections.empty());

    // An exception gets past a frame only where unwind data covers every
    // instruction that moves the stack pointer.
    EXPECT_NE(image.directorySize[kExceptionDirectory], 0u) << "no exception directory (.pdata)";
    const auto uncovered =
        std::find_if(image.stackMoves.begin(), image.stackMoves.end(), [&](const auto& move) {
            return std::none_of(image.unwound.begin(), image.unwound.end(), [&](const auto& range) {
                return move.first >= range.first && move.first < range.second;
            });
        });
    EXPECT_EQ(uncovered, image.stackMoves.end())
        << "'" << uncovered->second << "' at 0x" << std::hex << uncovered->first
        << " lies in code without unwind data";

    EXPECT_EQ(image.storedChecksum, kit::PeChecksum(ReadFile(built.path)));
    // Nothing runs initializers in a driver or gives it thread-local data.
    for (const std::string& name : image.objectSections) {
        for (const char* forbidden : {".ctors", ".dtors", ".init_array", ".CRT$X", ".tls"}) {
            EXPECT_NE(name.rfind(forbidden, 0), 0u) << "an object carries " << name;
        }
    }
    EXPECT_EQ(image.directorySize[kTlsDirectory], 0u) << "the image has a TLS directory";
    for (const Section& section : image.sections) {
        EXPECT_FALSE(section.code && section.writable) << section.name << " is code and writable";
    }

    // The guarded idioms became structured exception handling run by the
    // kernel's handler: a __finally for the read routines' buffer release,
    // an __except for the header copy.
    ASSERT_TRUE(image.symbols.count("__C_specific_handler"));
    const uint64_t kernelHandler = image.symbols.at("__C_specific_handler");
    size_t finallies = 0, excepts = 0;
    for (const PeImage::Scope& scope : image.scopes) {
        EXPECT_EQ(scope.languageHandler, kernelHandler);
        (scope.termination ? finallies : excepts)++;
    }
    EXPECT_GE(finallies, 1u);
    EXPECT_GE(excepts, 1u);
}

// ---- Layouts and constants: Windows build against host build ----

struct Entry {
    const char* what;
    uint64_t host;
};

#define PONTOR_SIZE(T) {"sizeof(" #T ")", (uint64_t)sizeof(T)},
#define PONTOR_OFFSET(T, M) {"offsetof(" #T ", " #M ")", (uint64_t)offsetof(T, M)},
#define PONTOR_VALUE(V) {#V, (uint64_t)(V)},
const Entry kHostEntries[] = {
#include "tests/windows/layouts.inc"
};
#undef PONTOR_SIZE
#undef PONTOR_OFFSET
#undef PONTOR_VALUE

TEST_F(WindowsImage, HostLayoutsAndConstantsMatchTheWindowsBuild) {
    ASSERT_FALSE(Read().layout.empty());
    const std::vector<uint8_t> bytes = ReadFile(Read().layout);
    constexpr size_t count = sizeof(kHostEntries) / sizeof(kHostEntries[0]);
    ASSERT_EQ(bytes.size(), count * 8) << "the two builds read different lists";
    for (size_t i = 0; i < count; i++) {
        uint64_t windows = 0;
        for (int b = 7; b >= 0; b--) {
            windows = windows << 8 | bytes[i * 8 + b];
        }
        EXPECT_EQ(kHostEntries[i].host, windows) << kHostEntries[i].what;
    }
}

// ---- Imports against Windows' export lists ----
//
// The loader tests bind the image's imports to the host's routines, which
// would take a routine only the host has. Windows loads the image only if
// each import names a routine its module exports, by name.

struct Import {
    std::string module, name;
    bool byOrdinal = false;
};

std::string PrivateHeaders(const std::string& path) {
    return Run(std::string(PONTOR_OBJDUMP) + " -p '" + path + "'");
}

// The import tables as objdump -p shows them: under "DLL Name: M", one line
// per import, its hint and name, or an ordinal alone.
std::vector<Import> Imports(const std::string& path) {
    std::vector<Import> imports;
    const std::regex module(R"(^\s*DLL Name: (\S+))");
    const std::regex entry(R"(^\s+[0-9a-f]+\s+(\d+)(?:\s+(\S+))?\s*$)");
    std::string current;
    std::smatch m;
    for (const std::string& line : Split(PrivateHeaders(path))) {
        if (std::regex_search(line, m, module)) {
            current = m[1];
        } else if (line.find("vma:") == std::string::npos && !current.empty() &&
                   std::regex_match(line, m, entry)) {
            const bool named = m[2].matched && m[2] != "<none>";
            imports.push_back({current, named ? m[2].str() : "#" + m[1].str(), !named});
        } else if (line.find("Export Tables") != std::string::npos ||
                   line.find("Base Relocations") != std::string::npos) {
            current.clear();
        }
    }
    return imports;
}

using Exports = std::map<std::string, std::set<std::string>>;  // module, lower case -> names

// FLTMGR.SYS routines the driver uses that Microsoft documents in fltKernel.h
// but Wine 8's fltmgr.sys does not export.
const char* const kFltMgrBeyondWine[] = {"FltCancellableWaitForSingleObject",
                                         "FltFindExtraCreateParameter",
                                         "FltGetEcpListFromCallbackData"};

// ntoskrnl.exe's exports from mingw-w64's import library, made from
// Windows' export list. Debian 12's mingw-w64 has none for FLTMGR.SYS, so
// its exports are Wine's fltmgr.sys's, whose export table follows Windows'.
Exports WindowsExports() {
    Exports exports;
    const std::regex imp(R"( I __imp_(\S+)$)");
    std::smatch m;
    for (const std::string& line :
         Split(Run(std::string(PONTOR_NM) + " '" + PONTOR_NTOSKRNL_LIB + "'"))) {
        if (std::regex_search(line, m, imp))
            exports["ntoskrnl.exe"].insert(m[1]);
    }
    const std::regex named(R"(^\s*\[\s*\d+\] (\S+)$)");
    for (const std::string& line : Split(PrivateHeaders(PONTOR_WINE_FLTMGR))) {
        if (std::regex_search(line, m, named))
            exports["fltmgr.sys"].insert(m[1]);
    }
    exports["fltmgr.sys"].insert(std::begin(kFltMgrBeyondWine), std::end(kFltMgrBeyondWine));
    return exports;
}

// Why Windows would refuse each import; empty when it would bind them all.
std::vector<std::string> Unresolved(const std::vector<Import>& imports, const Exports& exports) {
    std::vector<std::string> problems;
    for (const Import& import : imports) {
        std::string module = import.module;
        std::transform(module.begin(), module.end(), module.begin(), ::tolower);
        const auto found = exports.find(module);
        if (import.byOrdinal) {
            problems.push_back(import.name + " of " + import.module + " is imported by ordinal");
        } else if (found == exports.end()) {
            problems.push_back(import.module + " is not a module the driver imports from");
        } else if (!found->second.count(import.name)) {
            problems.push_back(import.module + " does not export " + import.name);
        }
    }
    return problems;
}

class WindowsImports : public WindowsImage {
protected:
    void SetUp() override {
        WindowsImage::SetUp();
        if (IsSkipped())
            return;
        if (std::string(PONTOR_WINE_FLTMGR).empty()) {
            GTEST_SKIP() << "Wine's fltmgr.sys not found when configuring; scripts/setup.sh "
                            "installs wine64";
        }
        exports_ = WindowsExports();
        ASSERT_GT(exports_["ntoskrnl.exe"].size(), 1000u) << PONTOR_NTOSKRNL_LIB;
        ASSERT_GT(exports_["fltmgr.sys"].size(), 100u) << PONTOR_WINE_FLTMGR;
    }
    Exports exports_;
};

TEST_F(WindowsImports, TheCheckRefusesWhatWindowsWouldNotBind) {
    const struct {
        Import import;
        const char* problem;  // nullptr: binds
    } rows[] = {
        {{"ntoskrnl.exe", "KeSetEvent"}, nullptr},
        {{"FLTMGR.SYS", "FltReadFile"}, nullptr},
        {{"FLTMGR.SYS", "FltGetEcpListFromCallbackData"}, nullptr},
        {{"ntoskrnl.exe", "KeSetEvents"}, "ntoskrnl.exe does not export KeSetEvents"},
        // A macro on x64 Windows, which a host might well implement.
        {{"ntoskrnl.exe", "KeRaiseIrql"}, "ntoskrnl.exe does not export KeRaiseIrql"},
        {{"ntoskrnl.exe", "FltReadFile"}, "ntoskrnl.exe does not export FltReadFile"},
        {{"FLTMGR.SYS", "KeSetEvent"}, "FLTMGR.SYS does not export KeSetEvent"},
        {{"ntoskrnl.exe", "#119", true}, "#119 of ntoskrnl.exe is imported by ordinal"},
        {{"HAL.dll", "KeStallExecutionProcessor"},
         "HAL.dll is not a module the driver imports from"},
    };
    for (const auto& row : rows) {
        const std::vector<std::string> problems = Unresolved({row.import}, exports_);
        EXPECT_EQ(problems,
                  row.problem ? std::vector<std::string>{row.problem} : std::vector<std::string>{})
            << row.import.module << "!" << row.import.name;
    }
}

TEST_F(WindowsImports, PontorSysImportsOnlyWhatWindowsExportsAndIsNxAndRelocatable) {
    const Built built = Image("pontor.sys");
    const std::vector<Import> imports = Imports(built.path);
    std::set<std::string> modules;
    for (const Import& import : imports) {
        modules.insert(import.module);
    }
    EXPECT_EQ(modules, (std::set<std::string>{"FLTMGR.SYS", "ntoskrnl.exe"}));
    EXPECT_GT(imports.size(), 20u) << "the import tables were not read";
    EXPECT_EQ(Unresolved(imports, exports_), std::vector<std::string>{});

    std::smatch m;
    const std::string headers = PrivateHeaders(built.path);
    ASSERT_TRUE(
        std::regex_search(headers, m, std::regex(R"(\nDllCharacteristics\s+([0-9a-fA-F]+))")));
    const uint64_t characteristics = Hex(m[1]);
    EXPECT_TRUE(characteristics & 0x0040) << "no IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE";
    EXPECT_TRUE(characteristics & 0x0100) << "no IMAGE_DLLCHARACTERISTICS_NX_COMPAT";
}

}  // namespace

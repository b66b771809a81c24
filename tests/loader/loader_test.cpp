// The driver image loader: every refusal of a damaged image names its
// reason and leaves nothing mapped; pontor.sys loads at a relocated base,
// keeps each routine in its residency within a bounded stack, loses INIT
// after DriverEntry, and unloads cleanly.
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <filesystem>
#include <fstream>
#include <cstring>
#include <functional>
#include <iostream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "platform/host/loader/loader.h"
#include "platform/host/loader/seh.h"
#include "tests/support/kit.h"
#include "tests/support/vhdx_image.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<unsigned char>;
using vhdxtest::Load32;
using vhdxtest::Load64;
using vhdxtest::Store16;
using vhdxtest::Store32;

fs::path Built(const char* name) { return fs::path(PONTOR_IMAGE_DIR) / name; }

// Whether /proc/self/maps shows a mapping starting at address.
bool Mapped(uintptr_t address) {
    std::ifstream maps("/proc/self/maps");
    for (std::string line; std::getline(maps, line);) {
        if (std::stoull(line.substr(0, line.find('-')), nullptr, 16) == address) {
            return true;
        }
    }
    return false;
}

class LoaderTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (std::string(PONTOR_IMAGE_DIR).empty()) {
            GTEST_SKIP() << "the Windows image is not built (mingw-w64 tools not found)";
        }
    }
    void TearDown() override {
        EXPECT_EQ(host::MappedImageCount(), 0u) << "an image is still mapped";
    }
};

// ---- Damaged images ----

// Where a PE's header fields lie.
struct Pe {
    Bytes& b;
    uint32_t Nt() const { return Load32(&b[0x3c]); }
    size_t Optional() const { return Nt() + 24; }
    size_t Section(int i) const {
        return Optional() + (b[Nt() + 20] | b[Nt() + 21] << 8) + 40 * (size_t)i;
    }
    size_t Directory(int i) const { return Optional() + 112 + 8 * (size_t)i; }
    size_t FileOffset(uint32_t rva) const {  // of an RVA inside some section
        for (int i = 0;; i++) {
            const uint32_t va = Load32(&b[Section(i) + 12]);
            if (rva >= va && rva < va + Load32(&b[Section(i) + 16])) {
                return rva - va + Load32(&b[Section(i) + 20]);
            }
        }
    }
};

void Rename(Bytes& b, const std::string& from, const std::string& to) {
    auto at = std::search(b.begin(), b.end(), from.begin(), from.end());
    ASSERT_NE(at, b.end()) << from;
    std::copy(to.begin(), to.end(), at);
}

struct Damage {
    const char* name;
    std::function<void(Pe)> damage;
    const char* refusal;
};

void PrintTo(const Damage& d, std::ostream* out) { *out << d.name; }

class DamagedImage : public LoaderTest, public ::testing::WithParamInterface<Damage> {};

TEST_P(DamagedImage, IsRefusedWithItsReasonAndNothingMapped) {
    Bytes bytes = kit::ReadFile(Built("pontor.sys"));
    ASSERT_GT(bytes.size(), 1024u);
    GetParam().damage(Pe{bytes});
    std::string error;
    auto image = host::DriverImage::Map(bytes, &error);
    EXPECT_EQ(image, nullptr);
    EXPECT_EQ(error.substr(0, strlen(GetParam().refusal)), GetParam().refusal) << error;
}

const uint16_t kConsole = 3;  // IMAGE_SUBSYSTEM_WINDOWS_CUI

INSTANTIATE_TEST_SUITE_P(
    Refusals, DamagedImage,
    ::testing::ValuesIn(std::vector<Damage>{
        {"dll", [](Pe pe) { pe.b[pe.Nt() + 23] |= 0x20; },  // IMAGE_FILE_DLL
         "a DLL, not a driver"},
        {"subsystem_patched", [](Pe pe) { Store16(&pe.b[pe.Optional() + 68], kConsole); },
         "subsystem 3 is not native (1)"},
        {"stripped", [](Pe pe) { pe.b[pe.Nt() + 22] |= 0x01; },  // IMAGE_FILE_RELOCS_STRIPPED
         "no base relocations (stripped): the image cannot be relocated"},
        {"foreign_import",
         [](Pe pe) { Rename(pe.b, "FLTMGR.SYS", std::string("HAL.dll\x00\x00\x00", 10)); },
         "import HAL.dll!"},
        {"unknown_import", [](Pe pe) { Rename(pe.b, "FltStartFiltering", "FltStartFilterinX"); },
         "import FLTMGR.SYS!FltStartFilterinX is not exported by the host"},
        {"truncated", [](Pe pe) { pe.b.resize(0x100); },
         "truncated PE: the optional header is incomplete"},
        {"truncated_section", [](Pe pe) { pe.b.resize(0x401); },
         "truncated PE: section .text passes the end of the file"},
        {"no_mz", [](Pe pe) { pe.b[0] = 'X'; }, "not a PE image: no MZ signature"},
        {"no_pe", [](Pe pe) { pe.b[pe.Nt()] = 'X'; }, "not a PE image: no PE signature at 0x80"},
        {"nt_headers_past_end", [](Pe pe) { Store32(&pe.b[0x3c], 0x7ffffff0); },
         "not a PE image: no PE signature at 0x7ffffff0"},
        {"section_past_file", [](Pe pe) { Store32(&pe.b[pe.Section(1) + 20], 0x100000); },
         "truncated PE: section PAGE passes the end of the file"},
        {"section_past_image", [](Pe pe) { Store32(&pe.b[pe.Section(1) + 12], 0x100000); },
         "inconsistent PE: section PAGE lies outside the image"},
        {"overlapping_sections",
         [](Pe pe) { Store32(&pe.b[pe.Section(1) + 12], Load32(&pe.b[pe.Section(0) + 12])); },
         "inconsistent PE: section PAGE overlaps the one before it"},
        {"import_directory_outside", [](Pe pe) { Store32(&pe.b[pe.Directory(1)], 0x100000); },
         "inconsistent PE: data directory 1 lies outside the image"},
        {"entry_outside", [](Pe pe) { Store32(&pe.b[pe.Optional() + 16], 0x100000); },
         "inconsistent PE: the entry point lies outside the image"},
        // The unwind data the exception dispatcher follows.
        {"function_outside_image",
         [](Pe pe) { Store32(&pe.b[pe.FileOffset(Load32(&pe.b[pe.Directory(3)])) + 4], 0x100000); },
         "unwind data: function entry 0x1010 lies outside the image"},
        {"functions_unsorted",
         [](Pe pe) {
             const size_t first = pe.FileOffset(Load32(&pe.b[pe.Directory(3)]));
             std::swap_ranges(pe.b.begin() + first, pe.b.begin() + first + 12,
                              pe.b.begin() + first + 12);
         },
         "unwind data: function entry 0x1010 is out of order or overlaps the one before it"},
        {"unwind_info_outside_image",
         [](Pe pe) { Store32(&pe.b[pe.FileOffset(Load32(&pe.b[pe.Directory(3)])) + 8], 0x100000); },
         "unwind data: function entry 0x1010 has its unwind info at 0x100000, outside the image"},
        {"unknown_unwind_code",
         [](Pe pe) {
             const size_t first = pe.FileOffset(Load32(&pe.b[pe.Directory(3)]));
             const size_t info = pe.FileOffset(Load32(&pe.b[first + 8]));
             pe.b[info + 5] = (unsigned char)((pe.b[info + 5] & 0xf0) | 7);  // first code's op
         },
         "unwind data: function entry 0x1010 uses unwind code 7 (info 7), which the dispatcher "
         "does not follow"},
        {"highlow_relocation",
         [](Pe pe) {
             const size_t block = pe.FileOffset(Load32(&pe.b[pe.Directory(5)]));
             pe.b[block + 9] = (unsigned char)((pe.b[block + 9] & 0x0f) | 0x30);
         },
         "base relocation type 3 at 0x"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(LoaderTest, MapsAwayFromThePreferredBaseAndUnmapsCompletely) {
    std::string error;
    uintptr_t base;
    {
        auto image = host::DriverImage::Map(Built("pontor.sys"), &error);
        ASSERT_NE(image, nullptr) << error;
        base = image->Base();
        EXPECT_NE(image->Base(), image->PreferredBase());
        EXPECT_GT(image->RelocationsApplied(), 0u);
        EXPECT_TRUE(Mapped(base));
        // Protections come from the section characteristics.
        ASSERT_NE(image->Section(".text"), nullptr);
        EXPECT_EQ(image->Section(".text")->protection, PROT_READ | PROT_EXEC);
        EXPECT_EQ(image->Section(".rdata")->protection, PROT_READ);
    }
    EXPECT_FALSE(Mapped(base));
}

// ---- Exception dispatch through the image's unwind data ----

// The image's own guarded routines, called directly, each faulting in one of
// the ways an exception enters the image: raised by the host routine it
// called (memcpy), a real fault under that routine, or a real fault at an
// address inside the image. Their __except returns the exception's code.
using CopyGuarded = NTSTATUS(PONTOR_MS_ABI*)(PVOID, const VOID*, SIZE_T);
using CallExcept = NTSTATUS(PONTOR_MS_ABI*)(PVOID Body, PVOID Context);
using CallGuarded = NTSTATUS(PONTOR_MS_ABI*)(PVOID Body, PVOID Release, PVOID Context);

// Two pages, the second inaccessible.
struct GuardedPages {
    unsigned char* at = (unsigned char*)mmap(nullptr, 8192, PROT_READ | PROT_WRITE,
                                             MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    GuardedPages() { mprotect(at + 4096, 4096, PROT_NONE); }
    ~GuardedPages() { munmap(at, 8192); }
};

struct Fault {
    const char* name;
    // Calls into the image; the status its handler returned.
    std::function<NTSTATUS(const host::DriverImage&, GuardedPages&)> run;
    NTSTATUS status;
};

void PrintTo(const Fault& f, std::ostream* out) { *out << f.name; }

class Dispatch : public LoaderTest, public ::testing::WithParamInterface<Fault> {};

template <typename Routine>
Routine Find(const host::DriverImage& image, const char* symbol) {
    auto routine = (Routine)image.Symbol(symbol);
    EXPECT_NE((void*)routine, nullptr) << symbol;
    return routine;
}
constexpr const char* kCopyGuarded = "_Z17PontorCopyGuardedPvPKvy";
constexpr const char* kCallExcept = "_Z16PontorCallExceptPFlPvES_";
constexpr const char* kCallGuarded = "_Z17PontorCallGuardedPFlPvEPFvS_ES_";

TEST_P(Dispatch, ReachesTheImagesHandlerWithTheCode) {
    std::string error;
    auto image = host::DriverImage::Map(Built("pontor.sys"), &error);
    ASSERT_NE(image, nullptr) << error;
    GuardedPages pages;
    EXPECT_EQ(GetParam().run(*image, pages), GetParam().status);
    host::ArmAccessFault(nullptr, 0);
}

const std::vector<unsigned char> kSource(8192, 0x5a);

INSTANTIATE_TEST_SUITE_P(
    Image, Dispatch,
    ::testing::ValuesIn(std::vector<Fault>{
        {"noFault",
         [](const host::DriverImage& image, GuardedPages& pages) {
             return Find<CopyGuarded>(image, kCopyGuarded)(pages.at, kSource.data(), 4096);
         },
         STATUS_SUCCESS},
        {"raisedByTheHostRoutine",
         [](const host::DriverImage& image, GuardedPages& pages) {
             host::ArmAccessFault(pages.at + 100, 1);
             return Find<CopyGuarded>(image, kCopyGuarded)(pages.at, kSource.data(), 4096);
         },
         STATUS_ACCESS_VIOLATION},
        {"realFaultUnderTheHostRoutine",
         [](const host::DriverImage& image, GuardedPages& pages) {
             return Find<CopyGuarded>(image, kCopyGuarded)(pages.at, kSource.data(), 8192);
         },
         STATUS_ACCESS_VIOLATION},
        {"realFaultInTheImage",  // a call to its data, which is not executable
         [](const host::DriverImage& image, GuardedPages&) {
             return Find<CallExcept>(image, kCallExcept)((PVOID)image.Section(".rdata")->address,
                                                         nullptr);
         },
         STATUS_ACCESS_VIOLATION}}),
    [](const auto& info) { return std::string(info.param.name); });

PONTOR_MS_ABI void Released(PVOID) { std::fprintf(stderr, "released by the __finally\n"); }

// With no __except around it, the search leaves the image's frames and the
// system stops, as Windows does (KMODE_EXCEPTION_NOT_HANDLED): before any
// unwind, so the __finally on the way never runs.
TEST_F(LoaderTest, UnhandledExceptionBugChecksBeforeAnyFinally) {
    std::string error;
    auto image = host::DriverImage::Map(Built("pontor.sys"), &error);
    ASSERT_NE(image, nullptr) << error;
    auto guarded = Find<CallGuarded>(*image, kCallGuarded);
    const PVOID data = (PVOID)image->Section(".rdata")->address;
    EXPECT_DEATH(guarded(data, (PVOID)&Released, nullptr),
                 "^BUGCHECK: exception 0xc0000005 at 0x[0-9a-f]+ left the driver image unhandled");
}

// The virtual unwind of one frame, on synthetic unwind data for what
// pontor.sys does not use today (chained infos, saves by offset, a machine
// frame, a point inside the prolog or the epilogue). The stack holds 0x1000
// + i in slot i; each case names the slots the registers come back from.
struct UnwindCase {
    const char* name;
    std::vector<uint8_t> info;               // UNWIND_INFO at RVA 0x2000
    std::vector<uint8_t> chained;            // a second one at RVA 0x2100, if any
    uint32_t pcOffset;                       // into the function at RVA 0x1000
    std::vector<uint8_t> code;               // at pc; nops otherwise
    int rbpSlot;                             // the frame register's value, as a slot; -1: none
    int ripSlot, rspSlot;                    // after the unwind
    std::vector<std::pair<int, int>> saved;  // register number, slot
    int establisherSlot;
};

void PrintTo(const UnwindCase& c, std::ostream* out) { *out << c.name; }

class Unwind : public ::testing::TestWithParam<UnwindCase> {};

TEST_P(Unwind, RestoresTheCallersRegisters) {
    const UnwindCase& c = GetParam();
    std::vector<uint8_t> image(0x3000, 0x90);
    const uint64_t base = (uint64_t)image.data();
    std::copy(c.info.begin(), c.info.end(), image.begin() + 0x2000);
    std::copy(c.chained.begin(), c.chained.end(), image.begin() + 0x2100);
    std::copy(c.code.begin(), c.code.end(), image.begin() + 0x1000 + c.pcOffset);
    const uint32_t function[3] = {0x1000, 0x1100, 0x2000};
    std::vector<uint64_t> stack(32);
    for (size_t i = 0; i < stack.size(); i++) {
        stack[i] = 0x1000 + i;
    }
    const auto slot = [&](int i) { return (uint64_t)&stack[i]; };
    stack[3] = slot(10);  // the interrupted rsp of a machine frame
    host::seh::CONTEXT context = {};
    context.Gpr[host::seh::kRsp] = slot(0);
    if (c.rbpSlot >= 0) {
        context.Gpr[host::seh::kRbp] = slot(c.rbpSlot);
    }
    uint64_t establisher = 0;
    host::seh::detail::UnwindFrame(base, base + 0x1000 + c.pcOffset, function, &context,
                                   &establisher);
    EXPECT_EQ(context.Rip, stack[c.ripSlot]);
    EXPECT_EQ(context.Gpr[host::seh::kRsp], slot(c.rspSlot));
    for (const auto& [reg, at] : c.saved) {
        EXPECT_EQ(context.Gpr[reg], stack[at]) << "register " << reg;
    }
    EXPECT_EQ(establisher, slot(c.establisherSlot));
}

// UNWIND_CODE: prolog offset, then op | info << 4.
constexpr uint8_t kPush = 0, kLarge = 1, kSmall = 2, kFrame = 3, kSave = 4, kSaveFar = 5,
                  kMachine = 10;
constexpr uint8_t kRbx = 3, kRbp = 5, kRsi = 6, kRdi = 7, kR12 = 12;
uint8_t Op(uint8_t op, uint8_t info) { return (uint8_t)(op | info << 4); }

// push rbx; push rbp; sub rsp, 0x28
const std::vector<uint8_t> kPushes{
    1, 6, 3, 0, 6, Op(kSmall, 4), 2, Op(kPush, kRbp), 1, Op(kPush, kRbx), 0, 0};
// push rbp; sub rsp, 0x20; lea rbp, [rsp + 0x10]; then rsp moved below
const std::vector<uint8_t> kFrameInfo{
    1, 8, 3, 0x15, 8, Op(kFrame, 0), 4, Op(kSmall, 3), 1, Op(kPush, kRbp), 0, 0};
// sub rsp, 0x30; mov [rsp+0x10], rsi; mov [rsp+0x18], rdi
const std::vector<uint8_t> kSaves{
    1, 16, 7, 0, 16, Op(kSaveFar, kRdi), 0x18, 0, 0, 0, 11, Op(kSave, kRsi), 2, 0, 4, Op(kLarge, 0),
    6, 0};
// sub rsp, 0x10 here; push r12; sub rsp, 0x18 in the entry chained to
const std::vector<uint8_t> kChaining{1 | 4 << 3, 4,    1, 0, 4,    Op(kSmall, 1), 0, 0,
                                     0x00,       0x10, 0, 0, 0x00, 0x11,          0, 0,
                                     0x00,       0x21, 0, 0};
const std::vector<uint8_t> kChained{1,    8, 4, 0, 8, Op(kLarge, 1),
                                    0x18, 0, 0, 0, 2, Op(kPush, kR12)};
// push rbx; sub rsp, 0x28 ... add rsp, 0x28 (done); pop rbx; ret
const std::vector<uint8_t> kEpilogue{1, 5, 2, 0, 5, Op(kSmall, 4), 1, Op(kPush, kRbx)};

INSTANTIATE_TEST_SUITE_P(
    Synthetic, Unwind,
    ::testing::ValuesIn(std::vector<UnwindCase>{
        {"pushesAndAllocation", kPushes, {}, 0x20, {}, -1, 7, 8, {{kRbp, 5}, {kRbx, 6}}, 0},
        {"insideTheProlog", kPushes, {}, 2, {}, -1, 2, 3, {{kRbp, 0}, {kRbx, 1}}, 0},
        {"frameRegister", kFrameInfo, {}, 0x20, {}, 6, 9, 10, {{kRbp, 8}}, 4},
        {"savesByOffset", kSaves, {}, 0x40, {}, -1, 6, 7, {{kRsi, 2}, {kRdi, 3}}, 0},
        {"chainedInfo", kChaining, kChained, 0x40, {}, -1, 6, 7, {{kR12, 5}}, 0},
        {"machineFrame", {1, 0, 1, 0, 0, Op(kMachine, 0)}, {}, 0x10, {}, -1, 0, 10, {}, 0},
        {"insideTheEpilogue", kEpilogue, {}, 0x30, {0x5b, 0xc3}, -1, 1, 2, {{kRbx, 0}}, 0},
    }),
    [](const auto& info) { return std::string(info.param.name); });

// ---- pontor.sys ----

// Which section of pontor.sys holds each routine (by its symbol) and each
// message (by its bytes): those that must stay resident, and one of each that
// an attribute pages or discards, which shows the attribute takes effect.
struct Residency {
    const char* what;
    bool symbol;                     // else a message's text
    std::set<std::string> sections;  // of the routine, or of every copy of the text
};

std::string SectionOf(Bytes& file, uint64_t rva, bool raw) {
    Pe pe{file};
    const uint16_t count = file[pe.Nt() + 6] | file[pe.Nt() + 7] << 8;
    for (int i = 0; i < count; i++) {
        const size_t at = pe.Section(i);
        const uint32_t begin = Load32(&file[at + (raw ? 20 : 12)]);
        if (rva >= begin && rva < begin + Load32(&file[at + (raw ? 16 : 8)])) {
            return std::string((const char*)&file[at], strnlen((const char*)&file[at], 8));
        }
    }
    return "(none)";
}

TEST_F(LoaderTest, PontorSysKeepsEachRoutineAndMessageInItsResidency) {
    const fs::path path = Built("pontor.sys");
    Bytes file = kit::ReadFile(path);
    const uint64_t imageBase = Load64(&file[Pe{file}.Optional() + 24]);
    std::map<std::string, uint64_t> symbols;  // routines, demangled, without parameters
    std::istringstream nm(
        kit::Output(std::string(PONTOR_NM) + " --defined-only -C " + path.string()));
    for (std::string text; std::getline(nm, text);) {
        const char* line = text.c_str();
        if (strlen(line) < 20 || (line[17] != 'T' && line[17] != 't')) {
            continue;  // routines only
        }
        std::string name = line + 19;
        symbols[name.substr(0, name.find_first_of("("))] =
            std::stoull(line, nullptr, 16) - imageBase;
    }

    const Residency table[] = {
        {"DriverEntry", true, {"INIT"}},
        {"VhdxParseHeader", true, {"PAGE"}},
        {"VhdxProcessRead", true, {".text"}},
        {"VhdxReadPartialBlock", true, {".text"}},
        {"VhdxComputeChecksum", true, {".text"}},
        {"PontorOpenFile", true, {".text"}},
        {"PontorPreCreate", true, {".text"}},
        {"PontorPostCreate", true, {".text"}},
        {"PontorPreRead", true, {".text"}},
        {"PontorStreamContextCleanup", true, {".text"}},
        {"[PONTOR] %s: Invalid VHDX_HEADER Signature", false, {"PAGERO"}},
        {"Pontor!%s: Entered", false, {".rdata", "PAGERO"}},  // resident and paged traces
        {"[PONTOR] %s: PontorPreRead (%wZ) failed", false, {".rdata"}},
    };
    for (const Residency& r : table) {
        std::set<std::string> sections;
        if (r.symbol) {
            ASSERT_TRUE(symbols.count(r.what)) << r.what;
            sections.insert(SectionOf(file, symbols[r.what], false));
        } else {
            const std::string text = r.what;
            for (auto at = file.begin();
                 (at = std::search(at, file.end(), text.begin(), text.end())) != file.end(); at++) {
                sections.insert(SectionOf(file, at - file.begin(), true));
            }
        }
        EXPECT_EQ(sections, r.sections) << r.what;
    }
}

// The deepest stack a callback of pontor.sys can use, from the image's own
// code: each routine's frame (return address, pushes, sub of rsp) plus its
// deepest callee. An indirect call may reach any routine whose address the
// code takes (the guarded bodies); a routine appears at most twice on a
// chain, the one nesting a differencing image allows (child, then parent).
// The kernel stack is 24 KiB and the file systems below need their share.
struct Routine {
    uint64_t frame = 8;
    std::set<std::string> callees;
    bool indirect = false;
};

uint64_t Deepest(std::map<std::string, Routine>& code, const std::set<std::string>& taken,
                 const std::string& name, std::map<std::string, int>& onPath,
                 std::vector<std::string>* chain) {
    if (!code.count(name) || onPath[name] == 2) {
        return 0;
    }
    onPath[name]++;
    const Routine& r = code[name];
    std::set<std::string> callees = r.callees;
    if (r.indirect)
        callees.insert(taken.begin(), taken.end());
    uint64_t deepest = 0;
    std::vector<std::string> best;
    for (const std::string& callee : callees) {
        std::vector<std::string> sub;
        const uint64_t depth = Deepest(code, taken, callee, onPath, &sub);
        if (depth > deepest) {
            deepest = depth;
            best = sub;
        }
    }
    onPath[name]--;
    chain->assign(1, name);
    chain->insert(chain->end(), best.begin(), best.end());
    return r.frame + deepest;
}

// The first register an instruction's operand text names.
std::string Register(const std::string& operands) {
    std::smatch m;
    static const std::regex reg("%r[a-z0-9]+");
    return std::regex_search(operands, m, reg) ? m.str() : "";
}

TEST_F(LoaderTest, PontorSysDeepestStackStaysWithin12KiB) {
    const std::string command =
        std::string(PONTOR_OBJDUMP) + " -d --no-show-raw-insn " + Built("pontor.sys").string();
    std::istringstream dump(kit::Output(command));
    std::map<std::string, Routine> code;
    std::set<std::string> taken;
    std::set<std::string> imports;  // routine and register holding an imported routine's address
    std::string current;
    const std::regex start(R"(^[0-9a-f]+ <([^>]+)>:$)");
    const std::regex target(R"(<([^>+]+)>)");  // a routine's start, not a label inside one
    for (std::string line; std::getline(dump, line);) {
        std::smatch m;
        if (std::regex_search(line, m, start)) {
            current = m[1];
            continue;
        }
        Routine& r = code[current];
        const bool call = line.find("\tcall ") != std::string::npos;
        if (line.find("\tpush ") != std::string::npos) {
            r.frame += 8;
        } else if (line.find("\tsub ") != std::string::npos &&
                   line.find(",%rsp") != std::string::npos) {
            ASSERT_NE(line.find("$0x"), std::string::npos) << "a frame of unknown size: " << line;
            r.frame += std::stoull(line.substr(line.find("$0x") + 3), nullptr, 16);
        } else if (line.find("__imp_") != std::string::npos &&
                   line.find("\tmov ") != std::string::npos) {
            imports.insert(current + Register(line.substr(line.rfind(','))));  // a kernel routine
        } else if (call && line.find("*") != std::string::npos &&
                   line.find("__imp_") == std::string::npos &&
                   !imports.count(current + Register(line.substr(line.find('*'))))) {
            r.indirect = true;
        } else if ((call || line.find("\tjmp ") != std::string::npos) &&
                   std::regex_search(line, m, target) && m[1] != current) {
            r.callees.insert(m[1]);
        } else if (line.find("\tlea ") != std::string::npos && std::regex_search(line, m, target)) {
            taken.insert(m[1]);  // kept only where it names a routine
        }
    }
    // Routines by their source names: C++ ones are mangled, _Z<length><name>...
    const auto routine = [&](const std::string& name) {
        const std::string mangled = "_Z" + std::to_string(name.size()) + name;
        for (const auto& [symbol, r] : code) {
            if (symbol == name || symbol.rfind(mangled, 0) == 0)
                return symbol;
        }
        ADD_FAILURE() << name << " not found in the image's code";
        return name;
    };

    uint64_t deepest = 0;
    std::vector<std::string> chain;
    for (const char* callback :
         {"DriverEntry", "PontorUnload", "PontorInstanceSetup", "PontorInstanceQueryTeardown",
          "PontorInstanceTeardownStart", "PontorInstanceTeardownComplete", "PontorPreCreate",
          "PontorPostCreate", "PontorPreRead", "PontorPostQueryInformation", "PontorPreWrite",
          "PontorPreFileSystemControl", "PontorPreCleanup", "PontorStreamContextCleanup"}) {
        std::map<std::string, int> onPath;
        std::vector<std::string> sub;
        const uint64_t depth = Deepest(code, taken, routine(callback), onPath, &sub);
        if (depth > deepest) {
            deepest = depth;
            chain = sub;
        }
    }
    std::string path;
    for (const std::string& name : chain)
        path += (path.empty() ? "" : " -> ") + name;
    std::cout << "deepest stack: " << deepest << " bytes: " << path << "\n";
    EXPECT_LT(deepest, 12u * 1024) << path;
}

// What pontor.sys serves is the filter suite's to check (filter_tests runs
// on it too); here, what only a loaded image shows.
TEST_F(LoaderTest, PontorSysLosesInitAfterDriverEntryAndUnloads) {
    std::string error;
    auto loaded = host::LoadedDriver::Load(Built("pontor.sys"), &error);
    ASSERT_NE(loaded, nullptr) << error;
    const host::ImageSection* init = loaded->Image().Section("INIT");
    ASSERT_NE(init, nullptr) << "pontor.sys has no INIT section";
    // Discarded by its header's flag, as Windows discards it: INIT (and
    // .reloc, once applied) is so marked, and only what is marked goes.
    const uint32_t kDiscardable = 0x02000000;  // IMAGE_SCN_MEM_DISCARDABLE
    EXPECT_NE(init->characteristics & kDiscardable, 0u);
    for (const host::ImageSection& s : loaded->Image().Sections()) {
        EXPECT_EQ(s.protection == PROT_NONE, (s.characteristics & kDiscardable) != 0) << s.name;
    }
    // DriverEntry lay in INIT: entering it again faults.
    EXPECT_DEATH(loaded->Image().Entry()(loaded->Get().Object(), nullptr), "");
    EXPECT_EQ(loaded->Unload(), STATUS_SUCCESS);
    EXPECT_FALSE(loaded->Get().Loaded());
}

}  // namespace

// x64 structured exception dispatch into a driver image, after Microsoft's
// "x64 exception handling": the function entry for an address is found in
// .pdata, a frame is unwound virtually by its UNWIND_INFO, a frame with a
// language handler is offered the exception (first pass), and the handler
// that takes it unwinds to its frame (second pass, RtlUnwindEx), which runs
// the termination handlers on the way and resumes at the handler's target
// with the non-volatile registers of that frame and rax = the code.
//
// How an exception gets here from a running image is image_calls.cpp's.
// The dispatch never returns: it resumes the image with a jump.
//
// Exceptions never cross host frames: one that leaves the image's frames
// unhandled is a bug check, as an unhandled kernel exception is on Windows.
#include "platform/host/loader/seh.h"
#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "platform/host/ke/internal.h"
#include "platform/host/rtl/rtl.h"

#if defined(__SANITIZE_ADDRESS__)
#define PONTOR_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define PONTOR_ASAN 1
#endif
#endif
#ifdef PONTOR_ASAN
#include <sanitizer/asan_interface.h>
#endif

// The resume, in assembly at the end.
extern "C" [[noreturn]] void pontor_seh_restore(const host::seh::CONTEXT* context);

namespace host::seh {
namespace {

// ---- Unwind data (winnt.h) ----
constexpr uint8_t UNW_FLAG_EHANDLER = 0x1, UNW_FLAG_UHANDLER = 0x2, UNW_FLAG_CHAININFO = 0x4;
enum UnwindOp : uint8_t {
    UWOP_PUSH_NONVOL = 0,
    UWOP_ALLOC_LARGE = 1,
    UWOP_ALLOC_SMALL = 2,
    UWOP_SET_FPREG = 3,
    UWOP_SAVE_NONVOL = 4,
    UWOP_SAVE_NONVOL_FAR = 5,
    UWOP_SAVE_XMM128 = 8,
    UWOP_SAVE_XMM128_FAR = 9,
    UWOP_PUSH_MACHFRAME = 10,
};
enum Disposition { ExceptionContinueExecution = 0, ExceptionContinueSearch = 1 };
constexpr int kMaxChain = 32;

struct RUNTIME_FUNCTION {
    uint32_t BeginAddress, EndAddress, UnwindData;
};
struct UnwindInfo {  // the fixed head of UNWIND_INFO
    uint8_t VersionAndFlags, SizeOfProlog, CountOfCodes, FrameRegisterAndOffset;
    uint8_t Version() const { return VersionAndFlags & 7; }
    uint8_t Flags() const { return VersionAndFlags >> 3; }
    int FrameRegister() const { return FrameRegisterAndOffset & 15; }
    uint64_t FrameOffset() const { return (uint64_t)(FrameRegisterAndOffset >> 4) * 16; }
    const uint16_t* Codes() const { return (const uint16_t*)(this + 1); }
    // What follows the codes, whose count is kept even.
    const uint32_t* Tail() const { return (const uint32_t*)(Codes() + ((CountOfCodes + 1) & ~1)); }
};
uint8_t CodeOffset(uint16_t code) { return code & 0xff; }
uint8_t CodeOp(uint16_t code) { return (code >> 8) & 15; }
uint8_t CodeInfo(uint16_t code) { return code >> 12; }

// Slots an unwind code takes, or 0 for a code the dispatcher cannot follow.
int CodeSlots(uint16_t code) {
    switch (CodeOp(code)) {
        case UWOP_PUSH_NONVOL:
        case UWOP_ALLOC_SMALL:
        case UWOP_SET_FPREG: return 1;
        case UWOP_PUSH_MACHFRAME: return CodeInfo(code) <= 1 ? 1 : 0;
        case UWOP_ALLOC_LARGE: return CodeInfo(code) == 0 ? 2 : CodeInfo(code) == 1 ? 3 : 0;
        case UWOP_SAVE_NONVOL:
        case UWOP_SAVE_XMM128: return 2;
        case UWOP_SAVE_NONVOL_FAR:
        case UWOP_SAVE_XMM128_FAR: return 3;
        default: return 0;
    }
}

struct SCOPE_TABLE {
    uint32_t Count;
    struct {
        uint32_t BeginAddress, EndAddress, HandlerAddress, JumpTarget;
    } ScopeRecord[1];
};

struct DISPATCHER_CONTEXT {
    uint64_t ControlPc;
    uint64_t ImageBase;
    const RUNTIME_FUNCTION* FunctionEntry;
    uint64_t EstablisherFrame;
    uint64_t TargetIp;
    CONTEXT* ContextRecord;
    void* LanguageHandler;
    const void* HandlerData;
    void* HistoryTable;
    uint32_t ScopeIndex;
    uint32_t Fill0;
};
struct EXCEPTION_POINTERS {
    EXCEPTION_RECORD* ExceptionRecord;
    CONTEXT* ContextRecord;
};
using LanguageHandler = PONTOR_MS_ABI int (*)(EXCEPTION_RECORD*, uint64_t, CONTEXT*,
                                              DISPATCHER_CONTEXT*);
using ExceptFilter = PONTOR_MS_ABI long (*)(EXCEPTION_POINTERS*, uint64_t);
using TerminationHandler = PONTOR_MS_ABI void (*)(uint8_t, uint64_t);

using detail::Stop;

// ---- Images the dispatcher knows ----
struct Image {
    uintptr_t base;
    size_t size;
    const RUNTIME_FUNCTION* functions;
    size_t count;
};
std::mutex gImagesMutex;
Image gImages[16];

bool FindImage(uint64_t pc, Image* found) {
    std::lock_guard<std::mutex> lock(gImagesMutex);
    for (const Image& image : gImages) {
        if (image.base != 0 && pc >= image.base && pc - image.base < image.size) {
            *found = image;
            return true;
        }
    }
    return false;
}

// Binary search of the sorted entries; null for a leaf function.
const RUNTIME_FUNCTION* LookupFunction(const Image& image, uint64_t pc) {
    const uint64_t rva = pc - image.base;
    size_t low = 0, high = image.count;
    while (low < high) {
        const size_t mid = (low + high) / 2;
        const RUNTIME_FUNCTION& f = image.functions[mid];
        if (rva < f.BeginAddress) {
            high = mid;
        } else if (rva >= f.EndAddress) {
            low = mid + 1;
        } else {
            return &f;
        }
    }
    return nullptr;
}

// ---- Virtual unwind (RtlVirtualUnwind) ----

uint64_t Load64(uint64_t address) {
    uint64_t value;
    memcpy(&value, (const void*)address, 8);
    return value;
}

// Whether pc lies in an epilogue (add rsp / lea rsp, pops, then ret or a
// tail jump); if so, finishes it on the context, as the epilogue would.
bool UnwindEpilogue(const UnwindInfo& info, uint64_t pc, CONTEXT* context) {
    const uint8_t* code = (const uint8_t*)pc;
    uint64_t rsp = context->Gpr[kRsp];
    size_t at = 0;
    if (code[0] == 0x48 && code[1] == 0x83 && code[2] == 0xc4) {  // add rsp, imm8
        rsp += (int8_t)code[3];
        at = 4;
    } else if (code[0] == 0x48 && code[1] == 0x81 && code[2] == 0xc4) {  // add rsp, imm32
        int32_t imm;
        memcpy(&imm, code + 3, 4);
        rsp += imm;
        at = 7;
    } else if ((code[0] & 0xfe) == 0x48 && code[1] == 0x8d && info.FrameRegister() != 0 &&
               (code[2] & 0x38) == 0x20 &&
               ((code[2] & 7) | (code[0] & 1) << 3) == info.FrameRegister()) {
        // lea rsp, [frame register + disp8/disp32]
        const uint64_t frame = context->Gpr[info.FrameRegister()];
        if ((code[2] >> 6) == 1) {
            rsp = frame + (int8_t)code[3];
            at = 4;
        } else if ((code[2] >> 6) == 2) {
            int32_t disp;
            memcpy(&disp, code + 3, 4);
            rsp = frame + disp;
            at = 7;
        } else {
            return false;
        }
    }
    // The pops, then the return or jump; nothing else may come between.
    size_t scan = at;
    while (true) {
        if (code[scan] >= 0x58 && code[scan] <= 0x5f) {
            scan += 1;
        } else if (code[scan] == 0x41 && code[scan + 1] >= 0x58 && code[scan + 1] <= 0x5f) {
            scan += 2;
        } else {
            break;
        }
    }
    const bool ret = code[scan] == 0xc3 || code[scan] == 0xc2;
    const bool jump = code[scan] == 0xe9 || (code[scan] == 0xff && code[scan + 1] == 0x25) ||
                      (code[scan] == 0x48 && code[scan + 1] == 0xff && code[scan + 2] == 0x25);
    if (!ret && !jump) {
        return false;
    }
    for (size_t i = at; i < scan;) {
        int reg = code[i] == 0x41 ? 8 + (code[i + 1] - 0x58) : code[i] - 0x58;
        i += code[i] == 0x41 ? 2 : 1;
        context->Gpr[reg] = Load64(rsp);
        rsp += 8;
    }
    context->Rip = Load64(rsp);
    context->Gpr[kRsp] = rsp + 8;
    return true;
}

// Unwinds one frame of the function at pc. Returns the language handler of
// the kind asked for (UNW_FLAG_EHANDLER or UNW_FLAG_UHANDLER), if any, with
// its data and the frame's establisher frame.
LanguageHandler VirtualUnwind(uint64_t base, uint64_t pc, const RUNTIME_FUNCTION* function,
                              CONTEXT* context, uint8_t kind, const void** handlerData,
                              uint64_t* establisherFrame) {
    const UnwindInfo* info = (const UnwindInfo*)(base + function->UnwindData);
    const uint64_t offset = pc - base - function->BeginAddress;
    *handlerData = nullptr;

    *establisherFrame = context->Gpr[kRsp];
    if (info->FrameRegister() != 0) {
        // The frame register holds the frame once the prolog has set it.
        bool set = offset >= info->SizeOfProlog;
        for (int i = 0; !set && i < info->CountOfCodes; i += CodeSlots(info->Codes()[i])) {
            set = CodeOp(info->Codes()[i]) == UWOP_SET_FPREG &&
                  offset >= CodeOffset(info->Codes()[i]);
        }
        if (set) {
            *establisherFrame = context->Gpr[info->FrameRegister()] - info->FrameOffset();
        }
    }
    if (offset >= info->SizeOfProlog && UnwindEpilogue(*info, pc, context)) {
        return nullptr;  // handlers do not see a frame whose body has ended
    }

    const UnwindInfo* primary = info;
    bool chained = false;
    for (int depth = 0; depth < kMaxChain; depth++) {
        for (int i = 0; i < info->CountOfCodes;) {
            const uint16_t* c = info->Codes() + i;
            const int slots = CodeSlots(*c);
            i += slots;
            // A code whose prolog instruction has not run yet is skipped; a
            // chained entry's prolog has always run.
            if (!chained && offset < CodeOffset(*c)) {
                continue;
            }
            uint64_t& rsp = context->Gpr[kRsp];
            const uint8_t opInfo = CodeInfo(*c);
            uint32_t far;
            switch (CodeOp(*c)) {
                case UWOP_PUSH_NONVOL:
                    context->Gpr[opInfo] = Load64(rsp);
                    rsp += 8;
                    break;
                case UWOP_ALLOC_LARGE:
                    if (opInfo == 0) {
                        rsp += (uint64_t)c[1] * 8;
                    } else {
                        memcpy(&far, c + 1, 4);
                        rsp += far;
                    }
                    break;
                case UWOP_ALLOC_SMALL: rsp += (uint64_t)opInfo * 8 + 8; break;
                case UWOP_SET_FPREG:
                    rsp = context->Gpr[info->FrameRegister()] - info->FrameOffset();
                    break;
                case UWOP_SAVE_NONVOL:
                    context->Gpr[opInfo] = Load64(*establisherFrame + (uint64_t)c[1] * 8);
                    break;
                case UWOP_SAVE_NONVOL_FAR:
                    memcpy(&far, c + 1, 4);
                    context->Gpr[opInfo] = Load64(*establisherFrame + far);
                    break;
                case UWOP_SAVE_XMM128:
                    memcpy(context->Xmm(opInfo), (const void*)(*establisherFrame + c[1] * 16ull),
                           16);
                    break;
                case UWOP_SAVE_XMM128_FAR:
                    memcpy(&far, c + 1, 4);
                    memcpy(context->Xmm(opInfo), (const void*)(*establisherFrame + far), 16);
                    break;
                case UWOP_PUSH_MACHFRAME: {
                    // A hardware frame (with an error code first if info is 1):
                    // the interrupted rip and rsp are the caller's.
                    const uint64_t frame = rsp + (opInfo == 1 ? 8 : 0);
                    context->Rip = Load64(frame);
                    rsp = Load64(frame + 24);
                    return nullptr;
                }
            }
        }
        if (!(info->Flags() & UNW_FLAG_CHAININFO)) {
            break;
        }
        const RUNTIME_FUNCTION* next = (const RUNTIME_FUNCTION*)info->Tail();
        info = (const UnwindInfo*)(base + next->UnwindData);
        chained = true;
    }
    context->Rip = Load64(context->Gpr[kRsp]);
    context->Gpr[kRsp] += 8;
    if (primary->Flags() & kind) {
        const uint32_t* tail = primary->Tail();
        *handlerData = tail + 1;
        return (LanguageHandler)(base + tail[0]);
    }
    return nullptr;
}

// One image frame: the function at context->Rip, unwound into *caller.
// Leaving the image's frames is a bug check: no host frame takes part in
// a structured exception.
LanguageHandler NextFrame(const EXCEPTION_RECORD& record, const CONTEXT& context, CONTEXT* caller,
                          uint8_t kind, DISPATCHER_CONTEXT* dispatch) {
    Image image;
    const uint64_t pc = context.Rip;
    if (!FindImage(pc, &image)) {
        Stop("exception " + Hex(record.ExceptionCode) + " at " + Hex(record.ExceptionAddress) +
             " left the driver image unhandled (reached " + Hex(pc) + ")");
    }
    *caller = context;
    const RUNTIME_FUNCTION* function = LookupFunction(image, pc);
    *dispatch = {};
    dispatch->ControlPc = pc;
    dispatch->ImageBase = image.base;
    dispatch->FunctionEntry = function;
    if (function == nullptr) {  // a leaf: rsp points at its return address
        dispatch->EstablisherFrame = caller->Gpr[kRsp];
        caller->Rip = Load64(caller->Gpr[kRsp]);
        caller->Gpr[kRsp] += 8;
        return nullptr;
    }
    const void* data;
    LanguageHandler handler =
        VirtualUnwind(image.base, pc, function, caller, kind, &data, &dispatch->EstablisherFrame);
    dispatch->HandlerData = data;
    dispatch->LanguageHandler = (void*)handler;
    return handler;
}

[[noreturn]] void Resume(const CONTEXT& context) {
    detail::ForgetStackPoison();
    pontor_seh_restore(&context);
}

// The second pass (RtlUnwindEx): from the exception's context up to the
// target frame, each frame's termination handlers run; then the target frame
// resumes at targetIp with rax = returnValue.
[[noreturn]] void UnwindTo(uint64_t targetFrame, uint64_t targetIp, EXCEPTION_RECORD* record,
                           uint64_t returnValue, const CONTEXT& original) {
    record->ExceptionFlags |= EXCEPTION_UNWINDING;
    CONTEXT frame = original, caller;
    for (;;) {
        DISPATCHER_CONTEXT dispatch;
        LanguageHandler handler = NextFrame(*record, frame, &caller, UNW_FLAG_UHANDLER, &dispatch);
        const uint64_t established = dispatch.EstablisherFrame;
        if (established > targetFrame) {
            Stop("unwind to frame " + Hex(targetFrame) + " passed it (at frame " +
                 Hex(established) + ")");
        }
        if (handler != nullptr) {
            if (established == targetFrame) {
                record->ExceptionFlags |= EXCEPTION_TARGET_UNWIND;
            }
            dispatch.TargetIp = targetIp;
            dispatch.ContextRecord = &frame;
            if (handler(record, established, &frame, &dispatch) != ExceptionContinueSearch) {
                Stop("a termination handler did not continue the unwind");
            }
            record->ExceptionFlags &= ~EXCEPTION_TARGET_UNWIND;
        }
        if (established == targetFrame) {
            frame.Rip = targetIp;
            frame.Gpr[kRax] = returnValue;
            Resume(frame);
        }
        frame = caller;
    }
}

// ---- Checking unwind data at load ----

bool Inside(size_t size, uint64_t rva, uint64_t length) {
    return rva <= size && length <= size - rva;
}

bool CheckInfo(uintptr_t base, size_t size, uint32_t rva, int depth, std::string* why) {
    if (depth >= kMaxChain) {
        *why = "chains more than " + std::to_string(kMaxChain) + " unwind infos";
        return false;
    }
    if (rva % 4 != 0 || !Inside(size, rva, sizeof(UnwindInfo))) {
        *why = "has its unwind info at " + Hex(rva) + ", outside the image";
        return false;
    }
    const UnwindInfo* info = (const UnwindInfo*)(base + rva);
    if (info->Version() != 1) {
        *why =
            "has unwind info version " + std::to_string(info->Version()) + " (only 1 is followed)";
        return false;
    }
    const uint64_t codes = (uint64_t)((info->CountOfCodes + 1) & ~1) * 2;
    const uint8_t flags = info->Flags();
    const uint64_t tail = (flags & UNW_FLAG_CHAININFO) ? sizeof(RUNTIME_FUNCTION)
                          : (flags & (UNW_FLAG_EHANDLER | UNW_FLAG_UHANDLER)) ? 4
                                                                              : 0;
    if (!Inside(size, rva + sizeof(UnwindInfo), codes + tail)) {
        *why = "has unwind codes past the end of the image";
        return false;
    }
    for (int i = 0; i < info->CountOfCodes;) {
        const int slots = CodeSlots(info->Codes()[i]);
        if (slots == 0) {
            *why = "uses unwind code " + std::to_string(CodeOp(info->Codes()[i])) + " (info " +
                   std::to_string(CodeInfo(info->Codes()[i])) +
                   "), which the dispatcher does not follow";
            return false;
        }
        if (i + slots > info->CountOfCodes) {
            *why = "has an unwind code cut off by the code count";
            return false;
        }
        if (CodeOp(info->Codes()[i]) == UWOP_SET_FPREG && info->FrameRegister() == 0) {
            *why = "sets a frame register without naming one";
            return false;
        }
        i += slots;
    }
    if (flags & UNW_FLAG_CHAININFO) {
        const RUNTIME_FUNCTION* next = (const RUNTIME_FUNCTION*)info->Tail();
        if (next->BeginAddress >= next->EndAddress || next->EndAddress > size) {
            *why = "chains to a function entry outside the image";
            return false;
        }
        return CheckInfo(base, size, next->UnwindData, depth + 1, why);
    }
    if (flags & (UNW_FLAG_EHANDLER | UNW_FLAG_UHANDLER)) {
        const uint32_t handler = info->Tail()[0];
        if (handler >= size) {
            *why = "names a language handler at " + Hex(handler) + ", outside the image";
            return false;
        }
        // __C_specific_handler's scope table follows; every address in it
        // must lie inside the image.
        const uint64_t table = rva + sizeof(UnwindInfo) + codes + 4;
        uint32_t count = 0;
        if (Inside(size, table, 4)) {
            memcpy(&count, (const void*)(base + table), 4);
        }
        if (!Inside(size, table, 4) || !Inside(size, table + 4, (uint64_t)count * 16)) {
            *why = "has a scope table past the end of the image";
            return false;
        }
        const uint32_t* records = (const uint32_t*)(base + table + 4);
        for (uint64_t s = 0; s < (uint64_t)count * 4; s++) {
            if (records[s] >= size && !(s % 4 == 2 && records[s] == 1)) {
                *why = "has a scope table address " + Hex(records[s]) + " outside the image";
                return false;
            }
        }
    }
    return true;
}

}  // namespace

namespace detail {

[[noreturn]] void Stop(const std::string& what) {
    host::ke::BugCheck(what);
    std::abort();  // a test's bug check handler returned: nothing can resume
}

// The first pass (RtlDispatchException): each frame's exception handler is
// offered the exception until one takes it (and unwinds, never returning
// here) or asks to continue execution.
[[noreturn]] void Dispatch(EXCEPTION_RECORD* record, CONTEXT* context) {
    CONTEXT frame = *context, caller;
    for (;;) {
        DISPATCHER_CONTEXT dispatch;
        LanguageHandler handler = NextFrame(*record, frame, &caller, UNW_FLAG_EHANDLER, &dispatch);
        if (handler != nullptr) {
            dispatch.ContextRecord = &caller;
            if (handler(record, dispatch.EstablisherFrame, context, &dispatch) ==
                ExceptionContinueExecution) {
                // Resuming the faulting instruction would need every volatile
                // register back, which the resume does not restore; no
                // driver filter returns EXCEPTION_CONTINUE_EXECUTION.
                Stop("exception " + Hex(record->ExceptionCode) +
                     ": a filter continued execution, which the host does not model");
            }
        }
        frame = caller;
    }
}

void UnwindFrame(uint64_t base, uint64_t pc, const void* function, CONTEXT* context,
                 uint64_t* establisherFrame) {
    const void* data;
    VirtualUnwind(base, pc, (const RUNTIME_FUNCTION*)function, context, 0, &data, establisherFrame);
}

void ForgetStackPoison() {
#ifdef PONTOR_ASAN
    __asan_handle_no_return();
#endif
}

bool InImage(uint64_t pc) {
    Image image;
    return FindImage(pc, &image);
}

}  // namespace detail

bool CheckUnwindData(uintptr_t base, size_t size, uint32_t directory, uint32_t directorySize,
                     std::string* error) {
    if (directorySize % sizeof(RUNTIME_FUNCTION) != 0) {
        *error = "inconsistent PE: the exception directory is not whole function entries";
        return false;
    }
    const RUNTIME_FUNCTION* functions = (const RUNTIME_FUNCTION*)(base + directory);
    uint32_t end = 0;
    for (size_t i = 0; i < directorySize / sizeof(RUNTIME_FUNCTION); i++) {
        const RUNTIME_FUNCTION& f = functions[i];
        const std::string entry = "unwind data: function entry " + Hex(f.BeginAddress);
        if (f.BeginAddress >= f.EndAddress || f.EndAddress > size) {
            *error = entry + " lies outside the image";
            return false;
        }
        if (f.BeginAddress < end) {
            *error = entry + " is out of order or overlaps the one before it";
            return false;
        }
        end = f.EndAddress;
        std::string why;
        if (!CheckInfo(base, size, f.UnwindData, 0, &why)) {
            *error = entry + " " + why;
            return false;
        }
    }
    return true;
}

void RegisterImage(uintptr_t base, size_t size, uint32_t directory, uint32_t directorySize) {
    detail::InstallFaultHandler();
    std::lock_guard<std::mutex> lock(gImagesMutex);
    for (Image& image : gImages) {
        if (image.base == 0) {
            image = {base, size, (const RUNTIME_FUNCTION*)(base + directory),
                     directorySize / sizeof(RUNTIME_FUNCTION)};
            return;
        }
    }
    Stop("more than 16 driver images are mapped");
}

void UnregisterImage(uintptr_t base) {
    std::lock_guard<std::mutex> lock(gImagesMutex);
    for (Image& image : gImages) {
        if (image.base == base) {
            image = {};
        }
    }
}

// __C_specific_handler: the scope table of a function's __try blocks, each
// record a range of code, its filter (or 1: EXCEPTION_EXECUTE_HANDLER) and
// the __except block's address, or 0 for a __finally whose handler is then
// the termination handler.
PONTOR_MS_ABI int CSpecificHandler(EXCEPTION_RECORD* record, uint64_t establisherFrame,
                                   CONTEXT* context, void* raw) {
    DISPATCHER_CONTEXT* dispatch = (DISPATCHER_CONTEXT*)raw;
    const SCOPE_TABLE* table = (const SCOPE_TABLE*)dispatch->HandlerData;
    const uint64_t base = dispatch->ImageBase;
    const uint64_t pc = dispatch->ControlPc;
    for (uint32_t i = dispatch->ScopeIndex; i < table->Count; i++) {
        const auto& scope = table->ScopeRecord[i];
        if (pc < base + scope.BeginAddress || pc >= base + scope.EndAddress) {
            continue;
        }
        if (!(record->ExceptionFlags & EXCEPTION_UNWINDING)) {
            if (scope.JumpTarget == 0) {
                continue;  // a __finally takes no part in the search
            }
            EXCEPTION_POINTERS pointers = {record, context};
            const long filter =
                scope.HandlerAddress == 1
                    ? 1
                    : ((ExceptFilter)(base + scope.HandlerAddress))(&pointers, establisherFrame);
            if (filter < 0) {
                return ExceptionContinueExecution;
            }
            if (filter > 0) {
                UnwindTo(establisherFrame, base + scope.JumpTarget, record, record->ExceptionCode,
                         *context);
            }
            continue;
        }
        // Unwinding: in the target frame, stop at the handler being unwound to
        // and at any scope that encloses it.
        const uint64_t target = dispatch->TargetIp;
        if ((record->ExceptionFlags & EXCEPTION_TARGET_UNWIND) &&
            ((scope.JumpTarget != 0 && target == base + scope.JumpTarget) ||
             (target >= base + scope.BeginAddress && target < base + scope.EndAddress))) {
            break;
        }
        if (scope.JumpTarget == 0) {
            dispatch->ScopeIndex = i + 1;  // a collided unwind would resume after it
            ((TerminationHandler)(base + scope.HandlerAddress))(1, establisherFrame);
        }
    }
    return ExceptionContinueSearch;
}

}  // namespace host::seh

// ---- The resume, in assembly ----
// pontor_seh_restore(const CONTEXT*): loads the context and jumps to its rip.
asm(R"(
    .text
    .globl pontor_seh_restore
    .hidden pontor_seh_restore
    .p2align 4
pontor_seh_restore:
    .irp reg, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15
    movups 0x1a0+16*\reg(%rdi), %xmm\reg
    .endr
    movq 0x78(%rdi), %rax
    movq 0x80(%rdi), %rcx
    movq 0x88(%rdi), %rdx
    movq 0x90(%rdi), %rbx
    movq 0xa0(%rdi), %rbp
    movq 0xa8(%rdi), %rsi
    movq 0xb8(%rdi), %r8
    movq 0xc0(%rdi), %r9
    movq 0xd8(%rdi), %r12
    movq 0xe0(%rdi), %r13
    movq 0xe8(%rdi), %r14
    movq 0xf0(%rdi), %r15
    movq 0xf8(%rdi), %r11
    movq 0x98(%rdi), %rsp
    movq 0xb0(%rdi), %rdi
    jmp *%r11
)");

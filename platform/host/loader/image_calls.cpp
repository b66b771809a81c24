// How an exception reaches the dispatcher from a running image (seh.cpp
// does the dispatch). A host routine the image calls that can raise
// (memcpy, memset, memmove: the ones that write a caller's buffer) is
// entered through a thunk that records the image's registers at the call;
// the routine raises by throwing host::AccessViolation, and the thunk
// catches it and dispatches from those registers, so no host frame is ever
// unwound. A real fault (SIGSEGV) in image code, or under such a routine, is
// redirected by the signal handler to run the same dispatch on the faulting
// thread's stack, outside the handler. The same thunks, put on every import,
// measure the stack the host's routines use under the image.
#include <signal.h>
#include <ucontext.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>

#include "platform/host/loader/seh.h"
#include "platform/host/rtl/rtl.h"

// The assembly below: the thunks and their routines.
constexpr int kThunks = 64;
extern "C" {
__attribute__((visibility("hidden"))) uint64_t pontor_seh_targets[kThunks] = {};
extern char pontor_seh_thunks[];  // kThunks entries of 16 bytes
}

namespace host::seh {
namespace {

using detail::Stop;

// ---- Raising from a host routine the image called ----

// What the thunk records at the image's call, in the layout the thunk's
// code below writes.
struct alignas(16) ImageCall {
    uint64_t rbx, rbp, rsi, rdi, r12, r13, r14, r15;
    uint64_t rsp;  // the image's, once the call has returned
    uint64_t rip;  // the return address into the image
    uint64_t target;
    uint64_t args[16];                // rcx, rdx, r8, r9, then twelve stack slots
    alignas(16) uint8_t xmm[10][16];  // xmm6 to xmm15
};
static_assert(offsetof(ImageCall, args) == 0x58 && offsetof(ImageCall, xmm) == 0xe0 &&
                  sizeof(ImageCall) == 0x180,
              "the thunk's record layout");

thread_local const ImageCall* tCall = nullptr;  // the innermost, while a routine runs
bool gRaising[kThunks];                         // by thunk: a routine that may raise

// The image's registers as they are once the call returns.
void CallerContext(const ImageCall& call, CONTEXT* context) {
    const int order[] = {3, 5, 6, 7, 12, 13, 14, 15};  // rbx rbp rsi rdi r12-r15
    for (int i = 0; i < 8; i++) {
        context->Gpr[order[i]] = (&call.rbx)[i];
    }
    context->Gpr[kRsp] = call.rsp;
    context->Rip = call.rip;
    memcpy(context->Xmm(6), call.xmm, sizeof call.xmm);
}

void AccessViolationRecord(uint64_t address, EXCEPTION_RECORD* record, uint64_t at, bool write) {
    *record = {};
    record->ExceptionCode = (uint32_t)STATUS_ACCESS_VIOLATION;
    record->ExceptionAddress = at;
    record->NumberParameters = 2;
    record->ExceptionInformation[0] = write ? 1 : 0;
    record->ExceptionInformation[1] = address;
}

// ---- Real faults ----

struct SignalFrame {
    EXCEPTION_RECORD record;
    CONTEXT context;
};

[[noreturn]] void DispatchFromSignal(SignalFrame* frame) {
    detail::Dispatch(&frame->record, &frame->context);
}

struct sigaction gPreviousAction;

void OnFault(int signal, siginfo_t* info, void* raw) {
    ucontext_t* uc = (ucontext_t*)raw;
    greg_t* g = uc->uc_mcontext.gregs;
    const bool inImage = detail::InImage((uint64_t)g[REG_RIP]);
    const ImageCall* call = tCall;
    if (!inImage && call == nullptr) {
        // Not the image's: the fault goes where it went before.
        if (gPreviousAction.sa_flags & SA_SIGINFO) {
            gPreviousAction.sa_sigaction(signal, info, raw);
        } else if (gPreviousAction.sa_handler != SIG_IGN && gPreviousAction.sa_handler != SIG_DFL) {
            gPreviousAction.sa_handler(signal);
        } else {
            sigaction(signal, &gPreviousAction, nullptr);  // faults again, as before
        }
        return;
    }
    // The dispatch runs outside the handler, on this stack, below this
    // frame; the frames from the fault down are abandoned.
    detail::ForgetStackPoison();
    uint64_t below = ((uint64_t)__builtin_frame_address(0) - 4096 - sizeof(SignalFrame)) & ~63ull;
    SignalFrame* frame = (SignalFrame*)below;
    memset((void*)frame, 0, sizeof *frame);
    CONTEXT& c = frame->context;
    if (inImage) {
        const int gregs[16] = {REG_RAX, REG_RCX, REG_RDX, REG_RBX, REG_RSP, REG_RBP,
                               REG_RSI, REG_RDI, REG_R8,  REG_R9,  REG_R10, REG_R11,
                               REG_R12, REG_R13, REG_R14, REG_R15};
        for (int i = 0; i < 16; i++) {
            c.Gpr[i] = (uint64_t)g[gregs[i]];
        }
        c.Rip = (uint64_t)g[REG_RIP];
        c.EFlags = (uint32_t)g[REG_EFL];
        if (uc->uc_mcontext.fpregs != nullptr) {
            memcpy(c.Xmm(0), uc->uc_mcontext.fpregs->_xmm, 16 * 16);
        }
    } else {
        // A fault inside memcpy and the like: raised from the image's call.
        tCall = nullptr;
        CallerContext(*call, &c);
    }
    // Page-fault error code bit 1: the access was a write.
    AccessViolationRecord((uint64_t)info->si_addr, &frame->record, c.Rip, (g[REG_ERR] & 2) != 0);
    g[REG_RSP] = (greg_t)(below - 8);  // as if called
    g[REG_RDI] = (greg_t)frame;
    g[REG_RIP] = (greg_t)&DispatchFromSignal;
}

void InstallSignalHandler() {
    struct sigaction action = {};
    action.sa_sigaction = &OnFault;
    action.sa_flags = SA_SIGINFO | SA_NODEFER;
    sigemptyset(&action.sa_mask);
    sigaction(SIGSEGV, &action, &gPreviousAction);
}

}  // namespace

namespace detail {
void InstallFaultHandler() {
    static std::once_flag once;
    std::call_once(once, InstallSignalHandler);
}
}  // namespace detail

}  // namespace host::seh

namespace host::seh {
namespace {

// ---- Measuring the stack of the host routines the image calls ----
// Each thunked call paints the stack below it, runs the routine, and finds
// the deepest byte written: the routine's own use and everything below it
// (the file system included), as an image's call into ntoskrnl or FLTMGR.SYS
// costs on Windows.
constexpr uint64_t kPainted = 128 * 1024;
constexpr uint64_t kPaint = 0x5a5a5a5a5a5a5a5aull;
std::atomic<bool> gMeasuring{false};
struct Use {
    std::string routine;  // written once, under gThunksMutex
    std::atomic<uint64_t> above{0}, below{0};
};
Use gUse[kThunks];
thread_local uint64_t tTop = 0;         // MarkStackTop's frame
thread_local uint64_t tLowest = ~0ull;  // the deepest byte a nested routine wrote

// The lowest address painted below from: kPainted, or as far as this
// thread's stack goes.
uint64_t PaintLimit(uint64_t from) {
    ULONG_PTR low, high;
    IoGetStackLimits(&low, &high);
    return std::max<uint64_t>(low + 16 * 1024, from - kPainted) & ~7ull;  // clear of the guard
}

// Below the painting's own frame, which lies just under the caller's.
__attribute__((noinline, no_sanitize("address"))) uint64_t Paint(uint64_t from) {
    const uint64_t limit = PaintLimit(from);
    for (uint64_t at = ((uint64_t)__builtin_frame_address(0) - 256) & ~7ull; at >= limit; at -= 8) {
        *(volatile uint64_t*)at = kPaint;
    }
    return (uint64_t)__builtin_frame_address(0) + 16;  // the caller's rsp at the call
}
__attribute__((noinline, no_sanitize("address"))) uint64_t Deepest(uint64_t from) {
    uint64_t at = PaintLimit(from);
    const uint64_t top = (uint64_t)__builtin_frame_address(0) - 256;
    while (at < top && *(volatile uint64_t*)at == kPaint) {
        at += 8;
    }
    return at;
}
int SlotOf(uint64_t target) {
    for (int i = 0; i < kThunks; i++) {
        if (pontor_seh_targets[i] == target) {
            return i;
        }
    }
    return 0;
}
void Raise(std::atomic<uint64_t>& to, uint64_t value) {
    for (uint64_t now = to.load(); value > now && !to.compare_exchange_weak(now, value);) {
    }
}

}  // namespace
}  // namespace host::seh

// The thunk's C++ half: runs the routine with the call recorded, and turns
// an access fault raised below it into an exception dispatched from the
// image's frame.
extern "C" uint64_t pontor_seh_call(host::seh::ImageCall* call) {
    using namespace host::seh;
    using Routine = PONTOR_MS_ABI uint64_t (*)(
        uint64_t, uint64_t, uint64_t, uint64_t, uint64_t, uint64_t, uint64_t, uint64_t, uint64_t,
        uint64_t, uint64_t, uint64_t, uint64_t, uint64_t, uint64_t, uint64_t);
    const uint64_t* a = call->args;
    // Only a fault under a routine that writes a caller's buffer is the
    // image's; one anywhere else in the host is a host bug.
    const ImageCall* outer = tCall;
    tCall = gRaising[SlotOf(call->target)] ? call : nullptr;
    uint64_t result = 0, fault = 0;
    bool raised = false, foreign = false;
    const bool measuring = gMeasuring.load();
    const uint64_t here = (uint64_t)__builtin_frame_address(0);
    const uint64_t outerLowest = tLowest;
    uint64_t callerRsp = 0;  // this frame's rsp, where the routine is called from
    if (measuring) {
        tLowest = ~0ull;
        callerRsp = Paint(here);
    }
    try {
        result = ((Routine)call->target)(a[0], a[1], a[2], a[3], a[4], a[5], a[6], a[7], a[8], a[9],
                                         a[10], a[11], a[12], a[13], a[14], a[15]);
    } catch (const host::AccessViolation& violation) {
        raised = true;
        fault = (uint64_t)violation.address;
    } catch (...) {
        foreign = true;
    }
    tCall = outer;
    if (measuring) {
        const uint64_t lowest = std::min(Deepest(here), tLowest);
        Use& use = gUse[SlotOf(call->target)];
        Raise(use.below, callerRsp - lowest);
        if (tTop > call->rsp) {
            Raise(use.above, tTop - call->rsp);
        }
        tLowest = std::min(outerLowest, lowest);
    }
    if (foreign) {
        Stop("a host exception other than an access violation reached driver image code from " +
             host::Hex(call->target));
    }
    if (raised) {
        EXCEPTION_RECORD record;
        CONTEXT context = {};
        CallerContext(*call, &context);
        AccessViolationRecord(fault, &record, call->rip, true);
        detail::Dispatch(&record, &context);
    }
    return result;
}

// ---- The thunks, in assembly ----
namespace host::seh {
namespace {

constexpr size_t kThunkSize = 16;

// Entered by the image's call (Microsoft convention) with the routine in
// rax: records the image's non-volatile registers, its return address and
// rsp, and the arguments (four in registers, twelve stack slots) in an
// ImageCall on this stack, and runs pontor_seh_call on it. rsi, rdi and
// xmm6-15, which the System V convention does not keep, are restored after.
asm(R"(
    .text
    .globl pontor_seh_thunks
    .hidden pontor_seh_thunks
    .p2align 4
pontor_seh_thunks:
    .set slot, 0
    .rept 64  # kThunks
    .p2align 4
    movq pontor_seh_targets+8*slot(%rip), %rax
    jmp pontor_seh_thunk_common
    .set slot, slot+1
    .endr
    .p2align 4
pontor_seh_thunk_common:
    subq $0x188, %rsp
    movq %rbx, 0x00(%rsp)
    movq %rbp, 0x08(%rsp)
    movq %rsi, 0x10(%rsp)
    movq %rdi, 0x18(%rsp)
    movq %r12, 0x20(%rsp)
    movq %r13, 0x28(%rsp)
    movq %r14, 0x30(%rsp)
    movq %r15, 0x38(%rsp)
    leaq 0x190(%rsp), %r10
    movq %r10, 0x40(%rsp)
    movq 0x188(%rsp), %r10
    movq %r10, 0x48(%rsp)
    movq %rax, 0x50(%rsp)
    movq %rcx, 0x58(%rsp)
    movq %rdx, 0x60(%rsp)
    movq %r8, 0x68(%rsp)
    movq %r9, 0x70(%rsp)
    .irp slot, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11
    movq 0x1b0+8*\slot(%rsp), %r10
    movq %r10, 0x78+8*\slot(%rsp)
    .endr
    .irp reg, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15
    movaps %xmm\reg, 0xe0+16*(\reg-6)(%rsp)
    .endr
    movq %rsp, %rdi
    call pontor_seh_call
    movq 0x10(%rsp), %rsi
    movq 0x18(%rsp), %rdi
    .irp reg, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15
    movaps 0xe0+16*(\reg-6)(%rsp), %xmm\reg
    .endr
    addq $0x188, %rsp
    ret
)");

std::mutex gThunksMutex;

}  // namespace

void* ImageEntry(const char* name, void* routine) {
    static const char* const kRaising[] = {"memcpy", "memmove", "memset"};
    // Variadic routines take their arguments where the thunk does not copy
    // them all, and are on no deep chain: always bound directly.
    static const char* const kVariadic[] = {"DbgPrint", "DbgPrintEx"};
    bool raising = false;
    for (const char* r : kRaising) {
        raising = raising || strcmp(name, r) == 0;
    }
    bool thunked = raising || gMeasuring.load();
    for (const char* r : kVariadic) {
        thunked = thunked && strcmp(name, r) != 0;
    }
    if (!thunked) {
        return routine;
    }
    std::lock_guard<std::mutex> lock(gThunksMutex);
    for (int i = 0; i < kThunks; i++) {
        if (pontor_seh_targets[i] == 0 || pontor_seh_targets[i] == (uint64_t)routine) {
            pontor_seh_targets[i] = (uint64_t)routine;
            gUse[i].routine = name;
            gRaising[i] = raising;
            return pontor_seh_thunks + kThunkSize * i;
        }
    }
    Stop("more host routines called by the image than thunks");
}

void MeasureStacks(bool on) {
    gMeasuring = on;
    for (Use& use : gUse) {
        use.above = use.below = 0;
    }
}

void MarkStackTop() { tTop = (uint64_t)__builtin_frame_address(0); }

std::vector<StackUse> MeasuredStacks() {
    std::vector<StackUse> measured;
    for (const Use& use : gUse) {
        if (use.below != 0) {
            measured.push_back({use.routine, use.above.load(), use.below.load()});
        }
    }
    return measured;
}

}  // namespace host::seh

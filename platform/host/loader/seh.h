// Structured exception dispatch into a loaded driver image, as the x64
// Windows kernel does it: an exception raised in image code, or in a host
// routine the image called, is dispatched through the image's own unwind
// data (.pdata and .xdata) and language handlers, and an unwind to the
// handling frame runs the __finally blocks on the way.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/host/kernel.h"

namespace host::seh {

// The records of winnt.h that image code reads, in their x64 layout.
struct EXCEPTION_RECORD {
    uint32_t ExceptionCode;
    uint32_t ExceptionFlags;
    EXCEPTION_RECORD* ExceptionRecord;
    uint64_t ExceptionAddress;
    uint32_t NumberParameters;
    uint64_t ExceptionInformation[15];
};
constexpr uint32_t EXCEPTION_UNWINDING = 0x2;
constexpr uint32_t EXCEPTION_TARGET_UNWIND = 0x20;

struct alignas(16) CONTEXT {
    uint64_t P1Home, P2Home, P3Home, P4Home, P5Home, P6Home;
    uint32_t ContextFlags, MxCsr;
    uint16_t SegCs, SegDs, SegEs, SegFs, SegGs, SegSs;
    uint32_t EFlags;
    uint64_t Dr0, Dr1, Dr2, Dr3, Dr6, Dr7;
    // Rax to R15 in the x64 register numbering that unwind codes use.
    uint64_t Gpr[16];
    uint64_t Rip;
    uint8_t FltSave[512];  // XMM_SAVE_AREA32: Xmm0-15 from byte 160
    uint8_t VectorRegister[26][16];
    uint64_t VectorControl, DebugControl, LastBranchToRip, LastBranchFromRip, LastExceptionToRip,
        LastExceptionFromRip;
    uint8_t* Xmm(int n) { return FltSave + 160 + 16 * n; }
};
static_assert(offsetof(CONTEXT, Gpr) == 0x78 && offsetof(CONTEXT, Rip) == 0xf8 &&
                  sizeof(CONTEXT) == 0x4d0,
              "x64 CONTEXT layout");
enum Register { kRax, kRcx, kRdx, kRbx, kRsp, kRbp, kRsi, kRdi, kR8 };

// Checks the image's exception directory once it is mapped at base: sorted,
// non-overlapping function entries inside the image, whose unwind data lies
// inside it and uses only codes the dispatcher follows. A refusal names the
// first entry that fails in *error.
bool CheckUnwindData(uintptr_t base, size_t size, uint32_t directory, uint32_t directorySize,
                     std::string* error);

// Makes a mapped image's frames known to the dispatcher, and forgets them.
void RegisterImage(uintptr_t base, size_t size, uint32_t directory, uint32_t directorySize);
void UnregisterImage(uintptr_t base);

// The language handler of the image's __try scopes (ntoskrnl's export).
PONTOR_MS_ABI int CSpecificHandler(EXCEPTION_RECORD* record, uint64_t establisherFrame,
                                   CONTEXT* context, void* dispatcherContext);

// The entry an image's import of a host routine binds to: routines that can
// raise (a write into a bad buffer) are entered through a thunk that records
// the image's registers at the call, so that an exception raised below it
// is dispatched from the image's frame. Others are bound directly, except
// while stacks are measured (below).
void* ImageEntry(const char* name, void* routine);

// The stack the host routines an image calls use, standing for the kernel
// routines it imports: measured for images mapped while MeasureStacks is on
// (all their imports but the variadic ones are then entered by thunks).
// below: the deepest stack under the routine's entry (its frames and all it
// calls); above: the deepest the image's call sat under the frame of the
// thread's last MarkStackTop (where a request was issued).
struct StackUse {
    std::string routine;
    uint64_t above, below;
};
void MeasureStacks(bool on);  // clears the figures
void MarkStackTop();
std::vector<StackUse> MeasuredStacks();

namespace detail {  // between seh.cpp and image_calls.cpp
// Dispatches the exception raised at context (RtlDispatchException), and
// resumes the image where a handler takes it; never returns.
[[noreturn]] void Dispatch(EXCEPTION_RECORD* record, CONTEXT* context);
bool InImage(uint64_t pc);  // whether pc lies in a registered image
// Before a jump that abandons host frames: AddressSanitizer forgets the
// poison of the frames jumped over, as it does for longjmp.
void ForgetStackPoison();
// One frame's virtual unwind (RtlVirtualUnwind) by the function entry at
// function, a RUNTIME_FUNCTION of an image at base; for the tests.
void UnwindFrame(uint64_t base, uint64_t pc, const void* function, CONTEXT* context,
                 uint64_t* establisherFrame);
void InstallFaultHandler();                       // once, before the first image runs
[[noreturn]] void Stop(const std::string& what);  // a bug check that cannot return
}  // namespace detail

}  // namespace host::seh

// What the host exports to a loaded driver image under the names of
// ntoskrnl.exe and FLTMGR.SYS, one entry for each routine of the driver's
// import list (platform/imports.inc): its own kernel and Filter Manager
// routines, which already use the Microsoft convention, and the C runtime
// routines the kernel exports, wrapped, since the host's C library uses the
// System V one.
#include <cstring>

#include "platform/host/faults/internal.h"
#include "platform/host/ke/internal.h"
#include "platform/host/loader/loader.h"
#include "platform/host/loader/seh.h"

namespace host::loader {
namespace {

constexpr const char* kModuleNTOSKRNL = "ntoskrnl.exe";
constexpr const char* kModuleFLTMGR = "FLTMGR.SYS";

// The routines the compiler calls, under their own names here. The C
// runtime's memory routines write a caller's buffer: a write into a range
// armed by host::ArmAccessFault raises an access violation, as RtlZeroMemory
// and RtlCopyMemory do for the host build. The loader enters them through
// the dispatcher's thunk, which turns that into a structured exception in
// the image.
namespace runtime {
PONTOR_MS_ABI void* memcpy(void* destination, const void* source, size_t length) {
    faults::CheckAccess(destination, length);
    return ::memcpy(destination, source, length);
}
PONTOR_MS_ABI void* memmove(void* destination, const void* source, size_t length) {
    faults::CheckAccess(destination, length);
    return ::memmove(destination, source, length);
}
PONTOR_MS_ABI void* memset(void* destination, int value, size_t length) {
    faults::CheckAccess(destination, length);
    return ::memset(destination, value, length);
}
PONTOR_MS_ABI int memcmp(const void* a, const void* b, size_t length) {
    return ::memcmp(a, b, length);
}
constexpr auto __C_specific_handler = &seh::CSpecificHandler;
}  // namespace runtime

const ImageExport kExports[] = {
#define PONTOR_IMPORT(module, type, name, parameters) {kModule##module, #name, (void*)&name},
#define PONTOR_RUNTIME_IMPORT(module, name) {kModule##module, #name, (void*)runtime::name},
#include "platform/imports.inc"
#undef PONTOR_IMPORT
#undef PONTOR_RUNTIME_IMPORT
};

}  // namespace

std::span<const ImageExport> ImageExports() { return kExports; }

}  // namespace host::loader

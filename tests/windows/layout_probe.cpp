// The Windows side of the layout comparison: every entry of layouts.inc as
// a 64-bit value, in a section of its own that the build extracts with
// objcopy for the host test to read.
#include "platform/platform.h"

#define PONTOR_SIZE(T) (ULONGLONG)sizeof(T),
#define PONTOR_OFFSET(T, M) (ULONGLONG) offsetof(T, M),
#define PONTOR_VALUE(V) (ULONGLONG)(V),

extern "C" __attribute__((section(".playout"), used)) const ULONGLONG PontorLayoutProbe[] = {
#include "tests/windows/layouts.inc"
};

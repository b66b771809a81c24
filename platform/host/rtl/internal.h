// The runtime library's string helpers for the rest of the platform.
#pragma once

#include <cstring>

#include "platform/host/kernel.h"

namespace host::rtl {

// Unit i of a counted string, read byte-wise: a string may lie at any
// alignment in an image's buffer.
inline WCHAR CharAt(PCUNICODE_STRING s, size_t i) {
    WCHAR c;
    std::memcpy(&c, (const char*)s->Buffer + 2 * i, 2);
    return c;
}

}  // namespace host::rtl

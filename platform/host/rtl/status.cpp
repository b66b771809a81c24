// Status names and numbers in text, for tools and tests.
#include <cinttypes>
#include <cstdio>

#include "platform/host/rtl/rtl.h"

namespace host {

std::string StatusName(NTSTATUS status) {
    struct Name {
        NTSTATUS status;
        const char* name;
    };
    static const Name kNames[] = {
#define PONTOR_STATUS(name, code) {name, #name},
#include "platform/host/kernel/statuses.inc"
#undef PONTOR_STATUS
    };
    for (const Name& n : kNames) {
        if (n.status == status) {
            return n.name;
        }
    }
    return Hex((uint32_t)status, HexDigits::Upper, 8);
}

std::string Hex(uint64_t value, HexDigits digits, int width) {
    char text[24];
    std::snprintf(text, sizeof text, digits == HexDigits::Upper ? "0x%0*" PRIX64 : "0x%0*" PRIx64,
                  width, value);
    return text;
}

}  // namespace host

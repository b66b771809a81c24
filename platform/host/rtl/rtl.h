// Status names, numbers in text and UTF-8 <-> UTF-16 conversions, for test
// and tool code.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/host/kernel.h"

namespace host {

// Status names as the platform spells them ("STATUS_END_OF_FILE"); an unknown
// value gives "0x...".
std::string StatusName(NTSTATUS status);

// "0x" and the value's hexadecimal digits, at least width of them: lower
// case as the loader's bug checks print addresses, upper case as the tool
// prints offsets and statuses.
enum class HexDigits { Lower, Upper };
std::string Hex(uint64_t value, HexDigits digits = HexDigits::Lower, int width = 0);

std::u16string Utf16(std::string_view utf8);
std::string Utf8(std::u16string_view utf16);
std::string Utf8(PCUNICODE_STRING s);

// RtlUpcaseUnicodeChar for the characters the platform knows: ASCII and
// Latin-1.
char16_t Upcase(char16_t c);

}  // namespace host

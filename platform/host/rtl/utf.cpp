// UTF-8 <-> UTF-16 conversions, for tools and tests.
#include <cstring>

#include "platform/host/rtl/rtl.h"

namespace host {

std::u16string Utf16(std::string_view utf8) {
    std::u16string out;
    for (size_t i = 0; i < utf8.size();) {
        const unsigned char c = utf8[i];
        char32_t cp;
        size_t n;
        if (c < 0x80) {
            cp = c, n = 1;
        } else if ((c >> 5) == 6) {
            cp = c & 0x1F, n = 2;
        } else if ((c >> 4) == 14) {
            cp = c & 0x0F, n = 3;
        } else if ((c >> 3) == 30) {
            cp = c & 0x07, n = 4;
        } else {
            cp = 0xFFFD, n = 1;
        }
        if (i + n > utf8.size()) {
            cp = 0xFFFD, n = utf8.size() - i;
        } else {
            for (size_t k = 1; k < n; k++) {
                cp = (cp << 6) | (utf8[i + k] & 0x3F);
            }
        }
        i += n;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out += (char16_t)(0xD800 + (cp >> 10));
            out += (char16_t)(0xDC00 + (cp & 0x3FF));
        } else {
            out += (char16_t)cp;
        }
    }
    return out;
}

std::string Utf8(std::u16string_view utf16) {
    std::string out;
    for (size_t i = 0; i < utf16.size(); i++) {
        char32_t cp = utf16[i];
        if (cp >= 0xD800 && cp < 0xDC00 && i + 1 < utf16.size() && utf16[i + 1] >= 0xDC00 &&
            utf16[i + 1] < 0xE000) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (utf16[++i] - 0xDC00);
        }
        if (cp < 0x80) {
            out += (char)cp;
        } else if (cp < 0x800) {
            out += (char)(0xC0 | (cp >> 6));
            out += (char)(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += (char)(0xE0 | (cp >> 12));
            out += (char)(0x80 | ((cp >> 6) & 0x3F));
            out += (char)(0x80 | (cp & 0x3F));
        } else {
            out += (char)(0xF0 | (cp >> 18));
            out += (char)(0x80 | ((cp >> 12) & 0x3F));
            out += (char)(0x80 | ((cp >> 6) & 0x3F));
            out += (char)(0x80 | (cp & 0x3F));
        }
    }
    return out;
}

// Reads the units byte-wise: the string may lie at any alignment.
std::string Utf8(PCUNICODE_STRING s) {
    std::u16string units(s->Length / 2, u'\0');
    if (!units.empty()) {
        std::memcpy(units.data(), s->Buffer, units.size() * 2);
    }
    return Utf8(units);
}

}  // namespace host

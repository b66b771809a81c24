// DbgPrint and DbgPrintEx with the platform's conversions and LLP64 widths.
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "platform/host/debug/debug.h"
#include "platform/host/ke/internal.h"
#include "platform/host/rtl/rtl.h"

namespace host {
namespace {

std::mutex gSinkMutex;
DebugSink gSink;

// The arguments of a Microsoft variadic call: consecutive 8-byte slots,
// each holding one integer or pointer in its low bytes.
struct MsArgs {
    const char* next;
};
template <typename T>
T Next(MsArgs& args) {
    T value;
    memcpy(&value, args.next, sizeof value);
    args.next += 8;
    return value;
}
struct SysvArgs {
    va_list list;
};
template <typename T>
T Next(SysvArgs& args) {
    return va_arg(args.list, T);
}

template <typename Args>
std::string Format(const char* format, Args& args);

// Whether a format has one of the Unicode conversions (%C, %S, %lc, %ls,
// %wc, %ws, %wZ), which Windows formats at PASSIVE_LEVEL only.
bool HasUnicodeConversion(const char* format) {
    for (const char* p = std::strchr(format, '%'); p != nullptr; p = std::strchr(p, '%')) {
        p++;
        if (*p == '%') {
            p++;
            continue;
        }
        p += std::strspn(p, "-+ #0123456789.*");
        if (*p == 'C' || *p == 'S' ||
            ((p[0] == 'l' || p[0] == 'w') && (p[1] == 'c' || p[1] == 's')) ||
            (p[0] == 'w' && p[1] == 'Z')) {
            return true;
        }
    }
    return false;
}

void Emit(bool ex, ULONG component, ULONG level, const char* format, MsArgs args) {
    if (HasUnicodeConversion(format)) {
        ke::CheckIrql(PASSIVE_LEVEL, ex ? "DbgPrintEx with a Unicode conversion"
                                        : "DbgPrint with a Unicode conversion");
    }
    DebugLine line{ex, component, level, Format(format, args)};
    DebugSink sink;
    {
        std::lock_guard<std::mutex> lock(gSinkMutex);
        sink = gSink;
    }
    if (sink) {
        sink(line);
    }
}

// Formats one integer conversion with printf, which shares the flag syntax.
std::string Integer(const std::string& flags, char conversion, unsigned long long value,
                    bool isSigned, int bits) {
    std::string printfFormat = "%" + flags + "ll" + conversion;
    char out[128];
    if (isSigned) {
        long long v = bits == 64   ? (long long)value
                      : bits == 32 ? (long long)(int32_t)value
                      : bits == 16 ? (long long)(int16_t)value
                                   : (long long)(int8_t)value;
        std::snprintf(out, sizeof out, printfFormat.c_str(), v);
    } else {
        unsigned long long v = bits == 64   ? value
                               : bits == 32 ? (uint32_t)value
                               : bits == 16 ? (uint16_t)value
                                            : (uint8_t)value;
        std::snprintf(out, sizeof out, printfFormat.c_str(), v);
    }
    return out;
}

std::string Padded(const std::string& flags, const std::string& text) {
    char out[4096];
    std::snprintf(out, sizeof out, ("%" + flags + "s").c_str(), text.c_str());
    return out;
}

template <typename Args>
std::string Format(const char* format, Args& args) {
    std::string out;
    for (const char* p = format; *p != 0; p++) {
        if (*p != '%') {
            out += *p;
            continue;
        }
        const char* start = p++;
        if (*p == '%') {
            out += '%';
            continue;
        }
        std::string flags;
        while (*p == '-' || *p == '0' || *p == '+' || *p == ' ' || *p == '#') {
            flags += *p++;
        }
        if (*p == '*') {
            flags += std::to_string(Next<int>(args));
            p++;
        }
        while (*p >= '0' && *p <= '9') {
            flags += *p++;
        }
        if (*p == '.') {
            flags += *p++;
            if (*p == '*') {
                flags += std::to_string(Next<int>(args));
                p++;
            }
            while (*p >= '0' && *p <= '9') {
                flags += *p++;
            }
        }
        int bits = 32;
        bool wide = false;
        if (p[0] == 'I' && p[1] == '6' && p[2] == '4') {
            bits = 64;
            p += 3;
        } else if (p[0] == 'I' && p[1] == '3' && p[2] == '2') {
            p += 3;
        } else if (p[0] == 'I') {
            bits = 64;
            p++;
        } else if (p[0] == 'l' && p[1] == 'l') {
            bits = 64;
            p += 2;
        } else if (p[0] == 'h' && p[1] == 'h') {
            bits = 8;
            p += 2;
        } else if (p[0] == 'h') {
            bits = 16;
            p++;
        } else if (p[0] == 'l') {
            wide = true;  // 32-bit integers on Windows; wide strings and chars
            p++;
        } else if (p[0] == 'z') {
            bits = 64;
            p++;
        } else if (p[0] == 'w') {
            wide = true;
            p++;
        }
        const char c = *p;
        switch (c) {
            case 'd':
            case 'i':
            case 'u':
            case 'x':
            case 'X':
            case 'o': {
                const bool isSigned = c == 'd' || c == 'i';
                unsigned long long v = bits == 64 ? Next<unsigned long long>(args)
                                                  : (unsigned long long)Next<unsigned int>(args);
                out += Integer(flags, c == 'i' ? 'd' : c, v, isSigned, bits);
                break;
            }
            case 'p': {
                char text[32];
                std::snprintf(text, sizeof text, "%016llX",
                              (unsigned long long)(uintptr_t)Next<void*>(args));
                out += Padded(flags, text);
                break;
            }
            case 'c': out += Padded(flags, std::string(1, (char)Next<int>(args))); break;
            case 's':
                if (wide) {
                    const char16_t* s = Next<const char16_t*>(args);
                    out += Padded(flags, s ? Utf8(std::u16string_view(s)) : "(null)");
                } else {
                    const char* s = Next<const char*>(args);
                    out += Padded(flags, s ? s : "(null)");
                }
                break;
            case 'Z':
                if (wide) {
                    PCUNICODE_STRING s = Next<PCUNICODE_STRING>(args);
                    out += Padded(flags, s && s->Buffer ? Utf8(s) : "(null)");
                } else {
                    out += "(null)";  // %Z of an ANSI_STRING: not used
                    (void)Next<void*>(args);
                }
                break;
            case 0: out.append(start); return out;
            default: out.append(start, p + 1); break;
        }
    }
    return out;
}

}  // namespace

std::string FormatDebug(const char* format, va_list list) {
    SysvArgs args;
    va_copy(args.list, list);
    std::string out = Format(format, args);
    va_end(args.list);
    return out;
}

void SetDebugSink(DebugSink sink) {
    std::lock_guard<std::mutex> lock(gSinkMutex);
    gSink = std::move(sink);
}

DebugCapture::DebugCapture() {
    std::lock_guard<std::mutex> lock(gSinkMutex);
    DebugSink previous = gSink;
    gSink = [this, previous](const DebugLine& line) {
        {
            std::lock_guard<std::mutex> own(mutex_);
            lines_.push_back(line);
        }
        if (previous) {
            previous(line);
        }
    };
    previous_ = std::move(previous);
}

DebugCapture::~DebugCapture() {
    std::lock_guard<std::mutex> lock(gSinkMutex);
    gSink = std::move(previous_);
}

std::vector<DebugLine> DebugCapture::Lines() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
}

std::vector<std::string> DebugCapture::Texts() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> texts;
    for (const DebugLine& line : lines_) {
        texts.push_back(line.text);
    }
    return texts;
}

bool DebugCapture::Contains(std::string_view text) const {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const DebugLine& line : lines_) {
        if (line.text.find(text) != std::string::npos) {
            return true;
        }
    }
    return false;
}

void DebugCapture::Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.clear();
}

}  // namespace host

extern "C" {

ULONG PONTOR_MS_ABI DbgPrint(PCSTR Format, ...) {
    __builtin_ms_va_list args;
    __builtin_ms_va_start(args, Format);
    host::Emit(false, 0, 0, Format, host::MsArgs{args});
    __builtin_ms_va_end(args);
    return STATUS_SUCCESS;
}

ULONG PONTOR_MS_ABI DbgPrintEx(ULONG ComponentId, ULONG Level, PCSTR Format, ...) {
    __builtin_ms_va_list args;
    __builtin_ms_va_start(args, Format);
    host::Emit(true, ComponentId, Level, Format, host::MsArgs{args});
    __builtin_ms_va_end(args);
    return STATUS_SUCCESS;
}

}  // extern "C"

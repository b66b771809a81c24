// DbgPrint and DbgPrintEx with the platform's conversions and LLP64 widths.
#include <cstdarg>
#include <cstdio>
#include <mutex>

#include "platform/host/debug/debug.h"
#include "platform/host/rtl/rtl.h"

namespace host {
namespace {

std::mutex gSinkMutex;
DebugSink gSink;

void Emit(bool ex, ULONG component, ULONG level, const char* format, va_list args) {
    DebugLine line{ex, component, level, FormatDebug(format, args)};
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

}  // namespace

std::string FormatDebug(const char* format, va_list args) {
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
            flags += std::to_string(va_arg(args, int));
            p++;
        }
        while (*p >= '0' && *p <= '9') {
            flags += *p++;
        }
        if (*p == '.') {
            flags += *p++;
            if (*p == '*') {
                flags += std::to_string(va_arg(args, int));
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
                unsigned long long v = bits == 64 ? va_arg(args, unsigned long long)
                                                  : (unsigned long long)va_arg(args, unsigned int);
                out += Integer(flags, c == 'i' ? 'd' : c, v, isSigned, bits);
                break;
            }
            case 'p': {
                char text[32];
                std::snprintf(text, sizeof text, "%016llX",
                              (unsigned long long)(uintptr_t)va_arg(args, void*));
                out += Padded(flags, text);
                break;
            }
            case 'c': out += Padded(flags, std::string(1, (char)va_arg(args, int))); break;
            case 's':
                if (wide) {
                    const char16_t* s = va_arg(args, const char16_t*);
                    out += Padded(flags, s ? Utf8(std::u16string_view(s)) : "(null)");
                } else {
                    const char* s = va_arg(args, const char*);
                    out += Padded(flags, s ? s : "(null)");
                }
                break;
            case 'Z':
                if (wide) {
                    PCUNICODE_STRING s = va_arg(args, PCUNICODE_STRING);
                    out += Padded(flags, s && s->Buffer ? Utf8(s) : "(null)");
                } else {
                    out += "(null)";  // %Z of an ANSI_STRING: not used
                    (void)va_arg(args, void*);
                }
                break;
            case 0: out.append(start); return out;
            default: out.append(start, p + 1); break;
        }
    }
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

ULONG DbgPrint(PCSTR Format, ...) {
    va_list args;
    va_start(args, Format);
    host::Emit(false, 0, 0, Format, args);
    va_end(args);
    return STATUS_SUCCESS;
}

ULONG DbgPrintEx(ULONG ComponentId, ULONG Level, PCSTR Format, ...) {
    va_list args;
    va_start(args, Format);
    host::Emit(true, ComponentId, Level, Format, args);
    va_end(args);
    return STATUS_SUCCESS;
}

}  // extern "C"

// DbgPrint and DbgPrintEx output: the platform's conversions and a sink that
// tests capture and the tool shows with --verbose.
#pragma once

#include <cstdarg>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/host/kernel.h"

namespace host {

struct DebugLine {
    bool ex;  // DbgPrintEx (else DbgPrint)
    ULONG component;
    ULONG level;
    std::string text;
};
// Formats with the platform's conversions (%wZ, %I64d, %I64x, %I64X, %llx,
// %016llx, %x, %d, %u, %s, %ws, %c, %p, %%), LLP64 widths: %lx is 32 bits.
std::string FormatDebug(const char* format, va_list args);
using DebugSink = std::function<void(const DebugLine&)>;
void SetDebugSink(DebugSink sink);  // empty: discard

// Captures every debug line while alive.
class DebugCapture {
public:
    DebugCapture();
    ~DebugCapture();
    DebugCapture(const DebugCapture&) = delete;
    DebugCapture& operator=(const DebugCapture&) = delete;
    std::vector<DebugLine> Lines() const;
    std::vector<std::string> Texts() const;  // text of every line, in order
    bool Contains(std::string_view text) const;
    void Clear();

private:
    mutable std::mutex mutex_;
    std::vector<DebugLine> lines_;
    DebugSink previous_;  // restored when the capture ends
};

}  // namespace host

// What every module of the driver shares: pool tags, the log and trace
// conventions.
#pragma once

#include "platform/platform.h"

// Pool tags read "Qzio", "Qzvm", ... in a pool dump (little-endian ULONGs).
#define PONTOR_TAG(a, b, c, d) \
    ((ULONG)(a) | ((ULONG)(b) << 8) | ((ULONG)(c) << 16) | ((ULONG)(d) << 24))
constexpr ULONG PONTOR_IO_TAG = PONTOR_TAG('Q', 'z', 'i', 'o');       // I/O buffers
constexpr ULONG PONTOR_CONTEXT_TAG = PONTOR_TAG('Q', 'z', 'v', 'm');  // stream context
constexpr ULONG PONTOR_VHDX_TAG = PONTOR_TAG('Q', 'z', 'v', 'x');     // image records
constexpr ULONG PONTOR_EVENT_TAG = PONTOR_TAG('Q', 'z', 'e', 'v');    // binding gate event
constexpr ULONG PONTOR_PATH_TAG = PONTOR_TAG('Q', 'z', 'm', 't');     // path buffers

// Failures and notable events: component 77, level 0, "[PONTOR] Routine: ...".
// Helpers that a routine delegates to log under the routine's name.
#define PONTOR_LOG_AS(Routine, format, ...) \
    DbgPrintEx(DPFLTR_IHVDRIVER_ID, 0, "[PONTOR] %s: " format, Routine, ##__VA_ARGS__)
#define PONTOR_LOG(format, ...) PONTOR_LOG_AS(__FUNCTION__, format, ##__VA_ARGS__)

// Pageable routines log with pageable messages: the format lives in
// PONTOR_PAGED_DATA, the routine names beside the resident ones.
#define PONTOR_PAGED_STRING(s)                          \
    ([]() -> const char* {                              \
        static const char PONTOR_PAGED_DATA Text[] = s; \
        return Text;                                    \
    }())
#define PONTOR_PAGED_LOG_AS(Routine, format, ...)                                            \
    DbgPrintEx(DPFLTR_IHVDRIVER_ID, 0, PONTOR_PAGED_STRING("[PONTOR] %s: " format), Routine, \
               ##__VA_ARGS__)
#define PONTOR_PAGED_LOG(format, ...) PONTOR_PAGED_LOG_AS(__FUNCTION__, format, ##__VA_ARGS__)

// Bit 0 of the trace mask enables the DbgPrint traces. Nothing in the driver
// writes the mask; a debugger or the host does.
extern "C" ULONG gTraceFlags;
constexpr ULONG PONTOR_TRACE_ROUTINES = 0x1;
#define PONTOR_TRACE(format, ...)                                        \
    do {                                                                 \
        if (gTraceFlags & PONTOR_TRACE_ROUTINES) {                       \
            DbgPrint("Pontor!%s: " format, __FUNCTION__, ##__VA_ARGS__); \
        }                                                                \
    } while (0)
#define PONTOR_PAGED_TRACE(format, ...)                                                       \
    do {                                                                                      \
        if (gTraceFlags & PONTOR_TRACE_ROUTINES) {                                            \
            DbgPrint(PONTOR_PAGED_STRING("Pontor!%s: " format), __FUNCTION__, ##__VA_ARGS__); \
        }                                                                                     \
    } while (0)

// Owns one pool buffer allocated through an instance and frees it, with its
// tag, on every way out of the scope. Zero-filled, so a short read leaves
// zeros rather than stale pool contents.
class PontorPoolBuffer {
public:
    PontorPoolBuffer(PFLT_INSTANCE Instance, SIZE_T Size, ULONG Tag)
        : Instance_(Instance),
          Tag_(Tag),
          Buffer_((UCHAR*)FltAllocatePoolAlignedWithTag(Instance, NonPagedPoolNx, Size, Tag)) {
        if (Buffer_ != NULL) {
            RtlZeroMemory(Buffer_, Size);
        }
    }
    ~PontorPoolBuffer() {
        if (Buffer_ != NULL) {
            FltFreePoolAlignedWithTag(Instance_, Buffer_, Tag_);
        }
    }
    PontorPoolBuffer(const PontorPoolBuffer&) = delete;
    PontorPoolBuffer& operator=(const PontorPoolBuffer&) = delete;

    UCHAR* Get() const { return Buffer_; }

private:
    PFLT_INSTANCE Instance_;
    ULONG Tag_;
    UCHAR* Buffer_;
};

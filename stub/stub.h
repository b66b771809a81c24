// Stubs: the file layout and the per-stream record that ties an opened stub
// to its image chain.
#pragma once

#include "vhdx/vhdx.h"

// "qelvorn" and a zero byte, compared as one little-endian 64-bit value.
constexpr ULONGLONG PONTOR_STUB_SIGNATURE = 0x006E726F766C6571ULL;
constexpr ULONG PONTOR_STUB_READ_SIZE = 2048;    // all of a stub that is read
constexpr ULONG PONTOR_STUB_PATH_OFFSET = 16;    // UTF-16LE image path, NUL-terminated
constexpr ULONG PONTOR_STUB_HEADER_SIZE = 4096;  // what the header query returns

// The Filter Manager's stream context of an opened stub.
struct StreamContext {
    PFLT_INSTANCE Instance;  // through which the image files are read
    PKEVENT InitEvent;       // held by the one create that may bind
    LONG Initialized;        // 1 once bound; interlocked writes only
    struct VhdxContext* VhdxContext;            // the child image
    struct VhdxContext* ParentVhdxFileContext;  // its parent, or null
    UCHAR StubHeader[PONTOR_STUB_HEADER_SIZE];
    UCHAR VolumeGuidNameBuffer[512];
    UNICODE_STRING VolumeGuidName;
    PFLT_FILE_NAME_INFORMATION FileNameInfo;
    KMUTEX Mutex;  // redirected reads, modification checks, cleanup
};

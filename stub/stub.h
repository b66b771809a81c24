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
    PFLT_INSTANCE Instance;                     // through which the image files are read
    PKEVENT InitEvent;                          // held by the one create that may bind
    LONG Initialized;                           // 1 once bound; interlocked writes only
    struct VhdxContext* VhdxContext;            // the child image
    struct VhdxContext* ParentVhdxFileContext;  // its parent, or null
    UCHAR StubHeader[PONTOR_STUB_HEADER_SIZE];
    UCHAR VolumeGuidNameBuffer[512];
    UNICODE_STRING VolumeGuidName;
    PFLT_FILE_NAME_INFORMATION FileNameInfo;
    KMUTEX Mutex;  // redirected reads, modification checks, cleanup
};

// The private control code that returns StubHeader: FILE_DEVICE_FILE_SYSTEM,
// function 0xC8A, buffered, any access.
constexpr ULONG FSCTL_GET_STUB_HEADER =
    CTL_CODE(FILE_DEVICE_FILE_SYSTEM, 0xC8A, METHOD_BUFFERED, FILE_ANY_ACCESS);
static_assert(FSCTL_GET_STUB_HEADER == 0x93228, "the control code applications send");

// Creates a fresh, unbound context holding one reference for the caller.
// Nothing stays allocated on failure.
NTSTATUS PontorCreateStreamContext(PFLT_FILTER Filter, StreamContext** Context);

// The context cleanup callback: closes the image files and frees the
// records, the name information and the event. Runs once, under Mutex.
VOID FLTAPI PontorStreamContextCleanup(PFLT_CONTEXT Context, FLT_CONTEXT_TYPE ContextType);

// Closes and frees the image records a context holds, through the context's
// Instance, and clears the pointers. The cleanup and a retried binding share it.
VOID PontorReleaseImageChain(StreamContext* Context);

// Binds the stub named by FltObjects to its image and, for a differencing
// image, the parent in the stub's directory. The caller holds InitEvent and
// has stored the operation's instance in Context->Instance. Records,
// handles and file objects stay with the context whatever the outcome.
NTSTATUS PontorParseHeader(PCFLT_RELATED_OBJECTS FltObjects, StreamContext* Context);

// Opens one image file for reading below this filter; the status is that of
// FltCreateFileEx. The handle and file object are null after a failure.
NTSTATUS PontorOpenFile(PFLT_FILTER Filter, PFLT_INSTANCE Instance, PUNICODE_STRING FileName,
                        PHANDLE FileHandle, PFILE_OBJECT* FileObject);
// Closes the handle and dereferences the file object of an image, those
// that are set, and clears them.
VOID PontorCloseFile(VhdxContext* Image);

// Appends Source to Destination in place as RtlUnicodeStringCat does:
// STATUS_INVALID_PARAMETER for a malformed string, STATUS_BUFFER_OVERFLOW
// when only part of Source fitted (that part is appended).
NTSTATUS PontorAppendUnicodeString(PUNICODE_STRING Destination, PCUNICODE_STRING Source);

// The exception idioms as the Windows build compiles them, run for real:
// a Windows program (run under Wine on Linux) built with the driver's own
// flags and headers, linking the driver's read engine against a small
// in-memory Filter Manager. An access fault while a read writes the
// caller's buffer must pass through the engine's frames, release its pool
// buffers on the way (__finally), and arrive as STATUS_ACCESS_VIOLATION at
// the handler the filter puts around it (__except).
#include "stub/stub.h"
#include "vhdx/vhdx.h"

extern "C" {
int printf(const char* format, ...);
void* malloc(SIZE_T size);
void free(void* block);
__declspec(dllimport) void* __stdcall VirtualAlloc(void* address, SIZE_T size, ULONG type,
                                                   ULONG protect);
__declspec(dllimport) int __stdcall VirtualProtect(void* address, SIZE_T size, ULONG protect,
                                                   ULONG* old);
}

namespace {

constexpr ULONG kMemCommitReserve = 0x3000;
constexpr ULONG kPageReadWrite = 0x04;
constexpr ULONG kPageNoAccess = 0x01;
constexpr ULONG kPage = 4096;
constexpr ULONG kMiB = 0x100000;

// The image file: a BAT of one chunk at 1 MiB; block 0 fully present at
// 2 MiB, block 1 zero, block 2 partially present at 3 MiB with every sector
// bit set in the sector bitmap at 4 MiB.
constexpr ULONGLONG kBatOffset = 1 * kMiB;
constexpr ULONG kChunkRatio = 4096;  // 2^23 sectors of 512 bytes over 1 MiB blocks
constexpr ULONG kFileSize = 5 * kMiB;
UCHAR* gFile;

int gAllocations;
int gFrees;

void SetEntry(ULONG index, ULONGLONG entry) {
    for (int b = 0; b < 8; b++) {
        gFile[kBatOffset + 8 * index + b] = (UCHAR)(entry >> (8 * b));
    }
}

void MakeFile() {
    gFile = (UCHAR*)malloc(kFileSize);
    for (ULONG i = 0; i < kFileSize; i++) {
        gFile[i] = (UCHAR)(i * 7 + 3);
    }
    RtlZeroMemory(gFile + kBatOffset, 8 * (kChunkRatio + 1));
    SetEntry(0, 2ULL * kMiB | PAYLOAD_BLOCK_FULLY_PRESENT);
    SetEntry(1, PAYLOAD_BLOCK_ZERO);
    SetEntry(2, 3ULL * kMiB | PAYLOAD_BLOCK_PARTIALLY_PRESENT);
    SetEntry(kChunkRatio, 4ULL * kMiB | SB_BLOCK_PRESENT);
    for (ULONG i = 0; i < kMiB; i++) {
        gFile[4 * kMiB + i] = 0xFF;
    }
}

}  // namespace

// The Filter Manager routines the read engine calls.
extern "C" PVOID FLTAPI FltAllocatePoolAlignedWithTag(PFLT_INSTANCE, POOL_TYPE, SIZE_T Size,
                                                      ULONG) {
    gAllocations++;
    return malloc(Size);
}
extern "C" VOID FLTAPI FltFreePoolAlignedWithTag(PFLT_INSTANCE, PVOID Buffer, ULONG) {
    gFrees++;
    free(Buffer);
}
extern "C" NTSTATUS FLTAPI FltReadFile(PFLT_INSTANCE, PFILE_OBJECT, PLARGE_INTEGER ByteOffset,
                                       ULONG Length, PVOID Buffer, ULONG, PULONG BytesRead,
                                       PFLT_COMPLETED_ASYNC_IO_CALLBACK, PVOID) {
    const ULONGLONG offset = (ULONGLONG)ByteOffset->QuadPart;
    if (offset >= kFileSize) {
        return STATUS_END_OF_FILE;
    }
    const ULONG count = offset + Length > kFileSize ? (ULONG)(kFileSize - offset) : Length;
    RtlCopyMemory(Buffer, gFile + offset, count);
    if (BytesRead != NULL) {
        *BytesRead = count;
    }
    return STATUS_SUCCESS;
}

// Wine's ntdll does not have RtlTestBit; the engine calls it through its
// import slot, which this program fills itself.
namespace {
BOOLEAN NTAPI TestBit(PRTL_BITMAP BitMapHeader, ULONG BitNumber) {
    return (BitMapHeader->Buffer[BitNumber / 32] >> (BitNumber % 32)) & 1;
}
}  // namespace
extern "C" BOOLEAN(NTAPI* __imp_RtlTestBit)(PRTL_BITMAP, ULONG) = TestBit;

namespace {

struct Read {
    VhdxContext* image;
    StreamContext* stream;
    ULONGLONG offset;
    ULONG length;
    UCHAR* destination;
    ULONG produced;
};

NTSTATUS ReadBody(PVOID context) {
    Read* r = (Read*)context;
    FLT_RELATED_OBJECTS related = {};
    return VhdxProcessRead(&related, r->stream, r->image, r->offset, r->length, r->destination,
                           &r->produced);
}

int gPassed;
int gFailed;
void Check(bool ok, const char* what) {
    printf("%s: %s\n", ok ? "ok" : "FAIL", what);
    (ok ? gPassed : gFailed)++;
}

}  // namespace

int main() {
    MakeFile();
    VhdxContext* image = (VhdxContext*)malloc(sizeof(VhdxContext));
    RtlZeroMemory(image, sizeof(VhdxContext));
    image->BlockSize = kMiB;
    image->LogicalSectorSize = 512;
    image->ChunkRatio = kChunkRatio;
    image->DataSize = 4 * kMiB;
    image->BatOffset = kBatOffset;
    image->BatLength = 8 * (kChunkRatio + 1);
    StreamContext* stream = (StreamContext*)malloc(sizeof(StreamContext));
    RtlZeroMemory(stream, sizeof(StreamContext));

    // Two pages the caller may write, then one it may not.
    UCHAR* buffer = (UCHAR*)VirtualAlloc(NULL, 3 * kPage, kMemCommitReserve, kPageReadWrite);
    ULONG old;
    VirtualProtect(buffer + 2 * kPage, kPage, kPageNoAccess, &old);

    // One read per block state, first within the writable pages, then
    // running into the page that faults.
    const struct {
        const char* what;
        ULONGLONG offset;
        const UCHAR* expected;  // null: zeros
    } cases[] = {
        {"fully present block: the fault is in FltReadFile's copy", 0, gFile + 2 * kMiB},
        {"zero block: the fault is in the engine's own zero fill", 1 * kMiB, NULL},
        {"partially present block: the fault is in a sector read", 2 * kMiB, gFile + 3 * kMiB},
    };
    for (const auto& c : cases) {
        printf("-- %s\n", c.what);
        Read fits = {image, stream, c.offset, 2 * kPage, buffer, 0};
        gAllocations = gFrees = 0;
        const NTSTATUS fine = PontorCallExcept(ReadBody, &fits);
        Check(fine == STATUS_SUCCESS && fits.produced == 2 * kPage, "a read that fits succeeds");
        bool same = true;
        for (ULONG i = 0; i < 2 * kPage; i++) {
            same = same && buffer[i] == (c.expected != NULL ? c.expected[i] : 0);
        }
        Check(same, "and produces the image's bytes");
        Check(gAllocations > 0 && gFrees == gAllocations, "and frees what it allocated");

        Read faults = {image, stream, c.offset, 3 * kPage, buffer, 0};
        gAllocations = gFrees = 0;
        const NTSTATUS status = PontorCallExcept(ReadBody, &faults);
        Check(status == STATUS_ACCESS_VIOLATION,
              "a read into the bad page ends in an access violation");
        Check(gAllocations > 0 && gFrees == gAllocations,
              "and its buffers are freed on the way out");
    }

    // The header copy of the control code.
    UCHAR header[PONTOR_STUB_HEADER_SIZE];
    RtlZeroMemory(header, sizeof(header));
    Check(PontorCopyGuarded(buffer, header, 2 * kPage) == STATUS_SUCCESS,
          "a header copy that fits");
    Check(PontorCopyGuarded(buffer + kPage + 1, header, sizeof(header)) == STATUS_ACCESS_VIOLATION,
          "a header copy into the bad page ends in an access violation");

    free(stream);
    free(image);
    free(gFile);
    printf("%d passed, %d failed\n", gPassed, gFailed);
    return gFailed == 0 ? 0 : 1;
}

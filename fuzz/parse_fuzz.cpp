// Parses an arbitrary file as a VHDX image. Nothing may crash, read out of
// bounds or stay allocated, whatever the bytes.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "fuzz/sparse_file.h"
#include "platform/host/host.h"
#include "vhdx/vhdx.h"

namespace {

struct Harness {
    std::string dir;
    std::unique_ptr<host::Volume> volume;
    std::u16string name;

    Harness() {
        char pattern[] = "/dev/shm/pontor-fuzz-XXXXXX";
        if (::mkdtemp(pattern) == nullptr) {
            std::abort();
        }
        dir = pattern;
        volume = std::make_unique<host::Volume>(dir);
        name = volume->NtName("image.vhdx");
        host::SetDebugSink(nullptr);
        // Larger regions fail their allocation, a path worth fuzzing too, and
        // keep each input fast.
        host::SetPoolAllocationLimit(32u << 20);
    }
};

Harness& TheHarness() {
    static Harness* harness = new Harness();
    return *harness;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Harness& h = TheHarness();
    const fuzzing::SparseFile file = fuzzing::DecodeSparseFile(data, size);
    const std::string path = h.dir + "/image.vhdx";
    FILE* out = std::fopen(path.c_str(), "wb");
    if (out == nullptr || std::fwrite(file.bytes.data(), 1, file.bytes.size(), out) != file.bytes.size()) {
        std::abort();
    }
    std::fclose(out);

    VhdxContext context;
    std::memset(&context, 0, sizeof(context));
    UNICODE_STRING objectName;
    objectName.Buffer = h.name.data();
    objectName.Length = objectName.MaximumLength = (USHORT)(h.name.size() * 2);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &objectName, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE,
                               nullptr, nullptr);
    IO_STATUS_BLOCK iosb = {};
    if (!NT_SUCCESS(FltCreateFileEx(nullptr, h.volume->Instance(), &context.FileHandle,
                                    &context.FileObject, GENERIC_READ | SYNCHRONIZE, &attributes,
                                    &iosb, nullptr, FILE_ATTRIBUTE_NORMAL, 7, FILE_OPEN, 0x860,
                                    nullptr, 0, IO_STOP_ON_SYMLINK))) {
        std::abort();
    }
    FLT_RELATED_OBJECTS related = {};
    related.Size = sizeof(related);
    related.Instance = h.volume->Instance();
    related.FileObject = context.FileObject;
    const NTSTATUS status = VhdxParseHeader(&related, &context);
    if (NT_SUCCESS(status)) {
        // The invariants every later reader relies on.
        if (context.BlockSize == 0 || context.LogicalSectorSize == 0 || context.ChunkRatio == 0 ||
            context.DataBlocksCount == 0 || context.DataSize < context.VirtualDiskSize ||
            context.HasParent > 1 || context.TotalBatEntries > 0xFFFFFFFFULL) {
            std::fprintf(stderr, "parse succeeded with broken invariants\n");
            std::abort();
        }
    }
    FltClose(context.FileHandle);
    ObDereferenceObject(context.FileObject);
    if (host::PoolOutstanding() != 0 || host::OpenFileCount() != 0) {
        std::fprintf(stderr, "leak after parse: %zu allocations, %zu files\n",
                     host::PoolOutstanding(), host::OpenFileCount());
        std::abort();
    }
    return 0;
}

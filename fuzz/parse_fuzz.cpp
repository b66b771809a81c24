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
#include "tools/reader/image.h"
#include "vhdx/vhdx.h"

namespace {

struct Harness {
    std::string dir;
    std::unique_ptr<host::Volume> volume;

    Harness() {
        char pattern[] = "/dev/shm/pontor-fuzz-XXXXXX";
        if (::mkdtemp(pattern) == nullptr) {
            std::abort();
        }
        dir = pattern;
        volume = std::make_unique<host::Volume>(dir);
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
    if (out == nullptr ||
        std::fwrite(file.bytes.data(), 1, file.bytes.size(), out) != file.bytes.size()) {
        std::abort();
    }
    std::fclose(out);

    VhdxContext context;
    std::memset(&context, 0, sizeof(context));
    FLT_RELATED_OBJECTS related;
    const NTSTATUS status = tool::OpenAndParseImage(*h.volume, "image.vhdx", &context, &related);
    if (context.FileObject == nullptr) {
        std::abort();
    }
    if (NT_SUCCESS(status)) {
        // The invariants every later reader relies on.
        if (context.BlockSize == 0 || context.LogicalSectorSize == 0 || context.ChunkRatio == 0 ||
            context.DataBlocksCount == 0 || context.DataSize < context.VirtualDiskSize ||
            context.HasParent > 1 || context.TotalBatEntries > 0xFFFFFFFFULL) {
            std::fprintf(stderr, "parse succeeded with broken invariants\n");
            std::abort();
        }
    }
    PontorCloseFile(&context);
    if (host::PoolOutstanding() != 0 || host::OpenFileCount() != 0) {
        std::fprintf(stderr, "leak after parse: %zu allocations, %zu files\n",
                     host::PoolOutstanding(), host::OpenFileCount());
        std::abort();
    }
    return 0;
}

// pontor replay over an image drawn from the input, usually one of the
// builder's shapes with a log (entries, descriptors, zero and data
// descriptors, torn and foreign entries, sequences, wrap by the patches),
// into a new file and then in place. What one replay writes has no log left:
// replaying it again must succeed and change nothing more. The serving
// commands' view of the image (the log applied in memory) must be the
// replayed file byte for byte, or the file as it stands where replay refuses.
#include "fuzz/tool_harness.h"
#include "platform/host/fs/layer.h"
#include "tools/replayed_layer.h"

namespace {

// A log may grow the file to any size: past this, only the sizes are compared.
constexpr uint64_t kCompared = 16 << 20;

// The image file as the replayed layer presents it, into bytes; its size
// alone when large. Buffers are kept from input to input: fresh MiBs cost
// the sanitizer's allocator a mapping and page faults every time.
void Viewed(const std::filesystem::path& dir, const std::string& name, uint64_t* size,
            std::vector<uint8_t>& bytes) {
    tool::ReplayedLayer layer(host::fs::NewHostLayer(dir), nullptr);
    host::fs::OpenRequest request{{host::Utf16(name)},
                                  FILE_READ_DATA,
                                  FILE_SHARE_READ,
                                  FILE_OPEN,
                                  FILE_NON_DIRECTORY_FILE,
                                  false,
                                  true,
                                  false};
    host::fs::Opened opened;
    host::fs::FileFacts facts;
    if (!NT_SUCCESS(layer.Open(request, &opened)) ||
        !NT_SUCCESS(layer.Describe(opened.file, &facts))) {
        std::abort();
    }
    *size = facts.size;
    bytes.resize(facts.size <= kCompared ? facts.size : 0);
    for (uint64_t at = 0; at < bytes.size();) {
        ULONG done = 0;
        const ULONG want = (ULONG)std::min<uint64_t>(bytes.size() - at, 8 << 20);
        if (!NT_SUCCESS(layer.Read(opened.file, at, want, &bytes[at], &done)) || done != want) {
            std::abort();
        }
        at += done;
    }
    layer.Close(opened.file);
}

bool SameAs(const std::vector<uint8_t>& viewed, uint64_t size, const std::string& path) {
    if (std::filesystem::file_size(path) != size) {
        return false;
    }
    if (size > kCompared) {
        return true;
    }
    static std::vector<uint8_t> bytes;
    bytes.resize(size);
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    const bool read = fd >= 0 && ::pread(fd, bytes.data(), size, 0) == (ssize_t)size;
    ::close(fd);
    return read && viewed == bytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static fuzzing::Scratch scratch;
    fuzzing::Input in(data, size);
    const uint8_t mode = in.U8();
    static vhdxtest::Image built;
    scratch.Put("image.vhdx", fuzzing::DrawImage(in, built));
    const std::string image = scratch.File("image.vhdx"), out = scratch.File("out.vhdx");
    const bool replayed =
        fuzzing::Run(tool::ReplayCommand(), {"--json", image, out}) == tool::kExitOk;
    if (replayed &&
        fuzzing::Run(tool::ReplayCommand(), {out, scratch.File("again.vhdx")}) != tool::kExitOk) {
        fuzzing::Fail("replay_fuzz", "a replayed image cannot be replayed again");
    }
    if (mode & 2) {
        uint64_t size = 0;
        static std::vector<uint8_t> viewed;
        Viewed(scratch.Dir(), "image.vhdx", &size, viewed);
        if (!SameAs(viewed, size, replayed ? out : image)) {
            fuzzing::Fail("replay_fuzz", "the view differs from what replay writes");
        }
    }
    if (mode & 1) {
        fuzzing::Run(tool::ReplayCommand(), {"--in-place", "--yes", image});
        scratch.Forget("image.vhdx");
    }
    scratch.Clear();
    fuzzing::CheckNothingLeft("replay_fuzz");
    return 0;
}

// The tool's reader of stub headers (what `pontor header` prints, and the
// image path convert follows) over any bytes: a header of any length, a path
// without its terminating zero, unpaired surrogates, odd lengths.
#include "fuzz/tool_harness.h"
#include "tools/stub_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    [[maybe_unused]] static fuzzing::Scratch scratch;  // stdout away
    const std::vector<uint8_t> header(data, data + size);
    const std::u16string path = tool::StoredImagePath(header);
    if (path.find(u'\0') != std::u16string::npos || path.size() * 2 > size) {
        fuzzing::Fail("stub_fuzz", "the stored path runs past its zero or the header");
    }
    tool::StubSignature(header);
    tool::PrintStubHeader(header);
    return 0;
}

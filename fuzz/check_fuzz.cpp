// pontor check with its JSON report over a chain of up to three images
// drawn from the input, i0.vhdx the child. Every finding path is reachable: the images start from
// the builder's shapes (logs, partial blocks, parents) and are then patched
// anywhere, checksums resealed or not.
#include "fuzz/tool_harness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static fuzzing::Scratch scratch;
    fuzzing::Input in(data, size);
    static vhdxtest::Image images[3];
    for (int i = 0; i < 3 && (i == 0 || !in.Empty()); i++) {
        scratch.Put("i" + std::to_string(i) + ".vhdx", fuzzing::DrawImage(in, images[i]));
    }
    fuzzing::Run(tool::CheckCommand(), {"--json", scratch.File("i0.vhdx")});
    scratch.Clear();
    fuzzing::CheckNothingLeft("check_fuzz");
    return 0;
}

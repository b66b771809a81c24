// pontor replay over an image drawn from the input, usually one of the
// builder's shapes with a log (entries, descriptors, zero and data
// descriptors, torn and foreign entries, sequences, wrap by the patches),
// into a new file and then in place. What one replay writes has no log left:
// replaying it again must succeed and change nothing more.
#include "fuzz/tool_harness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static fuzzing::Scratch scratch;
    fuzzing::Input in(data, size);
    const uint8_t mode = in.U8();
    static vhdxtest::Image built;
    scratch.Put("image.vhdx", fuzzing::DrawImage(in, built));
    const std::string image = scratch.File("image.vhdx"), out = scratch.File("out.vhdx");
    if (fuzzing::Run(tool::ReplayCommand(), {"--json", image, out}) == tool::kExitOk &&
        fuzzing::Run(tool::ReplayCommand(), {out, scratch.File("again.vhdx")}) != tool::kExitOk) {
        fuzzing::Fail("replay_fuzz", "a replayed image cannot be replayed again");
    }
    if (mode & 1) {
        fuzzing::Run(tool::ReplayCommand(), {"--in-place", "--yes", image});
        scratch.Forget("image.vhdx");
    }
    scratch.Clear();
    fuzzing::CheckNothingLeft("replay_fuzz");
    return 0;
}

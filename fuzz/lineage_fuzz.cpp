// The lineage walk of pontor flatten over up to six images i0 ... i5 drawn
// from the input, each naming its parent among them (or a file that is not
// there): chains of any depth, loops, broken links, damaged images. Where a
// lineage is accepted, its first MiBs are mapped layer by layer as flatten
// maps them, and every extent lies inside the range asked for, in order.
#include "fuzz/tool_harness.h"
#include "tools/reader/extent_map.h"
#include "tools/reader/lineage.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static fuzzing::Scratch scratch;
    fuzzing::Input in(data, size);
    static vhdxtest::Image images[6];
    for (int i = 0; i < 6 && (i == 0 || !in.Empty()); i++) {
        scratch.Put("i" + std::to_string(i) + ".vhdx", fuzzing::DrawImage(in, images[i]));
    }
    try {
        const tool::Lineage lineage = tool::InspectLineage(scratch.File("i0.vhdx"), false);
        tool::LineageMap map(lineage.Images());
        const uint64_t length =
            std::min<uint64_t>(lineage.images[0]->geometry()->virtualDiskSize, 8 * fuzzing::MiB);
        uint64_t next = 0;
        map.Map(0, length, [&](const tool::Extent& e) {
            if (e.start != next || e.length == 0 || e.depth >= lineage.images.size()) {
                std::fprintf(stderr, "lineage_fuzz: extent at %llu of %llu, expected at %llu\n",
                             (unsigned long long)e.start, (unsigned long long)e.length,
                             (unsigned long long)next);
                std::abort();
            }
            next = e.start + e.length;
        });
        if (next != length) {
            std::fprintf(stderr, "lineage_fuzz: extents end at %llu of %llu\n",
                         (unsigned long long)next, (unsigned long long)length);
            std::abort();
        }
    } catch (const tool::ToolError&) {
    }
    scratch.Clear();
    fuzzing::CheckNothingLeft("lineage_fuzz");
    return 0;
}

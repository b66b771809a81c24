// What the fuzzers of the tool's readers share: images drawn from the input
// (one of the builder's shapes, or an empty file, then byte patches, then
// the checksums resealed), written to a directory on tmpfs, and the tool's
// commands run on them through their own entry points.
//
// The tool reads images with POSIX calls (HostFile, replay's and flatten's
// writers) and opens them for the driver through a host volume over a
// directory; tmpfs keeps all of it in memory without a second file layer.
//
// An image in the input: [kind u8] [shape bytes, for a builder shape]
// [reseal u8] [count u8] count x ([offset u32] [length u16] [bytes]).
// kind bit 7 clear: a shape from kind's bits; set: an empty file, so that a
// file from anywhere (qemu-img, fuzz/make_seed.py --tool) is a seed.
#pragma once

#include <fcntl.h>
#include <linux/falloc.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "fuzz/harness.h"
#include "tests/support/vhdx_image.h"
#include "tools/commands.h"
#include "tools/reader/image.h"

namespace fuzzing {

using Range = std::pair<uint64_t, uint64_t>;  // offset, length

// The input read front to back; past its end every value is zero.
class Input {
public:
    Input(const uint8_t* data, size_t size) : p_(data), end_(data + size) {}
    uint8_t U8() { return p_ < end_ ? *p_++ : 0; }
    uint32_t U16() {
        const uint32_t low = U8();  // operands of | have no order of their own
        return low | U8() << 8;
    }
    uint32_t U32() {
        const uint32_t low = U16();
        return low | U16() << 16;
    }
    const uint8_t* Bytes(size_t* length) {
        *length = std::min<size_t>(*length, end_ - p_);
        const uint8_t* at = p_;
        p_ += *length;
        return at;
    }
    bool Empty() const { return p_ >= end_; }

private:
    const uint8_t* p_;
    const uint8_t* end_;
};

// Buffers of a sector bitmap's MiB, kept from input to input: a fresh MiB
// costs the sanitizer's allocator a mapping and its pages' faults.
inline std::vector<std::vector<uint8_t>>& SpareBitmaps() {
    static std::vector<std::vector<uint8_t>> spares;
    return spares;
}
// A MiB of value.
inline std::vector<uint8_t> TakeBitmap(const std::vector<uint8_t>& value) {
    std::vector<std::vector<uint8_t>>& spares = SpareBitmaps();
    std::vector<uint8_t> bitmap;
    if (!spares.empty()) {
        bitmap = std::move(spares.back());
        spares.pop_back();
    }
    bitmap.assign(value.begin(), value.end());
    return bitmap;
}
// The shape's bitmaps back to the spares, once it is built.
inline void ReturnBitmaps(vhdxtest::ImageSpec& shape) {
    for (auto& [chunk, bitmap] : shape.sectorBitmaps) {
        SpareBitmaps().push_back(std::move(bitmap));
    }
    shape.sectorBitmaps.clear();
}

// A builder shape: kind bit 0 sectors of 4096, bits 1-2 blocks of 1, 2, 4
// or 8 MiB, bit 3 differencing (its parent named by the next byte), bit 4 a
// log, bits 5-6 eight blocks, or one to three chunks (fewer when they are
// large) and a block beyond. Up to five blocks allocated (at most 4 MiB of
// them), near the chunks' starts and ends, so that the files stay a few MiB.
inline vhdxtest::ImageSpec DrawShape(uint8_t kind, Input& in) {
    vhdxtest::ImageSpec shape;
    shape.logicalSectorSize = (kind & 1) ? 4096 : 512;
    shape.blockSize = (uint32_t)MiB << ((kind >> 1) & 3);
    // Chunks of 32768 blocks are one at most, of 8192 two: every reader
    // walks every BAT entry, and three large chunks are a hundred thousand.
    const uint32_t ratio = shape.ChunkRatio(),
                   chunks = std::min<uint32_t>((kind >> 5) & 3, std::max(1u, 16384 / ratio));
    const uint64_t blocks = chunks ? (uint64_t)ratio * chunks + 1 : 8;
    shape.virtualDiskSize =
        blocks * shape.blockSize - std::min<uint64_t>(in.U16() * 512ull, shape.blockSize - 1);
    shape.seed = in.U8() + 1;
    if (kind & 8) {
        shape.hasParent = true;
        shape.parentLocator = {
            {u"parent_linkage", u"{00000000-0000-0000-0000-000000000000}"},
            {u"relative_path", u".\\i" + std::u16string(1, u'0' + in.U8() % 6) + u".vhdx"}};
    }
    // At most 4 MiB of payload (one block of 8 MiB): every MiB an input
    // builds, writes and reads again is time the fuzzer does not explore.
    const int most = std::max<int>(1, (int)(4 * MiB / shape.blockSize));
    for (int i = 0, n = std::min(in.U8() % 6, most); i < n; i++) {
        const uint32_t chunk = in.U8() % (chunks + 1), near = in.U8();
        const uint64_t block =
            std::min<uint64_t>(shape.DataBlocks() - 1,
                               (uint64_t)chunk * ratio + (near < 128 ? near : ratio - 256 + near));
        const auto state = (vhdxtest::State)(in.U8() & 7);
        shape.blocks[block] = state;
        const uint8_t bits = in.U8();
        if (state == vhdxtest::State::PartiallyPresent && bits != 0) {
            // Stretches of 37 bytes of the pattern alternate with stretches
            // of all (bit 0 set) or no sectors: runs within a byte, across
            // bytes, and hundreds of sectors long. The last two made are
            // kept (a child's and its parent's), each starting with its bits.
            static std::vector<uint8_t> patterns[2];
            static int older = 0;
            std::vector<uint8_t>* pattern = &patterns[older];
            if (!patterns[1 - older].empty() && patterns[1 - older][0] == bits) {
                pattern = &patterns[1 - older];
            } else if (pattern->empty() || (*pattern)[0] != bits) {
                pattern->assign(MiB, bits);
                for (size_t at = 37; at < MiB; at += 74) {
                    std::memset(&(*pattern)[at], bits & 1 ? 0xFF : 0,
                                std::min<size_t>(37, MiB - at));
                }
                older = 1 - older;
            }
            shape.sectorBitmaps[block / shape.ChunkRatio()] = TakeBitmap(*pattern);
        }
    }
    if (kind & 16) {
        vhdxtest::LogSpec log;
        log.guid.bytes[0] = 1;
        for (int i = 0, n = 1 + in.U8() % 3; i < n; i++) {
            vhdxtest::LogEntry entry;
            const uint8_t flags = in.U8();
            entry.sequence = 1 + i + (flags >> 6);
            entry.torn = flags & 1;
            if (flags & 2) {
                entry.guid = vhdxtest::Guid{};
            }
            entry.tail = (flags >> 2) & 1 ? 0 : i;
            const uint64_t at = 4 * MiB + in.U8() * 4096ull;
            if (flags & 8) {
                entry.zeros.emplace_back(at, 4096ull << (flags >> 4 & 3));
            }
            entry.data.emplace_back(at, std::vector<uint8_t>(4096, (uint8_t)(flags | 1)));
            log.entries.push_back(std::move(entry));
        }
        shape.log = std::move(log);
    }
    return shape;
}

// The image, built into image (whose buffer is reused, so that every input
// does not cost fresh pages, and only what it wrote is cleared and written
// again): the shape or nothing, the patches, the reseal.
inline const vhdxtest::Image& DrawImage(Input& in, vhdxtest::Image& image) {
    image.trackWrites = true;
    const uint8_t kind = in.U8();
    if (kind & 0x80) {
        image.bytes.clear();
        image.written.clear();
    } else {
        vhdxtest::ImageSpec shape = DrawShape(kind, in);
        vhdxtest::Build(shape, &image);
        ReturnBitmaps(shape);
    }
    const uint8_t reseal = in.U8(), patches = in.U8();
    for (int i = 0; i < patches; i++) {
        // Within 4 MiB past the end: a file of tens of MiB is slow to fuzz.
        const uint64_t offset =
            in.U32() % std::min<uint64_t>(image.bytes.size() + 4 * MiB, 64 * MiB);
        size_t length = in.U16();
        const uint8_t* bytes = in.Bytes(&length);
        if (image.bytes.size() < offset + length) {
            image.bytes.resize(offset + length);
        }
        if (length != 0) {
            std::memcpy(image.bytes.data() + offset, bytes, length);
            image.written.emplace_back(offset, length);
        }
    }
    // The builder sealed what it built; only patches need sealing again.
    const bool reseals = image.bytes.size() >= 4 * MiB && patches != 0;
    if (reseals && !(reseal & 1)) {
        image.ResealHeaders();
    }
    if (reseals && !(reseal & 2)) {
        image.ResealRegionTables();
    }
    if (reseals) {  // the checksums, where a file from nothing has no structures
        for (const uint64_t at : {VHDX_HEADER_OFFSET, VHDX_REGION_TABLE_OFFSET}) {
            image.written.emplace_back(at + VHDX_CHECKSUM_FIELD_OFFSET, 4);
            image.written.emplace_back(at + 0x10000 + VHDX_CHECKSUM_FIELD_OFFSET, 4);
        }
    }
    return image;
}

// A directory on tmpfs for the whole run, emptied between inputs; stdout,
// where the commands print their reports, goes nowhere.
class Scratch {
public:
    Scratch() {
        host::SetDebugSink(nullptr);
        std::freopen("/dev/null", "w", stdout);
        std::string pattern = (std::filesystem::exists("/dev/shm") ? "/dev/shm" : "/tmp") +
                              std::string("/fuzzXXXXXX");
        dir_ = ::mkdtemp(pattern.data());
    }
    ~Scratch() { std::filesystem::remove_all(dir_); }
    std::string File(const std::string& name) const { return (dir_ / name).string(); }
    const std::filesystem::path& Dir() const { return dir_; }

    // Writes the file, page by page where it differs from what the last
    // input put there, with zero pages left as holes, so that copies of it
    // stay sparse. Only pages within written (the ranges of bytes that may
    // not be zeros; all of them if null) or within those of the file as it
    // is can differ: everything else is zeros in both, and is not looked at.
    void Put(const std::string& name, const std::vector<uint8_t>& bytes,
             const std::vector<Range>* written = nullptr) {
        static const uint8_t zeros[4096] = {};
        OnDisk& was = files_[name];
        const int fd = ::open(File(name).c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        if (was.bytes.empty() && ::ftruncate(fd, 0) != 0) {
            std::abort();
        }
        if (was.bytes.empty() && mirror_ != nullptr) {
            mirror_->Put(name, std::string_view());
        }
        // The pages to look at, in order, overlaps merged.
        std::vector<Range> pages;
        const std::vector<Range>* lists[] = {&was.written, written};
        for (const std::vector<Range>* list : lists) {
            if (list == nullptr) {
                pages.emplace_back(0, bytes.size());
                continue;
            }
            for (const auto& [at, length] : *list) {
                const uint64_t start = at / 4096 * 4096,
                               end = std::min<uint64_t>((at + length + 4095) / 4096 * 4096,
                                                        bytes.size());
                if (start < end) {
                    pages.emplace_back(start, end - start);
                }
            }
        }
        std::sort(pages.begin(), pages.end());
        was.written = written ? *written : std::vector<Range>{{0, bytes.size()}};
        // was becomes bytes page by page as they are written: no copy of
        // the whole image, and its buffer is kept from input to input. A run
        // of changed pages is one write, or one hole where they are zeros.
        was.bytes.resize(bytes.size());
        size_t runStart = 0, runEnd = 0;
        bool runZero = false;
        auto flush = [&] {
            if (runEnd != runStart &&
                (runZero ? ::fallocate(fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE,
                                       (off_t)runStart, (off_t)(runEnd - runStart)) != 0
                         : ::pwrite(fd, bytes.data() + runStart, runEnd - runStart,
                                    (off_t)runStart) != (ssize_t)(runEnd - runStart))) {
                std::abort();
            }
            for (size_t at = runStart; mirror_ != nullptr && at < runEnd;) {
                // Zeros a page at a time; written, they are a hole there too.
                const size_t n = runZero ? std::min<size_t>(4096, runEnd - at) : runEnd - at;
                mirror_->Patch(name, at, runZero ? zeros : bytes.data() + at, n);
                at += n;
            }
            runStart = runEnd;
        };
        size_t done = 0;  // pages before it have been looked at
        for (const auto& [start, length] : pages) {
            const size_t from = std::max<size_t>(start, done);
            if (from != runEnd) {  // past a gap: a new run
                flush();
                runStart = runEnd = from;
            }
            for (size_t at = from; at < start + length; at += 4096) {
                const size_t n = std::min<size_t>(4096, bytes.size() - at);
                uint8_t* old = was.bytes.data() + at;  // the file's page as it is
                if (std::memcmp(bytes.data() + at, old, n) == 0) {
                    flush();
                    runStart = runEnd = at + n;
                    continue;
                }
                std::memcpy(old, bytes.data() + at, n);
                const bool zero = std::memcmp(bytes.data() + at, zeros, n) == 0;
                if (zero != runZero) {
                    flush();
                    runZero = zero;
                }
                runEnd = at + n;
            }
            done = std::max<size_t>(done, start + length);
        }
        flush();
        if (::ftruncate(fd, (off_t)bytes.size()) != 0) {
            std::abort();
        }
        if (mirror_ != nullptr) {
            mirror_->Resize(name, bytes.size());
        }
        ::close(fd);
        put_.insert(name);
    }
    void Put(const std::string& name, const vhdxtest::Image& image) {
        Put(name, image.bytes, image.trackWrites ? &image.written : nullptr);
    }
    // Every file put is put on volume as well, in the same steps.
    void Mirror(host::MemoryVolume* volume) { mirror_ = volume; }
    // The file was changed behind Put's back.
    void Forget(const std::string& name) { files_[name].Forget(); }
    // Removes every file the input did not put (outputs, images of earlier
    // inputs); what it put stays for the next input to overwrite.
    void Clear() {
        for (const auto& entry : std::filesystem::directory_iterator(dir_)) {
            const std::string name = entry.path().filename().string();
            if (!put_.count(name)) {
                std::filesystem::remove_all(entry.path());
                files_[name].Forget();
            }
        }
        put_.clear();
    }

private:
    struct OnDisk {
        std::vector<uint8_t> bytes;  // the file's
        std::vector<Range> written;  // where they may not be zeros
        // Its buffers kept for the next input's file.
        void Forget() {
            bytes.clear();
            written.clear();
        }
    };
    std::filesystem::path dir_;
    host::MemoryVolume* mirror_ = nullptr;
    std::map<std::string, OnDisk> files_;
    std::set<std::string> put_;  // by this input
};

// A command as `pontor` runs it, its failures taken as answers: the exit
// code. Anything else thrown (or a crash) is a finding.
inline int Run(const tool::Command& command, const std::vector<std::string>& args) {
    try {
        return command.run(tool::ParseArgs(command.shape, args));
    } catch (const tool::ToolError& error) {
        return error.exitCode;
    } catch (const tool::UsageError&) {
        return tool::kExitUsage;
    }
}

// An image file opened for the driver through the volume and parsed.
struct Opened {
    VhdxContext context = {};
    FLT_RELATED_OBJECTS related = {};
    NTSTATUS status;

    Opened(host::MemoryVolume& volume, const std::string& name)
        : status(tool::OpenAndParseImage(volume, name, &context, &related)) {
        if (context.FileObject == nullptr) {
            Fail("fuzz", "cannot open the image just written");
        }
    }
    ~Opened() { PontorCloseFile(&context); }
};

}  // namespace fuzzing

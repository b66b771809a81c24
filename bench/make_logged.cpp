// Writes OUT, a dynamic VHDX whose disk is BEFORE (a raw disk file) and
// whose log, not replayed, turns it into AFTER: the image a crash leaves when
// the log reached the disk and the writes it carries did not. Each 4 KiB
// sector that differs is a data descriptor, or a zero descriptor where AFTER
// holds zeros. Blocks with data in either file are present; only data
// extents are read, so a sparse disk of any size is quick.
//
// usage: make_logged BEFORE AFTER OUT
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <set>
#include <vector>

#include "tests/support/vhdx_image.h"

namespace {

constexpr uint64_t kMiB = 1 << 20;
constexpr uint64_t kSector = 4096;
constexpr size_t kSectorsPerEntry = 96;  // two such entries fit the builder's 1 MiB log

// The MiB blocks of fd that hold data, up to size.
void DataBlocks(int fd, uint64_t size, std::set<uint64_t>* blocks) {
    for (off_t at = 0; (uint64_t)at < size;) {
        const off_t data = ::lseek(fd, at, SEEK_DATA);
        if (data < 0) {
            return;
        }
        off_t hole = ::lseek(fd, data, SEEK_HOLE);
        if (hole < 0) {
            hole = (off_t)size;
        }
        for (uint64_t b = (uint64_t)data / kMiB; b * kMiB < (uint64_t)hole; b++) {
            blocks->insert(b);
        }
        at = hole;
    }
}

std::vector<uint8_t> Block(int fd, uint64_t block) {
    std::vector<uint8_t> bytes(kMiB, 0);
    const ssize_t n = ::pread(fd, bytes.data(), bytes.size(), (off_t)(block * kMiB));
    (void)n;  // short past the end: zeros
    return bytes;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: make_logged BEFORE AFTER OUT\n");
        return 2;
    }
    const int before = ::open(argv[1], O_RDONLY), after = ::open(argv[2], O_RDONLY);
    if (before < 0 || after < 0) {
        std::fprintf(stderr, "make_logged: %s\n", std::strerror(errno));
        return 1;
    }
    const uint64_t size = std::max(::lseek(before, 0, SEEK_END), ::lseek(after, 0, SEEK_END));
    std::set<uint64_t> blocks;
    DataBlocks(before, size, &blocks);
    DataBlocks(after, size, &blocks);

    vhdxtest::ImageSpec shape;
    shape.virtualDiskSize = (size + kMiB - 1) / kMiB * kMiB;
    for (const uint64_t b : blocks) {
        shape.blocks[b] = vhdxtest::State::FullyPresent;
    }
    vhdxtest::Image image;
    vhdxtest::Layout(shape, &image);
    vhdxtest::LogSpec log{vhdxtest::Guid::Parse("{0DE7A110-6000-4000-8000-00000000C0DE}"), {}};
    size_t sectors = 0;
    for (const uint64_t b : blocks) {
        const std::vector<uint8_t> old = Block(before, b), now = Block(after, b);
        for (uint64_t s = 0; s < kMiB; s += kSector) {
            if (std::equal(&old[s], &old[s] + kSector, &now[s])) {
                continue;
            }
            if (sectors++ % kSectorsPerEntry == 0) {
                log.entries.emplace_back();
                log.entries.back().sequence = log.entries.size();
            }
            const uint64_t at = image.blockFileOffset[b] + s;
            if (std::all_of(&now[s], &now[s] + kSector, [](uint8_t v) { return v == 0; })) {
                log.entries.back().zeros.push_back({at, kSector});
            } else {
                log.entries.back().data.push_back({at, {&now[s], &now[s] + kSector}});
            }
        }
    }
    if (log.entries.size() > 2) {
        std::fprintf(stderr, "make_logged: %zu sectors differ; the log holds %zu\n", sectors,
                     2 * kSectorsPerEntry);
        return 1;
    }
    shape.log = log;
    vhdxtest::Build(shape, &image);
    for (const uint64_t b : blocks) {
        const std::vector<uint8_t> old = Block(before, b);
        std::copy(old.begin(), old.end(), &image.bytes[image.blockFileOffset[b]]);
    }
    vhdxtest::WriteFile(argv[3], image.bytes);
    std::printf("%s: %zu sectors differ, in %zu log %s\n", argv[3], sectors, log.entries.size(),
                log.entries.size() == 1 ? "entry" : "entries");
    return 0;
}

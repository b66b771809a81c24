// Read-engine benchmark: the same virtual disk read through VhdxProcessRead
// and, in the same run, the equivalent raw file read with plain positioned
// reads. Prints throughputs and the ratio engine/raw, median of several
// rounds with their spread.
//
// usage: read_bench [--rounds N] [--random-reads N] NAME=IMAGE[,PARENT]:RAW ...
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "stub/stub.h"
#include "tools/reader/image.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Case {
    std::string name;
    std::string image;
    std::string parent;  // empty for a stand-alone image
    std::string raw;
};

// One read source: fills buffer with length bytes from offset, returns bytes.
using Reader = std::function<size_t(uint64_t offset, uint32_t length, uint8_t* buffer)>;

double SecondsOf(const std::function<uint64_t()>& work, uint64_t* bytes) {
    const auto start = Clock::now();
    *bytes = work();
    return std::chrono::duration<double>(Clock::now() - start).count();
}

uint64_t Sequential(const Reader& read, uint64_t size, uint8_t* buffer) {
    constexpr uint32_t kRequest = 1 << 20;
    uint64_t total = 0;
    for (uint64_t offset = 0; offset < size; offset += kRequest) {
        const uint32_t length = (uint32_t)std::min<uint64_t>(kRequest, size - offset);
        total += read(offset, length, buffer);
    }
    return total;
}

uint64_t Random(const Reader& read, uint64_t size, uint8_t* buffer, uint32_t count) {
    constexpr uint32_t kRequest = 4096;
    std::mt19937_64 random(42);
    uint64_t total = 0;
    for (uint32_t i = 0; i < count; i++) {
        const uint64_t offset = (random() % (size / kRequest)) * kRequest;
        total += read(offset, kRequest, buffer);
    }
    return total;
}

struct Stats {
    double median, low, high;
};

Stats Summarise(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return {values[values.size() / 2], values.front(), values.back()};
}

int Fail(const std::string& what) {
    std::fprintf(stderr, "read_bench: %s\n", what.c_str());
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    int rounds = 5;
    uint32_t randomReads = 100000;
    std::vector<Case> cases;
    for (int i = 1; i < argc; i++) {
        const std::string arg = argv[i];
        if (arg == "--rounds" && i + 1 < argc) {
            rounds = std::atoi(argv[++i]);
        } else if (arg == "--random-reads" && i + 1 < argc) {
            randomReads = (uint32_t)std::atoi(argv[++i]);
        } else {
            const size_t eq = arg.find('='), colon = arg.rfind(':');
            if (eq == std::string::npos || colon == std::string::npos || colon < eq) {
                return Fail("bad case '" + arg + "' (NAME=IMAGE[,PARENT]:RAW)");
            }
            Case c{arg.substr(0, eq), arg.substr(eq + 1, colon - eq - 1), "",
                   arg.substr(colon + 1)};
            const size_t comma = c.image.find(',');
            if (comma != std::string::npos) {
                c.parent = c.image.substr(comma + 1);
                c.image = c.image.substr(0, comma);
            }
            cases.push_back(c);
        }
    }
    if (cases.empty() || rounds < 1) {
        return Fail(
            "usage: read_bench [--rounds N] [--random-reads N] NAME=IMAGE[,PARENT]:RAW ...");
    }

    std::vector<uint8_t> buffer(1 << 20);
    std::printf("%-22s %-10s %12s %12s %8s %17s\n", "case", "pattern", "engine MB/s", "raw MB/s",
                "ratio", "ratio spread");
    for (const Case& c : cases) {
        tool::Failure failure;
        auto image = tool::OpenedImage::Open(c.image, &failure, false);
        if (!image) {
            return Fail(c.image + ": " + host::StatusName(failure.status) + ": " + failure.message);
        }
        std::unique_ptr<tool::OpenedImage> parent;
        if (image->Context()->HasParent) {
            parent = tool::OpenedImage::OpenParent(*image, &failure, false);
            if (!parent) {
                return Fail(c.image + ": parent: " + failure.message);
            }
        }
        StreamContext* stream = new StreamContext();
        std::memset(stream, 0, sizeof(*stream));
        stream->VhdxContext = image->Context();
        stream->ParentVhdxFileContext = parent ? parent->Context() : nullptr;

        const int rawFd = ::open(c.raw.c_str(), O_RDONLY | O_CLOEXEC);
        if (rawFd < 0) {
            return Fail(c.raw + ": " + std::strerror(errno));
        }
        const uint64_t size = image->Context()->VirtualDiskSize;
        Reader engine = [&](uint64_t offset, uint32_t length, uint8_t* out) -> size_t {
            ULONG produced = 0;
            const NTSTATUS status = VhdxProcessRead(image->Related(), stream, image->Context(),
                                                    offset, length, out, &produced);
            if (!NT_SUCCESS(status)) {
                std::fprintf(stderr, "read_bench: %s: read at %llu: %s\n", c.name.c_str(),
                             (unsigned long long)offset, host::StatusName(status).c_str());
                std::exit(1);
            }
            return produced;
        };
        Reader raw = [&](uint64_t offset, uint32_t length, uint8_t* out) -> size_t {
            const ssize_t got = ::pread(rawFd, out, length, (off_t)offset);
            return got < 0 ? 0 : (size_t)got;
        };

        struct Pattern {
            const char* name;
            std::function<uint64_t(const Reader&)> run;
        } patterns[] = {
            {"seq 1M", [&](const Reader& r) { return Sequential(r, size, buffer.data()); }},
            {"rand 4K",
             [&](const Reader& r) { return Random(r, size, buffer.data(), randomReads); }},
        };
        for (const Pattern& pattern : patterns) {
            uint64_t bytes = 0;
            // Warm the page cache for both sources before measuring.
            SecondsOf([&] { return pattern.run(raw); }, &bytes);
            SecondsOf([&] { return pattern.run(engine); }, &bytes);
            std::vector<double> engineRates, rawRates, ratios;
            for (int round = 0; round < rounds; round++) {
                const double rawSeconds = SecondsOf([&] { return pattern.run(raw); }, &bytes);
                const double rawRate = (double)bytes / rawSeconds / 1e6;
                const double engineSeconds = SecondsOf([&] { return pattern.run(engine); }, &bytes);
                const double engineRate = (double)bytes / engineSeconds / 1e6;
                engineRates.push_back(engineRate);
                rawRates.push_back(rawRate);
                ratios.push_back(engineRate / rawRate);
            }
            const Stats e = Summarise(engineRates), r = Summarise(rawRates), q = Summarise(ratios);
            std::printf("%-22s %-10s %12.0f %12.0f %8.2f %8.2f..%-8.2f\n", c.name.c_str(),
                        pattern.name, e.median, r.median, q.median, q.low, q.high);
        }
        ::close(rawFd);
        delete stream;
    }
    return 0;
}

// pontor read, cat, convert and header: a stub's served bytes and header,
// through the driver loaded on the host Filter Manager.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <optional>
#include <thread>
#include <vector>

#include "stub/stub.h"
#include "tools/commands.h"
#include "tools/json.h"
#include "tools/output.h"
#include "tools/served.h"
#include "tools/stub_file.h"

namespace tool {
namespace {

constexpr ULONG kRequestSize = 8 << 20;  // cat and convert read in requests this large

// A page-aligned buffer: the kernel copies file data into a destination
// that is not page-aligned at half the speed.
class ReadBuffer {
public:
    explicit ReadBuffer(size_t size)
        : size_(std::max<size_t>(size, 1)),
          data_((uint8_t*)std::aligned_alloc(4096, (size_ + 4095) / 4096 * 4096)) {
        if (data_ == nullptr) {
            throw std::bad_alloc();
        }
    }
    ~ReadBuffer() { std::free(data_); }
    ReadBuffer(const ReadBuffer&) = delete;
    ReadBuffer& operator=(const ReadBuffer&) = delete;
    uint8_t* data() const { return data_; }
    size_t size() const { return size_; }

private:
    size_t size_;
    uint8_t* data_;
};

std::string StatusLine(NTSTATUS status) {
    return host::Hex((uint32_t)status, host::HexDigits::Upper, 8);
}

int Read(const ParsedArgs& args) {
    const std::string& stub = args.Arguments()[0];
    const auto offsetText = args.Value("offset");
    const auto lengthText = args.Value("length");
    if (!offsetText || !lengthText) {
        throw UsageError{"--offset and --length are both needed"};
    }
    const uint64_t offset = ParseSize("--offset", *offsetText);
    const uint64_t length = ParseSize("--length", *lengthText);
    if (offset > (uint64_t)INT64_MAX) {
        throw UsageError{"--offset: beyond the largest file offset"};
    }
    if (length > 0xFFFFFFFFu) {
        throw UsageError{"--length: one request moves at most 4294967295 bytes"};
    }
    Output output(args.Value("output").value_or(""), false);
    OpenedStub opened(stub, args);
    for (const std::string& line : opened.DriverLines()) {
        if (!args.Flag("json") && line.find("nested differencing") != std::string::npos) {
            std::fprintf(stderr, "pontor: %s: not bound, read as its own bytes: %s %s\n",
                         stub.c_str(), line.c_str(), kFlattenHint);
        }
    }
    ReadBuffer buffer(length);  // never null, even for no bytes, as an application's
    host::ReadRequest request;
    request.buffer = buffer.data();
    request.length = (ULONG)length;
    request.offset = (LONGLONG)offset;
    const host::IoResult result = host::Read(opened.Handle(), request);
    const size_t produced =
        NT_SUCCESS(result.status) ? std::min<size_t>(result.information, length) : 0;
    if (args.Flag("json")) {
        Json j;
        j.BeginObject()
            .Member("status", StatusLine(result.status))
            .Member("name", host::StatusName(result.status));
        j.Member("information", (uint64_t)result.information);
        if (!opened.LogNotices().empty()) {
            j.Key("logs").BeginArray();
            for (const LogNotice& notice : opened.LogNotices()) {
                j.BeginObject().Member("image", opened.Shown(notice));
                j.Member("applied_in_memory", notice.applied);
                if (notice.applied) {
                    j.Member("entries", (uint64_t)notice.entries);
                } else {
                    j.Member("problem", notice.problem);
                }
                j.EndObject();
            }
            j.EndArray();
        }
        j.EndObject();
        std::fprintf(stderr, "%s\n", j.Text().c_str());
    }
    if (!NT_SUCCESS(result.status)) {
        if (args.Flag("json")) {
            return kExitFailure;
        }
        throw ToolError{
            stub,
            "read of " + std::to_string(length) + " bytes at offset " + std::to_string(offset),
            result.status};
    }
    output.Write(buffer.data(), produced);
    output.Commit();
    return kExitOk;
}

// One request of a whole-disk copy; anything but all the bytes asked for is a failure.
void ReadPiece(OpenedStub& opened, const ReadBuffer& buffer, uint64_t offset, ULONG length) {
    host::ReadRequest request;
    request.buffer = buffer.data();
    request.length = length;
    request.offset = (LONGLONG)offset;
    const host::IoResult result = host::Read(opened.Handle(), request);
    if (!NT_SUCCESS(result.status)) {
        throw ToolError{
            opened.Path(),
            "read of " + std::to_string(length) + " bytes at offset " + std::to_string(offset),
            result.status};
    }
    if (result.information != length) {
        throw ToolError{opened.Path(), "read at offset " + std::to_string(offset) + " produced " +
                                           std::to_string(result.information) + " of " +
                                           std::to_string(length) +
                                           " bytes (-v shows the driver's reason)"};
    }
}

// The whole served disk of a bound stub, in order, in large requests.
void CopyServedDisk(OpenedStub& opened, Output& output) {
    opened.RequireBound();
    const uint64_t size = opened.EndOfFile();
    ReadBuffer buffer((size_t)std::min<uint64_t>(kRequestSize, size));
    for (uint64_t offset = 0; offset < size;) {
        const ULONG length = (ULONG)std::min<uint64_t>(buffer.size(), size - offset);
        ReadPiece(opened, buffer, offset, length);
        output.Write(buffer.data(), length);
        offset += length;
    }
}

// The whole served disk into a file by several workers: each takes the next
// piece, reads it through the driver (which serves one read of a stub at a
// time) and writes it at its offset, so that writing overlaps reading. Writes
// to one file take turns too (at its inode lock): a third worker keeps one
// read and one write going; more only wait.
void CopyServedDiskInParallel(OpenedStub& opened, Output& output, Progress& progress) {
    constexpr int kWorkers = 3;
    constexpr ULONG kPiece = 2 << 20;
    opened.RequireBound();
    const uint64_t size = opened.EndOfFile();
    output.Reserve(size);
    std::atomic<uint64_t> next{0}, done{0};
    std::mutex mutex;
    std::condition_variable finished;
    std::optional<ToolError> failure;
    int running = kWorkers;
    auto work = [&] {
        try {
            ReadBuffer buffer((size_t)std::min<uint64_t>(kPiece, size));
            for (;;) {
                {
                    std::lock_guard<std::mutex> lock(mutex);
                    if (failure) {
                        break;
                    }
                }
                const uint64_t offset = next.fetch_add(kPiece);
                if (offset >= size) {
                    break;
                }
                const ULONG length = (ULONG)std::min<uint64_t>(kPiece, size - offset);
                ReadPiece(opened, buffer, offset, length);
                output.WriteAt(buffer.data(), length, offset);
                done += length;
            }
        } catch (const ToolError& error) {
            std::lock_guard<std::mutex> lock(mutex);
            if (!failure) {
                failure = error;
            }
        } catch (const std::bad_alloc&) {
            std::lock_guard<std::mutex> lock(mutex);
            if (!failure) {
                failure = ToolError{opened.Path(), "out of memory"};
            }
        }
        std::lock_guard<std::mutex> lock(mutex);
        running--;
        finished.notify_all();
    };
    std::vector<std::thread> workers;
    for (int i = 0; i < kWorkers; i++) {
        workers.emplace_back(work);
    }
    {
        std::unique_lock<std::mutex> lock(mutex);
        while (running > 0) {
            finished.wait_for(lock, std::chrono::milliseconds(100));
            progress.Update(done);
        }
    }
    for (std::thread& worker : workers) {
        worker.join();
    }
    if (failure) {
        throw *failure;
    }
    progress.Update(size, true);
}

int Cat(const ParsedArgs& args) {
    Output output(args.Value("output").value_or(""), false);
    OpenedStub opened(args.Arguments()[0], args);
    CopyServedDisk(opened, output);
    output.Commit();
    return kExitOk;
}

// The image a stub names, from its header, relative to the stub's directory.
std::filesystem::path NamedImage(const std::filesystem::path& stub,
                                 const std::vector<uint8_t>& header) {
    std::string path = host::Utf8(StoredImagePath(header));
    std::replace(path.begin(), path.end(), '\\', '/');
    return stub.parent_path() / path;
}

int Convert(const ParsedArgs& args) {
    const std::string& stub = args.Arguments()[0];
    const std::string& out = args.Arguments()[1];
    OpenedStub opened(stub, args);
    opened.RequireBound();
    // Replacing what is being read would lose it.
    std::error_code error;
    const std::filesystem::path stubPath = std::filesystem::absolute(stub);
    for (const std::filesystem::path& source :
         {stubPath, NamedImage(stubPath, QueryStubHeader(opened.Handle()).bytes)}) {
        if (std::filesystem::equivalent(source, out, error)) {
            throw ToolError{out, "is the stub or its image; choose another output", {}, kExitUsage};
        }
    }
    Output output(out, true);
    Progress progress("convert", opened.EndOfFile());
    CopyServedDiskInParallel(opened, output, progress);
    output.Commit();
    return kExitOk;
}

int Header(const ParsedArgs& args) {
    const std::string& stub = args.Arguments()[0];
    OpenedStub opened(stub, args);
    const HeaderReply reply = QueryStubHeader(opened.Handle());
    if (!NT_SUCCESS(reply.status)) {
        opened.RequireBound();  // explains why, in the driver's words
        throw ToolError{stub, "header query failed", reply.status};
    }
    if (args.Flag("raw")) {
        Output output("", false);
        output.Write(reply.bytes.data(), reply.bytes.size());
        return kExitOk;
    }
    PrintStubHeader(reply.bytes);
    return kExitOk;
}

}  // namespace

// The replayed view, as every serving command's help tells it.
#define PONTOR_LOG_HELP                                                               \
    "An image whose log was not replayed (a crash, a copy of a running machine) is\n" \
    "served with its log applied in memory, as Windows applies it when it attaches\n" \
    "the disk; the file is only read, and a line on stderr says so. A log that\n"     \
    "cannot be replayed is served as the file stands, with a warning. --ignore-log\n" \
    "serves the bytes as they stand, stale, as the driver serves them on Windows.\n"

Command ReadCommand() {
    return {
        {"read",
         "STUB",
         "one read request on a stub, as the filter answers it",
         "Opens STUB through the filter stack and sends exactly one read request of\n"
         "--length bytes at --offset (decimal, 0x hex, K/M/G/T suffixes). The bytes\n"
         "produced go to stdout or FILE; with --json, stderr carries one line\n"
         "{\"status\":\"0x...\",\"name\":\"STATUS_...\",\"information\":N}, with \"logs\" when\n"
         "a log was applied or could not be. An unbound stub reads as its own bytes, as\n"
         "it does for any application; so does a VHDX file, as replayed.\n" PONTOR_LOG_HELP,
         {{0, "offset", "N", "byte offset of the request"},
          {0, "length", "N", "bytes asked for (at most 4294967295)"},
          {'o', "output", "FILE", "write the bytes to FILE instead of stdout"},
          {0, "json", nullptr, "the request's status and information on stderr"},
          kIgnoreLogOption},
         1,
         1},
        Read};
}

Command CatCommand() {
    return {{"cat",
             "STUB",
             "the whole served disk of a stub",
             "Reads the disk a bound STUB serves, from offset 0 to its served size, in\n"
             "8 MiB requests through the filter stack, to stdout or FILE. Fails if STUB is\n"
             "not bound to an image, or a request fails or comes back short.\n" PONTOR_LOG_HELP,
             {{'o', "output", "FILE", "write to FILE (whole or not at all) instead of stdout"},
              kIgnoreLogOption},
             1,
             1},
            Cat};
}

Command ConvertCommand() {
    return {{"convert",
             "STUB OUT",
             "the served disk of a stub into a sparse raw file",
             "Writes the disk a bound STUB serves to OUT as a raw image, with holes where\n"
             "the served bytes are zero. A progress bar shows on a terminal. OUT appears\n"
             "when the copy is complete and is left untouched on failure.\n" PONTOR_LOG_HELP,
             {kIgnoreLogOption},
             2,
             2},
            Convert};
}

Command HeaderCommand() {
    return {{"header",
             "STUB",
             "the stub header, through FSCTL_GET_STUB_HEADER",
             "Asks the driver for a bound STUB's header with its private control code and\n"
             "shows its signature and image path; --raw writes the 4096 bytes to "
             "stdout.\n" PONTOR_LOG_HELP,
             {{0, "raw", nullptr, "the 4096 header bytes on stdout"}, kIgnoreLogOption},
             1,
             1},
            Header};
}

}  // namespace tool

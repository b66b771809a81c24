// pontor replay: an image with its log replayed, as a full VHDX reader
// replays it before it uses the image. The driver never replays a log, so an
// image copied from a running or crashed machine is served stale until this
// has run. By default the result is a new file and the image is only read;
// with --in-place --yes the image itself is brought up to date, in an order
// that a crash at any point leaves replayable.
#include <fcntl.h>
#include <linux/falloc.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "tools/commands.h"
#include "tools/json.h"
#include "tools/output.h"
#include "tools/reader/layout.h"
#include "tools/writer/temporary_file.h"
#include "vhdx/vhdx.h"

namespace tool {
namespace {

constexpr uint32_t kSector = VHDX_LOG_SECTOR_SIZE;
constexpr uint64_t kMiB = 1 << 20;

// What replay will do, worked out from the image before anything is written.
struct Plan {
    uint64_t fileSize = 0;
    int currentHeader = 0;
    HeaderCopy header;
    Log log;
};

// Throws ToolError (subject still empty) for an image whose log cannot be
// replayed; a plan without entries when there is nothing to replay.
Plan MakePlan(const HostFile& file) {
    Layout layout = ReadLayout(file);
    if (!layout.fileSignatureOk) {
        throw ToolError{"", "not a VHDX file (no \"vhdxfile\" signature)"};
    }
    if (layout.Current() == nullptr) {
        throw ToolError{"", "neither header copy is valid"};
    }
    if (!layout.log.problem.empty()) {
        throw ToolError{"", layout.log.problem};
    }
    return {file.Size(), layout.currentHeader, *layout.Current(), std::move(layout.log)};
}

// A writable file descriptor with the errors of its writes named after path.
class Writer {
public:
    Writer(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}
    void WriteAt(const uint8_t* data, uint64_t length, uint64_t offset) const {
        WriteFully(fd_, data, (size_t)length, offset, path_);
    }
    void Resize(uint64_t size) const {
        if (::ftruncate(fd_, (off_t)size) != 0) {
            Fail(errno);
        }
    }
    // Zeros over [offset, offset + length) of the file as it is: a hole where
    // the file system makes one, written zeros where it does not.
    void Zero(uint64_t offset, uint64_t length) const {
        if (length == 0 || ::fallocate(fd_, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE,
                                       (off_t)offset, (off_t)length) == 0) {
            return;
        }
        const std::vector<uint8_t> zeros(std::min<uint64_t>(length, kMiB), 0);
        for (uint64_t done = 0; done < length;) {
            const uint64_t now = std::min<uint64_t>(zeros.size(), length - done);
            WriteAt(zeros.data(), now, offset + done);
            done += now;
        }
    }
    void Sync() const {
        if (::fsync(fd_) != 0) {
            Fail(errno);
        }
    }
    [[noreturn]] void Fail(int error) const { throw ToolError{path_, ErrnoText(error)}; }
    int fd() const { return fd_; }

private:
    int fd_;
    std::string path_;
};

// The data of source, extent by extent, into the empty file out: holes stay holes.
void CopySparse(int source, const std::string& sourcePath, const Writer& out, uint64_t size,
                Progress& progress) {
    // Left uninitialised: only what is read into it is ever touched. A MiB
    // at a time: the copy is as fast as with more, and it is fewer fresh
    // pages for every file copied.
    constexpr uint64_t kBuffer = kMiB;
    const std::unique_ptr<uint8_t[]> buffer(new uint8_t[kBuffer]);
    uint64_t offset = 0;
    while (offset < size) {
        off_t data = ::lseek(source, (off_t)offset, SEEK_DATA);
        if (data < 0 && errno == ENXIO) {
            break;  // only a hole is left
        }
        off_t hole = data < 0 ? (off_t)size : ::lseek(source, data, SEEK_HOLE);
        if (data < 0 || hole < 0) {
            data = (off_t)offset;  // a file system without holes: all of it is data
            hole = (off_t)size;
        }
        for (uint64_t at = (uint64_t)data; at < std::min<uint64_t>((uint64_t)hole, size);) {
            const uint64_t want = std::min<uint64_t>(kBuffer, std::min<uint64_t>(hole, size) - at);
            const ssize_t n = ::pread(source, buffer.get(), want, (off_t)at);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                throw ToolError{sourcePath, n < 0 ? ErrnoText(errno) : "shorter than it was"};
            }
            out.WriteAt(buffer.get(), (uint64_t)n, at);
            at += (uint64_t)n;
            progress.Update(at);
        }
        offset = (uint64_t)hole;
    }
    out.Resize(size);
}

// The log's updates, tail to head; then the file grows to at least the
// head's last file offset, so that every structure lies inside it.
void ApplyUpdates(const Plan& plan, const Writer& out) {
    uint64_t size = plan.fileSize;
    for (const LogEntry& entry : plan.log.entries) {
        for (const LogUpdate& u : entry.updates) {
            if (u.zero) {
                // Past the end of the file, growing it supplies the zeros.
                out.Zero(u.fileOffset,
                         std::min(u.fileOffset + u.length, size) - std::min(u.fileOffset, size));
            } else {
                out.WriteAt(u.sector.data(), kSector, u.fileOffset);
            }
            if (u.fileOffset + u.length > size) {
                size = u.fileOffset + u.length;
                out.Resize(size);
            }
        }
    }
    if (plan.log.finalSize > size) {
        out.Resize(plan.log.finalSize);
    }
}

// Both header copies with the log cleared (ReplayedHeaders): first the one
// that is not current, then the current one. Each reaches the disk before
// the next is written, so a crash leaves one sound copy, and until the
// first lands the log is still there to replay.
void WriteHeaders(const Plan& plan, const HostFile& source, const Writer& out) {
    uint8_t current[VHDX_HEADER_SIZE];
    source.ReadAt(plan.header.offset, current, sizeof current);
    const auto copies = ReplayedHeaders(current, plan.currentHeader, plan.header, plan.log);
    const uint64_t offsets[2] = {VHDX_HEADER_OFFSET, 2 * (uint64_t)VHDX_HEADER_OFFSET};
    for (const int copy : {1 - plan.currentHeader, plan.currentHeader}) {
        out.WriteAt(copies[copy].data(), copies[copy].size(), offsets[copy]);
        out.Sync();
    }
}

void Report(const ParsedArgs& args, const std::string& image, const std::string& written,
            const Plan& plan) {
    const Log& log = plan.log;
    const std::vector<LogEntry>& entries = log.entries;
    if (args.Flag("json")) {
        Json j;
        j.BeginObject().Member("image", image).Member("output", written);
        j.Member("replayed", !entries.empty()).Member("entries", (uint64_t)entries.size());
        if (!entries.empty()) {
            j.Member("first_sequence", (uint64_t)entries.front().header.SequenceNumber);
            j.Member("last_sequence", (uint64_t)entries.back().header.SequenceNumber);
        }
        j.Member("data_sectors", log.dataSectors).Member("zeroed_bytes", log.zeroBytes);
        j.Member("file_size", log.finalSize).EndObject();
        std::printf("%s\n", j.Text().c_str());
    } else if (entries.empty()) {
        std::printf(
            "%s: no log to replay%s\n", image.c_str(),
            written == image ? "; left as it was" : ("; " + written + " is a copy").c_str());
    } else {
        std::printf(
            "%s: replayed %zu log %s (sequence %llu to %llu: %llu data %s, %llu bytes "
            "zeroed), %llu bytes\n",
            written.c_str(), entries.size(), entries.size() == 1 ? "entry" : "entries",
            (unsigned long long)entries.front().header.SequenceNumber,
            (unsigned long long)entries.back().header.SequenceNumber,
            (unsigned long long)log.dataSectors, log.dataSectors == 1 ? "sector" : "sectors",
            (unsigned long long)log.zeroBytes, (unsigned long long)log.finalSize);
    }
}

int Replay(const ParsedArgs& args) {
    const std::string& image = args.Arguments()[0];
    const bool inPlace = args.Flag("in-place");
    if (inPlace && args.Arguments().size() != 1) {
        throw UsageError{"--in-place replays into IMAGE itself; give no OUT"};
    }
    if (!inPlace && args.Arguments().size() != 2) {
        throw UsageError{"missing OUT (or --in-place --yes to replay into IMAGE itself)"};
    }
    if (inPlace && !args.Flag("yes")) {
        throw UsageError{"--in-place rewrites " + image + "; add --yes to confirm"};
    }
    if (args.Flag("yes") && !inPlace) {
        throw UsageError{"--yes confirms --in-place, which was not given"};
    }
    std::error_code error;
    if (!inPlace && std::filesystem::equivalent(image, args.Arguments()[1], error)) {
        throw ToolError{args.Arguments()[1],
                        "is IMAGE itself; choose another output, or --in-place --yes",
                        {},
                        kExitUsage};
    }
    std::string openError;
    std::unique_ptr<HostFile> file = HostFile::Open(image, &openError);
    if (!file) {
        throw ToolError{image, openError};
    }
    Plan plan;
    try {
        plan = MakePlan(*file);
    } catch (ToolError& failure) {
        failure.subject = image;
        failure.message = "cannot replay: " + failure.message;
        throw;
    }

    if (inPlace) {
        if (!plan.log.entries.empty()) {
            const int fd = ::open(image.c_str(), O_RDWR | O_CLOEXEC);
            if (fd < 0) {
                throw ToolError{image, ErrnoText(errno)};
            }
            const Writer out(fd, image);
            try {
                // The log stays until every update is on disk.
                ApplyUpdates(plan, out);
                out.Sync();
                WriteHeaders(plan, *file, out);
            } catch (...) {
                ::close(fd);
                throw;
            }
            if (::close(fd) != 0) {
                throw ToolError{image, ErrnoText(errno)};
            }
        }
        Report(args, image, image, plan);
        return kExitOk;
    }

    const std::string& target = args.Arguments()[1];
    const int source = ::open(image.c_str(), O_RDONLY | O_CLOEXEC);
    if (source < 0) {
        throw ToolError{image, ErrnoText(errno)};
    }
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{source};
    TemporaryFile temporary(target);
    const Writer out(temporary.fd(), target);
    {
        Progress progress("replay", plan.fileSize);
        CopySparse(source, image, out, plan.fileSize, progress);
        progress.Update(plan.fileSize, true);
    }
    if (!plan.log.entries.empty()) {
        ApplyUpdates(plan, out);
        WriteHeaders(plan, *file, out);
    }
    temporary.Commit();
    Report(args, image, target, plan);
    return kExitOk;
}

}  // namespace

Command ReplayCommand() {
    return {{"replay",
             "IMAGE [OUT]",
             "a copy of an image with its log replayed",
             "Writes OUT, a copy of IMAGE with its log replayed as a full VHDX reader\n"
             "replays it: the newest complete sequence of log entries (this log's GUID,\n"
             "intact, consecutive, from the tail its newest entry names) is applied, the\n"
             "file grows to the size the log asks, and both headers are rewritten with the\n"
             "log cleared. Torn entries and entries of an earlier log are passed over. IMAGE\n"
             "is only read; OUT is sparse where IMAGE is and appears only when complete.\n"
             "A log that cannot be replayed is refused with the reason (a log GUID without\n"
             "a complete sequence is a corrupt file). An image with no log to replay (its\n"
             "log GUID is zero) is copied as it is and the command says so (exit status 0).\n"
             "With --in-place --yes, IMAGE itself is replayed: every update reaches the\n"
             "disk before the headers change, one copy at a time, so a crash leaves it\n"
             "replayable.\n",
             {{0, "in-place", nullptr, "replay into IMAGE itself (needs --yes)"},
              {0, "yes", nullptr, "confirm --in-place"},
              {0, "json", nullptr, "one JSON object on stdout"}},
             1,
             2},
            Replay};
}

}  // namespace tool

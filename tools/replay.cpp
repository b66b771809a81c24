// pontor replay: an image with its log replayed, as a full VHDX reader
// replays it before it uses the image. The driver never replays a log, so an
// image copied from a running or crashed machine is served stale until this
// has run. By default the result is a new file and the image is only read;
// with --in-place --yes the image itself is brought up to date, in an order
// that a crash at any point leaves replayable.
#include <fcntl.h>
#include <linux/falloc.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
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
constexpr uint32_t kEntryHeaderSize = sizeof(VHDX_LOG_ENTRY_HEADER);
constexpr uint32_t kDescriptorSize = 32;
constexpr uint32_t kZeroSignature = 0x6F72657A;        // "zero"
constexpr uint32_t kDataSignature = 0x63736564;        // "desc"
constexpr uint32_t kDataSectorSignature = 0x61746164;  // "data"
// The two header copies: the log never writes them, replay does last.
constexpr uint64_t kHeadersBegin = VHDX_HEADER_OFFSET;
constexpr uint64_t kHeadersEnd = 3 * (uint64_t)VHDX_HEADER_OFFSET;

std::string Hex(uint64_t value) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%llX", (unsigned long long)value);
    return text;
}

void Store64(uint8_t* p, uint64_t v) {
    VhdxStore32(p, (ULONG)v);
    VhdxStore32(p + 4, (ULONG)(v >> 32));
}

// One update a log entry carries: a whole 4 KiB sector, or a run of zeros.
struct Update {
    bool zero;
    uint64_t fileOffset;
    uint64_t length;
    std::vector<uint8_t> sector;  // a data update's 4096 bytes
};

struct Entry {
    uint64_t position;  // its offset in the log
    VHDX_LOG_ENTRY_HEADER header;
    std::vector<Update> updates;

    uint64_t Next(uint64_t logLength) const { return (position + header.EntryLength) % logLength; }
};

// The log region, read whole; positions wrap around its end.
class LogRegion {
public:
    explicit LogRegion(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) {}
    uint64_t Length() const { return bytes_.size(); }
    void Read(uint64_t position, uint8_t* out, uint64_t length) const {
        while (length > 0) {
            position %= bytes_.size();
            const uint64_t now = std::min<uint64_t>(length, bytes_.size() - position);
            std::memcpy(out, &bytes_[position], now);
            out += now;
            position += now;
            length -= now;
        }
    }

private:
    std::vector<uint8_t> bytes_;
};

// The entry at position if every field of it is as the format requires:
// signature, lengths and offsets, reserved fields zero, sequence number,
// GUID, checksum, and every descriptor and data sector carrying the entry's
// sequence number. Anything else is a torn or stale entry, which is no part
// of any sequence.
std::optional<Entry> ParseEntry(const LogRegion& log, uint64_t position, const Guid& logGuid) {
    uint8_t first[kEntryHeaderSize];
    log.Read(position, first, sizeof first);
    Entry entry{position, {}, {}};
    VHDX_LOG_ENTRY_HEADER& h = entry.header;
    VhdxLoadLogEntryHeader(first, &h);
    if (h.Signature != VHDX_LOG_ENTRY_SIGNATURE || h.EntryLength == 0 ||
        h.EntryLength % kSector != 0 || h.EntryLength > log.Length() || h.Tail % kSector != 0 ||
        h.Tail >= log.Length() || h.SequenceNumber == 0 || h.Reserved != 0 ||
        h.FlushedFileOffset % kMiB != 0 || h.LastFileOffset % kMiB != 0 ||
        !(Guid::From(h.LogGuid) == logGuid)) {
        return std::nullopt;
    }
    const uint64_t sectors = h.EntryLength / kSector;
    const uint64_t descriptorSectors =
        (kEntryHeaderSize + (uint64_t)kDescriptorSize * h.DescriptorCount + kSector - 1) / kSector;
    if (descriptorSectors > sectors) {
        return std::nullopt;
    }
    std::vector<uint8_t> bytes(h.EntryLength);
    log.Read(position, bytes.data(), bytes.size());
    if (VhdxCrc32cFinal(VhdxCrc32cUpdateStructure(VhdxCrc32cInit(), bytes.data(), h.EntryLength)) !=
        h.Checksum) {
        return std::nullopt;
    }
    uint64_t dataSector = descriptorSectors;
    for (uint32_t i = 0; i < h.DescriptorCount; i++) {
        const uint8_t* d = &bytes[kEntryHeaderSize + (uint64_t)kDescriptorSize * i];
        const uint32_t signature = VhdxLoad32(d);
        Update update{signature == kZeroSignature, VhdxLoad64(d + 16), kSector, {}};
        if (VhdxLoad64(d + 24) != h.SequenceNumber || update.fileOffset % kSector != 0) {
            return std::nullopt;
        }
        if (update.zero) {
            update.length = VhdxLoad64(d + 8);
            if (VhdxLoad32(d + 4) != 0 || update.length % kSector != 0) {
                return std::nullopt;
            }
        } else if (signature == kDataSignature) {
            if (dataSector >= sectors) {
                return std::nullopt;
            }
            const uint8_t* s = &bytes[kSector * dataSector++];
            if (VhdxLoad32(s) != kDataSectorSignature ||
                VhdxLoad32(s + 4) != (ULONG)(h.SequenceNumber >> 32) ||
                VhdxLoad32(s + kSector - 4) != (ULONG)h.SequenceNumber) {
                return std::nullopt;
            }
            // The sector's first 8 and last 4 bytes live in its descriptor.
            update.sector.assign(s, s + kSector);
            std::memcpy(&update.sector[0], d + 8, 8);
            std::memcpy(&update.sector[kSector - 4], d + 4, 4);
        } else {
            return std::nullopt;
        }
        entry.updates.push_back(std::move(update));
    }
    return entry;
}

struct ActiveSequence {
    std::vector<Entry> entries;  // tail to head; empty: nothing to replay
};

// The sequence to replay. A sequence is a run of valid entries, each
// beginning where the one before it ends and numbered one higher; it ends
// where no such entry follows (its head), and it is complete when it holds
// the entry its head names as the tail. The active sequence is the complete
// one with the newest head, replayed from that tail entry on. A log without
// one makes the file corrupt: a full reader refuses to open it.
ActiveSequence FindActiveSequence(const LogRegion& log, const Guid& logGuid) {
    std::vector<Entry> valid;
    for (uint64_t position = 0; position < log.Length(); position += kSector) {
        if (auto entry = ParseEntry(log, position, logGuid)) {
            valid.push_back(std::move(*entry));
        }
    }
    ActiveSequence active;
    std::multimap<uint64_t, size_t> byPosition, byEnd;
    for (size_t i = 0; i < valid.size(); i++) {
        byPosition.emplace(valid[i].position, i);
        byEnd.emplace(valid[i].Next(log.Length()), i);
    }
    // The entry that continues (next) or precedes (previous) entry i in a run.
    auto linked = [&](const std::multimap<uint64_t, size_t>& index, uint64_t at,
                      uint64_t sequence) -> std::optional<size_t> {
        const auto [from, to] = index.equal_range(at);
        for (auto it = from; it != to; ++it) {
            if (valid[it->second].header.SequenceNumber == sequence) {
                return it->second;
            }
        }
        return std::nullopt;
    };
    std::vector<size_t> heads;
    for (size_t i = 0; i < valid.size(); i++) {
        if (!linked(byPosition, valid[i].Next(log.Length()), valid[i].header.SequenceNumber + 1)) {
            heads.push_back(i);
        }
    }
    std::sort(heads.begin(), heads.end(), [&](size_t a, size_t b) {
        return valid[a].header.SequenceNumber > valid[b].header.SequenceNumber;
    });
    std::optional<ToolError> incomplete;
    for (const size_t head : heads) {
        std::vector<size_t> run = {head};  // head first
        bool complete = valid[head].position == valid[head].header.Tail;
        while (!complete && run.size() < valid.size()) {
            const Entry& earliest = valid[run.back()];
            const auto previous =
                linked(byEnd, earliest.position, earliest.header.SequenceNumber - 1);
            if (!previous) {
                break;
            }
            run.push_back(*previous);
            complete = valid[*previous].position == valid[head].header.Tail;
        }
        if (complete) {
            for (auto it = run.rbegin(); it != run.rend(); ++it) {
                active.entries.push_back(std::move(valid[*it]));
            }
            return active;
        }
        if (!incomplete) {
            const Entry& h = valid[head];
            incomplete = ToolError{
                "", "the newest log entry (sequence " + std::to_string(h.header.SequenceNumber) +
                        " at log offset " + Hex(h.position) + ") names its tail at log offset " +
                        Hex(h.header.Tail) + ", which is not in its run of " +
                        std::to_string(run.size()) + " consecutive entries; entries are missing"};
        }
    }
    if (incomplete) {
        throw *incomplete;
    }
    throw ToolError{"", "the header names log GUID " + logGuid.Text() +
                            " but the log holds no valid entry of it: the file is corrupt"};
}

// What replay will do, worked out from the image before anything is written.
struct Plan {
    uint64_t fileSize = 0;
    int currentHeader = 0;
    HeaderCopy header;
    ActiveSequence sequence;
    uint64_t finalSize = 0;
    uint64_t dataSectors = 0, zeroBytes = 0;
};

// Throws ToolError (subject still empty) for an image whose log cannot be
// replayed; a plan without entries when there is nothing to replay.
Plan MakePlan(const HostFile& file) {
    const Layout layout = ReadLayout(file);
    Plan plan;
    plan.fileSize = plan.finalSize = file.Size();
    if (!layout.fileSignatureOk) {
        throw ToolError{"", "not a VHDX file (no \"vhdxfile\" signature)"};
    }
    // A header is current when it is the only valid one or the valid one
    // with the greater sequence number; without one the file is corrupt.
    const HeaderCopy* current = layout.Current();
    if (layout.headers[0].Valid() && layout.headers[1].Valid() &&
        layout.headers[0].sequenceNumber == layout.headers[1].sequenceNumber) {
        current = nullptr;
    }
    if (current == nullptr) {
        throw ToolError{"", layout.headers[0].Valid() && layout.headers[1].Valid()
                                ? "the two header copies have the same sequence number, so "
                                  "neither is current"
                                : "neither header copy is valid"};
    }
    plan.currentHeader = layout.currentHeader;
    plan.header = *current;
    if (current->logGuid.IsZero()) {
        return plan;
    }
    const std::string region = "the log (" + std::to_string(current->logLength) + " bytes at " +
                               Hex(current->logOffset) + ")";
    if (current->logVersion != 0) {
        throw ToolError{"", "log version " + std::to_string(current->logVersion) +
                                "; only version 0 is defined"};
    }
    if (current->logLength == 0 || current->logLength % kMiB != 0 || current->logOffset < kMiB ||
        current->logOffset % kMiB != 0) {
        throw ToolError{"", region +
                                " is not a whole number of MiB at a MiB boundary past the "
                                "header section"};
    }
    if (current->logOffset > file.Size() || current->logLength > file.Size() - current->logOffset) {
        throw ToolError{"", region + " reaches past the end of the file (" +
                                std::to_string(file.Size()) + " bytes)"};
    }
    std::vector<uint8_t> bytes(current->logLength);
    file.ReadAt(current->logOffset, bytes.data(), bytes.size());
    plan.sequence = FindActiveSequence(LogRegion(std::move(bytes)), current->logGuid);

    const VHDX_LOG_ENTRY_HEADER& head = plan.sequence.entries.back().header;
    if (head.FlushedFileOffset > file.Size()) {
        throw ToolError{"", "the file is " + std::to_string(file.Size()) +
                                " bytes but the newest log entry (sequence " +
                                std::to_string(head.SequenceNumber) + ") was written when " +
                                std::to_string(head.FlushedFileOffset) +
                                " were on disk: the file was truncated"};
    }
    // Descriptors may reach past the end of the file, which then grows; but
    // the headers are never updated through the log, and replay must not
    // overwrite the entries it reads.
    const uint64_t logEnd = current->logOffset + current->logLength;
    for (const Entry& entry : plan.sequence.entries) {
        const std::string which =
            "the log entry of sequence " + std::to_string(entry.header.SequenceNumber);
        for (const Update& u : entry.updates) {
            const std::string what = which + " writes " + std::to_string(u.length) +
                                     " bytes at file offset " + Hex(u.fileOffset);
            if (!VhdxWithinFileOffsets(u.fileOffset, u.length)) {
                throw ToolError{"", what + ", beyond the largest file offset"};
            }
            const uint64_t end = u.fileOffset + u.length;
            if (u.length > 0 && u.fileOffset < kHeadersEnd && end > kHeadersBegin) {
                throw ToolError{"", what + ", over the headers, which the log never updates"};
            }
            if (u.length > 0 && u.fileOffset < logEnd && end > current->logOffset) {
                throw ToolError{"", what + ", over the log itself"};
            }
            plan.finalSize = std::max(plan.finalSize, end);
            (u.zero ? plan.zeroBytes : plan.dataSectors) += u.zero ? u.length : 1;
        }
    }
    plan.finalSize = std::max(plan.finalSize, head.LastFileOffset);
    return plan;
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
    // Left uninitialised: only what is read into it is ever touched.
    constexpr uint64_t kBuffer = 8 * kMiB;
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
    for (const Entry& entry : plan.sequence.entries) {
        for (const Update& u : entry.updates) {
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
    if (plan.finalSize > size) {
        out.Resize(plan.finalSize);
    }
}

// Both header copies with the log cleared: first the one that is not
// current, numbered one past the current, then the current one, one further.
// Each reaches the disk before the next is written, so a crash leaves one
// sound copy, and until the first lands the log is still there to replay.
void WriteHeaders(const Plan& plan, const HostFile& source, const Writer& out) {
    uint8_t header[VHDX_HEADER_SIZE];
    source.ReadAt(plan.header.offset, header, sizeof header);
    uint8_t fileWriteGuid[16];
    if (::getrandom(fileWriteGuid, sizeof fileWriteGuid, 0) != (ssize_t)sizeof fileWriteGuid) {
        throw ToolError{"", "no random bytes for a new file write GUID: " + ErrnoText(errno)};
    }
    // A changed file gets a new file write GUID; the data write GUID stays,
    // as children name their parent by it.
    std::memcpy(header + offsetof(VHDX_HEADER, FileWriteGuid), fileWriteGuid, 16);
    std::memset(header + offsetof(VHDX_HEADER, LogGuid), 0, sizeof(VHDX_GUID));
    const uint64_t copies[2] = {VHDX_HEADER_OFFSET, 2 * (uint64_t)VHDX_HEADER_OFFSET};
    for (int step = 1; step <= 2; step++) {
        Store64(header + offsetof(VHDX_HEADER, SequenceNumber), plan.header.sequenceNumber + step);
        VhdxStore32(header + offsetof(VHDX_HEADER, Checksum), 0);
        VhdxStore32(header + offsetof(VHDX_HEADER, Checksum),
                    VhdxComputeChecksum(header, sizeof header));
        const int copy = step == 1 ? 1 - plan.currentHeader : plan.currentHeader;
        out.WriteAt(header, sizeof header, copies[copy]);
        out.Sync();
    }
}

void Report(const ParsedArgs& args, const std::string& image, const std::string& written,
            const Plan& plan) {
    const std::vector<Entry>& entries = plan.sequence.entries;
    if (args.Flag("json")) {
        Json j;
        j.BeginObject().Member("image", image).Member("output", written);
        j.Member("replayed", !entries.empty()).Member("entries", (uint64_t)entries.size());
        if (!entries.empty()) {
            j.Member("first_sequence", (uint64_t)entries.front().header.SequenceNumber);
            j.Member("last_sequence", (uint64_t)entries.back().header.SequenceNumber);
        }
        j.Member("data_sectors", plan.dataSectors).Member("zeroed_bytes", plan.zeroBytes);
        j.Member("file_size", plan.finalSize).EndObject();
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
            (unsigned long long)plan.dataSectors, plan.dataSectors == 1 ? "sector" : "sectors",
            (unsigned long long)plan.zeroBytes, (unsigned long long)plan.finalSize);
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
        if (!plan.sequence.entries.empty()) {
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
    if (!plan.sequence.entries.empty()) {
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

#include "tools/reader/log.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <map>
#include <optional>

#include "tools/reader/layout.h"
#include "vhdx/vhdx.h"

namespace tool {
namespace {

constexpr uint32_t kSector = VHDX_LOG_SECTOR_SIZE;
constexpr uint64_t kMiB = 1 << 20;
constexpr uint32_t kEntryHeaderSize = sizeof(VHDX_LOG_ENTRY_HEADER);
constexpr uint32_t kDescriptorSize = sizeof(VHDX_LOG_ZERO_DESCRIPTOR);
static_assert(sizeof(VHDX_LOG_DATA_DESCRIPTOR) == kDescriptorSize, "one descriptor size");
// The two header copies: the log never writes them, replay does last.
constexpr uint64_t kHeadersBegin = VHDX_HEADER_OFFSET;
constexpr uint64_t kHeadersEnd = 3 * (uint64_t)VHDX_HEADER_OFFSET;

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

uint64_t Next(const LogEntry& entry, uint64_t logLength) {
    return (entry.position + entry.header.EntryLength) % logLength;
}

// The entry at position if every field of it is as the format requires:
// signature, lengths and offsets, reserved fields zero, sequence number,
// GUID, checksum, and every descriptor and data sector carrying the entry's
// sequence number. Anything else is a torn or stale entry, which is no part
// of any sequence.
std::optional<LogEntry> ParseEntry(const LogRegion& log, uint64_t position, const Guid& logGuid) {
    uint8_t first[kEntryHeaderSize];
    log.Read(position, first, sizeof first);
    LogEntry entry{position, {}, {}};
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
        VHDX_LOG_ZERO_DESCRIPTOR zero;
        VhdxLoadLogZeroDescriptor(d, &zero);
        if (zero.Signature == VHDX_LOG_ZERO_SIGNATURE) {
            if (zero.Reserved != 0 || zero.ZeroLength % kSector != 0 ||
                zero.FileOffset % kSector != 0 || zero.SequenceNumber != h.SequenceNumber) {
                return std::nullopt;
            }
            entry.updates.push_back({true, zero.FileOffset, zero.ZeroLength, {}});
            continue;
        }
        VHDX_LOG_DATA_DESCRIPTOR data;
        VhdxLoadLogDataDescriptor(d, &data);
        if (data.Signature != VHDX_LOG_DESCRIPTOR_SIGNATURE || data.FileOffset % kSector != 0 ||
            data.SequenceNumber != h.SequenceNumber || dataSector >= sectors) {
            return std::nullopt;
        }
        VHDX_LOG_DATA_SECTOR sector;
        VhdxLoadLogDataSector(&bytes[kSector * dataSector++], &sector);
        if (sector.Signature != VHDX_LOG_DATA_SIGNATURE ||
            sector.SequenceHigh != (ULONG)(h.SequenceNumber >> 32) ||
            sector.SequenceLow != (ULONG)h.SequenceNumber) {
            return std::nullopt;
        }
        LogUpdate update{false, data.FileOffset, kSector, std::vector<uint8_t>(kSector)};
        std::memcpy(&update.sector[0], data.LeadingBytes, sizeof data.LeadingBytes);
        std::memcpy(&update.sector[sizeof data.LeadingBytes], sector.Data, sizeof sector.Data);
        std::memcpy(&update.sector[kSector - sizeof data.TrailingBytes], data.TrailingBytes,
                    sizeof data.TrailingBytes);
        entry.updates.push_back(std::move(update));
    }
    return entry;
}

// The sequence to replay. A sequence is a run of valid entries, each
// beginning where the one before it ends and numbered one higher; it ends
// where no such entry follows (its head), and it is complete when it holds
// the entry its head names as the tail. The active sequence is the complete
// one with the newest head, replayed from that tail entry on. A log without
// one makes the file corrupt: a full reader refuses to open it.
void FindActiveSequence(const LogRegion& log, const Guid& logGuid, Log* out) {
    std::vector<LogEntry> valid;
    for (uint64_t position = 0; position < log.Length(); position += kSector) {
        if (auto entry = ParseEntry(log, position, logGuid)) {
            valid.push_back(std::move(*entry));
        }
    }
    std::multimap<uint64_t, size_t> byPosition, byEnd;
    for (size_t i = 0; i < valid.size(); i++) {
        byPosition.emplace(valid[i].position, i);
        byEnd.emplace(Next(valid[i], log.Length()), i);
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
        if (!linked(byPosition, Next(valid[i], log.Length()), valid[i].header.SequenceNumber + 1)) {
            heads.push_back(i);
        }
    }
    std::sort(heads.begin(), heads.end(), [&](size_t a, size_t b) {
        return valid[a].header.SequenceNumber > valid[b].header.SequenceNumber;
    });
    for (const size_t head : heads) {
        std::vector<size_t> run = {head};  // head first
        bool complete = valid[head].position == valid[head].header.Tail;
        while (!complete && run.size() < valid.size()) {
            const LogEntry& earliest = valid[run.back()];
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
                out->entries.push_back(std::move(valid[*it]));
            }
            out->state = Log::State::Replayable;
            out->problem.clear();
            return;
        }
        if (out->problem.empty()) {
            const LogEntry& h = valid[head];
            out->state = Log::State::Damaged;
            out->problem = "the newest log entry (sequence " +
                           std::to_string(h.header.SequenceNumber) + " at log offset " +
                           Hex(h.position, HexDigits::Upper) + ") names its tail at log offset " +
                           Hex(h.header.Tail, HexDigits::Upper) + ", which is not in its run of " +
                           std::to_string(run.size()) + " consecutive entries; entries are missing";
        }
    }
    if (out->problem.empty()) {
        out->state = Log::State::Empty;
        out->problem = "the header names log GUID " + logGuid.Text() +
                       " but the log holds no valid entry of it: the file is corrupt";
    }
}

// Why the active sequence cannot be applied, or empty: descriptors may
// reach past the end of the file, which then grows; but the headers are
// never updated through the log, and replay must not overwrite the entries
// it reads.
std::string Apply(const HostFile& file, const HeaderCopy& header, Log* log) {
    const VHDX_LOG_ENTRY_HEADER& head = log->entries.back().header;
    if (head.FlushedFileOffset > file.Size()) {
        return "the file is " + std::to_string(file.Size()) +
               " bytes but the newest log entry (sequence " + std::to_string(head.SequenceNumber) +
               ") was written when " + std::to_string(head.FlushedFileOffset) +
               " were on disk: the file was truncated";
    }
    const uint64_t logEnd = header.logOffset + header.logLength;
    for (const LogEntry& entry : log->entries) {
        log->descriptors += entry.header.DescriptorCount;
        for (const LogUpdate& u : entry.updates) {
            const std::string what = "the log entry of sequence " +
                                     std::to_string(entry.header.SequenceNumber) + " writes " +
                                     std::to_string(u.length) + " bytes at file offset " +
                                     Hex(u.fileOffset, HexDigits::Upper);
            if (!VhdxWithinFileOffsets(u.fileOffset, u.length)) {
                return what + ", beyond the largest file offset";
            }
            const uint64_t end = u.fileOffset + u.length;
            if (u.length > 0 && u.fileOffset < kHeadersEnd && end > kHeadersBegin) {
                return what + ", over the headers, which the log never updates";
            }
            if (u.length > 0 && u.fileOffset < logEnd && end > header.logOffset) {
                return what + ", over the log itself";
            }
            log->finalSize = std::max(log->finalSize, end);
            (u.zero ? log->zeroBytes : log->dataSectors) += u.zero ? u.length : 1;
        }
    }
    log->finalSize = std::max(log->finalSize, head.LastFileOffset);
    return "";
}

}  // namespace

std::array<HeaderBytes, 2> ReplayedHeaders(const uint8_t* current, int currentCopy,
                                           const HeaderCopy& header, const Log& log) {
    HeaderBytes bytes;
    std::memcpy(bytes.data(), current, bytes.size());
    // Four CRC-32C values over the header and the head entry's sequence
    // number and checksum, each with its own first byte.
    uint8_t head[12] = {};
    if (!log.entries.empty()) {
        const VHDX_LOG_ENTRY_HEADER& h = log.entries.back().header;
        VhdxStore32(head, (ULONG)h.SequenceNumber);
        VhdxStore32(head + 4, (ULONG)(h.SequenceNumber >> 32));
        VhdxStore32(head + 8, h.Checksum);
    }
    uint8_t guid[16];
    for (uint8_t i = 0; i < 4; i++) {
        ULONG state = VhdxCrc32cUpdate(VhdxCrc32cInit(), &i, 1);
        state = VhdxCrc32cUpdate(state, current, VHDX_HEADER_SIZE);
        VhdxStore32(guid + 4 * i, VhdxCrc32cFinal(VhdxCrc32cUpdate(state, head, sizeof head)));
    }
    guid[7] = (uint8_t)((guid[7] & 0x0F) | 0x80);  // version 8: made by the program's own rule
    guid[8] = (uint8_t)((guid[8] & 0x3F) | 0x80);  // the standard variant
    std::memcpy(&bytes[offsetof(VHDX_HEADER, FileWriteGuid)], guid, sizeof guid);
    std::memset(&bytes[offsetof(VHDX_HEADER, LogGuid)], 0, sizeof(VHDX_GUID));
    std::array<HeaderBytes, 2> copies;
    for (int step = 1; step <= 2; step++) {
        const uint64_t sequence = header.sequenceNumber + step;
        VhdxStore32(&bytes[offsetof(VHDX_HEADER, SequenceNumber)], (ULONG)sequence);
        VhdxStore32(&bytes[offsetof(VHDX_HEADER, SequenceNumber) + 4], (ULONG)(sequence >> 32));
        VhdxStore32(&bytes[offsetof(VHDX_HEADER, Checksum)], 0);
        VhdxStore32(&bytes[offsetof(VHDX_HEADER, Checksum)],
                    VhdxComputeChecksum(bytes.data(), (ULONG)bytes.size()));
        copies[step == 1 ? 1 - currentCopy : currentCopy] = bytes;
    }
    return copies;
}

Log ReadLog(const HostFile& file, const HeaderCopy& header) {
    Log log;
    log.finalSize = file.Size();
    if (header.logGuid.IsZero()) {
        return log;
    }
    log.state = Log::State::Empty;
    const std::string region = "the log (" + std::to_string(header.logLength) + " bytes at " +
                               Hex(header.logOffset, HexDigits::Upper) + ")";
    if (header.logVersion != 0) {
        log.problem =
            "log version " + std::to_string(header.logVersion) + "; only version 0 is defined";
    } else if (header.logLength == 0 || header.logLength % kMiB != 0 || header.logOffset < kMiB ||
               header.logOffset % kMiB != 0) {
        log.problem =
            region + " is not a whole number of MiB at a MiB boundary past the header section";
    } else if (header.logOffset > file.Size() ||
               header.logLength > file.Size() - header.logOffset) {
        log.problem = region + " reaches past the end of the file (" + std::to_string(file.Size()) +
                      " bytes)";
    }
    if (!log.problem.empty()) {
        return log;
    }
    std::vector<uint8_t> bytes(header.logLength);
    file.ReadAt(header.logOffset, bytes.data(), bytes.size());
    FindActiveSequence(LogRegion(std::move(bytes)), header.logGuid, &log);
    if (log.state == Log::State::Replayable) {
        if (std::string problem = Apply(file, header, &log); !problem.empty()) {
            log = Log{Log::State::Damaged, std::move(problem), {}, file.Size()};
        }
    }
    return log;
}

}  // namespace tool

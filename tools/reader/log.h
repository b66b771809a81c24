// The log as a full VHDX reader replays it before it uses the image: every
// entry validated, the sequence to replay chosen, and what it does to the
// file. The driver never replays a log; check reports what this finds and
// replay applies it, so the two agree on every log.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "vhdx/vhdx_format.h"

namespace tool {

class HostFile;
struct HeaderCopy;

// One update a log entry carries: a whole 4 KiB sector, or a run of zeros.
struct LogUpdate {
    bool zero;
    uint64_t fileOffset;
    uint64_t length;
    std::vector<uint8_t> sector;  // a data update's 4096 bytes
};

struct LogEntry {
    uint64_t position;  // its offset in the log
    VHDX_LOG_ENTRY_HEADER header;
    std::vector<LogUpdate> updates;
};

struct Log {
    enum class State {
        None,     // the log GUID is zero: nothing to replay
        Empty,    // no valid entry of the log GUID, or no log to read (its region, version)
        Damaged,  // entries, but none a reader may replay
        Replayable,
    };
    State state = State::None;
    std::string problem;            // one line, for the states that cannot be replayed
    std::vector<LogEntry> entries;  // the sequence to replay, tail to head
    uint64_t finalSize = 0;         // the file's size once replayed
    uint64_t dataSectors = 0, zeroBytes = 0, descriptors = 0;
};

// The log the header names, read whole from file.
Log ReadLog(const HostFile& file, const HeaderCopy& header);

// Both header copies as a replay of log leaves them, by copy: the log GUID
// cleared, the copy that is not current numbered one past the current one
// (a replay writes it first), the current copy one further, and a new file
// write GUID. The data write GUID stays, as children name their parent by
// it. The new file write GUID comes from the header and the log's newest
// entry, so that the same file replayed twice, into a copy or in memory,
// gives the same bytes. current is the current copy's 4096 bytes.
using HeaderBytes = std::array<uint8_t, VHDX_HEADER_SIZE>;
std::array<HeaderBytes, 2> ReplayedHeaders(const uint8_t* current, int currentCopy,
                                           const HeaderCopy& header, const Log& log);

}  // namespace tool

// The log as a full VHDX reader replays it before it uses the image: every
// entry validated, the sequence to replay chosen, and what it does to the
// file. The driver never replays a log; check reports what this finds and
// replay applies it, so the two agree on every log.
#pragma once

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

}  // namespace tool

// What a full VHDX reader would object to in an image chain, and where the
// driver would serve different bytes than such a reader.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "tools/reader/chain.h"

namespace tool {

enum class Severity { Note, Warning, Error };

// What a finding means for the bytes served through a stub.
enum class Effect {
    None,        // information only
    Format,      // a full reader objects; the driver serves the same bytes
    Bytes,       // the driver serves other bytes than a full reader, or fails reads
    Stale,       // the driver serves bytes that a full reader would first update
    Unbindable,  // the driver refuses to bind the image
};

struct Finding {
    Severity severity;
    Effect effect;
    std::string code;     // stable, e.g. "log-not-replayed"
    std::string subject;  // the image it concerns
    std::string message;
};

const char* SeverityName(Severity severity);  // "error", "warning", "note"
const char* EffectName(Effect effect);        // "format", "bytes", ...

// One pass over the BAT entries a reader needs.
struct BatScan {
    struct Problem {
        uint64_t count = 0;
        uint64_t first = 0;  // the first block (or chunk) it was seen at
        std::string detail;  // about the first occurrence
        void Add(uint64_t at, const std::string& what = "") {
            if (count++ == 0) {
                first = at;
                detail = what;
            }
        }
    };
    bool scanned = false;
    std::array<uint64_t, 8> blocksByState{};  // payload blocks read from the BAT
    uint64_t blocksBeyondRegion = 0;          // payload blocks whose entry lies past the region
    uint64_t bitmapsPresent = 0;
    bool overlapsChecked = false;
    Problem reservedState, partialWithoutParent, partialWithoutBitmap, blockBeyondEof, blockOverlap,
        bitmapState, bitmapBeyondEof, bitmapOverlap;
};
BatScan ScanBat(const InspectedImage& image);

std::vector<Finding> CheckChain(const Chain& chain);

// Whether any finding keeps a stub from binding, or makes the driver serve
// stale bytes.
bool Unbindable(const std::vector<Finding>& findings);
bool Stale(const std::vector<Finding>& findings);

}  // namespace tool

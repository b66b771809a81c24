// CRC-32C, whole or in pieces.
#include "vhdx/vhdx.h"

namespace {

// Slicing by eight: entry [k][i] is the CRC of byte i followed by k zero
// bytes, so that eight bytes cost eight lookups and no dependent shifts.
// Built at compile time, the tables are constants: read-only, non-paged
// data that costs nothing at load.
struct Crc32cTables {
    ULONG Entry[8][256];
};

constexpr Crc32cTables MakeTables() {
    Crc32cTables tables = {};
    for (ULONG i = 0; i < 256; i++) {
        ULONG crc = i;
        for (int bit = 0; bit < 8; bit++) {
            crc = (crc >> 1) ^ (0x82F63B78 & (0 - (crc & 1)));  // reflected Castagnoli
        }
        tables.Entry[0][i] = crc;
    }
    for (int k = 1; k < 8; k++) {
        for (ULONG i = 0; i < 256; i++) {
            const ULONG previous = tables.Entry[k - 1][i];
            tables.Entry[k][i] = (previous >> 8) ^ tables.Entry[0][previous & 0xFF];
        }
    }
    return tables;
}

constexpr Crc32cTables kTables = MakeTables();

}  // namespace

// Under AddressSanitizer the buffer is checked once, as one access of its
// whole length, and the loop runs unchecked: the same faults are reported,
// without a check of every byte and table entry, which made checksums a
// quarter of every fuzzer's time.
#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VHDX_CRC_CHECKED_WHOLE 1
#define VHDX_CRC_UNCHECKED __attribute__((no_sanitize("address", "undefined")))
extern "C" void __asan_loadN(unsigned long Address, unsigned long Size);
#endif
#endif
#ifndef VHDX_CRC_CHECKED_WHOLE
#define VHDX_CRC_CHECKED_WHOLE 0
#define VHDX_CRC_UNCHECKED
#endif

namespace {

// VhdxLoad32, unchecked as the loop is: a checked function is never inlined
// into an unchecked one, and called, it would check every byte again.
VHDX_CRC_UNCHECKED inline ULONG Load32(const UCHAR* p) {
    return (ULONG)p[0] | ((ULONG)p[1] << 8) | ((ULONG)p[2] << 16) | ((ULONG)p[3] << 24);
}

}  // namespace

ULONG VhdxCrc32cInit() { return 0xFFFFFFFF; }

VHDX_CRC_UNCHECKED
ULONG VhdxCrc32cUpdate(ULONG State, const UCHAR* Buffer, ULONGLONG Length) {
#if VHDX_CRC_CHECKED_WHOLE
    if (Length != 0) {
        __asan_loadN((unsigned long)Buffer, (unsigned long)Length);
    }
#endif
    const auto& t = kTables.Entry;
    for (; Length >= 8; Buffer += 8, Length -= 8) {
        const ULONG low = State ^ Load32(Buffer);
        const ULONG high = Load32(Buffer + 4);
        State = t[7][low & 0xFF] ^ t[6][(low >> 8) & 0xFF] ^ t[5][(low >> 16) & 0xFF] ^
                t[4][low >> 24] ^ t[3][high & 0xFF] ^ t[2][(high >> 8) & 0xFF] ^
                t[1][(high >> 16) & 0xFF] ^ t[0][high >> 24];
    }
    for (; Length != 0; Buffer++, Length--) {
        State = t[0][(State ^ *Buffer) & 0xFF] ^ (State >> 8);
    }
    return State;
}

ULONG VhdxCrc32cFinal(ULONG State) { return State ^ 0xFFFFFFFF; }

ULONG VhdxComputeChecksum(const UCHAR* Buffer, ULONGLONG Length) {
    return VhdxCrc32cFinal(VhdxCrc32cUpdate(VhdxCrc32cInit(), Buffer, Length));
}

ULONG VhdxCrc32cUpdateStructure(ULONG State, const UCHAR* Structure, ULONG Size) {
    static const UCHAR kZeroChecksum[4] = {0, 0, 0, 0};
    State = VhdxCrc32cUpdate(State, Structure, VHDX_CHECKSUM_FIELD_OFFSET);
    State = VhdxCrc32cUpdate(State, kZeroChecksum, sizeof(kZeroChecksum));
    const ULONG rest = VHDX_CHECKSUM_FIELD_OFFSET + sizeof(kZeroChecksum);
    return VhdxCrc32cUpdate(State, Structure + rest, Size - rest);
}

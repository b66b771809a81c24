#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "vhdx/vhdx.h"

namespace {

struct ChecksumCase {
    const char* name;
    std::vector<UCHAR> bytes;
    ULONG crc;
};

std::vector<UCHAR> Bytes(const std::string& s) { return std::vector<UCHAR>(s.begin(), s.end()); }

// Published values, which pin the definition the next test holds every length to.
TEST(Checksum, KnownValues) {
    const ChecksumCase cases[] = {
        {"check string", Bytes("123456789"), 0xE3069283},
        {"32 zero bytes", std::vector<UCHAR>(32, 0x00), 0x8A9136AA},
        {"32 0xFF bytes", std::vector<UCHAR>(32, 0xFF), 0x62A8AB43},
    };
    for (const ChecksumCase& c : cases) {
        EXPECT_EQ(VhdxComputeChecksum(c.bytes.data(), c.bytes.size()), c.crc) << c.name;
    }
}

// Eight bytes at a time, against the definition a bit at a time: every
// length up to a few words at every alignment, whole and split in two.
TEST(Checksum, MatchesBitwiseDefinition) {
    const auto bitwise = [](const UCHAR* p, size_t n) {
        ULONG crc = 0xFFFFFFFF;
        for (size_t i = 0; i < n; i++) {
            crc ^= p[i];
            for (int bit = 0; bit < 8; bit++) {
                crc = (crc >> 1) ^ (crc & 1 ? 0x82F63B78 : 0);
            }
        }
        return ~crc;
    };
    std::vector<UCHAR> bytes(64 + 8);
    for (size_t i = 0; i < bytes.size(); i++) {
        bytes[i] = (UCHAR)(i * 167 + 13);
    }
    for (size_t start = 0; start < 8; start++) {
        for (size_t length = 0; start + length <= bytes.size(); length++) {
            const UCHAR* p = bytes.data() + start;
            const ULONG want = bitwise(p, length);
            ASSERT_EQ(VhdxComputeChecksum(p, length), want) << start << "+" << length;
            const size_t cut = length / 3;
            ULONG state = VhdxCrc32cUpdate(VhdxCrc32cInit(), p, cut);
            state = VhdxCrc32cUpdate(state, p + cut, length - cut);
            ASSERT_EQ(VhdxCrc32cFinal(state), want) << start << "+" << length << " cut " << cut;
        }
    }
}

}  // namespace

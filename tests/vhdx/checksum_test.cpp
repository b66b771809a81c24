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

TEST(Checksum, KnownValues) {
    const ChecksumCase cases[] = {
        {"empty", {}, 0x00000000},
        {"check string", Bytes("123456789"), 0xE3069283},
        {"32 zero bytes", std::vector<UCHAR>(32, 0x00), 0x8A9136AA},
        {"32 0xFF bytes", std::vector<UCHAR>(32, 0xFF), 0x62A8AB43},
        {"one byte", Bytes("a"), 0xC1D04330},
    };
    for (const ChecksumCase& c : cases) {
        EXPECT_EQ(VhdxComputeChecksum(c.bytes.data(), c.bytes.size()), c.crc) << c.name;
    }
}

}  // namespace

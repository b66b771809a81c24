// The binder's string append, held to the safe-string routine it stands in
// for: malformed strings are refused before anything is copied, and what
// does not fit is cut with STATUS_BUFFER_OVERFLOW. When the suite runs on
// pontor.sys, the image's own routine is called, found by its symbol.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/host/loader/loader.h"
#include "stub/stub.h"

namespace {

struct AppendCase {
    const char* name;
    USHORT destinationLength;
    USHORT destinationMaximum;
    bool destinationBuffer;
    USHORT sourceLength;
    USHORT sourceMaximum;
    bool sourceBuffer;
    NTSTATUS status;
    USHORT resultLength;  // the destination's length afterwards
};

using AppendRoutine = NTSTATUS(PONTOR_MS_ABI*)(PUNICODE_STRING, PCUNICODE_STRING);

PONTOR_MS_ABI NTSTATUS HostAppend(PUNICODE_STRING Destination, PCUNICODE_STRING Source) {
    return PontorAppendUnicodeString(Destination, Source);
}

class Append : public ::testing::TestWithParam<AppendCase> {
protected:
    void SetUp() override {
        const std::filesystem::path path = host::ServingDriver::ImagePath();
        if (path.empty()) {
            append_ = &HostAppend;
            return;
        }
        std::string error;
        image_ = host::DriverImage::Map(path, &error);
        ASSERT_NE(image_, nullptr) << error;
        append_ =
            (AppendRoutine)image_->Symbol("_Z25PontorAppendUnicodeStringP15_UNICODE_STRINGPKS_");
        ASSERT_NE(append_, nullptr) << "pontor.sys keeps no symbol PontorAppendUnicodeString";
    }
    std::unique_ptr<host::DriverImage> image_;
    AppendRoutine append_ = nullptr;
};

TEST_P(Append, ValidatesThenAppendsWhatFits) {
    const AppendCase& c = GetParam();
    std::vector<char16_t> destination(40000, u'd');
    std::vector<char16_t> source(40000, u's');
    UNICODE_STRING d = {c.destinationLength, c.destinationMaximum,
                        c.destinationBuffer ? destination.data() : nullptr};
    UNICODE_STRING s = {c.sourceLength, c.sourceMaximum, c.sourceBuffer ? source.data() : nullptr};

    EXPECT_EQ(append_(&d, &s), c.status);
    EXPECT_EQ(d.Length, c.resultLength);
    if (c.destinationBuffer) {
        const size_t kept = c.destinationLength / 2,
                     added = (c.resultLength - c.destinationLength) / 2;
        EXPECT_EQ(std::u16string(destination.data(), kept + added),
                  std::u16string(kept, u'd') + std::u16string(added, u's'));
        // Nothing past the appended characters is written.
        EXPECT_EQ(destination[kept + added], u'd');
    }
}

INSTANTIATE_TEST_SUITE_P(
    Filter, Append,
    ::testing::Values(
        AppendCase{"fits", 4, 20, true, 6, 6, true, STATUS_SUCCESS, 10},
        AppendCase{"fillsExactly", 4, 10, true, 6, 8, true, STATUS_SUCCESS, 10},
        AppendCase{"cut", 4, 10, true, 8, 8, true, STATUS_BUFFER_OVERFLOW, 10},
        AppendCase{"full", 10, 10, true, 2, 2, true, STATUS_BUFFER_OVERFLOW, 10},
        AppendCase{"emptySource", 4, 10, true, 0, 0, false, STATUS_SUCCESS, 4},
        AppendCase{"longestString", 0, 65534, true, 65534, 65534, true, STATUS_SUCCESS, 65534},
        AppendCase{"oddDestinationLength", 3, 10, true, 2, 2, true, STATUS_INVALID_PARAMETER, 3},
        AppendCase{"oddDestinationMaximum", 2, 11, true, 2, 2, true, STATUS_INVALID_PARAMETER, 2},
        AppendCase{"oddSourceLength", 2, 10, true, 3, 4, true, STATUS_INVALID_PARAMETER, 2},
        AppendCase{"destinationOverMaximum", 12, 10, true, 2, 2, true, STATUS_INVALID_PARAMETER,
                   12},
        AppendCase{"sourceOverMaximum", 2, 10, true, 6, 4, true, STATUS_INVALID_PARAMETER, 2},
        AppendCase{"destinationWithoutBuffer", 0, 10, false, 2, 2, true, STATUS_INVALID_PARAMETER,
                   0},
        AppendCase{"sourceWithoutBuffer", 0, 10, true, 2, 2, false, STATUS_INVALID_PARAMETER, 0}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace

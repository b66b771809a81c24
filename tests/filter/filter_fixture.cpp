#include "tests/filter/filter_fixture.h"

#include <algorithm>
#include <stdexcept>

namespace filtertest {

using vhdxtest::ImageSpec;
using vhdxtest::State;

ImageSpec ParentSpec() {
    ImageSpec shape;
    shape.virtualDiskSize = 8 * MiB;
    shape.seed = 2;
    for (uint64_t b = 0; b < 8; b++) {
        shape.blocks[b] = State::FullyPresent;
    }
    return shape;
}

ImageSpec ChildSpec(std::u16string locatorKey, std::u16string locatorValue) {
    ImageSpec shape;
    shape.virtualDiskSize = 8 * MiB;
    shape.seed = 1;
    shape.hasParent = true;
    shape.parentLocator = {{std::move(locatorKey), std::move(locatorValue)}};
    shape.blocks[0] = State::FullyPresent;
    shape.blocks[2] = State::PartiallyPresent;
    shape.blocks[3] = State::Zero;
    shape.blocks[5] = State::FullyPresent;
    // Block 2 holds sectors 4096..6143 of chunk 0: runs of set and clear bits.
    std::vector<uint8_t> bits(1 << 20, 0);
    for (uint64_t sector = 4096; sector < 6144; sector++) {
        if ((sector / 3) % 2 == 0) {
            bits[sector / 8] |= (uint8_t)(1 << (sector % 8));
        }
    }
    shape.sectorBitmaps[0] = std::move(bits);
    return shape;
}

ImageSpec DynamicSpec() {
    ImageSpec shape;
    shape.virtualDiskSize = 8 * MiB;
    shape.seed = 3;
    shape.blocks[0] = State::FullyPresent;
    shape.blocks[2] = State::Zero;
    shape.blocks[5] = State::FullyPresent;
    shape.blocks[7] = State::FullyPresent;
    return shape;
}

void FilterTest::SetUp() {
    gTraceFlags = 0;
    if (InMemory()) {
        memory_ = std::make_unique<host::MemoryVolume>();
    } else {
        scratch_ = std::make_unique<fixture::ScratchVolume>();
    }
    driver_ = LoadDriver();
    ASSERT_NE(driver_, nullptr);
}

std::unique_ptr<host::ServingDriver> FilterTest::LoadDriver(ULONG traceMask) {
    gTraceFlags = traceMask;
    std::string error;
    auto driver =
        host::ServingDriver::Load(DriverEntry, &error, [&](const host::DriverImage& image) {
            ULONG* mask = (ULONG*)image.Symbol("gTraceFlags");
            ASSERT_NE(mask, nullptr) << "the image keeps no symbol gTraceFlags";
            *mask = traceMask;
        });
    EXPECT_NE(driver, nullptr) << error;
    return driver;
}

void FilterTest::TearDown() {
    driver_.reset();
    gTraceFlags = 0;
    scratch_.reset();
    memory_.reset();
}

std::filesystem::path FilterTest::HostPath(const std::string& relative) const {
    if (scratch_ == nullptr) {
        throw std::logic_error("a memory volume's file has no host path: " + relative);
    }
    return scratch_->Dir() / relative;
}

std::string FilterTest::NtName(const std::string& relative) const {
    return host::Utf8(Volume().NtName(relative));
}

void FilterTest::PutFile(const std::string& relative, const std::vector<uint8_t>& bytes) {
    if (memory_) {
        memory_->Put(relative, bytes);
        return;
    }
    std::filesystem::create_directories(HostPath(relative).parent_path());
    vhdxtest::WriteFile(HostPath(relative), bytes);
}

void FilterTest::PutImage(const std::string& relative, const ImageSpec& shape) {
    PutFile(relative, vhdxtest::Build(shape).bytes);
}

void FilterTest::PutStub(const std::string& relative, std::string_view imagePath, size_t size) {
    PutFile(relative, StubBytes(imagePath, size));
}

std::vector<uint8_t> FilterTest::HostBytes(const std::string& relative) const {
    if (memory_) {
        return memory_->Get(relative);
    }
    return kit::ReadFile(HostPath(relative));
}

host::IoResult FilterTest::Open(const std::string& relative, host::Handle* handle,
                                ACCESS_MASK access) {
    return host::Open(Volume(), relative, handle, access);
}

host::IoResult FilterTest::Create(const std::string& relative, host::Handle* handle,
                                  host::CreateRequest request) {
    request.name = Volume().NtName(relative);
    return host::Create(request, handle);
}

host::IoResult FilterTest::OpenQuietly(const std::string& relative, host::Handle* handle) {
    return Create(relative, handle, {.extraCreateParameters = {kSkipEcp}});
}

FilterTest::ReadResult FilterTest::Read(const host::Handle& handle, uint64_t offset, ULONG length,
                                        host::IoPath path) {
    std::vector<uint8_t> buffer(length, 0xCC);
    const host::IoResult result = host::Read(
        handle,
        {.buffer = buffer.data(), .length = length, .offset = (LONGLONG)offset, .path = path});
    buffer.resize(std::min<size_t>(result.information, length));
    return {result.status, result.information, std::move(buffer)};
}

FilterTest::HeaderResult FilterTest::QueryHeader(const host::Handle& handle, ULONG outputLength,
                                                 bool nullSystemBuffer) {
    std::vector<uint8_t> output(outputLength, 0xCC);
    host::FsControlRequest request;
    request.code = FSCTL_GET_STUB_HEADER;
    request.output = output.data();
    request.outputLength = outputLength;
    request.nullSystemBuffer = nullSystemBuffer;
    const host::IoResult result = host::FileSystemControl(handle, request);
    output.resize(std::min<size_t>(result.information, outputLength));
    return {result.status, result.information, std::move(output)};
}

bool HasLine(const host::DebugCapture& capture, const std::string& text) {
    return CountLines(capture, text) != 0;
}

size_t CountLines(const host::DebugCapture& capture, const std::string& text) {
    const std::vector<std::string> texts = capture.Texts();
    return (size_t)std::count(texts.begin(), texts.end(), text);
}

}  // namespace filtertest

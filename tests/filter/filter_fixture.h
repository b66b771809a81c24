// End-to-end tests of the filter: the driver is loaded into the host Filter
// Manager, and every test talks to it only as an application does, through
// the host I/O manager on the files of a scratch volume.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "filter/filter.h"
#include "platform/host/host.h"
#include "platform/host/loader/loader.h"
#include "tests/support/vhdx_image.h"
#include "tests/support/image_fixture.h"

namespace filtertest {

using kit::KiB;
using kit::MiB;

using vhdxtest::kStubSignature;
using vhdxtest::StubBytes;

// {4248BE44-647F-488F-8BE5-A08AAF70F028}: creates carrying this extra create
// parameter are never examined by the filter.
constexpr GUID kSkipEcp = {
    0x4248BE44, 0x647F, 0x488F, {0x8B, 0xE5, 0xA0, 0x8A, 0xAF, 0x70, 0xF0, 0x28}};

// A differencing child over seed-2 parent data: fully present, not present
// and partially present blocks, its locator naming the parent as given.
vhdxtest::ImageSpec ChildSpec(std::u16string locatorKey, std::u16string locatorValue);
vhdxtest::ImageSpec ParentSpec();
// A plain dynamic image with blocks in several states.
vhdxtest::ImageSpec DynamicSpec();

// A scratch volume with the driver loaded on it, unloaded when the test ends.
class FilterTest : public fixture::DriverTest {
protected:
    void SetUp() override;
    void TearDown() override;

    // A test whose files need no host path says so, and runs on a memory
    // volume: the randomized ones, which write many images.
    virtual bool InMemory() const { return false; }
    host::Volume& Volume() const { return memory_ ? *memory_ : scratch_->Volume(); }
    host::Driver& Driver() { return driver_->Get(); }
    void Unload() { driver_.reset(); }
    // The driver under test, loaded once more: the host build, or the
    // Windows image that PONTOR_DRIVER names, with its trace mask set before
    // DriverEntry runs (the image's gTraceFlags, found in its symbol table).
    static std::unique_ptr<host::ServingDriver> LoadDriver(ULONG traceMask = 0);
    // Whether the suite runs on the Windows image.
    static bool OnImage() { return !host::ServingDriver::ImagePath().empty(); }
    std::filesystem::path HostPath(const std::string& relative) const;
    // The NT name of a volume-relative path, as the driver logs it.
    std::string NtName(const std::string& relative) const;
    // The line binding writes for the stub at relative.
    std::string Initializing(const std::string& relative) const {
        return "[PONTOR] PontorPostCreate: Initializing VMDK file " + NtName(relative) + ".\n";
    }

    void PutFile(const std::string& relative, const std::vector<uint8_t>& bytes);
    void PutImage(const std::string& relative, const vhdxtest::ImageSpec& shape);
    void PutStub(const std::string& relative, std::string_view imagePath, size_t size = 2048);
    // disk.vhdx (DynamicSpec) and its stub disk.vmdk.
    void PutDisk() {
        PutImage("disk.vhdx", DynamicSpec());
        PutStub("disk.vmdk", "disk.vhdx");
    }
    std::vector<uint8_t> HostBytes(const std::string& relative) const;

    host::IoResult Open(const std::string& relative, host::Handle* handle,
                        ACCESS_MASK access = GENERIC_READ | SYNCHRONIZE);
    host::IoResult Create(const std::string& relative, host::Handle* handle,
                          host::CreateRequest request);
    // An open the filter lets through untouched: it keeps a stream alive
    // without binding it.
    host::IoResult OpenQuietly(const std::string& relative, host::Handle* handle);

    struct ReadResult {
        NTSTATUS status;
        ULONG_PTR information;
        std::vector<uint8_t> bytes;  // the first information bytes of the buffer
    };
    ReadResult Read(const host::Handle& handle, uint64_t offset, ULONG length,
                    host::IoPath path = host::IoPath::Irp);

    struct HeaderResult {
        NTSTATUS status;
        ULONG_PTR information;
        std::vector<uint8_t> bytes;
    };
    HeaderResult QueryHeader(const host::Handle& handle, ULONG outputLength = 4096,
                             bool nullSystemBuffer = false);

private:
    std::unique_ptr<fixture::ScratchVolume> scratch_;
    std::unique_ptr<host::MemoryVolume> memory_;
    std::unique_ptr<host::ServingDriver> driver_;
};

// Whether a line among the captured output equals text exactly.
bool HasLine(const host::DebugCapture& capture, const std::string& text);
size_t CountLines(const host::DebugCapture& capture, const std::string& text);

}  // namespace filtertest

// Opening image files on a host volume and parsing them as the binder does,
// with every test ending on an empty pool and no open files.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "platform/host/host.h"
#include "stub/stub.h"
#include "vhdx/pontor.h"
#include "vhdx/vhdx.h"

namespace fixture {

// A scratch directory served as a volume.
class ScratchVolume {
public:
    ScratchVolume();
    ~ScratchVolume();
    const std::filesystem::path& Dir() const { return dir_; }
    host::Volume& Volume() { return *volume_; }
    std::filesystem::path File(const std::string& name) const { return dir_ / name; }

private:
    std::filesystem::path dir_;
    std::unique_ptr<host::Volume> volume_;
};

// An image file opened for reading through a volume's instance, with a
// zeroed context for the parse. Closes the file when it goes away.
class OpenedImage {
public:
    OpenedImage(ScratchVolume& volume, const std::string& name);
    ~OpenedImage();
    NTSTATUS OpenStatus() const { return openStatus_; }
    NTSTATUS Parse() { return VhdxParseHeader(&related_, context_.get()); }
    VhdxContext* Context() { return context_.get(); }
    const FLT_RELATED_OBJECTS* Related() const { return &related_; }

private:
    NTSTATUS openStatus_;
    std::unique_ptr<VhdxContext> context_;
    FLT_RELATED_OBJECTS related_ = {};
};

// Every test ends with nothing left in the pool and no file left open.
class DriverTest : public ::testing::Test {
protected:
    void SetUp() override { host::ResetFaults(); }
    void TearDown() override {
        host::ResetFaults();
        EXPECT_EQ(host::PoolOutstanding(), 0u) << "pool allocations leaked";
        EXPECT_EQ(host::OpenFileCount(), 0u) << "files left open";
    }
};

// The "[PONTOR] ..." lines among captured debug output.
std::vector<std::string> DriverLines(const host::DebugCapture& capture);

}  // namespace fixture

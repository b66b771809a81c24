// Image files on a scratch volume, opened and parsed as the binder does.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "platform/host/host.h"
#include "stub/stub.h"
#include "tests/support/kit.h"
#include "vhdx/pontor.h"
#include "vhdx/vhdx.h"

namespace fixture {

// A scratch directory served as a volume.
class ScratchVolume {
public:
    ScratchVolume() : volume_(dir_.Dir()) {}
    const std::filesystem::path& Dir() const { return dir_.Dir(); }
    host::Volume& Volume() { return volume_; }
    std::filesystem::path File(const std::string& name) const { return dir_.File(name); }

private:
    kit::ScratchDir dir_;  // outlives the volume
    host::Volume volume_;
};

// An image file opened for reading through a volume's instance, with a
// zeroed context for the parse. Closes the file when it goes away.
class OpenedImage {
public:
    OpenedImage(const host::Volume& volume, const std::string& name);
    OpenedImage(ScratchVolume& volume, const std::string& name)
        : OpenedImage(volume.Volume(), name) {}
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

// The fixture of tests that need nothing but the kit's main, which checks
// the pool and the open files after each.
class DriverTest : public ::testing::Test {};

// The "[PONTOR] ..." lines among captured debug output.
std::vector<std::string> DriverLines(const host::DebugCapture& capture);

}  // namespace fixture

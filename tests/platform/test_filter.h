// A tiny filter registered by the contract tests: it records every callback
// the platform makes and lets each test decide what its callbacks do.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/host/host.h"
#include "tests/support/kit.h"

namespace platform_test {

constexpr ULONG kContextTag = 'T' | ('c' << 8) | ('t' << 16) | ('x' << 24);

struct StreamState {
    int value;
};

// What a pre-operation hook decides: a value replaces the default result
// FLT_PREOP_SUCCESS_WITH_CALLBACK.
using Verdict = std::optional<FLT_PREOP_CALLBACK_STATUS>;
using PreHook = std::function<Verdict(PFLT_CALLBACK_DATA, PCFLT_RELATED_OBJECTS)>;

// What the filter does and saw. Reset before every test.
struct Filter {
    std::mutex mutex;
    std::vector<std::string> log;  // "pre read fast", "post create", "setup", ...
    PreHook pre;                   // runs inside each pre-operation callback
    std::function<void(PFLT_CALLBACK_DATA, PCFLT_RELATED_OBJECTS)> post;
    std::function<void(PVOID)> cleanup;  // extra work of the context cleanup
    std::atomic<int> cleanups{0};
    PFLT_FILTER handle = nullptr;
    bool refuseNetwork = true;

    void Record(std::string line);
    std::vector<std::string> Log();
    // The log lines that begin with prefix.
    std::vector<std::string> Lines(const std::string& prefix);
};
Filter& TheFilter();

// DriverEntry of the test filter: registers stream contexts (tag "Tctx") and
// pre and post callbacks for every operation the platform dispatches.
NTSTATUS NTAPI TestDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);

std::string MajorName(UCHAR major);

// A pre-operation hook that acts on requests of one major function only.
inline PreHook Only(UCHAR major, PreHook hook) {
    return [major, hook](PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS objects) {
        return data->Iopb->MajorFunction == major ? hook(data, objects) : std::nullopt;
    };
}

// A scratch directory served as a volume (or, with PONTOR_TEST_LAYER=memory,
// a volume in memory: the same tests hold for every file layer), files
// written into it, the filter loaded, bug checks collected.
class PlatformTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    std::filesystem::path Path(const std::string& relative) const { return dir_.File(relative); }
    void WriteFile(const std::string& relative, const std::string& bytes);
    std::string ReadHostFile(const std::string& relative);
    bool Exists(const std::string& relative) const;
    void MakeLink(const std::string& relative, const std::string& target);
    void MakeReadOnly(const std::string& relative);
    uint64_t IndexOf(const std::string& relative) const;
    std::u16string Nt(const std::string& relative) const { return volume_->NtName(relative); }
    host::IoResult OpenFile(const std::string& relative, host::Handle* handle,
                            ACCESS_MASK access = GENERIC_READ | SYNCHRONIZE);
    void Load();  // loads the test filter (SetUp does not)
    // Bug checks raised so far, cleared; a test that expects none leaves
    // them for TearDown to report.
    std::vector<std::string> TakeBugChecks();

    kit::ScratchDir dir_{"pontor-platform"};
    std::unique_ptr<host::Volume> volume_;
    host::MemoryVolume* memory_ = nullptr;  // volume_, when it is in memory
    std::unique_ptr<host::Driver> driver_;

private:
    std::mutex bugChecksMutex_;
    std::vector<std::string> bugChecks_;
};

}  // namespace platform_test

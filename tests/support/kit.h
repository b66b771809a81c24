// What every test program shares: sizes, scratch directories, reading files
// back, running programs, and the fault sweep. The kit's main (main.cpp)
// fails any test that leaves pool allocations or open host files behind, and
// clears faults, hooks and sinks between tests.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/host/host.h"
#include "tests/support/sizes.h"

namespace kit {

// A fresh directory beneath the temporary directory, removed with all it
// holds when it goes.
class ScratchDir {
public:
    explicit ScratchDir(std::string_view prefix = "pontor");
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const std::filesystem::path& Dir() const { return dir_; }
    std::filesystem::path File(const std::string& name) const { return dir_ / name; }

private:
    std::filesystem::path dir_;
};

// A host file's bytes: all of them, or up to length from offset (fewer at
// the end of the file).
std::string Slurp(const std::filesystem::path& path);
std::vector<uint8_t> ReadFile(const std::filesystem::path& path);
std::vector<uint8_t> ReadAt(const std::filesystem::path& path, uint64_t offset, size_t length);

// A PE image's checksum as the Windows loader computes it: 16-bit words
// summed with their carries folded back, the CheckSum field counted as zero,
// plus the file's length.
uint32_t PeChecksum(const std::vector<uint8_t>& file);

// A program's exit code and captured output.
struct Run {
    int exitCode = -1;
    std::string out, err;
    std::vector<std::string> ErrLines() const;  // without their line ends
};
// Runs argv[0] (a path) in dir (empty: here) with the environment plus env
// ("NAME=value" entries replace any of the same name), and waits for it.
Run Spawn(const std::vector<std::string>& argv, const std::filesystem::path& dir = {},
          const std::vector<std::string>& env = {});
// Starts it so, its standard output and error appended to out and err (which
// may be one file); returns its process id, or -1.
int Launch(const std::vector<std::string>& argv, const std::filesystem::path& out,
           const std::filesystem::path& err, const std::filesystem::path& dir = {},
           const std::vector<std::string>& env = {});
// A shell command's exit status; its standard output, a failure of the test
// if it exits with another status than 0; whether a program is on the PATH.
int Shell(const std::string& command);
std::string Output(const std::string& command);
bool Have(const std::string& program);

// One kind of injected fault and the status a run that meets it must give.
struct Fault {
    const char* name;
    std::function<void(uint64_t nth)> arm;
    NTSTATUS status;
};
Fault AllocationFault();  // the nth allocation fails
Fault ReadFault();        // the nth FltReadFile fails with STATUS_IO_DEVICE_ERROR

// The fault loop: runs body with the 1st, 2nd, 3rd ... fault armed until a
// run injects none. body calls arm where the count starts (faults are reset
// there) and returns its status, which must be success or fault.status; the
// pool must be empty after every run. Returns the number of runs, the clean
// last one included.
using Arm = std::function<void()>;
uint64_t SweepFaults(const Fault& fault, const std::function<NTSTATUS(const Arm& arm)>& body);

}  // namespace kit

// The driver loaded into the host Filter Manager over a directory, and files
// opened through the host I/O manager as an application opens them: every
// byte the tool and the mount serve comes through here, from the driver.
#pragma once

#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/host/host.h"
#include "platform/host/loader/loader.h"
#include "tools/cli.h"
#include "tools/replayed_layer.h"

namespace tool {

// How a handle does I/O. A synchronous one keeps a file position and takes
// one request at a time, as a Windows handle opened for synchronous I/O; with
// positional I/O every request names its offset and requests run side by side.
enum class FileIo { Synchronous, Positional };
ULONG CreateOptionsFor(FileIo io);

// How a stack serves an image whose log was not replayed: applied in memory
// (ReplayedLayer), each finding told to notify; or, with replay false, as
// the file stands, as the driver serves it on Windows.
struct LogPolicy {
    bool replay = true;
    std::function<void(const LogNotice&)> notify;
};

class FilterStack {
public:
    // Mounts root as a volume and loads the driver onto it. Throws ToolError
    // when the driver does not load.
    explicit FilterStack(const std::filesystem::path& root, LogPolicy logs = {});
    // Unloads the driver (every stream context is cleaned up), then the
    // volume goes. Close every handle first.
    ~FilterStack();
    FilterStack(const FilterStack&) = delete;
    FilterStack& operator=(const FilterStack&) = delete;

    const std::filesystem::path& Root() const { return root_; }
    host::Volume& Volume() { return *volume_; }
    // Null when logs are served unapplied.
    ReplayedLayer* Logs() { return logs_; }

    // Opens a root-relative ('/'-separated) file. The status is that of the
    // create; on failure the handle stays empty.
    host::IoResult Open(const std::string& relative, ACCESS_MASK access, host::Handle* handle,
                        FileIo io = FileIo::Synchronous);

private:
    std::filesystem::path root_;
    std::unique_ptr<host::Volume> volume_;
    ReplayedLayer* logs_ = nullptr;  // the volume's layer
    std::unique_ptr<host::ServingDriver> driver_;
};

// --ignore-log, for the commands that serve.
extern const OptionSpec kIgnoreLogOption;

// A stub (or any file) on a filter stack rooted at its own directory, opened
// for reading, with the driver's complaints while it bound, and what was
// found in the logs of the images it bound to (told on stderr, unless the
// command's --json carries them).
class OpenedStub {
public:
    // Throws ToolError naming path when it cannot be opened.
    OpenedStub(const std::string& path, const ParsedArgs& args);
    ~OpenedStub();

    const host::Handle& Handle() const { return handle_; }
    FilterStack& Stack() { return *stack_; }
    const std::string& Path() const { return path_; }
    // The "[PONTOR] ..." lines the driver wrote while the open bound it.
    const std::vector<std::string>& DriverLines() const { return driverLines_; }
    const std::vector<LogNotice>& LogNotices() const { return logNotices_; }
    // An image of a notice as the user names it: beside the stub as given.
    std::string Shown(const LogNotice& notice) const;

    // Throws ToolError unless the open bound the stub to its image chain:
    // the header query answers only for a bound stub.
    void RequireBound();
    // The size queries' end of file: the served size of a bound stub.
    uint64_t EndOfFile();

private:
    std::string path_;
    std::unique_ptr<FilterStack> stack_;
    host::Handle handle_;
    std::vector<std::string> driverLines_;
    std::vector<LogNotice> logNotices_;
};

struct HeaderReply {
    NTSTATUS status;
    std::vector<uint8_t> bytes;  // the bytes returned
};
HeaderReply QueryStubHeader(const host::Handle& handle);

// End of file from FileStandardInformation; the status on failure.
NTSTATUS QueryEndOfFile(const host::Handle& handle, uint64_t* endOfFile);

// The errno that stands for a status at the POSIX boundary (the mount, the
// tool's output). See README "Status to errno".
int ErrnoOf(NTSTATUS status);

}  // namespace tool

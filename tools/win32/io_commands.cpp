// pontor header on Windows, from the loaded driver through DeviceIoControl,
// and the subcommands this build leaves out (linux_only.h). The Linux
// counterparts are tools/io_commands.cpp and tools/mount.cpp.
#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <string>
#include <vector>

#include "platform/host/host.h"
#include "platform/host/fs/win32/win32.h"
#include "stub/stub.h"
#include "tools/commands.h"
#include "tools/stub_file.h"
#include "tools/reader/utf8_path.h"
#include "tools/win32/linux_only.h"

namespace tool {
namespace {

namespace win32 = host::win32;

// The I/O manager hands the driver's statuses to DeviceIoControl's caller
// as Win32 errors; those the driver and the file system answer with are
// named as on Linux. A file system answers a code nobody handled with
// STATUS_INVALID_DEVICE_REQUEST (NTFS) or STATUS_NOT_SUPPORTED.
ToolError HeaderFailure(const std::string& stub, uint32_t error) {
    const char* const kUnanswered =
        "the control code was not answered: is the pontor filter loaded and attached to this "
        "volume? (fltmc instances -f pontor)";
    switch (error) {
        case win32::kErrorNotFound:
            return {stub, "not a stub (no vmdk extension, or shorter than 2048 bytes)",
                    STATUS_NOT_FOUND};
        case win32::kErrorNotReady:
            return {
                stub,
                "the stub is not bound to an image (the driver's reasons are in its debug output)",
                STATUS_DEVICE_NOT_READY};
        case win32::kErrorInvalidFunction:
            return {stub, kUnanswered, STATUS_INVALID_DEVICE_REQUEST};
        case win32::kErrorNotSupported: return {stub, kUnanswered, STATUS_NOT_SUPPORTED};
        default: return {stub, "header query failed: " + win32::ErrorText(error)};
    }
}

int Header(const ParsedArgs& args) {
    const std::string& stub = args.Arguments()[0];
    // Any-access control code: the handle needs no right to the data.
    win32::FileHandle handle;
    if (const uint32_t failure = win32::OpenForAttributes(Utf8Path(stub), &handle)) {
        throw ToolError{stub, win32::ErrorText(failure)};
    }
    std::vector<uint8_t> header(PONTOR_STUB_HEADER_SIZE);
    uint32_t returned = 0;
    const uint32_t failure = win32::FileSystemControl(handle, FSCTL_GET_STUB_HEADER, header.data(),
                                                      (uint32_t)header.size(), &returned);
    win32::Close(handle);
    if (failure != 0) {
        throw HeaderFailure(stub, failure);
    }
    if (returned != header.size()) {
        throw ToolError{stub, "the driver returned " + std::to_string(returned) + " of " +
                                  std::to_string(header.size()) + " header bytes"};
    }
    if (args.Flag("raw")) {
        _setmode(_fileno(stdout), _O_BINARY);
        std::fwrite(header.data(), 1, header.size(), stdout);
        return kExitOk;
    }
    PrintStubHeader(header);
    return kExitOk;
}

// Listed by 'pontor --help'; RefuseLinuxOnly answers them before parsing.
Command LinuxOnly(const char* name, const char* arguments, const char* summary,
                  int (*run)(const ParsedArgs&)) {
    return {{name, arguments, summary, "", {}, 0, SIZE_MAX}, run};
}

}  // namespace

std::optional<int> RefuseLinuxOnly(std::string_view command) {
    if (command == "replay") {
        std::fputs(
            "pontor: replay: not in the Windows build; Windows replays a disk's log "
            "whenever it attaches the disk (Mount-VHD, Disk Management)\n",
            stderr);
        return kExitUsage;
    }
    if (command == "flatten") {
        std::fputs(
            "pontor: flatten: not in the Windows build: its VHDX writer is the Linux tool's\n",
            stderr);
        return kExitUsage;
    }
    for (const char* name : {"read", "cat", "convert", "mount"}) {
        if (command == name) {
            std::fprintf(stderr,
                         "pontor: %s: not in the Windows build: it needs the Linux host platform, "
                         "which loads the driver in user mode (on Windows the loaded driver serves "
                         "a stub to every program)\n",
                         name);
            return kExitUsage;
        }
    }
    return std::nullopt;
}

Command ReadCommand() {
    return LinuxOnly("read", "STUB", "[Linux only] one read request on a stub",
                     [](const ParsedArgs&) { return *RefuseLinuxOnly("read"); });
}

Command CatCommand() {
    return LinuxOnly("cat", "STUB", "[Linux only] the whole served disk of a stub",
                     [](const ParsedArgs&) { return *RefuseLinuxOnly("cat"); });
}

Command ConvertCommand() {
    return LinuxOnly("convert", "STUB OUT", "[Linux only] the served disk into a sparse raw file",
                     [](const ParsedArgs&) { return *RefuseLinuxOnly("convert"); });
}

Command ReplayCommand() {
    return LinuxOnly("replay", "IMAGE [OUT]",
                     "[Linux only] a copy of an image with its log replayed",
                     [](const ParsedArgs&) { return *RefuseLinuxOnly("replay"); });
}

Command MountCommand() {
    return LinuxOnly("mount", "SOURCE MOUNTPOINT", "[Linux only] serve a directory with FUSE",
                     [](const ParsedArgs&) { return *RefuseLinuxOnly("mount"); });
}

Command FlattenCommand() {
    return LinuxOnly("flatten", "IMAGE OUT", "[Linux only] a chain of any depth as one image",
                     [](const ParsedArgs&) { return *RefuseLinuxOnly("flatten"); });
}

Command HeaderCommand() {
    return {{"header",
             "STUB",
             "the stub header, through FSCTL_GET_STUB_HEADER",
             "Asks the loaded driver for a bound STUB's header with its private control code\n"
             "(DeviceIoControl on a handle opened with FILE_READ_ATTRIBUTES) and shows its\n"
             "signature and image path; --raw writes the 4096 bytes to stdout.\n",
             {{0, "raw", nullptr, "the 4096 header bytes on stdout"}},
             1,
             1},
            Header};
}

}  // namespace tool

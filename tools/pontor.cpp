// pontor: inspect VHDX images with the driver's own parser.
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "platform/host/host.h"
#include "tools/image.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;  // the image was refused or could not be read
constexpr int kExitUsage = 2;

const char kUsage[] =
    "usage: pontor <command> [options]\n"
    "\n"
    "Commands:\n"
    "  info IMAGE [--json]   parse a VHDX image as the driver does and print its geometry\n"
    "\n"
    "Run 'pontor <command> --help' for a command's options.\n"
    "Exit status: 0 success, 1 the image was refused or unreadable, 2 usage error.\n";

const char kInfoUsage[] =
    "usage: pontor info IMAGE [--json] [-v|--verbose]\n"
    "\n"
    "Parses IMAGE with the driver's parser and prints what a stub of it would serve:\n"
    "the virtual disk size, block and sector sizes, the BAT's position, the served\n"
    "size (whole blocks, rounded up to 1 MiB) and, for a differencing image, the\n"
    "parent's name from its parent locator.\n"
    "\n"
    "  --json          one JSON object on stdout\n"
    "  -v, --verbose   show the driver's debug output on stderr\n";

std::string JsonString(std::string_view s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += (char)c;
        } else if (c < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else {
            out += (char)c;
        }
    }
    return out + "\"";
}

void Fail(const std::string& subject, const tool::Failure& failure) {
    std::fprintf(stderr, "pontor: %s: %s (0x%08" PRIX32 "): %s\n", subject.c_str(),
                 host::StatusName(failure.status).c_str(), (uint32_t)failure.status,
                 failure.message.c_str());
}

int Info(const std::vector<std::string>& args) {
    std::string image;
    bool json = false;
    bool verbose = false;
    for (const std::string& arg : args) {
        if (arg == "--help" || arg == "-h") {
            std::fputs(kInfoUsage, stdout);
            return kExitOk;
        } else if (arg == "--json") {
            json = true;
        } else if (arg == "-v" || arg == "--verbose") {
            verbose = true;
        } else if (!arg.empty() && arg[0] == '-') {
            std::fprintf(stderr, "pontor: info: unknown option %s\n", arg.c_str());
            return kExitUsage;
        } else if (image.empty()) {
            image = arg;
        } else {
            std::fprintf(stderr, "pontor: info: one IMAGE only\n");
            return kExitUsage;
        }
    }
    if (image.empty()) {
        std::fputs(kInfoUsage, stderr);
        return kExitUsage;
    }

    tool::Failure failure;
    auto opened = tool::OpenedImage::Open(image, &failure, verbose);
    if (!opened) {
        Fail(image, failure);
        return kExitFailure;
    }
    const VhdxContext& c = *opened->Context();
    const std::string parent = host::Utf8(opened->ParentPath());
    if (json) {
        std::printf(
            "{\"virtual_disk_size\":%" PRIu64 ",\"block_size\":%" PRIu32
            ",\"logical_sector_size\":%" PRIu32 ",\"physical_sector_size\":%" PRIu32
            ",\"chunk_ratio\":%" PRIu32 ",\"data_blocks\":%" PRIu64 ",\"bat_offset\":%" PRIu64
            ",\"bat_length\":%" PRIu32 ",\"data_size\":%" PRIu64 ",\"has_parent\":%s"
            ",\"parent_path\":%s}\n",
            c.VirtualDiskSize, c.BlockSize, c.LogicalSectorSize, c.PhysicalSectorSize,
            c.ChunkRatio, c.DataBlocksCount, c.BatOffset, c.BatLength, c.DataSize,
            c.HasParent ? "true" : "false", JsonString(parent).c_str());
        return kExitOk;
    }
    std::printf("image:                %s\n", image.c_str());
    std::printf("virtual disk size:    %" PRIu64 " bytes\n", c.VirtualDiskSize);
    std::printf("block size:           %" PRIu32 " bytes\n", c.BlockSize);
    std::printf("logical sector size:  %" PRIu32 " bytes\n", c.LogicalSectorSize);
    std::printf("physical sector size: %" PRIu32 " bytes\n", c.PhysicalSectorSize);
    std::printf("chunk ratio:          %" PRIu32 " blocks\n", c.ChunkRatio);
    std::printf("payload blocks:       %" PRIu64 "\n", c.DataBlocksCount);
    std::printf("BAT:                  offset 0x%" PRIX64 ", %" PRIu32 " bytes\n", c.BatOffset,
                c.BatLength);
    std::printf("served size:          %" PRIu64 " bytes\n", c.DataSize);
    if (c.HasParent) {
        std::printf("parent:               %s\n", parent.empty() ? "(not named)" : parent.c_str());
    }
    return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty() || args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
        std::fputs(kUsage, args.empty() ? stderr : stdout);
        return args.empty() ? kExitUsage : kExitOk;
    }
    const std::string command = args[0];
    args.erase(args.begin());
    if (command == "info") {
        return Info(args);
    }
    std::fprintf(stderr, "pontor: unknown command '%s' (see 'pontor --help')\n", command.c_str());
    return kExitUsage;
}

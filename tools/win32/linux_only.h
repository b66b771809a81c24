// The subcommands the Windows build leaves out: read, cat, convert and mount
// serve a stub's bytes through the driver loaded on the Linux host platform,
// which this build does not carry. On Windows the loaded driver serves a
// stub to every program. replay writes with POSIX file calls; Windows
// replays a log itself when it attaches a disk.
#pragma once

#include <optional>
#include <string_view>

namespace tool {

// For one of those commands, prints its one-line refusal and returns the
// exit code; nullopt for any other command. Asked before the command line
// is parsed, since their options are not known here.
std::optional<int> RefuseLinuxOnly(std::string_view command);

}  // namespace tool

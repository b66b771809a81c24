// The subcommands of the pontor tool.
#pragma once

#include <string>
#include <vector>

#include "tools/cli.h"

namespace tool {

struct Command {
    CommandSpec shape;
    int (*run)(const ParsedArgs& args);
};

// Every subcommand, in the order 'pontor --help' lists them.
const std::vector<Command>& Commands();

// The inspection commands (info, check, map) and stub create.
Command InfoCommand();
Command CheckCommand();
Command MapCommand();
Command StubCreateCommand();
// Writes images: the log replayed.
Command ReplayCommand();
// The commands that go through the filter stack.
Command ReadCommand();
Command CatCommand();
Command ConvertCommand();
Command HeaderCommand();
Command MountCommand();
// A differencing chain of any depth written as an image the driver serves.
Command FlattenCommand();

// The whole command line (without the program name) to an exit code; errors
// are printed as one line on stderr.
int RunPontor(const std::vector<std::string>& args);

}  // namespace tool

// The command dispatch: which subcommand runs, and how its failures end.
#include <cerrno>
#include <cstdio>
#include <exception>
#include <new>
#include <string>

#include "tools/commands.h"

namespace tool {
namespace {

std::string Overview() {
    std::string text = "usage: pontor <command> [arguments] [options]\n\nCommands:\n";
    for (const Command& command : Commands()) {
        std::string left = std::string("  ") + command.shape.name + " " + command.shape.arguments;
        left.resize(std::max<size_t>(left.size() + 2, 30), ' ');
        text += left + command.shape.summary + "\n";
    }
    text +=
        "\nRun 'pontor <command> --help' for a command's options. Every command takes\n"
        "-v/--verbose (the driver's debug output on stderr) and --trace MASK.\n"
        "Exit status: 0 success, 1 failure (refused, unreadable, problems found),\n"
        "2 bad command line.\n";
    return text;
}

const Command* Find(const std::string& name) {
    for (const Command& command : Commands()) {
        if (name == command.shape.name) {
            return &command;
        }
    }
    return nullptr;
}

}  // namespace

const std::vector<Command>& Commands() {
    static const std::vector<Command> commands = {
        InfoCommand(),    CheckCommand(),   MapCommand(),   StubCreateCommand(),
        ReplayCommand(),  FlattenCommand(), ReadCommand(),  CatCommand(),
        ConvertCommand(), HeaderCommand(),  MountCommand(),
    };
    return commands;
}

int RunPontor(const std::vector<std::string>& args) {
    if (args.empty()) {
        std::fputs(Overview().c_str(), stderr);
        return kExitUsage;
    }
    if (args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
        std::fputs(Overview().c_str(), stdout);
        return kExitOk;
    }
    // Two-word commands: "stub create".
    size_t used = 1;
    std::string name = args[0];
    if (Find(name) == nullptr && args.size() > 1 && !args[1].empty() && args[1][0] != '-') {
        name += " " + args[1];
        used = 2;
    }
    const Command* command = Find(name);
    if (command == nullptr && used == 1) {
        // A group named alone ("pontor stub"): its commands.
        std::string group, names;
        for (const Command& c : Commands()) {
            if (std::string(c.shape.name).rfind(name + " ", 0) == 0) {
                group += std::string("  pontor ") + c.shape.name + " " + c.shape.arguments + "\n";
                names +=
                    (names.empty() ? "" : ", ") + std::string(c.shape.name).substr(name.size() + 1);
            }
        }
        if (!group.empty()) {
            if (args.size() > 1 && (args[1] == "--help" || args[1] == "-h")) {
                std::printf("usage:\n%s", group.c_str());
                return kExitOk;
            }
            std::fprintf(stderr, "pontor: %s: missing command: %s (see 'pontor %s --help')\n",
                         name.c_str(), names.c_str(), name.c_str());
            return kExitUsage;
        }
    }
    if (command == nullptr) {
        std::fprintf(stderr, "pontor: unknown command '%s' (see 'pontor --help')\n", name.c_str());
        return kExitUsage;
    }
    int status;
    try {
        const ParsedArgs parsed = ParseArgs(
            command->shape, std::vector<std::string>(args.begin() + (long)used, args.end()));
        if (parsed.Help()) {
            std::fputs(Usage(command->shape).c_str(), stdout);
            return kExitOk;
        }
        ApplyDiagnostics(parsed);
        status = command->run(parsed);
    } catch (const UsageError& error) {
        std::fprintf(stderr, "pontor: %s: %s\n", command->shape.name, error.message.c_str());
        return kExitUsage;
    } catch (const ToolError& error) {
        std::fflush(stdout);
        std::fprintf(stderr, "%s\n", FormatError(error).c_str());
        return error.exitCode;
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "pontor: %s: out of memory\n", command->shape.name);
        return kExitFailure;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "pontor: %s: %s\n", command->shape.name, error.what());
        return kExitFailure;
    }
    // Output that did not reach its destination is a failure too.
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        std::fprintf(stderr, "pontor: stdout: %s\n", ErrnoText(errno).c_str());
        return kExitFailure;
    }
    return status;
}

}  // namespace tool

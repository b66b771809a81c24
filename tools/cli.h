// The command-line conventions every subcommand shares: option parsing,
// --help, one-line errors and exit codes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tools/reader/error.h"

namespace tool {

// A bad command line. Printed as "pontor: COMMAND: message", exit kExitUsage.
struct UsageError {
    std::string message;
};

std::string FormatError(const ToolError& error);
// "No such file or directory" style text of an errno value.
std::string ErrnoText(int error);

struct OptionSpec {
    char shortName;  // 0: long form only
    const char* longName;
    const char* value;  // its value's name in the usage; null for a flag
    const char* help;
};

struct CommandSpec {
    const char* name;       // "info", "stub create"
    const char* arguments;  // "IMAGE [STUB]"
    const char* summary;    // one line for 'pontor --help'
    const char* description;
    std::vector<OptionSpec> options;  // -h, -v and --trace are added to every command
    size_t minArguments;
    size_t maxArguments;
};

class ParsedArgs {
public:
    bool Help() const { return help_; }
    bool Flag(std::string_view longName) const;
    // The value of an option that takes one, if it was given (the last one wins).
    std::optional<std::string> Value(std::string_view longName) const;
    const std::vector<std::string>& Arguments() const { return arguments_; }
    bool Verbose() const { return Flag("verbose"); }

private:
    friend ParsedArgs ParseArgs(const CommandSpec& shape, const std::vector<std::string>& args);
    bool help_ = false;
    std::vector<std::pair<std::string, std::string>> options_;  // long name, value
    std::vector<std::string> arguments_;
};

// Throws UsageError. --help stops the checks on the rest of the line.
ParsedArgs ParseArgs(const CommandSpec& shape, const std::vector<std::string>& args);
std::string Usage(const CommandSpec& shape);

// A byte count or offset: decimal or 0x hex, with an optional K, M, G or T
// (binary multiples). Throws UsageError naming the option.
uint64_t ParseSize(std::string_view option, std::string_view text);

// Applies -v and --trace: the driver's debug output to stderr, the trace mask.
void ApplyDiagnostics(const ParsedArgs& args);

}  // namespace tool

// The command-line conventions every subcommand shares: option parsing,
// --help, one-line errors and exit codes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/host/kernel.h"

namespace tool {

// Exit codes that every subcommand keeps.
constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;  // refused, failed, or (check) problems found
constexpr int kExitUsage = 2;    // bad command line
constexpr int kExitUnreadable = 3;  // check: the image could not be examined at all

// A bad command line. Printed as "pontor: COMMAND: message", exit kExitUsage.
struct UsageError {
    std::string message;
};

// A failure of the work itself, printed as one line:
//   pontor: SUBJECT: STATUS_NAME (0xXXXXXXXX): message   (with a status)
//   pontor: SUBJECT: message                             (without)
struct ToolError {
    ToolError(std::string subject_, std::string message_, std::optional<NTSTATUS> status_ = {},
              int exitCode_ = kExitFailure)
        : subject(std::move(subject_)), message(std::move(message_)), status(status_),
          exitCode(exitCode_) {}
    std::string subject;
    std::string message;
    std::optional<NTSTATUS> status;
    int exitCode = kExitFailure;
};

std::string FormatError(const ToolError& error);
// "No such file or directory" style text of an errno value.
std::string ErrnoText(int error);

struct OptionSpec {
    char shortName;     // 0: long form only
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

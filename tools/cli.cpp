#include "tools/cli.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "platform/host/host.h"
#include "vhdx/pontor.h"

namespace tool {
namespace {

const OptionSpec kCommonOptions[] = {
    {'h', "help", nullptr, "show this help"},
    {'v', "verbose", nullptr, "show the driver's debug output on stderr"},
    {0, "trace", "MASK", "set the driver's trace mask (bit 0: routine-entry traces)"},
};

const OptionSpec* FindLong(const CommandSpec& shape, std::string_view name) {
    for (const OptionSpec& option : kCommonOptions) {
        if (name == option.longName) {
            return &option;
        }
    }
    for (const OptionSpec& option : shape.options) {
        if (name == option.longName) {
            return &option;
        }
    }
    return nullptr;
}

const OptionSpec* FindShort(const CommandSpec& shape, char name) {
    for (const OptionSpec& option : kCommonOptions) {
        if (option.shortName == name) {
            return &option;
        }
    }
    for (const OptionSpec& option : shape.options) {
        if (option.shortName == name) {
            return &option;
        }
    }
    return nullptr;
}

}  // namespace

std::string FormatError(const ToolError& error) {
    std::string line = "pontor: ";
    if (!error.subject.empty()) {
        line += error.subject + ": ";
    }
    if (error.status) {
        char code[16];
        std::snprintf(code, sizeof code, "%08" PRIX32, (uint32_t)*error.status);
        line += host::StatusName(*error.status) + " (0x" + code + ")";
        if (!error.message.empty()) {
            line += ": ";
        }
    }
    return line + error.message;
}

std::string ErrnoText(int error) { return std::strerror(error); }

bool ParsedArgs::Flag(std::string_view longName) const {
    for (const auto& [name, value] : options_) {
        if (name == longName) {
            return true;
        }
    }
    return false;
}

std::optional<std::string> ParsedArgs::Value(std::string_view longName) const {
    std::optional<std::string> found;
    for (const auto& [name, value] : options_) {
        if (name == longName) {
            found = value;
        }
    }
    return found;
}

ParsedArgs ParseArgs(const CommandSpec& shape, const std::vector<std::string>& args) {
    ParsedArgs parsed;
    bool optionsEnded = false;
    for (size_t i = 0; i < args.size(); i++) {
        const std::string& arg = args[i];
        if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
            parsed.arguments_.push_back(arg);
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }
        // Either one long option (--name, --name=value) or a cluster of short
        // ones whose last may take a value (-fv, -oFILE, -o FILE).
        std::vector<std::pair<const OptionSpec*, std::optional<std::string>>> found;
        if (arg[1] == '-') {
            const size_t equals = arg.find('=');
            const std::string name =
                arg.substr(2, equals == std::string::npos ? std::string::npos : equals - 2);
            const OptionSpec* option = FindLong(shape, name);
            if (option == nullptr) {
                throw UsageError{"unknown option --" + name};
            }
            std::optional<std::string> value;
            if (equals != std::string::npos) {
                if (option->value == nullptr) {
                    throw UsageError{"option --" + name + " takes no value"};
                }
                value = arg.substr(equals + 1);
            }
            found.emplace_back(option, value);
        } else {
            for (size_t k = 1; k < arg.size(); k++) {
                const OptionSpec* option = FindShort(shape, arg[k]);
                if (option == nullptr) {
                    throw UsageError{std::string("unknown option -") + arg[k]};
                }
                if (option->value != nullptr && k + 1 < arg.size()) {
                    found.emplace_back(option, arg.substr(k + 1));
                    break;
                }
                found.emplace_back(option, std::nullopt);
            }
        }
        for (auto& [option, value] : found) {
            if (std::strcmp(option->longName, "help") == 0) {
                parsed.help_ = true;
                return parsed;
            }
            if (option->value != nullptr && !value) {
                if (i + 1 >= args.size()) {
                    throw UsageError{std::string("option --") + option->longName + " needs " +
                                     option->value};
                }
                value = args[++i];
            }
            parsed.options_.emplace_back(option->longName, value.value_or(""));
        }
    }
    if (parsed.arguments_.size() < shape.minArguments) {
        throw UsageError{std::string("missing ") + shape.arguments + " (see 'pontor " + shape.name +
                         " --help')"};
    }
    if (parsed.arguments_.size() > shape.maxArguments) {
        throw UsageError{"unexpected argument '" + parsed.arguments_[shape.maxArguments] +
                         "' (see 'pontor " + shape.name + " --help')"};
    }
    return parsed;
}

std::string Usage(const CommandSpec& shape) {
    std::string text = std::string("usage: pontor ") + shape.name + " " + shape.arguments +
                       " [options]\n\n" + shape.description + "\nOptions:\n";
    auto add = [&](const OptionSpec& option) {
        std::string left = "  ";
        left += option.shortName ? std::string("-") + option.shortName + ", " : "    ";
        left += std::string("--") + option.longName;
        if (option.value != nullptr) {
            left += std::string(" ") + option.value;
        }
        left.resize(std::max<size_t>(left.size() + 2, 24), ' ');
        text += left + option.help + "\n";
    };
    for (const OptionSpec& option : shape.options) {
        add(option);
    }
    for (const OptionSpec& option : kCommonOptions) {
        add(option);
    }
    return text;
}

uint64_t ParseSize(std::string_view option, std::string_view text) {
    auto bad = [&]() {
        return UsageError{std::string(option) + ": not a byte count: '" + std::string(text) + "'"};
    };
    std::string_view digits = text;
    unsigned base = 10;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
        base = 16;
        digits.remove_prefix(2);
    }
    uint64_t value = 0;
    size_t used = 0;
    for (; used < digits.size(); used++) {
        const char c = digits[used];
        unsigned digit;
        if (c >= '0' && c <= '9') {
            digit = (unsigned)(c - '0');
        } else if (base == 16 && c >= 'a' && c <= 'f') {
            digit = (unsigned)(c - 'a' + 10);
        } else if (base == 16 && c >= 'A' && c <= 'F') {
            digit = (unsigned)(c - 'A' + 10);
        } else {
            break;
        }
        if (value > (UINT64_MAX - digit) / base) {
            throw UsageError{std::string(option) + ": too large: '" + std::string(text) + "'"};
        }
        value = value * base + digit;
    }
    if (used == 0) {
        throw bad();
    }
    std::string_view suffix = digits.substr(used);
    if (suffix.empty()) {
        return value;
    }
    unsigned shift;
    switch (suffix[0]) {
        case 'k':
        case 'K': shift = 10; break;
        case 'm':
        case 'M': shift = 20; break;
        case 'g':
        case 'G': shift = 30; break;
        case 't':
        case 'T': shift = 40; break;
        default: throw bad();
    }
    suffix.remove_prefix(1);
    if (!suffix.empty() && suffix != "iB" && suffix != "B") {
        throw bad();
    }
    if (value > (UINT64_MAX >> shift)) {
        throw UsageError{std::string(option) + ": too large: '" + std::string(text) + "'"};
    }
    return value << shift;
}

void ApplyDiagnostics(const ParsedArgs& args) {
    if (args.Verbose()) {
        host::SetDebugSink(
            [](const host::DebugLine& line) { std::fputs(line.text.c_str(), stderr); });
    }
    if (const auto mask = args.Value("trace")) {
        const uint64_t value = ParseSize("--trace", *mask);
        if (value > 0xFFFFFFFFu) {
            throw UsageError{"--trace: the mask is 32 bits: '" + *mask + "'"};
        }
        gTraceFlags = (ULONG)value;
    }
}

}  // namespace tool

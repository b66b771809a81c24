// How the reader and the commands report a failure: one line and an exit
// code that scripts can trust.
#pragma once

#include <optional>
#include <string>
#include <utility>

#include "platform/host/kernel.h"

namespace tool {

// Exit codes that every subcommand keeps.
constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;     // refused, failed, or (check) problems found
constexpr int kExitUsage = 2;       // bad command line
constexpr int kExitUnreadable = 3;  // check: the image could not be examined at all

// The way forward from a chain deeper than the driver binds.
constexpr const char* kFlattenHint =
    "(pontor flatten IMAGE OUT writes the chain as one image the driver serves)";

// A failure of the work itself, printed as one line:
//   pontor: SUBJECT: STATUS_NAME (0xXXXXXXXX): message   (with a status)
//   pontor: SUBJECT: message                             (without)
struct ToolError {
    ToolError(std::string subject_, std::string message_, std::optional<NTSTATUS> status_ = {},
              int exitCode_ = kExitFailure)
        : subject(std::move(subject_)),
          message(std::move(message_)),
          status(status_),
          exitCode(exitCode_) {}
    std::string subject;
    std::string message;
    std::optional<NTSTATUS> status;
    int exitCode = kExitFailure;
};

}  // namespace tool

// Sizes in the units the format and the tests speak.
#pragma once

#include <cstdint>

namespace kit {

constexpr uint64_t KiB = 1024;
constexpr uint64_t MiB = 1024 * KiB;

}  // namespace kit

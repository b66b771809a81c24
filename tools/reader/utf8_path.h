// Paths from the tool's UTF-8 strings (arguments, names read from images).
// std::filesystem::path(std::string) decodes the native narrow encoding,
// which libstdc++ on Windows does not take as UTF-8 although path::string()
// gives UTF-8 there; a char8_t string is UTF-8 everywhere. On Linux both
// are the same bytes.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace tool {

inline std::filesystem::path Utf8Path(std::string_view utf8) {
    return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

}  // namespace tool

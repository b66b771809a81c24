// Running the pontor binary, patching built images into the states the tool
// must recognise, and reading files back.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/image_fixture.h"
#include "tests/support/kit.h"
#include "tests/support/vhdx_image.h"

namespace tooltest {

using kit::Have;
using kit::ReadFile;
using kit::Run;
using kit::Shell;

// Runs the built pontor with args, stdout and stderr captured, in dir.
Run Pontor(const std::vector<std::string>& args, const std::filesystem::path& dir = {});

// The space-separated words of text: a table row's command line.
std::vector<std::string> Words(const std::string& text);

// Whether text is one well-formed JSON value (checked by Python's parser).
bool IsJson(const std::string& text);

// Names of the entries of dir, sorted.
std::vector<std::string> ListDir(const std::filesystem::path& dir);

// Patches of built images. Each reseals what it changes.
namespace patch {
constexpr uint64_t kHeader[2] = {0x10000, 0x20000};
constexpr uint64_t kRegionTable[2] = {0x30000, 0x40000};
void SetSequence(vhdxtest::Image& image, int copy, uint64_t sequence);
void SetLogGuid(vhdxtest::Image& image, int copy, const vhdxtest::Guid& guid);
void SetVersion(vhdxtest::Image& image, int copy, uint16_t version);
void SetDataWriteGuid(vhdxtest::Image& image, const vhdxtest::Guid& guid);  // both copies
void Damage(vhdxtest::Image& image, uint64_t structureOffset);              // breaks its checksum
// Changes the flags of the metadata table entry of item.
void SetItemFlags(vhdxtest::Image& image, const vhdxtest::Guid& item, uint32_t flags);
}  // namespace patch

// The data write GUID the builder stamps into every image.
extern const vhdxtest::Guid kBuilderDataWriteGuid;
// The locator of a child made from a builder-made parent named name.
std::vector<std::pair<std::u16string, std::u16string>> LocatorFor(const std::u16string& name);

}  // namespace tooltest

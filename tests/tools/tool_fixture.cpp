#include "tests/tools/tool_fixture.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace tooltest {
const vhdxtest::Guid kBuilderDataWriteGuid =
    vhdxtest::Guid::Parse("{66666666-7777-8888-9999-AAAAAAAAAAAA}");

std::vector<std::pair<std::u16string, std::u16string>> LocatorFor(const std::u16string& name) {
    return {{u"parent_linkage", u"{66666666-7777-8888-9999-AAAAAAAAAAAA}"},
            {u"relative_path", u".\\" + name}};
}

Run Pontor(const std::vector<std::string>& args, const std::filesystem::path& dir) {
    std::vector<std::string> argv = {PONTOR_BINARY};
    argv.insert(argv.end(), args.begin(), args.end());
    return kit::Spawn(argv, dir);
}

std::vector<std::string> Words(const std::string& text) {
    std::vector<std::string> words;
    std::istringstream in(text);
    for (std::string word; in >> word;) {
        words.push_back(word);
    }
    return words;
}

bool IsJson(const std::string& text) {
    kit::ScratchDir dir("pontor-json");
    std::ofstream(dir.File("text"), std::ios::binary) << text;
    return Shell("python3 -c 'import json,sys; json.load(open(sys.argv[1]))' " +
                 dir.File("text").string()) == 0;
}

std::vector<std::string> ListDir(const std::filesystem::path& dir) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

namespace patch {

void SetSequence(vhdxtest::Image& image, int copy, uint64_t sequence) {
    vhdxtest::Store64(&image.bytes[kHeader[copy] + 8], sequence);
    image.ResealHeaders();
}

void SetLogGuid(vhdxtest::Image& image, int copy, const vhdxtest::Guid& guid) {
    std::memcpy(&image.bytes[kHeader[copy] + 48], guid.bytes.data(), 16);
    image.ResealHeaders();
}

void SetVersion(vhdxtest::Image& image, int copy, uint16_t version) {
    vhdxtest::Store16(&image.bytes[kHeader[copy] + 66], version);
    image.ResealHeaders();
}

void SetDataWriteGuid(vhdxtest::Image& image, const vhdxtest::Guid& guid) {
    for (int copy = 0; copy < 2; copy++) {
        std::memcpy(&image.bytes[kHeader[copy] + 32], guid.bytes.data(), 16);
    }
    image.ResealHeaders();
}

void Damage(vhdxtest::Image& image, uint64_t structureOffset) {
    image.bytes[structureOffset + 4] ^= 0x5A;
}

void SetItemFlags(vhdxtest::Image& image, const vhdxtest::Guid& item, uint32_t flags) {
    uint8_t* m = &image.bytes[vhdxtest::kMetadataOffset];
    const uint16_t n = (uint16_t)(m[10] | m[11] << 8);
    for (uint16_t i = 0; i < n; i++) {
        if (std::memcmp(m + 32 + 32 * i, item.bytes.data(), 16) == 0) {
            vhdxtest::Store32(m + 32 + 32 * i + 24, flags);
            return;
        }
    }
    throw std::logic_error("no such metadata item");
}

}  // namespace patch
}  // namespace tooltest

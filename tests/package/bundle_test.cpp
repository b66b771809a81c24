// pontor-windows-x64.zip as a Windows user receives it: every file there,
// the driver's test signature and PE checksum valid, and the INF and the
// scripts naming what the bundle holds.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

std::string Read(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// A command's exit status and its stdout and stderr together.
std::pair<int, std::string> Shell(const std::string& command) {
    FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
    std::string output;
    char buffer[4096];
    for (size_t n; pipe != nullptr && (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
        output.append(buffer, n);
    }
    const int status = pipe != nullptr ? ::pclose(pipe) : -1;
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, output};
}

uint32_t Load32(const std::string& bytes, size_t offset) {
    uint32_t value = 0;
    for (int i = 3; i >= 0; --i) {
        value = value << 8 | (uint8_t)bytes.at(offset + i);
    }
    return value;
}

// Where OptionalHeader.CheckSum lies: after the PE signature, the file
// header (20 bytes) and 64 bytes of the optional header.
size_t ChecksumOffset(const std::string& image) { return Load32(image, 0x3C) + 4 + 20 + 64; }

// The image checksum as the loader computes it: 16-bit words summed with
// their carries folded back, the CheckSum field itself counted as zero, plus
// the file's length.
uint32_t PeChecksum(const std::string& image) {
    const size_t skip = ChecksumOffset(image);
    uint64_t sum = 0;
    for (size_t i = 0; i < image.size(); i += 2) {
        if (i == skip || i == skip + 2) {
            continue;
        }
        uint32_t word = (uint8_t)image[i];
        if (i + 1 < image.size()) {
            word |= (uint32_t)(uint8_t)image[i + 1] << 8;
        }
        sum += word;
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    sum = (sum & 0xFFFF) + (sum >> 16);
    return (uint32_t)sum + (uint32_t)image.size();
}

// The INF's sections, keys lower-cased, comments and blank lines dropped.
using Inf = std::map<std::string, std::vector<std::string>>;
Inf ParseInf(const std::string& text) {
    Inf inf;
    std::string section, line;
    std::istringstream in(text);
    while (std::getline(in, line)) {
        line = std::regex_replace(line, std::regex(R"(\s*;.*|\r)"), "");
        line = std::regex_replace(line, std::regex(R"(^\s+|\s+$)"), "");
        std::smatch header;
        if (std::regex_match(line, header, std::regex(R"(\[(.+)\])"))) {
            section = header[1];
        } else if (!line.empty()) {
            inf[section].push_back(line);
        }
    }
    return inf;
}

// "%DriverName%.sys" with the [Strings] section's values.
std::string Expand(const Inf& inf, std::string value) {
    for (const std::string& entry : inf.at("Strings")) {
        std::smatch pair;
        if (std::regex_match(entry, pair, std::regex(R"re((\S+)\s*=\s*"?([^"]*)"?)re"))) {
            value = std::regex_replace(value, std::regex("%" + pair[1].str() + "%"), pair[2].str());
        }
    }
    return value;
}

std::string Value(const Inf& inf, const std::string& section, const std::string& key) {
    for (const std::string& entry : inf.at(section)) {
        std::smatch pair;
        if (std::regex_match(entry, pair, std::regex(key + R"re(\s*=\s*"?([^"]*)"?)re"))) {
            return Expand(inf, pair[1]);
        }
    }
    return "";
}

class Bundle : public testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = new fs::path(fs::temp_directory_path() /
                            ("pontor-bundle-" + std::to_string(::getpid())));
        fs::create_directories(*dir_);
        const auto [status, output] =
            Shell("cd " + dir_->string() + " && " PONTOR_CMAKE " -E tar xf " PONTOR_BUNDLE);
        ASSERT_EQ(status, 0) << output;
    }
    static void TearDownTestSuite() {
        fs::remove_all(*dir_);
        delete dir_;
    }
    static fs::path File(const std::string& name) { return *dir_ / name; }
    static std::pair<int, std::string> Verify(const fs::path& image) {
        return Shell(PONTOR_OSSLSIGNCODE " verify -CAfile " PONTOR_BUNDLE_CERTIFICATE " -in " +
                     image.string());
    }
    static fs::path* dir_;
};
fs::path* Bundle::dir_ = nullptr;

TEST_F(Bundle, HoldsEveryFileAndNoKey) {
    std::set<std::string> names;
    for (const fs::directory_entry& entry : fs::directory_iterator(*dir_)) {
        names.insert(entry.path().filename());
        EXPECT_EQ(Read(entry.path()).find("PRIVATE KEY"), std::string::npos) << entry.path();
    }
    EXPECT_EQ(names,
              (std::set<std::string>{"README.txt", "install.cmd", "pontor-test.cer", "pontor.exe",
                                     "pontor.inf", "pontor.sys", "uninstall.cmd"}));
    // Scripts and text for cmd.exe and Notepad: CR LF throughout.
    for (const char* name : {"README.txt", "install.cmd", "uninstall.cmd"}) {
        const std::string text = Read(File(name));
        EXPECT_EQ(std::regex_search(text, std::regex("[^\r]\n")), false) << name;
    }
    EXPECT_NE(Read(File("pontor-test.cer")).find("Test Signing"), std::string::npos)
        << "the certificate's subject says it is for test signing";
}

TEST_F(Bundle, DriverSignatureVerifies) {
    const auto [status, output] = Verify(File("pontor.sys"));
    EXPECT_EQ(status, 0) << output;
    EXPECT_NE(output.find("Signature verification: ok"), std::string::npos) << output;
    EXPECT_NE(output.find("Test Signing"), std::string::npos) << output;
}

TEST_F(Bundle, DriverChecksumIsCorrectAfterSigning) {
    const std::string image = Read(File("pontor.sys"));
    ASSERT_EQ(image.substr(0, 2), "MZ");
    ASSERT_EQ(image.substr(Load32(image, 0x3C), 4), std::string("PE\0\0", 4));
    // The certificate table (data directory 4 of a PE32+ image) is filled in.
    const size_t directories = ChecksumOffset(image) - 64 + 112;
    EXPECT_GT(Load32(image, directories + 4 * 8 + 4), 0u) << "no certificate table";
    EXPECT_EQ(Load32(image, ChecksumOffset(image)), PeChecksum(image));
}

TEST_F(Bundle, InfNamesTheFilesItHolds) {
    const Inf inf = ParseInf(Read(File("pontor.inf")));
    // Every file the INF copies, and the service binary, is in the bundle.
    std::set<std::string> copied;
    for (const std::string& file : inf.at(Value(inf, "DefaultInstall.NTamd64", "CopyFiles"))) {
        copied.insert(Expand(inf, file));
    }
    for (const std::string& entry : inf.at("SourceDisksFiles")) {
        copied.insert(entry.substr(0, entry.find_first_of(" =")));
    }
    EXPECT_EQ(copied, std::set<std::string>{"pontor.sys"});
    for (const std::string& file : copied) {
        EXPECT_TRUE(fs::exists(File(file))) << file;
    }
    EXPECT_EQ(Value(inf, "Pontor.Service", "ServiceBinary"), "%12%\\pontor.sys");

    // The scripts install and remove through sections the INF has, and load
    // and unload the service it creates.
    const std::string service = Value(inf, "Strings", "ServiceName");
    const std::vector<std::pair<std::string, std::string>> scripts = {
        {"install.cmd", "DefaultInstall.NTamd64"}, {"uninstall.cmd", "DefaultUninstall.NTamd64"}};
    for (const auto& [script, section] : scripts) {
        const std::string text = Read(File(script));
        EXPECT_TRUE(inf.count(section) && inf.count(section + ".Services")) << section;
        EXPECT_NE(text.find("InstallHinfSection " + section + " 132 .\\pontor.inf"),
                  std::string::npos)
            << script;
        EXPECT_NE(text.find(std::string(script == "install.cmd" ? "fltmc load " : "fltmc unload ") +
                            service),
                  std::string::npos)
            << script;
    }
    EXPECT_NE(Read(File("install.cmd")).find("fltmc instances -f " + service), std::string::npos);
}

}  // namespace

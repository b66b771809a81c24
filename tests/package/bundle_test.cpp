// pontor-windows-x64.zip as a Windows user receives it: every file there,
// the INF and scripts those of the source tree, every file the INF names
// shipped, the driver's test signature and PE checksum valid, and the
// package's catalog holding the driver and the INF as osslsigncode reads it.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "tests/support/kit.h"
#include "tests/support/vhdx_image.h"

namespace {

namespace fs = std::filesystem;
using kit::Slurp;

class Bundle : public testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = new kit::ScratchDir("pontor-bundle");
        const kit::Run tar = kit::Spawn({PONTOR_CMAKE, "-E", "tar", "xf", PONTOR_BUNDLE}, Dir());
        ASSERT_EQ(tar.exitCode, 0) << tar.err;
    }
    static void TearDownTestSuite() { delete dir_; }
    static const fs::path& Dir() { return dir_->Dir(); }
    static fs::path File(const std::string& name) { return Dir() / name; }
    static kit::ScratchDir* dir_;
};
kit::ScratchDir* Bundle::dir_ = nullptr;

TEST_F(Bundle, HoldsEveryFileAndNoKey) {
    std::set<std::string> names;
    for (const fs::directory_entry& entry : fs::directory_iterator(Dir())) {
        names.insert(entry.path().filename());
        EXPECT_EQ(Slurp(entry.path()).find("PRIVATE KEY"), std::string::npos) << entry.path();
    }
    EXPECT_EQ(names,
              (std::set<std::string>{"README.txt", "install.cmd", "pontor-test.cer", "pontor.cat",
                                     "pontor.exe", "pontor.inf", "pontor.sys", "uninstall.cmd"}));
    // Scripts and text for cmd.exe and Notepad: CR LF throughout.
    for (const char* name : {"README.txt", "install.cmd", "uninstall.cmd"}) {
        EXPECT_EQ(std::regex_search(Slurp(File(name)), std::regex("[^\r]\n")), false) << name;
    }
    // The INF and the scripts are the source tree's, which tests/windows checks.
    for (const char* name : {"pontor.inf", "install.cmd", "uninstall.cmd"}) {
        std::string text = Slurp(File(name)), source = Slurp(PONTOR_SOURCE_DIR + std::string(name));
        std::erase(text, '\r');
        std::erase(source, '\r');
        EXPECT_EQ(text, source) << name;
    }
    EXPECT_NE(Slurp(File("pontor-test.cer")).find("Test Signing"), std::string::npos)
        << "the certificate's subject says it is for test signing";
}

// The catalog and every source file the INF names are in the package
// pnputil stages, this folder.
TEST_F(Bundle, HoldsEveryFileTheInfNames) {
    const std::string inf = Slurp(File("pontor.inf"));
    std::smatch m;
    ASSERT_TRUE(std::regex_search(inf, m, std::regex(R"(\n\s*CatalogFile\s*=\s*([^\s;]+))")));
    EXPECT_TRUE(fs::exists(File(m[1]))) << "CatalogFile names " << m[1];
    ASSERT_TRUE(
        std::regex_search(inf, m, std::regex(R"(\[SourceDisksFiles\]\n((?:[^\[\n].*\n|\n)*))")));
    const std::string section = m[1];
    const std::regex entry(R"((?:^|\n)\s*([^\s;=]+)\s*=)");
    size_t files = 0;
    for (std::sregex_iterator it(section.begin(), section.end(), entry), end; it != end;
         ++it, files++) {
        EXPECT_TRUE(fs::exists(File((*it)[1]))) << "[SourceDisksFiles] names " << (*it)[1];
    }
    EXPECT_GT(files, 0u);
}

kit::Run VerifyInCatalog(const fs::path& file, const fs::path& catalog) {
    return kit::Spawn({PONTOR_OSSLSIGNCODE, "verify", "-CAfile", PONTOR_BUNDLE_CERTIFICATE, "-in",
                       file.string(), "-catalog", catalog.string()});
}

TEST_F(Bundle, CatalogHoldsTheDriverAndVerifies) {
    const kit::Run verify = VerifyInCatalog(File("pontor.sys"), File("pontor.cat"));
    const std::string output = verify.out + verify.err;
    EXPECT_EQ(verify.exitCode, 0) << output;
    EXPECT_NE(output.find("File is signed in catalog"), std::string::npos) << output;
    EXPECT_NE(output.find("Signature verification: ok"), std::string::npos) << output;

    // A driver one byte different is not the catalog's.
    kit::ScratchDir scratch("pontor-catalog");
    std::vector<uint8_t> image = kit::ReadFile(File("pontor.sys"));
    ASSERT_GT(image.size(), 0x1000u);
    image[0x1000] ^= 1;
    std::ofstream(scratch.File("pontor.sys"), std::ios::binary)
        .write(reinterpret_cast<const char*>(image.data()), std::streamsize(image.size()));
    const kit::Run changed = VerifyInCatalog(scratch.File("pontor.sys"), File("pontor.cat"));
    EXPECT_NE(changed.exitCode, 0) << changed.out;
}

// osslsigncode verifies PE members only. The INF's member is its SHA-256,
// as the member's identifier and in its indirect data.
TEST_F(Bundle, CatalogHoldsTheInfsHash) {
    const std::string sum = kit::Output("sha256sum '" + File("pontor.inf").string() + "'");
    ASSERT_GE(sum.size(), 64u);
    std::string digest;
    for (size_t i = 0; i < 64; i += 2) {
        digest += char(std::stoi(sum.substr(i, 2), nullptr, 16));
    }
    const std::string catalog = Slurp(File("pontor.cat"));
    const size_t first = catalog.find(digest);
    ASSERT_NE(first, std::string::npos) << "no member " << sum.substr(0, 64);
    EXPECT_NE(catalog.find(digest, first + 1), std::string::npos) << "no indirect data";
}

TEST_F(Bundle, DriverSignatureVerifies) {
    const kit::Run verify =
        kit::Spawn({PONTOR_OSSLSIGNCODE, "verify", "-CAfile", PONTOR_BUNDLE_CERTIFICATE, "-in",
                    File("pontor.sys").string()});
    const std::string output = verify.out + verify.err;
    EXPECT_EQ(verify.exitCode, 0) << output;
    EXPECT_NE(output.find("Signature verification: ok"), std::string::npos) << output;
    EXPECT_NE(output.find("Test Signing"), std::string::npos) << output;
}

TEST_F(Bundle, DriverChecksumIsCorrectAfterSigning) {
    const std::vector<uint8_t> image = kit::ReadFile(File("pontor.sys"));
    ASSERT_GT(image.size(), 0x400u);
    ASSERT_EQ(std::string(image.begin(), image.begin() + 2), "MZ");
    const size_t optional = vhdxtest::Load32(&image[0x3C]) + 24;
    ASSERT_LT(optional + 68, image.size());
    ASSERT_EQ(vhdxtest::Load32(&image[optional - 24]), 0x4550u) << "no PE signature";
    EXPECT_EQ(vhdxtest::Load32(&image[optional + 64]), kit::PeChecksum(image));
}

}  // namespace

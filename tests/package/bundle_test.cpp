// pontor-windows-x64.zip as a Windows user receives it: every file there,
// the INF and scripts those of the source tree, and the driver's test
// signature and PE checksum valid.
#include <gtest/gtest.h>

#include <filesystem>
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
              (std::set<std::string>{"README.txt", "install.cmd", "pontor-test.cer", "pontor.exe",
                                     "pontor.inf", "pontor.sys", "uninstall.cmd"}));
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

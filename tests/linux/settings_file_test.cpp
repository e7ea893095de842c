// The settings files as the registry's two hives, read by the product's own
// readers.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "platform/logging.h"
#include "platform/privacy_filter.h"
#include "platform/settings.h"
#include "platform/settings_file.h"

namespace {

class SettingsFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = std::filesystem::temp_directory_path() / ("tvx-settings-" + std::to_string(getpid()));
        std::filesystem::create_directories(dir_);
        backend_ = std::make_unique<winreg::SettingsFileBackend>((dir_ / "machine.conf").string(),
                                                                 (dir_ / "user.conf").string());
        previous_ = winreg::setBackend(backend_.get());
    }
    void TearDown() override {
        winreg::setBackend(previous_);
        std::filesystem::remove_all(dir_);
    }
    void write(const char* file, const std::string& text) {
        std::ofstream(dir_ / file, std::ios::trunc) << text;
    }

    std::filesystem::path dir_;
    std::unique_ptr<winreg::SettingsFileBackend> backend_;
    winreg::Backend* previous_ = nullptr;
};

TEST_F(SettingsFileTest, HiveRulesTypesAndDefaults) {
    // No files: every default.
    LogSettings log;
    EXPECT_FALSE(readLogSettings(log));
    EXPECT_EQ(readPublicIpLookupMethod(), 0u);
    EXPECT_EQ(readEndPointFromRegistry("8.8.8.8"), "8.8.8.8");

    write("machine.conf",
          "[Setting]\nPublicIpLookupMethod = 3\n[Metrics]\nSampleEndpoint = 10.1.2.3\nWIFISSID = true\n"
          "[Log\\client]\nseverity = 5\n");
    write("user.conf",
          "# user\n[setting]\r\npublicIpLookupMethod=0\n[Metrics]\nWIFISSID = FALSE\nSampleEndpoint = 10.9.9.9\n"
          "[Log/client]\nseverity = \"4\"\nmax_file_count = 3\npath_root = /var/log/doza dir\n");
    // HKCU 0 falls through to HKLM; the endpoint is HKLM only.
    EXPECT_EQ(readPublicIpLookupMethod(), 3u);
    EXPECT_EQ(readEndPointFromRegistry("8.8.8.8"), "10.1.2.3");
    // Log values are HKCU only; a quoted number is a string, so no DWORD.
    ASSERT_TRUE(readLogSettings(log));
    EXPECT_EQ(log.threshold, 0);
    EXPECT_EQ(log.pathRoot, "/var/log/doza dir");
    EXPECT_EQ(log.maxFileSize, 0x500000u);
    EXPECT_EQ(log.maxFileCount, 10u);
    // "false" in either hive turns a switch off.
    dataPrivacyFilter::resetForTests();
    EXPECT_FALSE(dataPrivacyFilter::instance().isEnabled("WIFISSID"));

}

TEST_F(SettingsFileTest, BadLinesAreSkippedNotFatal) {
    winreg::MemoryBackend store;
    const auto problems = winreg::parseSettingsFile(
        "Lume = 0\n[Setting\nPublicIpLookupMethod = 2\n[Log\\client]\nno equals sign\n= 4\nseverity = 99999999999\n"
        "path_root = \"/tmp/x\nmax_file_count = 4\n[]\n",
        winreg::currentUser(), store);
    ASSERT_EQ(problems.size(), 7u);
    EXPECT_EQ(problems[0], "line 2: section without its name or closing bracket: [Setting");
    EXPECT_EQ(problems[1].substr(0, 7), "line 3:");  // lands in no key
    winreg::setBackend(&store);
    LogSettings log;
    ASSERT_TRUE(readLogSettings(log));
    EXPECT_EQ(log.threshold, 0);
    EXPECT_EQ(log.pathRoot, "");
    EXPECT_EQ(readPublicIpLookupMethod(), 0u) << "the value under the broken section is lost";
    winreg::setBackend(backend_.get());
}

}  // namespace

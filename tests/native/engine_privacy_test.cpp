// Privacy switches read from both hives.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "common/test_support.h"
#include "platform/privacy_filter.h"
#include "platform/settings.h"

namespace {

const char* const kUpdate = "dataPrivacyFilter::updateDisabledKeys";
const char* const kHeader = "-------------------- Disabled metric keys --------------------";

class EnginePrivacy : public ::testing::Test {
protected:
    void SetUp() override { dataPrivacyFilter::resetForTests(); }
    void TearDown() override { dataPrivacyFilter::resetForTests(); }

    std::vector<std::string> loggedMessages() {
        std::vector<std::string> out;
        for (const auto& line : log.lines().lines()) {
            EXPECT_EQ(line.severity, tvxlog::info);
            EXPECT_EQ(line.function, kUpdate);
            out.push_back(line.message);
        }
        return out;
    }

    tvxtest::LogCapture log;
    tvxtest::MemoryRegistry registry;
};

}  // namespace

TEST_F(EnginePrivacy, WithoutMetricsKeysEverySwitchIsOn) {
    registry->createKey(winreg::currentUser(), kSettingsRoot);
    auto& filter = dataPrivacyFilter::instance();
    for (const char* name : {kPrivacyWifiSsid, kPrivacyWifiBssid, kPrivacyIspName, kPrivacyLocation, kPrivacyInactivity})
        EXPECT_TRUE(filter.isEnabled(name)) << name;
    EXPECT_EQ(loggedMessages(), std::vector<std::string>{kHeader});
    EXPECT_EQ(&dataPrivacyFilter::instance(), &filter);
    EXPECT_EQ(log.count(), 1u);  // read and logged once per process
}

TEST_F(EnginePrivacy, HivesCombineAndOnlyStringFalseInAnyCaseTurnsASwitchOff) {
    const auto hklm = winreg::localMachine();
    const auto hkcu = winreg::currentUser();
    registry->setString(hklm, kMetricsKey, u"Location", u"false");
    registry->setString(hklm, kMetricsKey, u"SampleEndpoint", u"8.8.8.8");
    registry->setString(hklm, kMetricsKey, u"Inactivity", u"FALSE");
    registry->setString(hkcu, kMetricsKey, u"Inactivity", u"true");  // cannot turn it back on
    registry->setString(hkcu, kMetricsKey, u"wifissid", u"FaLsE");
    registry->setString(hkcu, kMetricsKey, u"WIFIBSSID", u"true");
    registry->setString(hkcu, kMetricsKey, u"Location", u"false");  // both hives: listed once
    registry->setDword(hkcu, kMetricsKey, u"ISPName", 0);            // not a string: ignored
    registry->setString(hkcu, kMetricsKey, u"Dev\u00C9", u"false");    // ASCII rule leaves the \u00C9
    registry->setString(hkcu, kMetricsKey, u"Extra", u"false ");       // not exactly "false"

    auto& filter = dataPrivacyFilter::instance();
    EXPECT_FALSE(filter.isEnabled("Location"));
    EXPECT_FALSE(filter.isEnabled("LOCATION"));
    EXPECT_FALSE(filter.isEnabled("Inactivity"));
    EXPECT_FALSE(filter.isEnabled("WIFISSID"));
    EXPECT_TRUE(filter.isEnabled("WIFIBSSID"));
    EXPECT_TRUE(filter.isEnabled("ISPName"));
    EXPECT_TRUE(filter.isEnabled("SampleEndpoint"));
    EXPECT_TRUE(filter.isEnabled("Extra"));
    EXPECT_FALSE(filter.isEnabled("DEV\xC3\x89"));
    EXPECT_TRUE(filter.isEnabled("DEV\xC3\xA9"));
    EXPECT_EQ(loggedMessages(), (std::vector<std::string>{kHeader, "\t[dev\xC3\x89]", "\t[inactivity]",
                                                          "\t[location]", "\t[wifissid]"}));
    EXPECT_EQ(registry->openHandles(), 0u);
}

TEST_F(EnginePrivacy, ARegistryFailureLeavesTheFilterUncreatedAndTheNextCallRetries) {
    registry->setString(winreg::currentUser(), kMetricsKey, u"ISPName", u"false");
    registry->failEnumerationWith(winreg::kErrorAccessDenied);
    try {
        dataPrivacyFilter::instance();
        FAIL() << "no exception";
    } catch (const winreg::RegException& e) {
        EXPECT_EQ(std::string(e.what()).rfind("Cannot enumerate values: RegEnumValueW failed.", 0), 0u) << e.what();
        EXPECT_EQ(e.code(), winreg::kErrorAccessDenied);
    }
    EXPECT_EQ(log.count(), 0u);
    EXPECT_EQ(registry->openHandles(), 0u);

    EXPECT_FALSE(dataPrivacyFilter::instance().isEnabled("ispname"));
    EXPECT_EQ(loggedMessages(), (std::vector<std::string>{kHeader, "\t[ispname]"}));
}

TEST_F(EnginePrivacy, ConcurrentFirstCallsShareOneCreation) {
    registry->setString(winreg::localMachine(), kMetricsKey, u"WIFIBSSID", u"false");
    std::atomic<int> disabledSeen{0};
    std::atomic<dataPrivacyFilter*> first{nullptr};
    std::atomic<bool> sameFilter{true};
    std::vector<std::thread> askers;
    for (int i = 0; i < 8; ++i)
        askers.emplace_back([&] {
            dataPrivacyFilter& filter = dataPrivacyFilter::instance();
            dataPrivacyFilter* expected = nullptr;
            if (!first.compare_exchange_strong(expected, &filter) && expected != &filter) sameFilter = false;
            if (!filter.isEnabled(kPrivacyWifiBssid)) ++disabledSeen;
        });
    for (auto& t : askers) t.join();
    EXPECT_EQ(disabledSeen.load(), 8);
    EXPECT_TRUE(sameFilter);
    EXPECT_EQ(loggedMessages(), (std::vector<std::string>{kHeader, "\t[wifibssid]"}));
}

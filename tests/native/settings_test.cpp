#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "agent/lume_task.h"
#include "common/test_support.h"
#include "platform/privacy_filter.h"
#include "platform/settings.h"
#include "platform/winreg.h"

namespace {

using winreg::currentUser;
using winreg::localMachine;

class Settings : public ::testing::Test {
protected:
    tvxtest::MemoryRegistry registry_;
};

}  // namespace

// The bridge's switch and interval.
TEST_F(Settings, LumeSwitchAndIntervalAreReadFromTheUserHiveOnly) {
    std::uint32_t interval = 5000;
    auto expectLume = [&](bool on, std::uint32_t ms) {
        EXPECT_EQ(QmLumeTask::isDealWithLume(interval), on);
        EXPECT_EQ(interval, ms);
    };
    expectLume(true, 5000);
    registry_->setDword(localMachine(), kSettingsRoot, u"Lume", 0);
    registry_->setDword(localMachine(), kSettingsRoot, u"LumeInterval(sec)", 60);
    expectLume(true, 5000);
    // Clamped to 5 s..10 min as a signed number.
    const std::pair<std::uint32_t, std::uint32_t> cases[] = {
        {4, 5000}, {5, 5000}, {6, 6000}, {600, 600000}, {601, 600000}, {0x80000000, 5000}};
    for (auto [seconds, expected] : cases) {
        registry_->setDword(currentUser(), kSettingsRoot, u"LumeInterval(sec)", seconds);
        interval = 1;
        expectLume(true, expected);
    }
    // Switched off, the interval is not read.
    registry_->setDword(currentUser(), kSettingsRoot, u"Lume", 0);
    interval = 7;
    expectLume(false, 7);
    registry_->setDword(currentUser(), kSettingsRoot, u"Lume", 7);
    expectLume(true, 5000);
    // A value of another type counts as missing.
    registry_->setString(currentUser(), kSettingsRoot, u"Lume", u"0");
    expectLume(true, 5000);
}

TEST_F(Settings, PublicIpLookupMethodFallsBackToTheMachineHive) {
    EXPECT_EQ(readPublicIpLookupMethod(), 0u);
    registry_->setDword(localMachine(), kSettingKey, u"PublicIpLookupMethod", 3);
    EXPECT_EQ(readPublicIpLookupMethod(), 3u);
    registry_->setDword(currentUser(), kSettingKey, u"PublicIpLookupMethod", 2);
    EXPECT_EQ(readPublicIpLookupMethod(), 2u);
    registry_->setDword(currentUser(), kSettingKey, u"PublicIpLookupMethod", 0);
    EXPECT_EQ(readPublicIpLookupMethod(), 3u);
}

// The values that are read (an empty one included) show in the probes' tests.
TEST_F(Settings, SampleEndpointComesFromTheMachineHive) {
    tvxtest::LogCapture log;
    EXPECT_EQ(readEndPointFromRegistry("8.8.8.8"), "8.8.8.8");
    EXPECT_TRUE(log.contains(tvxlog::warning, "readEndPointFromRegistry",
                             "Cannot open registry key HKLM\\Software\\Quillmere\\Telvista\\Metrics; error: "
                             "The system cannot find the file specified."));
    registry_->setString(currentUser(), kMetricsKey, u"SampleEndpoint", u"user.example");
    registry_->createKey(localMachine(), kMetricsKey);
    EXPECT_EQ(readEndPointFromRegistry("8.8.8.8"), "8.8.8.8");
}

// Type filters, names and error texts show against the real registry in the
// Windows tests; here, the handles a key owns.
TEST_F(Settings, RegistryKeysCloseTheirHandles) {
    registry_->setDword(currentUser(), u"Software\\T", u"dword", 42);
    winreg::RegistryKey key;
    ASSERT_EQ(key.tryOpen(currentUser(), u"software\\t"), 0);

    // Reopening closes the handle held before; predefined roots are never closed.
    ASSERT_EQ(key.tryOpen(currentUser(), u"Software"), 0);
    EXPECT_EQ(registry_->openHandles(), 1u);
    key.close();
    EXPECT_EQ(registry_->openHandles(), 0u);
    {
        winreg::RegistryKey root(currentUser());
    }
    winreg::RegistryKey moved;
    ASSERT_EQ(moved.tryOpen(currentUser(), u"Software\\T"), 0);
    winreg::RegistryKey other(std::move(moved));
    EXPECT_FALSE(moved.isValid());
    EXPECT_EQ(registry_->openHandles(), 1u);
}

TEST_F(Settings, LocationServiceComesFromTheMachineHive) {
    EXPECT_EQ(readLocationServiceHost(), "geo.telvista.test");
    registry_->setString(currentUser(), kSettingKey, u"LocationServiceHost", u"user.example");
    registry_->setString(localMachine(), kSettingKey, u"LocationServiceKey", u"");
    EXPECT_EQ(readLocationServiceHost(), "geo.telvista.test");
    EXPECT_EQ(readLocationServiceKey(), "67J72EDYSQG12LT9NRCMHJX5UPUURXG7LEE9OWSN");
    // A value of another type counts as missing.
    registry_->setDword(localMachine(), kSettingKey, u"LocationServiceHost", 1);
    EXPECT_EQ(readLocationServiceHost(), "geo.telvista.test");
    registry_->setString(localMachine(), kSettingKey, u"LocationServiceHost", u"geo.example");
    registry_->setString(localMachine(), kSettingKey, u"LocationServiceKey", u"K1");
    EXPECT_EQ(readLocationServiceHost(), "geo.example");
    EXPECT_EQ(readLocationServiceKey(), "K1");
}

// Privacy switches read from both hives.
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

TEST_F(EnginePrivacy, HivesCombineAndOnlyStringFalseInAnyCaseTurnsASwitchOff) {
    // Without Metrics keys every switch is on.
    registry->createKey(winreg::currentUser(), kSettingsRoot);
    EXPECT_TRUE(dataPrivacyFilter::instance().isEnabled(kPrivacyLocation));
    EXPECT_EQ(loggedMessages(), std::vector<std::string>{kHeader});
    dataPrivacyFilter::resetForTests();
    log.lines().clear();

    const auto hklm = winreg::localMachine();
    const auto hkcu = winreg::currentUser();
    registry->setString(hklm, kMetricsKey, u"Location", u"false");
    registry->setString(hklm, kMetricsKey, u"Inactivity", u"FALSE");
    registry->setString(hkcu, kMetricsKey, u"Inactivity", u"true");  // cannot turn it back on
    registry->setString(hkcu, kMetricsKey, u"wifissid", u"FaLsE");
    registry->setString(hkcu, kMetricsKey, u"Location", u"false");  // both hives: listed once
    registry->setDword(hkcu, kMetricsKey, u"ISPName", 0);            // not a string: ignored
    registry->setString(hkcu, kMetricsKey, u"Dev\u00C9", u"false");    // ASCII rule leaves the \u00C9
    registry->setString(hkcu, kMetricsKey, u"Extra", u"false ");       // not exactly "false"

    auto& filter = dataPrivacyFilter::instance();
    const std::pair<const char*, bool> switches[] = {
        {"Location", false}, {"LOCATION", false}, {"Inactivity", false},    {"WIFISSID", false},
        {"ISPName", true},   {"Extra", true},     {"DEV\xC3\x89", false}, {"DEV\xC3\xA9", true},
    };
    for (auto [name, on] : switches) EXPECT_EQ(filter.isEnabled(name), on) << name;
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

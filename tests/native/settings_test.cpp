#include <gtest/gtest.h>

#include "common/test_support.h"
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

TEST_F(Settings, LumeSwitchAndIntervalAreReadFromTheUserHiveOnly) {
    EXPECT_TRUE(readLumeEnabled());
    EXPECT_EQ(readLumeIntervalMs(), 5000u);
    registry_->setDword(localMachine(), kSettingsRoot, u"Lume", 0);
    registry_->setDword(localMachine(), kSettingsRoot, u"LumeInterval(sec)", 60);
    EXPECT_TRUE(readLumeEnabled());
    EXPECT_EQ(readLumeIntervalMs(), 5000u);
    registry_->setDword(currentUser(), kSettingsRoot, u"Lume", 0);
    EXPECT_FALSE(readLumeEnabled());
    registry_->setDword(currentUser(), kSettingsRoot, u"Lume", 7);
    EXPECT_TRUE(readLumeEnabled());
    // A value of another type counts as missing.
    registry_->setString(currentUser(), kSettingsRoot, u"Lume", u"0");
    EXPECT_TRUE(readLumeEnabled());
}

TEST_F(Settings, LumeIntervalIsClampedAsASignedNumber) {
    const std::pair<std::uint32_t, std::uint32_t> cases[] = {
        {0, 5000},         {4, 5000},           {5, 5000},          {6, 6000},
        {600, 600000},     {601, 600000},       {0x7FFFFFFF, 600000}, {0x80000000, 5000},
        {0xFFFFFFFF, 5000},
    };
    for (auto [stored, expected] : cases) {
        registry_->setDword(currentUser(), kSettingsRoot, u"LumeInterval(sec)", stored);
        EXPECT_EQ(readLumeIntervalMs(), expected) << stored;
    }
}

TEST_F(Settings, PublicIpLookupMethodFallsBackToTheMachineHive) {
    EXPECT_EQ(readPublicIpLookupMethod(), 0u);
    registry_->setDword(localMachine(), kSettingKey, u"PublicIpLookupMethod", 3);
    EXPECT_EQ(readPublicIpLookupMethod(), 3u);
    registry_->setDword(currentUser(), kSettingKey, u"PublicIpLookupMethod", 2);
    EXPECT_EQ(readPublicIpLookupMethod(), 2u);
    registry_->setDword(currentUser(), kSettingKey, u"PublicIpLookupMethod", 0);
    EXPECT_EQ(readPublicIpLookupMethod(), 3u);
    registry_->setString(currentUser(), kSettingKey, u"PublicIpLookupMethod", u"2");
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
    registry_->setDword(localMachine(), kMetricsKey, u"SampleEndpoint", 1);
    EXPECT_EQ(readEndPointFromRegistry("8.8.8.8"), "8.8.8.8");
}

TEST_F(Settings, RegistryLayerReadsAndFailsAsTheSystemDoes) {
    auto& r = registry_.store();
    r.setDword(currentUser(), u"Software\\T", u"dword", 42);
    r.setString(currentUser(), u"Software\\T", u"text", u"h\u00e9llo");
    r.setString(currentUser(), u"Software\\T", u"\u540d\u524d", u"");
    r.setRaw(currentUser(), u"Software\\T", u"bin", winreg::kRegBinary, "\x01\x02");

    winreg::RegistryKey key;
    EXPECT_EQ(key.tryOpen(currentUser(), u"Software\\Missing"), winreg::kErrorFileNotFound);
    EXPECT_FALSE(key.isValid());
    ASSERT_EQ(key.tryOpen(currentUser(), u"software\\t"), 0);
    EXPECT_EQ(key.tryGetDwordValue(u"dword"), 42u);
    EXPECT_FALSE(key.tryGetDwordValue(u"text"));
    EXPECT_FALSE(key.tryGetStringValue(u"dword"));
    EXPECT_FALSE(key.tryGetDwordValue(u"bin"));
    EXPECT_EQ(key.tryGetStringValue(u"text"), u"h\u00e9llo");
    EXPECT_EQ(key.getStringValue(u"\u540d\u524d"), u"");

    auto values = key.enumValues();
    ASSERT_EQ(values.size(), 4u);
    EXPECT_EQ(values[0], (std::pair<std::u16string, std::uint32_t>{u"dword", winreg::kRegDword}));
    EXPECT_EQ(values[2], (std::pair<std::u16string, std::uint32_t>{u"\u540d\u524d", winreg::kRegSz}));

    try {
        key.getStringValue(u"dword");
        ADD_FAILURE() << "no exception";
    } catch (const winreg::RegException& e) {
        EXPECT_EQ(e.code(), winreg::kErrorUnsupportedType);
        EXPECT_STREQ(e.what(), "Cannot get size of string value: RegGetValueW failed.: Data of this type is not supported.");
    }
    r.failEnumerationWith(winreg::kErrorAccessDenied);
    try {
        key.enumValues();
        ADD_FAILURE() << "no exception";
    } catch (const winreg::RegException& e) {
        EXPECT_STREQ(e.what(), "Cannot enumerate values: RegEnumValueW failed.: Access is denied.");
    }

    // Reopening closes the handle held before; predefined roots are never closed.
    ASSERT_EQ(key.tryOpen(currentUser(), u"Software"), 0);
    EXPECT_EQ(r.openHandles(), 1u);
    key.close();
    EXPECT_EQ(r.openHandles(), 0u);
    {
        winreg::RegistryKey root(currentUser());
    }
    winreg::RegistryKey moved;
    ASSERT_EQ(moved.tryOpen(currentUser(), u"Software\\T"), 0);
    winreg::RegistryKey other(std::move(moved));
    EXPECT_FALSE(moved.isValid());
    EXPECT_EQ(r.openHandles(), 1u);
}

TEST_F(Settings, LocationServiceComesFromTheMachineHive) {
    EXPECT_EQ(readLocationServiceHost(), "geo.telvista.test");
    EXPECT_EQ(readLocationServiceKey(), "67J72EDYSQG12LT9NRCMHJX5UPUURXG7LEE9OWSN");
    registry_->setString(currentUser(), kSettingKey, u"LocationServiceHost", u"user.example");
    registry_->setString(localMachine(), kSettingKey, u"LocationServiceKey", u"");
    EXPECT_EQ(readLocationServiceHost(), "geo.telvista.test");
    EXPECT_EQ(readLocationServiceKey(), "67J72EDYSQG12LT9NRCMHJX5UPUURXG7LEE9OWSN");
    registry_->setDword(localMachine(), kSettingKey, u"LocationServiceHost", 1);
    EXPECT_EQ(readLocationServiceHost(), "geo.telvista.test");
    registry_->setString(localMachine(), kSettingKey, u"LocationServiceHost", u"geo.example");
    registry_->setString(localMachine(), kSettingKey, u"LocationServiceKey", u"K1");
    EXPECT_EQ(readLocationServiceHost(), "geo.example");
    EXPECT_EQ(readLocationServiceKey(), "K1");
}

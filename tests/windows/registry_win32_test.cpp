// The Win32 registry backend against Wine's real registry.
#include <windows.h>

#include <gtest/gtest.h>

#include "platform/winreg.h"

namespace {

const wchar_t kTestKey[] = L"Software\\DOZA-Plugin-Tests\\Registry";

// Creates a scratch key under HKCU and removes it again.
class Win32Registry : public ::testing::Test {
protected:
    void SetUp() override {
        RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\DOZA-Plugin-Tests");
        ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, kTestKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key_, nullptr),
                  ERROR_SUCCESS);
    }
    void TearDown() override {
        RegCloseKey(key_);
        RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\DOZA-Plugin-Tests");
    }
    void setDword(const wchar_t* name, DWORD v) {
        RegSetValueExW(key_, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v), sizeof v);
    }
    void setString(const wchar_t* name, const std::wstring& v, DWORD type = REG_SZ) {
        RegSetValueExW(key_, name, 0, type, reinterpret_cast<const BYTE*>(v.c_str()),
                       static_cast<DWORD>((v.size() + 1) * sizeof(wchar_t)));
    }
    HKEY key_ = nullptr;
};

std::u16string u16(const wchar_t* s) { return reinterpret_cast<const char16_t*>(s); }

}  // namespace

TEST_F(Win32Registry, TypeFiltersAndUtf16Names) {
    setDword(L"dword", 42);
    setString(L"text", L"h\u00e9llo \u4e16\u754c");
    setString(L"\u540d\u524d", L"v");
    setString(L"multi", L"a", REG_MULTI_SZ);
    const BYTE four[4] = {1, 0, 0, 0};
    RegSetValueExW(key_, L"binary", 0, REG_BINARY, four, 4);

    winreg::RegistryKey key;
    ASSERT_EQ(key.tryOpen(winreg::currentUser(), u16(kTestKey)), 0);
    EXPECT_EQ(key.tryGetDwordValue(u"dword"), 42u);
    EXPECT_FALSE(key.tryGetDwordValue(u"text"));
    EXPECT_FALSE(key.tryGetDwordValue(u"binary"));
    EXPECT_FALSE(key.tryGetDwordValue(u"missing"));
    EXPECT_EQ(key.tryGetStringValue(u"text"), u"h\u00e9llo \u4e16\u754c");
    EXPECT_FALSE(key.tryGetStringValue(u"dword"));
    EXPECT_FALSE(key.tryGetStringValue(u"multi"));
    EXPECT_EQ(key.getStringValue(u"\u540d\u524d"), u"v");

    auto values = key.enumValues();
    ASSERT_EQ(values.size(), 5u);
    bool sawWide = false;
    for (auto& [name, type] : values)
        if (name == u"\u540d\u524d") sawWide = type == winreg::kRegSz;
    EXPECT_TRUE(sawWide);

    try {
        key.getStringValue(u"missing");
        ADD_FAILURE() << "no exception";
    } catch (const winreg::RegException& e) {
        EXPECT_EQ(e.code(), ERROR_FILE_NOT_FOUND);
        std::string what = e.what();
        EXPECT_EQ(what.rfind("Cannot get size of string value: RegGetValueW failed.: ", 0), 0u) << what;
        EXPECT_GT(what.size(), 56u);
    }
}

TEST_F(Win32Registry, MissingKeysAndPredefinedRoots) {
    winreg::RegistryKey key;
    EXPECT_EQ(key.tryOpen(winreg::currentUser(), u"Software\\DOZA-Plugin-Tests\\Nope"), ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(key.isValid());
    {
        winreg::RegistryKey root(winreg::currentUser());
    }
    // The root survives its owner: it is never closed.
    ASSERT_EQ(key.tryOpen(winreg::currentUser(), u16(kTestKey)), 0);
    EXPECT_TRUE(key.enumValues().empty());
}

// The Win32 adapters under the portable core, against Wine's registry and
// file system: registry reads, the log folder and file, the DLL's export.
#include <windows.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <memory>

#include "common/test_support.h"
#include "platform/log.h"
#include "platform/log_appenders.h"
#include "platform/logging.h"
#include "platform/platform_api.h"
#include "platform/winreg.h"

namespace fs = std::filesystem;

namespace {

const wchar_t kLogKey[] = L"Software\\Quillmere\\Telvista\\Log\\client";

class Win32Logging : public ::testing::Test {
protected:
    void SetUp() override { TearDown(); }
    void TearDown() override {
        RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\Quillmere");
        tvxlog::resetLoggerForTests();
        tvxlog::resetInitLoggingForTests();
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
    const fs::path dir_ = tvxtest::tempFolder("doza-log-test");
};

}  // namespace

// The rules are checked natively against an in-memory registry; here, the
// system's registry reads.
TEST(Win32Registry, TypeFiltersAndUtf16Names) {
    const wchar_t root[] = L"Software\\DOZA-Plugin-Tests", path[] = L"Software\\DOZA-Plugin-Tests\\Registry";
    RegDeleteTreeW(HKEY_CURRENT_USER, root);
    const DWORD number = 42;
    const std::wstring text = L"h\u00e9llo \u4e16\u754c";
    RegSetKeyValueW(HKEY_CURRENT_USER, path, L"dword", REG_DWORD, &number, sizeof number);
    RegSetKeyValueW(HKEY_CURRENT_USER, path, L"text", REG_SZ, text.c_str(), static_cast<DWORD>((text.size() + 1) * 2));
    RegSetKeyValueW(HKEY_CURRENT_USER, path, L"\u540d\u524d", REG_SZ, L"v", 4);
    RegSetKeyValueW(HKEY_CURRENT_USER, path, L"multi", REG_MULTI_SZ, L"a\0", 6);
    RegSetKeyValueW(HKEY_CURRENT_USER, path, L"binary", REG_BINARY, "\1\0\0\0", 4);

    winreg::RegistryKey key;
    ASSERT_EQ(key.tryOpen(winreg::currentUser(), reinterpret_cast<const char16_t*>(path)), 0);
    EXPECT_EQ(key.tryGetDwordValue(u"dword"), 42u);
    EXPECT_FALSE(key.tryGetDwordValue(u"text"));
    EXPECT_FALSE(key.tryGetDwordValue(u"binary"));
    EXPECT_FALSE(key.tryGetDwordValue(u"missing"));
    EXPECT_EQ(key.tryGetStringValue(u"text"), u"h\u00e9llo \u4e16\u754c");
    EXPECT_FALSE(key.tryGetStringValue(u"dword"));
    EXPECT_FALSE(key.tryGetStringValue(u"multi"));
    EXPECT_EQ(key.getStringValue(u"\u540d\u524d"), u"v");
    const auto values = key.enumValues();
    const std::pair<std::u16string, std::uint32_t> wide{u"\u540d\u524d", winreg::kRegSz};
    EXPECT_EQ(values.size(), 5u);
    EXPECT_NE(std::find(values.begin(), values.end(), wide), values.end());
    try {
        key.getStringValue(u"missing");
        ADD_FAILURE() << "no exception";
    } catch (const winreg::RegException& e) {
        EXPECT_EQ(e.code(), ERROR_FILE_NOT_FOUND);
        std::string what = e.what();
        EXPECT_EQ(what.rfind("Cannot get size of string value: RegGetValueW failed.: ", 0), 0u) << what;
        EXPECT_GT(what.size(), 56u) << "the system's text follows";
    }
    RegDeleteTreeW(HKEY_CURRENT_USER, root);
}

// Without a key the severity is zero, as here.
TEST_F(Win32Logging, OffWithoutASeverityElseAFileDirectlyInTheConfiguredFolder) {
    const std::wstring root = (dir_ / L"logs \u00e9").wstring();
    tvxtest::RegValue pathRoot(HKEY_CURRENT_USER, kLogKey, L"path_root", root);
    {
        tvxtest::RegValue zero(HKEY_CURRENT_USER, kLogKey, L"severity", DWORD{0});
        EXPECT_EQ(initLogging(3, 0), 0);
        EXPECT_FALSE(tvxlog::isEnabled(tvxlog::fatal));
        EXPECT_FALSE(fs::exists(dir_));
    }
    tvxtest::RegValue severity(HKEY_CURRENT_USER, kLogKey, L"severity", DWORD{4});
    tvxlog::resetInitLoggingForTests();
    ASSERT_EQ(initLogging(3, 0), 0);
    TVX_LOG(tvxlog::error) << "code " << tvxlog::errorSuffix(ERROR_ACCESS_DENIED);
    TVX_LOG(tvxlog::debug) << "not written";
    std::vector<fs::path> files;
    for (auto& e : fs::directory_iterator(root)) files.push_back(e.path());
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(files[0].filename().wstring().rfind(L"tvx_client_dll_rdp_[", 0), 0u);
    std::string text = tvxtest::readFile(files[0]);
    EXPECT_EQ(text.substr(0, 3), "\xEF\xBB\xBF");
    EXPECT_NE(text.find("code [5] : " + tvxlog::systemErrorText(ERROR_ACCESS_DENIED) + "\r\n"), std::string::npos)
        << text;
    EXPECT_EQ(text.find("not written"), std::string::npos);
}

TEST_F(Win32Logging, ShortRootUsesTheCommonApplicationDataFolder) {
    std::string file;
    ASSERT_EQ(makeLogFileName(3, "C:\\", file), 0);
    char common[MAX_PATH];
    ASSERT_TRUE(SUCCEEDED(SHGetFolderPathA(nullptr, CSIDL_COMMON_APPDATA, nullptr, 0, common)));
    EXPECT_EQ(file.rfind(std::string(common) + "\\Quillmere\\Telvista\\Logs\\tvx_client_dll_rdp_[", 0), 0u) << file;
    EXPECT_TRUE(fs::is_directory(std::string(common) + "\\Quillmere\\Telvista\\Logs"));
}

// The text itself is checked natively; here, that the export gives it and
// the caller can free it.
TEST(DllExports, MetricsJsonIsExportedAndFreedByTheCaller) {
    const std::unique_ptr<std::remove_pointer_t<HMODULE>, decltype(&FreeLibrary)> dll(LoadLibraryW(L"DOZA-Plugin.dll"),
                                                                                        &FreeLibrary);
    ASSERT_NE(dll, nullptr) << GetLastError();
    using GetJson = char* (*)();
    auto getJson = reinterpret_cast<GetJson>(reinterpret_cast<void*>(GetProcAddress(dll.get(), "platform_getMetricsJson")));
    ASSERT_NE(getJson, nullptr);
    char* fromDll = getJson();
    char* fromCore = platform_getMetricsJson();
    ASSERT_NE(fromDll, nullptr);
    EXPECT_STREQ(fromDll, fromCore);
    std::free(fromDll);  // the DLL and this program share the system C runtime
    std::free(fromCore);
}

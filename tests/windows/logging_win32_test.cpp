// The log folder and file from the Log\client values, with Wine's registry
// and file system.
#include <windows.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include <filesystem>

#include "common/test_support.h"
#include "platform/log.h"
#include "platform/log_appenders.h"
#include "platform/logging.h"

namespace fs = std::filesystem;

namespace {

class Win32Logging : public ::testing::Test {
protected:
    void SetUp() override {
        RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\Quillmere");
        tvxlog::resetLoggerForTests();
        tvxlog::resetInitLoggingForTests();
        dir_ = tvxtest::tempFolder("doza-log-test");
        fs::remove_all(dir_);
    }
    void TearDown() override {
        tvxlog::resetLoggerForTests();
        tvxlog::resetInitLoggingForTests();
        RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\Quillmere");
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
    void setLogValues(DWORD severity, const std::wstring* pathRoot) {
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\Quillmere\\Telvista\\Log\\client", 0, nullptr, 0,
                                  KEY_ALL_ACCESS, nullptr, &key, nullptr),
                  ERROR_SUCCESS);
        RegSetValueExW(key, L"severity", 0, REG_DWORD, reinterpret_cast<BYTE*>(&severity), 4);
        if (pathRoot)
            RegSetValueExW(key, L"path_root", 0, REG_SZ, reinterpret_cast<const BYTE*>(pathRoot->c_str()),
                           static_cast<DWORD>((pathRoot->size() + 1) * 2));
        RegCloseKey(key);
    }
    fs::path dir_;
};

}  // namespace

TEST_F(Win32Logging, FileLiesDirectlyInTheConfiguredFolder) {
    std::wstring root = (dir_ / L"logs \u00e9").wstring();
    setLogValues(4, &root);
    ASSERT_EQ(initLogging(3, 0), 0);
    TVX_LOG(tvxlog::error) << "code " << tvxlog::errorSuffix(ERROR_ACCESS_DENIED);
    TVX_LOG(tvxlog::debug) << "not written";
    std::vector<fs::path> files;
    for (auto& e : fs::directory_iterator(root)) files.push_back(e.path());
    ASSERT_EQ(files.size(), 1u);
    std::wstring name = files[0].filename().wstring();
    EXPECT_EQ(name.rfind(L"tvx_client_dll_rdp_[", 0), 0u);
    EXPECT_EQ(name.size(), std::wstring(L"tvx_client_dll_rdp_[2025-03-01 09-15-42].log").size());
    std::string text = tvxtest::readFile(files[0]);
    EXPECT_EQ(text.substr(0, 3), "\xEF\xBB\xBF");
    std::string tail = "] [Win32Logging_FileLiesDirectlyInTheConfiguredFolder_Test::TestBody@";
    EXPECT_NE(text.find(tail), std::string::npos) << text;
    EXPECT_NE(text.find("ERROR ["), std::string::npos);
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

TEST_F(Win32Logging, ZeroSeverityOrNoKeyLeavesLoggingOff) {
    EXPECT_EQ(initLogging(3, 0), 0);
    EXPECT_FALSE(tvxlog::isEnabled(tvxlog::fatal));
    tvxlog::resetInitLoggingForTests();
    std::wstring root = dir_.wstring();
    setLogValues(0, &root);
    EXPECT_EQ(initLogging(3, 0), 0);
    EXPECT_FALSE(tvxlog::isEnabled(tvxlog::fatal));
    EXPECT_FALSE(fs::exists(dir_));
}

// The Wi-Fi query under Wine with the stand-in Native Wi-Fi library. The
// stand-in replaces Wine's own library only where the test area says so
// (WINEDLLOVERRIDES wlanapi=n); the area "wifi_missing" disables the library.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "common/test_support.h"
#include "network/wifi.h"
#include "network/wifi_win32.h"
#include "platform/platform_service.h"
#include "platform/privacy_filter.h"
#include "platform/task_table.h"
#include "rdclient/standin.h"

namespace {

const std::string kFirst = "{6B29FC40-CA47-1067-B31D-00DD010662DA}";
const std::string kSecond = "{0A1B2C3D-4E5F-4061-8293-A4B5C6D7E8F9}";
const std::string kUntouched = "none|{caller}|||||-1|-1";
constexpr const wchar_t* kMetrics = L"Software\\Quillmere\\Telvista\\Metrics";

// The query's result and its seven outputs, the GUID going in as "{caller}".
std::string query() {
    std::string guid = "{caller}", ssid, bssid, authentication, radio;
    int strength = -1, channel = -1;
    const bool found = getWifiMetricsImpl(guid, ssid, bssid, authentication, radio, strength, channel);
    return std::string(found ? "found|" : "none|") + guid + "|" + ssid + "|" + bssid + "|" + authentication + "|" +
           radio + "|" + std::to_string(strength) + "|" + std::to_string(channel);
}

// The collectors' running flag is on while the service runs; no task runs here.
class WifiArea : public ::testing::Test {
protected:
    // The library is loaded from the system folder only: the stand-in goes
    // there (the tests' own prefix), Wine's own file is put back after.
    static void SetUpTestSuite() {
        setTaskTable(&noTasks_);
        platform_init(3);
        const char* overrides = std::getenv("WINEDLLOVERRIDES");
        if (!overrides || !std::strstr(overrides, "wlanapi=n")) return;
        if (GetFileAttributesW((systemLibrary() + L".tvx-saved").c_str()) == INVALID_FILE_ATTRIBUTES)
            MoveFileW(systemLibrary().c_str(), (systemLibrary() + L".tvx-saved").c_str());
        CopyFileW((tvxtest::exeFolder() / "wlanapi.dll").c_str(), systemLibrary().c_str(), FALSE);
    }
    static void TearDownTestSuite() {
        platform_shutdown();
        setTaskTable(nullptr);
        // The plug-in keeps the library for the life of the process: let go of
        // it, no query follows, so that Wine's file can take its place again.
        while (HMODULE loaded = GetModuleHandleW(L"wlanapi.dll")) FreeLibrary(loaded);
        MoveFileExW((systemLibrary() + L".tvx-saved").c_str(), systemLibrary().c_str(), MOVEFILE_REPLACE_EXISTING);
    }
    static std::wstring systemLibrary() {
        wchar_t folder[MAX_PATH] = {};
        return std::wstring(folder, GetSystemDirectoryW(folder, MAX_PATH)) + L"\\wlanapi.dll";
    }
    void SetUp() override {
        const char* overrides = std::getenv("WINEDLLOVERRIDES");
        if (!overrides || !std::strstr(overrides, "wlanapi")) GTEST_SKIP() << "runs only in its ctest area";
        CreateDirectoryW(dir_.c_str(), nullptr);
        for (const char* f : {"calls.log", "fail.txt", "interfaces.txt"}) DeleteFileW((dir_ / f).c_str());
        SetEnvironmentVariableW(L"WLANAPI_STUB_DIR", dir_.c_str());
    }
    void write(const char* name, const std::string& text) const {
        std::ofstream(dir_ / name, std::ios::binary) << text;
    }
    // The stand-in's calls since the last look.
    std::string calls() const {
        const std::string text = tvxtest::readFile(dir_ / "calls.log");
        DeleteFileW((dir_ / "calls.log").c_str());
        return text;
    }

    static inline TaskTable noTasks_;
    const std::filesystem::path dir_ = tvxtest::tempFolder("doza-wlanapi");
    tvxtest::LogCapture log_;
};

class WifiStandIn : public WifiArea {};
class WifiWithoutLibrary : public WifiArea {};

}  // namespace

// First in the area: nothing may have loaded the library before.
TEST_F(WifiStandIn, LoadedOnFirstQueryAndReportsTheConnectedSecondAdapter) {
    {
        standin::PluginDll plugin(standin::pluginPathBesideProgram());
        ASSERT_TRUE(plugin.loaded());
        EXPECT_EQ(GetModuleHandleA("wlanapi.dll"), nullptr) << "loaded while the plug-in loaded";
    }
    write("interfaces.txt", kFirst + " 4 ssid=4f6666 phy=7 quality=10 auth=7 channel=1\n" + kSecond +
                                " 1 ssid=436166c3a9 bssid=0a1b2c3d4e5f phy=10 quality=87 auth=9 channel=36\n");
    EXPECT_EQ(query(), "found|" + kSecond + "|Caf\xC3\xA9|0A-1B-2C-3D-4E-5F|WPA3-Personal (H2E)|" +
                           "High Efficiency (802.11ax / Wi-Fi 6)|87|36");
    EXPECT_EQ(calls(), "WlanOpenHandle 2\nWlanEnumInterfaces\nWlanFreeMemory\nWlanQueryInterface " + kSecond +
                           " 7\nWlanFreeMemory\nWlanQueryInterface " + kSecond +
                           " 8\nWlanFreeMemory\nWlanCloseHandle\n");
    EXPECT_TRUE(log_.contains(tvxlog::debug, "initWlanAPILibrary", "[WlanInfo] : Loading DLL: Wlanapi.dll ... Success"));
    EXPECT_TRUE(log_.contains(tvxlog::debug, "initWlanAPILibrary",
                              "[WlanInfo] : looking for 'WlanFreeMemory' function ... Success"));
    EXPECT_TRUE(log_.contains(tvxlog::verbose, "getWifiMetricsImpl", "get Wifi metrics ..."));
    EXPECT_EQ(query().substr(0, 6), "found|");
    EXPECT_EQ(log_.countPrefix(tvxlog::debug, "initWlanAPILibrary", "[WlanInfo] : Loading DLL: '"), 1u) << "loaded once";
}

TEST_F(WifiStandIn, FailuresPerCall) {
    write("interfaces.txt",
          kFirst + " 1 ssid=486f6d65 ssidlen=4 bssid=000000000001 phy=0 quality=50 auth=0 channel=6\n");
    const struct {
        const char* fail;
        std::string out;
        const char* error;  // start of the one error line
        const char* lastCall;
    } cases[] = {
        {"connection 1168", "found|" + kFirst + "|||||-1|6",
         "wlanAPI_QueryInterface for 'wlan_intf_opcode_current_connection' failed : [1168] : ", "WlanCloseHandle"},
        {"channel 50", "found|" + kFirst + "|Home|00-00-00-00-00-01|Unknown (0)|Unknown|50|-1",
         "wlanAPI_QueryInterface for 'wlan_intf_opcode_channel_number' failed : [50] : ", "WlanCloseHandle"},
        {"open 5", kUntouched, "WlanOpenHandle error: [5] : ", "WlanOpenHandle 2"},
        {"enum 1062", kUntouched, "WlanEnumInterfaces error: [1062] : ", "WlanCloseHandle"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fail);
        write("fail.txt", c.fail);
        log_.lines().clear();
        EXPECT_EQ(query(), c.out);
        EXPECT_EQ(log_.countPrefix(tvxlog::error, "getWifiMetricsImpl", ""), 1u);
        EXPECT_EQ(log_.countPrefix(tvxlog::error, "getWifiMetricsImpl", c.error), 1u);
        const std::string log = calls();
        EXPECT_EQ(log.substr(log.rfind('\n', log.size() - 2) + 1), std::string(c.lastCall) + "\n");
    }

    // Nothing connected, or the service stopping during the walk: no output changes.
    write("fail.txt", "");
    write("interfaces.txt", kFirst + " 4\n" + kSecond + " 5\n");
    EXPECT_EQ(query(), kUntouched);
    EXPECT_TRUE(log_.contains(tvxlog::info, "getWifiMetricsImpl", "WIFI is not connected"));
    write("interfaces.txt", kFirst + " 1\n");
    platform_shutdown();
    EXPECT_EQ(query(), kUntouched);
    platform_init(3);
}

// The current connection needs the location permission: asked only for an
// SSID or BSSID, its refusal logged once per interface and code.
TEST_F(WifiStandIn, ConnectionAskedOnlyForSsidOrBssidAndItsRefusalLoggedOnce) {
    write("fail.txt", "connection 5");
    for (const auto& [guid, logged] : {std::pair{kFirst, 1u}, {kFirst, 1u}, {kSecond, 2u}}) {
        write("interfaces.txt", guid + " 1 channel=6\n");
        EXPECT_EQ(query(), "found|" + guid + "|||||-1|6");
        EXPECT_EQ(log_.countPrefix(tvxlog::error, "getWifiMetricsImpl", "wlanAPI_QueryInterface for 'wlan_intf_opcode_current"), logged);
    }
    tvxtest::RegValue ssid(HKEY_CURRENT_USER, kMetrics, L"WIFISSID", L"false"), bssid(HKEY_CURRENT_USER, kMetrics, L"WIFIBSSID", L"false");
    dataPrivacyFilter::resetForTests();
    write("fail.txt", "");
    calls();
    EXPECT_EQ(query(), "found|" + kSecond + "|||||-1|6");
    EXPECT_EQ(calls().find(" 7\n"), std::string::npos) << "no current-connection query";
    dataPrivacyFilter::resetForTests();
}

TEST_F(WifiStandIn, VariantWithoutAnExportIsNotUsed) {
    for (const std::string name : {"WlanOpenHandle", "WlanCloseHandle", "WlanEnumInterfaces", "WlanQueryInterface",
                                   "WlanFreeMemory"}) {
        SCOPED_TRACE(name);
        const std::string library = "wlanapi_without_" + name + ".dll";
        WlanApi api;
        EXPECT_FALSE(initWlanAPILibrary(api, (tvxtest::exeFolder() / library).string().c_str()));
        EXPECT_TRUE(api.module == nullptr && api.openHandle == nullptr && api.freeMemory == nullptr);
        EXPECT_EQ(GetModuleHandleA(library.c_str()), nullptr) << "left loaded";
        EXPECT_EQ(log_.countPrefix(tvxlog::error, "initWlanAPILibrary",
                                   "[WlanInfo] : looking for '" + name + "' function ... Error : [127] : "),
                  1u);
    }
    EXPECT_EQ(calls(), "");
}

TEST_F(WifiWithoutLibrary, PluginLoadsAndEveryQueryFailsWithCodeOne) {
    standin::PluginDll plugin(standin::pluginPathBesideProgram());
    ASSERT_TRUE(plugin.loaded());
    EXPECT_EQ(plugin.canUnloadNow(), S_OK);
    EXPECT_EQ(query(), kUntouched);
    EXPECT_EQ(query(), kUntouched);
    EXPECT_FALSE(initWlanAPILibrary());
    EXPECT_EQ(log_.countPrefix(tvxlog::error, "initWlanAPILibrary", "[WlanInfo] : Loading DLL: Wlanapi.dll Failed; Error : ["),
              1u);
    EXPECT_EQ(log_.countPrefix(tvxlog::error, "getWifiMetricsImpl", "WlanOpenHandle error: [1] : "), 2u);
}

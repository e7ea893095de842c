// The Wi-Fi query under Wine with the stand-in Native Wi-Fi library. The
// stand-in replaces Wine's own library only where the test area says so
// (WINEDLLOVERRIDES wlanapi=n); the area "wifi_missing" disables the library.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <tuple>

#include "common/test_support.h"
#include "network/wifi.h"
#include "network/wifi_win32.h"
#include "platform/platform_service.h"
#include "platform/task_table.h"
#include "rdclient/standin.h"

namespace {

const char* const kFirst = "{6B29FC40-CA47-1067-B31D-00DD010662DA}";
const char* const kSecond = "{0A1B2C3D-4E5F-4061-8293-A4B5C6D7E8F9}";

struct Outputs {
    std::string guid = "{caller}", ssid, bssid, authentication, radio;
    int strength = -1, channel = -1;
    bool operator==(const Outputs& o) const {
        return std::tie(guid, ssid, bssid, authentication, radio, strength, channel) ==
               std::tie(o.guid, o.ssid, o.bssid, o.authentication, o.radio, o.strength, o.channel);
    }
};
std::ostream& operator<<(std::ostream& out, const Outputs& o) {
    return out << o.guid << " '" << o.ssid << "' " << o.bssid << " " << o.authentication << " / " << o.radio << " "
               << o.strength << " ch " << o.channel;
}

bool query(Outputs& o) {
    return getWifiMetricsImpl(o.guid, o.ssid, o.bssid, o.authentication, o.radio, o.strength, o.channel);
}

bool overridden() {
    const char* overrides = std::getenv("WINEDLLOVERRIDES");
    return overrides && std::string(overrides).find("wlanapi") != std::string::npos;
}

// The collectors' running flag is on while the service runs; no task runs here.
class WifiArea : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        setTaskTable(&noTasks_);
        platform_init(3);
    }
    static void TearDownTestSuite() {
        platform_shutdown();
        setTaskTable(nullptr);
    }
    void SetUp() override {
        if (!overridden()) GTEST_SKIP() << "runs only in its ctest area, which sets WINEDLLOVERRIDES";
        stubDir_ = tvxtest::tempFolder("doza-wlanapi").string();
        CreateDirectoryA(stubDir_.c_str(), nullptr);
        for (const char* f : {"calls.log", "fail.txt", "interfaces.txt"}) DeleteFileA(file(f).c_str());
        SetEnvironmentVariableA("WLANAPI_STUB_DIR", stubDir_.c_str());
    }
    std::string file(const char* name) const { return stubDir_ + "\\" + name; }
    void write(const char* name, const std::string& text) const { std::ofstream(file(name), std::ios::binary) << text; }
    std::string calls() const {
        const std::string text = tvxtest::readFile(file("calls.log"));
        DeleteFileA(file("calls.log").c_str());
        return text;
    }

    static inline TaskTable noTasks_;
    std::string stubDir_;
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
    write("interfaces.txt", std::string(kFirst) + " 4 ssid=4f6666 phy=7 quality=10 auth=7 channel=1\n" + kSecond +
                                " 1 ssid=436166c3a9 bssid=0a1b2c3d4e5f phy=10 quality=87 auth=9 channel=36\n");
    Outputs out;
    ASSERT_TRUE(query(out));
    Outputs expected{kSecond, "Caf\xC3\xA9", "0A-1B-2C-3D-4E-5F", "WPA3-Personal (H2E)",
                     "High Efficiency (802.11ax / Wi-Fi 6)", 87, 36};
    EXPECT_EQ(out, expected);
    EXPECT_EQ(calls(), std::string("WlanOpenHandle 2\nWlanEnumInterfaces\nWlanFreeMemory\n") +
                           "WlanQueryInterface " + kSecond + " 7\nWlanFreeMemory\n" + "WlanQueryInterface " + kSecond +
                           " 8\nWlanFreeMemory\nWlanCloseHandle\n");
    EXPECT_TRUE(log_.contains(tvxlog::debug, "initWlanAPILibrary", "[WlanInfo] : Loading DLL: Wlanapi.dll ... Success"));
    EXPECT_TRUE(log_.contains(tvxlog::debug, "initWlanAPILibrary",
                              "[WlanInfo] : looking for 'WlanFreeMemory' function ... Success"));
    EXPECT_TRUE(log_.contains(tvxlog::verbose, "getWifiMetricsImpl", "get Wifi metrics ..."));

    // Loaded once.
    ASSERT_TRUE(query(out));
    EXPECT_EQ(log_.countPrefix(tvxlog::debug, "initWlanAPILibrary", "[WlanInfo] : Loading DLL: '"), 1u);
}

TEST_F(WifiStandIn, FailuresPerCall) {
    write("interfaces.txt", std::string(kFirst) + " 1 ssid=486f6d65 ssidlen=4 bssid=000000000001 phy=0 quality=50 auth=0 channel=6\n");
    const Outputs connected{kFirst, "Home", "00-00-00-00-00-01", "Unknown (0)", "Unknown", 50, 6};
    const Outputs untouched;
    Outputs withoutConnection = untouched;
    withoutConnection.guid = kFirst;
    withoutConnection.channel = 6;
    Outputs withoutChannel = connected;
    withoutChannel.channel = -1;
    struct Case {
        const char* fail;
        bool result;
        Outputs out;
        const char* error;  // start of the one error line
        const char* lastCall;
    };
    const Case cases[] = {
        {"connection 1168", true, withoutConnection,
         "wlanAPI_QueryInterface for 'wlan_intf_opcode_current_connection' failed : [1168] : ", "WlanCloseHandle"},
        {"channel 50", true, withoutChannel,
         "wlanAPI_QueryInterface for 'wlan_intf_opcode_channel_number' failed : [50] : ", "WlanCloseHandle"},
        {"open 5", false, untouched, "WlanOpenHandle error: [5] : ", "WlanOpenHandle 2"},
        {"enum 1062", false, untouched, "WlanEnumInterfaces error: [1062] : ", "WlanCloseHandle"},
    };
    for (const Case& c : cases) {
        write("fail.txt", c.fail);
        log_.lines().clear();
        Outputs out;
        EXPECT_EQ(query(out), c.result) << c.fail;
        EXPECT_EQ(out, c.out) << c.fail;
        EXPECT_EQ(log_.countPrefix(tvxlog::error, "getWifiMetricsImpl", ""), 1u) << c.fail;
        EXPECT_EQ(log_.countPrefix(tvxlog::error, "getWifiMetricsImpl", c.error), 1u) << c.fail;
        std::string log = calls();
        EXPECT_EQ(log.substr(log.rfind('\n', log.size() - 2) + 1), std::string(c.lastCall) + "\n") << c.fail;
    }

    // Nothing connected, or the service stopping during the walk: no output changes.
    write("fail.txt", "");
    write("interfaces.txt", std::string(kFirst) + " 4\n" + kSecond + " 5\n");
    Outputs out;
    EXPECT_FALSE(query(out));
    EXPECT_TRUE(log_.contains(tvxlog::info, "getWifiMetricsImpl", "WIFI is not connected"));
    write("interfaces.txt", std::string(kFirst) + " 1\n");
    platform_shutdown();
    EXPECT_FALSE(query(out));
    platform_init(3);
    EXPECT_EQ(out, untouched);
    EXPECT_EQ(calls(), "WlanOpenHandle 2\nWlanEnumInterfaces\nWlanFreeMemory\nWlanCloseHandle\n"
                       "WlanOpenHandle 2\nWlanEnumInterfaces\nWlanFreeMemory\nWlanCloseHandle\n");
}

TEST_F(WifiStandIn, VariantWithoutAnExportIsNotUsed) {
    for (const char* name : {"WlanOpenHandle", "WlanCloseHandle", "WlanEnumInterfaces", "WlanQueryInterface",
                             "WlanFreeMemory"}) {
        std::string library = "wlanapi_without_" + std::string(name) + ".dll";
        for (char& ch : library) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
        log_.lines().clear();
        WlanApi api;
        EXPECT_FALSE(initWlanAPILibrary(api, library.c_str())) << name;
        EXPECT_TRUE(api.module == nullptr && api.openHandle == nullptr && api.freeMemory == nullptr) << name;
        EXPECT_EQ(GetModuleHandleA(library.c_str()), nullptr) << name << " left loaded";
        EXPECT_EQ(log_.countPrefix(tvxlog::error, "initWlanAPILibrary",
                        "[WlanInfo] : looking for '" + std::string(name) + "' function ... Error : [127] : "), 1u)
            << name;
        Outputs out;
        EXPECT_FALSE(getWifiMetricsImpl(*wlanClient(api), out.guid, out.ssid, out.bssid, out.authentication, out.radio,
                                        out.strength, out.channel));
        EXPECT_EQ(log_.countPrefix(tvxlog::error, "getWifiMetricsImpl", "WlanOpenHandle error: [1] : "), 1u) << name;
    }
    EXPECT_EQ(calls(), "");
}

TEST_F(WifiWithoutLibrary, PluginLoadsAndEveryQueryFailsWithCodeOne) {
    standin::PluginDll plugin(standin::pluginPathBesideProgram());
    ASSERT_TRUE(plugin.loaded());
    EXPECT_EQ(plugin.canUnloadNow(), S_OK);
    Outputs out;
    EXPECT_FALSE(query(out));
    EXPECT_FALSE(query(out));
    EXPECT_FALSE(initWlanAPILibrary());
    EXPECT_EQ(out, Outputs{});
    EXPECT_EQ(log_.countPrefix(tvxlog::error, "initWlanAPILibrary", "[WlanInfo] : Loading DLL: Wlanapi.dll Failed; Error : ["),
              1u);
    EXPECT_EQ(log_.countPrefix(tvxlog::error, "getWifiMetricsImpl", "WlanOpenHandle error: [1] : "), 2u);
}

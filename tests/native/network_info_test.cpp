#include <gtest/gtest.h>
#include <json/reader.h>

#include <tuple>

#include "common/test_support.h"
#include "network/network_data.h"
#include "network/network_info.h"
#include "platform/privacy_filter.h"
#include "platform/settings.h"

namespace {

struct Nic {
    std::uint8_t id;         // last MAC byte, also the GUID's digit
    std::string ip;
    int metric = -1;         // -1: no default route
    bool connector = true;
    std::int64_t lease = 0;  // DHCP lease; 0 means DHCP off
    std::uint32_t type = 6;
};

std::vector<std::uint8_t> macOf(std::uint8_t id) { return {0x02, 0x1A, 0, 0, 0, id}; }
std::string guidOf(std::uint8_t id) { return "{0000000" + std::to_string(id) + "-0000-0000-0000-4E6574446576}"; }

Json::Value json(const char* text) {
    Json::Value v;
    Json::Reader().parse(text, v);
    return v;
}

// The sources describe the NICs with interface rows in reverse order, so the
// adapter list's order is what ties are broken by.
class NetworkInfo : public ::testing::Test {
protected:
    void SetUp() override {
        dataPrivacyFilter::resetForTests();
        setNetworkDataCache("old-guid", "old-gw", "old-ip", "old-mac", "old-ssid");
    }
    void TearDown() override { dataPrivacyFilter::resetForTests(); }

    NetworkSources sources(const std::vector<Nic>& nics) {
        NetworkSources s;
        s.readInterfaces = [nics](std::vector<InterfaceRow>& rows, TableError&) {
            for (auto it = nics.rbegin(); it != nics.rend(); ++it)
                rows.push_back({it->connector, macOf(it->id), it->type, 1000000000ull, 7});
            rows.push_back({false, {}, 24, 0, 0});  // loopback
            return true;
        };
        s.readAdapters = [nics](std::vector<AdapterRow>& adapters, TableError&) {
            for (const Nic& n : nics)
                adapters.push_back({guidOf(n.id), "veth" + std::to_string(n.id), macOf(n.id), n.lease != 0,
                                    n.lease, n.ip, "198.51.100." + std::to_string(n.id * 10 + 1)});
            return true;
        };
        s.defaultRouteMetrics = [nics] {
            DefaultRouteMetrics m;
            for (const Nic& n : nics)
                if (n.metric >= 0) m[n.ip] = static_cast<std::uint32_t>(n.metric);
            return m;
        };
        s.wifiQuery = [this](std::string& guid, std::string& ssid, std::string& bssid, std::string& auth,
                             std::string& radio, int& strength, int& channel) {
            ++wifiQueries;
            std::tie(guid, ssid, bssid, auth, radio, strength, channel) =
                std::tuple("{6B1F0A3C-1111-2222-3333-444455556666}", "LabNet", "0A-1B-2C-3D-4E-5F",
                           "WPA2-Personal (PSK)", "High Throughput (802.11n)", 80, 11);
            return true;
        };
        s.running = [this] { return runningChecks-- > 0; };
        return s;
    }

    std::string choose(const std::vector<Nic>& nics) {
        Json::Value metrics;
        EXPECT_EQ(getNetworkInfo(metrics, sources(nics)), 0);
        return metrics["if_guid"].asString();
    }

    int wifiQueries = 0;
    int runningChecks = 1000;
    tvxtest::MemoryRegistry registry;
};

}  // namespace

TEST_F(NetworkInfo, ChoosesTheLowestDefaultRouteMetricAmongPhysicalAdapters) {
    // What the row shows, the NICs, and which one is chosen.
    const std::tuple<const char*, std::vector<Nic>, std::uint8_t> cases[] = {
        {"35 before 25", {{2, "198.51.100.66", 35}, {1, "198.51.100.2", 25}}, 1},
        {"equal metrics: first adapter", {{2, "198.51.100.66", 30}, {1, "198.51.100.2", 30}}, 2},
        {"no default route loses", {{1, "198.51.100.2"}, {2, "198.51.100.66", 35}}, 2},
        {"no default route anywhere", {{1, "198.51.100.2"}, {2, "198.51.100.66"}}, 1},
        {"no connector", {{1, "198.51.100.2", 1, false}, {2, "198.51.100.66", 35}}, 2},
        {"DHCP lease below -1", {{1, "198.51.100.2", 1, true, -2}, {2, "198.51.100.66", 35}}, 2},
        {"DHCP lease -1", {{1, "198.51.100.2", 1, true, -1}, {2, "198.51.100.66", 35}}, 1},
    };
    for (const auto& [what, nics, chosen] : cases) EXPECT_EQ(choose(nics), guidOf(chosen)) << what;
    EXPECT_EQ(wifiQueries, 0) << "a wired interface never asks for Wi-Fi";
}

TEST_F(NetworkInfo, WritesTheChosenInterfaceTheWifiFactsAndTheCache) {
    tvxtest::LogCapture log;
    // A connected wireless interface reports the Wi-Fi query's GUID.
    Json::Value wireless;
    ASSERT_EQ(getNetworkInfo(wireless, sources({{4, "198.51.100.44", 25, true, 0, 71}})), 0);
    EXPECT_EQ(wireless, json(R"j({"if_guid": "{6B1F0A3C-1111-2222-3333-444455556666}",
        "if_type": "IEEE 802.11 Wireless", "if_type_value": 71, "description": "veth4", "gateway": "198.51.100.41",
        "privateIpAddress": "198.51.100.44", "mac_address": "02-1A-00-00-00-04", "speed": 1000, "rtxPackets": 7,
        "wifi_ssid": "LabNet", "wifi_bssid": "0A-1B-2C-3D-4E-5F", "wifi_authentication": "WPA2-Personal (PSK)",
        "wifi_radio_type": "High Throughput (802.11n)", "wifi_strength": 80, "wifi_channel": 11})j"));
    EXPECT_EQ(getGateway() + getIfGuid() + getPrivateIp() + getMacAddress() + getWifiSsid(),
              "198.51.100.41{6B1F0A3C-1111-2222-3333-444455556666}198.51.100.4402-1A-00-00-00-04LabNet");
    EXPECT_TRUE(log.contains(tvxlog::debug, "getNetworkInfo", "\tspeed : 1000"));

    // Nothing to choose: defaults, a warning, and empty texts in the cache.
    Json::Value empty;
    ASSERT_EQ(getNetworkInfo(empty, sources({{1, "0.0.0.0"}})), 0);
    EXPECT_EQ(empty, json(R"j({"if_guid": "", "if_type": "Unknown", "if_type_value": -1, "description": "",
        "gateway": "", "privateIpAddress": "", "mac_address": "", "speed": -1, "rtxPackets": -1, "wifi_ssid": "",
        "wifi_bssid": "", "wifi_authentication": "", "wifi_radio_type": "", "wifi_strength": -1,
        "wifi_channel": -1})j"));
    EXPECT_EQ(getGateway() + getWifiSsid(), "");
    EXPECT_TRUE(log.contains(tvxlog::warning, "getNetworkInfo", "Network data is empty"));

    // Privacy switches hide SSID and BSSID from the metrics, not from the cache.
    registry->setString(winreg::localMachine(), kMetricsKey, u"WIFISSID", u"False");
    registry->setString(winreg::currentUser(), kMetricsKey, u"WIFIBSSID", u"false");
    dataPrivacyFilter::resetForTests();
    Json::Value hidden;
    ASSERT_EQ(getNetworkInfo(hidden, sources({{4, "198.51.100.44", 25, true, 0, 71}})), 0);
    EXPECT_FALSE(hidden.isMember("wifi_ssid"));
    EXPECT_FALSE(hidden.isMember("wifi_bssid"));
    EXPECT_EQ(hidden["wifi_channel"], 11);
    EXPECT_EQ(getWifiSsid(), "LabNet");
}

TEST_F(NetworkInfo, AStopOrAnUnreadableTableLeavesMetricsAndCacheAlone) {
    tvxtest::LogCapture log;
    const std::vector<Nic> nics = {{1, "198.51.100.2", 25}, {2, "198.51.100.66", 35}};
    runningChecks = 2;  // one check per adapter, then the stop comes before the Wi-Fi step
    Json::Value stopped;
    EXPECT_EQ(getNetworkInfo(stopped, sources(nics)), 0);
    EXPECT_TRUE(stopped.isNull());
    runningChecks = 1000;
    auto failing = sources(nics);
    failing.readAdapters = [](std::vector<AdapterRow>&, TableError& e) {
        e = {"GetAdaptersInfo error : ", 232};
        return false;
    };
    Json::Value m;
    EXPECT_EQ(getNetworkInfo(m, failing), -2);
    EXPECT_TRUE(m.isNull());
    EXPECT_EQ(getGateway(), "old-gw");
    EXPECT_TRUE(log.containsPrefix(tvxlog::error, "getNetworkInfo", "GetAdaptersInfo error : [232] : "));
}

// Six-byte texts and the common types show in the collector's output above.
TEST(NetworkInfoText, MacTextsTypeNamesAndDefaultRouteMetrics) {
    const std::uint8_t bytes[20] = {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E, 0x6F, 0x70, 0x81, 0x92,
                                    0xA3, 0xB4, 0xC5, 0xD6, 0xE7, 0xF8, 1, 2, 3, 4};
    EXPECT_EQ(formatMacAddress(bytes, 0), "");
    // Cut after the tenth byte, still followed by its separator.
    EXPECT_EQ(formatMacAddress(bytes, 20), "00-1A-2B-3C-4D-5E-6F-70-81-92-");
    EXPECT_EQ(getInterfaceTypeName(6), "Ethernet");
    EXPECT_EQ(getInterfaceTypeName(259), "IEEE 802.15.4 WPAN interface");

    tvxtest::LogCapture log;
    const std::vector<AddressRow> addresses = {{2, "198.51.100.2"}, {3, "198.51.100.66"}, {3, "198.51.100.67"},
                                               {5, ""}};
    const std::vector<RouteRow> routes = {{2, "0.0.0.0", 37},       {3, "0.0.0.0", 53}, {2, "198.51.100.0", 1},
                                          {4, "0.0.0.0", 1},        {5, "0.0.0.0", 1},  {2, "0.0.0.0", 40}};
    const DefaultRouteMetrics expected = {{"198.51.100.2", 40}, {"198.51.100.66", 53}};
    EXPECT_EQ(buildDefaultRouteMetrics(routes, addresses), expected);
    EXPECT_TRUE(log.contains(tvxlog::error, kForwardTableFunction, "Error: Could not convert Interface number 4 to IP address"));
    EXPECT_TRUE(log.contains(tvxlog::error, kForwardTableFunction, "Error: Could not convert Interface number 5 to IP address"));
}

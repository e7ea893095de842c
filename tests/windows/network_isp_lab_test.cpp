// The collectors against the real IP Helper, ICMP and Winsock inside the
// network lab (tests/lab/lab): two wired interfaces with default routes of
// metric 25 (eth0) and 35 (eth1), the gateway 198.51.100.1, a sample endpoint
// one router further, a host that refuses TCP and ignores ping, one that drops
// everything. The client sits behind a NAT home router whose public address is
// 203.0.113.77, then a private provider router, one at 198.18.0.21 that shows in
// traces only, and the route's hop 203.0.113.49 that answers TCP on port 443
// only. Each test belongs to one lab variant and skips in the others.
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>
#include <json/json.h>

#include <string>
#include <tuple>
#include <vector>

#include "common/json_members.h"
#include "common/test_support.h"
#include "network/probes.h"
#include "network/public_ip.h"
#include "plugin_test_support.h"
#include "rdclient/network_guard.h"

namespace {

using tvxtest::RegValue;
using tvxtest::expectMembers;

constexpr char kDropper[] = "203.0.113.30";
constexpr char kPublicIp[] = "203.0.113.77";
constexpr char kRouteHop[] = "203.0.113.49";
constexpr const wchar_t* kMetrics = L"Software\\Quillmere\\Telvista\\Metrics";

class Lab : public ::testing::Test {
protected:
    // Skips unless the lab runs the given variant.
    void inVariant(const char* variant) {
        if (!tvxtest::inLabVariant(variant))
            GTEST_SKIP() << "runs only in the lab's \"" << variant << "\" variant";
        ASSERT_EQ(standin::whyNotATestNetwork(), "");
        WSADATA data;
        ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &data), 0);
        started_ = true;
        ispsys::ops().running = [] { return true; };
        ispsys::ops().lookup = [](const std::string&) { return locationData::LocationRef(); };
        resetLocationCacheForTests();
        setLocationDataCache(std::make_shared<locationData::LOCATION_DATA>(
            locationData::LOCATION_DATA{"", "", "", "", "", kPublicIp, "Lab Home Broadband", "", 0}));
    }
    void TearDown() override {
        if (!started_) return;
        resetLocationCacheForTests();
        WSACleanup();
    }
    bool started_ = false;
    tvxtest::Restore<ispsys::Ops> keep_{ispsys::ops()};
    IspRouteState state;
    Json::Value m;
};

class NetworkLab : public Lab {};
class IspLab : public Lab {};


}  // namespace

// Ping alone; TCP and names are met by the walk and GET_METRICS below.
TEST_F(NetworkLab, IcmpProbes) {
    inVariant("provider");
    if (IsSkipped()) return;
    EXPECT_GE(getRoundTripToIP_impl("203.0.113.10"), 0) << "one router further";
    EXPECT_EQ(getRoundTripToIP_impl(kDropper), -1);
    EXPECT_EQ(getRoundTripToIP_impl("8.8.8.8"), -1) << "a router's unreachable answer is no round trip";
}

TEST_F(IspLab, TheWalkSkipsThePrivateAndTheTraceOnlyHopsAndFindsTheTcpOnlyHop) {
    inVariant("provider");
    if (IsSkipped()) return;
    RegValue endpoint(HKEY_LOCAL_MACHINE, kMetrics, L"SampleEndpoint", L"sample.telvista.test");
    tvxtest::LogCapture log;
    ASSERT_EQ(getIspRouteIp(state), 0) << "the public address answers nothing, so the path is walked";
    EXPECT_EQ(getCachedIspRoute(), kRouteHop);
    EXPECT_TRUE(log.contains(tvxlog::verbose, "traceRouteIsp", "IcmpSendEcho TTL=1 no response"));
    EXPECT_TRUE(log.contains(tvxlog::debug, "traceRouteIsp",
                             "\thop '198.18.0.21' emits TTL-exceeded but does not respond to direct probes; skipping"));
    EXPECT_EQ(getRoundtripIsp(m, state), 0);
    EXPECT_GE(m["roundtripIspMs"].asInt(), 0) << "by TCP on port 443";
}

// The walk's whole length: no router answers.
TEST_F(IspLab, SilentHopsFallBackToThePublicIp) {
    inVariant("silent");
    if (IsSkipped()) return;
    RegValue endpoint(HKEY_LOCAL_MACHINE, kMetrics, L"SampleEndpoint", L"drop.lab.test");
    tvxtest::LogCapture log;
    ASSERT_EQ(getIspRouteIp(state), 0);
    EXPECT_EQ(getCachedIspRoute(), kPublicIp);
    EXPECT_TRUE(log.contains(tvxlog::verbose, "traceRouteIsp", "IcmpSendEcho TTL=19 no response"));
    EXPECT_EQ(getRoundtripIsp(m, state), -1) << "the public address answers nothing";
}

// Each method finds the home router's address: the service sees it as the
// request's origin (method 1 asks about no address), the stand-ins print it
// and the service is asked about it. The other stand-ins print addresses of
// their own, so the addresses asked tell which method won. In the last case
// method 2 prints an address the service cannot place, so method 3 follows.
// (The order and the parsing of each output are checked natively.)
TEST_F(IspLab, EachLookupMethodFindsTheTranslatedAddress) {
    inVariant("provider");
    if (IsSkipped()) return;
    std::vector<std::string> asked;
    ispsys::ops().lookup = [&](const std::string& a) { return asked.push_back(a), keep_.saved().lookup(a); };
    const char* other = "when:Resolve-DnsName out:198.51.100.92 when:Invoke-WebRequest out:198.51.100.93";
    const std::tuple<DWORD, const char*, const char*, std::vector<std::string>> cases[] = {
        {1, "nslookup:198.51.100.91", other, {""}},
        {4, "nslookup:203.0.113.77", other, {kPublicIp}},
        {2, "nslookup:", "when:Resolve-DnsName out:198.18.0.1 when:Invoke-WebRequest out:203.0.113.77",
         {"198.18.0.1", kPublicIp}},
    };
    for (const auto& [method, nslookup, powerShell, expected] : cases) {
        SCOPED_TRACE(method);
        RegValue first(HKEY_CURRENT_USER, L"Software\\Quillmere\\Telvista\\Setting", L"PublicIpLookupMethod", method);
        tvxtest::ConsoleStandIns standIns{{"nslookup", nslookup}, {"PowerShell", powerShell}};
        PublicIpState fresh;
        resetLocationCacheForTests();
        asked.clear();
        getPublicIp(m, fresh);
        EXPECT_EQ(m["publicIpAddress"], kPublicIp);
        EXPECT_EQ(asked, expected);
    }
}

// The whole plug-in through the client stand-in: GET_METRICS shows the lab's
// network, the lower-metric interface (eth0), a sample endpoint named in the
// registry, the provider, location and ISP round trip; then the same with the
// privacy switches "ISPName" and "Location" off. The gateway probe needs the
// interface choice of the first "Common Metrics" pass, so it comes from the
// second pass on (5 s later).
TEST_F(IspLab, GetMetricsThroughTheClientStandIn) {
    inVariant("direct");
    if (IsSkipped()) return;
    RegValue endpoint(HKEY_LOCAL_MACHINE, kMetrics, L"SampleEndpoint", L"sample.telvista.test");
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
    auto measured = [](const Json::Value& r) {
        return r["roundtripMs"].asInt() >= 0 && r["roundtripIspMs"].asInt() >= 0;
    };
    const Json::Value shown = plugintest::metricsThroughTheClientStandIn(measured, 30);
    expectMembers(shown, R"({"if_guid": "{00000002-0000-0000-0000-4E6574446576}", "description": "eth0",
        "gateway": "198.51.100.1", "privateIpAddress": "198.51.100.2", "mac_address": "02-1A-00-00-00-01",
        "if_type": "Ethernet", "if_type_value": 6, "wifi_channel": -1, "latencyTarget": "sample.telvista.test",
        "roundtripAdcMs": -1, "publicIpAddress": "203.0.113.77", "isp_name": "Lab Home Broadband",
        "client_location": "Lyon, Auvergne-Rhone-Alpes, France", "client_latitude": "45.764000000000003"})");
    for (const char* measure : {"roundtripMs", "roundtripGoogleMs", "roundtripIspMs"})
        EXPECT_GE(shown[measure].asInt(), 0) << measure;
    CoFreeUnusedLibrariesEx(0, 0);  // a fresh plug-in reads the switches anew
    {
        RegValue isp(HKEY_CURRENT_USER, kMetrics, L"ISPName", L"false");
        RegValue location(HKEY_LOCAL_MACHINE, kMetrics, L"Location", L"FALSE");
        expectMembers(plugintest::metricsThroughTheClientStandIn(measured, 30),
                      R"({"publicIpAddress": "203.0.113.77", "isp_name": "", "client_location": "",
                          "client_longitude": ""})");
    }
    CoUninitialize();
}

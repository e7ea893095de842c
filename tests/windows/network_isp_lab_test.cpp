// The public IP and provider route inside the network lab (tests/lab/lab):
// the client behind a NAT home router whose public address is 203.0.113.77, a
// private provider router, one at 172.20.0.1 that shows in traces only, and
// the route's hop 203.0.113.49 that answers TCP on port 443 only. Each test
// belongs to one lab variant and skips in the others.
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <tuple>
#include <vector>

#include "common/test_support.h"
#include "network/probes.h"
#include "network/public_ip.h"
#include "plugin_test_support.h"

namespace {

using tvxtest::RegValue;

constexpr char kPublicIp[] = "203.0.113.77";
constexpr char kRouteHop[] = "203.0.113.49";
constexpr const wchar_t* kMetrics = L"Software\\Quillmere\\Telvista\\Metrics";

class IspLab : public ::testing::Test {
protected:
    // Skips unless the lab runs the given variant.
    void inVariant(const char* variant) {
        const char* v = std::getenv("TVX_LAB_VARIANT");
        if (std::getenv("TVX_LAB") == nullptr || v == nullptr || std::string(v) != variant)
            GTEST_SKIP() << "runs only in the lab's \"" << variant << "\" variant";
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

// GET_METRICS through the client stand-in, once the ISP round trip is in.
Json::Value metricsThroughTheClientStandIn() {
    return plugintest::metricsThroughTheClientStandIn([](const Json::Value& r) { return r["roundtripIspMs"].asInt() >= 0; },
                                                      30);
}

}  // namespace

TEST_F(IspLab, TheWalkSkipsThePrivateAndTheTraceOnlyHopsAndFindsTheTcpOnlyHop) {
    inVariant("provider");
    if (IsSkipped()) return;
    RegValue endpoint(HKEY_LOCAL_MACHINE, kMetrics, L"SampleEndpoint", L"sample.telvista.test");
    tvxtest::LogCapture log;
    ASSERT_EQ(getIspRouteIp(state), 0) << "the public address answers nothing, so the path is walked";
    EXPECT_EQ(getCachedIspRoute(), kRouteHop);
    EXPECT_TRUE(log.contains(tvxlog::verbose, "traceRouteIsp", "IcmpSendEcho TTL=1 no response"));
    EXPECT_TRUE(log.contains(tvxlog::debug, "traceRouteIsp",
                             "\thop '172.20.0.1' emits TTL-exceeded but does not respond to direct probes; skipping"));
    EXPECT_EQ(getRoundtripIsp(m, state), 0);
    EXPECT_GE(m["roundtripIspMs"].asInt(), 0) << "by TCP on port 443";
}

TEST_F(IspLab, SilentHopsFallBackToThePublicIp) {
    inVariant("silent");
    if (IsSkipped()) return;
    RegValue endpoint(HKEY_LOCAL_MACHINE, kMetrics, L"SampleEndpoint", L"drop.lab.test");
    tvxtest::LogCapture log;
    ASSERT_EQ(getIspRouteIp(state), 0);
    EXPECT_EQ(getCachedIspRoute(), kPublicIp);
    EXPECT_TRUE(log.contains(tvxlog::verbose, "traceRouteIsp", "IcmpSendEcho TTL=19 no response"));
    EXPECT_EQ(getRoundtripIsp(m, state), -1) << "the public address answers nothing";
    EXPECT_TRUE(state.reset);
}

TEST_F(IspLab, ARouteThatFallsSilentIsSearchedAgain) {
    inVariant("fading");
    if (IsSkipped()) return;
    RegValue endpoint(HKEY_LOCAL_MACHINE, kMetrics, L"SampleEndpoint", L"sample.telvista.test");
    ASSERT_EQ(getIspRouteIp(state), 0);
    ASSERT_EQ(getCachedIspRoute(), kRouteHop);
    std::uint32_t average = 0;
    getTcpConnectTime(kRouteHop, 4000, 0, 1, average);  // the knock: the hop drops everything from now on
    EXPECT_EQ(getRoundtripIsp(m, state), -1);
    ASSERT_EQ(getIspRouteIp(state), 0);
    EXPECT_EQ(getCachedIspRoute(), "198.18.0.18") << "the next router beyond";
    EXPECT_EQ(getRoundtripIsp(m, state), 0);
}

// Each method finds the home router's address: the service sees it as the
// request's origin (method 1 asks about no address), the stand-ins print it
// and the service is asked about it. The other stand-ins print addresses of
// their own, so the addresses asked tell which method won. In the last case
// method 2 prints an address the service cannot place, so method 3 follows.
TEST_F(IspLab, EachLookupMethodFindsTheTranslatedAddress) {
    inVariant("provider");
    if (IsSkipped()) return;
    std::vector<std::string> asked;
    ispsys::ops().lookup = [&](const std::string& a) { return asked.push_back(a), keep_.saved().lookup(a); };
    const char* other = "when:Resolve-DnsName out:198.51.100.92 when:Invoke-WebRequest out:198.51.100.93";
    const std::tuple<DWORD, const char*, const char*, std::vector<std::string>> cases[] = {
        {1, "nslookup:198.51.100.91", other, {""}},
        {2, "nslookup:", "when:Resolve-DnsName out:203.0.113.77 when:Invoke-WebRequest out:198.51.100.93", {kPublicIp}},
        {3, "nslookup:", "when:Resolve-DnsName err:Resolve-DnsName~:~DNS~name~does~not~exist when:Invoke-WebRequest "
                         "out:203.0.113.77", {kPublicIp}},
        {4, "nslookup:203.0.113.77", other, {kPublicIp}},
        {2, "nslookup:", "when:Resolve-DnsName out:198.18.0.1 when:Invoke-WebRequest out:203.0.113.77",
         {"198.18.0.1", kPublicIp}},
    };
    for (const auto& [method, nslookup, powerShell, expected] : cases) {
        RegValue first(HKEY_CURRENT_USER, L"Software\\Quillmere\\Telvista\\Setting", L"PublicIpLookupMethod", method);
        tvxtest::ConsoleStandIns standIns{{"nslookup", nslookup}, {"PowerShell", powerShell}};
        PublicIpState fresh;
        resetLocationCacheForTests();
        asked.clear();
        getPublicIp(m, fresh);
        EXPECT_EQ(m["publicIpAddress"], kPublicIp) << "method " << method;
        EXPECT_EQ(asked, expected) << "method " << method;
    }
}

// The whole plug-in: provider, location and ISP round trip as the remote host
// receives them, then with the privacy switches "ISPName" and "Location" off.
TEST_F(IspLab, ProviderAndLocationThroughTheClientStandIn) {
    inVariant("direct");
    if (IsSkipped()) return;
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
    Json::Value shown = metricsThroughTheClientStandIn();
    EXPECT_EQ(shown["publicIpAddress"], kPublicIp);
    EXPECT_GE(shown["roundtripIspMs"].asInt(), 0) << "the public address answers ping in this variant";
    EXPECT_EQ(shown["isp_name"], "Lab Home Broadband");
    EXPECT_EQ(shown["client_location"], "Lyon, Auvergne-Rhone-Alpes, France");
    EXPECT_EQ(shown["client_latitude"], "45.764000000000003");
    CoFreeUnusedLibrariesEx(0, 0);  // a fresh plug-in reads the switches anew
    {
        RegValue isp(HKEY_CURRENT_USER, kMetrics, L"ISPName", L"false");
        RegValue location(HKEY_LOCAL_MACHINE, kMetrics, L"Location", L"FALSE");
        Json::Value hidden = metricsThroughTheClientStandIn();
        EXPECT_EQ(hidden["publicIpAddress"], kPublicIp);
        EXPECT_EQ(hidden["isp_name"], "");
        EXPECT_EQ(hidden["client_location"], "");
        EXPECT_EQ(hidden["client_longitude"], "");
    }
    CoUninitialize();
}

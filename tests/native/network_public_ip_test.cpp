#include <gtest/gtest.h>

#include <map>
#include <set>

#include "common/test_support.h"
#include "network/network_data.h"
#include "network/probes_sys.h"
#include "network/public_ip.h"
#include "platform/settings.h"

namespace {

using locationData::LocationRef;
using V = std::vector<std::string>;

std::uint32_t addr(const std::string& text) {
    std::uint32_t a = 0;
    unsigned long e = 0;
    probesys::ops().parseIPv4(text, a, e);
    return a;
}

LocationRef place(const std::string& ip, const std::string& isp = "Lab Telecom") {
    return std::make_shared<locationData::LOCATION_DATA>(
        locationData::LOCATION_DATA{"France", "", "Paris", "48.85", "2.29", ip, isp, "", 0});
}

// Fake lookup, commands and clock; in the probes only `tcp443` answer (TCP on
// 443), and the walk meets `hops`.
class PublicIp : public ::testing::Test {
protected:
    void SetUp() override {
        resetLocationCacheForTests();
        setNetworkDataCache("", "", "", "", "");
        ispsys::ops() = {[this](const std::string& a) { return lookups.push_back(a), places[a]; },
                         [this](const std::string&, const LineHandler&) { return ++commands, 0; },
                         [this] { return now; }, [this] { return running; }, {}};
        auto& p = probesys::ops();
        p.echoWithTtl = [this](std::uint32_t, unsigned ttl) {
            return ttl < hops.size() && !hops[ttl].empty() ? probesys::HopReply{probesys::HopReply::reply, addr(hops[ttl])}
                                                           : probesys::HopReply{};
        };
        p.echo = [this](std::uint32_t a) { return probed.push_back(ipv4Text(a)), probesys::EchoResult{}; };
        p.resolve = [](const std::string& name, std::vector<probesys::ResolvedAddress>& out) {
            return out.push_back({true, name}), 0;
        };
        p.connect = [this](std::uint32_t a, std::uint16_t port) {
            return probesys::ConnectResult{tcp443.count(ipv4Text(a)) > 0 && port == 443, 7};
        };
    }
    void TearDown() override { resetLocationCacheForTests(); }

    tvxtest::Restore<ispsys::Ops> keepIsp_{ispsys::ops()};
    tvxtest::Restore<probesys::Ops> keepProbes_{probesys::ops()};
    tvxtest::MemoryRegistry registry;
    std::map<std::string, LocationRef> places{{"", place("203.0.113.77")}, {"203.0.113.77", place("203.0.113.77")}};
    V lookups, probed, hops;
    std::set<std::string> tcp443;
    int commands = 0;
    std::int64_t now = 2000000000;
    bool running = true;
};

}  // namespace

TEST_F(PublicIp, MethodOrderParseStepsAndTexts) {
    for (auto [value, order] : std::map<std::uint32_t, std::vector<int>>{
             {0, {1, 2, 3, 4}}, {2, {2, 3, 4, 1}}, {4, {4, 1, 2, 3}}, {5, {1, 2, 3, 4}}})
        EXPECT_EQ(publicIpMethodOrder(value), order) << value;

    std::string ns, ps, web;
    for (const char* line : {"Server:  resolver1.opendns.com\r", "Address:  208.67.222.222\r", "Address:  198.51.100.7\r",
                             "Address:  208.67.220.220\r", "Address:198.51.100.9"})
        parseNslookupLine(line, ns);
    EXPECT_EQ(ns, "198.51.100.7") << "the resolver's own addresses and lines without a blank are skipped";
    for (const char* line : {"Resolve-DnsName : DNS name does not exist\r", "203.0.113.77\r", "", "+ CategoryInfo\r"})
        parseResolveDnsNameLine(line, ps);
    EXPECT_EQ(ps, "203.0.113.77");
    parseWebRequestLine("198.51.100.8 trailing\r", web);
    parseWebRequestLine(std::string(2000, '9'), web);
    EXPECT_EQ(web, "198.51.100.8");

    EXPECT_EQ(formatLocation(*place("x")), "Paris, France");
}

TEST_F(PublicIp, LooksUpAgainOnANewNetworkAfter1800sAndAfterAFailureWithBackOff) {
    PublicIpState state;
    Json::Value m;
    auto lookupsOfOneRun = [&] {
        lookups.clear();
        getPublicIp(m, state);
        return lookups.size();
    };
    EXPECT_EQ(lookupsOfOneRun(), 1u);
    EXPECT_EQ(lookupsOfOneRun(), 0u);
    setNetworkDataCache("", "", "", "", "home-ssid");
    EXPECT_EQ(lookupsOfOneRun(), 1u) << "the SSID alone";
    setNetworkDataCache("", "", "198.51.100.3", "02-00", "home-ssid");
    EXPECT_EQ(lookupsOfOneRun(), 1u) << "a new private address";
    now += 1800;
    EXPECT_EQ(lookupsOfOneRun(), 0u);
    now += 1;
    places.clear();
    EXPECT_EQ(lookupsOfOneRun(), 1u) << "the commands print nothing: only the service is asked";
    EXPECT_EQ(commands, 3);
    EXPECT_EQ(m["publicIpAddress"], "203.0.113.77") << "the last address stays";
    // A failed lookup is tried again 5 s later, then after twice as long;
    // a new network tries at once.
    EXPECT_EQ(lookupsOfOneRun(), 0u);
    now += 5;
    EXPECT_EQ(lookupsOfOneRun(), 1u);
    now += 9;
    EXPECT_EQ(lookupsOfOneRun(), 0u);
    setNetworkDataCache("", "", "198.51.100.4", "02-00", "home-ssid");
    EXPECT_EQ(lookupsOfOneRun(), 1u);
    places.clear();
    setNetworkDataCache("", "", "198.51.100.5", "02-00", "home-ssid");
    running = false;
    Json::Value fresh;
    getPublicIp(fresh, state);
    EXPECT_FALSE(fresh.isMember("publicIpAddress")) << "a stopping service writes nothing";
}

TEST_F(PublicIp, TheWalkAndTheRouteThatStopsAnswering) {
    hops = {"8.8.8.8", "192.168.1.1", "10.0.0.1", "198.18.0.21", "203.0.113.5"};
    tcp443 = {"203.0.113.5"};
    setLocationDataCache(place("203.0.113.77", ""));  // no provider: the route's record lends its own
    places["203.0.113.5"] = place("203.0.113.5", "Route Telecom");
    IspRouteState state;
    Json::Value m;
    ASSERT_EQ(getIspRouteIp(state), 0);
    EXPECT_EQ(probed, (V{"203.0.113.77", "198.18.0.21", "203.0.113.5"})) << "private hops are never probed";
    EXPECT_EQ(getCachedIspRoute(), "203.0.113.5");
    EXPECT_EQ(getCachedLocation()->ispName, "Route Telecom");
    EXPECT_EQ(getCachedPublicIp(), "203.0.113.77") << "but not its address";
    EXPECT_EQ(getRoundtripIsp(m, state), 0);
    EXPECT_EQ(m["roundtripIspMs"], 7);

    tcp443.clear();
    EXPECT_EQ(getRoundtripIsp(m, state), -1);
    probed.clear();
    getIspRouteIp(state);
    EXPECT_EQ(probed.size(), 3u) << "a new search: the public IP, then 198.18.0.21 and 203.0.113.5 of the walk";
    EXPECT_EQ(getCachedIspRoute(), "203.0.113.77") << "19 silent or failing hops: the public IP";
}

// One hop between the home router and the target, which answers probes too:
// loopback, link-local and all of 172.16/12 are skipped, carrier-grade NAT is
// a route, the target itself never is.
TEST_F(PublicIp, TheWalkSkipsNonPublicHopsAndStopsAtTheTarget) {
    setLocationDataCache(place("203.0.113.77"));
    for (auto [hop, isRoute] : std::map<std::string, bool>{{"127.0.0.1", false}, {"169.254.1.1", false},
             {"172.31.0.1", false}, {"8.8.8.8", false}, {"172.32.0.1", true}, {"100.64.0.1", true}}) {
        hops = {"8.8.8.8", "192.168.1.1", hop, "8.8.8.8"};
        tcp443 = {hop, "8.8.8.8"};
        EXPECT_EQ(traceRouteIsp(), isRoute ? hop : "203.0.113.77") << hop;
    }
}

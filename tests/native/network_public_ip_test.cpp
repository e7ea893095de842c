#include <gtest/gtest.h>

#include <deque>
#include <map>
#include <set>

#include "common/test_support.h"
#include "network/network_data.h"
#include "network/probes_sys.h"
#include "network/public_ip.h"
#include "platform/privacy_filter.h"
#include "platform/settings.h"

namespace {

using locationData::LOCATION_DATA;
using locationData::LocationRef;
using probesys::HopReply;

std::uint32_t addr(const std::string& text) {
    std::uint32_t a = 0;
    unsigned long e = 0;
    probesys::ops().parseIPv4(text, a, e);
    return a;
}

LocationRef place(const std::string& ip, const std::string& isp = "Lab Telecom") {
    return std::make_shared<LOCATION_DATA>(LOCATION_DATA{"France", "", "Paris", "48.85", "2.29", ip, isp, "", 0});
}

// Fakes for the lookup, the console commands, the clock and the probes.
class PublicIp : public ::testing::Test {
protected:
    void SetUp() override {
        savedIsp_ = ispsys::ops();
        savedProbes_ = probesys::ops();
        resetLocationCacheForTests();
        dataPrivacyFilter::resetForTests();
        setNetworkDataCache("", "", "", "", "");
        auto& o = ispsys::ops();
        o.lookup = [this](const std::string& a) {
            lookups.push_back(a);
            auto it = places.find(a);
            return it == places.end() ? LocationRef() : it->second;
        };
        o.runCommand = [this](const std::string& cmd, const LineHandler& parse) {
            commands.push_back(cmd);
            for (const auto& line : outputs[cmd]) parse(line);
            return 0;
        };
        o.nowSeconds = [this] { return now; };
        o.running = [this] { return running; };
        auto& p = probesys::ops();
        p.nowSeconds = [this] { return now; };
        p.echoWithTtl = [this](std::uint32_t, unsigned ttl) {
            return ttl < hops.size() ? hops[ttl] : HopReply{};
        };
        p.echo = [this](std::uint32_t a) {
            probed.push_back(ipv4Text(a));
            return probesys::EchoResult{answering.count(ipv4Text(a)) ? probesys::EchoResult::reply
                                                                     : probesys::EchoResult::sendFailed,
                                        3, 11010};
        };
        p.resolve = [](const std::string& name, std::vector<probesys::ResolvedAddress>& out) {
            out.push_back({true, name});
            return 0;
        };
        p.connect = [this](std::uint32_t a, std::uint16_t port) {
            return probesys::ConnectResult{tcp443.count(ipv4Text(a)) > 0 && port == 443, 7};
        };
    }
    void TearDown() override {
        ispsys::ops() = savedIsp_;
        probesys::ops() = savedProbes_;
        resetLocationCacheForTests();
        dataPrivacyFilter::resetForTests();
    }
    HopReply hop(const std::string& from) { return {HopReply::reply, addr(from), 11013}; }

    tvxtest::MemoryRegistry registry;
    std::map<std::string, LocationRef> places{{"", place("203.0.113.77")}, {"203.0.113.77", place("203.0.113.77")}};
    std::map<std::string, std::vector<std::string>> outputs;
    std::vector<std::string> lookups, commands, probed;
    std::vector<HopReply> hops;
    std::set<std::string> answering, tcp443;
    std::int64_t now = 2000000000;
    bool running = true;

private:
    ispsys::Ops savedIsp_;
    probesys::Ops savedProbes_;
};

}  // namespace

TEST_F(PublicIp, MethodOrderFollowsTheUserHiveThenTheMachineHive) {
    using V = std::vector<int>;
    EXPECT_EQ(publicIpMethodOrder(readPublicIpLookupMethod()), (V{1, 2, 3, 4}));
    registry->setDword(winreg::currentUser(), kSettingKey, u"PublicIpLookupMethod", 3);
    registry->setDword(winreg::localMachine(), kSettingKey, u"PublicIpLookupMethod", 4);
    EXPECT_EQ(publicIpMethodOrder(readPublicIpLookupMethod()), (V{3, 4, 1, 2}));
    registry->setDword(winreg::currentUser(), kSettingKey, u"PublicIpLookupMethod", 0);
    registry->setDword(winreg::localMachine(), kSettingKey, u"PublicIpLookupMethod", 2);
    EXPECT_EQ(publicIpMethodOrder(readPublicIpLookupMethod()), (V{2, 3, 4, 1}));
    EXPECT_EQ(publicIpMethodOrder(4), (V{4, 1, 2, 3}));
    EXPECT_EQ(publicIpMethodOrder(9), (V{1, 2, 3, 4}));
}

TEST_F(PublicIp, ParseStepsKeepTheLastAddressAndSkipTheResolver) {
    std::string a;
    for (const char* line : {"Server:  resolver1.opendns.com\r", "Address:  208.67.222.222\r", "\r",
                             "Non-authoritative answer:\r", "Name:    myip.opendns.com\r", "Address:  198.51.100.7\r",
                             "Address:  208.67.220.220\r", "Address:\t10.1.2.300\r"})
        parseNslookupLine(line, a);
    EXPECT_EQ(a, "198.51.100.7");
    std::string none;
    parseNslookupLine("Address:  208.67.222.222\r", none);
    parseNslookupLine("Address:198.51.100.9", none);  // no blank after the colon
    EXPECT_EQ(none, "");

    std::string ps;
    for (const char* line : {"", "Resolve-DnsName : myip.opendns.com : DNS name does not exist\r", "203.0.113.77\r",
                             "   ", "+ CategoryInfo : ResourceUnavailable\r"})
        parseResolveDnsNameLine(line, ps);
    EXPECT_EQ(ps, "203.0.113.77");
    std::string web;
    parseWebRequestLine("198.51.100.8 trailing words\r", web);
    parseWebRequestLine(std::string(2000, '9'), web);
    EXPECT_EQ(web, "198.51.100.8");
}

TEST_F(PublicIp, LocationTextAndPrivateRanges) {
    EXPECT_EQ(formatLocation(*place("x")), "Paris, France");
    EXPECT_EQ(formatLocation(LOCATION_DATA{"France", "IDF", "", "", "", "", "", "", 0}), "IDF, France");
    EXPECT_EQ(formatLocation(LOCATION_DATA{"", "IDF", "", "", "", "", "", "", 0}), "IDF, ");
    for (auto [ip, isPublic] : std::map<std::string, bool>{{"10.9.8.7", false}, {"172.16.4.1", false},
                                                           {"172.20.0.1", true}, {"172.17.0.1", true},
                                                           {"192.168.1.1", false}, {"192.169.1.1", true}})
        EXPECT_EQ(isPublicAddress(addr(ip)), isPublic) << ip;
}

TEST_F(PublicIp, LooksUpAgainOnANewNetworkAfter1800sAndAfterAFailure) {
    PublicIpState state;
    Json::Value m;
    auto runs = [&] {
        lookups.clear();
        getPublicIp(m, state);
        return lookups.size();
    };
    EXPECT_EQ(runs(), 1u);
    EXPECT_EQ(m["publicIpAddress"], "203.0.113.77");
    EXPECT_EQ(runs(), 0u);
    setNetworkDataCache("", "", "", "", "home-ssid");  // the SSID alone
    EXPECT_EQ(runs(), 1u);
    setNetworkDataCache("", "", "198.51.100.3", "02-00", "home-ssid");  // a new private address counts too
    EXPECT_EQ(runs(), 1u);
    now += 1800;
    EXPECT_EQ(runs(), 0u);
    now += 1;
    places.clear();  // every method fails: the last address stays, the next run tries again
    EXPECT_EQ(runs(), 1u) << "the commands print nothing, so only the service is asked";
    EXPECT_EQ(commands.size(), 3u);
    EXPECT_EQ(m["publicIpAddress"], "203.0.113.77");
    EXPECT_EQ(runs(), 1u);
    running = false;
    Json::Value fresh;
    getPublicIp(fresh, state);
    EXPECT_FALSE(fresh.isMember("publicIpAddress")) << "a stopping service writes nothing";
}

TEST_F(PublicIp, AnAddressWithoutLocationMovesOnToTheNextMethod) {
    tvxtest::LogCapture log;
    registry->setDword(winreg::currentUser(), kSettingKey, u"PublicIpLookupMethod", 2);
    outputs[kResolveDnsNameCommand] = {"198.51.100.99\r"};
    outputs[kWebRequestCommand] = {"203.0.113.77\r"};
    PublicIpState state;
    Json::Value m;
    getPublicIp(m, state);
    EXPECT_EQ(lookups, (std::vector<std::string>{"198.51.100.99", "203.0.113.77"}));
    EXPECT_EQ(m["publicIpAddress"], "203.0.113.77");
    EXPECT_TRUE(log.contains(tvxlog::debug, "setLocationDataCache", "Found location Data : Paris, France"));

    registry->setString(winreg::localMachine(), kMetricsKey, u"Location", u"false");
    dataPrivacyFilter::resetForTests();
    getIspLocation(m);
    EXPECT_EQ(m["isp_name"], "Lab Telecom");
    EXPECT_EQ(m["client_location"], "");
    EXPECT_EQ(m["client_latitude"], "");
}

TEST_F(PublicIp, TraceSkipsPrivateAndSilentHopsAndFallsBackToThePublicIp) {
    tvxtest::LogCapture log;
    hops = {hop("8.8.8.8"), hop("192.168.1.1"), hop("10.0.0.1"), hop("172.20.0.1"), hop("203.0.113.5")};
    tcp443 = {"203.0.113.5"};
    EXPECT_EQ(traceRouteIsp(), "203.0.113.5");
    EXPECT_EQ(probed, (std::vector<std::string>{"172.20.0.1", "203.0.113.5"})) << "private hops are never probed";
    EXPECT_TRUE(log.contains(tvxlog::debug, "traceRouteIsp",
                             "\thop '172.20.0.1' emits TTL-exceeded but does not respond to direct probes; skipping"));

    hops.clear();
    EXPECT_EQ(traceRouteIsp(), "");
    setLocationDataCache(place("198.51.100.7"));
    EXPECT_EQ(traceRouteIsp(), "198.51.100.7");
    EXPECT_TRUE(log.contains(tvxlog::verbose, "traceRouteIsp", "IcmpSendEcho TTL=19 no response"));
}

TEST_F(PublicIp, ARouteThatStopsAnsweringIsSearchedAgain) {
    setLocationDataCache(place("203.0.113.77", ""));  // no provider name: the route's record replaces it
    places["203.0.113.5"] = place("203.0.113.5", "Route Telecom");
    hops = {{}, {}, hop("203.0.113.5")};
    tcp443 = {"203.0.113.5"};
    IspRouteState state;
    Json::Value m;
    ASSERT_EQ(getIspRouteIp(state), 0);
    EXPECT_EQ(getCachedIspRoute(), "203.0.113.5");
    EXPECT_EQ(getCachedLocation()->ispName, "Route Telecom");
    EXPECT_EQ(getCachedPublicIp(), "203.0.113.77") << "the hop's record keeps the client's address";
    EXPECT_EQ(getRoundtripIsp(m, state), 0);
    EXPECT_EQ(m["roundtripIspMs"], 7);

    tcp443.clear();
    probed.clear();
    EXPECT_EQ(getRoundtripIsp(m, state), -1);
    EXPECT_TRUE(state.reset);
    getIspRouteIp(state);
    EXPECT_FALSE(state.reset);
    EXPECT_FALSE(probed.empty()) << "a new search";
    EXPECT_EQ(getCachedIspRoute(), "203.0.113.77") << "the public IP as the fall-back";
}

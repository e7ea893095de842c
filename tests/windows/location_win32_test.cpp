// The lookup client and WinHTTP against the stand-in location service. Runs
// only where that service answers as geo.telvista.test (the ctest entry
// "windows_location" sets it up); TVX_LOCATION_LOG names the service's
// request log, TVX_LOCATION_PEER the address it sees us come from.
#include <windows.h>

#include <gtest/gtest.h>
#include <json/json.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "common/test_support.h"
#include "network/http_request.h"
#include "network/location_lookup.h"

namespace {

std::string env(const char* name) { return std::getenv(name) ? std::getenv(name) : ""; }

class LocationService : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(env("TVX_LOCATION_LOG").empty()) << "run through the windows_location ctest entry";
        newEntries();
    }
    // The service's log lines written since the last call.
    std::vector<Json::Value> newEntries() {
        std::ifstream file(env("TVX_LOCATION_LOG"));
        std::vector<Json::Value> fresh;
        std::size_t n = 0;
        for (std::string line; std::getline(file, line); ++n) {
            std::istringstream in(line);
            Json::Value v;
            if (n >= seen_ && Json::parseFromStream(Json::CharReaderBuilder(), in, &v, nullptr)) fresh.push_back(v);
        }
        seen_ = n;
        return fresh;
    }

    std::size_t seen_ = 0;
    httprequest_win http_;
    LocationLookup lookup_{systemHttpClient()};
};

std::string summary(const Json::Value& e) {
    return e["method"].asString() + " " + e["path"].asString() + " :" + e["port"].asString() + " " +
           e["verdict"].asString();
}

const char kGoodAnswer[] =
    R"({"data":{"data":{"asn":{"name":"Example Net","route":"203.0.113.0/24"},"city":"Paris","company":null,)"
    R"("country_name":"France","ip":"203.0.113.9","latitude":48.858400000000003,"longitude":2.2945000000000002,)"
    R"("region":"Ile-de-France"}}})";

}  // namespace

TEST_F(LocationService, BothFormsPassTheSignatureCheck) {
    auto own = lookup_.getLocationByIp("127.0.0.1");
    ASSERT_TRUE(own);
    EXPECT_EQ(own->ip, env("TVX_LOCATION_PEER"));
    auto paris = lookup_.getLocationByIp("203.0.113.9");
    ASSERT_TRUE(paris);
    EXPECT_EQ(paris->city + "|" + paris->ispName + "|" + paris->network, "Paris|Example Net|203.0.113.0/24");

    auto log = newEntries();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(summary(log[0]), "GET /api/v1/ip-data :443 accepted: own address " + env("TVX_LOCATION_PEER"));
    EXPECT_EQ(log[0]["body"].asString() + log[0]["headers"]["User-Agent"].asString(), "QMLINK_AGENT/1.0");
    EXPECT_EQ(summary(log[1]), "POST /saas/ip :443 accepted: 203.0.113.9");
    EXPECT_EQ(log[1]["body"].asString(), R"({"ip": "203.0.113.9"})");
    EXPECT_EQ(log[1]["headers"]["Content-type"].asString(), "application/json");
}

TEST_F(LocationService, MisbehavioursEndAsThePluginExpects) {
    const char* const parser = "`anonymous-namespace'::parseDataSaasIp";
    const struct {
        const char* address;
        const char* function;
        const char* line;  // for a lookup that fails
    } cases[] = {
        {"198.18.0.1", parser, "Empty response from QMEndpoint service"},
        {"198.18.0.2", parser, "Parsing QMEndpoint response error : "},
        {"198.18.0.3", parser, "Invalid QMEndpoint response: node [data] does not exist"},
        {"198.18.0.4", parser, "Invalid QMEndpoint response: node [data][data] does not exist"},
        {"198.18.0.5", "`anonymous-namespace'::getLocationData", "Invalid QMEndpoint response: node [data][data] should be object"},
        {"198.18.0.6", parser, "Invalid QMEndpoint response: node [data] does not exist"},  // 404, parsed anyway
        {"198.18.0.7", nullptr, nullptr},                                                 // many chunks
        {"198.18.0.8", parser, "Parsing QMEndpoint response error : "},                   // half a body
        {"198.18.0.9", nullptr, nullptr},                                                 // slow
    };
    for (const auto& c : cases) {
        tvxtest::LogCapture log;
        auto r = lookup_.getLocationByIp(c.address);
        if (c.line) {
            EXPECT_FALSE(r) << c.address;
            EXPECT_TRUE(log.containsPrefix(tvxlog::error, c.function, c.line)) << c.address;
        } else {
            EXPECT_EQ(r ? r->ip : "none", c.address);
        }
        auto e = newEntries();
        ASSERT_EQ(e.size(), 1u) << c.address;
        EXPECT_EQ(e[0]["verdict"].asString().rfind("accepted, misbehaviour: ", 0), 0u) << c.address;
    }
}

TEST_F(LocationService, HttpClientEdges) {
    // The plain scheme still speaks TLS, on port 80; no body means no data write.
    EXPECT_EQ(http_.request(u"POST", u"http://geo.telvista.test/echo", {}, "over tls"), "over tls");
    EXPECT_EQ(http_.request(u"POST", u"https://geo.telvista.test/echo", {u"X-Probe: 1"}, ""), "");
    auto e = newEntries();
    ASSERT_EQ(e.size(), 2u);
    EXPECT_EQ(summary(e[0]), "POST /echo :80 echo");
    EXPECT_EQ(e[1]["headers"]["Content-Length"].asString() + e[1]["headers"]["X-Probe"].asString(), "01");

    // What came before a drop is returned. (Windows also logs the failed read;
    // Wine's WinHTTP ends such a body as if it were complete.)
    std::string part = http_.request(u"GET", u"https://geo.telvista.test/misbehave/drop", {}, "");
    EXPECT_TRUE(!part.empty() && part.size() < sizeof kGoodAnswer - 1 && std::string(kGoodAnswer).rfind(part, 0) == 0)
        << part;

    tvxtest::LogCapture log;
    EXPECT_EQ(http_.request(u"GET", u"no url at all", {}, ""), "");
    EXPECT_TRUE(log.containsPrefix(tvxlog::error, "httprequest_win_impl::init", "WinHttpCrackUrl failed with error : [12006] : "));
    EXPECT_EQ(http_.request(u"GET", u"https://geo.telvista.test:1/", {}, ""), "");
    EXPECT_TRUE(log.containsPrefix(tvxlog::error, "httprequest_win_impl::do_request", "WinHttpSendRequest failed with error : [12029] : "));
}

TEST_F(LocationService, AnswersAreBounded) {
    tvxtest::LogCapture log;
    EXPECT_EQ(http_.request(u"GET", u"https://geo.telvista.test/misbehave/huge", {}, "").size(), kMaxResponseBytes);
    EXPECT_TRUE(log.containsPrefix(tvxlog::error, "httprequest_win_impl::do_request", "Response larger than 1048576 bytes"));
    newEntries();
}

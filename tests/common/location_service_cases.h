// The lookup client and the platform's HTTP client against the stand-in
// location service, shared by the Windows (WinHTTP) and Linux (libcurl)
// tests. The including file defines, before including this once:
//   locationLog()        the service's request log as this process reads it
//   locationPeer()       the address the service sees us come from
//   locationReady()      asserts or skips when the service is not there
//   kCrackUrlError       the error line's start for a URL that is none
//   kNoConnectError      the same for a port that refuses the connection
//   kDroppedBodyError    the same for a body cut short, or nullptr
#pragma once

#include <gtest/gtest.h>
#include <json/json.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "common/test_support.h"
#include "network/http_request.h"
#include "network/location_lookup.h"

// Named, not anonymous: this header is included into the platforms' files.
namespace locationcases {

class LocationService : public ::testing::Test {
protected:
    void SetUp() override {
        locationReady();
        if (!IsSkipped()) newEntries();
    }
    // The service's log lines written since the last call.
    std::vector<Json::Value> newEntries() {
        std::ifstream file(locationLog());
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

}  // namespace locationcases

using locationcases::LocationService;
using locationcases::summary;

TEST_F(LocationService, BothFormsPassTheSignatureCheck) {
    auto own = lookup_.getLocationByIp("127.0.0.1");
    ASSERT_TRUE(own);
    auto paris = lookup_.getLocationByIp("203.0.113.9");
    ASSERT_TRUE(paris);
    EXPECT_EQ(paris->city + "|" + paris->ispName + "|" + paris->network, "Paris|Example Net|203.0.113.0/24");

    auto log = newEntries();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(summary(log[0]), "GET /api/v1/ip-data :443 accepted: own address " + locationPeer());
    EXPECT_EQ(log[0]["body"].asString() + log[0]["headers"]["User-Agent"].asString(), "QMLINK_AGENT/1.0");
    EXPECT_EQ(summary(log[1]), "POST /saas/ip :443 accepted: 203.0.113.9");
}

// How the answers travel; the failures of whole bodies are played natively.
TEST_F(LocationService, MisbehavioursEndAsThePluginExpects) {
    const std::pair<const char*, const char*> cases[] = {
        {"198.18.0.1", "Empty response from QMEndpoint service"},
        {"198.18.0.6", "Invalid QMEndpoint response: node [data] does not exist"},  // 404, parsed anyway
        {"198.18.0.7", nullptr},                                                  // many chunks
        {"198.18.0.8", "Parsing QMEndpoint response error : "},                    // half a body
        {"198.18.0.9", nullptr},                                                  // slow
    };
    for (const auto& [address, line] : cases) {
        SCOPED_TRACE(address);
        tvxtest::LogCapture log;
        auto r = lookup_.getLocationByIp(address);
        EXPECT_EQ(r ? r->ip : "none", line ? "none" : address);
        EXPECT_TRUE(!line || log.containsPrefix(tvxlog::error, "`anonymous-namespace'::parseDataSaasIp", line));
        auto e = newEntries();
        ASSERT_EQ(e.size(), 1u);
        EXPECT_EQ(e[0]["verdict"].asString().rfind("accepted, misbehaviour: ", 0), 0u);
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

    // What came before a drop is returned.
    tvxtest::LogCapture drops;
    const std::string whole = http_.request(u"GET", u"https://geo.telvista.test/misbehave/chunks", {}, "");
    const std::string part = http_.request(u"GET", u"https://geo.telvista.test/misbehave/drop", {}, "");
    EXPECT_TRUE(!part.empty() && part.size() < whole.size() && whole.rfind(part, 0) == 0) << part;
    EXPECT_TRUE(!kDroppedBodyError || drops.containsPrefix(tvxlog::error, "httprequest_win_impl::do_request",
                                                           kDroppedBodyError));
    // A redirect is not followed: the signed headers stay with the host asked.
    newEntries();
    EXPECT_EQ(http_.request(u"GET", u"https://geo.telvista.test/misbehave/redirect", {u"X-KV-Signature: s"}, ""), "moved");
    e = newEntries();
    ASSERT_EQ(e.size(), 1u);
    EXPECT_EQ(summary(e[0]), "GET /misbehave/redirect :443 misbehaviour: redirect");

    tvxtest::LogCapture log;
    EXPECT_EQ(http_.request(u"GET", u"no url at all", {}, ""), "");
    EXPECT_TRUE(log.containsPrefix(tvxlog::error, "httprequest_win_impl::init", kCrackUrlError));
    EXPECT_EQ(http_.request(u"GET", u"https://geo.telvista.test:1/", {}, ""), "");
    EXPECT_TRUE(log.containsPrefix(tvxlog::error, "httprequest_win_impl::do_request", kNoConnectError));
    EXPECT_EQ(http_.request(u"GET", u"https://geo.telvista.test/misbehave/huge", {}, "").size(), kMaxResponseBytes);
    EXPECT_TRUE(log.containsPrefix(tvxlog::error, "httprequest_win_impl::do_request", "Response larger than 1048576 bytes"));
}

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "common/test_support.h"
#include "network/location_lookup.h"
#include "network/sha256.h"
#include "platform/log.h"
#include "platform/privacy_filter.h"
#include "platform/settings.h"

namespace {

using tvxlog::toUtf8;

constexpr std::int64_t kNow = 1700000000;

// Records what the lookup sends and answers from a script.
struct FakeHttp : HttpClient {
    std::vector<LocationRequest> sent;
    std::string answer;

    std::string request(const std::u16string& method, const std::u16string& url,
                        const std::vector<std::u16string>& headers, const std::string& body) override {
        sent.push_back({method, url, headers, body});
        return answer;
    }
};

std::string firstLine(const LocationRequest& r) { return toUtf8(r.method + u" " + r.url) + " " + r.body; }

std::string headerValue(const LocationRequest& r, const std::string& name) {
    for (const auto& h : r.headers)
        if (toUtf8(h).rfind(name + ": ", 0) == 0) return toUtf8(h).substr(name.size() + 2);
    return "?";
}

}  // namespace

TEST(LocationRequest, OwnAddressFormToTheByteAndTheAddressEscaped) {
    auto own = buildLocationRequest("", kNow, "Zx9abcdefghijklmnopqrstuvwxyz012", kDefaultLocationServiceKey,
                                    "geo.telvista.test");
    EXPECT_EQ(firstLine(own), "GET https://geo.telvista.test/api/v1/ip-data ");
    EXPECT_EQ(own.headers, (std::vector<std::u16string>{
                               u"X-QM-Time: 1700000000",
                               u"X-QM-Signature: 8a398bc11a8131ba3dab598a99a7e7b26a06b8e4357163bd35d672a6416a3ac6",
                               u"X-QM-Random: Zx9abcdefghijklmnopqrstuvwxyz012"}));

    // The address is escaped as a JSON string.
    EXPECT_EQ(locationRequestBody("a\"}, \"x\": \"\\\n\x01\xc3\xa9"), "{\"ip\": \"a\\\"}, \\\"x\\\": \\\"\\\\\\u000a\\u0001\xc3\xa9\"}");
}

TEST(LocationAnswer, MembersAndFallBacks) {
    auto r = parseLocationAnswer(R"({"data":{"data":{"ip":"203.0.113.9","company":null,
        "asn":{"name":"Example Net","route":"203.0.113.0/24"},"latitude":48.8584,"longitude":2.2945,
        "country_name":"France","region":"","city":"Paris"}}})", true, kNow);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->ip + "|" + r->ispName + "|" + r->network + "|" + r->countryName + "|" + r->region + "|" + r->city,
              "203.0.113.9|Example Net|203.0.113.0/24|France||Paris");
    EXPECT_EQ(r->latitude + " " + r->longitude, "48.858400000000003 2.2945000000000002");

    // The company wins where it says something; asn fills only what is empty.
    r = parseLocationAnswer(R"({"ip":"198.51.100.7","company":{"name":"Lab Telecom"},
        "asn":{"name":"AS64500","route":"198.51.100.0/24"},"latitude":52,"region":true})", false, kNow);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->ispName + "|" + r->network + "|" + r->latitude + "|" + r->region,
              "Lab Telecom|198.51.100.0/24|52|true");

    // Members of shapes the service never sends read as empty, never throw.
    r = parseLocationAnswer(R"({"ip":"192.0.2.1","company":"Acme","asn":7,"city":{}})", false, kNow);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->ispName + r->network + r->city, "");
}

// The "ip" is the public address, a cache key and a probed host: anything but
// a public IPv4 address is a failed lookup.
TEST(LocationAnswer, OnlyAPublicAddressIsAnAnswer) {
    for (const char* ip : {"localhost", "127.0.0.1", "10.1.2.3", "172.31.0.1", "192.168.0.1", "169.254.0.1",
                           "0.0.0.0", "224.0.0.1", "", "01.2.3.4", "1.2.3.4 ", "::1", "1.2.3"})
        EXPECT_FALSE(parseLocationAnswer(R"({"ip":")" + std::string(ip) + "\"}", false, kNow)) << ip;
}

// The service's own misbehaviours are played against WinHTTP in the Windows
// tests; these are the shapes it never sends.
TEST(LocationAnswer, FailuresAndTheirLines) {
    // The answer, its form, the function that logs and the line.
    const std::tuple<std::string, bool, const char*, const char*> cases[] = {
        {"", false, "parseDataIp", "Empty response from QMEndpoint service"},
        {"{\"ip\":", true, "parseDataSaasIp",
         "Parsing QMEndpoint response error : * Line 1, Column 7\n  Syntax error: value, object or array expected.\n"},
        {"[1]", true, "parseDataSaasIp", "Invalid QMEndpoint response: node [data] does not exist"},
        {R"({"data":"x"})", true, "parseDataSaasIp", "Invalid QMEndpoint response: node [data][data] does not exist"},
        {"\"text\"", false, "getLocationData", "Invalid QMEndpoint response: node [data][data] should be object"},
        {std::string(2000, '['), false, "parseDataIp",
         "Parsing QMEndpoint response error : Exceeded stackLimit in readValue()."},
    };
    for (const auto& [answer, byAddress, function, line] : cases) {
        tvxtest::LogCapture log;
        EXPECT_FALSE(parseLocationAnswer(answer, byAddress, kNow)) << answer;
        EXPECT_TRUE(log.contains(tvxlog::error, std::string("`anonymous-namespace'::") + function, line)) << answer;
    }
}

class LocationLookupCache : public ::testing::Test {
protected:
    tvxtest::MemoryRegistry registry_;
    FakeHttp http_;
    std::int64_t now_ = kNow;
    LocationLookup lookup_{http_, [this] { return now_; }};
    // A lookup's city, so that a missing record fails the test instead of crashing it.
    std::string cityOf(const char* address) {
        const auto record = lookup_.getLocationByIp(address);
        return record ? record->city : "(no record)";
    }
};

TEST_F(LocationLookupCache, OwnAddressAsksEveryTimeWithAFreshSignedRandom) {
    http_.answer = R"({"ip":"198.51.100.7","city":"Berlin"})";
    for (const char* address : {"127.0.0.1", "0.0.0.0", "", "127.255.3.4", "::1"}) {
        ASSERT_TRUE(lookup_.getLocationByIp(address)) << address;
        EXPECT_EQ(firstLine(http_.sent.back()), "GET https://geo.telvista.test/api/v1/ip-data ") << address;
    }
    ASSERT_EQ(http_.sent.size(), 5u);
    const std::string random = headerValue(http_.sent[0], "X-QM-Random");
    EXPECT_EQ(headerValue(http_.sent[0], "X-QM-Signature"),
              Sha256::hex(locationRequestBody(random) + kDefaultLocationServiceKey + "1700000000"));
    EXPECT_NE(random, headerValue(http_.sent[1], "X-QM-Random"));
    EXPECT_EQ(random.size(), 32u);
    EXPECT_EQ(random.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789"), std::string::npos);
    // The own address's record serves a later lookup of that address.
    EXPECT_EQ(cityOf("198.51.100.7"), "Berlin");
    EXPECT_EQ(http_.sent.size(), 5u);
    // Not own addresses: 127 as a word, a fifth octet.
    lookup_.getLocationByIp("127.0.0.1.5");
    EXPECT_EQ(http_.sent.back().method, u"POST");
}

TEST_F(LocationLookupCache, OneRequestPerAddressForADay) {
    http_.answer = R"({"data":{"data":{"ip":"203.0.113.9","city":"Paris"}}})";
    auto first = lookup_.getLocationByIp("203.0.113.9");
    now_ += 86400;
    EXPECT_EQ(lookup_.getLocationByIp("203.0.113.9"), first);
    now_ += 1;
    http_.answer = R"({"data":{"data":{"ip":"203.0.113.9","city":"Lyon"}}})";
    EXPECT_EQ(cityOf("203.0.113.9"), "Lyon");

    // Every store drops what expired.
    now_ += 86401;
    EXPECT_EQ(cityOf("198.51.100.9"), "Lyon");
    EXPECT_EQ(lookup_.cacheSizeForTests(), 1u);

    // Failures are not kept: the next lookup asks again.
    http_.answer = "";
    EXPECT_FALSE(lookup_.getLocationByIp("198.51.100.20"));
    EXPECT_FALSE(lookup_.getLocationByIp("198.51.100.20"));
    EXPECT_EQ(http_.sent.size(), 5u);
}

TEST_F(LocationLookupCache, SettingsMoveHostAndKey) {
    registry_->setString(winreg::localMachine(), kSettingKey, u"LocationServiceHost", u"geo.example:8443");
    registry_->setString(winreg::localMachine(), kSettingKey, u"LocationServiceKey", u"OTHERKEY");
    now_ = -5;
    lookup_.getLocationByIp("203.0.113.9");
    ASSERT_EQ(http_.sent.size(), 1u);
    EXPECT_EQ(firstLine(http_.sent[0]), R"(POST https://geo.example:8443/saas/ip {"ip": "203.0.113.9"})");
    EXPECT_EQ(http_.sent[0].headers, (std::vector<std::u16string>{
                                         u"Content-type: application/json", u"X-KV-Time: -5",
                                         u"X-KV-Signature: 292412a002228ad18d150f593e415f0f7e8f9803d5c427a905c277285c6fed8a"}));
}

// The answer reaches the log on one line when both switches allow provider
// and place, else only its length does.
TEST_F(LocationLookupCache, TheAnswerInTheLogFollowsThePrivacySwitches) {
    http_.answer = R"({"data":{"data":{"city":"Paris","ip":"203.0.113.9"}}})" "\n2026 [ERROR] forged";
    for (const char16_t* off : {u"", u"Location", u"ISPName"}) {
        registry_->setString(winreg::currentUser(), kMetricsKey, off, u"false");
        dataPrivacyFilter::resetForTests();
        tvxtest::LogCapture log;
        now_ += 86401;
        lookup_.getLocationByIp("198.51.100.30");
        const std::string line = *off ? "(" + std::to_string(http_.answer.size()) + " bytes)" : tvxlog::printable(http_.answer);
        EXPECT_TRUE(log.contains(tvxlog::debug, "`anonymous-namespace'::look4IpInfo", "mosaic response: " + line)) << line;
        for (const auto& l : log.lines().lines()) EXPECT_EQ(l.message.find(*off ? "Paris" : "\n2026"), std::string::npos);
        if (*off) http_.answer.resize(40);  // the last: a parse error's line too
    }
    dataPrivacyFilter::resetForTests();
}

// The lookup client and WinHTTP against the stand-in location service. Runs
// only where that service is reachable as geo.telvista.test (the ctest entry
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
#include "platform/settings.h"

namespace {

std::string env(const char* name) {
    const char* v = std::getenv(name);
    return v ? v : "";
}

// The service's log lines written since the fixture last looked.
class LocationService : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(env("TVX_LOCATION_LOG").empty()) << "run through the windows_location ctest entry";
        seen_ = readLog().size();
    }
    void TearDown() override {
        for (const wchar_t* name : {L"LocationServiceHost", L"LocationServiceKey"})
            RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, L"Software\\Quillmere\\Telvista\\Setting", name);
    }

    std::vector<Json::Value> readLog() {
        std::ifstream file(env("TVX_LOCATION_LOG"));
        std::vector<Json::Value> lines;
        for (std::string line; std::getline(file, line);) {
            Json::Value v;
            std::istringstream in(line);
            if (Json::parseFromStream(Json::CharReaderBuilder(), in, &v, nullptr)) lines.push_back(v);
        }
        return lines;
    }
    std::vector<Json::Value> newEntries() {
        auto all = readLog();
        std::vector<Json::Value> fresh(all.begin() + static_cast<std::ptrdiff_t>(seen_), all.end());
        seen_ = all.size();
        return fresh;
    }
    static bool hasLine(tvxtest::LogCapture& log, const std::string& function, const std::string& prefix) {
        for (const auto& l : log.lines().lines())
            if (l.function == function && l.message.rfind(prefix, 0) == 0) return true;
        return false;
    }
    static void setMachineText(const wchar_t* name, const wchar_t* value) {
        RegSetKeyValueW(HKEY_LOCAL_MACHINE, L"Software\\Quillmere\\Telvista\\Setting", name, REG_SZ, value,
                        static_cast<DWORD>((wcslen(value) + 1) * sizeof(wchar_t)));
    }

    std::size_t seen_ = 0;
    httprequest_win http_;
};

const char kGoodAnswer[] =
    R"({"data":{"data":{"asn":{"name":"Example Net","route":"203.0.113.0/24"},"city":"Paris","company":null,)"
    R"("country_name":"France","ip":"203.0.113.9","latitude":48.858400000000003,"longitude":2.2945000000000002,)"
    R"("region":"Ile-de-France"}}})";

}  // namespace

TEST_F(LocationService, BothFormsPassTheSignatureCheck) {
    LocationLookup lookup(systemHttpClient());
    auto own = lookup.getLocationByIp("127.0.0.1");
    ASSERT_TRUE(own);
    EXPECT_EQ(own->ip, env("TVX_LOCATION_PEER"));
    auto paris = lookup.getLocationByIp("203.0.113.9");
    ASSERT_TRUE(paris);
    EXPECT_EQ(paris->city + "|" + paris->ispName + "|" + paris->network + "|" + paris->latitude,
              "Paris|Example Net|203.0.113.0/24|48.858400000000003");

    auto log = newEntries();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0]["method"].asString() + " " + log[0]["path"].asString(), "GET /api/v1/ip-data");
    EXPECT_EQ(log[0]["verdict"].asString(), "accepted: own address " + env("TVX_LOCATION_PEER"));
    EXPECT_EQ(log[0]["body"].asString(), "");
    EXPECT_EQ(log[0]["headers"]["X-QM-Random"].asString().size(), 32u);
    EXPECT_EQ(log[0]["headers"]["User-Agent"].asString(), "QMLINK_AGENT/1.0");
    EXPECT_EQ(log[1]["method"].asString() + " " + log[1]["path"].asString(), "POST /saas/ip");
    EXPECT_EQ(log[1]["verdict"].asString(), "accepted: 203.0.113.9");
    EXPECT_EQ(log[1]["body"].asString(), R"({"ip": "203.0.113.9"})");
    EXPECT_EQ(log[1]["headers"]["Content-type"].asString(), "application/json");
}

TEST_F(LocationService, MisbehavioursEndAsThePluginExpects) {
    struct Case {
        const char* address;
        bool found;
        const char* function;
        const char* line;
    };
    const Case cases[] = {
        {"198.18.0.1", false, "`anonymous-namespace'::parseDataSaasIp", "Empty response from QMEndpoint service"},
        {"198.18.0.2", false, "`anonymous-namespace'::parseDataSaasIp", "Parsing QMEndpoint response error : "},
        {"198.18.0.3", false, "`anonymous-namespace'::parseDataSaasIp", "Invalid QMEndpoint response: node [data] does not exist"},
        {"198.18.0.4", false, "`anonymous-namespace'::parseDataSaasIp", "Invalid QMEndpoint response: node [data][data] does not exist"},
        {"198.18.0.5", false, "`anonymous-namespace'::getLocationData", "Invalid QMEndpoint response: node [data][data] should be object"},
        // A 404 is parsed like any answer.
        {"198.18.0.6", false, "`anonymous-namespace'::parseDataSaasIp", "Invalid QMEndpoint response: node [data] does not exist"},
        {"198.18.0.7", true, "`anonymous-namespace'::look4IpInfo", "mosaic response: "},
        // Half a body is not JSON.
        {"198.18.0.8", false, "`anonymous-namespace'::parseDataSaasIp", "Parsing QMEndpoint response error : "},
        {"198.18.0.9", true, "`anonymous-namespace'::look4IpInfo", "mosaic response: "},
    };
    for (const auto& c : cases) {
        tvxtest::LogCapture log(tvxlog::debug);
        LocationLookup lookup(systemHttpClient());
        auto r = lookup.getLocationByIp(c.address);
        EXPECT_EQ(bool(r), c.found) << c.address;
        if (r) {
            EXPECT_EQ(r->ip, c.address);
        }
        EXPECT_TRUE(hasLine(log, c.function, c.line)) << c.address;
        auto entries = newEntries();
        ASSERT_EQ(entries.size(), 1u) << c.address;
        EXPECT_EQ(entries[0]["verdict"].asString().rfind("accepted, misbehaviour: ", 0), 0u) << c.address;
    }
}

TEST_F(LocationService, HttpClientEdges) {
    {
        // The plain scheme still speaks TLS, on port 80.
        EXPECT_EQ(http_.request(u"POST", u"http://geo.telvista.test/echo", {}, "over tls"), "over tls");
        auto e = newEntries();
        ASSERT_EQ(e.size(), 1u);
        EXPECT_EQ(e[0]["port"].asInt(), 80);
    }
    {
        // No body: total length 0 and nothing written.
        EXPECT_EQ(http_.request(u"POST", u"https://geo.telvista.test/echo", {u"X-Probe: 1"}, ""), "");
        auto e = newEntries();
        ASSERT_EQ(e.size(), 1u);
        EXPECT_EQ(e[0]["headers"]["Content-Length"].asString(), "0");
        EXPECT_EQ(e[0]["headers"]["X-Probe"].asString(), "1");
    }
    EXPECT_EQ(http_.request(u"GET", u"https://geo.telvista.test/misbehave/not-found", {}, ""),
              R"({"error":"address not found"})");
    EXPECT_EQ(http_.request(u"GET", u"https://geo.telvista.test/misbehave/chunks", {}, ""), kGoodAnswer);
    {
        // What came before the drop is returned. (Windows also logs the read
        // failure; Wine's WinHTTP ends such a body as if it were complete.)
        std::string part = http_.request(u"GET", u"https://geo.telvista.test/misbehave/drop", {}, "");
        EXPECT_FALSE(part.empty());
        EXPECT_LT(part.size(), sizeof kGoodAnswer - 1);
        EXPECT_EQ(std::string(kGoodAnswer).substr(0, part.size()), part);
    }
    {
        tvxtest::LogCapture log;
        EXPECT_EQ(http_.request(u"GET", u"no url at all", {}, ""), "");
        EXPECT_TRUE(hasLine(log, "httprequest_win_impl::init", "WinHttpCrackUrl failed with error : [12006] : "));
        EXPECT_EQ(http_.request(u"GET", u"https://geo.telvista.test:1/", {}, ""), "");
        EXPECT_TRUE(hasLine(log, "httprequest_win_impl::do_request", "WinHttpSendRequest failed with error : [12029] : "));
    }
    newEntries();
}

TEST_F(LocationService, SettingsMoveHostAndKey) {
    setMachineText(L"LocationServiceHost", L"geo-alt.telvista.test:8443");
    setMachineText(L"LocationServiceKey", L"WRONGKEY");
    LocationLookup lookup(systemHttpClient());
    EXPECT_FALSE(lookup.getLocationByIp("198.51.100.7"));
    RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, L"Software\\Quillmere\\Telvista\\Setting", L"LocationServiceKey");
    auto r = lookup.getLocationByIp("198.51.100.7");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->ispName, "Lab Telecom");
    auto e = newEntries();
    ASSERT_EQ(e.size(), 2u);
    EXPECT_EQ(e[0]["headers"]["Host"].asString(), "geo-alt.telvista.test:8443");
    EXPECT_EQ(e[0]["verdict"].asString(), "rejected: bad signature");
    EXPECT_EQ(e[1]["verdict"].asString(), "accepted: 198.51.100.7");
}

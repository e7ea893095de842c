// The provider route search against real ICMP time-to-live walks inside the
// network lab (tests/lab/lab): the client behind a NAT home router whose
// public address is 203.0.113.77, a private provider router, one at
// 172.20.0.1 that shows in traces only, and the route's hop 203.0.113.49 that
// answers TCP on port 443 only. Each test belongs to one lab variant and
// skips in the others.
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "common/test_support.h"
#include "network/probes.h"
#include "network/public_ip.h"

namespace {

constexpr char kPublicIp[] = "203.0.113.77";
constexpr char kRouteHop[] = "203.0.113.49";

// A registry value for the life of the object.
class RegValue {
public:
    RegValue(HKEY root, const wchar_t* key, const wchar_t* name, const std::wstring& text) : name_(name) {
        RegCreateKeyExW(root, key, 0, nullptr, 0, KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr, &key_, nullptr);
        RegSetValueExW(key_, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                       static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
    }
    ~RegValue() {
        RegDeleteValueW(key_, name_.c_str());
        RegCloseKey(key_);
    }
    RegValue(const RegValue&) = delete;
    RegValue& operator=(const RegValue&) = delete;

private:
    HKEY key_ = nullptr;
    std::wstring name_;
};

class IspLab : public ::testing::Test {
protected:
    // Skips unless the lab runs the given variant.
    void inVariant(const char* variant) {
        const char* lab = std::getenv("TVX_LAB");
        const char* v = std::getenv("TVX_LAB_VARIANT");
        if (lab == nullptr || std::string(lab) != "1" || v == nullptr || std::string(v) != variant)
            GTEST_SKIP() << "runs only in the lab's \"" << variant << "\" variant";
        WSADATA data;
        ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &data), 0);
        started_ = true;
        saved_ = ispsys::ops();
        ispsys::ops().running = [] { return true; };
        ispsys::ops().lookup = [](const std::string&) { return locationData::LocationRef(); };
        resetLocationCacheForTests();
    }
    void knownPublicIp() {
        auto r = std::make_shared<locationData::LOCATION_DATA>();
        r->ip = kPublicIp;
        r->ispName = "Lab Telecom";
        setLocationDataCache(r);
    }
    void TearDown() override {
        if (!started_) return;
        ispsys::ops() = saved_;
        resetLocationCacheForTests();
        WSACleanup();
    }
    static constexpr const wchar_t* kMetrics = L"Software\\Quillmere\\Telvista\\Metrics";
    bool started_ = false;
    ispsys::Ops saved_;
};

}  // namespace

TEST_F(IspLab, TheWalkSkipsThePrivateAndTheTraceOnlyHopsAndFindsTheTcpOnlyHop) {
    inVariant("provider");
    if (IsSkipped()) return;
    RegValue endpoint(HKEY_LOCAL_MACHINE, kMetrics, L"SampleEndpoint", L"sample.telvista.test");
    tvxtest::LogCapture log;
    knownPublicIp();  // the home router's public address answers nothing
    IspRouteState state;
    ASSERT_EQ(getIspRouteIp(state), 0);
    EXPECT_EQ(getCachedIspRoute(), kRouteHop);
    EXPECT_TRUE(log.contains(tvxlog::verbose, "traceRouteIsp", "IcmpSendEcho TTL=1 no response"));
    EXPECT_TRUE(log.contains(tvxlog::debug, "traceRouteIsp",
                             "\thop '172.20.0.1' emits TTL-exceeded but does not respond to direct probes; skipping"));
    EXPECT_FALSE(log.containsPrefix(tvxlog::debug, "traceRouteIsp", "\thop '10.64.0.1'"));
    Json::Value m;
    EXPECT_EQ(getRoundtripIsp(m, state), 0);
    EXPECT_GE(m["roundtripIspMs"].asInt(), 0) << "by TCP on port 443";
}

TEST_F(IspLab, APublicAddressThatAnswersIsTheRouteWithoutAWalk) {
    inVariant("direct");
    if (IsSkipped()) return;
    tvxtest::LogCapture log;
    knownPublicIp();
    IspRouteState state;
    ASSERT_EQ(getIspRouteIp(state), 0);
    EXPECT_EQ(getCachedIspRoute(), kPublicIp);
    EXPECT_TRUE(log.contains(tvxlog::debug, "getIspRouteIp",
                             "\tpublic IP '203.0.113.77' responds directly; skipping traceroute"));
    EXPECT_FALSE(log.containsPrefix(tvxlog::verbose, "traceRouteIsp", "IcmpSendEcho TTL="));
}

TEST_F(IspLab, SilentHopsFallBackToThePublicIp) {
    inVariant("silent");
    if (IsSkipped()) return;
    RegValue endpoint(HKEY_LOCAL_MACHINE, kMetrics, L"SampleEndpoint", L"drop.lab.test");
    tvxtest::LogCapture log;
    knownPublicIp();
    IspRouteState state;
    ASSERT_EQ(getIspRouteIp(state), 0);
    EXPECT_EQ(getCachedIspRoute(), kPublicIp);
    EXPECT_TRUE(log.contains(tvxlog::verbose, "traceRouteIsp", "IcmpSendEcho TTL=19 no response"));
    EXPECT_TRUE(log.contains(tvxlog::debug, "traceRouteIsp",
                             "\ttraceroute exhausted; falling back to public IP '203.0.113.77' as ISP route"));
    Json::Value m;
    EXPECT_EQ(getRoundtripIsp(m, state), -1) << "the public address answers nothing";
    EXPECT_FALSE(m.isMember("roundtripIspMs"));
    EXPECT_TRUE(state.reset);
}

TEST_F(IspLab, ARouteThatFallsSilentIsSearchedAgain) {
    inVariant("fading");
    if (IsSkipped()) return;
    RegValue endpoint(HKEY_LOCAL_MACHINE, kMetrics, L"SampleEndpoint", L"sample.telvista.test");
    knownPublicIp();
    IspRouteState state;
    Json::Value m;
    ASSERT_EQ(getIspRouteIp(state), 0);
    ASSERT_EQ(getCachedIspRoute(), kRouteHop);
    ASSERT_EQ(getRoundtripIsp(m, state), 0);
    // The knock: from now on the hop drops everything sent to it.
    std::uint32_t average = 0;
    getTcpConnectTime(kRouteHop, 4000, 0, 1, average);
    m = Json::Value();
    EXPECT_EQ(getRoundtripIsp(m, state), -1);
    EXPECT_TRUE(state.reset);
    tvxtest::LogCapture log;
    ASSERT_EQ(getIspRouteIp(state), 0);
    EXPECT_TRUE(log.contains(tvxlog::debug, "traceRouteIsp",
                             "\thop '203.0.113.49' emits TTL-exceeded but does not respond to direct probes; skipping"));
    EXPECT_EQ(getCachedIspRoute(), "198.18.0.2") << "the next router beyond";
    EXPECT_EQ(getRoundtripIsp(m, state), 0);
}

// The collectors against the real IP Helper, ICMP and Winsock, inside the
// network lab (tests/lab/lab): two wired interfaces with default routes of
// metric 25 (eth0) and 35 (eth1), the gateway 198.51.100.1, a sample endpoint
// one router further, a host that refuses TCP and ignores ping, and one that
// drops everything. Outside the lab these tests skip.
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include "network/probes.h"
#include "plugin_test_support.h"
#include "rdclient/network_guard.h"

namespace {

constexpr char kGateway[] = "198.51.100.1";
constexpr char kRefuser[] = "203.0.113.18";
constexpr char kDropper[] = "203.0.113.30";

class NetworkLab : public ::testing::Test {
protected:
    void SetUp() override {
        if (!tvxtest::inLab()) GTEST_SKIP() << "runs only inside tests/lab/lab";
        ASSERT_EQ(standin::whyNotATestNetwork(), "");
        WSADATA data;
        ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &data), 0);
    }
    void TearDown() override {
        if (!IsSkipped()) WSACleanup();
    }
};

}  // namespace

TEST_F(NetworkLab, IcmpAndTcpProbes) {
    EXPECT_GE(getRoundTripToIP_impl(kGateway), 0);
    EXPECT_GE(getRoundTripToIP_impl("203.0.113.10"), 0) << "one router further";
    EXPECT_EQ(getRoundTripToIP_impl(kDropper), -1);
    EXPECT_EQ(getRoundTripToIP_impl(kRefuser), -1) << "the refusing host ignores ping";
    EXPECT_EQ(getRoundTripToIP_impl("8.8.8.8"), -1) << "a router's unreachable answer is no round trip";

    std::uint32_t average = 0;
    EXPECT_EQ(getTcpConnectTime(kRefuser, 443, 0, 2, average), 0);
    EXPECT_NE(average, 0xFFFFFFFFu) << "a refusal counts as reached";
    EXPECT_EQ(getTcpConnectTime(kDropper, 443, 0, 1, average), 0);
    EXPECT_EQ(average, 0xFFFFFFFFu);

    // Ping first, then TCP on 443 and 80; names resolve through the lab hosts file.
    EXPECT_GE(getRoundTripToHost(kGateway), 0);
    EXPECT_GE(getRoundTripToHost(kRefuser), 0);
    EXPECT_GE(getRoundTripToHost("sample.telvista.test"), 0);
    EXPECT_EQ(getRoundTripToHost(kDropper), -1);
    EXPECT_EQ(resolveEndpoint("refuse.lab.test"), kRefuser);
    EXPECT_EQ(resolveEndpoint("nowhere.lab.test"), "");
}

// The plug-in through the client stand-in: GET_METRICS shows the lab's network,
// the lower-metric interface (eth0) and a sample endpoint named in the registry.
// The gateway probe needs the interface choice of the first "Common Metrics"
// pass, so it is measured from the second pass on (5 s later).
TEST_F(NetworkLab, GetMetricsThroughTheClientStandIn) {
    tvxtest::RegValue endpoint(HKEY_LOCAL_MACHINE, L"Software\\Quillmere\\Telvista\\Metrics", L"SampleEndpoint",
                               L"sample.telvista.test");
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
    const Json::Value result =
        plugintest::metricsThroughTheClientStandIn([](const Json::Value& r) { return r["roundtripMs"].asInt() >= 0; }, 15);
    CoUninitialize();
    EXPECT_EQ(result["if_guid"], "{00000002-0000-0000-0000-4E6574446576}");
    EXPECT_EQ(result["description"], "eth0");
    EXPECT_EQ(result["gateway"], kGateway);
    EXPECT_EQ(result["privateIpAddress"], "198.51.100.2");
    EXPECT_EQ(result["mac_address"], "02-1A-00-00-00-01");
    EXPECT_EQ(result["if_type"], "Ethernet");
    EXPECT_EQ(result["if_type_value"], 6);
    EXPECT_EQ(result["wifi_channel"], -1);
    EXPECT_GE(result["roundtripMs"].asInt(), 0);
    EXPECT_EQ(result["latencyTarget"], "sample.telvista.test");
    EXPECT_GE(result["roundtripGoogleMs"].asInt(), 0);
    EXPECT_EQ(result["roundtripAdcMs"], -1);
}

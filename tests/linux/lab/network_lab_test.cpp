// The Linux adapters (netlink, datagram ICMP sockets, the error queue, TCP)
// inside the network lab (tests/lab/lab), natively: the same topology and
// expectations as the DLL's lab tests under Wine. Each test belongs to one
// lab variant and skips in the others.
#include <gtest/gtest.h>
#include <json/json.h>

#include <atomic>
#include <string>
#include <thread>

#include "common/test_support.h"
#include "network/network_info.h"
#include "network/probes.h"
#include "network/public_ip.h"
#include "network/wifi.h"
#include "platform/platform_service.h"

namespace {

constexpr char kPublicIp[] = "203.0.113.77";

class LinuxLab : public ::testing::Test {
protected:
    void inVariant(const char* variant) {
        if (!tvxtest::inLabVariant(variant))
            GTEST_SKIP() << "runs only in the lab's \"" << variant << "\" variant";
        ispsys::ops().running = [] { return true; };
        ispsys::ops().lookup = [](const std::string&) { return locationData::LocationRef(); };
        resetLocationCacheForTests();
        setLocationDataCache(std::make_shared<locationData::LOCATION_DATA>(
            locationData::LOCATION_DATA{"", "", "", "", "", kPublicIp, "Lab Home Broadband", "", 0}));
    }
    void endpoint(const char16_t* name) {
        registry_->setString(winreg::localMachine(), u"Software\\Quillmere\\Telvista\\Metrics", u"SampleEndpoint",
                             name);
    }
    tvxtest::MemoryRegistry registry_;
    tvxtest::Restore<ispsys::Ops> keep_{ispsys::ops()};
    IspRouteState state;
};

}  // namespace

// The lab has no wireless interface (and these kernels no nl80211): the
// system's session answers "not connected", with no error line each pass.
TEST_F(LinuxLab, WifiWithoutAWirelessInterface) {
    inVariant("provider");
    if (IsSkipped()) return;
    tvxtest::LogCapture log;
    std::string guid = "{00000000-0000-0000-0000-021A00000001}", ssid, bssid, authentication, radioType;
    int strength = -1, channel = -1;
    EXPECT_FALSE(getWifiMetricsImpl(guid, ssid, bssid, authentication, radioType, strength, channel));
    EXPECT_EQ(guid, "{00000000-0000-0000-0000-021A00000001}");
    EXPECT_TRUE(log.contains(tvxlog::info, "getWifiMetricsImpl", "WIFI is not connected"));
    for (const auto& line : log.lines().lines()) EXPECT_NE(line.severity, tvxlog::error) << line.message;
}

TEST_F(LinuxLab, IcmpAndTcpProbes) {
    inVariant("provider");
    if (IsSkipped()) return;
    EXPECT_GE(getRoundTripToIP_impl("198.51.100.1"), 0) << "the gateway";
    EXPECT_GE(getRoundTripToIP_impl("203.0.113.10"), 0) << "one router further";
    EXPECT_EQ(getRoundTripToIP_impl("203.0.113.30"), -1) << "the dropper";
    EXPECT_EQ(getRoundTripToIP_impl("8.8.8.8"), -1) << "a router's unreachable answer is no round trip";
    std::uint32_t average = 0;
    EXPECT_EQ(getTcpConnectTime("refuse.lab.test", 80, 0, 2, average), 0) << "a refusal is an answer";
    EXPECT_NE(average, 0xFFFFFFFFu);
    EXPECT_GE(getRoundTripToHost("203.0.113.18"), 0) << "ping ignored: TCP stands in";
}

// Connects to the host that drops everything end with the service's stop:
// thirty of them at their own deadline would outlast the wait.
TEST_F(LinuxLab, TheStopEndsAConnect) {
    inVariant("provider");
    if (IsSkipped()) return;
    std::atomic<bool> done{false};
    std::uint32_t average = 0;
    std::thread probe([&] {
        getTcpConnectTime("drop.lab.test", 443, 0, 30, average);
        done = true;
    });
    ASSERT_TRUE(tvxtest::waitUntil([&] { return notifyServiceStopWatches(), done.load(); }));
    probe.join();
    EXPECT_EQ(average, 0xFFFFFFFFu);
}

TEST_F(LinuxLab, TheWalkSkipsThePrivateAndTheTraceOnlyHopsAndFindsTheTcpOnlyHop) {
    inVariant("provider");
    if (IsSkipped()) return;
    endpoint(u"sample.telvista.test");
    tvxtest::LogCapture log;
    ASSERT_EQ(getIspRouteIp(state), 0) << "the public address answers nothing, so the path is walked";
    EXPECT_EQ(getCachedIspRoute(), "203.0.113.49");
    EXPECT_TRUE(log.contains(tvxlog::verbose, "traceRouteIsp", "IcmpSendEcho TTL=1 no response"));
    EXPECT_TRUE(log.contains(tvxlog::debug, "traceRouteIsp",
                             "\thop '198.18.0.21' emits TTL-exceeded but does not respond to direct probes; skipping"));
    Json::Value m;
    EXPECT_EQ(getRoundtripIsp(m, state), 0);
    EXPECT_GE(m["roundtripIspMs"].asInt(), 0) << "by TCP on port 443";
}

TEST_F(LinuxLab, SilentHopsFallBackToThePublicIp) {
    inVariant("silent");
    if (IsSkipped()) return;
    endpoint(u"drop.lab.test");
    tvxtest::LogCapture log;
    ASSERT_EQ(getIspRouteIp(state), 0);
    EXPECT_EQ(getCachedIspRoute(), kPublicIp);
    EXPECT_TRUE(log.contains(tvxlog::verbose, "traceRouteIsp", "IcmpSendEcho TTL=19 no response"));
    Json::Value m;
    EXPECT_EQ(getRoundtripIsp(m, state), -1) << "the public address answers nothing";
}

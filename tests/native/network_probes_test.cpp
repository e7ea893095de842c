#include <gtest/gtest.h>

#include <deque>
#include <tuple>

#include "common/test_support.h"
#include "network/probes.h"
#include "network/probes_sys.h"
#include "platform/settings.h"

namespace {

using probesys::ConnectResult;
using probesys::EchoResult;

// The next scripted result, or the fallback once the script has run out.
template <typename T>
T next(std::deque<T>& script, T fallback) {
    if (script.empty()) return fallback;
    T r = script.front();
    script.pop_front();
    return r;
}

// Fake system: scripted echo and connect results, a name table, a clock.
class Probes : public ::testing::Test {
protected:
    void SetUp() override {
        auto& o = probesys::ops();
        o.echo = [this](std::uint32_t) { return ++echoes, next(echoResults, {EchoResult::sendFailed, 0, 11010}); };
        o.connect = [this](std::uint32_t, std::uint16_t port) { return ports.push_back(port), next(connects, {}); };
        o.resolve = [this](const std::string& name, std::vector<probesys::ResolvedAddress>& out) {
            ++resolutions;
            out = names[name];
            return out.empty() ? 11001 : 0;
        };
        o.sleepMs = [this](std::uint32_t ms) { sleeps.push_back(ms); };
        // Every test starts far past the previous one's refresh.
        clock += 100000;
        o.nowSeconds = [] { return clock; };
    }

    static inline std::int64_t clock = 1700000000;
    std::deque<EchoResult> echoResults;
    std::deque<ConnectResult> connects;
    std::map<std::string, std::vector<probesys::ResolvedAddress>> names;
    std::vector<std::uint16_t> ports;
    std::vector<std::uint32_t> sleeps;
    int echoes = 0;
    int resolutions = 0;
    tvxtest::MemoryRegistry registry;
    tvxtest::Restore<probesys::Ops> keep_{probesys::ops()};
};

}  // namespace

TEST_F(Probes, AFailureReportsThePreviousSuccessOnceThenMinusOne) {
    tvxtest::LogCapture log;
    // A handle that cannot be opened counts as a failure like the others; once
    // the script has run out, every echo times out.
    echoResults = {{EchoResult::reply, 12, 0}, {EchoResult::openFailed, 0, 8}, {EchoResult::sendFailed, 0, 11003},
                   {EchoResult::reply, 3, 0}};
    EXPECT_EQ(getRoundTripToIP_impl("198.51.100.61"), 12);
    EXPECT_EQ(getRoundTripToIP_impl("198.51.100.61"), 12);
    // The first probe of an address that fails has nothing to fall back on.
    EXPECT_EQ(getRoundTripToIP_impl("198.51.100.62"), -1);
    EXPECT_EQ(getRoundTripToIP_impl("198.51.100.63"), 3);
    EXPECT_EQ(getRoundTripToIP_impl("198.51.100.63"), 3);
    EXPECT_EQ(getRoundTripToIP_impl("198.51.100.61"), -1);
    EXPECT_TRUE(log.contains(tvxlog::debug, "getRoundTripToIP_impl",
                             "IcmpSendEcho '198.51.100.61' timed out (IP_REQ_TIMED_OUT)"));
    EXPECT_TRUE(log.contains(tvxlog::error, "getRoundTripToIP_impl", "IcmpSendEcho '198.51.100.62' failed: IP_STATUS=11003"));
    EXPECT_TRUE(log.containsPrefix(tvxlog::error, "getRoundTripToIP_impl", "IcmpCreatefile returned error: [8] : "));

    // Unparsable and broadcast addresses send nothing and keep the table.
    echoes = 0;
    for (const char* bad : {"256.1.1.1", "255.255.255.255", "fe80::1", "", "host.example"})
        EXPECT_EQ(getRoundTripToIP_impl(bad), -1) << bad;
    EXPECT_EQ(echoes, 0);
    EXPECT_TRUE(log.containsPrefix(tvxlog::warning, "getRoundTripToIP_impl", "Cannot transform IPADDRESS [256.1.1.1]to InetPtonA; error = ["));
}

TEST(ProbesAddress, IsValidIPv4TakesOneToThreeDigitsUpTo255) {
    for (const char* good : {"0.0.0.0", "8.8.8.8", "255.255.255.255", "010.001.002.003", "00.0.00.1"})
        EXPECT_TRUE(isValidIPv4(good)) << good;
    for (const char* bad : {"", "256.0.0.1", "1.2.3", "1.2.3.4.5", "0001.2.3.4", " 1.2.3.4", "1.2.3.4\n", "a.b.c.d",
                            "1..2.3", "::1", "1.2.3.4.                              "})
        EXPECT_FALSE(isValidIPv4(bad)) << bad;
}

TEST_F(Probes, TcpConnectTimeAveragesTheAttemptsThatReachedTheHost) {
    names["tcp.lab"] = {{false, "2001:db8::5"}, {true, "198.51.100.70"}, {true, "198.51.100.71"}};
    connects = {{true, 10}, {false, 0}, {true, 21}};
    std::uint32_t average = 0;
    EXPECT_EQ(getTcpConnectTime("tcp.lab", 443, 50, 3, average), 0);
    EXPECT_EQ(average, 15u);
    EXPECT_EQ(sleeps, (std::vector<std::uint32_t>{50, 50}));

    // None reached: still 0, average all bits set.
    EXPECT_EQ(getTcpConnectTime("tcp.lab", 443, 0, 2, average), 0);
    EXPECT_EQ(average, 0xFFFFFFFFu);
    // No attempts: the address is checked, nothing is sent.
    ports.clear();
    EXPECT_EQ(getTcpConnectTime("tcp.lab", 443, 0, 0, average), 0);

    // An IPv6-only name, an unknown name, an empty or null host: -1.
    names["v6.lab"] = {{false, "2001:db8::6"}};
    for (const char* host : {"v6.lab", "nowhere.lab", "", static_cast<const char*>(nullptr)}) {
        average = 7;
        EXPECT_EQ(getTcpConnectTime(host, 80, 0, 1, average), -1);
        EXPECT_EQ(average, 0xFFFFFFFFu);
    }
    EXPECT_TRUE(ports.empty()) << "nothing sent without attempts or an IPv4 address";
}

TEST_F(Probes, SampleEndpointIsCachedFor600SecondsFailuresIncluded) {
    tvxtest::LogCapture log;
    using Resolved = std::vector<probesys::ResolvedAddress>;
    const Resolved both = {{false, "2001:db8::9"}, {true, "203.0.113.9"}}, v6 = {{false, "2001:db8::9"}};
    // The setting (none: as it was), what sample.lab resolves to (none: it does not), the wait, then the address,
    // the name and the resolutions so far.
    const std::tuple<const char16_t*, Resolved, std::int64_t, const char*, const char*, int> steps[] = {
        {nullptr, {}, 0, "8.8.8.8", "8.8.8.8", 0},
        {u"sample.lab", {}, 601, "", "sample.lab", 1},
        // Within 600 s the failure stays and the setting is not read again.
        {u"010.001.002.003", both, 600, "", "sample.lab", 1},
        {nullptr, both, 1, "010.001.002.003", "010.001.002.003", 1},  // leading zeros pass as an address
        {u"sample.lab", both, 601, "203.0.113.9", "sample.lab", 2},
        // An IPv6-only name yields its IPv6 text, which the ICMP probe refuses.
        {nullptr, v6, 601, "2001:db8::9", "sample.lab", 3},
        {u"", v6, 601, "", "", 3},
    };
    for (const auto& [setting, resolved, wait, address, name, resolutionsSoFar] : steps) {
        if (setting) registry->setString(winreg::localMachine(), kMetricsKey, u"SampleEndpoint", setting);
        names["sample.lab"] = resolved;
        clock += wait;
        std::string named;
        EXPECT_EQ(getPingIp(named), address) << address;
        EXPECT_EQ(named, name) << address;
        EXPECT_EQ(resolutions, resolutionsSoFar) << address;
    }
    EXPECT_TRUE(log.containsPrefix(tvxlog::error, "resolveEndpoint", "getaddrinfo 'sample.lab'  error: "));
    EXPECT_TRUE(log.contains(tvxlog::info, "getPingIp", "SampleEndpoint: 'sample.lab' resolved to: "));
}

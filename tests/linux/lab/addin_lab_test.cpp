// The Linux add-in as FreeRDP loads it, through the fake channel manager in the
// network lab: the DLL's lab cases. Machine settings go to the lab's private
// /etc; times are printed for the notes, never asserted.
#include <gtest/gtest.h>
#include <json/json.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

#include "common/json_members.h"
#include "common/test_support.h"
#include "linux/fake_dvc_session.h"

namespace {

using namespace fakedvc;
using tvxtest::expectMembers;
using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

class AddinLab : public ::testing::Test {
protected:
    // Skips unless the lab runs the variant; then writes the machine settings.
    void inVariant(const char* variant, const std::string& machineSettings) {
        if (!tvxtest::inLabVariant(variant))
            GTEST_SKIP() << "runs only in the lab's \"" << variant << "\" variant";
        entry_ = loadAddin();
        ASSERT_NE(entry_, nullptr) << "TVX_ADDIN must name the library";
        std::filesystem::create_directories(kMachineFolder);
        std::ofstream(std::string(kMachineFolder) + "/settings.conf") << machineSettings;
        baseThreads_ = threadCount();
    }
    void TearDown() override { if (entry_ != nullptr) std::filesystem::remove_all(kMachineFolder); }

    // Closes the channel; false when the engine's threads outlive the wait.
    bool closeAndEnd(Session& session, FakeChannel* channel, const char* name) {
        const auto start = Clock::now();
        Session::close(channel);
        const double closed = secondsSince(start);
        session.terminate();
        const bool ended = tvxtest::waitUntil([&] { return threadCount() <= baseThreads_; });
        std::printf("[lab] %s: close %.3f s, threads ended %.3f s\n", name, closed, secondsSince(start));
        return ended;
    }

    static constexpr char kMachineFolder[] = "/etc/doza-plugin";
    PDVC_PLUGIN_ENTRY entry_ = nullptr;
    std::size_t baseThreads_ = 0;
};

// The DLL's expectations in the same lab ("direct" variant), with the
// interface id Linux derives from the MAC.
constexpr char kLabMetrics[] = R"({"if_guid": "{00000000-0000-0000-0000-021A00000001}", "description": "eth0",
    "gateway": "198.51.100.1", "privateIpAddress": "198.51.100.2", "mac_address": "02-1A-00-00-00-01",
    "if_type": "Ethernet", "if_type_value": 6, "speed": 10000, "rtxPackets": 0, "wifi_channel": -1, "latencyTarget": "sample.telvista.test",
    "roundtripAdcMs": -1, "publicIpAddress": "203.0.113.77", "isp_name": "Lab Home Broadband",
    "client_location": "Lyon, Auvergne-Rhone-Alpes, France", "client_latitude": "45.764000000000003"})";

}  // namespace

// The whole add-in: the lab's network, the lower-metric interface, the
// sample endpoint named in the settings, provider, location and round trips.
// Prints the whole result, to set beside the DLL's.
TEST_F(AddinLab, GetMetricsShowsTheLab) {
    inVariant("direct", "[Metrics]\nSampleEndpoint = sample.telvista.test\n");
    if (IsSkipped()) return;
    Session session(entry_);
    FakeChannel* channel = session.open();
    Json::Value shown;
    EXPECT_TRUE(tvxtest::waitUntil([&] {
        shown = metrics(channel);
        return shown["roundtripMs"].asInt() >= 0 && shown["roundtripIspMs"].asInt() >= 0;
    }));
    EXPECT_TRUE(closeAndEnd(session, channel, "GetMetricsShowsTheLab"));
    std::printf("[lab] GET_METRICS of the Linux add-in:\n%s\n", shown.toStyledString().c_str());
    expectMembers(shown, kLabMetrics);
    for (const char* measure : {"roundtripMs", "roundtripGoogleMs", "roundtripIspMs"})
        EXPECT_GE(shown[measure].asInt(), 0) << measure;
}

// A service that trickles a byte every 20 s, one that takes TCP and never
// answers TLS, a provider that drops everything beyond the home router (closed
// 3 s into the first pass and 5 s into the next): the close ends every thread.
TEST_F(AddinLab, NothingStalledHoldsTheCloseOrTheThreads) {
    const struct {
        const char *name, *variant, *settings;
        std::vector<int> sessionSeconds;
    } cases[] = {{"trickling service", "provider", "[Setting]\nLocationServiceHost = geo.telvista.test:9443\n", {2}},
                 {"silent TLS", "provider", "[Setting]\nLocationServiceHost = geo.telvista.test:9444\n", {2}},
                 {"provider drops", "dropped", "", {3, 5}}};
    for (const auto& c : cases) {
        if (!tvxtest::inLabVariant(c.variant)) continue;
        inVariant(c.variant, c.settings);
        for (int seconds : c.sessionSeconds) {
            Session session(entry_);
            FakeChannel* channel = session.open();
            std::this_thread::sleep_for(std::chrono::seconds(seconds));
            EXPECT_TRUE(closeAndEnd(session, channel, c.name)) << c.name;
        }
    }
    if (entry_ == nullptr) GTEST_SKIP() << "runs in the lab's \"provider\" and \"dropped\" variants";
}

// The resolver never answers: the local facts are live while the lookups wait.
TEST_F(AddinLab, ADeadResolverHidesNoLocalFact) {
    inVariant("deaddns", "");
    if (IsSkipped()) return;
    Session session(entry_);
    const auto start = Clock::now();
    FakeChannel* channel = session.open();
    // The lookups wait 5 s for the resolver at least: facts behind them would miss this bound.
    Json::Value shown = metrics(channel);
    while (shown["privateIpAddress"].asString().empty() && secondsSince(start) < 5) shown = metrics(channel);
    std::printf("[lab] ADeadResolver: local facts live %.3f s after the open\n", secondsSince(start));
    expectMembers(shown, R"({"if_guid": "{00000000-0000-0000-0000-021A00000001}", "gateway": "198.51.100.1",
                             "privateIpAddress": "198.51.100.2", "publicIpAddress": ""})");
    EXPECT_TRUE(!shown["userName"].asString().empty() && !shown["computerName"].asString().empty());
    EXPECT_TRUE(closeAndEnd(session, channel, "ADeadResolver"));
}

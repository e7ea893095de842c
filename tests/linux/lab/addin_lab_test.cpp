// The Linux add-in as FreeRDP loads it, inside the network lab (tests/lab/lab):
// the cases the DLL's lab tests cover under Wine, through the fake channel
// manager. The machine settings go to /etc/doza-plugin/settings.conf, which
// only the lab's private /etc lets a test write. Each test belongs to one lab
// variant and skips in the others; the times are printed for the bench and
// the notes, never asserted.
#include <gtest/gtest.h>
#include <json/json.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <fstream>
#include <sstream>
#include <thread>

#include "linux/fake_dvc_session.h"

namespace {

using namespace fakedvc;
using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

class AddinLab : public ::testing::Test {
protected:
    // Skips unless the lab runs the variant; then writes the machine settings.
    void inVariant(const char* variant, const std::string& machineSettings) {
        const char* lab = std::getenv("TVX_LAB");
        const char* v = std::getenv("TVX_LAB_VARIANT");
        if (lab == nullptr || std::string(lab) != "1" || v == nullptr || std::string(v) != variant)
            GTEST_SKIP() << "runs only in the lab's \"" << variant << "\" variant";
        entry_ = loadAddin();
        ASSERT_NE(entry_, nullptr) << "TVX_ADDIN must name the library";
        std::filesystem::create_directories(kMachineFolder);
        std::ofstream(std::string(kMachineFolder) + "/settings.conf") << machineSettings;
        baseThreads_ = threadCount();
    }
    void TearDown() override {
        if (entry_ != nullptr) std::filesystem::remove_all(kMachineFolder);
    }

    // Polls GET_METRICS until done() holds or the seconds are up.
    static Json::Value watch(FakeChannel* channel, double seconds, const std::function<bool(const Json::Value&)>& done) {
        const auto start = Clock::now();
        Json::Value m = metrics(channel);
        while (!done(m) && secondsSince(start) < seconds) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            m = metrics(channel);
        }
        return m;
    }

    // Closes the channel and waits (30 s at most) until the engine's threads
    // are gone; false when they outlived the bound.
    bool closeAndEnd(Session& session, FakeChannel* channel, const char* name) {
        const auto start = Clock::now();
        Session::close(channel);
        const double closed = secondsSince(start);
        session.terminate();
        while (threadCount() > baseThreads_ && secondsSince(start) < 30)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        std::printf("[lab] %s: close %.3f s, threads ended %.3f s\n", name, closed, secondsSince(start));
        return threadCount() <= baseThreads_;
    }

    static constexpr char kMachineFolder[] = "/etc/doza-plugin";
    PDVC_PLUGIN_ENTRY entry_ = nullptr;
    std::size_t baseThreads_ = 0;
};

void expectMembers(const Json::Value& result, const char* expected) {
    Json::Value want;
    std::istringstream in(expected);
    ASSERT_TRUE(Json::parseFromStream(Json::CharReaderBuilder(), in, &want, nullptr)) << expected;
    for (const std::string& name : want.getMemberNames()) EXPECT_EQ(result[name], want[name]) << name;
}

bool measured(const Json::Value& m) { return m["roundtripMs"].asInt() >= 0 && m["roundtripIspMs"].asInt() >= 0; }

// The DLL's expectations in the same lab ("direct" variant), with the
// interface id Linux derives from the MAC.
constexpr char kLabMetrics[] = R"({"if_guid": "{00000000-0000-0000-0000-021A00000001}", "description": "eth0",
    "gateway": "198.51.100.1", "privateIpAddress": "198.51.100.2", "mac_address": "02-1A-00-00-00-01",
    "if_type": "Ethernet", "if_type_value": 6, "wifi_channel": -1, "latencyTarget": "sample.telvista.test",
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
    const Json::Value shown = watch(channel, 30, measured);
    std::printf("[lab] GET_METRICS of the Linux add-in:\n%s\n", shown.toStyledString().c_str());
    expectMembers(shown, kLabMetrics);
    for (const char* measure : {"roundtripMs", "roundtripGoogleMs", "roundtripIspMs"})
        EXPECT_GE(shown[measure].asInt(), 0) << measure;
    EXPECT_TRUE(closeAndEnd(session, channel, "GetMetricsShowsTheLab"));
}

// The privacy switches are read once per process: its own ctest entry.
TEST_F(AddinLab, IspNameAndLocationOff) {
    inVariant("direct", "[Metrics]\nSampleEndpoint = sample.telvista.test\nLocation = FALSE\nISPName = false\n");
    if (IsSkipped()) return;
    Session session(entry_);
    FakeChannel* channel = session.open();
    const Json::Value shown = watch(channel, 30, measured);
    expectMembers(shown, R"({"publicIpAddress": "203.0.113.77", "isp_name": "", "client_location": "",
                             "client_longitude": ""})");
    EXPECT_TRUE(closeAndEnd(session, channel, "IspNameAndLocationOff"));
}

// A service that trickles a byte every 20 s, and one that takes TCP and never
// answers TLS: the close ends the request and every thread.
TEST_F(AddinLab, AStalledServiceHoldsNeitherTheCloseNorTheThreads) {
    inVariant("provider", "");
    if (IsSkipped()) return;
    for (const char* port : {"9443", "9444"}) {
        SCOPED_TRACE(port);
        std::ofstream(std::string(kMachineFolder) + "/settings.conf")
            << "[Setting]\nLocationServiceHost = geo.telvista.test:" << port << "\n";
        Session session(entry_);
        FakeChannel* channel = session.open();
        std::this_thread::sleep_for(std::chrono::seconds(2));
        EXPECT_TRUE(closeAndEnd(session, channel, port));
    }
}

// The provider drops everything beyond the home router; closed 3 s into the
// first pass and 5 s into the next.
TEST_F(AddinLab, ADroppingProviderHoldsNeitherTheCloseNorTheThreads) {
    inVariant("dropped", "");
    if (IsSkipped()) return;
    Session first(entry_);
    FakeChannel* channel = first.open();
    std::this_thread::sleep_for(std::chrono::seconds(3));
    Session::close(channel);
    first.terminate();
    Session second(entry_);
    channel = second.open();
    std::this_thread::sleep_for(std::chrono::seconds(5));
    EXPECT_TRUE(closeAndEnd(second, channel, "ADroppingProvider"));
}

// The resolver never answers: the local facts are live while the lookups wait.
TEST_F(AddinLab, ADeadResolverHidesNoLocalFact) {
    inVariant("deaddns", "");
    if (IsSkipped()) return;
    Session session(entry_);
    const auto start = Clock::now();
    FakeChannel* channel = session.open();
    const Json::Value shown = watch(channel, 5, [](const Json::Value& m) {
        return !m["userName"].asString().empty() && !m["computerName"].asString().empty() &&
               !m["gateway"].asString().empty() && !m["privateIpAddress"].asString().empty();
    });
    std::printf("[lab] ADeadResolver: local facts live %.3f s after the open\n", secondsSince(start));
    expectMembers(shown, R"({"if_guid": "{00000000-0000-0000-0000-021A00000001}", "gateway": "198.51.100.1",
                             "privateIpAddress": "198.51.100.2", "publicIpAddress": ""})");
    EXPECT_NE(shown["userName"].asString(), "");
    EXPECT_TRUE(closeAndEnd(session, channel, "ADeadResolver"));
}

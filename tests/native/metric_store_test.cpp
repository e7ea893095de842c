#include <gtest/gtest.h>
#include <json/writer.h>

#include <cstdlib>
#include <set>
#include <atomic>
#include <thread>
#include <vector>

#include "platform/metric_store.h"
#include "platform/platform_api.h"

namespace {

class MetricStore : public ::testing::Test {
protected:
    void SetUp() override { initMetricStore(); }
    void TearDown() override { initMetricStore(); }
};

std::string metricsJson() {
    char* text = platform_getMetricsJson();
    std::string s(text);
    std::free(text);
    return s;
}

}  // namespace

// Every key once, with its typed default (-1, -1.0 or ""), in byte
// order of the keys and without blanks.
TEST_F(MetricStore, DefaultsSerialiseOnOneLine) {
    EXPECT_EQ(metricsJson(),
              R"({"activeProcessName":"","client_latitude":"","client_location":"","client_longitude":"",)"
              R"("client_version":"","computerName":"","cpu_usage":-1.0,"description":"","eucGateway":"",)"
              R"("foregroundProcessName":"","gateway":"","if_guid":"","if_type":"","if_type_value":-1,)"
              R"("inactivityTimeSeconds":-1.0,"isp_name":"","ktrDeviceId":"","latencyTarget":"","mac_address":"",)"
              R"("osName":"","osVersionNumber":"","privateIpAddress":"","publicIpAddress":"","roundtripAdcMs":-1,)"
              R"("roundtripEucGatewayMs":"","roundtripGoogleMs":-1,"roundtripIspMs":-1,"roundtripMs":-1,)"
              R"("rtxPackets":-1,"serverRoundtripMs":-1,"speed":-1,"userName":"","wifi_authentication":"",)"
              R"("wifi_bssid":"","wifi_channel":-1,"wifi_radio_type":"","wifi_ssid":"","wifi_strength":-1})"
              "\n");
}

TEST_F(MetricStore, MergeTakesOnlyListedKeysAndFallsBackToDefaults) {
    Json::Value result(Json::objectValue);
    result["roundtripMs"] = 12;
    result["gateway"] = "10.0.0.1";  // not in the list below
    result["latencyTarget"] = Json::Value();
    mergeTaskResult(result, {"roundtripMs", "latencyTarget", "roundtripGoogleMs"});
    Json::Value s = getMetricsSnapshot();
    EXPECT_EQ(s["roundtripMs"].asInt(), 12);
    EXPECT_EQ(s["gateway"].asString(), "");
    EXPECT_TRUE(s["latencyTarget"].isNull());  // copied whatever its type
    EXPECT_EQ(s["roundtripGoogleMs"].asInt(), -1);
    EXPECT_EQ(s.size(), 38u);

    // A key missing from a later result falls back to its default, not to
    // the store's previous value.
    Json::Value next(Json::objectValue);
    next["roundtripGoogleMs"] = 30;
    mergeTaskResult(next, {"roundtripMs", "roundtripGoogleMs"});
    s = getMetricsSnapshot();
    EXPECT_EQ(s["roundtripMs"].asInt(), -1);
    EXPECT_EQ(s["roundtripGoogleMs"].asInt(), 30);
}

TEST_F(MetricStore, EmptyResultPublishesNothing) {
    Json::Value result(Json::objectValue);
    result["speed"] = 100;
    mergeTaskResult(result, {"speed"});
    // The store changes under the hood, but an empty result republishes nothing.
    {
        std::lock_guard<std::mutex> lock(metricStoreMutex);
        metricStore["speed"] = 5;
    }
    mergeTaskResult(Json::Value(Json::objectValue), {"speed"});
    mergeTaskResult(Json::Value(), {"speed"});
    mergeTaskResult(result, {});  // a task without keys republishes the store unchanged
    EXPECT_EQ(getMetricsSnapshot()["speed"].asInt(), 5);
}

TEST_F(MetricStore, ASnapshotNeverGoesBackBehindAFinishedMerge) {
    // Each thread counts up its own key; right after its merge returns, the
    // snapshot must show that count or a later one, whatever the others do.
    const char* keys[] = {"speed", "rtxPackets", "wifi_strength", "wifi_channel"};
    std::atomic<int> hidden{0};
    std::vector<std::thread> threads;
    for (const char* key : keys)
        threads.emplace_back([key, &hidden] {
            Json::Value result(Json::objectValue);
            for (int i = 0; i < 20000; ++i) {
                result[key] = i;
                mergeTaskResult(result, {key});
                if (getMetricsSnapshot()[key].asInt() < i) ++hidden;
            }
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(hidden.load(), 0);
}

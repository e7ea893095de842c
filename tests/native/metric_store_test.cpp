#include <gtest/gtest.h>
#include <json/writer.h>

#include <atomic>
#include <cstdlib>
#include <thread>
#include <vector>

#include "common/protocol_test_support.h"
#include "platform/metric_store.h"
#include "platform/platform_api.h"

namespace {

using MetricStore = tvxtest::SnapshotTest;

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

// That a pass merges only its own keys, an unwritten one as its default, shows
// in the engine tests.
TEST_F(MetricStore, MergeCopiesAnyTypeAndAnEmptyResultLeavesTheStore) {
    Json::Value result(Json::objectValue);
    result["roundtripMs"] = 12;
    result["latencyTarget"] = Json::Value();
    mergeTaskResult(result, {"roundtripMs", "latencyTarget"});
    EXPECT_EQ(getMetricsSnapshot()["roundtripMs"].asInt(), 12);
    EXPECT_TRUE(getMetricsSnapshot()["latencyTarget"].isNull());  // copied whatever its type
    // A key missing from a later result falls back to its default, not to
    // the store's previous value.
    Json::Value next(Json::objectValue);
    next["speed"] = 100;
    mergeTaskResult(next, {"roundtripMs", "speed"});
    EXPECT_EQ(getMetricsSnapshot()["roundtripMs"].asInt(), -1);

    // The store changes under the hood, but an empty result merges nothing.
    {
        std::lock_guard<std::mutex> lock(metricStoreMutex);
        metricStore["speed"] = 5;
    }
    mergeTaskResult(Json::Value(Json::objectValue), {"speed"});
    mergeTaskResult(Json::Value(), {"speed"});
    mergeTaskResult(next, {});  // a task without keys republishes the store unchanged
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

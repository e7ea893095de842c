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

TEST_F(MetricStore, DefaultsHoldEveryKeyWithItsTypedDefault) {
    Json::Value s = getMetricsSnapshot();
    ASSERT_EQ(s.size(), 38u);
    std::set<std::string> keys;
    for (const auto& k : metricKeyTable()) keys.insert(k.key);
    EXPECT_EQ(keys.size(), 38u);
    EXPECT_TRUE(s["serverRoundtripMs"].isInt());
    EXPECT_EQ(s["serverRoundtripMs"].asInt(), -1);
    EXPECT_TRUE(s["inactivityTimeSeconds"].isDouble());
    EXPECT_EQ(s["inactivityTimeSeconds"].asDouble(), -1.0);
    EXPECT_TRUE(s["cpu_usage"].isDouble());
    EXPECT_TRUE(s["roundtripEucGatewayMs"].isString());
    EXPECT_EQ(s["roundtripEucGatewayMs"].asString(), "");
    EXPECT_EQ(s["wifi_strength"].asInt(), -1);
    EXPECT_EQ(s["foregroundProcessName"].asString(), "");
}

TEST_F(MetricStore, SerialisesInByteOrderOfTheKeys) {
    std::string text = metricsJson();
    EXPECT_EQ(text.rfind("{\"activeProcessName\":\"\",\"client_latitude\":\"\",\"client_location\":\"\",", 0), 0u);
    EXPECT_NE(text.find("\"computerName\":\"\",\"cpu_usage\":-1.0,"), std::string::npos);
    EXPECT_NE(text.find("\"if_type\":\"\",\"if_type_value\":-1,"), std::string::npos);
    EXPECT_EQ(text.substr(text.size() - 20), "\"wifi_strength\":-1}\n");
    EXPECT_EQ(text.find(' '), std::string::npos);
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

TEST_F(MetricStore, ConcurrentMergesKeepEveryKey) {
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([t] {
            Json::Value result(Json::objectValue);
            for (int i = 0; i < 200; ++i) {
                result["speed"] = i;
                result["rtxPackets"] = t;
                mergeTaskResult(result, {t % 2 ? "speed" : "rtxPackets"});
                EXPECT_EQ(getMetricsSnapshot().size(), 38u);
            }
        });
    for (auto& t : threads) t.join();
    Json::Value s = getMetricsSnapshot();
    EXPECT_EQ(s["speed"].asInt(), 199);
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

#include "metric_store.h"

#include <cstdint>
#include <utility>

Json::Value metricDefaults;
Json::Value metricStore;
Json::Value metricsSnapshot;
std::mutex metricStoreMutex;
std::mutex metricsSnapshotMutex;

const std::vector<MetricKeyInfo>& metricKeyTable() {
    using D = MetricKeyInfo::DefaultKind;
    using T = MetricType;
    static const std::vector<MetricKeyInfo> table = {
        {"serverRoundtripMs", T::integer, D::minusOne},
        {"userName", T::string, D::empty},
        {"computerName", T::string, D::empty},
        {"osName", T::string, D::empty},
        {"osVersionNumber", T::string, D::empty},
        {"activeProcessName", T::string, D::empty},
        {"foregroundProcessName", T::string, D::empty},
        {"inactivityTimeSeconds", T::real, D::minusOneReal},
        {"gateway", T::string, D::empty},
        {"if_guid", T::string, D::empty},
        {"if_type", T::string, D::empty},
        {"if_type_value", T::integer, D::minusOne},
        {"mac_address", T::string, D::empty},
        {"privateIpAddress", T::string, D::empty},
        {"publicIpAddress", T::string, D::empty},
        {"wifi_ssid", T::string, D::empty},
        {"wifi_bssid", T::string, D::empty},
        {"wifi_radio_type", T::string, D::empty},
        {"wifi_authentication", T::string, D::empty},
        {"wifi_strength", T::integer, D::minusOne},
        {"wifi_channel", T::integer, D::minusOne},
        {"speed", T::integer, D::minusOne},
        {"rtxPackets", T::integer, D::minusOne},
        {"description", T::string, D::empty},
        {"ktrDeviceId", T::string, D::empty},
        {"roundtripMs", T::integer, D::minusOne},
        {"roundtripGoogleMs", T::integer, D::minusOne},
        {"latencyTarget", T::string, D::empty},
        {"cpu_usage", T::integer, D::minusOneReal},
        {"client_version", T::string, D::empty},
        {"roundtripIspMs", T::integer, D::minusOne},
        {"isp_name", T::string, D::empty},
        {"client_location", T::string, D::empty},
        {"client_latitude", T::string, D::empty},
        {"client_longitude", T::string, D::empty},
        {"roundtripAdcMs", T::integer, D::minusOne},
        {"eucGateway", T::string, D::empty},
        {"roundtripEucGatewayMs", T::integer, D::empty},
    };
    return table;
}

void initMetricStore() {
    Json::Value defaults(Json::objectValue);
    for (const auto& k : metricKeyTable()) {
        switch (k.defaultKind) {
            case MetricKeyInfo::DefaultKind::minusOne: defaults[k.key] = -1; break;
            case MetricKeyInfo::DefaultKind::minusOneReal: defaults[k.key] = -1.0; break;
            case MetricKeyInfo::DefaultKind::empty: defaults[k.key] = ""; break;
        }
    }
    metricDefaults = defaults;
    {
        std::lock_guard<std::mutex> lock(metricStoreMutex);
        metricStore = metricDefaults;
    }
    std::lock_guard<std::mutex> lock(metricsSnapshotMutex);
    metricsSnapshot = metricDefaults;
}

namespace {
// Built before any thread can exist.
const bool metricStoreReady = (initMetricStore(), true);

// Numbers the store's copies in the order they were taken (under the store
// mutex) and records the newest one published (under the snapshot mutex), so
// a copy that reaches the snapshot after a newer one is dropped instead of
// hiding the newer merge until the next pass.
std::uint64_t storeCopies = 0;
std::uint64_t publishedCopy = 0;
}  // namespace

void mergeTaskResult(const Json::Value& result, const std::vector<std::string>& keys, bool onlyPresent) {
    Json::Value published;
    std::uint64_t copy = 0;
    if (!result.empty()) {
        std::lock_guard<std::mutex> lock(metricStoreMutex);
        for (const auto& key : keys) {
            const Json::Value* found = result.isObject() ? result.find(key.data(), key.data() + key.size()) : nullptr;
            if (found) metricStore[key] = *found;
            else if (!onlyPresent) metricStore[key] = std::as_const(metricDefaults)[key];
        }
        published = metricStore;
        copy = ++storeCopies;
    }
    if (!published.empty()) {
        std::lock_guard<std::mutex> lock(metricsSnapshotMutex);
        if (copy > publishedCopy) {
            metricsSnapshot = std::move(published);
            publishedCopy = copy;
        }
    }
}

Json::Value getMetricsSnapshot() {
    std::lock_guard<std::mutex> lock(metricsSnapshotMutex);
    return metricsSnapshot;
}

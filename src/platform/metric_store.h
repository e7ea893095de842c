// The metric vocabulary and the three process-wide objects through which
// collected values travel: defaults, store and published snapshot.
#pragma once

#include <json/value.h>

#include <mutex>
#include <string>
#include <vector>

enum class MetricType { integer, real, string };

struct MetricKeyInfo {
    const char* key;
    MetricType type;  // what the collector writes
    // The default; its type can differ from the collected type.
    enum class DefaultKind { minusOne, minusOneReal, empty } defaultKind;
};

// Every metric key, in definition order.
const std::vector<MetricKeyInfo>& metricKeyTable();

extern Json::Value metricDefaults;
extern Json::Value metricStore;
extern Json::Value metricsSnapshot;
extern std::mutex metricStoreMutex;
extern std::mutex metricsSnapshotMutex;

// Builds the defaults and resets store and snapshot to them. Runs once during
// static initialisation; tests call it again to start from the defaults.
void initMetricStore();

// Merges the task's keys from its result into the store and republishes it;
// a key the result lacks takes its default, unless onlyPresent is set, when
// it keeps its stored value (a pass published before it has ended).
void mergeTaskResult(const Json::Value& result, const std::vector<std::string>& keys, bool onlyPresent = false);

// A copy of the published snapshot.
Json::Value getMetricsSnapshot();

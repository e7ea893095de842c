// A channel stand-in and a metric fixture shared by the protocol tests.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include <gtest/gtest.h>
#include <json/value.h>

#include <mutex>
#include <string>

#include "platform/metric_store.h"
#include "protocol/dispatcher.h"

namespace tvxtest {

using Bytes = std::vector<std::uint8_t>;

// A channel that keeps every write; onWrite runs inside each write.
class RecordingChannel : public ChannelWriter {
public:
    explicit RecordingChannel(bool present = true) : present_(present) {}
    bool hasChannel() const override { return present_; }
    void write(const std::uint8_t* data, std::uint32_t size) override {
        writes.emplace_back(data, data + size);
        if (onWrite) onWrite();
    }
    std::vector<Bytes> writes;
    std::function<void()> onWrite;

private:
    bool present_;
};

// Starts from the metric defaults and puts them back afterwards.
class SnapshotTest : public ::testing::Test {
protected:
    void SetUp() override { initMetricStore(); }
    void TearDown() override { initMetricStore(); }
    static void setMetric(const std::string& key, const Json::Value& value) {
        std::lock_guard<std::mutex> lock(metricsSnapshotMutex);
        metricsSnapshot[key] = value;
    }
    static void removeMetric(const std::string& key) {
        std::lock_guard<std::mutex> lock(metricsSnapshotMutex);
        metricsSnapshot.removeMember(key);
    }
};

}  // namespace tvxtest

// Fixtures shared by the channel protocol tests.
#pragma once

#include <gtest/gtest.h>
#include <json/value.h>
#include <json/writer.h>  // prints values in failure messages

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "common/test_support.h"
#include "platform/metric_store.h"
#include "protocol/dispatcher.h"

namespace tvxtest {

using Bytes = std::vector<std::uint8_t>;

inline Bytes bytesOf(std::string_view text) {
    return Bytes(text.begin(), text.end());
}

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

// Hands the dispatcher a heap block of exactly the message's size, so that
// AddressSanitizer sees any read past the bytes received.
inline void dispatch(ChannelWriter& channel, const Bytes& message) {
    Bytes exact(message.begin(), message.end());
    exact.shrink_to_fit();
    dispatchChannelMessage(channel, static_cast<std::uint32_t>(exact.size()), exact.empty() ? nullptr : exact.data());
}

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

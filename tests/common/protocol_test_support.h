// A channel stand-in shared by the channel protocol tests.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

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

}  // namespace tvxtest

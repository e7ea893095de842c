// When to try a failed lookup again: soon after the first failure, then
// less and less often, so an unreachable service costs little while it
// stays unreachable. A success, or a change of network, retries at once.
#pragma once

#include <algorithm>
#include <cstdint>

class RetryBackoff {
public:
    static constexpr std::int64_t kFirstDelayMs = 5000;
    static constexpr std::int64_t kLongestDelayMs = 15 * 60 * 1000;

    bool due(std::int64_t nowMs) const { return nowMs >= nextTryMs_ || nowMs < lastFailureMs_; }
    void failed(std::int64_t nowMs) {
        delayMs_ = delayMs_ == 0 ? kFirstDelayMs : std::min(delayMs_ * 2, kLongestDelayMs);
        lastFailureMs_ = nowMs;
        nextTryMs_ = nowMs + delayMs_;
    }
    // Success or a new network: the next attempt may run at once.
    void reset() { *this = RetryBackoff(); }
    std::int64_t delayMs() const { return delayMs_; }

private:
    std::int64_t delayMs_ = 0;
    std::int64_t lastFailureMs_ = 0;
    std::int64_t nextTryMs_ = 0;
};

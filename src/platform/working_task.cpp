#include "working_task.h"

#include <algorithm>
#include <chrono>

std::int64_t wallClockMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

TaskClock& taskClock() {
    static TaskClock clock;
    return clock;
}

QmWorkingTask::~QmWorkingTask() { stop_.store(1); }

bool QmWorkingTask::waitForNextPass(std::uint32_t intervalMs) {
    std::unique_lock<std::mutex> lock(waitMutex_);
    for (;;) {
        if (stop_.load() != 0) return true;
        const std::int64_t now = taskClock().now();
        const std::uint64_t elapsed =
            static_cast<std::uint64_t>(now) - static_cast<std::uint64_t>(lastRun_.load());
        if (elapsed >= intervalMs) {
            lastRun_.store(now);
            return false;
        }
        const std::uint64_t recheck = std::max<std::uint32_t>(taskClock().recheckMs.load(), 1);
        const std::uint64_t sleepMs = std::min<std::uint64_t>(intervalMs - elapsed, recheck);
        woken_.wait_for(lock, std::chrono::milliseconds(sleepMs), [this] { return stop_.load() != 0; });
    }
}

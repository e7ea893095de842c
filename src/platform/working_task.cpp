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
        if (stop_.load() != 0) {
            // Decided under the mutex, so a rearm either comes first and
            // keeps the thread, or sees it leaving.
            leaving_ = true;
            return true;
        }
        const std::int64_t now = taskClock().now();
        const std::uint64_t elapsed =
            static_cast<std::uint64_t>(now) - static_cast<std::uint64_t>(lastRun_.load());
        if (elapsed >= intervalMs || passWanted_) {
            passWanted_ = false;
            lastRun_.store(now);
            return false;
        }
        const std::uint64_t recheck = std::max<std::uint32_t>(taskClock().recheckMs.load(), 1);
        const std::uint64_t sleepMs = std::min<std::uint64_t>(intervalMs - elapsed, recheck);
        woken_.wait_for(lock, std::chrono::milliseconds(sleepMs),
                        [this] { return stop_.load() != 0 || passWanted_; });
    }
}

bool QmWorkingTask::rearm() {
    std::lock_guard<std::mutex> lock(waitMutex_);
    if (leaving_ || ended_.load()) return false;
    stop_.store(0);
    return true;
}

void QmWorkingTask::setEnded(bool ended) {
    {
        std::lock_guard<std::mutex> lock(waitMutex_);
        ended_.store(ended);
        if (!ended) leaving_ = false;
    }
    woken_.notify_all();
}

bool QmWorkingTask::waitUntilEnded(std::chrono::steady_clock::time_point deadline) {
    std::unique_lock<std::mutex> lock(waitMutex_);
    return woken_.wait_until(lock, deadline, [this] { return ended_.load(); });
}

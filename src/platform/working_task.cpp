#include "working_task.h"

#include <chrono>
#include <thread>

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
    for (;;) {
        if (stop_.load() != 0) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(kPassPollMs));
        const std::int64_t now = taskClock().now();
        const std::uint64_t elapsed =
            static_cast<std::uint64_t>(now) - static_cast<std::uint64_t>(lastRun_.load());
        if (elapsed >= intervalMs) {
            lastRun_.store(now);
            return false;
        }
    }
}

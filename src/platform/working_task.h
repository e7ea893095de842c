// Base of every worker-thread task: a stop flag that other threads set and a
// pass schedule measured on a clock that tests can replace.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

// Wall-clock milliseconds since 1970-01-01 UTC, truncated toward zero.
std::int64_t wallClockMs();

inline constexpr std::uint32_t kPassIntervalMs = 5000;
// While a task sleeps towards its next pass it reads the clock again at least
// this often, so a wall clock set backwards or forwards is seen within a
// second. A stop request wakes it at once.
inline constexpr std::uint32_t kClockRecheckMs = 1000;

// Time source and pass interval of the metric tasks. The product keeps the
// wall clock and 5000 ms; tests swap them so that passes take milliseconds,
// and read a clock that they move by hand more often.
struct TaskClock {
    std::atomic<std::int64_t (*)()> nowMs{&wallClockMs};
    std::atomic<std::uint32_t> passIntervalMs{kPassIntervalMs};
    std::atomic<std::uint32_t> recheckMs{kClockRecheckMs};

    std::int64_t now() const { return nowMs.load()(); }
};
TaskClock& taskClock();

class QmWorkingTask {
public:
    QmWorkingTask() = default;
    QmWorkingTask(const QmWorkingTask&) = delete;
    QmWorkingTask& operator=(const QmWorkingTask&) = delete;
    virtual ~QmWorkingTask();

    // The body of the task's thread.
    virtual void run() = 0;

    // Sleeps until the next pass is due or a stop is requested; a pass that
    // is already due starts at once. True on a stop; false when the pass is
    // due, its start then being the last-run time. The difference is compared
    // unsigned, so a clock set backwards makes the pass due at once.
    bool waitForNextPass(std::uint32_t intervalMs);

    std::uint32_t stopFlag() const { return stop_.load(); }
    void setStopFlag(std::uint32_t value) {
        stop_.store(value);
        if (value != 0) wake();
    }
    // Asks run to return at its next check, waking it if it sleeps.
    void requestStop() {
        std::uint32_t running = 0;
        stop_.compare_exchange_strong(running, 1);
        wake();
    }
    // Makes the next pass due at once (an input the task depends on has
    // arrived); a pass under way is followed by another straight away.
    void wakeForPass() {
        {
            std::lock_guard<std::mutex> lock(waitMutex_);
            passWanted_ = true;
        }
        woken_.notify_all();
    }
    // Takes a stopped thread that has not yet left run back into service,
    // as if no stop had been asked. False once it has decided to leave: the
    // caller then waits for it to end and starts a new one.
    bool rearm();
    std::int64_t lastRunTime() const { return lastRun_.load(); }

    // Whether the thread running the task has left run (cleared when a new
    // thread is started for it).
    bool hasEnded() const { return ended_.load(); }
    void setEnded(bool ended);
    // Waits until the thread has left run or the deadline passes; true when
    // it has left.
    bool waitUntilEnded(std::chrono::steady_clock::time_point deadline);

private:
    // Taking the mutex between setting the flag and notifying means a waiter
    // is either still before its check of the flag or already asleep: a stop
    // request is never lost.
    void wake() {
        { std::lock_guard<std::mutex> lock(waitMutex_); }
        woken_.notify_all();
    }

    std::mutex waitMutex_;
    std::condition_variable woken_;
    std::atomic<std::uint32_t> stop_{0};
    std::atomic<bool> ended_{false};
    // Under waitMutex_: the thread has seen its stop and is on its way out.
    bool leaving_ = false;
    bool passWanted_ = false;
    // 0 at first, so the first pass of a new task starts at once.
    std::atomic<std::int64_t> lastRun_{0};
};

// Helpers of the engine tests: a clock the test drives, a table of test tasks
// whose collectors call back into the test, and waits that end a hung test.
#pragma once

#include <gtest/gtest.h>
#include <json/value.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/test_support.h"
#include "platform/metric_store.h"
#include "platform/platform_service.h"
#include "platform/platform_task.h"
#include "platform/task_table.h"

namespace enginetest {

// Each reading returns the current value, then advances it by `step`
// (0: the clock stands still until the test moves it).
struct TestClock {
    static inline std::atomic<std::int64_t> now{0};
    static inline std::atomic<std::int64_t> step{0};
    static std::int64_t read() { return now.fetch_add(step.load()); }
};

// What the collectors of the test tasks do: called with the task's index.
inline std::function<void(int, Json::Value&)> onPass;

template <int I>
std::int32_t testCollector(Json::Value& result) {
    if (onPass) onPass(I, result);
    return 0;
}

inline MetricCollector collectorFor(int index) {
    static const MetricCollector all[] = {testCollector<0>, testCollector<1>, testCollector<2>, testCollector<3>,
                                          testCollector<4>, testCollector<5>, testCollector<6>, testCollector<7>};
    return all[index];
}

struct TaskPlan {
    std::string name;
    std::vector<std::string> keys;
};

// The eight tasks of the product, with test collectors.
inline std::vector<TaskPlan> productLikePlans() {
    std::vector<TaskPlan> entries;
    for (const auto& task : productTaskTable()) entries.push_back({task->name(), task->keys()});
    return entries;
}

// Puts a test table, the test clock and an interval in place; shuts the
// service down and restores the product's settings when it goes away.
class Engine {
public:
    explicit Engine(std::vector<TaskPlan> entries, std::uint32_t intervalMs = 5000, std::int64_t startMs = 1'000'000,
                    std::int64_t step = 0) {
        for (std::size_t i = 0; i < entries.size(); ++i)
            table_.push_back(std::make_shared<QmPlatformTask>(entries[i].name, std::vector<MetricCollector>{collectorFor(static_cast<int>(i))},
                                                              entries[i].keys));
        TestClock::now.store(startMs);
        TestClock::step.store(step);
        previousClock_ = taskClock().nowMs.exchange(&TestClock::read);
        previousInterval_ = taskClock().passIntervalMs.exchange(intervalMs);
        // The test moves its clock by hand; waiting tasks look at it often.
        previousRecheck_ = taskClock().recheckMs.exchange(10);
        previousTable_ = setTaskTable(&table_);
        initMetricStore();
    }
    ~Engine() {
        platform_shutdown();
        onPass = nullptr;
        setTaskTable(previousTable_);
        taskClock().nowMs.store(previousClock_);
        taskClock().passIntervalMs.store(previousInterval_);
        taskClock().recheckMs.store(previousRecheck_);
        initMetricStore();
    }
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    QmPlatformTask& task(std::size_t i) { return *table_.at(i); }

private:
    TaskTable table_;
    std::int64_t (*previousClock_)();
    std::uint32_t previousInterval_;
    std::uint32_t previousRecheck_;
    const TaskTable* previousTable_;
};

using tvxtest::waitUntil;

// Lines of the task threads ("done" lines by their start: the duration varies).
inline const std::string kRun = "QmPlatformTask::run";
inline std::size_t countStarted(tvxtest::LogCapture& log, const std::string& task) {
    return log.count(tvxlog::info, kRun, "'" + task + "' thread started.");
}
inline std::size_t countStopped(tvxtest::LogCapture& log, const std::string& task) {
    return log.count(tvxlog::info, kRun, "'" + task + "' thread stopped.");
}
inline std::size_t countDone(tvxtest::LogCapture& log, const std::string& task) {
    return log.count(tvxlog::verbose, kRun, "'" + task + "' done: ", true);
}

}  // namespace enginetest

// A periodic metric task: every pass calls its collectors with the task's
// private result object and merges the keys the task owns into the store.
#pragma once

#include <json/value.h>

#include <atomic>

#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "working_task.h"

// Writes the metric keys it measures into the result; the status (0 or a
// negative code) is not used by the task.
using MetricCollector = std::int32_t (*)(Json::Value& result);

// What one task learns and others measure from: when it arrives or changes,
// the tasks that depend on it run at once instead of at their next tick.
enum class MetricInput { gateway, publicIp, location, ispRoute };

// Wakes the tasks of the current table that depend on the input. Only from a
// pass of the running service; a pass that outlived its session wakes nobody.
void announceInput(MetricInput input);

class QmPlatformTask : public QmWorkingTask {
public:
    QmPlatformTask(std::string name, std::vector<MetricCollector> collectors, std::vector<std::string> keys,
                   std::vector<MetricInput> inputs = {});

    void run() override;

    const std::string& name() const { return name_; }
    const std::vector<std::string>& keys() const { return keys_; }
    const std::vector<MetricCollector>& collectors() const { return collectors_; }
    const std::vector<MetricInput>& inputs() const { return inputs_; }
    // False while a pass runs and after one that a stop cut short: a
    // restart then runs the next pass at once instead of an interval later.
    bool lastPassCompleted() const { return lastPassCompleted_.load(); }

private:
    std::string name_;
    std::vector<std::string> keys_;
    std::vector<MetricCollector> collectors_;
    std::vector<MetricInput> inputs_;
    std::atomic<bool> lastPassCompleted_{true};
};

// Thread entry of every task: clears the stop flag, runs the task, drops any
// exception that leaves run and sets the stop flag again.
void runTaskThread(const std::shared_ptr<QmWorkingTask>& task);

// Starts a thread running the task. The stop flag is cleared before the
// thread exists, not by the thread itself, so a stop requested right after
// the start is never lost. Throws std::system_error when no thread can be
// created.
std::shared_ptr<std::thread> startTaskThread(std::shared_ptr<QmWorkingTask> task);

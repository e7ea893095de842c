#include "platform_task.h"

#include <algorithm>
#include <exception>
#include <utility>

#include "log.h"
#include "metric_store.h"
#include "module_hold.h"
#include "platform_service.h"
#include "task_table.h"

QmPlatformTask::QmPlatformTask(std::string name, std::vector<MetricCollector> collectors,
                               std::vector<std::string> keys, std::vector<MetricInput> inputs)
    : name_(std::move(name)), keys_(std::move(keys)), collectors_(std::move(collectors)), inputs_(std::move(inputs)) {}

void announceInput(MetricInput input) {
    if (!isServiceRunning() || !isPassCurrent()) return;
    for (const auto& task : taskTable())
        if (std::find(task->inputs().begin(), task->inputs().end(), input) != task->inputs().end())
            task->wakeForPass();
}

void QmPlatformTask::run() {
    TVX_LOG(tvxlog::info) << "'" << name_ << "' thread started.";
    // Kept across passes: a value a collector wrote once stays until it is
    // overwritten.
    Json::Value result;
    for (;;) {
        try {
            if (waitForNextPass(taskClock().passIntervalMs.load())) break;
            beginServicePass();
            lastPassCompleted_ = false;
            const std::int64_t start = taskClock().now();
            // What a collector has found is published before the next one
            // runs, so a slow lookup never hides facts known at once.
            for (std::size_t i = 0; i + 1 < collectors_.size(); ++i) {
                collectors_[i](result);
                publishPass(result, keys_, MergeScope::keysWritten);
            }
            if (!collectors_.empty()) collectors_.back()(result);
            // A pass that outlived its session is not published.
            if (!publishPass(result, keys_, MergeScope::allKeys)) continue;
            lastPassCompleted_ = true;
            const std::int64_t end = taskClock().now();
            TVX_LOG(tvxlog::verbose) << "'" << name_ << "' done: " << (end - start) << " ms";
        } catch (const std::exception& e) {
            TVX_LOG(tvxlog::error) << "'" << name_ << "' thread exception: " << e.what();
        } catch (const char* text) {
            TVX_LOG(tvxlog::error) << "'" << name_ << "' thread exception: " << text;
        } catch (...) {
            const unsigned long lastError = tvxlog::lastSystemError();
            TVX_LOG(tvxlog::error) << "'" << name_ << "' thread exception, last error: " << lastError;
        }
    }
    TVX_LOG(tvxlog::info) << "'" << name_ << "' thread stopped.";
}

namespace {

void runTask(QmWorkingTask& task) noexcept {
    markServiceThread();
    try {
        task.run();
    } catch (...) {
        // Nothing may leave a thread; run has logged what it could.
    }
    task.setStopFlag(1);
    task.setEnded(true);
}

}  // namespace

void runTaskThread(const std::shared_ptr<QmWorkingTask>& task) {
    task->setStopFlag(0);
    runTask(*task);
}

std::shared_ptr<std::thread> startTaskThread(std::shared_ptr<QmWorkingTask> task) {
    task->setStopFlag(0);
    task->setEnded(false);
    // The thread may outlive a stop that does not wait for it; the module
    // stays loaded until it has ended.
    auto hold = std::make_unique<ModuleHold>();
    return std::make_shared<std::thread>([task = std::move(task), hold = std::move(hold)] { runTask(*task); });
}

#include "platform_task.h"

#include <exception>
#include <utility>

#include "log.h"
#include "metric_store.h"
#include "platform_service.h"

QmPlatformTask::QmPlatformTask(std::string name, std::vector<MetricCollector> collectors,
                               std::vector<std::string> keys)
    : name_(std::move(name)), keys_(std::move(keys)), collectors_(std::move(collectors)) {}

void QmPlatformTask::run() {
    TVX_LOG(tvxlog::info) << "'" << name_ << "' thread started.";
    // Kept across passes: a value a collector wrote once stays until it is
    // overwritten.
    Json::Value result;
    for (;;) {
        try {
            if (waitForNextPass(taskClock().passIntervalMs.load())) break;
            const std::int64_t start = taskClock().now();
            for (MetricCollector collect : collectors_) collect(result);
            // A pass that outlived the service is not published.
            if (!isServiceRunning()) break;
            mergeTaskResult(result, keys_);
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
    return std::make_shared<std::thread>([task = std::move(task)] { runTask(*task); });
}

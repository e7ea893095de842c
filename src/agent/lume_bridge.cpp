// Start, stop and the remote host's entry points of the agent bridge.
#include <json/writer.h>

#include <algorithm>
#include <atomic>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>

#include "lume_api.h"
#include "lume_task.h"
#include "platform/log.h"
#include "platform/platform_task.h"

#if defined(__GNUC__)
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"  // Json::FastWriter for the compact log text
#endif

namespace {

std::atomic<std::int32_t> lumeRunning{0};
// Serialises every entry point and guards the two pointers below. Taken
// before a task's own mutex, never after it.
std::mutex bridgeMutex;
std::shared_ptr<QmLumeTask> currentTask;
std::shared_ptr<std::thread> currentThread;
LumeDLL* sdkOverride = nullptr;

void joinCurrentThread() {
    if (currentThread && currentThread->joinable()) {
        if (currentThread->get_id() == std::this_thread::get_id())
            throw std::system_error(std::make_error_code(std::errc::resource_deadlock_would_occur));
        currentThread->join();
    }
}

}  // namespace

bool isLumeRunning() { return lumeRunning.load() != 0; }

void setLumeSdkForTests(LumeDLL* sdk) { sdkOverride = sdk; }

TVX_API int lume_init() {
    try {
        lumeRunning.store(1);
        TVX_LOG(tvxlog::debug) << "***** Starting lume thread...";
        {
            // Whether a thread exists is read under the mutex: the pointer is
            // written by other callers.
            std::lock_guard<std::mutex> lock(bridgeMutex);
            if (!currentThread) {
                if (currentTask) currentTask->requestStop();
                joinCurrentThread();
                currentTask = std::make_shared<QmLumeTask>(sdkOverride);
                currentThread = startTaskThread(currentTask);
            }
        }
        TVX_LOG(tvxlog::debug) << "***** Starting lume thread: Ok";
        return 0;
    } catch (const std::exception& e) {
        TVX_LOG(tvxlog::error) << "lume_init runtime excepton: " << e.what();
    } catch (...) {
        TVX_LOG(tvxlog::error) << "lume_init unknown exception ...";
    }
    lumeRunning.store(0);
    return -2;
}

TVX_API void lume_shutdown() {
    try {
        lumeRunning.store(0);
        std::lock_guard<std::mutex> lock(bridgeMutex);
        if (!currentThread) {
            TVX_LOG(tvxlog::debug) << "*****  no lume thread to stop";
            return;
        }
        TVX_LOG(tvxlog::debug) << "***** Stopping lume thread...";
        if (currentTask) currentTask->requestStop();
        joinCurrentThread();
        currentThread.reset();
        currentTask.reset();
        TVX_LOG(tvxlog::debug) << "*****  lume thread is stopped";
    } catch (const std::exception& e) {
        TVX_LOG(tvxlog::error) << "lume_shutdown runtime excepton: " << e.what();
    } catch (...) {
        TVX_LOG(tvxlog::error) << "lume_shutdown unknown exception ...";
    }
}

namespace {

// Runs one document call on the current task under the bridge mutex and
// answers the flags as they stand afterwards; 0 while no bridge runs. A
// failure is logged under the entry point's name and still answers the flags.
template <typename Body>
std::uint32_t withCurrentTask(const char* entryPoint, Body body) {
    try {
        std::lock_guard<std::mutex> lock(bridgeMutex);
        if (!currentTask) return 0;
        body(*currentTask);
        return currentTask->dataRequested();
    } catch (const std::exception& e) {
        TVX_LOG_AS(tvxlog::error, entryPoint) << entryPoint << " exception: " << e.what();
    } catch (...) {
        TVX_LOG_AS(tvxlog::error, entryPoint) << entryPoint << " unknown exception";
    }
    std::lock_guard<std::mutex> lock(bridgeMutex);
    return currentTask ? currentTask->dataRequested() : 0;
}

}  // namespace

TVX_API std::uint32_t platform_setLumeData(std::size_t length, const char* data) {
    return withCurrentTask("platform_setLumeData", [&](QmLumeTask& task) {
        const std::string text = (length && data) ? std::string(data, length) : std::string();
        if (!task.setLumeData(text)) TVX_LOG(tvxlog::error) << "invalid lume data: " << text;
    });
}

std::uint32_t platform_setLumeData_JsonRpc(const Json::Value& params) {
    return withCurrentTask("platform_setLumeData_JsonRpc", [&](QmLumeTask& task) {
        bool accepted = false;
        if (params.isObject()) {
            accepted = task.setLumeDataImpl(params);
        } else if (params.isString()) {
            // The tag and the one separator after it are dropped.
            std::string text = params.asString();
            static const std::string tag = "SET_LUME_DATA";
            if (text.compare(0, tag.size(), tag) == 0) text.erase(0, std::min(text.size(), tag.size() + 1));
            accepted = !text.empty() && task.setLumeData(text);
        }
        if (!accepted) {
            Json::FastWriter writer;
            std::string compact = writer.write(params);
            if (!compact.empty() && compact.back() == '\n') compact.pop_back();
            TVX_LOG(tvxlog::error) << "invalid lume data: " << compact;
        }
    });
}

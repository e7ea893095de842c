// Start, stop and the remote host's entry points of the agent bridge.
#include <json/writer.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <exception>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

#include "lume_api.h"
#include "lume_task.h"
#include "platform/log.h"
#include "platform/platform_task.h"

#if defined(__GNUC__)
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"  // Json::FastWriter for the compact log text
#endif

namespace {

std::atomic<std::int32_t> lumeRunning{0};
// Whether a bridge thread exists (it may be finishing): the module must not
// be unloaded under it.
std::atomic<bool> lumeThreadPresent{false};
LumeDLL* sdkOverride = nullptr;
// With the engine's own stop wait, a channel close stays within a second.
constexpr std::chrono::milliseconds kLumeStopWait{300};

struct Bridge {
    // Serialises start and stop, which wait for the thread; taken before the
    // bridge mutex.
    std::mutex lifecycle;
    // Guards the two pointers and serialises the document entry points. Held
    // only briefly, never while waiting for the thread, so a document never
    // waits for the agent. Taken before a task's own mutex, never after it.
    std::mutex mutex;
    std::shared_ptr<QmLumeTask> task;
    std::shared_ptr<std::thread> thread;
};

// Never destroyed, like the engine's state: destroying a thread object whose
// thread still runs would end the host process at exit or unload.
Bridge& bridge() {
    static Bridge* instance = new Bridge;
    return *instance;
}

// Waits for a thread taken out of the bridge. A thread object must never be
// destroyed while joinable, so one that cannot be joined is let go.
void joinThread(const std::shared_ptr<std::thread>& thread) {
    if (!thread || !thread->joinable()) return;
    if (thread->get_id() == std::this_thread::get_id()) {
        thread->detach();
        throw std::system_error(std::make_error_code(std::errc::resource_deadlock_would_occur));
    }
    try {
        thread->join();
    } catch (...) {
        if (thread->joinable()) thread->detach();
        throw;
    }
}

}  // namespace

bool isLumeRunning() { return lumeRunning.load() != 0; }

bool isLumeThreadPresent() { return lumeThreadPresent.load(); }

void setLumeSdkForTests(LumeDLL* sdk) { sdkOverride = sdk; }

TVX_API int lume_init() {
    try {
        lumeRunning.store(1);
        TVX_LOG(tvxlog::debug) << "***** Starting lume thread...";
        Bridge& b = bridge();
        std::lock_guard<std::mutex> lifecycle(b.lifecycle);
        std::shared_ptr<std::thread> ended;
        {
            std::lock_guard<std::mutex> lock(b.mutex);
            // A thread that has left run (a start that lost a race with a
            // stop saw the bridge stopped) is replaced, never kept.
            if (!b.thread || b.task->hasEnded()) {
                auto task = std::make_shared<QmLumeTask>(sdkOverride);
                auto thread = startTaskThread(task);
                if (b.task) b.task->requestStop();
                ended = std::exchange(b.thread, std::move(thread));
                b.task = std::move(task);
                lumeThreadPresent.store(true);
            }
        }
        joinThread(ended);
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
        Bridge& b = bridge();
        std::lock_guard<std::mutex> lifecycle(b.lifecycle);
        std::shared_ptr<std::thread> thread;
        std::shared_ptr<QmLumeTask> task;
        {
            std::lock_guard<std::mutex> lock(b.mutex);
            if (!b.thread) {
                TVX_LOG(tvxlog::debug) << "*****  no lume thread to stop";
                return;
            }
            TVX_LOG(tvxlog::debug) << "***** Stopping lume thread...";
            b.task->requestStop();
            thread = std::move(b.thread);
            task = std::move(b.task);
        }
        // Waited for outside the bridge mutex, and not for long: the thread
        // may be inside the agent's SDK for as long as that takes. One that
        // has not ended by then finishes on its own; its module hold keeps
        // the DLL loaded until it has.
        if (task->waitUntilEnded(std::chrono::steady_clock::now() + kLumeStopWait)) joinThread(thread);
        else thread->detach();
        lumeThreadPresent.store(false);
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
    Bridge& b = bridge();
    try {
        std::lock_guard<std::mutex> lock(b.mutex);
        if (!b.task) return 0;
        body(*b.task);
        return b.task->dataRequested();
    } catch (const std::exception& e) {
        TVX_LOG_AS(tvxlog::error, entryPoint) << entryPoint << " exception: " << e.what();
    } catch (...) {
        TVX_LOG_AS(tvxlog::error, entryPoint) << entryPoint << " unknown exception";
    }
    std::lock_guard<std::mutex> lock(b.mutex);
    return b.task ? b.task->dataRequested() : 0;
}

}  // namespace
TVX_API std::uint32_t platform_setLumeData(std::size_t length, const char* data) {
    return withCurrentTask("platform_setLumeData", [&](QmLumeTask& task) {
        const std::string text = (length && data) ? std::string(data, length) : std::string();
        if (!task.setLumeData(text)) TVX_LOG(tvxlog::error) << "invalid lume data: " << tvxlog::printable(text);
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

#include "platform_service.h"

#include <atomic>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "log.h"
#include "task_table.h"

namespace {

std::atomic<std::int32_t> serviceRunning{0};
std::atomic<std::uint32_t> clientKind{0};

// Owns one Winsock start-up; replacing it cleans the previous one up, so
// repeated starts never pile up.
struct WinsockGuard {
    void (*cleanup)() = nullptr;  // set once the start-up succeeded
    ~WinsockGuard() {
        if (cleanup) cleanup();
    }
};
// Never freed: Winsock stays started until the process ends, and a clean-up
// during unload would run under the loader lock.
std::atomic<WinsockGuard*> currentWinsock{nullptr};

void startWinsock() {
    auto guard = std::make_unique<WinsockGuard>();
    const WinsockOps ops = winsockOps();
    const int rc = ops.startup();
    if (rc != 0) throw std::runtime_error("WSAStartup failed with error: " + std::to_string(rc));
    guard->cleanup = ops.cleanup;
    delete currentWinsock.exchange(guard.release());
}

struct Service {
    std::mutex mutex;
    std::vector<std::shared_ptr<std::thread>> threads;
};

// Never destroyed: destroying a thread object whose thread still runs would
// end the host process when the DLL is unloaded without a shutdown.
Service& service() {
    static Service* instance = new Service;
    return *instance;
}

void requestStop(const TaskTable& table) {
    for (const auto& task : table) task->requestStop();
}

// Joins every thread in list order, then empties the list. A failure leaves
// the list as it is, so a later call joins what is left.
void joinThreads(std::vector<std::shared_ptr<std::thread>>& threads) {
    for (auto& thread : threads) {
        if (!thread || !thread->joinable()) continue;
        if (thread->get_id() == std::this_thread::get_id())
            throw std::system_error(std::make_error_code(std::errc::resource_deadlock_would_occur));
        try {
            thread->join();
        } catch (const std::system_error&) {
            throw std::system_error(std::make_error_code(std::errc::no_such_process));
        }
    }
    threads.clear();
}

struct StopWatches {
    std::mutex mutex;
    std::vector<ServiceStopWatch*> list;
};
StopWatches& stopWatches() {
    static StopWatches* instance = new StopWatches;
    return *instance;
}
thread_local bool onServiceThread = false;

}  // namespace

void markServiceThread() { onServiceThread = true; }

ServiceStopWatch::ServiceStopWatch(std::function<void()> onStop) : onStop_(std::move(onStop)) {
    StopWatches& w = stopWatches();
    std::lock_guard<std::mutex> lock(w.mutex);
    w.list.push_back(this);
    // A shutdown that cleared the flag before this watch existed has already
    // notified the others; a service thread must not start a wait then.
    if (onServiceThread && !isServiceRunning()) onStop_();
}

ServiceStopWatch::~ServiceStopWatch() {
    StopWatches& w = stopWatches();
    std::lock_guard<std::mutex> lock(w.mutex);
    std::erase(w.list, this);
}

void notifyServiceStopWatches() {
    StopWatches& w = stopWatches();
    std::lock_guard<std::mutex> lock(w.mutex);
    for (ServiceStopWatch* watch : w.list) watch->onStop_();
}

WinsockOps& winsockOps() {
    static WinsockOps ops{&platformWinsockStartup, &platformWinsockCleanup};
    return ops;
}

bool isServiceRunning() { return serviceRunning.load() != 0; }

unsigned currentClientKind() { return clientKind.load(); }

const char* clientKindName(unsigned kind) {
    switch (kind) {
        case 1: return "Citrix";
        case 2: return "Omnissa";
        case 3: return "Microsoft";
        case 4: return "Amazon-DCV";
        default: return "Unknown";
    }
}

TVX_API int platform_init(unsigned kind) {
    Service& s = service();
    std::unique_lock<std::mutex> lock(s.mutex, std::defer_lock);
    try {
        serviceRunning.store(1);
        clientKind.store(kind);
        startWinsock();
        TVX_LOG(tvxlog::debug) << "***** Starting pooling thread...";
        lock.lock();
        const TaskTable& table = taskTable();
        requestStop(table);
        joinThreads(s.threads);
        // Reserved first: a thread once started must always reach the list.
        s.threads.reserve(table.size());
        for (const auto& task : table) s.threads.push_back(startTaskThread(task));
        TVX_LOG(tvxlog::debug) << "***** Starting pooling thread: Ok";
        return 0;
    } catch (const std::exception& e) {
        TVX_LOG(tvxlog::error) << "platform_init runtime excepton: " << e.what();
    } catch (...) {
        TVX_LOG(tvxlog::error) << "platform_init unknown exception ...";
    }
    if (lock.owns_lock()) lock.unlock();
    serviceRunning.store(0);
    return -2;
}

TVX_API void platform_shutdown() {
    Service& s = service();
    serviceRunning.store(0);
    try {
        notifyServiceStopWatches();
    } catch (...) {
        // A failed wake-up only leaves a command to its own time limit.
    }
    std::unique_lock<std::mutex> lock(s.mutex, std::defer_lock);
    try {
        lock.lock();
        TVX_LOG(tvxlog::debug) << "***** Stopping polling thread...";
        requestStop(taskTable());
        joinThreads(s.threads);
        TVX_LOG(tvxlog::debug) << "*****  Polling thread is stopped";
    } catch (const std::exception& e) {
        TVX_LOG(tvxlog::error) << "platform_shutdown runtime excepton: " << e.what();
    } catch (...) {
        TVX_LOG(tvxlog::error) << "platform_shutdown unknown exception ...";
    }
}

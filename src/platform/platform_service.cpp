#include "platform_service.h"

#include <algorithm>
#include <atomic>
#include <chrono>
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
#include "metric_store.h"
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

// A task and the thread that runs it. A thread that did not end within a
// stop's wait stays here, still joinable, until it ends or is taken back.
struct Worker {
    std::shared_ptr<QmWorkingTask> task;
    std::shared_ptr<std::thread> thread;
};

struct Service {
    std::mutex mutex;
    std::vector<Worker> workers;
};

// Never destroyed: destroying a thread object whose thread still runs would
// end the host process when the DLL is unloaded without a shutdown.
Service& service() {
    static Service* instance = new Service;
    return *instance;
}

std::atomic<std::uint64_t> currentSession{0};
// Session changes and merges exclude each other: a merge that saw its session
// current completes before the next session begins.
std::mutex& publishMutex() {
    static std::mutex* m = new std::mutex;
    return *m;
}
thread_local std::uint64_t passSession = 0;

void newSession() {
    std::lock_guard<std::mutex> lock(publishMutex());
    currentSession.fetch_add(1);
}

void joinThread(std::thread& thread) {
    if (!thread.joinable()) return;
    try {
        thread.join();
    } catch (const std::system_error&) {
        throw std::system_error(std::make_error_code(std::errc::no_such_process));
    }
}

// Tells every task to stop and waits for them, together, at most kStopWaitMs.
// The threads that ended are joined and dropped; the others are left to
// finish on their own.
void stopWorkers(Service& s) {
    // A task thread cannot wait for itself.
    for (const Worker& w : s.workers)
        if (w.thread->get_id() == std::this_thread::get_id())
            throw std::system_error(std::make_error_code(std::errc::resource_deadlock_would_occur));
    serviceRunning.store(0);
    newSession();
    try {
        notifyServiceStopWatches();
    } catch (...) {
        // A failed wake-up only leaves a wait to its own deadline.
    }
    for (const Worker& w : s.workers) w.task->requestStop();
    const auto deadline = std::chrono::steady_clock::now() + kStopWaitMs;
    std::vector<Worker> left;
    for (Worker& w : s.workers) {
        if (w.task->waitUntilEnded(deadline)) joinThread(*w.thread);
        else left.push_back(w);
    }
    s.workers = std::move(left);
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
    if (onServiceThread && (!isServiceRunning() || !isPassCurrent())) onStop_();
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
    std::vector<Worker> workers;
    try {
        lock.lock();
        // A restart stops like a shutdown, waiting no longer than one.
        if (!s.workers.empty()) stopWorkers(s);
        serviceRunning.store(1);
        clientKind.store(kind);
        newSession();
        startWinsock();
        TVX_LOG(tvxlog::debug) << "***** Starting pooling thread...";
        const TaskTable& table = taskTable();
        // Reserved first: a thread once started must always reach the list.
        workers.reserve(table.size() + s.workers.size());
        for (const auto& task : table) {
            // A pass the stop cut short published nothing: the new session
            // runs it again at once.
            if (!task->lastPassCompleted()) task->wakeForPass();
            auto old = std::find_if(s.workers.begin(), s.workers.end(),
                                    [&task](const Worker& w) { return w.task == task; });
            if (old != s.workers.end()) {
                // Still inside its last pass: it goes on serving this session.
                if (task->rearm()) {
                    workers.push_back(*old);
                    s.workers.erase(old);
                    continue;
                }
                // On its way out: gone in a moment.
                joinThread(*old->thread);
                s.workers.erase(old);
            }
            workers.push_back({task, startTaskThread(task)});
        }
        // Threads of tasks no longer in the table finish on their own.
        for (Worker& w : s.workers) workers.push_back(std::move(w));
        s.workers = std::move(workers);
        TVX_LOG(tvxlog::debug) << "***** Starting pooling thread: Ok";
        return 0;
    } catch (const std::exception& e) {
        TVX_LOG(tvxlog::error) << "platform_init runtime excepton: " << e.what();
    } catch (...) {
        TVX_LOG(tvxlog::error) << "platform_init unknown exception ...";
    }
    serviceRunning.store(0);
    newSession();
    for (Worker& w : workers) s.workers.push_back(std::move(w));
    // Threads already started end at their next check.
    for (const Worker& w : s.workers) w.task->requestStop();
    if (lock.owns_lock()) lock.unlock();
    return -2;
}

TVX_API void platform_shutdown() {
    Service& s = service();
    // Told before the mutex is taken, so a start in progress hears it at once.
    serviceRunning.store(0);
    newSession();
    try {
        notifyServiceStopWatches();
    } catch (...) {
    }
    std::unique_lock<std::mutex> lock(s.mutex, std::defer_lock);
    try {
        lock.lock();
        TVX_LOG(tvxlog::debug) << "***** Stopping polling thread...";
        stopWorkers(s);
        TVX_LOG(tvxlog::debug) << "*****  Polling thread is stopped";
    } catch (const std::exception& e) {
        TVX_LOG(tvxlog::error) << "platform_shutdown runtime excepton: " << e.what();
    } catch (...) {
        TVX_LOG(tvxlog::error) << "platform_shutdown unknown exception ...";
    }
}

void beginServicePass() { passSession = currentSession.load(); }

bool isPassCurrent() {
    if (!onServiceThread || passSession == 0) return true;
    return isServiceRunning() && passSession == currentSession.load();
}

bool publishPass(const Json::Value& result, const std::vector<std::string>& keys, MergeScope scope) {
    std::lock_guard<std::mutex> lock(publishMutex());
    if (!isServiceRunning() || passSession != currentSession.load()) return false;
    mergeTaskResult(result, keys, scope == MergeScope::keysWritten);
    return true;
}

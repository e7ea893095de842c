// Start and stop of the collection threads, and the two process-wide values
// the collectors read: the service running flag and the client kind.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include <json/value.h>

#include "platform_api.h"

// Starts Winsock and one thread per task of the task table; a running service
// is restarted. 0, or -2 on failure.
TVX_API int platform_init(unsigned clientKind);
// Stops and joins the task threads. Winsock stays started.
TVX_API void platform_shutdown();

// True between platform_init and platform_shutdown; long collectors return
// early once it is cleared.
bool isServiceRunning();
// Wakes a long wait on a service thread when the service stops: onStop runs
// (on the stopping thread, so it must be quick, e.g. setting an event) when
// platform_shutdown clears the running flag while the watch exists, or at
// once when the watch is made on a service thread after the flag is cleared.
// Elsewhere (a caller outside the service) only a shutdown fires it.
// Fires every watch; platform_shutdown calls it after clearing the flag.
void notifyServiceStopWatches();

class ServiceStopWatch {
public:
    explicit ServiceStopWatch(std::function<void()> onStop);
    ~ServiceStopWatch();
    ServiceStopWatch(const ServiceStopWatch&) = delete;
    ServiceStopWatch& operator=(const ServiceStopWatch&) = delete;

private:
    friend void notifyServiceStopWatches();
    std::function<void()> onStop_;
};
// Marks the calling thread as one of the service's own (task threads).
void markServiceThread();

// How long a stop (platform_shutdown, or the stop half of a restart) waits
// for the task threads. A thread still inside a call that cannot be
// interrupted then is not waited for: it finishes on its own, publishes
// nothing, and holds the module loaded until it has ended.
inline constexpr std::chrono::milliseconds kStopWaitMs{500};

// Every start and stop of the service begins a new session. A pass belongs to
// the session in which it began (beginServicePass, on the task's thread) and
// publishes only while that session lasts, so a pass that outlived a stop
// never writes into a later session.
void beginServicePass();
// False on a task thread whose pass began in a session that has since ended;
// true elsewhere. Collectors that fill caches other tasks read ask it first.
bool isPassCurrent();
enum class MergeScope { keysWritten, allKeys };
// Merges the pass's result while its session lasts; false when it has ended.
// keysWritten merges only the keys the result holds (a part of a pass),
// allKeys the whole pass as mergeTaskResult does.
bool publishPass(const Json::Value& result, const std::vector<std::string>& keys, MergeScope scope);

// The argument of the latest platform_init; 0 before the first call.
unsigned currentClientKind();
// "Unknown", "Citrix", "Omnissa", "Microsoft", "Amazon-DCV"; other values are "Unknown".
const char* clientKindName(unsigned clientKind);

// Winsock start-up and clean-up as platform_init uses them; tests replace them.
struct WinsockOps {
    int (*startup)();  // WSAStartup asking for 2.2: 0 or the error code
    void (*cleanup)();
};
WinsockOps& winsockOps();

// The system's Winsock (platform_winsock_win32.cpp); the host build has none
// and always succeeds.
int platformWinsockStartup();
void platformWinsockCleanup();

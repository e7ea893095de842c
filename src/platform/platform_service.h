// Start and stop of the collection threads, and the two process-wide values
// the collectors read: the service running flag and the client kind.
#pragma once

#include <functional>

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

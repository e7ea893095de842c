// A Win32 event that the service's stop sets: one handle a wait on a system
// object can add to its list, so the stop ends the wait at once.
#pragma once

#include <windows.h>

#include "platform_service.h"

class ServiceStopEvent {
public:
    ServiceStopEvent() : event_(CreateEventW(nullptr, TRUE, FALSE, nullptr)), watch_([this] { signal(); }) {}
    ServiceStopEvent(const ServiceStopEvent&) = delete;
    ServiceStopEvent& operator=(const ServiceStopEvent&) = delete;

    bool valid() const { return event_.handle != nullptr; }
    HANDLE get() const { return event_.handle; }
    bool signalled() const { return valid() && WaitForSingleObject(event_.handle, 0) == WAIT_OBJECT_0; }

private:
    void signal() {
        if (event_.handle) SetEvent(event_.handle);
    }
    // Declared before the watch, so the watch is gone before the handle closes.
    struct Owned {
        HANDLE handle;
        explicit Owned(HANDLE h) : handle(h) {}
        ~Owned() {
            if (handle) CloseHandle(handle);
        }
    } event_;
    ServiceStopWatch watch_;
};

#include "engine_lifetime.h"

#include "agent/lume_api.h"
#include "platform/log.h"
#include "platform/platform_service.h"

namespace {

// FreeRDP speaks RDP: the log file is named "rdp" and the gateway discovery
// takes the Remote Desktop branch, as for Microsoft's client.
constexpr unsigned kClientKind = 3;

void startEngine() {
    TVX_LOG(tvxlog::debug) << "init platform collection threads ...";
    platform_init(kClientKind);
    lume_init();
    TVX_LOG(tvxlog::debug) << "init platform collection threads ... Ok";
}

void stopEngine() {
    TVX_LOG(tvxlog::debug) << "shutdown platform collection threads ...";
    platform_shutdown();
    lume_shutdown();
    TVX_LOG(tvxlog::debug) << "shutdown platform collection threads ... Ok";
}

}  // namespace

EngineLifetime& EngineLifetime::instance() {
    static EngineLifetime lifetime({startEngine, stopEngine});
    return lifetime;
}

void EngineLifetime::channelOpened() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (open_++ == 0) ops_.start();
}

void EngineLifetime::channelClosed() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (open_ == 0) return;
    if (--open_ == 0) ops_.stop();
}

unsigned EngineLifetime::openChannels() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return open_;
}

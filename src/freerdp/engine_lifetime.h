// The engine runs while at least one "qmlink-dvc" channel is open, in any
// plug-in instance of the process: started with the first, stopped with the
// last.
#pragma once

#include <mutex>

class EngineLifetime {
public:
    struct Ops {
        void (*start)();
        void (*stop)();
    };
    explicit EngineLifetime(Ops ops) : ops_(ops) {}

    // The process-wide instance, over platform_init / lume_init and their stops.
    static EngineLifetime& instance();

    void channelOpened();
    void channelClosed();
    unsigned openChannels() const;

private:
    Ops ops_;
    // Held across start and stop, so an open racing the last close waits and
    // then starts the engine again.
    mutable std::mutex mutex_;
    unsigned open_ = 0;
};

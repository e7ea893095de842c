// A blocking call that cannot be interrupted (name resolution) made on a
// thread of its own, so the caller waits no longer than a deadline or the
// service's stop. A call not waited for finishes on its own; its result is
// dropped, and its module hold keeps the DLL loaded until it has.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

#include "module_hold.h"
#include "platform_service.h"

template <typename T>
std::optional<T> callBounded(std::function<T()> work, std::chrono::milliseconds timeout) {
    struct State {
        std::mutex mutex;
        std::condition_variable done;
        std::optional<T> result;
        bool stopped = false;
    };
    auto state = std::make_shared<State>();
    try {
        // The work owns what it reads: the caller may be gone when it ends.
        std::thread([state, work = std::move(work), hold = std::make_shared<ModuleHold>()] {
            std::optional<T> value;
            try {
                value = work();
            } catch (...) {
                // A failed call is one without a result.
            }
            std::lock_guard<std::mutex> lock(state->mutex);
            state->result = std::move(value);
            state->done.notify_all();
        }).detach();
    } catch (const std::system_error&) {
        return std::nullopt;
    }
    ServiceStopWatch watch([state] {
        std::lock_guard<std::mutex> lock(state->mutex);
        state->stopped = true;
        state->done.notify_all();
    });
    std::unique_lock<std::mutex> lock(state->mutex);
    state->done.wait_for(lock, timeout, [&state] { return state->result.has_value() || state->stopped; });
    return std::move(state->result);
}

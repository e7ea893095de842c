// The waits of the Linux adapters: an eventfd that the service's stop makes
// readable, and a poll on one descriptor that ends with it or a deadline.
#pragma once

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>

#include "platform/platform_service.h"
#include "unique_fd_linux.h"

namespace stopwait {

class StopSignal {
public:
    StopSignal()
        : fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)), watch_([fd = fd_.get()] {
              const std::uint64_t one = 1;
              if (fd >= 0) [[maybe_unused]] auto n = write(fd, &one, sizeof one);
          }) {}
    StopSignal(const StopSignal&) = delete;
    StopSignal& operator=(const StopSignal&) = delete;
    int fd() const { return fd_.get(); }
    bool fired() const {
        pollfd p{fd_.get(), POLLIN, 0};
        return fd_.valid() && poll(&p, 1, 0) > 0 && (p.revents & POLLIN);
    }

private:
    UniqueFd fd_;
    ServiceStopWatch watch_;
};

using Clock = std::chrono::steady_clock;

inline int remainingMs(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// Waits until fd shows one of events, the deadline passes or the service
// stops; the events seen, 0 on time-out or stop.
inline short waitFor(int fd, short events, const StopSignal& stop, Clock::time_point deadline) {
    for (;;) {
        pollfd fds[2] = {{fd, events, 0}, {stop.fd(), POLLIN, 0}};
        const int n = poll(fds, stop.fd() >= 0 ? 2 : 1, remainingMs(deadline));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0 || (fds[1].revents & POLLIN)) return 0;
        if (fds[0].revents) return fds[0].revents;
    }
}

}  // namespace stopwait

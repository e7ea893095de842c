// An eventfd that the service's stop makes readable, so a poll of a Linux
// adapter that also watches it ends with the stop.
#pragma once

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

#include "platform/platform_service.h"
#include "unique_fd_linux.h"

class StopSignal {
public:
    StopSignal()
        : fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)), watch_([fd = fd_.get()] {
              const std::uint64_t one = 1;
              if (fd >= 0) [[maybe_unused]] auto n = write(fd, &one, sizeof one);
          }) {}
    int fd() const { return fd_.get(); }

private:
    UniqueFd fd_;
    ServiceStopWatch watch_;
};

// What the host process costs, read from the system: threads, handles,
// working set and CPU time. The endurance runs compare these before and
// after the plug-in works.
#pragma once

#include <cstdint>

namespace endurance {

struct ProcessStats {
    std::uint32_t threads = 0;
    std::uint32_t handles = 0;
    std::uint64_t workingSetBytes = 0;
};

ProcessStats readProcessStats();

// User and kernel time of every thread of this process, in seconds.
double processCpuSeconds();

// A monotonic clock in seconds, fine enough for single requests.
double nowSeconds();

}  // namespace endurance

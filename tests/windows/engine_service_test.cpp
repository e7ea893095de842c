// The platform service under Wine: real Winsock, real threads, test collectors
// only (no probe leaves the machine).
#include <winsock2.h>
#include <windows.h>

#include <algorithm>
#include <array>
#include <atomic>

#include "native/engine_support.h"

using namespace enginetest;

namespace {

bool socketWorks() {
    SOCKET s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (s == INVALID_SOCKET) return false;
    closesocket(s);
    return true;
}

}  // namespace

// Start and stop, and how often Winsock is started and cleaned up, are checked
// natively; here, that the task threads can use the system's sockets through
// two starts and a stop.
TEST(EngineWindows, StartsAndStopsTheEightThreadsWithRealWinsock) {
    // Passes every 20 readings of a clock that each reading moves by 1 ms.
    Engine engine(productLikePlans(), 20, 1'000'000, 1);
    std::array<std::atomic<int>, 8> passes{};
    std::atomic<int> socketFailures{0};
    onPass = [&](int task, Json::Value&) {
        if (!socketWorks()) ++socketFailures;
        ++passes[task];
    };
    ASSERT_EQ(platform_init(3), 0);
    ASSERT_EQ(platform_init(3), 0);
    // The first threads are joined; count the passes of the second ones.
    for (auto& p : passes) p = 0;
    ASSERT_TRUE(waitUntil([&] {
        return std::all_of(passes.begin(), passes.end(), [](const std::atomic<int>& p) { return p.load() >= 2; });
    }));
    platform_shutdown();
    EXPECT_EQ(socketFailures.load(), 0);
    EXPECT_TRUE(socketWorks()) << "shutdown keeps Winsock started";
}

TEST(EngineWindows, AnUnknownExceptionLogsTheThreadsLastError) {
    // Under Wine the first exception dispatched in a process clears the last
    // error on its way; later ones keep it.
    try {
        throw 0;
    } catch (...) {
    }
    tvxtest::LogCapture log;
    Engine engine({TaskPlan{"Gateway Roundtrip", {"roundtripMs"}}});
    std::atomic<int> passes{0};
    onPass = [&](int, Json::Value&) {
        ++passes;
        SetLastError(ERROR_HOST_UNREACHABLE);
        throw 7;
    };
    ASSERT_EQ(platform_init(3), 0);
    ASSERT_TRUE(waitUntil([&] { return log.contains(tvxlog::error, "QmPlatformTask::run",
                                                    "'Gateway Roundtrip' thread exception, last error: 1232"); }));
    platform_shutdown();
    EXPECT_EQ(passes.load(), 1);
    EXPECT_EQ(countStopped(log, "Gateway Roundtrip"), 1u);
}

// The platform service under Wine: real threads, test collectors only (no
// probe leaves the machine). Real Winsock in the task threads shows in the
// gateway round trip of the host tests.
#include <windows.h>

#include <atomic>

#include "native/engine_support.h"

using namespace enginetest;

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

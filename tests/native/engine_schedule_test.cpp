// When passes run: the interval, failed passes, long passes, a clock set back.
#include <cerrno>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "native/engine_support.h"

using namespace enginetest;

namespace {

const char* const kRun = "QmPlatformTask::run";

}  // namespace

TEST(EngineSchedule, FailedPassesAreLoggedOnceAndTheNextStartsOneIntervalAfterTheFailedStart) {
    tvxtest::LogCapture log;
    // Every reading of the clock advances it by 1 ms, so the first reading
    // at which a pass is due is exactly one interval after the last start.
    Engine engine({TaskPlan{"Gateway Roundtrip", {"roundtripMs"}}}, 20, 1'000'000, 1);
    PassLog passes;
    onPass = [&](int, Json::Value& result) {
        const std::size_t pass = passes.size();
        passes.add(engine.task(0).lastRunTime());
        // Each failing pass takes 7 ms of the clock before it throws.
        if (pass < 3) TestClock::now.fetch_add(7);
        if (pass == 0) throw std::runtime_error("probe failed");
        if (pass == 1) throw "no route";
        if (pass == 2) {
            errno = EDOM;
            throw 42;
        }
        result["roundtripMs"] = 3;
    };
    ASSERT_EQ(platform_init(3), 0);
    ASSERT_TRUE(waitUntil([&] { return countDone(log, "Gateway Roundtrip") >= 1; }));
    platform_shutdown();

    ASSERT_GE(passes.size(), 4u);
    for (std::size_t i = 1; i < 4; ++i) EXPECT_EQ(passes.at(i) - passes.at(i - 1), 20) << "pass " << i;
    EXPECT_EQ(countLines(log, tvxlog::error, kRun, "'Gateway Roundtrip' thread exception: probe failed"), 1u);
    EXPECT_EQ(countLines(log, tvxlog::error, kRun, "'Gateway Roundtrip' thread exception: no route"), 1u);
    EXPECT_EQ(countLines(log, tvxlog::error, kRun,
                         "'Gateway Roundtrip' thread exception, last error: " + std::to_string(EDOM)),
              1u);
    std::size_t errors = 0;
    for (const auto& line : log.lines().lines()) errors += line.severity == tvxlog::error;
    EXPECT_EQ(errors, 3u);
    // Only the pass that did not throw was merged and logged as done.
    EXPECT_EQ(countDone(log, "Gateway Roundtrip"), passes.size() - 3);
    EXPECT_EQ(getMetricsSnapshot()["roundtripMs"], 3);
}

TEST(EngineSchedule, ALongPassOrAClockSetBackwardsMakesTheNextPassDueAtOnce) {
    // The clock only moves when the first pass moves it: a 7-second
    // traceroute, or a clock set back.
    const std::pair<std::int64_t, const char*> cases[] = {{1'007'000, "'ISP Route' done: 7000 ms"}, {400'000, nullptr}};
    for (const auto& [endsAt, doneLine] : cases) {
        const std::int64_t firstPassEndsAt = endsAt;
        tvxtest::LogCapture log;
        Engine engine({TaskPlan{"ISP Route", {}}}, 5000, 1'000'000, 0);
        PassLog passes;
        onPass = [&](int, Json::Value&) {
            passes.add(engine.task(0).lastRunTime());
            if (passes.size() == 1) TestClock::now.store(firstPassEndsAt);
        };
        ASSERT_EQ(platform_init(3), 0);
        ASSERT_TRUE(waitUntil([&] { return passes.size() == 2; }));
        platform_shutdown();
        EXPECT_EQ(passes.size(), 2u);
        EXPECT_EQ(passes.at(0), 1'000'000);
        EXPECT_EQ(passes.at(1), firstPassEndsAt);
        if (doneLine) {
            EXPECT_TRUE(log.contains(tvxlog::verbose, kRun, doneLine));
        }
    }
}

TEST(EngineSchedule, RunTaskThreadClearsTheStopFlagAndSetsItWhenRunEnds) {
    struct Probe : QmWorkingTask {
        std::uint32_t seen = 99;
        void run() override {
            seen = stopFlag();
            throw std::runtime_error("dropped by the thread entry");
        }
    };
    auto probe = std::make_shared<Probe>();
    probe->setStopFlag(1);
    runTaskThread(probe);
    EXPECT_EQ(probe->seen, 0u);
    EXPECT_EQ(probe->stopFlag(), 1u);

    // A stop requested before the started thread gets going is kept. The
    // clock stands at 0, so without the stop the task would wait forever.
    Engine engine({}, 5000, 0, 0);
    struct Waiter : QmWorkingTask {
        std::atomic<bool> finished{false};
        void run() override {
            while (!waitForNextPass(5000)) {
            }
            finished = true;
        }
    };
    for (int i = 0; i < 20; ++i) {
        auto waiter = std::make_shared<Waiter>();
        auto thread = startTaskThread(waiter);
        waiter->requestStop();
        const bool stopped = waitUntil([&] { return waiter->finished.load(); });
        if (!stopped) waiter->requestStop();
        thread->join();
        ASSERT_TRUE(stopped) << "stop lost at start " << i;
        EXPECT_EQ(waiter->stopFlag(), 1u);
    }
}

TEST(EngineSchedule, AWaitingTaskSleepsUntilItsPassOrAStop) {
    // The wall clock, counted: a task whose next pass is seconds away reads
    // it once and then sleeps until the stop request wakes it.
    static std::atomic<int> reads{0};
    auto previous = taskClock().nowMs.exchange(+[]() -> std::int64_t {
        ++reads;
        return wallClockMs();
    });
    struct Waiter : QmWorkingTask {
        void run() override {
            while (!waitForNextPass(5000)) {
            }
        }
    };
    auto waiter = std::make_shared<Waiter>();
    auto thread = startTaskThread(waiter);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    waiter->requestStop();
    thread->join();
    taskClock().nowMs.store(previous);
    // One reading for the first pass, due at once, one for the wait.
    EXPECT_LE(reads.load(), 3);
}

// The platform service's task threads: start, restart and stop, and when
// passes run (the interval, failed passes, long passes, a clock set back).
#include <array>
#include <cerrno>
#include <set>
#include <stdexcept>
#include <system_error>

#include "native/engine_support.h"
#include "platform/module_hold.h"

using namespace enginetest;

namespace {

const char* const kInit = "platform_init";
const char* const kShutdown = "platform_shutdown";
const TaskPlan kGateway{"Gateway Roundtrip", {"roundtripMs"}};

// Counts Winsock start-ups and clean-ups; a non-zero failWith fails start-up.
struct CountingWinsock {
    static inline std::atomic<int> startups{0}, cleanups{0}, failWith{0};
    const WinsockOps previous = winsockOps();
    CountingWinsock() {
        startups = cleanups = failWith = 0;
        winsockOps() = {+[] { return failWith ? failWith.load() : (++startups, 0); }, +[] { ++cleanups; }};
    }
    ~CountingWinsock() {
        platform_shutdown();
        winsockOps() = previous;
    }
};

// Last-run times seen by the collector, one per pass.
struct PassLog {
    std::mutex m;
    std::vector<std::int64_t> runs;
    void add(std::int64_t lastRun) { std::lock_guard<std::mutex> lock(m); runs.push_back(lastRun); }
    std::size_t size() { std::lock_guard<std::mutex> lock(m); return runs.size(); }
};

// Waits for its next pass until it is stopped.
struct Waiter : QmWorkingTask {
    std::atomic<bool> finished{false};
    void run() override {
        while (!waitForNextPass(5000)) {
        }
        finished = true;
    }
};

}  // namespace

TEST(EngineLifecycle, ProductTableHasTheEightTasksAndOwnsEveryKeyButOne) {
    const auto& table = productTaskTable();
    ASSERT_EQ(table.size(), 8u);
    const std::vector<std::string> names = {"Common Metrics", "Gateway Roundtrip", "Google Roundtrip", "ISP Route",
                                            "ISP Location",   "ISP Roundtrip",     "ADC Roundtrip,",   "Euc Roundtrip "};
    std::multiset<std::string> owned;
    for (std::size_t i = 0; i < table.size(); ++i) {
        EXPECT_EQ(table[i]->name(), names[i]);
        owned.insert(table[i]->keys().begin(), table[i]->keys().end());
    }
    EXPECT_EQ(table[0]->keys().size(), 26u);
    EXPECT_TRUE(table[3]->keys().empty());
    EXPECT_EQ(table[7]->keys(), (std::vector<std::string>{"eucGateway", "roundtripEucGatewayMs"}));
    // Every key is owned once, and every key of the vocabulary but the one
    // the remote side measures is owned.
    std::set<std::string> vocabulary;
    for (const auto& k : metricKeyTable()) vocabulary.insert(k.key);
    vocabulary.erase("serverRoundtripMs");
    EXPECT_EQ(std::set<std::string>(owned.begin(), owned.end()), vocabulary);
    EXPECT_EQ(owned.size(), vocabulary.size());
}

TEST(EngineLifecycle, PassMergesOnlyTheTaskKeysAndThreadsLogTheirLife) {
    tvxtest::LogCapture log;
    // A shutdown without a start only logs its two lines.
    platform_shutdown();
    EXPECT_EQ(log.count(), 2u);
    EXPECT_TRUE(log.contains(tvxlog::debug, kShutdown, "***** Stopping polling thread..."));
    EXPECT_TRUE(log.contains(tvxlog::debug, kShutdown, "*****  Polling thread is stopped"));

    Engine engine({kGateway, {"Google Roundtrip", {"roundtripGoogleMs", "latencyTarget"}}});
    onPass = [](int task, Json::Value& result) {
        if (task == 0) {
            result["roundtripMs"] = 7;
            result["userName"] = "not mine";
        } else {
            result["latencyTarget"] = "10.1.1.1";
        }
    };
    ASSERT_EQ(platform_init(3), 0);
    EXPECT_EQ(currentClientKind(), 3u);
    ASSERT_TRUE(waitUntil([&] { return countDone(log, "Gateway Roundtrip") && countDone(log, "Google Roundtrip"); }));

    // Two passes ending together may publish out of order (the older copy
    // last), so the merge rules are checked on the store itself.
    Json::Value snapshot;
    {
        std::lock_guard<std::mutex> lock(metricStoreMutex);
        snapshot = metricStore;
    }
    EXPECT_EQ(snapshot["roundtripMs"], 7);
    EXPECT_EQ(snapshot["userName"], "");
    EXPECT_EQ(snapshot["latencyTarget"], "10.1.1.1");
    // The test clock stands still, so the pass took 0 ms.
    EXPECT_TRUE(log.contains(tvxlog::verbose, kRun, "'Gateway Roundtrip' done: 0 ms"));
    EXPECT_TRUE(log.contains(tvxlog::debug, kInit, "***** Starting pooling thread: Ok"));
    platform_shutdown();
    // The clock stands still, so each task ran exactly its first pass.
    for (const char* name : {"Gateway Roundtrip", "Google Roundtrip"}) EXPECT_EQ(countDone(log, name), 1u) << name;
}

TEST(EngineLifecycle, InitTwiceRestartsEveryTaskOnceAndRacingStartsAndStopsLeaveNoThreadBehind) {
    tvxtest::LogCapture log;
    // Passes every 20 ms of a clock that each reading moves by 1 ms.
    Engine engine(productLikePlans(), 20, 1'000'000, 1);
    CountingWinsock winsock;
    // Sees two passes of one task running at once.
    std::array<std::atomic<int>, 8> active{};
    std::atomic<bool> overlap{false};
    onPass = [&](int task, Json::Value&) {
        if (++active[task] > 1) overlap = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        --active[task];
    };
    const auto entries = productLikePlans();
    ASSERT_EQ(platform_init(3), 0);
    ASSERT_EQ(platform_init(1), 0);
    // The first generation is joined before the second init returns, and its
    // Winsock start-up cleaned up.
    for (const auto& entry : entries) EXPECT_EQ(countStopped(log, entry.name), 1u) << entry.name;
    EXPECT_EQ(CountingWinsock::startups.load(), 2);
    EXPECT_EQ(CountingWinsock::cleanups.load(), 1);

    CountingWinsock::failWith = 10091;
    EXPECT_EQ(platform_init(3), -2);
    EXPECT_FALSE(isServiceRunning());
    EXPECT_TRUE(log.contains(tvxlog::error, kInit, "platform_init runtime excepton: WSAStartup failed with error: 10091"));
    platform_shutdown();
    EXPECT_EQ(CountingWinsock::cleanups.load(), 1) << "shutdown leaves Winsock started";
    for (const auto& entry : entries) {
        EXPECT_EQ(countStarted(log, entry.name), 2u) << entry.name;
        EXPECT_EQ(countStopped(log, entry.name), 2u) << entry.name;
    }

    CountingWinsock::failWith = 0;
    std::vector<std::thread> callers;
    for (int c = 0; c < 3; ++c)
        callers.emplace_back([c] {
            for (int i = 0; i < 6; ++i) {
                if ((i + c) % 2 == 0) platform_init(3);
                else platform_shutdown();
                std::this_thread::sleep_for(std::chrono::milliseconds(3));
            }
        });
    for (auto& t : callers) t.join();
    platform_shutdown();
    EXPECT_FALSE(overlap);
    for (const auto& entry : entries) {
        EXPECT_GE(countStarted(log, entry.name), 3u) << entry.name;
        EXPECT_EQ(countStarted(log, entry.name), countStopped(log, entry.name)) << entry.name;
    }
}

TEST(EngineLifecycle, StopWhileWaitingOrInAPassAndARestartKeepsTheLastRunTime) {
    tvxtest::LogCapture log;
    Engine engine({kGateway});
    PassLog passes;
    std::atomic<bool> freshResults{true};
    onPass = [&](int, Json::Value& result) {
        if (!result.isNull()) freshResults = false;
        passes.add(engine.task(0).lastRunTime());
        result["roundtripMs"] = static_cast<int>(passes.size());
        // The second pass is a long probe that notices the service going away.
        while (passes.size() == 2 && isServiceRunning()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    };
    ASSERT_EQ(platform_init(3), 0);
    ASSERT_TRUE(waitUntil([&] { return countDone(log, "Gateway Roundtrip") == 1; }));
    // The clock stands still: the task now waits until it is stopped.
    platform_shutdown();
    EXPECT_EQ(countStopped(log, "Gateway Roundtrip"), 1u);

    // A restart does not run at once: the next pass is due one interval after
    // the previous one started.
    ASSERT_EQ(platform_init(3), 0);
    TestClock::now.store(1'000'000 + 5000);
    ASSERT_TRUE(waitUntil([&] { return passes.size() == 2; }));
    // Stopped during that pass: its result is neither merged nor logged.
    platform_shutdown();
    EXPECT_EQ(passes.runs, (std::vector<std::int64_t>{1'000'000, 1'005'000}));
    EXPECT_EQ(getMetricsSnapshot()["roundtripMs"], 1);
    EXPECT_EQ(countDone(log, "Gateway Roundtrip"), 1u);
    EXPECT_EQ(countStopped(log, "Gateway Roundtrip"), 2u);
    EXPECT_TRUE(freshResults) << "every run starts with a fresh result object";
}

TEST(EngineLifecycle, InitFromATaskThreadFailsWithDeadlockInsteadOfHanging) {
    tvxtest::LogCapture log;
    Engine engine({kGateway, {"Google Roundtrip", {"roundtripGoogleMs"}}});
    std::atomic<int> rc{1};
    onPass = [&](int task, Json::Value&) {
        if (task == 1 && rc.load() == 1) rc = platform_init(3);
    };
    ASSERT_EQ(platform_init(3), 0);
    ASSERT_TRUE(waitUntil([&] { return rc.load() != 1; }));
    EXPECT_EQ(rc.load(), -2);
    EXPECT_FALSE(isServiceRunning());
    const std::string deadlock = std::system_error(std::make_error_code(std::errc::resource_deadlock_would_occur)).what();
    EXPECT_TRUE(log.contains(tvxlog::error, kInit, "platform_init runtime excepton: " + deadlock));
    // The calling thread is left to the next shutdown, which joins it.
    platform_shutdown();
    EXPECT_EQ(countStopped(log, "Google Roundtrip"), 1u);
    EXPECT_EQ(countStopped(log, "Gateway Roundtrip"), 1u);
}

TEST(EngineSchedule, FailedPassesAreLoggedOnceAndTheNextStartsOneIntervalAfterTheFailedStart) {
    tvxtest::LogCapture log;
    // Every reading of the clock advances it by 1 ms, so the first reading
    // at which a pass is due is exactly one interval after the last start.
    Engine engine({kGateway}, 20, 1'000'000, 1);
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
    for (std::size_t i = 1; i < 4; ++i) EXPECT_EQ(passes.runs[i] - passes.runs[i - 1], 20) << "pass " << i;
    std::size_t errors = 0;
    for (const auto& line : log.lines().lines()) errors += line.severity == tvxlog::error;
    EXPECT_EQ(errors, 3u);
    const std::string tails[] = {": probe failed", ": no route", ", last error: " + std::to_string(EDOM)};
    for (const auto& tail : tails)
        EXPECT_EQ(log.count(tvxlog::error, kRun, "'Gateway Roundtrip' thread exception" + tail), 1u) << tail;
    // Only the pass that did not throw was merged and logged as done.
    EXPECT_EQ(countDone(log, "Gateway Roundtrip"), passes.size() - 3);
    EXPECT_EQ(getMetricsSnapshot()["roundtripMs"], 3);
}

TEST(EngineSchedule, ALongPassOrAClockSetBackwardsMakesTheNextPassDueAtOnce) {
    // The clock only moves when the first pass moves it: a 7-second
    // traceroute, or a clock set back.
    for (const std::int64_t firstPassEndsAt : {1'007'000, 400'000}) {
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
        EXPECT_EQ(passes.runs, (std::vector<std::int64_t>{1'000'000, firstPassEndsAt}));
        if (firstPassEndsAt > 1'000'000) {
            EXPECT_TRUE(log.contains(tvxlog::verbose, kRun, "'ISP Route' done: 7000 ms"));
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
    auto waiter = std::make_shared<Waiter>();
    auto thread = startTaskThread(waiter);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    waiter->requestStop();
    thread->join();
    taskClock().nowMs.store(previous);
    // One reading for the first pass, due at once, one for the wait.
    EXPECT_LE(reads.load(), 3);
}

TEST(EngineLifecycle, AStuckPassIsNotWaitedForPublishesNothingAndIsTakenBackByARestart) {
    tvxtest::LogCapture log;
    Engine engine({kGateway});
    std::atomic<int> passes{0};
    std::atomic<bool> release{false};
    onPass = [&](int, Json::Value& result) {
        result["roundtripMs"] = ++passes;
        // A system call that neither the stop nor a deadline ends.
        while (passes == 1 && !release) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    };
    ASSERT_EQ(platform_init(3), 0);
    ASSERT_TRUE(waitUntil([&] { return passes == 1; }));
    platform_shutdown();
    EXPECT_FALSE(engine.task(0).hasEnded()) << "shutdown returned with the pass still inside its call";
    EXPECT_GT(ModuleHold::count(), 0) << "the thread holds the module";
    // The next session takes the same thread back instead of a second one.
    ASSERT_EQ(platform_init(3), 0);
    TestClock::now.fetch_add(5000);
    release = true;
    ASSERT_TRUE(waitUntil([&] { return countDone(log, "Gateway Roundtrip") == 1; }));
    EXPECT_EQ(passes.load(), 2);
    EXPECT_EQ(getMetricsSnapshot()["roundtripMs"], 2) << "the stopped session's pass is never merged";
    EXPECT_EQ(countStarted(log, "Gateway Roundtrip"), 1u);
    platform_shutdown();
    EXPECT_TRUE(engine.task(0).hasEnded());
    EXPECT_EQ(ModuleHold::count(), 0);
}

TEST(EngineSchedule, FactsArePublishedCollectorByCollectorAndAnInputWakesItsTasks) {
    static std::atomic<bool> release{false};
    static std::atomic<int> gatewayPasses{0};
    TaskTable table{
        std::make_shared<QmPlatformTask>(
            "Common Metrics",
            std::vector<MetricCollector>{+[](Json::Value& r) { return r["userName"] = "alice", 0; },
                                         +[](Json::Value& r) {
                                             while (gatewayPasses == 0)
                                                 std::this_thread::sleep_for(std::chrono::milliseconds(1));
                                             announceInput(MetricInput::gateway);
                                             while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(1));
                                             r["publicIpAddress"] = "203.0.113.9";
                                             return 0;
                                         }},
            std::vector<std::string>{"userName", "publicIpAddress"}),
        std::make_shared<QmPlatformTask>("Gateway Roundtrip",
                                         std::vector<MetricCollector>{+[](Json::Value& r) {
                                             r["roundtripMs"] = ++gatewayPasses;
                                             return 0;
                                         }},
                                         std::vector<std::string>{"roundtripMs"},
                                         std::vector<MetricInput>{MetricInput::gateway})};
    release = false;
    gatewayPasses = 0;
    Engine engine({});
    setTaskTable(&table);
    Json::Value earlier;
    earlier["publicIpAddress"] = "203.0.113.77";
    mergeTaskResult(earlier, {"publicIpAddress"});
    ASSERT_EQ(platform_init(3), 0);
    // The user is known while the lookup still runs; the address it looks
    // for keeps its last value meanwhile, not the default.
    ASSERT_TRUE(waitUntil([] { return getMetricsSnapshot()["userName"] == "alice"; }));
    EXPECT_EQ(getMetricsSnapshot()["publicIpAddress"], "203.0.113.77");
    // The clock stands still: only the input brought the second pass.
    ASSERT_TRUE(waitUntil([] { return gatewayPasses == 2; }));
    release = true;
    ASSERT_TRUE(waitUntil([] { return getMetricsSnapshot()["publicIpAddress"] == "203.0.113.9"; }));
    platform_shutdown();
}

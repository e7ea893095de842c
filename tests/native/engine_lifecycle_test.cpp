// Start, restart and stop of the task threads by the platform service.
#include <array>
#include <mutex>
#include <set>
#include <system_error>
#include <string>
#include <thread>
#include <vector>

#include "native/engine_support.h"

using namespace enginetest;

namespace {

const char* const kInit = "platform_init";
const char* const kShutdown = "platform_shutdown";

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

TEST(EngineLifecycle, ShutdownWithoutInitOnlyLogsItsTwoLines) {
    tvxtest::LogCapture log;
    platform_shutdown();
    ASSERT_EQ(log.count(), 2u);
    EXPECT_TRUE(log.contains(tvxlog::debug, kShutdown, "***** Stopping polling thread..."));
    EXPECT_TRUE(log.contains(tvxlog::debug, kShutdown, "*****  Polling thread is stopped"));
    EXPECT_FALSE(isServiceRunning());
}

TEST(EngineLifecycle, PassMergesOnlyTheTaskKeysAndThreadsLogTheirLife) {
    tvxtest::LogCapture log;
    Engine engine({TaskPlan{"Gateway Roundtrip", {"roundtripMs"}}, {"Google Roundtrip", {"roundtripGoogleMs", "latencyTarget"}}});
    onPass = [](int task, Json::Value& result) {
        if (task == 0) {
            result["roundtripMs"] = 7;
            result["userName"] = "not mine";
        } else {
            result["latencyTarget"] = "192.0.2.1";  // roundtripGoogleMs left unwritten
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
    EXPECT_EQ(snapshot["latencyTarget"], "192.0.2.1");
    EXPECT_EQ(snapshot["roundtripGoogleMs"], -1);
    // The test clock stands still, so the pass took 0 ms.
    EXPECT_TRUE(log.contains(tvxlog::verbose, "QmPlatformTask::run", "'Gateway Roundtrip' done: 0 ms"));

    platform_shutdown();
    EXPECT_FALSE(isServiceRunning());
    for (const char* name : {"Gateway Roundtrip", "Google Roundtrip"}) {
        EXPECT_EQ(countStarted(log, name), 1u) << name;
        EXPECT_EQ(countStopped(log, name), 1u) << name;
        // The clock stands still, so each task ran exactly its first pass.
        EXPECT_EQ(countDone(log, name), 1u) << name;
    }
    EXPECT_TRUE(log.contains(tvxlog::debug, kInit, "***** Starting pooling thread: Ok"));
}

TEST(EngineLifecycle, InitTwiceRestartsEveryTaskOnceAndAWinsockFailureStartsNone) {
    tvxtest::LogCapture log;
    Engine engine(productLikePlans());
    CountingWinsock winsock;
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
    ASSERT_TRUE(waitUntil([&] {
        for (const auto& entry : entries)
            if (countStarted(log, entry.name) != 2) return false;
        return true;
    }));

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
    EXPECT_FALSE(overlap);
}

TEST(EngineLifecycle, ShutdownDuringAPassSkipsItsMergeAndItsDoneLine) {
    tvxtest::LogCapture log;
    Engine engine({TaskPlan{"Gateway Roundtrip", {"roundtripMs"}}});
    std::atomic<int> passes{0};
    onPass = [&](int, Json::Value& result) {
        result["roundtripMs"] = 42;
        ++passes;
        // A long probe that notices the service going away.
        while (isServiceRunning()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    };
    ASSERT_EQ(platform_init(3), 0);
    ASSERT_TRUE(waitUntil([&] { return passes.load() == 1; }));
    platform_shutdown();
    EXPECT_EQ(passes.load(), 1);
    EXPECT_EQ(getMetricsSnapshot()["roundtripMs"], -1);
    EXPECT_EQ(countDone(log, "Gateway Roundtrip"), 0u);
    EXPECT_EQ(countStopped(log, "Gateway Roundtrip"), 1u);
}

TEST(EngineLifecycle, StopWhileWaitingAndRestartKeepsTheLastRunTime) {
    tvxtest::LogCapture log;
    Engine engine({TaskPlan{"Gateway Roundtrip", {"roundtripMs"}}}, 5000, 1'000'000);
    PassLog passes;
    std::atomic<bool> freshResults{true};
    onPass = [&](int, Json::Value& result) {
        if (!result.isNull()) freshResults = false;
        passes.add(engine.task(0).lastRunTime());
        result["roundtripMs"] = 1;
    };
    ASSERT_EQ(platform_init(3), 0);
    ASSERT_TRUE(waitUntil([&] { return countDone(log, "Gateway Roundtrip") == 1; }));
    // The clock stands still: the task now waits until it is stopped.
    platform_shutdown();
    EXPECT_EQ(countStopped(log, "Gateway Roundtrip"), 1u);
    EXPECT_EQ(passes.size(), 1u);

    // A restart does not run at once: the next pass is due one interval after
    // the previous one started.
    ASSERT_EQ(platform_init(3), 0);
    TestClock::now.store(1'000'000 + 5000);
    ASSERT_TRUE(waitUntil([&] { return passes.size() == 2; }));
    platform_shutdown();
    EXPECT_EQ(passes.runs, (std::vector<std::int64_t>{1'000'000, 1'005'000}));
    EXPECT_TRUE(freshResults) << "every run starts with a fresh result object";
}

TEST(EngineLifecycle, InitFromATaskThreadFailsWithDeadlockInsteadOfHanging) {
    tvxtest::LogCapture log;
    Engine engine({TaskPlan{"Gateway Roundtrip", {"roundtripMs"}}, {"Google Roundtrip", {"roundtripGoogleMs"}}});
    std::atomic<int> rc{1};
    onPass = [&](int task, Json::Value&) {
        if (task == 1 && rc.load() == 1) rc = platform_init(3);
    };
    ASSERT_EQ(platform_init(3), 0);
    ASSERT_TRUE(waitUntil([&] { return rc.load() != 1; }));
    EXPECT_EQ(rc.load(), -2);
    EXPECT_FALSE(isServiceRunning());
    const std::string deadlock = std::system_error(std::make_error_code(std::errc::resource_deadlock_would_occur)).what();
    EXPECT_EQ(countLines(log, tvxlog::error, kInit, "platform_init runtime excepton: " + deadlock), 1u);
    // The calling thread is left to the next shutdown, which joins it.
    platform_shutdown();
    EXPECT_EQ(countStopped(log, "Google Roundtrip"), 1u);
    EXPECT_EQ(countStopped(log, "Gateway Roundtrip"), 1u);
}

TEST(EngineLifecycle, ConcurrentStartsAndStopsLeaveNoThreadBehind) {
    tvxtest::LogCapture log;
    Engine engine(productLikePlans(), 20, 1'000'000, 1);
    std::array<std::atomic<int>, 8> active{};
    std::atomic<bool> overlap{false};
    onPass = [&](int task, Json::Value& result) {
        if (++active[task] > 1) overlap = true;
        result["roundtripMs"] = task;
        --active[task];
    };
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
    for (const auto& entry : productLikePlans()) {
        EXPECT_GE(countStarted(log, entry.name), 1u) << entry.name;
        EXPECT_EQ(countStarted(log, entry.name), countStopped(log, entry.name)) << entry.name;
    }
}

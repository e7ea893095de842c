// The agent bridge: the library's path, the documents and flags it carries,
// its start and stop, and requests racing a channel that closes and reopens.
#include <gtest/gtest.h>

#include <algorithm>
#include <future>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "agent/lume_api.h"
#include "agent/lume_dll.h"
#include "agent/lume_task.h"
#include "codec/codec.h"
#include "native/engine_support.h"
#include "protocol/dispatcher.h"

namespace {

// An agent library of the test's own: scripted answers, recorded calls.
struct FakeAgent {
    static inline std::mutex mutex;
    static inline std::optional<std::string> config;  // nothing: a null answer
    static inline std::vector<std::string> calls;

    static void reset(std::optional<std::string> answer) {
        std::lock_guard<std::mutex> lock(mutex);
        config = std::move(answer);
        calls.clear();
    }
    static std::vector<std::string> recorded() {
        std::lock_guard<std::mutex> lock(mutex);
        return calls;
    }
    static bool fetched() {
        const auto all = recorded();
        return std::find(all.begin(), all.end(), "fetchConfig qmAgent") != all.end();
    }

    LumeDLL dll;
    FakeAgent() {
        dll.sdkVersion = [] { return "fake 2.1"; };
        dll.fetchConfig = [](const char* name) -> const char* {
            std::lock_guard<std::mutex> lock(mutex);
            calls.push_back(std::string("fetchConfig ") + name);
            return config ? config->c_str() : nullptr;
        };
        dll.sendInfo = [](const char* name, const char* data) {
            std::lock_guard<std::mutex> lock(mutex);
            calls.push_back(std::string("sendInfo ") + name + " " + data);
            return "sent";
        };
    }
};

class LumeTask : public ::testing::Test {
protected:
    FakeAgent agent_;
    QmLumeTask task_{&agent_.dll};
    tvxtest::LogCapture log_;
};

// The bridge with the fake agent in place of the library; stopped at the end.
class LumeBridge : public ::testing::Test {
protected:
    void SetUp() override { setLumeSdkForTests(&agent_.dll); }
    void TearDown() override {
        lume_shutdown();
        setLumeSdkForTests(nullptr);
    }
    tvxtest::MemoryRegistry registry_;
    tvxtest::LogCapture log_;
    FakeAgent agent_;
};

using tvxtest::waitUntil;

}  // namespace

// The default path and the variable's Windows path show in the Windows tests.
TEST(LumeLibraryPath, RewritesTheVariableToTheX86Folder) {
    tvxtest::LogCapture log;
    const std::pair<std::string, std::string> paths[] = {
        {"C:/Program Files/Ombrel/KTR_Agent/LumeSDK.dll", "c:\\program files (x86)\\ombrel\\ktr_agent\\lumesdk.dll"},
        {"D:\\Program Files (x86)\\Agent\\X.DLL", "d:\\program files (x86)\\agent\\x.dll"},
        {"\\Program Files\\", "\\program files (x86)\\"},
        {"\\program files", "\\program files"},
    };
    for (auto [path, rewritten] : paths) {
        makePath86(path);
        EXPECT_EQ(path, rewritten);
    }
    EXPECT_TRUE(log.contains(tvxlog::debug, "makePath86", "ktr agent before: c:\\program files\\ombrel\\ktr_agent\\lumesdk.dll"));
    EXPECT_TRUE(log.contains(tvxlog::debug, "makePath86", "ktr agent after: " + paths[0].second));
}

TEST(LumeLibrary, AMissingLibraryLeavesEveryFunctionNull) {
    tvxtest::LogCapture log;
    ::setenv("QUILLMERE_LUME_SDK_DLL_PATH", "c:\\nowhere\\lumesdk.dll", 1);
    LumeDLL dll;
    EXPECT_FALSE(dll.init());
    ::unsetenv("QUILLMERE_LUME_SDK_DLL_PATH");
    EXPECT_EQ(dll.sdkVersion, nullptr);
    EXPECT_EQ(dll.fetchConfig, nullptr);
    EXPECT_EQ(dll.sendInfo, nullptr);
    EXPECT_TRUE(log.containsPrefix(tvxlog::error, "LumeDLL::init",
                                   "Failed to load lume dll: 'c:\\nowhere\\lumesdk.dll': [126] : "));

    // Every pass then says which method is missing.
    QmLumeTask task(&dll);
    EXPECT_FALSE(task.sendLumeData());
    EXPECT_FALSE(task.recvLumeRequests());
    EXPECT_TRUE(log.contains(tvxlog::error, "QmLumeTask::sendLumeData", "Lume api method 'sendInfo' is null."));
    EXPECT_TRUE(log.contains(tvxlog::error, "QmLumeTask::recvLumeRequests", "Lume api method 'fetchConfig' is null."));
}

TEST_F(LumeTask, AcceptsOnlyDocumentsWithAMachineObject) {
    const std::string mandatory = "Invalid data to Lume from remote host: 'machine' key is mandatory";
    for (const char* refused : {"{\"other\":1}", "{\"machine\":null}", "[1,2]"}) {
        EXPECT_FALSE(task_.setLumeData(refused)) << refused;
        EXPECT_TRUE(log_.contains(tvxlog::error, "QmLumeTask::setLumeDataImpl", mandatory)) << refused;
        log_.lines().clear();
    }
    EXPECT_FALSE(task_.setLumeData("{\"machine\":[1]}"));
    EXPECT_TRUE(log_.contains(tvxlog::error, "QmLumeTask::setLumeDataImpl",
                              "Invalid data to Lume from remote host: 'machine' value should be an object"));
    // Deep nesting is a parse error, not an exception.
    EXPECT_FALSE(task_.setLumeData(std::string(5000, '[')));
    EXPECT_FALSE(task_.setLumeData("{\"machine\":"));
    EXPECT_TRUE(log_.containsPrefix(tvxlog::error, "QmLumeTask::setLumeData",
                                    "Remote host data parsing error: * Line 1, Column 12"));
    EXPECT_EQ(task_.getLumeData(), "");

    // Comments are allowed; "MicrosoftTeams" travels as "Teams", and an
    // explicit "Teams" wins over it.
    ASSERT_TRUE(task_.setLumeData("/* from host */ {\"machine\":{\"ComputerName\":\"VM1\",\"MicrosoftTeams\":{\"a\":1},"
                                  "\"Teams\":{\"b\":2},\"cpu\":5}}"));
    EXPECT_EQ(task_.getLumeData(), "{\"ComputerName\":\"VM1\",\"Teams\":{\"b\":2},\"cpu\":5}\n");
    EXPECT_TRUE(log_.contains(tvxlog::debug, "QmLumeTask::setLumeDataImpl", "ComputerName to Lume: VM1"));
    ASSERT_TRUE(task_.setLumeData("{\"machine\":{\"MicrosoftTeams\":true}}"));
    EXPECT_EQ(task_.getLumeData(), "{\"Teams\":true}\n");
    EXPECT_TRUE(log_.contains(tvxlog::debug, "QmLumeTask::setLumeDataImpl", "ComputerName to Lume: empty"));
    // A refused document keeps the previous data; an empty machine empties it.
    EXPECT_FALSE(task_.setLumeData("{}"));
    EXPECT_EQ(task_.getLumeData(), "{\"Teams\":true}\n");
    ASSERT_TRUE(task_.setLumeData("{\"machine\":{}}"));
    EXPECT_EQ(task_.getLumeData(), "");
}

TEST_F(LumeTask, SendsTheLatestDocumentOnEveryPass) {
    FakeAgent::reset("{}");
    EXPECT_FALSE(task_.sendLumeData());
    EXPECT_TRUE(log_.contains(tvxlog::error, "QmLumeTask::sendLumeData", "Nothing to send: lume data is empty"));
    ASSERT_TRUE(task_.setLumeData("{\"machine\":{\"x\":1}}"));
    EXPECT_TRUE(task_.sendLumeData());
    EXPECT_TRUE(task_.sendLumeData());
    EXPECT_EQ(FakeAgent::recorded(), (std::vector<std::string>{"sendInfo qmagent {\"x\":1}\n", "sendInfo qmagent {\"x\":1}\n"}));
    EXPECT_TRUE(log_.contains(tvxlog::debug, "QmLumeTask::sendLumeData", "Lume sendInfo('qmagent', '{\"x\":1}\n') ..."));
    EXPECT_TRUE(log_.contains(tvxlog::debug, "QmLumeTask::sendLumeData", "Lume sendInfo result: sent"));
}

TEST_F(LumeTask, ReadsTheFlagsTheAgentRequests) {
    // The agent's answer, whether it is taken and the flags afterwards.
    const std::tuple<const char*, bool, std::uint32_t> cases[] = {
        {R"({"data":{"DataRequested":["Teams","EmployeeScore"]}})", true, 3},
        {R"({"data":{"DataRequested":["teams"]}})", true, 0},
        {R"({"data":{"DataRequested":["EmployeeScore"]}})", true, 2},
        {R"({"data":"{\"DataRequested\":[\"Teams\"]}"})", true, 1},
        // A missing list replaces earlier flags with 0.
        {R"({"data":{}})", true, 0},
        {R"({"data":{"DataRequested":["Teams",7]}})", true, 1},
        {R"({"data":"not json"})", false, 1},
        {R"({"data":[1]})", false, 1},
        {R"({"nodata":1})", false, 1},
        {R"(garbage)", false, 1},
        {"", false, 1},
    };
    for (const auto& [answer, ok, flags] : cases) {
        FakeAgent::reset(answer);
        EXPECT_EQ(task_.recvLumeRequests(), ok) << answer;
        EXPECT_EQ(task_.dataRequested(), flags) << answer;
    }
    EXPECT_TRUE(log_.contains(tvxlog::info, "QmLumeTask::json2dataRequested", "Lume data requested: Teams, EmployeeScore"));
    EXPECT_TRUE(log_.contains(tvxlog::error, "QmLumeTask::recvLumeRequests", "Lume fetchConfig: returns empty response."));
    EXPECT_TRUE(log_.contains(tvxlog::error, "QmLumeTask::recvLumeRequests",
                              "Lume fetchConfig: invalid 'data' object: {\"nodata\":1}"));
    EXPECT_TRUE(log_.contains(tvxlog::debug, "QmLumeTask::recvLumeRequests", "Lume fetchConfig('qmAgent') ..."));

    // An element that cannot be text throws and the flags stay as they were.
    FakeAgent::reset(R"({"data":{"DataRequested":["Teams",{"x":1}]}})");
    EXPECT_THROW(task_.recvLumeRequests(), std::exception);
    EXPECT_EQ(task_.dataRequested(), 1u);
    FakeAgent::reset(std::nullopt);
    EXPECT_FALSE(task_.recvLumeRequests());
}

TEST_F(LumeBridge, EntryPointsFollowTheBridgeLifecycle) {
    FakeAgent::reset(R"({"data":{"DataRequested":["Teams","EmployeeScore"]}})");
    const std::string doc = R"({"machine":{"ComputerName":"VM"}})";

    // Stopped: nothing is stored, no flags.
    EXPECT_EQ(platform_setLumeData(doc.size(), doc.data()), 0u);
    lume_shutdown();
    EXPECT_TRUE(log_.contains(tvxlog::debug, "lume_shutdown", "*****  no lume thread to stop"));

    ASSERT_EQ(lume_init(), 0);
    EXPECT_EQ(lume_init(), 0);  // running already: nothing changes
    EXPECT_TRUE(log_.contains(tvxlog::debug, "lume_init", "***** Starting lume thread: Ok"));
    // The first pass (at once after start) asks the agent.
    ASSERT_TRUE(waitUntil([&] { return platform_setLumeData(doc.size(), doc.data()) == 3u; }));
    EXPECT_TRUE(log_.contains(tvxlog::info, "QmLumeTask::run", "[Lume Info Thread] Started ..."));
    EXPECT_TRUE(log_.contains(tvxlog::info, "QmLumeTask::run", "Deal with Lume is enabled, interval (ms):5000"));

    // JSON-RPC forms: an object and a text after the tag are taken, the bare tag and a number refused.
    Json::Value object(Json::objectValue);
    object["machine"]["ComputerName"] = "VM2";
    log_.lines().clear();
    for (const Json::Value& params : {object, Json::Value("SET_LUME_DATA " + doc), Json::Value("SET_LUME_DATA"),
                                      Json::Value(12)})
        EXPECT_EQ(platform_setLumeData_JsonRpc(params), 3u);
    for (const std::string name : {"VM2", "VM"})
        EXPECT_TRUE(log_.contains(tvxlog::debug, "QmLumeTask::setLumeDataImpl", "ComputerName to Lume: " + name));
    EXPECT_TRUE(log_.contains(tvxlog::error, "platform_setLumeData_JsonRpc", "invalid lume data: \"SET_LUME_DATA\""));
    EXPECT_TRUE(log_.contains(tvxlog::error, "platform_setLumeData_JsonRpc", "invalid lume data: 12"));
    EXPECT_EQ(platform_setLumeData(5, "{bad}"), 3u);
    EXPECT_TRUE(log_.contains(tvxlog::error, "platform_setLumeData", "invalid lume data: {bad}"));
    EXPECT_EQ(platform_setLumeData(0, nullptr), 3u);

    lume_shutdown();
    EXPECT_TRUE(log_.contains(tvxlog::debug, "lume_shutdown", "*****  lume thread is stopped"));
    EXPECT_EQ(platform_setLumeData(doc.size(), doc.data()), 0u);

    // A restart makes a fresh task: no flags until its first pass.
    FakeAgent::reset("{\"data\":{}}");
    ASSERT_EQ(lume_init(), 0);
    EXPECT_TRUE(waitUntil(FakeAgent::fetched));
    EXPECT_EQ(platform_setLumeData(doc.size(), doc.data()), 0u);
}

namespace {

// An agent whose fetchConfig blocks, once, until the test lets it go.
std::promise<void> agentCalled, agentReleased;
const std::shared_future<void> agentGoes = agentReleased.get_future().share();
const char* blockingFetchConfig(const char*) {
    agentCalled.set_value();
    agentGoes.wait();
    return "{}";
}

}  // namespace

TEST_F(LumeBridge, DocumentsDoNotWaitForAStopThatWaitsForTheAgent) {
    agent_.dll.fetchConfig = &blockingFetchConfig;
    ASSERT_EQ(lume_init(), 0);
    agentCalled.get_future().wait();
    std::thread stopper([] { lume_shutdown(); });
    ASSERT_TRUE(waitUntil([&] { return log_.contains(tvxlog::debug, "lume_shutdown", "***** Stopping lume thread..."); }));
    const std::string doc = R"({"machine":{}})";
    auto flags = std::async(std::launch::async, [&] { return platform_setLumeData(doc.size(), doc.data()); });
    // Bounds a hang only: the answer must not depend on the agent returning.
    const bool answered = flags.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
    agentReleased.set_value();
    stopper.join();
    EXPECT_TRUE(answered) << "a document waited for the agent's call";
    EXPECT_EQ(flags.get(), 0u);
}

// Holds a start inside its first log line, after it has set the running flag,
// until a stop has cleared the flag again and taken the bridge mutex first.
class StartHeldByStop : public tvxlog::Appender {
public:
    std::atomic<bool> entered{false};
    void write(const tvxlog::LogRecord& record) override {
        if (entered || record.message != "***** Starting lume thread...") return;
        entered = true;
        while (isLumeRunning()) std::this_thread::yield();
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
};

TEST_F(LumeBridge, AStartThatLostARaceWithAStopLeavesNoDeadBridge) {
    FakeAgent::reset("{}");
    tvxlog::resetLoggerForTests();
    auto hold = std::make_unique<StartHeldByStop>();
    StartHeldByStop& held = *hold;
    tvxlog::addAppenderForTests(std::move(hold), tvxlog::debug);
    std::thread starter([] { lume_init(); });
    ASSERT_TRUE(waitUntil([&] { return held.entered.load(); }));
    lume_shutdown();
    starter.join();
    tvxlog::resetLoggerForTests();

    // The start's thread saw the bridge stopped and ended; a new start runs it.
    ASSERT_EQ(lume_init(), 0);
    EXPECT_TRUE(waitUntil(FakeAgent::fetched));
}

namespace {

// The plug-in's channel reference: dropped and replaced by the closing thread
// while senders write.
struct ReopeningChannel final : ChannelWriter {
    std::atomic<bool> open{true};
    std::atomic<long> replies{0};
    bool hasChannel() const override { return open; }
    void write(const std::uint8_t*, std::uint32_t) override { ++replies; }
};

}  // namespace

// Requests from several threads while another closes and reopens the channel,
// restarting the engine and the bridge each time, as the plug-in does. Its
// worth is in the ThreadSanitizer run of the test command; that every request
// gets its one reply shows in the soak of the DLL under Wine.
TEST_F(LumeBridge, RequestsRaceAChannelThatClosesAndReopens) {
    FakeAgent::reset(R"({"data":{"DataRequested":["Teams"]}})");
    tvxlog::resetLoggerForTests();  // the race, not the log, is under test
    // Every reading of the clock moves it a second: passes follow each other
    // closely, so merges race the readers.
    enginetest::Engine engine(enginetest::productLikePlans(), 5000, 1'000'000, 1000);
    const auto plans = enginetest::productLikePlans();
    std::atomic<int> passes{0};
    enginetest::onPass = [&plans, &passes](int task, Json::Value& result) {
        ++passes;
        for (const auto& key : plans[static_cast<std::size_t>(task)].keys) result[key] = result.get(key, 0).asInt() + 1;
    };
    ReopeningChannel channel;
    ASSERT_EQ(platform_init(3), 0);
    ASSERT_EQ(lume_init(), 0);

    const tvxcodec::Bytes requests[] = {
        tvxcodec::getClientDataV2Request(),
        tvxcodec::setLumeDataRequest(R"({"machine":{"ComputerName":"VM7"}})"),
        tvxcodec::jsonRpcFrame(tvxcodec::jsonRpcPayload("GET_METRICS", Json::Value(), 1)),
    };
    std::atomic<bool> stop{false};
    std::vector<std::thread> senders;
    for (int t = 0; t < 3; ++t)
        senders.emplace_back([&] {
            for (std::size_t n = 0; !stop; ++n) {
                const tvxcodec::Bytes& message = requests[n % std::size(requests)];
                dispatchChannelMessage(channel, static_cast<std::uint32_t>(message.size()), message.data());
            }
        });
    for (int round = 0; round < 30; ++round) {
        channel.open = false;
        platform_shutdown();
        lume_shutdown();
        channel.open = true;
        platform_init(3);
        lume_init();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    stop = true;
    for (auto& sender : senders) sender.join();
    platform_shutdown();
    lume_shutdown();

    // The race was real: tasks merged and the bridge met the agent meanwhile.
    EXPECT_GT(passes.load(), 30);
    EXPECT_TRUE(FakeAgent::fetched());
    EXPECT_GT(channel.replies.load(), 0);
    EXPECT_FALSE(isLumeThreadPresent());
    for (std::size_t i = 0; i < plans.size(); ++i) EXPECT_TRUE(engine.task(i).hasEnded()) << plans[i].name;
}

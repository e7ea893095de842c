// Requests from several threads while another closes and reopens the channel,
// restarting the engine and the agent bridge each time, as the plug-in does.
// Its worth is in the ThreadSanitizer run of the test command.
#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "agent/lume_api.h"
#include "agent/lume_dll.h"
#include "agent/lume_task.h"
#include "codec/codec.h"
#include "native/engine_support.h"
#include "protocol/dispatcher.h"

using namespace enginetest;

namespace {

// The plug-in's channel reference: dropped and replaced by the closing thread
// while senders write. A reply is written on the thread that sent the
// request, so each sender counts its own.
thread_local tvxcodec::Bytes* lastReply = nullptr;
thread_local int replies = 0;

class ReopeningChannel final : public ChannelWriter {
public:
    void setOpen(bool open) {
        std::lock_guard<std::mutex> lock(mutex_);
        open_ = open;
    }
    bool hasChannel() const override {
        std::lock_guard<std::mutex> lock(mutex_);
        return open_;
    }
    void write(const std::uint8_t* data, std::uint32_t size) override {
        if (!hasChannel()) return;
        ++replies;
        lastReply->assign(data, data + size);
    }

private:
    mutable std::mutex mutex_;
    bool open_ = true;
};

struct Agent {
    static inline std::atomic<int> exchanges{0};
    static const char* version() { return "soak 1.0"; }
    static const char* fetchConfig(const char*) {
        ++exchanges;
        return R"({"data":{"DataRequested":["Teams"]}})";
    }
    static const char* sendInfo(const char*, const char*) { return "sent"; }
    LumeDLL dll;
    Agent() {
        dll.sdkVersion = &version;
        dll.fetchConfig = &fetchConfig;
        dll.sendInfo = &sendInfo;
    }
};

}  // namespace

TEST(EngineSoak, EveryRequestGetsOneReplyWhileTheChannelClosesAndReopens) {
    tvxtest::MemoryRegistry registry;
    Agent agent;
    setLumeSdkForTests(&agent.dll);
    // Every reading of the clock moves it a second: passes follow each other
    // closely, so merges race the readers.
    Engine engine(productLikePlans(), 5000, 1'000'000, 1000);
    const auto plans = productLikePlans();
    std::atomic<int> passes{0};
    onPass = [&plans, &passes](int task, Json::Value& result) {
        ++passes;
        for (const auto& key : plans[static_cast<std::size_t>(task)].keys) result[key] = result.get(key, 0).asInt() + 1;
    };
    ReopeningChannel channel;
    ASSERT_EQ(platform_init(3), 0);
    ASSERT_EQ(lume_init(), 0);

    const std::vector<tvxcodec::Bytes (*)(int)> requests = {
        [](int) { return tvxcodec::getClientDataV2Request(); },
        [](int) { return tvxcodec::setLumeDataRequest(R"({"machine":{"ComputerName":"VM7"}})"); },
        [](int id) { return tvxcodec::jsonRpcFrame(tvxcodec::jsonRpcPayload("GET_METRICS", Json::Value(), id)); },
    };
    // Odd while the channel is closing or reopening.
    std::atomic<unsigned> generation{0};
    std::atomic<bool> stop{false};
    std::atomic<long> answered{0}, lost{0}, doubled{0}, wrong{0};
    std::vector<std::thread> senders;
    for (int t = 0; t < 3; ++t)
        senders.emplace_back([&, t] {
            tvxcodec::Bytes reply;
            lastReply = &reply;
            for (int n = 0; !stop; ++n) {
                const int id = t * 1'000'000 + n;
                const tvxcodec::Bytes message = requests[static_cast<std::size_t>(n) % requests.size()](id);
                const unsigned before = generation;
                replies = 0;
                dispatchChannelMessage(channel, static_cast<std::uint32_t>(message.size()), message.data());
                const bool openThroughout = generation == before && before % 2 == 0;
                if (replies > 1) ++doubled;
                else if (replies == 0 && openThroughout) ++lost;
                else if (replies == 1) {
                    ++answered;
                    if (n % 3 == 2 && tvxcodec::decodeJsonRpcFrame(reply).value["id"] != Json::Value(id)) ++wrong;
                }
            }
        });
    for (int round = 0; round < 30; ++round) {
        ++generation;
        channel.setOpen(false);
        platform_shutdown();
        lume_shutdown();
        channel.setOpen(true);
        platform_init(3);
        lume_init();
        ++generation;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    stop = true;
    for (auto& sender : senders) sender.join();
    platform_shutdown();
    lume_shutdown();
    setLumeSdkForTests(nullptr);

    // The race was real: tasks merged and the bridge met the agent meanwhile.
    EXPECT_GT(passes.load(), 30);
    EXPECT_GT(Agent::exchanges.load(), 0);
    EXPECT_GT(answered.load(), 0);
    EXPECT_EQ(lost.load(), 0) << "a request lost its reply while the channel was open";
    EXPECT_EQ(doubled.load(), 0);
    EXPECT_EQ(wrong.load(), 0) << "a reply answered another request";
    EXPECT_FALSE(isLumeThreadPresent());
    for (std::size_t i = 0; i < plans.size(); ++i) EXPECT_TRUE(engine.task(i).hasEnded()) << plans[i].name;
}

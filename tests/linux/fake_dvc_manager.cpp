// Drives libqmlink-dvc-client.so as FreeRDP 2's channel manager does: dlopen,
// DVCPluginEntry with entry points of our own, Initialize, channels opened,
// messages as wStreams, OnClose and Terminated in FreeRDP's order. Replies
// are compared byte for byte with what the core linked here answers for the
// same metrics. Runs in a network namespace of its own (the engine runs).
#include <dlfcn.h>

#include <freerdp/dvc.h>
#include <winpr/stream.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/protocol_test_support.h"
#include "common/test_support.h"
#include "codec/codec.h"
#include "platform/metric_store.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using tvxcodec::jsonRpcFrame;

struct FakeChannel {
    IWTSVirtualChannel iface{};
    std::vector<Bytes> writes;
    bool emptyWrite = false;  // FreeRDP 2 closes the channel on a write of 0 bytes
    IWTSVirtualChannelCallback* callback = nullptr;
};

struct FakeManager {
    IWTSVirtualChannelManager iface{};
    IWTSListenerCallback* listener = nullptr;
    std::string listenedName;
};

struct FakeEntryPoints {
    IDRDYNVC_ENTRY_POINTS iface{};
    IWTSPlugin* plugin = nullptr;
    int registered = 0;
};

std::size_t threadCount() {
    const std::filesystem::directory_iterator tasks("/proc/self/task");
    return static_cast<std::size_t>(std::distance(begin(tasks), end(tasks)));
}

// One connection of the client: its own manager and plug-in instance.
class Session {
public:
    explicit Session(PDVC_PLUGIN_ENTRY entry) {
        entryPoints_.iface.RegisterPlugin = [](IDRDYNVC_ENTRY_POINTS* ep, const char* name, IWTSPlugin* plugin) {
            auto* fake = reinterpret_cast<FakeEntryPoints*>(ep);
            fake->plugin = std::string(name) == "qmlink-dvc" ? plugin : nullptr;
            return static_cast<UINT>(fake->registered++ == 0 ? CHANNEL_RC_OK : ERROR_INTERNAL_ERROR);
        };
        entryPoints_.iface.GetPlugin = [](IDRDYNVC_ENTRY_POINTS* ep, const char*) {
            return reinterpret_cast<FakeEntryPoints*>(ep)->plugin;
        };
        manager_.iface.CreateListener = [](IWTSVirtualChannelManager* mgr, const char* name, ULONG,
                                           IWTSListenerCallback* callback, IWTSListener** listener) {
            reinterpret_cast<FakeManager*>(mgr)->listener = callback;
            reinterpret_cast<FakeManager*>(mgr)->listenedName = name;
            *listener = nullptr;
            return UINT{CHANNEL_RC_OK};
        };
        EXPECT_EQ(entry(&entryPoints_.iface), CHANNEL_RC_OK);
        // FreeRDP may call the entry twice for one connection: still one plug-in.
        EXPECT_EQ(entry(&entryPoints_.iface), CHANNEL_RC_OK);
        plugin_ = entryPoints_.plugin;
        EXPECT_EQ(plugin_->Initialize(plugin_, &manager_.iface), CHANNEL_RC_OK);
        EXPECT_EQ(manager_.listenedName, "qmlink-dvc");
    }

    FakeChannel* open() {
        auto channel = std::make_unique<FakeChannel>();
        channel->iface.Write = [](IWTSVirtualChannel* c, ULONG cbSize, const BYTE* pBuffer, void*) {
            auto* fake = reinterpret_cast<FakeChannel*>(c);
            fake->emptyWrite |= cbSize == 0;
            fake->writes.emplace_back(pBuffer, pBuffer + cbSize);
            return UINT{CHANNEL_RC_OK};
        };
        BOOL accept = FALSE;
        manager_.listener->OnNewChannelConnection(manager_.listener, &channel->iface, nullptr, &accept, &channel->callback);
        EXPECT_TRUE(accept);
        if (channel->callback->OnOpen) channel->callback->OnOpen(channel->callback);
        channels_.push_back(std::move(channel));
        return channels_.back().get();
    }

    static Bytes ask(FakeChannel* channel, Bytes message) {
        wStream s{};
        s.buffer = s.pointer = message.data();
        s.length = s.capacity = message.size();
        const std::size_t before = channel->writes.size();
        channel->callback->OnDataReceived(channel->callback, &s);
        EXPECT_FALSE(channel->emptyWrite);
        EXPECT_LE(channel->writes.size(), before + 1);
        return channel->writes.size() > before ? channel->writes.back() : Bytes{};
    }

    static void close(FakeChannel* channel) { channel->callback->OnClose(channel->callback); }
    void terminate() { plugin_->Terminated(plugin_); }

private:
    FakeEntryPoints entryPoints_;
    FakeManager manager_;
    IWTSPlugin* plugin_ = nullptr;
    std::vector<std::unique_ptr<FakeChannel>> channels_;
};

Bytes text(const char* kind) { return Bytes(kind, kind + std::strlen(kind) + 1); }

class FakeManagerTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        const char* path = std::getenv("TVX_ADDIN");
        ASSERT_NE(path, nullptr) << "TVX_ADDIN names the library";
        void* library = dlopen(path, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(library, nullptr) << dlerror();
        entry_ = reinterpret_cast<PDVC_PLUGIN_ENTRY>(dlsym(library, "DVCPluginEntry"));
        ASSERT_NE(entry_, nullptr);
    }
    void SetUp() override {
        baseThreads_ = threadCount();
        initMetricStore();
    }

    // What the core linked here writes for a message, with the same metrics.
    static Bytes expected(const Json::Value& metrics, const Bytes& message) {
        { std::lock_guard<std::mutex> lock(metricsSnapshotMutex); metricsSnapshot = metrics; }
        tvxtest::RecordingChannel channel;
        dispatchChannelMessage(channel, static_cast<std::uint32_t>(message.size()), message.data());
        return channel.writes.empty() ? Bytes{} : channel.writes.back();
    }

    static Json::Value metrics(FakeChannel* channel) {
        Json::Value result = tvxcodec::decodeJsonRpcFrame(Session::ask(channel, getMetrics())).value["result"];
        result.removeMember("serverRoundtripMs");
        return result;
    }
    static Bytes getMetrics() { return jsonRpcFrame(tvxcodec::jsonRpcPayload("GET_METRICS", {}, 4)); }

    // A reply that depends on collected values, taken between two equal
    // metric sets so a pass publishing in between cannot make it differ.
    static void expectSameAnswer(FakeChannel* channel, const Bytes& message) {
        for (int attempt = 0; attempt < 50; ++attempt) {
            const Json::Value before = metrics(channel);
            const Bytes reply = Session::ask(channel, message);
            if (metrics(channel) != before) continue;
            EXPECT_EQ(tvxcodec::hex(reply), tvxcodec::hex(expected(before, message)));
            return;
        }
        ADD_FAILURE() << "the metrics never held still";
    }

    bool engineRunning() const { return threadCount() > baseThreads_; }

    static PDVC_PLUGIN_ENTRY entry_;
    std::size_t baseThreads_ = 0;
};

PDVC_PLUGIN_ENTRY FakeManagerTest::entry_ = nullptr;

TEST_F(FakeManagerTest, EveryKindIsAnsweredAsTheDllAnswers) {
    Session session(entry_);
    EXPECT_FALSE(engineRunning());
    FakeChannel* channel = session.open();
    EXPECT_TRUE(engineRunning());

    EXPECT_EQ(tvxcodec::hex(Session::ask(channel, text("PING"))), "50 49 4E 47 00 02 00 00 00");
    // No agent on this machine: the bridge reports no data wanted.
    EXPECT_EQ(tvxcodec::hex(Session::ask(channel, tvxcodec::setLumeDataRequest("{\"a\":1}"))),
              tvxcodec::hex(text("SET_LUME_DATA")) + " 00 00");
    // Unknown kinds and rejected frames get no reply, and never an empty write.
    for (const Bytes& silent : {text("ping"), Bytes{}, Bytes{'P', 'R', 'O', 'T', 'O'}, text("GET_CLIENT_DATA_V3")})
        EXPECT_TRUE(Session::ask(channel, silent).empty());

    for (const Bytes& message : {text("GET_CLIENT_DATA"), text("GET_CLIENT_DATA_V2"), getMetrics(),
                                 jsonRpcFrame(R"({"id":9,"method":"PING","serverRoundtripMs":12})"),
                                 jsonRpcFrame(R"({"id":1,"method":"nope"})")})
        expectSameAnswer(channel, message);

    // The collected facts arrived: the engine ran inside the library.
    Json::Value facts = metrics(channel);
    for (int i = 0; i < 200 && facts["osName"].asString().empty(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        facts = metrics(channel);
    }
    EXPECT_EQ(facts["client_version"].asString(), TVX_VERSION_TEXT);
    EXPECT_NE(facts["osName"].asString(), "");

    Session::close(channel);
    // A name resolution that the stop left behind ends on its own, soon after.
    EXPECT_TRUE(tvxtest::waitUntil([&] { return !engineRunning(); }));
    session.terminate();
}

TEST_F(FakeManagerTest, TwoSessionsCloseInEitherOrder) {
    for (bool firstClosesFirst : {true, false}) {
        Session first(entry_), second(entry_);
        FakeChannel* a = first.open();
        FakeChannel* b = second.open();
        EXPECT_TRUE(engineRunning());
        // Replies go to the channel that asked.
        Session::ask(b, text("PING"));
        EXPECT_TRUE(a->writes.empty());
        EXPECT_EQ(b->writes.size(), 1u);

        Session::close(firstClosesFirst ? a : b);
        EXPECT_TRUE(engineRunning()) << "one channel is still open";
        EXPECT_EQ(Session::ask(firstClosesFirst ? b : a, text("PING")).size(), 9u);
        Session::close(firstClosesFirst ? b : a);
        EXPECT_FALSE(engineRunning());
        first.terminate();
        second.terminate();
    }
}

TEST_F(FakeManagerTest, TerminatedWithAChannelOpenStopsOnlyItsOwn) {
    Session other(entry_);
    FakeChannel* kept = other.open();
    {
        Session ending(entry_);
        FakeChannel* open = ending.open();
        // FreeRDP ends a session with Terminated, then closes what is open.
        ending.terminate();
        EXPECT_TRUE(engineRunning()) << "the other session's channel is open";
        Session::close(open);
        EXPECT_TRUE(engineRunning());
    }
    EXPECT_EQ(Session::ask(kept, text("PING")).size(), 9u);
    other.terminate();
    EXPECT_FALSE(engineRunning());
    Session::close(kept);
    EXPECT_FALSE(engineRunning());
}

}  // namespace

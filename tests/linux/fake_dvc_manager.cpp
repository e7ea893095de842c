// Drives libqmlink-dvc-client.so as FreeRDP 2's channel manager does: dlopen,
// DVCPluginEntry with entry points of our own, Initialize, channels opened,
// messages as wStreams, OnClose and Terminated in FreeRDP's order. Replies
// are compared byte for byte with what the core linked here answers for the
// same metrics. Runs in a network namespace of its own (the engine runs).
#include <dirent.h>
#include <dlfcn.h>

#include <freerdp/dvc.h>
#include <winpr/stream.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/protocol_test_support.h"
#include "codec/codec.h"
#include "platform/metric_store.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using tvxcodec::jsonRpcFrame;

struct FakeChannel {
    IWTSVirtualChannel iface{};
    std::vector<Bytes> writes;
    bool emptyWrite = false;
    IWTSVirtualChannelCallback* callback = nullptr;
};

UINT writeChannel(IWTSVirtualChannel* channel, ULONG cbSize, const BYTE* pBuffer, void*) {
    auto* fake = reinterpret_cast<FakeChannel*>(channel);
    // FreeRDP 2 closes the channel on a write of 0 bytes.
    if (cbSize == 0) fake->emptyWrite = true;
    fake->writes.emplace_back(pBuffer, pBuffer + cbSize);
    return CHANNEL_RC_OK;
}

struct FakeManager {
    IWTSVirtualChannelManager iface{};
    IWTSListenerCallback* listener = nullptr;
    std::string listenedName;
};

UINT createListener(IWTSVirtualChannelManager* mgr, const char* name, ULONG, IWTSListenerCallback* callback,
                    IWTSListener** listener) {
    auto* fake = reinterpret_cast<FakeManager*>(mgr);
    fake->listener = callback;
    fake->listenedName = name;
    if (listener) *listener = nullptr;
    return CHANNEL_RC_OK;
}

struct FakeEntryPoints {
    IDRDYNVC_ENTRY_POINTS iface{};
    std::map<std::string, IWTSPlugin*> plugins;
};

UINT registerPlugin(IDRDYNVC_ENTRY_POINTS* ep, const char* name, IWTSPlugin* plugin) {
    reinterpret_cast<FakeEntryPoints*>(ep)->plugins[name] = plugin;
    return CHANNEL_RC_OK;
}

IWTSPlugin* getPlugin(IDRDYNVC_ENTRY_POINTS* ep, const char* name) {
    auto& plugins = reinterpret_cast<FakeEntryPoints*>(ep)->plugins;
    auto it = plugins.find(name);
    return it == plugins.end() ? nullptr : it->second;
}

std::size_t threadCount() {
    std::size_t n = 0;
    if (DIR* dir = opendir("/proc/self/task")) {
        while (dirent* e = readdir(dir))
            if (e->d_name[0] != '.') ++n;
        closedir(dir);
    }
    return n;
}

// One connection of the client: its own manager and plug-in instance.
class Session {
public:
    explicit Session(PDVC_PLUGIN_ENTRY entry) {
        entryPoints_.iface.RegisterPlugin = registerPlugin;
        entryPoints_.iface.GetPlugin = getPlugin;
        manager_.iface.CreateListener = createListener;
        EXPECT_EQ(entry(&entryPoints_.iface), CHANNEL_RC_OK);
        // FreeRDP may call the entry twice for one connection: still one plug-in.
        EXPECT_EQ(entry(&entryPoints_.iface), CHANNEL_RC_OK);
        EXPECT_EQ(entryPoints_.plugins.size(), 1u);
        plugin_ = getPlugin(&entryPoints_.iface, "qmlink-dvc");
        EXPECT_NE(plugin_, nullptr);
        EXPECT_EQ(plugin_->Initialize(plugin_, &manager_.iface), CHANNEL_RC_OK);
        EXPECT_EQ(manager_.listenedName, "qmlink-dvc");
    }

    FakeChannel* open() {
        auto channel = std::make_unique<FakeChannel>();
        channel->iface.Write = writeChannel;
        BOOL accept = FALSE;
        EXPECT_EQ(manager_.listener->OnNewChannelConnection(manager_.listener, &channel->iface, nullptr, &accept,
                                                            &channel->callback),
                  CHANNEL_RC_OK);
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
        library_ = dlopen(path, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(library_, nullptr) << dlerror();
        entry_ = reinterpret_cast<PDVC_PLUGIN_ENTRY>(dlsym(library_, "DVCPluginEntry"));
        ASSERT_NE(entry_, nullptr);
        // The core stays inside: none of its entry points is visible.
        EXPECT_EQ(dlsym(library_, "platform_init"), nullptr);
        EXPECT_EQ(dlsym(library_, "platform_getMetricsJson"), nullptr);
    }
    void SetUp() override {
        baseThreads_ = threadCount();
        initMetricStore();
    }

    // What the core linked here writes for a message, with the same metrics.
    static Bytes expected(const Json::Value& metrics, const Bytes& message) {
        {
            std::lock_guard<std::mutex> lock(metricsSnapshotMutex);
            metricsSnapshot = metrics;
        }
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

    static void* library_;
    static PDVC_PLUGIN_ENTRY entry_;
    std::size_t baseThreads_ = 0;
};

void* FakeManagerTest::library_ = nullptr;
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
    EXPECT_FALSE(engineRunning());
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
        FakeChannel* second = ending.open();
        // FreeRDP ends a session with Terminated, then closes what is open.
        ending.terminate();
        EXPECT_TRUE(engineRunning()) << "the other session's channel is open";
        Session::close(open);
        Session::close(second);
        EXPECT_TRUE(engineRunning());
    }
    EXPECT_EQ(Session::ask(kept, text("PING")).size(), 9u);
    other.terminate();
    EXPECT_FALSE(engineRunning());
    Session::close(kept);
    EXPECT_FALSE(engineRunning());

    // A new session after all that starts the engine again.
    Session again(entry_);
    FakeChannel* channel = again.open();
    EXPECT_TRUE(engineRunning());
    again.terminate();
    Session::close(channel);
    EXPECT_FALSE(engineRunning());
}

}  // namespace

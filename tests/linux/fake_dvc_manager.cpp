// Drives libqmlink-dvc-client.so as FreeRDP 2's channel manager does: dlopen,
// DVCPluginEntry with entry points of our own, Initialize, channels opened,
// messages as wStreams, OnClose and Terminated in FreeRDP's order. Replies
// are compared byte for byte with what the core linked here answers for the
// same metrics. Runs in a network namespace of its own (the engine runs).
#include "common/protocol_test_support.h"
#include "common/test_support.h"
#include "linux/fake_dvc_session.h"
#include "platform/metric_store.h"

namespace {

using namespace fakedvc;
using tvxcodec::jsonRpcFrame;

class FakeManagerTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        entry_ = loadAddin();
        ASSERT_NE(entry_, nullptr) << "TVX_ADDIN must name the library";
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
    Json::Value facts;
    EXPECT_TRUE(tvxtest::waitUntil([&] { return !(facts = metrics(channel))["osName"].asString().empty(); }));
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

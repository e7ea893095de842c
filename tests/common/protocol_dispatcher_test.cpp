// The channel message dispatcher: which kind a message is, the exact reply
// bytes, and the log lines around the write.
#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>

#include "codec/codec.h"
#include "agent/lume_api.h"
#include "common/protocol_test_support.h"

using tvxtest::Bytes;
using tvxtest::bytesOf;
using tvxtest::dispatch;
using tvxtest::LogCapture;
using tvxtest::RecordingChannel;

namespace {

const std::string kFn = "DOZAPlugin::OnDataReceived";
const std::string kUnexpected = "RDP OnDataReceived: unexpected msg type received";
const std::string kJsonRpcFailed = "'PROTOCOL_JSON_RPC' request failed.";

Bytes withNul(std::string_view text) {
    Bytes out = bytesOf(text);
    out.push_back(0);
    return out;
}

class DispatcherTest : public tvxtest::SnapshotTest {};

TEST_F(DispatcherTest, PingRepliesLevelTwoWhateverFollowsTheNul) {
    for (const Bytes& message : {withNul("PING"), bytesOf(std::string_view("PING\0GET_CLIENT_DATA\0xyz", 24))}) {
        LogCapture log;
        RecordingChannel channel;
        std::size_t linesAtWrite = 0;
        channel.onWrite = [&] { linesAtWrite = log.count(); };
        dispatch(channel, message);

        ASSERT_EQ(channel.writes.size(), 1u);
        EXPECT_EQ(tvxcodec::hex(channel.writes[0]), "50 49 4E 47 00 02 00 00 00");

        // The first line names the size and the text up to the NUL; the WRITE
        // line comes after the write.
        const auto lines = log.lines().lines();
        ASSERT_EQ(lines.size(), 2u);
        EXPECT_EQ(lines[0].severity, tvxlog::debug);
        EXPECT_EQ(lines[0].function, kFn);
        EXPECT_EQ(lines[0].message, "RDP OnDataReceived: [" + std::to_string(message.size()) + "] PING");
        EXPECT_EQ(linesAtWrite, 1u);
        EXPECT_TRUE(log.contains(tvxlog::debug, kFn, "RDP OnDataReceived, WRITE PING: [9]"));
    }
}

TEST_F(DispatcherTest, UnknownKindsGetNoReplyAndOneErrorLine) {
    const Bytes unknown[] = {
        withNul("ping"),                      // kinds are case-sensitive
        withNul("PIN"),
        withNul("GET_CLIENT_DATA_V3"),
        withNul("GET_CLIENT"),
        withNul(""),                          // a lone NUL
        bytesOf("PING"),                      // no NUL within the bytes received
        bytesOf("GET_CLIENT_DATA_V2"),
        bytesOf("SET_LUME_DATA"),
        withNul("PROTOCOL_JSON_RPCX"),        // the tag's 18th byte is not NUL
        withNul("PROTOCOL_JSON_RPC_"),
        withNul("SET_LUME_DATA "),
        withNul(" PING"),
    };
    for (const Bytes& message : unknown) {
        SCOPED_TRACE(tvxcodec::hex(message));
        LogCapture log;
        RecordingChannel channel;
        dispatch(channel, message);
        EXPECT_TRUE(channel.writes.empty());
        EXPECT_TRUE(log.contains(tvxlog::error, kFn, kUnexpected));
        ASSERT_EQ(log.count(), 2u);
        // The first line's text stops at the NUL or at the last byte received.
        const std::string text(message.begin(), std::find(message.begin(), message.end(), 0));
        EXPECT_EQ(log.lines().lines()[0].message,
                  "RDP OnDataReceived: [" + std::to_string(message.size()) + "] " + text);
    }
}

TEST_F(DispatcherTest, ShortAndEmptyMessagesFallUnderTheJsonRpcRule) {
    struct Case {
        Bytes message;
        std::size_t length;
    };
    const Case cases[] = {
        {Bytes{}, 0},
        {bytesOf("PROTO"), 5},
        {bytesOf("PROTOCOL_JSON_RPC"), 17},
        {withNul("PROTOCOL_JSON_RPC"), 18},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.length);
        LogCapture log;
        RecordingChannel channel;
        dispatch(channel, c.message);
        EXPECT_TRUE(channel.writes.empty());
        EXPECT_TRUE(log.contains(tvxlog::error, kFn, kJsonRpcFailed));
        EXPECT_FALSE(log.contains(tvxlog::error, kFn, kUnexpected));
        // The empty message stops at the entry point without a reason; the
        // others are refused as frames by the service.
        EXPECT_EQ(log.contains(tvxlog::error, "`anonymous-namespace'::process_request",
                               "json-rpc request: invalid binary data length [" + std::to_string(c.length) + "]"),
                  c.length != 0);
    }
}

TEST_F(DispatcherTest, JsonRpcPingFrameIsAnsweredWith122Bytes) {
    LogCapture log;
    RecordingChannel channel;
    dispatch(channel, tvxcodec::jsonRpcFrame(R"({"method":"PING","id":7})"));
    ASSERT_EQ(channel.writes.size(), 1u);
    const Bytes& reply = channel.writes[0];
    EXPECT_EQ(reply.size(), 122u);
    const auto decoded = tvxcodec::decodeJsonRpcFrame(reply);
    EXPECT_EQ(decoded.text, "{\"id\":7,\"result\":{\"protocol\":3,\"serverRoundtripMs\":null}}\n");
    EXPECT_FALSE(log.contains(tvxlog::error, kFn, kJsonRpcFailed));
}

TEST_F(DispatcherTest, SetLumeDataRepliesWithTheFlagsOfAStoppedBridge) {
    lume_shutdown();
    for (const Bytes& message : {withNul("SET_LUME_DATA"), tvxcodec::setLumeDataRequest(R"({"a":1})")}) {
        LogCapture log;
        RecordingChannel channel;
        dispatch(channel, message);
        ASSERT_EQ(channel.writes.size(), 1u);
        EXPECT_EQ(tvxcodec::hex(channel.writes[0]),
                  "53 45 54 5F 4C 55 4D 45 5F 44 41 54 41 00 00 00");
        EXPECT_EQ(tvxcodec::decodeSetLumeDataReply(channel.writes[0]), 0);
        EXPECT_EQ(log.count(), 1u);  // only the first line
    }
}

TEST_F(DispatcherTest, ClientDataRepliesCarryTheSnapshot) {
    setMetric("userName", "alice");
    setMetric("roundtripMs", 17);
    setMetric("isp_name", "Example ISP");
    setMetric("cpu_usage", 12);

    LogCapture log;
    RecordingChannel channel;
    dispatch(channel, tvxcodec::getClientDataRequest());
    dispatch(channel, tvxcodec::getClientDataV2Request());
    ASSERT_EQ(channel.writes.size(), 2u);

    // Version 1 is the bare record: its first bytes are serverRoundtripMs.
    ASSERT_EQ(channel.writes[0].size(), 4144u);
    EXPECT_EQ(tvxcodec::hex({channel.writes[0].data(), 4}), "FF FF FF FF");
    const Json::Value v1 = tvxcodec::decodeClientData(channel.writes[0]);
    EXPECT_EQ(v1["userName"], "alice");
    EXPECT_EQ(v1["roundtripMs"], 17);

    ASSERT_EQ(channel.writes[1].size(), 1095u);
    const Json::Value v2 = tvxcodec::decodeClientDataV2Reply(channel.writes[1]);
    EXPECT_EQ(v2["isp_name"], "Example ISP");
    EXPECT_EQ(v2["cpu_usage"], 12);

    EXPECT_TRUE(log.contains(tvxlog::debug, kFn, "RDP OnDataReceived, WRITE V1: [4144]"));
    EXPECT_TRUE(log.contains(tvxlog::debug, kFn, "RDP OnDataReceived, WRITE V2: [1095]"));
    EXPECT_TRUE(log.contains(tvxlog::debug, kFn, "RDP OnDataReceived: [19] GET_CLIENT_DATA_V2"));
}

TEST_F(DispatcherTest, WithoutAChannelNothingIsWrittenButEveryKindLogs) {
    LogCapture log;
    RecordingChannel channel(false);
    dispatch(channel, tvxcodec::pingRequest());
    dispatch(channel, tvxcodec::getClientDataRequest());
    dispatch(channel, tvxcodec::getClientDataV2Request());
    dispatch(channel, tvxcodec::setLumeDataRequest(""));
    dispatch(channel, tvxcodec::jsonRpcFrame(R"({"method":"PING"})"));
    EXPECT_TRUE(channel.writes.empty());
    EXPECT_TRUE(log.contains(tvxlog::debug, kFn, "RDP OnDataReceived, WRITE PING: [9]"));
    EXPECT_TRUE(log.contains(tvxlog::debug, kFn, "RDP OnDataReceived, WRITE V1: [4144]"));
    EXPECT_TRUE(log.contains(tvxlog::debug, kFn, "RDP OnDataReceived, WRITE V2: [1095]"));
    // The request was still processed, only not written.
    EXPECT_TRUE(log.contains(tvxlog::debug, "`anonymous-namespace'::process_request",
                             "json-rpc response: {\"result\":{\"protocol\":3,\"serverRoundtripMs\":null}}\n"));
    EXPECT_FALSE(log.contains(tvxlog::error, kFn, kJsonRpcFailed));
    for (const auto& line : log.lines().lines()) EXPECT_NE(line.severity, tvxlog::error) << line.message;
}

TEST_F(DispatcherTest, AFailingWriteStaysInside) {
    class ThrowingChannel : public ChannelWriter {
    public:
        bool hasChannel() const override { return true; }
        void write(const std::uint8_t*, std::uint32_t) override { throw std::runtime_error("channel gone"); }
    } channel;
    LogCapture log;
    for (const Bytes& message : {tvxcodec::pingRequest(), tvxcodec::jsonRpcFrame(R"({"method":"PING"})")}) {
        EXPECT_NO_THROW(dispatch(channel, message));
    }
    EXPECT_TRUE(log.contains(tvxlog::error, kFn, "RDP OnDataReceived exception: channel gone"));
}

}  // namespace

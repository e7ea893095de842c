// The JSON-RPC service and its methods: frame checks, every error code and
// text, batches, partial parses and the echoed "serverRoundtripMs".
#include <gtest/gtest.h>

#include <optional>

#include "codec/codec.h"
#include "agent/lume_api.h"
#include "common/protocol_test_support.h"
#include "protocol/jsonrpc.h"

using tvxtest::Bytes;
using tvxtest::LogCapture;

namespace {

const std::string kFn = "`anonymous-namespace'::process_request";

// The response frame for a request frame, or nothing.
std::optional<Bytes> process(const Bytes& frame) {
    Bytes exact(frame.begin(), frame.end());
    exact.shrink_to_fit();
    JsonRpcBuffer* buffer = platform_processJsonRpc(exact.data(), exact.size());
    if (!buffer) return std::nullopt;
    Bytes out(buffer->data, buffer->data + buffer->length);
    EXPECT_EQ(freeJsonRpcBuffer(buffer), 0);
    return out;
}

// The response to a payload; the frame must be well formed.
tvxcodec::JsonRpcReply reply(std::string_view payload) {
    const auto frame = process(tvxcodec::jsonRpcFrame(payload));
    if (frame) return tvxcodec::decodeJsonRpcFrame(*frame);
    ADD_FAILURE() << "no answer to " << payload;
    return {};
}
std::string answer(std::string_view payload) { return reply(payload).text; }
Json::Value answerValue(std::string_view payload) { return reply(payload).value; }

class JsonRpcTest : public tvxtest::SnapshotTest {};

TEST_F(JsonRpcTest, PingFrameIsTheWorkedExample) {
    LogCapture log;
    const auto frame = process(tvxcodec::jsonRpcFrame(R"({"method":"PING","id":7})"));
    ASSERT_TRUE(frame);
    ASSERT_EQ(frame->size(), 122u);
    // Tag, zero bytes to offset 59, then n = 58 little-endian.
    EXPECT_EQ(tvxcodec::hex({frame->data(), 64}),
              "50 52 4F 54 4F 43 4F 4C 5F 4A 53 4F 4E 5F 52 50 43 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 "
              "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 3A 00 00 00");
    EXPECT_EQ(std::string(frame->begin() + 64, frame->end()),
              "{\"id\":7,\"result\":{\"protocol\":3,\"serverRoundtripMs\":null}}\n");
    EXPECT_TRUE(log.contains(tvxlog::debug, kFn, R"(json-rpc request: {"method":"PING","id":7})"));
    EXPECT_TRUE(log.contains(tvxlog::debug, kFn,
                             "json-rpc response: {\"id\":7,\"result\":{\"protocol\":3,\"serverRoundtripMs\":null}}\n"));
}

TEST_F(JsonRpcTest, MalformedFramesGetNoAnswer) {
    struct Case {
        const char* name;
        Bytes frame;
        std::string line;
    };
    Bytes wrongTag = tvxcodec::jsonRpcFrame("{}");
    wrongTag[16] = 'X';
    Bytes noNulInTag = tvxcodec::jsonRpcFrame("{}");
    for (std::size_t i = 17; i < 32; ++i) noNulInTag[i] = 'A';
    Bytes tooLong = tvxcodec::jsonRpcFrame("0123456789");
    tooLong.push_back('X');  // length field 10, 11 payload bytes
    Bytes hugeLength = tvxcodec::jsonRpcFrame("{}");
    for (std::size_t i = 60; i < 64; ++i) hugeLength[i] = 0xFF;
    Bytes shortFrame = tvxcodec::jsonRpcFrame("");
    shortFrame.pop_back();
    // Bytes after the tag's NUL and the reserved field are not examined.
    Bytes noisyHeader = tvxcodec::jsonRpcFrame(R"({"method":"PING"})");
    for (std::size_t i = 18; i < 60; ++i) noisyHeader[i] = 0x5A;

    const Case cases[] = {
        {"63 bytes", shortFrame, "json-rpc request: invalid binary data length [63]"},
        {"wrong tag", wrongTag, "json-rpc request: invalid binary header: 'PROTOCOL_JSON_RPX'"},
        {"tag without NUL", noNulInTag,
         "json-rpc request: invalid binary header: 'PROTOCOL_JSON_RPCAAAAAAAAAAAAAAA'"},
        {"length mismatch", tooLong, "json-rpc request: invalid binary data length [75]"},
        {"length overflow", hugeLength, "json-rpc request: invalid binary data length [66]"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LogCapture log;
        EXPECT_FALSE(process(c.frame).has_value());
        EXPECT_TRUE(log.contains(tvxlog::error, kFn, c.line));
    }
    EXPECT_TRUE(process(noisyHeader).has_value());

    LogCapture log;
    const std::uint8_t one = 'P';
    EXPECT_EQ(platform_processJsonRpc(nullptr, 64), nullptr);
    EXPECT_EQ(platform_processJsonRpc(&one, 0), nullptr);
    EXPECT_EQ(log.count(), 0u);
    EXPECT_EQ(freeJsonRpcBuffer(nullptr), 0);
}

TEST_F(JsonRpcTest, CommentsAreReadPastAndNeverEchoed) {
    EXPECT_EQ(answer("/* a */{\"id\":7, // b\n\"method\":\"PING\"} // c"),
              "{\"id\":7,\"result\":{\"protocol\":3,\"serverRoundtripMs\":null}}\n");
    EXPECT_EQ(answer(R"({"id":3 /* c */,"method":)"),
              "{\"error\":{\"code\":-32700,\"msg\":\"json-rpc request parse error: * Line 1, Column 26\\n"
              "  Syntax error: value, object or array expected.\\n\"},\"id\":3}\n");
}

TEST_F(JsonRpcTest, ParseErrorsCarryTheReadersReport) {
    // Empty payload: an object holding only the error.
    EXPECT_EQ(answer(""),
              "{\"error\":{\"code\":-32700,\"msg\":\"json-rpc request parse error: * Line 1, Column 1\\n"
              "  Syntax error: value, object or array expected.\\n\"}}\n");
    // Broken off inside an array: what was read is dropped.
    EXPECT_EQ(answer(R"([{"method":"PING"})"),
              "{\"error\":{\"code\":-32700,\"msg\":\"json-rpc request parse error: * Line 1, Column 19\\n"
              "  Missing ',' or ']' in array declaration\\n\"}}\n");
    // Broken off inside an object: members read so far stay, but "method"
    // and "params" go.
    EXPECT_EQ(answer(R"({"id":3,"method":)"),
              "{\"error\":{\"code\":-32700,\"msg\":\"json-rpc request parse error: * Line 1, Column 18\\n"
              "  Syntax error: value, object or array expected.\\n\"},\"id\":3}\n");
    const Json::Value partial = answerValue(R"({"jsonrpc":"2.0","params":{"a":1},"method":"PING","x":)");
    EXPECT_EQ(partial["jsonrpc"], "2.0");
    EXPECT_FALSE(partial.isMember("params"));
    EXPECT_FALSE(partial.isMember("method"));
    EXPECT_EQ(partial["error"]["code"], -32700);
}

TEST_F(JsonRpcTest, RequestShapeErrors) {
    EXPECT_EQ(answer(R"("PING")"),
              "{\"error\":{\"code\":-32600,\"msg\":\"json-rpc request should be json object or json array.\"}}\n");
    for (const char* payload : {"5", "null", "true"})
        EXPECT_EQ(answerValue(payload)["error"]["code"], -32600) << payload;
    EXPECT_EQ(answer(R"({"id":1,"method":5,"params":{},"x":"y"})"),
              "{\"error\":{\"code\":-32600,\"msg\":\"json-rpc request must contain 'method' member.\"},\"id\":1,"
              "\"x\":\"y\"}\n");
    EXPECT_EQ(answerValue(R"({"id":1})")["error"]["msg"], "json-rpc request must contain 'method' member.");
    EXPECT_EQ(answer(R"({"id":8,"method":"GET_CLIENT_DATA"})"),
              "{\"error\":{\"code\":-32601,\"msg\":\"method handler not found: 'GET_CLIENT_DATA'.\"},\"id\":8}\n");
    for (const char* name : {"ping", "Ping", "get_metrics", "Set_Lume_Data"}) {
        const Json::Value reply = answerValue(tvxcodec::jsonRpcPayload(name));
        EXPECT_EQ(reply["error"]["code"], -32601) << name;
        EXPECT_EQ(reply["error"]["msg"], std::string("method handler not found: '") + name + "'.");
    }
}

TEST_F(JsonRpcTest, BatchesAnswerEachElementInOrder) {
    EXPECT_EQ(answer("[]"), "[]\n");
    EXPECT_EQ(answer(R"([1,{"method":"PING"}])"),
              "[{\"error\":{\"code\":-32600,\"msg\":\"json-rpc request must be json object.\"}},"
              "{\"result\":{\"protocol\":3,\"serverRoundtripMs\":null}}]\n");
    const Json::Value mixed =
        answerValue(R"([{"id":1,"method":"nope"},{"id":2,"method":"PING","params":[]},{"id":3,"method":"PING"}])");
    ASSERT_EQ(mixed.size(), 3u);
    EXPECT_EQ(mixed[0]["error"]["code"], -32601);
    EXPECT_EQ(mixed[1]["error"]["code"], -32693);
    EXPECT_EQ(mixed[2]["result"]["protocol"], 3);
    for (Json::ArrayIndex i = 0; i < 3; ++i) EXPECT_EQ(mixed[i]["id"], static_cast<int>(i) + 1);
}

TEST_F(JsonRpcTest, ParamsThatAreNotAnObjectFailEveryMethod) {
    for (const char* method : {"PING", "GET_METRICS", "SET_LUME_DATA"}) {
        for (const char* params : {"[]", "[1]", "5", "\"x\"", "true"}) {
            const std::string payload =
                std::string(R"({"id":"a","method":")") + method + R"(","params":)" + params + "}";
            EXPECT_EQ(answer(payload),
                      "{\"error\":{\"code\":-32693,\"msg\":\"in Json::Value::find(begin, end): requires objectValue "
                      "or nullValue\"},\"id\":\"a\"}\n")
                << payload;
        }
    }
}

TEST_F(JsonRpcTest, ServerRoundtripIsEchoedIntoEveryResult) {
    Json::Value params(Json::objectValue);
    params["serverRoundtripMs"] = 42;
    for (const char* method : {"PING", "GET_METRICS", "SET_LUME_DATA"}) {
        const Json::Value with = answerValue(tvxcodec::jsonRpcPayload(method, params, 1));
        EXPECT_EQ(with["result"]["serverRoundtripMs"], 42) << method;
        EXPECT_EQ(with["id"], 1);
        const Json::Value without = answerValue(tvxcodec::jsonRpcPayload(method));
        ASSERT_TRUE(without["result"].isMember("serverRoundtripMs")) << method;
        EXPECT_TRUE(without["result"]["serverRoundtripMs"].isNull()) << method;
    }
    // Other members travel unchanged, whatever their names.
    EXPECT_EQ(answer(R"({"jsonrpc":"2.0","id":"x-1","method":"PING","params":null,"z":[1,{"b":false}]})"),
              "{\"id\":\"x-1\",\"jsonrpc\":\"2.0\",\"result\":{\"protocol\":3,\"serverRoundtripMs\":null},"
              "\"z\":[1,{\"b\":false}]}\n");
}

TEST_F(JsonRpcTest, GetMetricsReturnsTheSnapshot) {
    setMetric("userName", "carol");
    setMetric("serverRoundtripMs", 5);  // replaced by the request's own value
    Json::Value expected = getMetricsSnapshot();
    expected["serverRoundtripMs"] = Json::Value();
    EXPECT_EQ(answerValue(R"({"method":"GET_METRICS"})")["result"], expected);
}

TEST_F(JsonRpcTest, SetLumeDataReportsTheFlagsOfAStoppedBridge) {
    lume_shutdown();
    for (const char* params :
         {"", R"(,"params":{})", R"(,"params":{"lume_msg":{"data":{}}})", R"(,"params":{"lume_msg":"SET_LUME_DATA {}"})"}) {
        const Json::Value flags =
            answerValue(std::string(R"({"method":"SET_LUME_DATA")") + params + "}")["result"]["request_from_lume"];
        EXPECT_TRUE(flags.isIntegral() && flags == 0) << params << ": " << flags;
    }
}

TEST_F(JsonRpcTest, FailuresOutsideTheMethodsEndTheFrame) {
    // The reader refuses nesting beyond its stack limit with an exception:
    // no answer, the reason logged.
    LogCapture log;
    EXPECT_FALSE(process(tvxcodec::jsonRpcFrame(std::string(5000, '['))).has_value());
    EXPECT_TRUE(log.contains(tvxlog::error, kFn, "json-rpc request: Exceeded stackLimit in readValue()."));
}

TEST_F(JsonRpcTest, PayloadBatchAndResponseAreBounded) {
    LogCapture log;
    // A full batch is answered element by element; one more is one error.
    std::string batch = "[";
    for (std::size_t i = 0; i < kMaxJsonRpcBatch; ++i) batch += R"({"method":"PING"},)";
    batch.back() = ']';
    EXPECT_EQ(answerValue(batch).size(), kMaxJsonRpcBatch);
    batch.back() = ',';
    EXPECT_EQ(answer(batch + "7]"),
              "{\"error\":{\"code\":-32600,\"msg\":\"json-rpc batch too large: 101 requests, at most 100.\"}}\n");
    EXPECT_TRUE(log.contains(tvxlog::error, kFn, "json-rpc request: batch too large [101], at most 100"));

    const std::string pad = R"({"method":"PING","pad":")";
    const std::string big = pad + std::string(kMaxJsonRpcPayload - pad.size() - 1, 'x') + "\"}";
    EXPECT_EQ(answer(big),
              "{\"error\":{\"code\":-32600,\"msg\":\"json-rpc request too large: 262145 bytes, at most 262144.\"}}\n");
    EXPECT_TRUE(log.contains(tvxlog::error, kFn, "json-rpc request: payload too large [262145], at most 262144"));

    // Each raw control character comes back as a six-character escape.
    const Json::Value wide = answerValue(pad + std::string(200000, '\x01') + "\"}");
    EXPECT_EQ(wide.size(), 1u);
    EXPECT_EQ(wide["error"]["code"], -32603);
    EXPECT_EQ(wide["error"]["msg"].asString().rfind("json-rpc response too large: ", 0), 0u) << wide;
    EXPECT_TRUE(log.containsPrefix(tvxlog::error, kFn, "json-rpc response: too large ["));
}

}  // namespace

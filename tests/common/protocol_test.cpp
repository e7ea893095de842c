// The channel protocol: the dispatcher's kinds and log lines, the client data
// records read back by the independent codec, and the JSON-RPC service with
// every error code and text, batches, partial parses and bounds.
#include <gtest/gtest.h>
#include <json/writer.h>  // prints values in failure messages

#include <algorithm>
#include <cstring>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <tuple>

#include "agent/lume_api.h"
#include "codec/codec.h"
#include "common/protocol_test_support.h"
#include "common/test_support.h"
#include "platform/metric_store.h"
#include "protocol/client_data.h"
#include "protocol/jsonrpc.h"

using tvxtest::Bytes;
using tvxtest::LogCapture;
using tvxtest::SnapshotTest;

namespace {

const std::string kOnData = "DOZAPlugin::OnDataReceived";
const std::string kRequest = "`anonymous-namespace'::process_request";
const std::string kPong7 = "{\"id\":7,\"result\":{\"protocol\":3,\"serverRoundtripMs\":null}}\n";

Bytes bytesOf(std::string_view text) { return Bytes(text.begin(), text.end()); }
Bytes withNul(std::string_view text) { return bytesOf(std::string(text) + '\0'); }

// Hands the dispatcher a heap block of exactly the message's size, so that
// AddressSanitizer sees any read past the bytes received.
void dispatch(ChannelWriter& channel, const Bytes& message) {
    Bytes exact(message.begin(), message.end());
    exact.shrink_to_fit();
    dispatchChannelMessage(channel, static_cast<std::uint32_t>(exact.size()), exact.empty() ? nullptr : exact.data());
}

template <typename Record>
Bytes raw(const Record& record) {
    const auto* p = reinterpret_cast<const std::uint8_t*>(&record);
    return Bytes(p, p + sizeof record);
}

// A record as the entry point fills it.
template <typename Record>
Bytes filled(std::int32_t (*fill)(Record*)) {
    Record record;
    EXPECT_EQ(fill(&record), 0);
    return raw(record);
}
Json::Value fillV1() { return tvxcodec::decodeClientData(filled(platform_getClientData)); }
Json::Value fillV2() { return tvxcodec::decodeClientDataV2(filled(platform_getClientDataV2)); }

// The service's response frame for a request frame, or nothing.
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

// An error answer as printed; rest holds the members that follow "error".
std::string error(int code, const std::string& msg, const std::string& rest = "") {
    return "{\"error\":{\"code\":" + std::to_string(code) + ",\"msg\":\"" + msg + "\"}" + rest + "}\n";
}
std::string parseError(int column, const std::string& why, const std::string& rest = "") {
    const std::string at = "json-rpc request parse error: * Line 1, Column " + std::to_string(column);
    return error(-32700, at + "\\n  " + why + "\\n", rest);
}

class DispatcherTest : public SnapshotTest {};
class ClientDataTest : public SnapshotTest {};
class JsonRpcTest : public SnapshotTest {};

// Each kind is answered once, after the first line; other messages get one
// error line. Without a channel nothing is written but the same lines logged.
TEST_F(DispatcherTest, EachMessageIsAnsweredOrRefusedWithItsLines) {
    setMetric("userName", "alice");
    lume_shutdown();
    Bytes v2Reply = withNul("GET_CLIENT_DATA_V2"), record2 = filled(platform_getClientDataV2);
    v2Reply.insert(v2Reply.end(), record2.begin(), record2.end());
    const Bytes rpc = tvxcodec::jsonRpcFrame(R"({"method":"PING","id":7})");
    const Bytes ping = bytesOf(std::string_view("PING\0\2\0\0\0", 9));
    const Bytes noFlags = bytesOf(std::string_view("SET_LUME_DATA\0\0\0", 16));
    const std::string unexpected = "RDP OnDataReceived: unexpected msg type received";
    const std::string failed = "'PROTOCOL_JSON_RPC' request failed.";
    // The message, its reply (none: refused), the lines logged and the last of
    // them (a WRITE line comes after the write).
    const std::tuple<Bytes, Bytes, std::size_t, std::string> cases[] = {
        {withNul("PING"), ping, 2, "RDP OnDataReceived, WRITE PING: [9]"},
        {bytesOf(std::string_view("PING\0GET_CLIENT_DATA\0xyz", 24)), ping, 2, "RDP OnDataReceived, WRITE PING: [9]"},
        {withNul("SET_LUME_DATA"), noFlags, 1, ""},
        {tvxcodec::getClientDataRequest(), filled(platform_getClientData), 2, "RDP OnDataReceived, WRITE V1: [4144]"},
        {tvxcodec::getClientDataV2Request(), v2Reply, 2, "RDP OnDataReceived, WRITE V2: [1095]"},
        {rpc, *process(rpc), 3, "json-rpc response: " + kPong7},
        {withNul("ping"), {}, 2, unexpected},  // kinds are case-sensitive
        {withNul("PIN"), {}, 2, unexpected},
        {withNul("GET_CLIENT_DATA_V3"), {}, 2, unexpected},
        {withNul("GET_CLIENT"), {}, 2, unexpected},
        {withNul("SET_LUME_DATA "), {}, 2, unexpected},
        {withNul(""), {}, 2, unexpected},  // a lone NUL
        {bytesOf("PING"), {}, 2, unexpected},  // no NUL within the bytes received
        {bytesOf("GET_CLIENT_DATA_V2"), {}, 2, unexpected},
        {bytesOf("SET_LUME_DATA"), {}, 2, unexpected},
        {withNul("PROTOCOL_JSON_RPCX"), {}, 2, unexpected},  // the tag's 18th byte is not NUL
        // The start of the tag goes to the service, which refuses it as a frame;
        // the empty message stops before it.
        {Bytes{}, {}, 2, failed},
        {bytesOf("PROTO"), {}, 3, failed},
        {withNul("PROTOCOL_JSON_RPC"), {}, 3, failed},
    };
    for (const auto& [message, reply, count, last] : cases) {
        SCOPED_TRACE(tvxcodec::hex(message));
        const std::string size = std::to_string(message.size());
        const std::string refusedFrame = "json-rpc request: invalid binary data length [" + size + "]";
        // The first line's text stops at the NUL or at the last byte received.
        const std::string text(message.begin(), std::find(message.begin(), message.end(), 0));
        const bool answered = !reply.empty();
        const std::size_t linesBeforeWrite = count - (last.find(", WRITE ") != std::string::npos);
        for (bool present : {true, false}) {
            LogCapture log;
            tvxtest::RecordingChannel channel(present);
            std::size_t linesAtWrite = 0;
            channel.onWrite = [&] { linesAtWrite = log.count(); };
            dispatch(channel, message);
            const auto lines = log.lines().lines();
            ASSERT_EQ(lines.size(), count);
            EXPECT_EQ(lines[0].severity, tvxlog::debug);
            EXPECT_EQ(lines[0].function, kOnData);
            EXPECT_EQ(lines[0].message, "RDP OnDataReceived: [" + size + "] " + text);
            EXPECT_EQ(lines.back().message, last.empty() ? lines[0].message : last);
            EXPECT_EQ(lines.back().function, answered && count == 3 ? kRequest : kOnData);
            std::size_t errors = 0;
            for (const auto& line : lines) errors += line.severity == tvxlog::error;
            EXPECT_EQ(errors, answered ? 0u : count - 1);
            EXPECT_EQ(log.contains(tvxlog::error, kRequest, refusedFrame), !answered && count == 3);
            EXPECT_EQ(channel.writes, present && answered ? std::vector<Bytes>{reply} : std::vector<Bytes>{});
            EXPECT_EQ(linesAtWrite, present && answered ? linesBeforeWrite : 0u);
        }
    }
}

TEST_F(DispatcherTest, AFailingWriteStaysInside) {
    tvxtest::RecordingChannel channel;
    channel.onWrite = [] { throw std::runtime_error("channel gone"); };
    LogCapture log;
    for (const Bytes& message : {tvxcodec::pingRequest(), tvxcodec::jsonRpcFrame(R"({"method":"PING"})")})
        EXPECT_NO_THROW(dispatch(channel, message));
    EXPECT_TRUE(log.contains(tvxlog::error, kOnData, "RDP OnDataReceived exception: channel gone"));
}

TEST_F(ClientDataTest, FillOverwritesEveryByteWithDefaultsAndRefusesNull) {
    CLIENT_DATA v1;
    CLIENT_DATA_V2 v2;
    std::memset(static_cast<void*>(&v1), 0xAA, sizeof v1);
    std::memset(static_cast<void*>(&v2), 0xAA, sizeof v2);
    ASSERT_EQ(platform_getClientData(&v1), 0);
    ASSERT_EQ(platform_getClientDataV2(&v2), 0);
    // The codec refuses non-zero padding and text bytes after a NUL; a fresh
    // snapshot and a record never filled both read as -1 and empty texts.
    CLIENT_DATA raw1;
    CLIENT_DATA_V2 raw2;
    for (const Json::Value& v : {tvxcodec::decodeClientData(raw(v1)), tvxcodec::decodeClientDataV2(raw(v2)),
                                 tvxcodec::decodeClientData(raw(raw1)), tvxcodec::decodeClientDataV2(raw(raw2))})
        for (const std::string& key : v.getMemberNames())
            EXPECT_TRUE(v[key].isString() ? v[key] == "" : v[key].asDouble() == -1.0) << key << ": " << v[key];
    EXPECT_EQ(platform_getClientData(nullptr), -2);
    EXPECT_EQ(platform_getClientDataV2(nullptr), -2);
}

TEST_F(ClientDataTest, EveryKeyLandsInItsOwnField) {
    // Distinct values per key: a field at the wrong offset, or two fields
    // swapped, decode to another key's value.
    Json::Value want1 = fillV1(), want2 = fillV2();
    int n = 100;
    for (Json::Value* want : {&want1, &want2})
        for (const std::string& key : want->getMemberNames()) {
            Json::Value& field = (*want)[key];
            if (field.isString()) field = key.substr(0, 12);
            else if (field.type() == Json::realValue) field = n++ + 0.25;
            else field = want == &want1 ? n++ : -n++;
            setMetric(key, field);
        }
    EXPECT_EQ(fillV1(), want1);
    EXPECT_EQ(fillV2(), want2);
}

TEST_F(ClientDataTest, ValuesAreCutConvertedOrReplacedByTheMissingKeyValue) {
    Json::Value array(Json::arrayValue);
    array.append(1);
    const std::string o63(63, 'o');
    // The key, the value stored (nothing: the key is absent) and the value decoded.
    const std::tuple<const char*, std::optional<Json::Value>, Json::Value> rows[] = {
        // Texts are cut at the field width less one, in bytes, never inside a character.
        {"userName", std::string(600, 'u'), std::string(512, 'u')},
        {"osName", o63 + "\xC3\xA9", o63},
        // JsonCpp's conversions: null is 0 or "", not the missing-key value.
        {"serverRoundtripMs", Json::Value(), 0},
        {"speed", 3.9, 3},
        {"inactivityTimeSeconds", Json::Value(), 0.0},
        {"userName", Json::Value(), ""},
        {"gateway", 42, "42"},
        // Absent or unconvertible: the missing-key value.
        {"roundtripMs", std::nullopt, -1},
        {"roundtripMs", "12", -1},
        {"wifi_strength", 1e12, -1},
        {"inactivityTimeSeconds", "soon", -1.0},
        {"userName", array, ""},
    };
    const Json::Value defaults1 = fillV1(), defaults2 = fillV2();
    for (const auto& [key, stored, decoded] : rows) {
        initMetricStore();
        if (stored) setMetric(key, *stored);
        else removeMetric(key);
        // The whole record is compared: the other fields keep their defaults.
        const bool v1 = defaults1.isMember(key);
        Json::Value expected = v1 ? defaults1 : defaults2;
        expected[key] = decoded;
        EXPECT_EQ(v1 ? fillV1() : fillV2(), expected) << key << " from " << stored.value_or("(absent)");
    }
}

TEST_F(JsonRpcTest, MalformedFramesGetNoAnswer) {
    // A frame of the payload with the bytes [from, to) replaced.
    auto patched = [](std::string_view payload, std::size_t from, std::size_t to, std::uint8_t byte) {
        Bytes frame = tvxcodec::jsonRpcFrame(payload);
        std::fill(frame.begin() + static_cast<std::ptrdiff_t>(from), frame.begin() + static_cast<std::ptrdiff_t>(to), byte);
        return frame;
    };
    Bytes tooLong = tvxcodec::jsonRpcFrame("0123456789");
    tooLong.push_back('X');  // length field 10, 11 payload bytes
    const std::pair<Bytes, std::string> cases[] = {
        {Bytes(63, 0), "json-rpc request: invalid binary data length [63]"},
        {patched("{}", 16, 17, 'X'), "json-rpc request: invalid binary header: 'PROTOCOL_JSON_RPX'"},
        {patched("{}", 17, 32, 'A'), "json-rpc request: invalid binary header: 'PROTOCOL_JSON_RPCAAAAAAAAAAAAAAA'"},
        {tooLong, "json-rpc request: invalid binary data length [75]"},
        {patched("{}", 60, 64, 0xFF), "json-rpc request: invalid binary data length [66]"},
        // The reader refuses nesting beyond its stack limit with an exception.
        {tvxcodec::jsonRpcFrame(std::string(5000, '[')), "json-rpc request: Exceeded stackLimit in readValue()."},
    };
    for (const auto& [frame, line] : cases) {
        SCOPED_TRACE(line);
        LogCapture log;
        EXPECT_FALSE(process(frame).has_value());
        EXPECT_TRUE(log.contains(tvxlog::error, kRequest, line));
    }

    LogCapture log;
    const std::uint8_t one = 'P';
    EXPECT_EQ(platform_processJsonRpc(nullptr, 64), nullptr);
    EXPECT_EQ(platform_processJsonRpc(&one, 0), nullptr);
    // Bytes after the tag's NUL and the reserved field are not examined.
    EXPECT_TRUE(process(patched(R"({"method":"PING"})", 18, 60, 0x5A)).has_value());
    // Only the answered frame's two lines, the request's text first.
    ASSERT_EQ(log.count(), 2u);
    EXPECT_EQ(log.lines().lines()[0].message, R"(json-rpc request: {"method":"PING"})");
    EXPECT_EQ(freeJsonRpcBuffer(nullptr), 0);
}

// Comments are read past and never echoed; a parse error keeps the members read
// so far but "method" and "params"; batches answer each element in order.
TEST_F(JsonRpcTest, AnswersToTheByte) {
    const std::string valueExpected = "Syntax error: value, object or array expected.";
    const std::string noMethod = "json-rpc request must contain 'method' member.";
    const std::string notObject = error(-32600, "json-rpc request should be json object or json array.");
    const std::string params = "in Json::Value::find(begin, end): requires objectValue or nullValue";
    const std::pair<std::string, std::string> cases[] = {
        {"/* a */{\"id\":7, // b\n\"method\":\"PING\"} // c", kPong7},
        {R"({"id":3 /* c */,"method":)", parseError(26, valueExpected, R"(,"id":3)")},
        {"", parseError(1, valueExpected)},
        {R"([{"method":"PING"})", parseError(19, "Missing ',' or ']' in array declaration")},
        {R"({"jsonrpc":"2.0","params":{"a":1},"method":"PING","x":)",
         parseError(55, valueExpected, R"(,"jsonrpc":"2.0","x":null)")},
        {"5", notObject},
        {"null", notObject},
        {R"({"id":1,"method":5,"params":{},"x":"y"})", error(-32600, noMethod, R"(,"id":1,"x":"y")")},
        {R"({"id":1})", error(-32600, noMethod, R"(,"id":1)")},
        {R"({"id":8,"method":"GET_CLIENT_DATA"})",
         error(-32601, "method handler not found: 'GET_CLIENT_DATA'.", R"(,"id":8)")},
        {R"({"method":"ping"})", error(-32601, "method handler not found: 'ping'.")},  // names are case-sensitive
        {"[]", "[]\n"},
        {R"([1,{"method":"PING"}])", "[{\"error\":{\"code\":-32600,\"msg\":\"json-rpc request must be json object.\"}},"
                                     "{\"result\":{\"protocol\":3,\"serverRoundtripMs\":null}}]\n"},
        {R"([{"id":1,"method":"nope"},{"id":2,"method":"PING","params":[]},{"id":3,"method":"PING"}])",
         R"([{"error":{"code":-32601,"msg":"method handler not found: 'nope'."},"id":1},)"
         R"({"error":{"code":-32693,"msg":")" + params + R"("},"id":2},)"
         R"({"id":3,"result":{"protocol":3,"serverRoundtripMs":null}}])" "\n"},
        // Other members travel unchanged, whatever their names.
        {R"({"jsonrpc":"2.0","id":"x-1","method":"PING","params":null,"z":[1,{"b":false}]})",
         "{\"id\":\"x-1\",\"jsonrpc\":\"2.0\",\"result\":{\"protocol\":3,\"serverRoundtripMs\":null},"
         "\"z\":[1,{\"b\":false}]}\n"},
    };
    for (const auto& [payload, expected] : cases) EXPECT_EQ(answer(payload), expected) << payload;
}

// Every result echoes the request's "serverRoundtripMs", null without one.
TEST_F(JsonRpcTest, MethodResultsEchoTheServerRoundtrip) {
    setMetric("userName", "carol");
    setMetric("serverRoundtripMs", 5);  // replaced by the request's own value
    lume_shutdown();
    Json::Value ping, flags, params;
    ping["protocol"] = 3;
    flags["request_from_lume"] = 0;  // a stopped bridge
    params["serverRoundtripMs"] = 42;
    const std::pair<const char*, Json::Value> methods[] = {
        {"PING", ping}, {"GET_METRICS", getMetricsSnapshot()}, {"SET_LUME_DATA", flags}};
    for (auto [method, result] : methods) {
        result["serverRoundtripMs"] = Json::Value();
        EXPECT_EQ(answerValue(tvxcodec::jsonRpcPayload(method))["result"], result) << method;
        result["serverRoundtripMs"] = 42;
        EXPECT_EQ(answerValue(tvxcodec::jsonRpcPayload(method, params, 1))["result"], result) << method;
    }
}

TEST_F(JsonRpcTest, PayloadBatchAndResponseAreBounded) {
    LogCapture log;
    // A full batch is answered element by element; one more is one error.
    std::string batch = "[";
    for (std::size_t i = 0; i < kMaxJsonRpcBatch; ++i) batch += R"({"method":"PING"},)";
    batch.back() = ']';
    EXPECT_EQ(answerValue(batch).size(), kMaxJsonRpcBatch);
    batch.back() = ',';
    EXPECT_EQ(answer(batch + "7]"), error(-32600, "json-rpc batch too large: 101 requests, at most 100."));
    EXPECT_TRUE(log.contains(tvxlog::error, kRequest, "json-rpc request: batch too large [101], at most 100"));

    const std::string pad = R"({"method":"PING","pad":")";
    const std::string big = pad + std::string(kMaxJsonRpcPayload - pad.size() - 1, 'x') + "\"}";
    EXPECT_EQ(answer(big), error(-32600, "json-rpc request too large: 262145 bytes, at most 262144."));
    EXPECT_TRUE(log.contains(tvxlog::error, kRequest, "json-rpc request: payload too large [262145], at most 262144"));

    // Each raw control character comes back as a six-character escape.
    const Json::Value wide = answerValue(pad + std::string(200000, '\x01') + "\"}");
    EXPECT_EQ(wide.size(), 1u);
    EXPECT_EQ(wide["error"]["code"], -32603);
    EXPECT_EQ(wide["error"]["msg"].asString().rfind("json-rpc response too large: ", 0), 0u) << wide;
    EXPECT_TRUE(log.containsPrefix(tvxlog::error, kRequest, "json-rpc response: too large ["));
}

}  // namespace

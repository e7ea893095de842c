// The query tool's command line: what becomes a request and which bytes it
// sends, what is refused with the usage, and how replies to bytes of the
// caller's choosing are recognised.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "query/requests.h"

using tvxquery::Bytes;
using tvxquery::Options;
using tvxquery::ReplyShape;
using tvxquery::RequestKind;

namespace {

Bytes bytes(const char* text, std::size_t size) { return Bytes(text, text + size); }

// The JSON text of a request frame: the length field at 60 says how much
// follows the 64-byte header.
std::string framePayload(const Bytes& frame) {
    EXPECT_GE(frame.size(), 64u);
    if (frame.size() < 64) return {};
    EXPECT_EQ(std::memcmp(frame.data(), "PROTOCOL_JSON_RPC", 18), 0);
    std::uint32_t n = frame[60] | frame[61] << 8 | frame[62] << 16 | static_cast<std::uint32_t>(frame[63]) << 24;
    EXPECT_EQ(frame.size(), 64u + n);
    return std::string(frame.begin() + 64, frame.end());
}

std::string refusal(const std::vector<std::string>& args) {
    Options options;
    std::string error;
    EXPECT_FALSE(tvxquery::parseArguments(args, options, error)) << "accepted: " << (args.empty() ? "" : args[0]);
    EXPECT_FALSE(error.empty());
    return error;
}

}  // namespace

TEST(QueryTool, RequestsKeepTheirOrderAndCarryTheirBytes) {
    Options options;
    std::string error;
    ASSERT_TRUE(tvxquery::parseArguments({"--wait", "7", "ping", "v2", "metrics", "lume", R"({"a":"b c"})", "rpc-ping",
                                          "raw", "50 49\t4e", "rpc", "[1", "v1"},
                                         options, error))
        << error;
    EXPECT_EQ(options.waitSeconds, 7u);
    EXPECT_EQ(options.dll, "");
    ASSERT_EQ(options.requests.size(), 8u);
    const auto& r = options.requests;
    EXPECT_EQ(r[0].kind, RequestKind::ping);
    EXPECT_EQ(r[0].message, bytes("PING", 5));
    EXPECT_EQ(r[1].kind, RequestKind::clientDataV2);
    EXPECT_EQ(r[1].message, bytes("GET_CLIENT_DATA_V2", 19));
    // JSON-RPC requests are numbered by their place on the command line.
    EXPECT_EQ(r[2].kind, RequestKind::metrics);
    EXPECT_EQ(framePayload(r[2].message), R"({"id":3,"method":"GET_METRICS"})");
    EXPECT_EQ(r[3].kind, RequestKind::lume);
    EXPECT_EQ(r[3].message, bytes("SET_LUME_DATA\0{\"a\":\"b c\"}", 25));
    EXPECT_EQ(r[4].kind, RequestKind::rpcPing);
    EXPECT_EQ(framePayload(r[4].message), R"({"id":5,"method":"PING"})");
    EXPECT_EQ(r[5].kind, RequestKind::raw);
    EXPECT_EQ(r[5].message, (Bytes{0x50, 0x49, 0x4E}));
    // A payload is framed as given, even one that is not JSON.
    EXPECT_EQ(r[6].kind, RequestKind::rpc);
    EXPECT_EQ(framePayload(r[6].message), "[1");
    EXPECT_EQ(r[7].kind, RequestKind::clientData);
    EXPECT_EQ(r[7].message, bytes("GET_CLIENT_DATA", 16));
}

TEST(QueryTool, ValuesAreTakenAsTheyAre) {
    Options options;
    std::string error;
    // A value that looks like an option or a request word is still the value.
    ASSERT_TRUE(tvxquery::parseArguments({"rpc", "--wait", "lume", "ping", "raw", "", "--dll", "C:\\a b\\x.dll"},
                                         options, error))
        << error;
    EXPECT_EQ(options.dll, "C:\\a b\\x.dll");
    EXPECT_EQ(options.waitSeconds, 0u);
    ASSERT_EQ(options.requests.size(), 3u);
    EXPECT_EQ(framePayload(options.requests[0].message), "--wait");
    EXPECT_EQ(options.requests[1].message, bytes("SET_LUME_DATA\0ping", 18));
    EXPECT_EQ(options.requests[2].kind, RequestKind::raw);
    EXPECT_TRUE(options.requests[2].message.empty());

    // Parsing again starts from the defaults.
    ASSERT_TRUE(tvxquery::parseArguments({"--help"}, options, error));
    EXPECT_TRUE(options.help);
    EXPECT_TRUE(options.requests.empty());
    EXPECT_EQ(options.dll, "");
}

TEST(QueryTool, BadCommandLinesAreRefused) {
    EXPECT_EQ(refusal({}), "no request given");
    EXPECT_EQ(refusal({"--wait", "3"}), "no request given");
    EXPECT_EQ(refusal({"PING"}), "unknown request 'PING'");
    EXPECT_EQ(refusal({"ping", "v3"}), "unknown request 'v3'");
    for (const char* word : {"lume", "rpc", "raw", "--dll", "--wait"})
        EXPECT_EQ(refusal({"ping", word}), std::string(word) + " needs a value");
    EXPECT_EQ(refusal({"--dll", "", "ping"}), "--dll needs a path");
    for (const char* seconds : {"", "-1", "abc", "5s", " 5", "3601", "99999999999"})
        EXPECT_NE(refusal({"--wait", seconds, "ping"}).find("--wait takes whole seconds"), std::string::npos) << seconds;
    Options options;
    std::string error;
    EXPECT_TRUE(tvxquery::parseArguments({"--wait", "3600", "ping"}, options, error));
    EXPECT_EQ(options.waitSeconds, 3600u);
}

TEST(QueryTool, HexIsWholeBytes) {
    std::string error;
    EXPECT_EQ(tvxquery::parseHex("70696E6700", error), (Bytes{0x70, 0x69, 0x6E, 0x67, 0x00}));
    EXPECT_EQ(tvxquery::parseHex(" ff\n00 aB ", error), (Bytes{0xFF, 0x00, 0xAB}));
    EXPECT_EQ(tvxquery::parseHex("", error), Bytes{});
    for (const char* bad : {"ABC", "A BC", "0G", "0x50", "50-49", "5\n0"}) {
        error.clear();
        EXPECT_FALSE(tvxquery::parseHex(bad, error)) << bad;
        EXPECT_FALSE(error.empty()) << bad;
    }
    EXPECT_EQ(refusal({"raw", "5"}), "raw 5: a byte needs two hex digits");
    EXPECT_EQ(refusal({"raw", "zz"}), "raw zz: 'z' is not a hex digit");
}

TEST(QueryTool, RepliesAreRecognisedByShape) {
    EXPECT_EQ(tvxquery::replyShape(bytes("PING\0\2\0\0\0", 9)), ReplyShape::ping);
    EXPECT_EQ(tvxquery::replyShape(bytes("SET_LUME_DATA\0\3\0", 16)), ReplyShape::lume);
    // "GET_CLIENT_DATA_V2" is its own kind, whatever its length.
    Bytes v2 = bytes("GET_CLIENT_DATA_V2", 19);
    v2.resize(1095);
    EXPECT_EQ(tvxquery::replyShape(v2), ReplyShape::clientDataV2);
    v2.resize(4144);
    EXPECT_EQ(tvxquery::replyShape(v2), ReplyShape::clientDataV2);
    // The version 1 record has no kind text: known by its length alone.
    EXPECT_EQ(tvxquery::replyShape(Bytes(4144, 0xFF)), ReplyShape::clientData);
    EXPECT_EQ(tvxquery::replyShape(Bytes(4143, 0xFF)), ReplyShape::unknown);
    Bytes frame = bytes("PROTOCOL_JSON_RPC", 18);
    frame.resize(4144);
    EXPECT_EQ(tvxquery::replyShape(frame), ReplyShape::jsonRpc);
    // A kind text counts only with its NUL and in its own case.
    EXPECT_EQ(tvxquery::replyShape(bytes("PING", 4)), ReplyShape::unknown);
    EXPECT_EQ(tvxquery::replyShape(bytes("PINGS\0\0\0\0", 9)), ReplyShape::unknown);
    EXPECT_EQ(tvxquery::replyShape(bytes("ping\0\2\0\0\0", 9)), ReplyShape::unknown);
    EXPECT_EQ(tvxquery::replyShape(Bytes{}), ReplyShape::unknown);
}

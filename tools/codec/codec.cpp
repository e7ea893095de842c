#include "codec/codec.h"

#include <json/reader.h>
#include <json/writer.h>

#include <array>
#include <cstring>
#include <memory>
#include <sstream>

namespace tvxcodec {
namespace {

constexpr std::string_view kJsonRpcTag = "PROTOCOL_JSON_RPC";
constexpr std::size_t kTagFieldSize = 32;
constexpr std::size_t kLengthOffset = 60;

enum class Type { int32, float64, text, padding };

struct Field {
    const char* key;
    std::size_t offset;
    std::size_t width;
    Type type;
};

// Version 1 record, by offset.
constexpr Field kClientData[] = {
    {"serverRoundtripMs", 0, 4, Type::int32},
    {"userName", 4, 513, Type::text},
    {"computerName", 517, 16, Type::text},
    {"privateIpAddress", 533, 65, Type::text},
    {"publicIpAddress", 598, 65, Type::text},
    {"activeProcessName", 663, 1025, Type::text},
    {"foregroundProcessName", 1688, 1025, Type::text},
    {"", 2713, 7, Type::padding},
    {"inactivityTimeSeconds", 2720, 8, Type::float64},
    {"mac_address", 2728, 33, Type::text},
    {"if_guid", 2761, 257, Type::text},
    {"gateway", 3018, 65, Type::text},
    {"description", 3083, 257, Type::text},
    {"if_type_value", 3340, 4, Type::int32},
    {"if_type", 3344, 257, Type::text},
    {"", 3601, 3, Type::padding},
    {"wifi_strength", 3604, 4, Type::int32},
    {"wifi_ssid", 3608, 33, Type::text},
    {"wifi_bssid", 3641, 25, Type::text},
    {"wifi_authentication", 3666, 33, Type::text},
    {"wifi_radio_type", 3699, 33, Type::text},
    {"wifi_channel", 3732, 4, Type::int32},
    {"speed", 3736, 4, Type::int32},
    {"rtxPackets", 3740, 4, Type::int32},
    {"roundtripMs", 3744, 4, Type::int32},
    {"osName", 3748, 65, Type::text},
    {"osVersionNumber", 3813, 65, Type::text},
    {"", 3878, 2, Type::padding},
    {"roundtripGoogleMs", 3880, 4, Type::int32},
    {"ktrDeviceId", 3884, 257, Type::text},
    {"", 4141, 3, Type::padding},
};

// Version 2 record, by offset.
constexpr Field kClientDataV2[] = {
    {"client_version", 0, 33, Type::text},
    {"", 33, 3, Type::padding},
    {"cpu_usage", 36, 4, Type::int32},
    {"roundtripIspMs", 40, 4, Type::int32},
    {"isp_name", 44, 513, Type::text},
    {"client_location", 557, 513, Type::text},
    {"", 1070, 2, Type::padding},
    {"roundtripAdcMs", 1072, 4, Type::int32},
};

// The tables tile their record without gap or overlap.
template <std::size_t N>
constexpr bool tiles(const Field (&fields)[N], std::size_t size) {
    std::size_t at = 0;
    for (const Field& f : fields) {
        if (f.offset != at) return false;
        at += f.width;
    }
    return at == size;
}
static_assert(tiles(kClientData, kClientDataSize));
static_assert(tiles(kClientDataV2, kClientDataV2Size));

std::uint32_t le32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

double le64Real(const std::uint8_t* p) {
    std::uint64_t bits = 0;
    for (int i = 7; i >= 0; --i) bits = bits << 8 | p[i];
    double value;
    static_assert(sizeof value == sizeof bits);
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

[[noreturn]] void fail(const std::string& what) {
    throw DecodeError(what);
}

void expectSize(std::span<const std::uint8_t> bytes, std::size_t size, const char* what) {
    if (bytes.size() != size)
        fail(std::string(what) + ": " + std::to_string(bytes.size()) + " bytes, expected " + std::to_string(size));
}

// The kind text and its NUL at the start of a reply.
void expectKind(std::span<const std::uint8_t> bytes, std::string_view kind) {
    if (std::memcmp(bytes.data(), kind.data(), kind.size()) != 0 || bytes[kind.size()] != 0)
        fail(std::string(kind) + " reply does not start with its kind text: " + hex(bytes.first(kind.size() + 1)));
}

bool allZero(std::span<const std::uint8_t> bytes) {
    for (std::uint8_t b : bytes)
        if (b) return false;
    return true;
}

template <std::size_t N>
Json::Value decodeRecord(std::span<const std::uint8_t> bytes, const Field (&fields)[N]) {
    Json::Value out(Json::objectValue);
    for (const Field& f : fields) {
        const std::uint8_t* p = bytes.data() + f.offset;
        const std::string at = " at offset " + std::to_string(f.offset);
        switch (f.type) {
            case Type::int32:
                out[f.key] = static_cast<Json::Int>(static_cast<std::int32_t>(le32(p)));
                break;
            case Type::float64:
                out[f.key] = le64Real(p);
                break;
            case Type::padding:
                if (!allZero({p, f.width})) fail("padding" + at + " is not zero: " + hex({p, f.width}));
                break;
            case Type::text: {
                const void* nul = std::memchr(p, 0, f.width);
                if (!nul || p[f.width - 1] != 0) fail(std::string(f.key) + at + " is not NUL-terminated");
                const auto length = static_cast<std::size_t>(static_cast<const std::uint8_t*>(nul) - p);
                if (!allZero({p + length, f.width - length}))
                    fail(std::string(f.key) + at + " has bytes after its text");
                out[f.key] = std::string(reinterpret_cast<const char*>(p), length);
                break;
            }
        }
    }
    return out;
}

Bytes kindMessage(std::string_view kind) {
    Bytes out(kind.begin(), kind.end());
    out.push_back(0);
    return out;
}

}  // namespace

Bytes pingRequest() { return kindMessage("PING"); }
Bytes getClientDataRequest() { return kindMessage("GET_CLIENT_DATA"); }
Bytes getClientDataV2Request() { return kindMessage("GET_CLIENT_DATA_V2"); }

Bytes setLumeDataRequest(std::string_view agentData) {
    Bytes out = kindMessage("SET_LUME_DATA");
    out.insert(out.end(), agentData.begin(), agentData.end());
    return out;
}

Bytes jsonRpcFrame(std::string_view payload) {
    Bytes out(kFrameHeaderSize, 0);
    std::memcpy(out.data(), kJsonRpcTag.data(), kJsonRpcTag.size());
    const auto n = static_cast<std::uint32_t>(payload.size());
    for (int i = 0; i < 4; ++i) out[kLengthOffset + i] = static_cast<std::uint8_t>(n >> (8 * i));
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

std::string jsonRpcPayload(const std::string& method, const Json::Value& params, const Json::Value& id) {
    Json::Value request(Json::objectValue);
    request["method"] = method;
    if (!params.isNull()) request["params"] = params;
    if (!id.isNull()) request["id"] = id;
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    return Json::writeString(builder, request);
}

std::int32_t decodePingReply(std::span<const std::uint8_t> reply) {
    expectSize(reply, kPingReplySize, "PING reply");
    expectKind(reply, "PING");
    return static_cast<std::int32_t>(le32(reply.data() + 5));
}

std::uint16_t decodeSetLumeDataReply(std::span<const std::uint8_t> reply) {
    expectSize(reply, kSetLumeDataReplySize, "SET_LUME_DATA reply");
    expectKind(reply, "SET_LUME_DATA");
    return static_cast<std::uint16_t>(reply[14] | reply[15] << 8);
}

Json::Value decodeClientData(std::span<const std::uint8_t> reply) {
    expectSize(reply, kClientDataSize, "GET_CLIENT_DATA reply");
    return decodeRecord(reply, kClientData);
}

Json::Value decodeClientDataV2(std::span<const std::uint8_t> record) {
    expectSize(record, kClientDataV2Size, "version 2 record");
    return decodeRecord(record, kClientDataV2);
}

Json::Value decodeClientDataV2Reply(std::span<const std::uint8_t> reply) {
    expectSize(reply, kClientDataV2ReplySize, "GET_CLIENT_DATA_V2 reply");
    expectKind(reply, "GET_CLIENT_DATA_V2");
    return decodeClientDataV2(reply.subspan(kClientDataV2ReplySize - kClientDataV2Size));
}

JsonRpcReply decodeJsonRpcFrame(std::span<const std::uint8_t> frame) {
    if (frame.size() < kFrameHeaderSize)
        fail("json-rpc frame: " + std::to_string(frame.size()) + " bytes, shorter than its header");
    if (std::memcmp(frame.data(), kJsonRpcTag.data(), kJsonRpcTag.size()) != 0 ||
        !allZero(frame.subspan(kJsonRpcTag.size(), kTagFieldSize - kJsonRpcTag.size())))
        fail("json-rpc frame: bad tag field: " + hex(frame.first(kTagFieldSize)));
    if (!allZero(frame.subspan(kTagFieldSize, kLengthOffset - kTagFieldSize)))
        fail("json-rpc frame: reserved bytes are not zero");
    const std::uint32_t n = le32(frame.data() + kLengthOffset);
    if (frame.size() - kFrameHeaderSize != n)
        fail("json-rpc frame: length field " + std::to_string(n) + " for " +
             std::to_string(frame.size() - kFrameHeaderSize) + " payload bytes");
    JsonRpcReply out;
    out.text.assign(reinterpret_cast<const char*>(frame.data() + kFrameHeaderSize), n);
    if (out.text.empty() || out.text.back() != '\n') fail("json-rpc frame: text does not end with a line feed");
    // Building the reader's settings costs more than parsing a short reply;
    // the builder is only read after its construction, so threads may share it.
    static const Json::CharReaderBuilder builder;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    std::string errors;
    if (!reader->parse(out.text.data(), out.text.data() + out.text.size(), &out.value, &errors))
        fail("json-rpc frame: payload is not JSON: " + errors);
    return out;
}

std::string hex(std::span<const std::uint8_t> bytes) {
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string out;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i) out.push_back(' ');
        out.push_back(digits[bytes[i] >> 4]);
        out.push_back(digits[bytes[i] & 0xF]);
    }
    return out;
}

}  // namespace tvxcodec

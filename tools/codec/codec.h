// The remote host's side of "qmlink-dvc": builds the request messages and
// decodes every reply, field by field from the wire layout. It shares no type
// with the plug-in, so a layout slip on either side shows up as a mismatch.
// Decoders throw DecodeError when a reply breaks its layout.
#pragma once

#include <json/value.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace tvxcodec {

using Bytes = std::vector<std::uint8_t>;

inline constexpr std::size_t kPingReplySize = 9;
inline constexpr std::size_t kSetLumeDataReplySize = 16;
inline constexpr std::size_t kClientDataSize = 4144;
inline constexpr std::size_t kClientDataV2Size = 1076;
inline constexpr std::size_t kClientDataV2ReplySize = 1095;
inline constexpr std::size_t kFrameHeaderSize = 64;

class DecodeError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// ---- requests ----
Bytes pingRequest();                                   // "PING" and its NUL
Bytes getClientDataRequest();                          // "GET_CLIENT_DATA" and its NUL
Bytes getClientDataV2Request();                        // "GET_CLIENT_DATA_V2" and its NUL
Bytes setLumeDataRequest(std::string_view agentData);  // "SET_LUME_DATA", NUL, the data
// A "PROTOCOL_JSON_RPC" frame around any payload bytes.
Bytes jsonRpcFrame(std::string_view payload);
// {"id":id,"method":method,"params":params} as compact JSON; id and params are
// left out when null.
std::string jsonRpcPayload(const std::string& method, const Json::Value& params = Json::Value(),
                           const Json::Value& id = Json::Value());

// ---- replies ----
// The binary protocol level of a "PING" reply.
std::int32_t decodePingReply(std::span<const std::uint8_t> reply);
// The data-requested flags of a "SET_LUME_DATA" reply.
std::uint16_t decodeSetLumeDataReply(std::span<const std::uint8_t> reply);
// The version 1 record (the whole "GET_CLIENT_DATA" reply) as an object keyed
// by metric name: int32 fields as integers, the float64 as a real, texts as
// strings. Padding must be zero and every text NUL-terminated and NUL-padded.
Json::Value decodeClientData(std::span<const std::uint8_t> reply);
// The version 2 record alone (1076 bytes), and the whole "GET_CLIENT_DATA_V2"
// reply (its kind text, then the record).
Json::Value decodeClientDataV2(std::span<const std::uint8_t> record);
Json::Value decodeClientDataV2Reply(std::span<const std::uint8_t> reply);

struct JsonRpcReply {
    std::string text;   // the payload as sent, line feed included
    Json::Value value;  // the payload parsed
};
// A response frame: tag, zero reserved bytes, a length that matches, a JSON
// text ending in a line feed.
JsonRpcReply decodeJsonRpcFrame(std::span<const std::uint8_t> frame);

// Bytes as "50 49 4E 47 00", for messages and failure reports.
std::string hex(std::span<const std::uint8_t> bytes);

}  // namespace tvxcodec

#include "dispatcher.h"

#include <array>
#include <cstring>
#include <exception>
#include <string_view>

#include "agent/lume_api.h"
#include "client_data.h"
#include "jsonrpc.h"
#include "platform/log.h"

namespace {

// Lines are written on behalf of the plug-in object's callback.
constexpr const char* kOnDataReceived = "DOZAPlugin::OnDataReceived";

constexpr std::string_view kSetLumeData = "SET_LUME_DATA";
constexpr std::string_view kPing = "PING";
constexpr std::string_view kGetClientData = "GET_CLIENT_DATA";
constexpr std::string_view kGetClientDataV2 = "GET_CLIENT_DATA_V2";

// The level of the binary messages; the JSON-RPC "PING" reports its own.
constexpr std::int32_t kBinaryProtocolLevel = 2;

constexpr std::size_t kPingReplySize = 9;
constexpr std::size_t kSetLumeDataReplySize = 16;
constexpr std::size_t kClientDataV2ReplySize = kGetClientDataV2.size() + 1 + sizeof(CLIENT_DATA_V2);
static_assert(kClientDataV2ReplySize == 1095);

// "PROTOCOL_JSON_RPC" and its NUL, compared over at most the bytes received:
// a message that is only the start of the tag still goes to the service,
// which refuses it as a frame.
bool isJsonRpc(const std::uint8_t* message, std::uint32_t size) {
    const std::size_t n = size < sizeof kJsonRpcTag ? size : sizeof kJsonRpcTag;
    return n == 0 || std::memcmp(message, kJsonRpcTag, n) == 0;
}

// The text before the first NUL; a message without a NUL inside the bytes
// received has no kind text at all and matches no kind.
std::string_view kindText(const std::uint8_t* message, std::uint32_t size, bool& terminated) {
    const void* nul = size ? std::memchr(message, 0, size) : nullptr;
    terminated = nul != nullptr;
    const std::size_t length =
        nul ? static_cast<std::size_t>(static_cast<const std::uint8_t*>(nul) - message) : size;
    return {reinterpret_cast<const char*>(message), length};
}

void putLe32(std::uint8_t* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

template <std::size_t N>
void writeIfHeld(ChannelWriter& channel, const std::array<std::uint8_t, N>& reply) {
    if (channel.hasChannel()) channel.write(reply.data(), static_cast<std::uint32_t>(reply.size()));
}

void answerJsonRpc(ChannelWriter& channel, std::uint32_t size, const std::uint8_t* message) {
    JsonRpcBuffer* response = platform_processJsonRpc(message, size);
    if (!response) {
        TVX_LOG_AS(tvxlog::error, kOnDataReceived) << "'PROTOCOL_JSON_RPC' request failed.";
        return;
    }
    // Freed whether or not the write throws.
    struct Release {
        JsonRpcBuffer* buffer;
        ~Release() { freeJsonRpcBuffer(buffer); }
    } release{response};
    if (channel.hasChannel()) channel.write(response->data, response->length);
}

void answerSetLumeData(ChannelWriter& channel, std::uint32_t size, const std::uint8_t* message) {
    // The agent data: every byte after the tag and its NUL, possibly none.
    const std::size_t offset = kSetLumeData.size() + 1;
    const std::uint32_t flags =
        platform_setLumeData(size - offset, reinterpret_cast<const char*>(message + offset));
    std::array<std::uint8_t, kSetLumeDataReplySize> reply{};
    std::memcpy(reply.data(), kSetLumeData.data(), kSetLumeData.size());
    reply[offset] = static_cast<std::uint8_t>(flags & 0xFF);
    reply[offset + 1] = static_cast<std::uint8_t>((flags >> 8) & 0xFF);
    writeIfHeld(channel, reply);
}

void answerPing(ChannelWriter& channel) {
    std::array<std::uint8_t, kPingReplySize> reply{};
    std::memcpy(reply.data(), kPing.data(), kPing.size());
    putLe32(reply.data() + kPing.size() + 1, static_cast<std::uint32_t>(kBinaryProtocolLevel));
    writeIfHeld(channel, reply);
    TVX_LOG_AS(tvxlog::debug, kOnDataReceived) << "RDP OnDataReceived, WRITE PING: [" << reply.size() << "]";
}

void answerClientData(ChannelWriter& channel) {
    // Built even without a channel; every byte of the record is a member, so
    // the reply carries nothing undefined.
    CLIENT_DATA record;
    platform_getClientData(&record);
    if (channel.hasChannel())
        channel.write(reinterpret_cast<const std::uint8_t*>(&record), static_cast<std::uint32_t>(sizeof record));
    TVX_LOG_AS(tvxlog::debug, kOnDataReceived) << "RDP OnDataReceived, WRITE V1: [" << sizeof record << "]";
}

void answerClientDataV2(ChannelWriter& channel) {
    if (channel.hasChannel()) {
        CLIENT_DATA_V2 record;
        platform_getClientDataV2(&record);
        std::array<std::uint8_t, kClientDataV2ReplySize> reply{};
        std::memcpy(reply.data(), kGetClientDataV2.data(), kGetClientDataV2.size());
        std::memcpy(reply.data() + kGetClientDataV2.size() + 1, &record, sizeof record);
        channel.write(reply.data(), static_cast<std::uint32_t>(reply.size()));
    }
    TVX_LOG_AS(tvxlog::debug, kOnDataReceived) << "RDP OnDataReceived, WRITE V2: [" << kClientDataV2ReplySize << "]";
}

}  // namespace

void dispatchChannelMessage(ChannelWriter& channel, std::uint32_t cbSize, const std::uint8_t* buffer) {
    try {
        // No bytes to read is an empty message.
        if (!buffer) cbSize = 0;
        bool terminated = false;
        const std::string_view kind = kindText(buffer, cbSize, terminated);
        TVX_LOG_AS(tvxlog::debug, kOnDataReceived) << "RDP OnDataReceived: [" << cbSize << "] " << kind;

        if (isJsonRpc(buffer, cbSize)) {
            answerJsonRpc(channel, cbSize, buffer);
        } else if (terminated && kind == kSetLumeData) {
            answerSetLumeData(channel, cbSize, buffer);
        } else if (terminated && kind == kPing) {
            answerPing(channel);
        } else if (terminated && kind == kGetClientData) {
            answerClientData(channel);
        } else if (terminated && kind == kGetClientDataV2) {
            answerClientDataV2(channel);
        } else {
            TVX_LOG_AS(tvxlog::error, kOnDataReceived) << "RDP OnDataReceived: unexpected msg type received";
        }
    } catch (const std::exception& e) {
        TVX_LOG_AS(tvxlog::error, kOnDataReceived) << "RDP OnDataReceived exception: " << e.what();
    } catch (...) {
        TVX_LOG_AS(tvxlog::error, kOnDataReceived) << "RDP OnDataReceived unknown exception";
    }
}

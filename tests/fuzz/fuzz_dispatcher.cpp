// Arbitrary bytes as one channel message: the dispatcher must stay inside the
// bytes received and answer with at most one well-formed reply of the kind
// the message asked for.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string_view>
#include <vector>

#include "codec/codec.h"
#include "fuzz/fuzz_support.h"
#include "protocol/dispatcher.h"

namespace {

class CapturingChannel : public ChannelWriter {
public:
    bool hasChannel() const override { return true; }
    void write(const std::uint8_t* data, std::uint32_t size) override {
        ++writes;
        reply.assign(data, data + size);
    }
    int writes = 0;
    std::vector<std::uint8_t> reply;
};

bool startsWithKind(const std::uint8_t* data, std::size_t size, std::string_view kind) {
    return size > kind.size() && std::memcmp(data, kind.data(), kind.size()) == 0 && data[kind.size()] == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > std::numeric_limits<std::uint32_t>::max()) return 0;
    tvxfuzz::startLogging();
    CapturingChannel channel;
    dispatchChannelMessage(channel, static_cast<std::uint32_t>(size), data);
    if (channel.writes > 1) tvxfuzz::broken("more than one reply");

    // Which reply the message must get, decided here from the bytes alone.
    const std::span<const std::uint8_t> reply(channel.reply);
    try {
        if (startsWithKind(data, size, "PROTOCOL_JSON_RPC")) {
            if (channel.writes) tvxcodec::decodeJsonRpcFrame(reply);
        } else if (startsWithKind(data, size, "SET_LUME_DATA")) {
            if (!channel.writes) tvxfuzz::broken("SET_LUME_DATA without reply");
            tvxcodec::decodeSetLumeDataReply(reply);
        } else if (startsWithKind(data, size, "PING")) {
            if (!channel.writes || tvxcodec::decodePingReply(reply) != 2) tvxfuzz::broken("PING reply");
        } else if (startsWithKind(data, size, "GET_CLIENT_DATA")) {
            if (!channel.writes) tvxfuzz::broken("GET_CLIENT_DATA without reply");
            tvxcodec::decodeClientData(reply);
        } else if (startsWithKind(data, size, "GET_CLIENT_DATA_V2")) {
            if (!channel.writes) tvxfuzz::broken("GET_CLIENT_DATA_V2 without reply");
            tvxcodec::decodeClientDataV2Reply(reply);
        } else if (channel.writes) {
            tvxfuzz::broken("reply to an unknown kind", tvxcodec::hex(reply.first(std::min<std::size_t>(reply.size(), 32))).c_str());
        }
    } catch (const tvxcodec::DecodeError& e) {
        tvxfuzz::broken("malformed reply:", e.what());
    }
    return 0;
}

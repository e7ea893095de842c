// What tvx_query is asked on its command line, and the channel messages that
// carry each request.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tvxquery {

using Bytes = std::vector<std::uint8_t>;

extern const char kUsage[];

enum class RequestKind { ping, clientData, clientDataV2, metrics, rpcPing, lume, rpc, raw };

struct Request {
    RequestKind kind = RequestKind::raw;
    std::string title;  // how the output names the message
    Bytes message;      // the bytes sent over the channel
};

struct Options {
    std::string dll;  // UTF-8; empty for the DLL beside the program
    unsigned waitSeconds = 0;
    bool help = false;
    std::vector<Request> requests;
};

inline constexpr unsigned kMaxWaitSeconds = 3600;

// The arguments after the program name. False, with the reason in error, when
// they do not form a command; the caller shows the usage then.
bool parseArguments(const std::vector<std::string>& args, Options& options, std::string& error);

// "50494E4700" or "50 49 4E 47 00": pairs of hex digits, whitespace allowed
// between bytes. Empty text is an empty message.
std::optional<Bytes> parseHex(std::string_view text, std::string& error);

// What a reply is, told by its shape alone: the kind text it starts with, or
// its length for the version 1 record, which carries no kind text.
enum class ReplyShape { jsonRpc, clientDataV2, lume, ping, clientData, unknown };
ReplyShape replyShape(std::span<const std::uint8_t> reply);

}  // namespace tvxquery

#include "query/requests.h"

#include <json/value.h>

#include <cstring>

#include "codec/codec.h"
#include "rdclient/report.h"

namespace tvxquery {

const char kUsage[] =
    "usage: tvx_query [--dll PATH] [--wait SECONDS] REQUEST...\n"
    "  Loads DOZA-Plugin as the Remote Desktop client does, opens \"qmlink-dvc\",\n"
    "  sends the requests in order and prints each reply decoded.\n"
    "REQUEST:\n"
    "  ping          binary PING (protocol level)\n"
    "  v1            GET_CLIENT_DATA (version 1 record)\n"
    "  v2            GET_CLIENT_DATA_V2 (version 2 record)\n"
    "  metrics       JSON-RPC GET_METRICS\n"
    "  rpc-ping      JSON-RPC PING\n"
    "  lume JSON     SET_LUME_DATA with the document JSON\n"
    "  rpc JSON      any JSON-RPC payload, framed as it is\n"
    "  raw HEX       any bytes, e.g. 70696E6700 for an unknown kind\n"
    "Options:\n"
    "  --dll PATH      the plug-in DLL (default: DOZA-Plugin.dll beside tvx_query.exe)\n"
    "  --wait SECONDS  time the metric tasks run before the first request (default 0)\n"
    "Exit code: 0 when every step succeeded, 1 otherwise, 2 for bad arguments.\n";

namespace {

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

bool parseSeconds(const std::string& text, unsigned& seconds) {
    if (text.empty() || text.size() > 6) return false;
    unsigned value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    if (value > kMaxWaitSeconds) return false;
    seconds = value;
    return true;
}

Request jsonRpc(RequestKind kind, const std::string& payload) {
    return {kind, "PROTOCOL_JSON_RPC " + payload, tvxcodec::jsonRpcFrame(payload)};
}

bool startsWithKind(std::span<const std::uint8_t> reply, const char* kind) {
    std::size_t n = std::strlen(kind) + 1;  // with its NUL
    return reply.size() >= n && std::memcmp(reply.data(), kind, n) == 0;
}

}  // namespace

std::optional<Bytes> parseHex(std::string_view text, std::string& error) {
    Bytes out;
    std::size_t i = 0;
    while (i < text.size()) {
        if (isSpace(text[i])) {
            ++i;
            continue;
        }
        int high = hexDigit(text[i]);
        if (high < 0) {
            error = std::string("'") + text[i] + "' is not a hex digit";
            return std::nullopt;
        }
        if (i + 1 >= text.size() || isSpace(text[i + 1])) {
            error = "a byte needs two hex digits";
            return std::nullopt;
        }
        int low = hexDigit(text[i + 1]);
        if (low < 0) {
            error = std::string("'") + text[i + 1] + "' is not a hex digit";
            return std::nullopt;
        }
        out.push_back(static_cast<std::uint8_t>(high * 16 + low));
        i += 2;
    }
    return out;
}

bool parseArguments(const std::vector<std::string>& args, Options& options, std::string& error) {
    options = Options{};
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& word = args[i];
        // Requests and options that take a value read the next argument as it
        // is, so a JSON text or a path may begin with anything.
        auto value = [&](std::string& out) {
            if (i + 1 >= args.size()) {
                error = word + " needs a value";
                return false;
            }
            out = args[++i];
            return true;
        };
        std::string text;
        if (word == "--help" || word == "-h") {
            options.help = true;
        } else if (word == "--dll") {
            if (!value(options.dll)) return false;
            if (options.dll.empty()) {
                error = "--dll needs a path";
                return false;
            }
        } else if (word == "--wait") {
            if (!value(text)) return false;
            if (!parseSeconds(text, options.waitSeconds)) {
                error = "--wait takes whole seconds from 0 to " + std::to_string(kMaxWaitSeconds) + ", not '" + text + "'";
                return false;
            }
        } else if (word == "ping") {
            options.requests.push_back({RequestKind::ping, "PING", tvxcodec::pingRequest()});
        } else if (word == "v1") {
            options.requests.push_back(
                {RequestKind::clientData, "GET_CLIENT_DATA (version 1 record)", tvxcodec::getClientDataRequest()});
        } else if (word == "v2") {
            options.requests.push_back({RequestKind::clientDataV2, "GET_CLIENT_DATA_V2 (kind text + version 2 record)",
                                        tvxcodec::getClientDataV2Request()});
        } else if (word == "metrics" || word == "rpc-ping") {
            // Each JSON-RPC request carries its place on the command line as
            // its id, so the answers can be matched to the requests.
            Json::Value id(static_cast<Json::UInt>(options.requests.size() + 1));
            bool metrics = word == "metrics";
            options.requests.push_back(jsonRpc(metrics ? RequestKind::metrics : RequestKind::rpcPing,
                                               tvxcodec::jsonRpcPayload(metrics ? "GET_METRICS" : "PING", Json::Value(), id)));
        } else if (word == "lume") {
            if (!value(text)) return false;
            options.requests.push_back({RequestKind::lume, "SET_LUME_DATA " + text, tvxcodec::setLumeDataRequest(text)});
        } else if (word == "rpc") {
            if (!value(text)) return false;
            options.requests.push_back(jsonRpc(RequestKind::rpc, text));
        } else if (word == "raw") {
            if (!value(text)) return false;
            std::optional<Bytes> bytes = parseHex(text, error);
            if (!bytes) {
                error = "raw " + text + ": " + error;
                return false;
            }
            std::string title = bytes->empty() ? std::string("(empty message)") : standin::printable(*bytes);
            options.requests.push_back({RequestKind::raw, std::move(title), std::move(*bytes)});
        } else {
            error = "unknown request '" + word + "'";
            return false;
        }
    }
    if (options.requests.empty() && !options.help) {
        error = "no request given";
        return false;
    }
    return true;
}

ReplyShape replyShape(std::span<const std::uint8_t> reply) {
    if (startsWithKind(reply, "PROTOCOL_JSON_RPC")) return ReplyShape::jsonRpc;
    if (startsWithKind(reply, "GET_CLIENT_DATA_V2")) return ReplyShape::clientDataV2;
    if (startsWithKind(reply, "SET_LUME_DATA")) return ReplyShape::lume;
    if (startsWithKind(reply, "PING")) return ReplyShape::ping;
    if (reply.size() == tvxcodec::kClientDataSize) return ReplyShape::clientData;
    return ReplyShape::unknown;
}

}  // namespace tvxquery

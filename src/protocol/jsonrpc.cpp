#include "jsonrpc.h"

#include <json/reader.h>
#include <json/value.h>
#include <json/writer.h>

#include <cstdlib>
#include <cstring>
#include <exception>
#include <limits>
#include <string>
#include <string_view>

#include "jsonrpc_methods.h"
#include "platform/log.h"

namespace {

constexpr int kParseError = -32700;
constexpr int kInvalidRequest = -32600;
constexpr int kMethodNotFound = -32601;
constexpr int kMethodFailed = -32693;
constexpr int kInternalError = -32603;

// The lines of this service carry the name of the function that answers a frame.
constexpr const char* kProcessRequest = "`anonymous-namespace'::process_request";

std::uint32_t readLe32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

void writeLe32(std::uint8_t* p, std::uint32_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
    p[2] = static_cast<std::uint8_t>(v >> 16);
    p[3] = static_cast<std::uint8_t>(v >> 24);
}

// The answer keeps every member of the request but "method" and "params".
void buildError(Json::Value& value, int code, const std::string& text) {
    if (value.isObject()) {
        value.removeMember("method");
        value.removeMember("params");
    }
    Json::Value error(Json::objectValue);
    error["code"] = code;
    error["msg"] = text;
    value["error"] = std::move(error);
}

// Answers one request in place.
void answerRequest(Json::Value& request) {
    if (!request.isObject()) {
        request = Json::Value(Json::objectValue);
        buildError(request, kInvalidRequest, "json-rpc request must be json object.");
        return;
    }
    static constexpr std::string_view kMethod = "method";
    const Json::Value* method = request.find(kMethod.data(), kMethod.data() + kMethod.size());
    if (!method || !method->isString()) {
        buildError(request, kInvalidRequest, "json-rpc request must contain 'method' member.");
        return;
    }
    const std::string name = method->asString();
    const JsonRpcMethodTable& methods = jsonRpcMethods();
    const auto handler = methods.find(name);
    if (handler == methods.end()) {
        buildError(request, kMethodNotFound, "method handler not found: '" + name + "'.");
        return;
    }
    try {
        // Read in place: params can hold a whole document, and a batch would
        // copy each one.
        static const Json::Value kNoParams;
        static constexpr std::string_view kParams = "params";
        const Json::Value* found = request.find(kParams.data(), kParams.data() + kParams.size());
        const Json::Value& params = found ? *found : kNoParams;
        Json::Value result = handler->second(params);
        // Read after the handler ran, so params that is not an object fails
        // for every method with JsonCpp's own message.
        result["serverRoundtripMs"] = params["serverRoundtripMs"];
        request.removeMember("method");
        request.removeMember("params");
        request["result"] = result.isNull() ? Json::Value(Json::objectValue) : std::move(result);
    } catch (const std::exception& e) {
        buildError(request, kMethodFailed, e.what());
    }
}

// JsonCpp's classic Reader and FastWriter: the remote side sees their exact
// error reports and output, so they stay although JsonCpp marks them legacy.
#if defined(_MSC_VER)
#pragma warning(push)
#pragma warning(disable : 4996)
#elif defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#endif

// Takes its own copy of the text: the reader's error report looks one byte
// past a text that ends in '\r', and in a string that byte is the terminating
// NUL rather than whatever follows the bytes received.
Json::Value processPayload(const std::string& text) {
    Json::Value root;
    Json::Reader reader;
    // Comments are skipped without being kept: the writer drops them anyway.
    if (!reader.parse(text.data(), text.data() + text.size(), root, false)) {
        // Members of a top-level object read before the error stay in the answer.
        if (!root.isObject()) root = Json::Value(Json::objectValue);
        buildError(root, kParseError, "json-rpc request parse error: " + reader.getFormattedErrorMessages());
    } else if (root.isObject()) {
        answerRequest(root);
    } else if (root.isArray() && root.size() > kMaxJsonRpcBatch) {
        TVX_LOG_AS(tvxlog::error, kProcessRequest) << "json-rpc request: batch too large [" << root.size() << "], at most "
                                                    << kMaxJsonRpcBatch;
        const std::string text = "json-rpc batch too large: " + std::to_string(root.size()) + " requests, at most " +
                                 std::to_string(kMaxJsonRpcBatch) + ".";
        root = Json::Value(Json::objectValue);
        buildError(root, kInvalidRequest, text);
    } else if (root.isArray()) {
        for (Json::ArrayIndex i = 0; i < root.size(); ++i) answerRequest(root[i]);
    } else {
        root = Json::Value(Json::objectValue);
        buildError(root, kInvalidRequest, "json-rpc request should be json object or json array.");
    }
    return root;
}

// Compact, members in byte order of their names, one line feed at the end.
std::string writeCompact(const Json::Value& value) {
    Json::FastWriter writer;
    return writer.write(value);
}

#if defined(_MSC_VER)
#pragma warning(pop)
#elif defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

// An answer of one error object, with nothing of the request in it.
std::string errorText(int code, const std::string& text) {
    Json::Value value(Json::objectValue);
    buildError(value, code, text);
    return writeCompact(value);
}

JsonRpcBuffer* newFrame(const std::string& text) {
    // A length that does not fit the frame's 32-bit fields cannot be sent.
    if (text.size() > std::numeric_limits<std::uint32_t>::max() - kJsonRpcHeaderSize) return nullptr;
    auto* buffer = static_cast<JsonRpcBuffer*>(std::malloc(sizeof(JsonRpcBuffer)));
    auto* frame = static_cast<std::uint8_t*>(std::malloc(kJsonRpcHeaderSize + text.size()));
    if (!buffer || !frame) {
        std::free(buffer);
        std::free(frame);
        return nullptr;
    }
    std::memset(frame, 0, kJsonRpcHeaderSize);
    std::memcpy(frame, kJsonRpcTag, sizeof kJsonRpcTag - 1);
    writeLe32(frame + kJsonRpcLengthOffset, static_cast<std::uint32_t>(text.size()));
    if (!text.empty()) std::memcpy(frame + kJsonRpcHeaderSize, text.data(), text.size());
    buffer->length = static_cast<std::uint32_t>(kJsonRpcHeaderSize + text.size());
    buffer->data = frame;
    return buffer;
}

JsonRpcBuffer* process_request(const std::uint8_t* message, std::size_t length) {
    try {
        if (length < kJsonRpcHeaderSize) {
            TVX_LOG(tvxlog::error) << "json-rpc request: invalid binary data length [" << length << "]";
            return nullptr;
        }
        // The tag ends at its NUL, and never beyond the tag field.
        const void* nul = std::memchr(message, 0, kJsonRpcTagFieldSize);
        const std::size_t tagLength =
            nul ? static_cast<std::size_t>(static_cast<const std::uint8_t*>(nul) - message) : kJsonRpcTagFieldSize;
        const std::string_view tag(reinterpret_cast<const char*>(message), tagLength);
        if (tag != kJsonRpcTag) {
            TVX_LOG(tvxlog::error) << "json-rpc request: invalid binary header: '" << tvxlog::printable(tag) << "'";
            return nullptr;
        }
        const std::uint32_t n = readLe32(message + kJsonRpcLengthOffset);
        if (static_cast<std::uint64_t>(length) != kJsonRpcHeaderSize + static_cast<std::uint64_t>(n)) {
            TVX_LOG(tvxlog::error) << "json-rpc request: invalid binary data length [" << length << "]";
            return nullptr;
        }
        const char* payload = reinterpret_cast<const char*>(message + kJsonRpcHeaderSize);
        std::string text;
        if (n > kMaxJsonRpcPayload) {
            TVX_LOG(tvxlog::error) << "json-rpc request: payload too large [" << n << "], at most "
                                   << kMaxJsonRpcPayload;
            text = errorText(kInvalidRequest, "json-rpc request too large: " + std::to_string(n) +
                                                  " bytes, at most " + std::to_string(kMaxJsonRpcPayload) + ".");
        } else {
            TVX_LOG(tvxlog::debug) << "json-rpc request: " << tvxlog::printable(std::string_view(payload, n));
            text = writeCompact(processPayload(std::string(payload, n)));
        }
        if (text.size() > kMaxJsonRpcResponse) {
            TVX_LOG(tvxlog::error) << "json-rpc response: too large [" << text.size() << "], at most "
                                   << kMaxJsonRpcResponse;
            text = errorText(kInternalError, "json-rpc response too large: " + std::to_string(text.size()) +
                                                 " bytes, at most " + std::to_string(kMaxJsonRpcResponse) + ".");
        }
        TVX_LOG(tvxlog::debug) << "json-rpc response: " << text;

        JsonRpcBuffer* buffer = newFrame(text);
        if (!buffer) {
            TVX_LOG(tvxlog::error) << "json-rpc response: NULL pointer returned";
        }
        return buffer;
    } catch (const std::exception& e) {
        TVX_LOG(tvxlog::error) << "json-rpc request: " << e.what();
    } catch (...) {
        TVX_LOG(tvxlog::error) << "json-rpc request: unknown exception";
    }
    return nullptr;
}

}  // namespace

TVX_API JsonRpcBuffer* platform_processJsonRpc(const std::uint8_t* message, std::size_t length) {
    if (!message || length == 0) return nullptr;
    try {
        return process_request(message, length);
    } catch (...) {
        // process_request logs its own failures; only a failing log line gets here.
        return nullptr;
    }
}

TVX_API int freeJsonRpcBuffer(JsonRpcBuffer* buffer) {
    if (!buffer) return 0;
    std::free(buffer->data);
    std::free(buffer);
    return 0;
}

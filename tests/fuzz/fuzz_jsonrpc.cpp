// Arbitrary bytes as the JSON text of a well-formed request frame: the
// service either gives no answer (reason logged) or one well-formed response
// frame whose text is JSON of the envelope's shape. Leaks are findings too.
#include <cstdint>
#include <string_view>

#include "codec/codec.h"
#include "fuzz/fuzz_support.h"
#include "protocol/jsonrpc.h"

namespace {

// Members of the request other than "method" and "params" travel into the
// answer unchanged, so a request may bring its own "error" or "result"; at
// least one of the two must be the service's own.
void checkAnswer(const Json::Value& answer) {
    if (!answer.isObject()) tvxfuzz::broken("answer is not an object");
    if (answer.isMember("method") || answer.isMember("params")) tvxfuzz::broken("method or params left in answer");
    const Json::Value& error = answer["error"];
    const bool isError = error.isObject() && error.size() == 2 && error["code"].isInt() && error["msg"].isString();
    const Json::Value& result = answer["result"];
    const bool isResult = result.isObject() && result.isMember("serverRoundtripMs");
    if (!isError && !isResult) tvxfuzz::broken("answer without error or result");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    tvxfuzz::startLogging();
    const tvxcodec::Bytes frame =
        tvxcodec::jsonRpcFrame(std::string_view(reinterpret_cast<const char*>(data), size));
    JsonRpcBuffer* buffer = platform_processJsonRpc(frame.data(), frame.size());
    if (!buffer) return 0;
    // Escaping makes a byte at most six characters, and each request of a
    // batch adds at most one answer of its own (GET_METRICS, here with its
    // defaults, is the largest).
    if (buffer->length > kJsonRpcHeaderSize + 6 * size + kMaxJsonRpcBatch * 2048)
        tvxfuzz::broken("response out of proportion to its request");
    try {
        const auto reply = tvxcodec::decodeJsonRpcFrame({buffer->data, buffer->length});
        if (reply.value.isArray()) {
            for (const Json::Value& answer : reply.value) checkAnswer(answer);
        } else {
            checkAnswer(reply.value);
        }
    } catch (const tvxcodec::DecodeError& e) {
        tvxfuzz::broken("malformed response frame:", e.what());
    }
    freeJsonRpcBuffer(buffer);
    return 0;
}

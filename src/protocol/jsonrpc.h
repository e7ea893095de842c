// "PROTOCOL_JSON_RPC" frames: a 64-byte header (32-byte tag field, 28 reserved
// bytes, the payload length as little-endian uint32 at offset 60) and a JSON
// text. Requests are checked and answered here; the answer goes back in a new
// frame of the same shape.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform_api.h"

inline constexpr char kJsonRpcTag[] = "PROTOCOL_JSON_RPC";
inline constexpr std::size_t kJsonRpcHeaderSize = 64;
inline constexpr std::size_t kJsonRpcTagFieldSize = 32;
inline constexpr std::size_t kJsonRpcLengthOffset = 60;

// Bounds on the work one frame from the remote host can cause. The largest
// real request is a SET_LUME_DATA document of a few kilobytes, and the remote
// host batches about ten requests; a batch of 100 GET_METRICS answers is some
// 150 KB. Each bound leaves a wide margin above that while keeping a hostile
// frame to a few megabytes of memory and milliseconds of the client's
// callback thread (a response can be up to six times its request, through
// escaping, plus the answers themselves).
inline constexpr std::size_t kMaxJsonRpcPayload = 256 * 1024;   // bytes of JSON text
inline constexpr std::size_t kMaxJsonRpcBatch = 100;            // requests in one array
inline constexpr std::size_t kMaxJsonRpcResponse = 1024 * 1024; // bytes of response text

// One response frame: length is the whole frame's size (64 + payload).
struct JsonRpcBuffer {
    std::uint32_t length;
    std::uint8_t* data;
};

// Answers one request frame. Null when there is nothing to send (null message,
// zero length, a malformed frame, a failure while processing); the reason has
// been logged, except for the first two. Release the result with
// freeJsonRpcBuffer.
TVX_API JsonRpcBuffer* platform_processJsonRpc(const std::uint8_t* message, std::size_t length);

// Releases the bytes and the record; a null record is ignored. Returns 0.
TVX_API int freeJsonRpcBuffer(JsonRpcBuffer* buffer);

#include "jsonrpc_methods.h"

#include "agent/lume_api.h"
#include "platform/metric_store.h"

namespace {

// The level of the JSON-RPC path; the binary "PING" reports its own (2).
constexpr int kJsonRpcProtocolLevel = 3;

Json::Value ping(const Json::Value& /*params*/) {
    Json::Value result(Json::objectValue);
    result["protocol"] = kJsonRpcProtocolLevel;
    return result;
}

Json::Value getMetrics(const Json::Value& /*params*/) {
    return getMetricsSnapshot();
}

Json::Value setLumeData(const Json::Value& params) {
    // Reading a member of params that is neither an object nor null throws
    // JsonCpp's own error, which the caller turns into the error answer.
    const Json::Value& lumeMsg = params["lume_msg"];
    const std::uint32_t flags = platform_setLumeData_JsonRpc(lumeMsg);
    Json::Value result(Json::objectValue);
    result["request_from_lume"] = static_cast<Json::Int>(flags & 0xFFFFu);
    return result;
}

const JsonRpcMethodTable methodTable = {
    {"PING", &ping},
    {"GET_METRICS", &getMetrics},
    {"SET_LUME_DATA", &setLumeData},
};

}  // namespace

const JsonRpcMethodTable& jsonRpcMethods() {
    return methodTable;
}

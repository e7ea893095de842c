// The JSON-RPC methods, by exact (case-sensitive) name.
#pragma once

#include <json/value.h>

#include <map>
#include <string>

// Takes the request's "params" (null when absent); returns the result object.
using JsonRpcHandler = Json::Value (*)(const Json::Value& params);
using JsonRpcMethodTable = std::map<std::string, JsonRpcHandler>;

// Built while the program loads and only read afterwards, so it needs no lock.
const JsonRpcMethodTable& jsonRpcMethods();

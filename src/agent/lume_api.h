// Entry points of the agent bridge: the thread that relays documents from
// the remote host to the local Lume agent and carries back what it asks for.
#pragma once

#include <json/value.h>

#include <cstddef>
#include <cstdint>

#include "platform/platform_api.h"

// Starts the bridge thread: 0 when it runs (or already ran), -2 on failure.
TVX_API int lume_init();
// Stops and joins the bridge thread; stopping a stopped bridge only logs.
TVX_API void lume_shutdown();

// Hands one document (the bytes after the "SET_LUME_DATA" tag and its NUL)
// to the bridge; the agent's data-requested flags, 0 while no bridge runs.
TVX_API std::uint32_t platform_setLumeData(std::size_t length, const char* data);
// The same for the "lume_msg" of the JSON-RPC method: an object, or a string
// holding the document with or without the "SET_LUME_DATA" tag.
std::uint32_t platform_setLumeData_JsonRpc(const Json::Value& params);

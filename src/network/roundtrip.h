// Collectors of the round-trip tasks.
#pragma once

#include <json/value.h>

#include <cstdint>

// "roundtripMs": ICMP to the gateway of the latest interface choice.
std::int32_t getRoundtripGateway(Json::Value& metrics);
// "roundtripGoogleMs" and "latencyTarget": ICMP to the sample endpoint.
std::int32_t getRoundtripGoogle(Json::Value& metrics);
// "roundtripAdcMs": not measured.
std::int32_t getRoundtripAdc(Json::Value& metrics);

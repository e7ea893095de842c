#include "roundtrip.h"

#include <string>

#include "network_data.h"
#include "platform/log.h"
#include "probes.h"

std::int32_t getRoundtripGateway(Json::Value& metrics) {
    const std::string gateway = getGateway();
    const int rtt = gateway.empty() ? -1 : getRoundTripToIP_impl(gateway);
    TVX_LOG(tvxlog::debug) << "Gateway '" << gateway << "' roundtrip time: " << rtt;
    metrics["roundtripMs"] = rtt;
    return 0;
}

std::int32_t getRoundtripGoogle(Json::Value& metrics) {
    std::string name;
    const std::string address = getPingIp(name);
    const int rtt = address.empty() ? -1 : getRoundTripToIP_impl(address);
    TVX_LOG(tvxlog::debug) << "Sample endpoint '" << name << "' roundtrip time: " << rtt << " ms";
    metrics["roundtripGoogleMs"] = rtt;
    metrics["latencyTarget"] = name;
    return 0;
}

std::int32_t getRoundtripAdc(Json::Value& metrics) {
    metrics["roundtripAdcMs"] = -1;
    return 0;
}

// The product's eight metric tasks: which collectors each calls, which keys
// it owns and which inputs wake it.
#include "platform/task_table.h"

#include "host/euc_gateway.h"
#include "host/host_facts.h"
#include "host/user_activity.h"
#include "network/network_info.h"
#include "network/public_ip.h"
#include "network/roundtrip.h"

#include <string>
#include <utility>

namespace {

// Collectors are listed in call order; a task whose collectors are not listed
// merges its keys' defaults.
TaskTable buildTaskTable() {
    TaskTable table;
    auto add = [&table](std::string name, std::vector<MetricCollector> collectors, std::vector<std::string> keys,
                        std::vector<MetricInput> inputs = {}) {
        table.push_back(std::make_shared<QmPlatformTask>(std::move(name), std::move(collectors), std::move(keys),
                                                         std::move(inputs)));
    };
    using enum MetricInput;
    add("Common Metrics",
        // The facts read from the system first; then those that run console
        // programs (the OS facts) or ask the network (the public IP), so a
        // slow program never holds back the interface.
        {getCurrentUserName, getComputerName, getActiveAppInfo, getInactivitySeconds, getKtrDeviceId, getCpuUsage,
         getClientVersion, getNetworkInfo, getOSVersion, getPublicIp},
        {"userName", "computerName", "activeProcessName", "foregroundProcessName", "inactivityTimeSeconds",
         "osName", "osVersionNumber", "ktrDeviceId", "cpu_usage", "client_version", "gateway", "mac_address",
         "if_guid", "if_type", "if_type_value", "description", "privateIpAddress", "publicIpAddress",
         "wifi_ssid", "wifi_bssid", "wifi_radio_type", "wifi_authentication", "wifi_strength", "wifi_channel",
         "speed", "rtxPackets"});
    add("Gateway Roundtrip", {getRoundtripGateway}, {"roundtripMs"}, {gateway});
    add("Google Roundtrip", {getRoundtripGoogle}, {"roundtripGoogleMs", "latencyTarget"});
    // Only fills the route cache that "ISP Roundtrip" reads.
    add("ISP Route", {getIspRouteIp}, {}, {publicIp});
    add("ISP Location", {getIspLocation}, {"isp_name", "client_location", "client_latitude", "client_longitude"},
        {publicIp, location});
    add("ISP Roundtrip", {getRoundtripIsp}, {"roundtripIspMs"}, {ispRoute});
    add("ADC Roundtrip,", {getRoundtripAdc}, {"roundtripAdcMs"});
    add("Euc Roundtrip ", {getEucGateway, getEucGatewayRoundtrip}, {"eucGateway", "roundtripEucGatewayMs"});
    return table;
}

}  // namespace

const TaskTable& productTaskTable() {
    static const TaskTable table = buildTaskTable();
    return table;
}

namespace {

// Built before any thread can exist.
const bool taskTableReady = (productTaskTable(), true);

}  // namespace

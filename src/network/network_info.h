// Choice of the active network interface: the IPv4 adapter whose address
// carries the default route with the lowest metric, among the adapters that
// match a physical interface by MAC address. The system's tables arrive as
// plain rows (network_info_win32.cpp reads them), so the choice is portable.
#pragma once

#include <json/value.h>

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

// One row of the interface table.
struct InterfaceRow {
    bool connectorPresent = false;
    std::vector<std::uint8_t> physicalAddress;
    std::uint32_t type = 0;  // IANA interface type
    std::uint64_t transmitLinkSpeed = 0;  // bits per second
    std::uint64_t outErrors = 0;
};

// One entry of the IPv4 adapter list.
struct AdapterRow {
    std::string name;  // the adapter's GUID text, in braces
    std::string description;
    std::vector<std::uint8_t> address;
    bool dhcpEnabled = false;
    std::int64_t leaseExpires = 0;
    std::string firstIp;       // dotted text
    std::string firstGateway;  // dotted text
};

// One route of the IPv4 forward table and one row of the address table, with
// their addresses already rendered as dotted text (empty when that failed).
struct RouteRow {
    std::uint32_t interfaceIndex = 0;
    std::string destination;
    std::uint32_t metric = 0;
};
struct AddressRow {
    std::uint32_t interfaceIndex = 0;
    std::string address;
};

// Why a table could not be read: the log text and the system's code.
struct TableError {
    std::string message;
    unsigned long code = 0;
};

using DefaultRouteMetrics = std::map<std::string, std::uint32_t>;

// The Wi-Fi query's shape (getWifiMetricsImpl).
using WifiQuery = std::function<bool(std::string& guid, std::string& ssid, std::string& bssid,
                                     std::string& authentication, std::string& radioType, int& strength,
                                     int& channel)>;

// Where getNetworkInfo reads the machine; tests hand rows of their own.
struct NetworkSources {
    std::function<bool(std::vector<InterfaceRow>&, TableError&)> readInterfaces;
    std::function<bool(std::vector<AdapterRow>&, TableError&)> readAdapters;
    std::function<DefaultRouteMetrics()> defaultRouteMetrics;
    WifiQuery wifiQuery;
    std::function<bool()> running;
};

// The machine's own sources (the platform adapter).
NetworkSources systemNetworkSources();

// The collector of the "Common Metrics" task. 0 when done (also when stopped
// early), -2 when the interface table or the adapter list is unreadable.
std::int32_t getNetworkInfo(Json::Value& metrics);
std::int32_t getNetworkInfo(Json::Value& metrics, const NetworkSources& sources);

// Address text -> metric of its interface's default route; a later default
// route on the same address replaces an earlier one.
DefaultRouteMetrics buildDefaultRouteMetrics(const std::vector<RouteRow>& routes,
                                             const std::vector<AddressRow>& addresses);
// The default-route metric map of the machine; empty on any failure.
DefaultRouteMetrics getInetIPForwardTableInfo();

const std::string& getInterfaceTypeName(int type);
// "00-1A-2B-3C-4D-5E"; at most the first ten bytes are rendered.
std::string formatMacAddress(const std::uint8_t* bytes, std::size_t length);

// The name this module's route-table lines carry.
inline constexpr char kForwardTableFunction[] = "`anonymous-namespace'::getInetIPForwardTableInfo";

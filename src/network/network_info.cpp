#include "network_info.h"

#include <cstdio>
#include <map>

#include "network_data.h"
#include "platform/log.h"
#include "platform/privacy_filter.h"

namespace {

struct InterfaceCandidate {
    std::int32_t metric;
    const InterfaceRow* row;
    const AdapterRow* adapter;
};

constexpr std::int32_t kNoDefaultRoute = 0x7FFFFFFF;

}  // namespace

const std::string& getInterfaceTypeName(int type) {
    static const std::map<int, std::string> names = {
        {6, "Ethernet"},
        {9, "Token Ring"},
        {23, "PPP"},
        {24, "Software Loopback"},
        {37, "ATM"},
        {71, "IEEE 802.11 Wireless"},
        {131, "Tunnel type encapsulation"},
        {144, "IEEE 1394 Firewire"},
        {243, "WWAN devices based on GSM technology"},
        {244, "WWAN devices based on CDMA technology"},
        {259, "IEEE 802.15.4 WPAN interface"},
    };
    static const std::string unknown = "Unknown";
    auto it = names.find(type);
    return it == names.end() ? unknown : it->second;
}

std::string formatMacAddress(const std::uint8_t* bytes, std::size_t length) {
    // Built in a 32-character buffer, as the logs have always shown it.
    char text[32] = "";
    std::size_t pos = 0;
    for (std::size_t i = 0; i < length && pos + 3 < sizeof text; ++i)
        pos += static_cast<std::size_t>(std::snprintf(text + pos, sizeof text - pos, "%.2X%s", bytes[i],
                                                      i + 1 == length ? "" : "-"));
    return text;
}

DefaultRouteMetrics buildDefaultRouteMetrics(const std::vector<RouteRow>& routes,
                                             const std::vector<AddressRow>& addresses) {
    DefaultRouteMetrics metrics;
    for (const RouteRow& route : routes) {
        const AddressRow* match = nullptr;
        for (const AddressRow& a : addresses) {
            if (a.interfaceIndex == route.interfaceIndex) {
                match = &a;
                break;
            }
        }
        if (match == nullptr || match->address.empty()) {
            TVX_LOG_AS(tvxlog::error, kForwardTableFunction)
                << "Error: Could not convert Interface number " << route.interfaceIndex << " to IP address";
            continue;
        }
        if (route.destination == "0.0.0.0") metrics[match->address] = route.metric;
    }
    return metrics;
}

std::int32_t getNetworkInfo(Json::Value& metrics) { return getNetworkInfo(metrics, systemNetworkSources()); }

std::int32_t getNetworkInfo(Json::Value& metrics, const NetworkSources& sources) {
    TVX_LOG(tvxlog::verbose) << "get private ip address...";
    std::vector<InterfaceRow> rows;
    std::vector<AdapterRow> adapters;
    TableError failure;
    if (!sources.readInterfaces(rows, failure) || !sources.readAdapters(adapters, failure)) {
        TVX_LOG(tvxlog::error) << failure.message << tvxlog::errorSuffix(failure.code);
        return -2;
    }
    const DefaultRouteMetrics routeMetrics = sources.defaultRouteMetrics();

    std::vector<InterfaceCandidate> candidates;
    for (const AdapterRow& adapter : adapters) {
        if (adapter.firstIp == "0.0.0.0") continue;
        TVX_LOG(tvxlog::verbose) << "Checking if adapter [" << adapter.firstIp
                                 << "] is current interface (private address)...";
        TVX_LOG(tvxlog::verbose) << "Obtained First Gateway in list : " << adapter.firstGateway;
        const std::string adapterMac = formatMacAddress(adapter.address.data(), adapter.address.size());
        for (const InterfaceRow& row : rows) {
            if (!row.connectorPresent) continue;
            const std::string rowMac = formatMacAddress(row.physicalAddress.data(), row.physicalAddress.size());
            if (rowMac.empty() || rowMac != adapterMac) continue;
            TVX_LOG(tvxlog::verbose) << "\t...found MAC address in ifRows; addr1 = [" << rowMac << "], addr2 = ["
                                     << adapterMac << "]";
            if (adapter.dhcpEnabled && adapter.leaseExpires < -1) continue;
            auto metric = routeMetrics.find(adapter.firstIp);
            candidates.push_back({metric == routeMetrics.end() ? kNoDefaultRoute
                                                               : static_cast<std::int32_t>(metric->second),
                                  &row, &adapter});
        }
        if (!sources.running()) return 0;
    }

    const InterfaceCandidate* chosen = nullptr;
    for (const InterfaceCandidate& c : candidates)
        if (chosen == nullptr || c.metric < chosen->metric) chosen = &c;

    std::string guid, description, gateway, privateIp, mac;
    int type = -1;
    std::int32_t speed = -1;
    std::int32_t outErrors = -1;
    if (chosen == nullptr) {
        TVX_LOG(tvxlog::warning) << "Network data is empty";
    } else {
        guid = chosen->adapter->name;
        description = chosen->adapter->description;
        gateway = chosen->adapter->firstGateway;
        privateIp = chosen->adapter->firstIp;
        mac = formatMacAddress(chosen->adapter->address.data(), chosen->adapter->address.size());
        type = static_cast<int>(chosen->row->type);
        speed = static_cast<std::int32_t>(chosen->row->transmitLinkSpeed / 1000000);
        outErrors = static_cast<std::int32_t>(chosen->row->outErrors);
    }
    const std::string& typeName = getInterfaceTypeName(type);
    TVX_LOG(tvxlog::debug) << "Network data : ";
    TVX_LOG(tvxlog::debug) << "Interface Name: " << guid;
    TVX_LOG(tvxlog::debug) << "\tInterface description: " << description;
    TVX_LOG(tvxlog::debug) << "\tInterface Type: " << typeName;
    TVX_LOG(tvxlog::debug) << "\tGateway: " << gateway;
    TVX_LOG(tvxlog::debug) << "\tPrivate IP: " << privateIp;
    TVX_LOG(tvxlog::debug) << "\tMac Address: " << mac;
    TVX_LOG(tvxlog::debug) << "\tspeed : " << speed;
    if (!sources.running()) return 0;

    std::string ssid, bssid, authentication, radioType;
    int strength = -1;
    int channel = -1;
    auto& privacy = dataPrivacyFilter::instance();
    const bool showSsid = privacy.isEnabled(kPrivacyWifiSsid);
    const bool showBssid = privacy.isEnabled(kPrivacyWifiBssid);
    if (type == 71 && sources.wifiQuery(guid, ssid, bssid, authentication, radioType, strength, channel)) {
        TVX_LOG(tvxlog::debug) << "Connected WLAN GUID: " << guid;
        if (showSsid) TVX_LOG(tvxlog::debug) << "\tSSID: " << tvxlog::printable(ssid);
        if (showBssid) TVX_LOG(tvxlog::debug) << "\tBSSID: " << bssid;
        TVX_LOG(tvxlog::debug) << "\tauthentication standard : " << authentication;
        TVX_LOG(tvxlog::debug) << "\tradio type : " << radioType;
        TVX_LOG(tvxlog::debug) << "\tstrength : " << strength;
        TVX_LOG(tvxlog::debug) << "\tchannel : " << channel;
    }

    metrics["if_guid"] = guid;
    metrics["if_type"] = typeName;
    metrics["if_type_value"] = type;
    metrics["description"] = description;
    metrics["gateway"] = gateway;
    metrics["privateIpAddress"] = privateIp;
    metrics["mac_address"] = mac;
    metrics["speed"] = speed;
    metrics["rtxPackets"] = outErrors;
    if (showSsid) metrics["wifi_ssid"] = ssid;
    if (showBssid) metrics["wifi_bssid"] = bssid;
    metrics["wifi_authentication"] = authentication;
    metrics["wifi_radio_type"] = radioType;
    metrics["wifi_strength"] = strength;
    metrics["wifi_channel"] = channel;

    setNetworkDataCache(guid, gateway, privateIp, mac, ssid);
    return 0;
}

#include "wifi.h"

#include <algorithm>
#include <cstdio>
#include <mutex>

#include "platform/log.h"
#include "platform/platform_service.h"
#include "platform/privacy_filter.h"

std::string wifiAuthenticationName(std::uint32_t algorithm) {
    static const char* const names[] = {
        "802.11 Open", "802.11 Shared Key (WEP)", "WPA", "WPA-Personal (PSK)", "WPA-None", "WPA2",
        "WPA2-Personal (PSK)", "WPA3-Enterprise", "WPA3-Personal (H2E)", "OWE (Opportunistic Wireless Encryption)",
        // 11 is the 192-bit suite, reported under the same name as 8.
        "WPA3-Enterprise"};
    if (algorithm >= 1 && algorithm <= std::size(names)) return names[algorithm - 1];
    if (algorithm == 0x80000000u || algorithm == 0xFFFFFFFFu) return "Unknown";
    return "Unknown (" + std::to_string(static_cast<std::int32_t>(algorithm)) + ")";
}

std::string wifiRadioTypeName(std::uint32_t phyType) {
    static const char* const names[] = {"Frequency-hopping spread spectrum (FHSS)",
                                        "Direct-sequence spread spectrum (DSSS)",
                                        "Infrared baseband (IR)",
                                        "OFDM (802.11a)",
                                        "High-rate DSSS (802.11b)",
                                        "Extended rate PHY (802.11g)",
                                        "High Throughput (802.11n)",
                                        "Very High Throughput (802.11ac)",
                                        "Directional Multi-Gigabit (802.11ad)",
                                        "High Efficiency (802.11ax / Wi-Fi 6)",
                                        "Extremely High Throughput (802.11be / Wi-Fi 7)"};
    if (phyType >= 1 && phyType <= std::size(names)) return names[phyType - 1];
    if (phyType == 0 || phyType == 0x80000000u || phyType == 0xFFFFFFFFu) return "Unknown";
    return "Unknown (" + std::to_string(phyType) + ")";
}

std::string wifiSsidText(const WifiConnectionRow& row) {
    const std::size_t n = std::min<std::size_t>(row.ssidLength, sizeof row.ssid);
    const std::uint8_t* end = std::find(row.ssid, row.ssid + n, std::uint8_t{0});
    return std::string(reinterpret_cast<const char*>(row.ssid), static_cast<std::size_t>(end - row.ssid));
}

std::string wifiBssidText(const WifiConnectionRow& row) {
    char text[18];
    std::snprintf(text, sizeof text, "%.2X-%.2X-%.2X-%.2X-%.2X-%.2X", row.bssid[0], row.bssid[1], row.bssid[2],
                  row.bssid[3], row.bssid[4], row.bssid[5]);
    return text;
}

namespace {

// The current-connection refusal last logged: the location permission refuses
// the query on every pass, so it is logged again only for another interface
// or code, or after the query worked or the link went.
struct LoggedRefusal {
    std::mutex mutex;
    std::string guid;
    std::uint32_t code = 0;

    bool isNew(const std::string& g, std::uint32_t c) {
        std::lock_guard<std::mutex> lock(mutex);
        if (g == guid && c == code) return false;
        guid = g;
        code = c;
        return true;
    }
    void forget() { isNew(std::string(), 0); }
};

LoggedRefusal& loggedRefusal() {
    static LoggedRefusal r;
    return r;
}

}  // namespace

bool getWifiMetricsImpl(wifisys::Client& client, std::string& interfaceGuid, std::string& ssid, std::string& bssid,
                        std::string& authentication, std::string& radioType, int& strength, int& channel) {
    TVX_LOG(tvxlog::verbose) << "get Wifi metrics ...";
    if (std::uint32_t code = client.open(); code != 0) {
        TVX_LOG(tvxlog::error) << "WlanOpenHandle error: " << tvxlog::errorSuffix(code);
        return false;
    }
    std::vector<WifiInterfaceRow> rows;
    bool listed = false;
    if (std::uint32_t code = client.enumInterfaces(rows, listed); code != 0 || !listed) {
        TVX_LOG(tvxlog::error) << "WlanEnumInterfaces error: " << tvxlog::errorSuffix(code);
        return false;
    }
    std::size_t index = rows.size();
    for (std::size_t i = 0; i < rows.size() && isServiceRunning(); ++i) {
        if (rows[i].state == kWifiStateConnected) {
            index = i;
            break;
        }
    }
    if (index == rows.size()) {
        TVX_LOG(tvxlog::info) << "WIFI is not connected";
        loggedRefusal().forget();
        return false;
    }
    interfaceGuid = rows[index].guid;

    // The current connection is what the system guards with the user's
    // location permission (and may prompt for): not asked when neither SSID
    // nor BSSID may be reported.
    auto& privacy = dataPrivacyFilter::instance();
    const bool wanted = privacy.isEnabled(kPrivacyWifiSsid) || privacy.isEnabled(kPrivacyWifiBssid);
    WifiConnectionRow connection;
    bool answered = false;
    const std::uint32_t code = wanted ? client.queryConnection(index, connection, answered) : 0;
    if (!wanted) {
        loggedRefusal().forget();
    } else if (code != 0 || !answered) {
        if (loggedRefusal().isNew(interfaceGuid, code))
            TVX_LOG(tvxlog::error) << "wlanAPI_QueryInterface for 'wlan_intf_opcode_current_connection' failed : "
                                   << tvxlog::errorSuffix(code);
    } else {
        loggedRefusal().forget();
        ssid = wifiSsidText(connection);
        bssid = wifiBssidText(connection);
        authentication = wifiAuthenticationName(connection.authAlgorithm);
        radioType = wifiRadioTypeName(connection.phyType);
        strength = static_cast<int>(connection.signalQuality);
    }

    std::uint32_t number = 0, lastError = 0;
    if (client.queryChannel(index, number, lastError)) {
        channel = static_cast<int>(number);
    } else {
        TVX_LOG(tvxlog::error) << "wlanAPI_QueryInterface for 'wlan_intf_opcode_channel_number' failed : "
                               << tvxlog::errorSuffix(lastError);
    }
    return true;
}

bool getWifiMetricsImpl(std::string& interfaceGuid, std::string& ssid, std::string& bssid,
                        std::string& authentication, std::string& radioType, int& strength, int& channel) {
    std::unique_ptr<wifisys::Client> client = wifisys::systemClient();
    return getWifiMetricsImpl(*client, interfaceGuid, ssid, bssid, authentication, radioType, strength, channel);
}

// Wi-Fi link facts of the machine's first connected wireless interface, from
// the Native Wi-Fi library loaded on first use.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// Fills the seven outputs and returns true when a connected wireless interface
// was found. The caller sets the defaults (texts empty, numbers -1) first; the
// GUID also carries the caller's interface GUID in and is replaced only when a
// connected interface is found.
bool getWifiMetricsImpl(std::string& interfaceGuid, std::string& ssid, std::string& bssid,
                        std::string& authentication, std::string& radioType, int& strength, int& channel);

// Loads the Native Wi-Fi library and its five functions once per process, on
// the first call; true when all of them are there. The library stays loaded
// for the life of the process.
bool initWlanAPILibrary();

// One interface of the wireless interface list.
struct WifiInterfaceRow {
    std::string guid;  // "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}"
    std::uint32_t state = 0;
};
constexpr std::uint32_t kWifiStateConnected = 1;

// The current-connection facts of one interface.
struct WifiConnectionRow {
    std::uint8_t ssid[32]{};
    std::uint32_t ssidLength = 0;  // as reported; may exceed the field
    std::uint8_t bssid[6]{};
    std::uint32_t phyType = 0;
    std::uint32_t signalQuality = 0;
    std::uint32_t authAlgorithm = 0;
};

namespace wifisys {

// One client session of the Native Wi-Fi API (wifi_win32.cpp, wifi_native.cpp).
// Codes are the API's results; 1 when the library lacks the function. The
// session closes its handle when destroyed.
class Client {
public:
    virtual ~Client() = default;
    virtual std::uint32_t open() = 0;
    // listed is false when the call returned no list.
    virtual std::uint32_t enumInterfaces(std::vector<WifiInterfaceRow>& rows, bool& listed) = 0;
    // answered is false when no data came back.
    virtual std::uint32_t queryConnection(std::size_t index, WifiConnectionRow& row, bool& answered) = 0;
    // False with the thread's last error when no channel came back.
    virtual bool queryChannel(std::size_t index, std::uint32_t& channel, std::uint32_t& lastError) = 0;
};

// A session over the process's Native Wi-Fi library.
std::unique_ptr<Client> systemClient();

}  // namespace wifisys

// The query on a given session.
bool getWifiMetricsImpl(wifisys::Client& client, std::string& interfaceGuid, std::string& ssid, std::string& bssid,
                        std::string& authentication, std::string& radioType, int& strength, int& channel);

// "WPA2", ... ; "Unknown" for 0x80000000 and 0xFFFFFFFF, "Unknown (n)" with n
// signed for any other number, 0 included.
std::string wifiAuthenticationName(std::uint32_t algorithm);
// "OFDM (802.11a)", ... ; "Unknown" for 0, 0x80000000 and 0xFFFFFFFF, "Unknown (n)"
// with n unsigned for any other number.
std::string wifiRadioTypeName(std::uint32_t phyType);
// The SSID bytes: at most the reported length, never past the 32-byte field,
// up to the first zero byte.
std::string wifiSsidText(const WifiConnectionRow& row);
// "0A-1B-2C-3D-4E-5F".
std::string wifiBssidText(const WifiConnectionRow& row);

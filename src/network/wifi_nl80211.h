// nl80211 answers read into the plain facts of the Wi-Fi query, and those
// facts into the row the Native Wi-Fi API fills on Windows. No sockets here:
// wifi_linux.cpp asks the kernel, these read what it answered.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "wifi.h"

struct nlmsghdr;

namespace nl80211 {

// One interface of the NL80211_CMD_GET_INTERFACE dump.
struct Interface {
    std::uint32_t index = 0;
    std::uint32_t type = 0;  // NL80211_IFTYPE_*
    std::vector<std::uint8_t> mac;
    std::uint32_t frequency = 0;     // MHz of its channel; 0 when it has none
    std::vector<std::uint8_t> ssid;  // as the kernel reports it for a connected station
};

// One entry of the NL80211_CMD_GET_SCAN dump.
struct Bss {
    std::uint8_t bssid[6]{};
    bool hasBssid = false;
    std::uint32_t frequency = 0;
    bool associated = false;
    std::optional<int> signalDbm;         // from mBm
    std::optional<unsigned> signalQuality;  // drivers without dBm: 0..100
    std::vector<std::uint8_t> ies;        // information elements (probe response, else beacon)
};

// The TX rate's generation, as the rate flags tell it.
enum class RateKind { unknown, legacy, ht, vht, he, eht };

// The NL80211_CMD_GET_STATION answer for the access point.
struct Station {
    std::optional<int> signalDbm;
    RateKind rate = RateKind::unknown;
    std::uint32_t bitrate = 0;  // 100 kb/s; 0 when unknown
};

// Each reads one generic-netlink message of nl80211; false when the message
// or an attribute it needs is malformed (too short for its type).
bool parseInterface(const nlmsghdr* message, Interface& out);
bool parseBss(const nlmsghdr* message, Bss& out);
bool parseStation(const nlmsghdr* message, Station& out);

bool isStation(const Interface& interface);

// The SSID element's bytes; nothing when the buffer has none.
std::optional<std::vector<std::uint8_t>> ssidFromIes(const std::uint8_t* ies, std::size_t size);
// The Native Wi-Fi authentication number from the RSN and WPA elements.
std::uint32_t authenticationFromIes(const std::uint8_t* ies, std::size_t size);
// The Native Wi-Fi PHY number from the rate, else the band and bitrate.
std::uint32_t radioTypeOf(const Station& station, std::uint32_t frequency);
// Channel number of a frequency in MHz; -1 for none of the bands.
int channelFromFrequency(std::uint32_t mhz);
// The 0..100 signal quality of a level in dBm.
std::uint32_t qualityFromDbm(int dbm);

// The current-connection row of an interface associated with bss; station
// is null when the kernel did not answer for the access point.
WifiConnectionRow connectionRow(const Interface& interface, const Bss& bss, const Station* station);

}  // namespace nl80211

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "network/wifi.h"

TEST(WifiTexts, NamesSsidAndBssid) {
    struct Name {
        std::uint32_t number;
        const char* authentication;
        const char* radio;
    };
    const Name names[] = {
        {0, "Unknown (0)", "Unknown"},
        {1, "802.11 Open", "Frequency-hopping spread spectrum (FHSS)"},
        {8, "WPA3-Enterprise", "Very High Throughput (802.11ac)"},
        {11, "WPA3-Enterprise", "Extremely High Throughput (802.11be / Wi-Fi 7)"},
        {12, "Unknown (12)", "Unknown (12)"},
        {0x80000000u, "Unknown", "Unknown"},
        {0x80000001u, "Unknown (-2147483647)", "Unknown (2147483649)"},
        {0xFFFFFFFFu, "Unknown", "Unknown"},
    };
    for (const Name& n : names) {
        EXPECT_EQ(wifiAuthenticationName(n.number), n.authentication) << n.number;
        EXPECT_EQ(wifiRadioTypeName(n.number), n.radio) << n.number;
    }

    struct Ssid {
        const char* bytes;  // written into the 32-byte field
        std::size_t size;
        std::uint32_t length;
        std::string text;
    };
    const char full[] = "0123456789abcdefghijklmnopqrstuv";  // 32 bytes
    const Ssid ssids[] = {
        {"Home", 4, 0, ""},                                    // hidden network
        {"Home", 4, 3, "Hom"},                                 // the length counts, not the bytes
        {"Ho\0me", 5, 5, "Ho"},                                // cut at a zero byte
        {full, 32, 32, full},                                  // the whole field
        {full, 32, 0xFFFFFFFFu, full},                         // never past the field
    };
    for (const Ssid& s : ssids) {
        WifiConnectionRow row;
        std::memcpy(row.ssid, s.bytes, s.size);
        row.ssidLength = s.length;
        EXPECT_EQ(wifiSsidText(row), s.text) << s.length;
    }

    WifiConnectionRow row;
    const std::uint8_t bssid[6] = {0x0A, 0x1B, 0x2C, 0x3D, 0x4E, 0xF5};
    std::memcpy(row.bssid, bssid, 6);
    EXPECT_EQ(wifiBssidText(row), "0A-1B-2C-3D-4E-F5");
}

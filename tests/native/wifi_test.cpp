#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <tuple>

#include "network/wifi.h"

TEST(WifiTexts, NamesSsidAndBssid) {
    // A number, its authentication name, its radio type name.
    const std::tuple<std::uint32_t, const char*, const char*> names[] = {
        {0, "Unknown (0)", "Unknown"},
        {1, "802.11 Open", "Frequency-hopping spread spectrum (FHSS)"},
        {8, "WPA3-Enterprise", "Very High Throughput (802.11ac)"},
        {11, "WPA3-Enterprise", "Extremely High Throughput (802.11be / Wi-Fi 7)"},
        {12, "Unknown (12)", "Unknown (12)"},
        {0x80000000u, "Unknown", "Unknown"},
        {0x80000001u, "Unknown (-2147483647)", "Unknown (2147483649)"},
        {0xFFFFFFFFu, "Unknown", "Unknown"},
    };
    for (const auto& [number, authentication, radio] : names) {
        EXPECT_EQ(wifiAuthenticationName(number), authentication) << number;
        EXPECT_EQ(wifiRadioTypeName(number), radio) << number;
    }

    // Bytes written into the 32-byte field, how many, the length given, the text.
    const char full[] = "0123456789abcdefghijklmnopqrstuv";
    const std::tuple<const char*, std::size_t, std::uint32_t, std::string> ssids[] = {
        {"Home", 4, 0, ""},              // hidden network
        {"Home", 4, 3, "Hom"},           // the length counts, not the bytes
        {"Ho\0me", 5, 5, "Ho"},          // cut at a zero byte
        {full, 32, 32, full},            // the whole field
        {full, 32, 0xFFFFFFFFu, full},   // never past the field
    };
    for (const auto& [bytes, size, length, text] : ssids) {
        WifiConnectionRow row;
        std::memcpy(row.ssid, bytes, size);
        row.ssidLength = length;
        EXPECT_EQ(wifiSsidText(row), text) << length;
    }

    WifiConnectionRow row;
    std::memcpy(row.bssid, "\x0A\x1B\x2C\x3D\x4E\xF5", 6);
    EXPECT_EQ(wifiBssidText(row), "0A-1B-2C-3D-4E-F5");
}

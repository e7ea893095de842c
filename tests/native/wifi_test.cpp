#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <tuple>

#include "network/wifi.h"

TEST(WifiTexts, NamesAndSsid) {
    // A number, its authentication name, its radio type name (the stand-in
    // library under Wine shows 0 and the BSSID text).
    const std::tuple<std::uint32_t, const char*, const char*> names[] = {
        {1, "802.11 Open", "Frequency-hopping spread spectrum (FHSS)"},
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
        {"Home", 4, 3, "Hom"},           // the length counts, not the bytes
        {"Ho\0me", 5, 5, "Ho"},          // cut at a zero byte
        {full, 32, 0xFFFFFFFFu, full},   // never past the field
    };
    for (const auto& [bytes, size, length, text] : ssids) {
        WifiConnectionRow row;
        std::memcpy(row.ssid, bytes, size);
        row.ssidLength = length;
        EXPECT_EQ(wifiSsidText(row), text) << length;
    }
}

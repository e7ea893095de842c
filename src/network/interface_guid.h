// The GUID text a Linux interface is known by in the metrics: its MAC address
// in the last group, which survives reboots and renames; an interface without
// a 6-byte MAC has its index in the first group instead. Interface discovery
// and the Wi-Fi query both name interfaces this way, so they agree.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

inline std::string linuxInterfaceGuid(const std::uint8_t* mac, std::size_t macSize, std::uint32_t index) {
    char text[40];
    if (mac != nullptr && macSize == 6) {
        std::snprintf(text, sizeof text, "{00000000-0000-0000-0000-%02X%02X%02X%02X%02X%02X}", mac[0], mac[1], mac[2],
                      mac[3], mac[4], mac[5]);
    } else {
        std::snprintf(text, sizeof text, "{%08X-0000-0000-0000-000000000000}", index);
    }
    return text;
}

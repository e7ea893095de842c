// The two fixed binary records that answer "GET_CLIENT_DATA" and
// "GET_CLIENT_DATA_V2". They go over the channel byte for byte as they lie in
// memory, so their layout is a wire format the remote host reads by offset.
// Padding is spelled out as members so that every byte of a record is defined.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "platform/platform_api.h"

struct CLIENT_DATA {
    std::int32_t serverRoundtripMs = -1;
    char userName[513] = {};
    char computerName[16] = {};
    char privateIpAddress[65] = {};
    char publicIpAddress[65] = {};
    char activeProcessName[1025] = {};
    char foregroundProcessName[1025] = {};
    std::uint8_t reserved1[7] = {};
    double inactivityTimeSeconds = -1.0;
    char mac_address[33] = {};
    char if_guid[257] = {};
    char gateway[65] = {};
    char description[257] = {};
    std::int32_t if_type_value = -1;
    char if_type[257] = {};
    std::uint8_t reserved2[3] = {};
    std::int32_t wifi_strength = -1;
    char wifi_ssid[33] = {};
    char wifi_bssid[25] = {};
    char wifi_authentication[33] = {};
    char wifi_radio_type[33] = {};
    std::int32_t wifi_channel = -1;
    std::int32_t speed = -1;
    std::int32_t rtxPackets = -1;
    std::int32_t roundtripMs = -1;
    char osName[65] = {};
    char osVersionNumber[65] = {};
    std::uint8_t reserved3[2] = {};
    std::int32_t roundtripGoogleMs = -1;
    char ktrDeviceId[257] = {};
    std::uint8_t reserved4[3] = {};
};

struct CLIENT_DATA_V2 {
    char client_version[33] = {};
    std::uint8_t reserved1[3] = {};
    std::int32_t cpu_usage = -1;
    std::int32_t roundtripIspMs = -1;
    char isp_name[513] = {};
    char client_location[513] = {};
    std::uint8_t reserved2[2] = {};
    std::int32_t roundtripAdcMs = -1;
};

// The wire layout, checked where it is declared.
static_assert(std::is_standard_layout_v<CLIENT_DATA> && std::is_trivially_copyable_v<CLIENT_DATA>);
static_assert(sizeof(double) == 8 && sizeof(CLIENT_DATA) == 4144 && alignof(CLIENT_DATA) == 8);
static_assert(offsetof(CLIENT_DATA, serverRoundtripMs) == 0);
static_assert(offsetof(CLIENT_DATA, userName) == 4);
static_assert(offsetof(CLIENT_DATA, computerName) == 517);
static_assert(offsetof(CLIENT_DATA, privateIpAddress) == 533);
static_assert(offsetof(CLIENT_DATA, publicIpAddress) == 598);
static_assert(offsetof(CLIENT_DATA, activeProcessName) == 663);
static_assert(offsetof(CLIENT_DATA, foregroundProcessName) == 1688);
static_assert(offsetof(CLIENT_DATA, reserved1) == 2713);
static_assert(offsetof(CLIENT_DATA, inactivityTimeSeconds) == 2720);
static_assert(offsetof(CLIENT_DATA, mac_address) == 2728);
static_assert(offsetof(CLIENT_DATA, if_guid) == 2761);
static_assert(offsetof(CLIENT_DATA, gateway) == 3018);
static_assert(offsetof(CLIENT_DATA, description) == 3083);
static_assert(offsetof(CLIENT_DATA, if_type_value) == 3340);
static_assert(offsetof(CLIENT_DATA, if_type) == 3344);
static_assert(offsetof(CLIENT_DATA, reserved2) == 3601);
static_assert(offsetof(CLIENT_DATA, wifi_strength) == 3604);
static_assert(offsetof(CLIENT_DATA, wifi_ssid) == 3608);
static_assert(offsetof(CLIENT_DATA, wifi_bssid) == 3641);
static_assert(offsetof(CLIENT_DATA, wifi_authentication) == 3666);
static_assert(offsetof(CLIENT_DATA, wifi_radio_type) == 3699);
static_assert(offsetof(CLIENT_DATA, wifi_channel) == 3732);
static_assert(offsetof(CLIENT_DATA, speed) == 3736);
static_assert(offsetof(CLIENT_DATA, rtxPackets) == 3740);
static_assert(offsetof(CLIENT_DATA, roundtripMs) == 3744);
static_assert(offsetof(CLIENT_DATA, osName) == 3748);
static_assert(offsetof(CLIENT_DATA, osVersionNumber) == 3813);
static_assert(offsetof(CLIENT_DATA, reserved3) == 3878);
static_assert(offsetof(CLIENT_DATA, roundtripGoogleMs) == 3880);
static_assert(offsetof(CLIENT_DATA, ktrDeviceId) == 3884);
static_assert(offsetof(CLIENT_DATA, reserved4) == 4141);

static_assert(std::is_standard_layout_v<CLIENT_DATA_V2> && std::is_trivially_copyable_v<CLIENT_DATA_V2>);
static_assert(sizeof(CLIENT_DATA_V2) == 1076 && alignof(CLIENT_DATA_V2) == 4);
static_assert(offsetof(CLIENT_DATA_V2, client_version) == 0);
static_assert(offsetof(CLIENT_DATA_V2, reserved1) == 33);
static_assert(offsetof(CLIENT_DATA_V2, cpu_usage) == 36);
static_assert(offsetof(CLIENT_DATA_V2, roundtripIspMs) == 40);
static_assert(offsetof(CLIENT_DATA_V2, isp_name) == 44);
static_assert(offsetof(CLIENT_DATA_V2, client_location) == 557);
static_assert(offsetof(CLIENT_DATA_V2, reserved2) == 1070);
static_assert(offsetof(CLIENT_DATA_V2, roundtripAdcMs) == 1072);

// Fill a record from one copy of the metrics snapshot: 0, or -2 for a null
// record (nothing is touched then). -1 if the fill itself failed; the record
// is left as it was.
TVX_API std::int32_t platform_getClientData(CLIENT_DATA* data);
TVX_API std::int32_t platform_getClientDataV2(CLIENT_DATA_V2* data);

#include "client_data.h"

#include <json/value.h>

#include <algorithm>
#include <cstring>
#include <exception>
#include <string>

#include "platform/log.h"
#include "platform/metric_store.h"

namespace {

const Json::Value* findKey(const Json::Value& snapshot, const char* key) {
    if (!snapshot.isObject()) return nullptr;
    return snapshot.find(key, key + std::strlen(key));
}

// A value the conversion refuses (array, object, text in a number field, a
// number out of range) keeps the field's missing-key value; the collectors
// never store such values, but one bad key must not cost the whole record.
void putInt(std::int32_t& field, const Json::Value& snapshot, const char* key) {
    field = -1;
    if (const Json::Value* value = findKey(snapshot, key)) {
        try {
            field = value->asInt();
        } catch (const std::exception&) {
            field = -1;
        }
    }
}

void putReal(double& field, const Json::Value& snapshot, const char* key) {
    field = -1.0;
    if (const Json::Value* value = findKey(snapshot, key)) {
        try {
            field = value->asDouble();
        } catch (const std::exception&) {
            field = -1.0;
        }
    }
}

// Cut at a byte count, but never inside a UTF-8 character; the rest of the
// field, and at least its last byte, stays NUL.
template <std::size_t Width>
void putText(char (&field)[Width], const Json::Value& snapshot, const char* key) {
    std::memset(field, 0, Width);
    const Json::Value* value = findKey(snapshot, key);
    if (!value) return;
    std::string text;
    try {
        text = value->asString();
    } catch (const std::exception&) {
        return;
    }
    std::size_t n = std::min(text.size(), Width - 1);
    if (n < text.size())
        while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
    std::memcpy(field, text.data(), n);
}

void fillV1(CLIENT_DATA& r, const Json::Value& s) {
    putInt(r.serverRoundtripMs, s, "serverRoundtripMs");
    putText(r.userName, s, "userName");
    putText(r.computerName, s, "computerName");
    putText(r.privateIpAddress, s, "privateIpAddress");
    putText(r.publicIpAddress, s, "publicIpAddress");
    putText(r.activeProcessName, s, "activeProcessName");
    putText(r.foregroundProcessName, s, "foregroundProcessName");
    putReal(r.inactivityTimeSeconds, s, "inactivityTimeSeconds");
    putText(r.gateway, s, "gateway");
    putText(r.mac_address, s, "mac_address");
    putText(r.if_guid, s, "if_guid");
    putText(r.description, s, "description");
    putText(r.if_type, s, "if_type");
    putInt(r.if_type_value, s, "if_type_value");
    putText(r.wifi_ssid, s, "wifi_ssid");
    putText(r.wifi_bssid, s, "wifi_bssid");
    putText(r.wifi_radio_type, s, "wifi_radio_type");
    putText(r.wifi_authentication, s, "wifi_authentication");
    putInt(r.wifi_strength, s, "wifi_strength");
    putInt(r.wifi_channel, s, "wifi_channel");
    putInt(r.speed, s, "speed");
    putInt(r.rtxPackets, s, "rtxPackets");
    putInt(r.roundtripMs, s, "roundtripMs");
    putInt(r.roundtripGoogleMs, s, "roundtripGoogleMs");
    putText(r.osName, s, "osName");
    putText(r.osVersionNumber, s, "osVersionNumber");
    putText(r.ktrDeviceId, s, "ktrDeviceId");
}

void fillV2(CLIENT_DATA_V2& r, const Json::Value& s) {
    putInt(r.cpu_usage, s, "cpu_usage");
    putInt(r.roundtripIspMs, s, "roundtripIspMs");
    putText(r.isp_name, s, "isp_name");
    putText(r.client_location, s, "client_location");
    putText(r.client_version, s, "client_version");
    putInt(r.roundtripAdcMs, s, "roundtripAdcMs");
}

// Builds in a zeroed working record and copies it whole, padding included,
// so the caller's record carries one snapshot and no stale byte.
template <typename Record, typename Fill>
std::int32_t fillRecord(Record* out, Fill fill) {
    Record work;
    std::memset(static_cast<void*>(&work), 0, sizeof work);
    fill(work, getMetricsSnapshot());
    std::memcpy(static_cast<void*>(out), &work, sizeof work);
    return 0;
}

}  // namespace

TVX_API std::int32_t platform_getClientData(CLIENT_DATA* data) {
    if (!data) return -2;
    try {
        return fillRecord(data, fillV1);
    } catch (const std::exception& e) {
        TVX_LOG(tvxlog::error) << "platform_getClientData exception: " << e.what();
    } catch (...) {
        TVX_LOG(tvxlog::error) << "platform_getClientData unknown exception";
    }
    return -1;
}

TVX_API std::int32_t platform_getClientDataV2(CLIENT_DATA_V2* data) {
    if (!data) return -2;
    try {
        return fillRecord(data, fillV2);
    } catch (const std::exception& e) {
        TVX_LOG(tvxlog::error) << "platform_getClientDataV2 exception: " << e.what();
    } catch (...) {
        TVX_LOG(tvxlog::error) << "platform_getClientDataV2 unknown exception";
    }
    return -1;
}

// The client data records: default state, every field at its offset (read
// back by the independent codec), truncation and JsonCpp's conversions.
#include <gtest/gtest.h>

#include <cstring>
#include <span>

#include "codec/codec.h"
#include "common/protocol_test_support.h"
#include "protocol/client_data.h"

namespace {

template <typename Record>
std::span<const std::uint8_t> bytesOf(const Record& record) {
    return {reinterpret_cast<const std::uint8_t*>(&record), sizeof record};
}

Json::Value fillV1() {
    CLIENT_DATA record;
    EXPECT_EQ(platform_getClientData(&record), 0);
    return tvxcodec::decodeClientData(bytesOf(record));
}

Json::Value fillV2() {
    CLIENT_DATA_V2 record;
    EXPECT_EQ(platform_getClientDataV2(&record), 0);
    return tvxcodec::decodeClientDataV2(bytesOf(record));
}

class ClientDataTest : public tvxtest::SnapshotTest {};

TEST_F(ClientDataTest, DefaultAndFreshSnapshotGiveMinusOneAndEmptyTexts) {
    CLIENT_DATA raw1;
    CLIENT_DATA_V2 raw2;
    for (const Json::Value& v1 : {tvxcodec::decodeClientData(bytesOf(raw1)), fillV1()}) {
        for (const char* key : {"serverRoundtripMs", "if_type_value", "wifi_strength", "wifi_channel", "speed",
                                "rtxPackets", "roundtripMs", "roundtripGoogleMs"})
            EXPECT_EQ(v1[key], -1) << key;
        EXPECT_EQ(v1["inactivityTimeSeconds"], -1.0);
        EXPECT_EQ(v1["userName"], "");
        EXPECT_EQ(v1["ktrDeviceId"], "");
    }
    // cpu_usage defaults to the real -1.0 in the store; the field takes -1.
    for (const Json::Value& v2 : {tvxcodec::decodeClientDataV2(bytesOf(raw2)), fillV2()}) {
        for (const char* key : {"cpu_usage", "roundtripIspMs", "roundtripAdcMs"}) EXPECT_EQ(v2[key], -1) << key;
        EXPECT_EQ(v2["client_version"], "");
    }
}

TEST_F(ClientDataTest, EveryKeyLandsInItsOwnField) {
    // Distinct values per key: a field at the wrong offset, or two fields
    // swapped, decode to another key's value.
    const char* texts1[] = {"userName", "computerName", "privateIpAddress", "publicIpAddress",
                            "activeProcessName", "foregroundProcessName", "mac_address", "if_guid", "gateway",
                            "description", "if_type", "wifi_ssid", "wifi_bssid", "wifi_authentication",
                            "wifi_radio_type", "osName", "osVersionNumber", "ktrDeviceId"};
    const char* ints1[] = {"serverRoundtripMs", "if_type_value", "wifi_strength", "wifi_channel",
                           "speed", "rtxPackets", "roundtripMs", "roundtripGoogleMs"};
    const char* texts2[] = {"client_version", "isp_name", "client_location"};
    const char* ints2[] = {"cpu_usage", "roundtripIspMs", "roundtripAdcMs"};
    int n = 100;
    for (const char* key : texts1) setMetric(key, std::string(key).substr(0, 12));
    for (const char* key : texts2) setMetric(key, std::string(key).substr(0, 12));
    for (const char* key : ints1) setMetric(key, ++n);
    for (const char* key : ints2) setMetric(key, -(++n));
    setMetric("inactivityTimeSeconds", 12.25);

    const Json::Value v1 = fillV1();
    const Json::Value v2 = fillV2();
    for (const char* key : texts1) EXPECT_EQ(v1[key], std::string(key).substr(0, 12)) << key;
    for (const char* key : texts2) EXPECT_EQ(v2[key], std::string(key).substr(0, 12)) << key;
    n = 100;
    for (const char* key : ints1) EXPECT_EQ(v1[key], ++n) << key;
    for (const char* key : ints2) EXPECT_EQ(v2[key], -(++n)) << key;
    EXPECT_EQ(v1["inactivityTimeSeconds"], 12.25);
}

TEST_F(ClientDataTest, TextsAreCutAtTheFieldWidthLessOne) {
    setMetric("userName", std::string(600, 'u'));
    setMetric("computerName", "ABCDEFGHIJKLMNOPQRST");          // 20 bytes
    setMetric("wifi_bssid", std::string(24, 'b'));               // exactly fits
    setMetric("osName", std::string(63, 'o') + "\xC3\xA9");      // two-byte character across the cut
    setMetric("client_version", std::string(40, '9'));
    const Json::Value v1 = fillV1();
    EXPECT_EQ(v1["userName"], std::string(512, 'u'));
    EXPECT_EQ(v1["computerName"], "ABCDEFGHIJKLMNO");
    EXPECT_EQ(v1["wifi_bssid"], std::string(24, 'b'));
    EXPECT_EQ(v1["osName"], std::string(63, 'o') + "\xC3");
    EXPECT_EQ(fillV2()["client_version"], std::string(32, '9'));
}

TEST_F(ClientDataTest, ValuesGoThroughJsonCppConversions) {
    setMetric("serverRoundtripMs", Json::Value());   // null: 0, not the missing-key value
    setMetric("speed", 3.9);                         // truncated toward zero
    setMetric("rtxPackets", -1.0);
    setMetric("wifi_channel", true);
    setMetric("inactivityTimeSeconds", Json::Value());
    setMetric("userName", Json::Value());
    setMetric("computerName", true);
    setMetric("gateway", 42);
    setMetric("osName", 1.5);
    removeMetric("roundtripMs");                     // absent: the missing-key value
    removeMetric("if_guid");
    const Json::Value v1 = fillV1();
    EXPECT_EQ(v1["serverRoundtripMs"], 0);
    EXPECT_EQ(v1["speed"], 3);
    EXPECT_EQ(v1["rtxPackets"], -1);
    EXPECT_EQ(v1["wifi_channel"], 1);
    EXPECT_EQ(v1["inactivityTimeSeconds"], 0.0);
    EXPECT_EQ(v1["userName"], "");
    EXPECT_EQ(v1["computerName"], "true");
    EXPECT_EQ(v1["gateway"], "42");
    EXPECT_EQ(v1["osName"], "1.5");
    EXPECT_EQ(v1["roundtripMs"], -1);
    EXPECT_EQ(v1["if_guid"], "");
}

TEST_F(ClientDataTest, UnconvertibleValuesKeepTheMissingKeyValue) {
    Json::Value array(Json::arrayValue);
    array.append(1);
    Json::Value object(Json::objectValue);
    object["a"] = 1;
    setMetric("roundtripMs", "12");          // text in a number field
    setMetric("speed", object);
    setMetric("wifi_strength", 1e12);         // beyond int32
    setMetric("inactivityTimeSeconds", "soon");
    setMetric("userName", array);
    setMetric("gateway", object);
    setMetric("computerName", "kept");        // neighbours are not disturbed
    setMetric("cpu_usage", array);
    const Json::Value v1 = fillV1();
    EXPECT_EQ(v1["roundtripMs"], -1);
    EXPECT_EQ(v1["speed"], -1);
    EXPECT_EQ(v1["wifi_strength"], -1);
    EXPECT_EQ(v1["inactivityTimeSeconds"], -1.0);
    EXPECT_EQ(v1["userName"], "");
    EXPECT_EQ(v1["gateway"], "");
    EXPECT_EQ(v1["computerName"], "kept");
    EXPECT_EQ(fillV2()["cpu_usage"], -1);
}

TEST_F(ClientDataTest, FillOverwritesEveryByteAndRefusesNull) {
    setMetric("userName", "bob");
    CLIENT_DATA v1;
    CLIENT_DATA_V2 v2;
    std::memset(static_cast<void*>(&v1), 0xAA, sizeof v1);
    std::memset(static_cast<void*>(&v2), 0xAA, sizeof v2);
    ASSERT_EQ(platform_getClientData(&v1), 0);
    ASSERT_EQ(platform_getClientDataV2(&v2), 0);
    // The codec refuses non-zero padding and text bytes after a NUL.
    EXPECT_EQ(tvxcodec::decodeClientData(bytesOf(v1))["userName"], "bob");
    EXPECT_NO_THROW(tvxcodec::decodeClientDataV2(bytesOf(v2)));

    EXPECT_EQ(platform_getClientData(nullptr), -2);
    EXPECT_EQ(platform_getClientDataV2(nullptr), -2);
}

}  // namespace
